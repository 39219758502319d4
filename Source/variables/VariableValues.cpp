#include "variables/VariableValues.h"

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "db/Preferences.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCRecFields.h"
#include "metadata/IPTCUtils.h"
#include "support/TextUtils.h"
#include "variables/VariableValueForms.h"
#include "variables/VariableValuesInternal.h"

#include <ctime>
#include <mutex>
#include <unistd.h>
#include <unordered_map>

using namespace lumo::vars;

namespace {

// ---- metadata record ------------------------------------------------------------------------------

} // namespace

// The encoding settings the field texts are read with, kept while the preferences do not change:
// expanding a template for many photos reads them once.
std::shared_ptr<const IPTCEncodingSettings> VariablesEncodingSettings() {
    static std::mutex lock;
    static std::shared_ptr<const IPTCEncodingSettings> kept;
    static std::uint64_t keptChange = ~0ULL;
    const std::uint64_t change = CPreferences::changeCount();
    const std::lock_guard guard(lock);
    if (!kept || change != keptChange) {
        kept = std::make_shared<const IPTCEncodingSettings>(IPTCEncodingSettingsFromPreferences());
        keptChange = change;
    }
    return kept;
}

namespace {

std::string fieldText(const VariableContext& c, const char* label) {
    if (!c.record)
        return {};
    const IPTCCatalogueEntry* entry = IPTCFindCatalogueEntry(label);
    std::string text;
    if (!entry || !IPTCGetFieldText(*c.record, *entry, *VariablesEncodingSettings(), text))
        return {};
    return text;
}

const IPTCLocation* locationCreated(const VariableContext& c) {
    return c.record && !c.record->m_locationCreated.empty() ? &c.record->m_locationCreated.front() : nullptr;
}

std::string vocabularyLabel(const VariableContext& c, IPTCVocabulary vocabulary, unsigned IPTCRec::*member) {
    return c.record && c.record->*member ? IPTCVocabularyLabel(vocabulary, c.record->*member) : std::string();
}

// The record's date and time created.
DateParts metadataDate(const IPTCRec& r) {
    DateParts d;
    if (!r.m_noDate && r.m_dateMonth >= 1 && r.m_dateMonth <= 12 && r.m_dateDay >= 1 && r.m_dateDay <= 31) {
        d.year = r.m_dateYear, d.month = r.m_dateMonth, d.day = r.m_dateDay;
        d.hasDate = true;
    }
    if (!r.m_noTime && r.m_timeHour < 24 && r.m_timeMinute < 60 && r.m_timeSecond < 61) {
        d.hour = r.m_timeHour, d.minute = r.m_timeMinute, d.second = r.m_timeSecond;
        d.hasTime = true;
    }
    return d;
}

long localOffsetMinutes(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    return tm.tm_gmtoff / 60;
}

std::optional<std::string> metadataDateValue(const VariableContext& c, std::string_view form) {
    if (form == "wiredate") {
        const std::string dow = metadataDateValue(c, "iptcdow").value_or("");
        if (dow.empty())
            return std::string();
        return dow + ", " + *metadataDateValue(c, "iptcmonthnameap") + " " +
               *metadataDateValue(c, "iptcday") + ", " + *metadataDateValue(c, "iptcyear4");
    }
    if (!form.starts_with("iptc"))
        return std::nullopt;
    form.remove_prefix(4);
    const DateParts d = c.record ? metadataDate(*c.record) : DateParts();
    if (form == "date")
        return d.hasDate ? lumo::formatString("%04d%02d%02d", d.year, d.month, d.day) : std::string();
    if (form == "time") {
        if (!d.hasTime)
            return std::string();
        std::string zone;
        if (c.record->m_hasZone) {
            zone = lumo::formatString("%+03d%02d", c.record->m_zoneHours, c.record->m_zoneMinutes % 60);
        } else {
            const long offset = localOffsetMinutes(std::chrono::system_clock::to_time_t(c.now));
            zone = lumo::formatString("%c%02ld%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 60,
                                      std::labs(offset) % 60);
        }
        return lumo::formatString("%02d%02d%02d", d.hour, d.minute, d.second) + zone;
    }
    if (form == "sort" || form == "mil" || form == "subsecond")
        return std::nullopt;
    return FormatDatePart(d, form);
}

// Variables naming a catalogue field, by long name.
const std::unordered_map<std::string_view, const char*>& fieldVariables() {
    static const std::unordered_map<std::string_view, const char*> table = {
        {"credit", "Credit"},
        {"editstatus", "Edit Status"},
        {"event", "Event"},
        {"extendeddesc", "Extended Description"},
        {"featuredorgcode", "Featured Org. Code"},
        {"featuredorgname", "Featured Org. Name"},
        {"genre", "Intellectual Genre"},
        {"headline", "Headline"},
        {"identity", "Creator's Identity"},
        {"imagesupplierid", "Image Supplier ID"},
        {"imagesupplierimageid", "Supplier's Image ID"},
        {"imagesuppliername", "Image Supplier Name"},
        {"instructions", "Special Instructions"},
        {"keywords", "Keywords"},
        {"keyword", "Keywords"},
        {"location", "Location"},
        {"modelages", "Model Ages"},
        {"modelinfo", "Additional Model Info"},
        {"modelreleaseid", "Model Release IDs"},
        {"object", "Title/Object Name"},
        {"slug", "Title/Object Name"},
        {"persons", "Persons shown"},
        {"photog", "Creator/Photographer"},
        {"photographer", "Creator/Photographer"},
        {"byline", "Creator/Photographer"},
        {"propertyreleaseid", "Property Release IDs"},
        {"province", "State/Province"},
        {"state", "State/Province"},
        {"scene", "IPTC Scene"},
        {"source", "Source"},
        {"subject", "IPTC Subject Code"},
        {"suppcat1", "Supp Cat 1"},
        {"suppcat2", "Supp Cat 2"},
        {"suppcat3", "Supp Cat 3"},
        {"title", "Creator's Job Title"},
        {"transref", "Job ID/Trans Ref"},
        {"urgency", "Urgency"},
        {"usage", "Rights Usage Terms"},
        {"alttext", "Alt Text"},
        {"label", "Label"},
        {"caption", "Description/Caption"},
        {"captionwriter", "Description Writers"},
        {"category", "Category"},
        {"city", "City"},
        {"contactaddress", "Contact Address"},
        {"contactcity", "Contact City"},
        {"contactstate", "Contact State"},
        {"contactzip", "Contact Zip"},
        {"contactcountry", "Contact Country"},
        {"contactemail", "Contact Emails"},
        {"contactphone", "Contact Phones"},
        {"contactweb", "Contact Web URLs"},
        {"copyright", "Copyright"},
        {"copyrighturl", "Copyright URL"},
        {"country", "Country"},
        {"countrycode", "ISO Country Code"},
        // Getty Images
        {"personality", "Personality"},
        {"routingdest", "Routing Destinations"},
        {"routingexcl", "Routing Exclusions"},
        // The "USA Military" layout names catalogue fields after its own use of them.
        {"virin", "Title/Object Name"},
        {"classification", "Supp Cat 1"},
        {"classauth", "Supp Cat 2"},
        {"cmdshown", "Supp Cat 3"},
        {"svcshown", "Category"},
        {"area", "Location"},
        {"base", "City"},
        {"locale", "State/Province"},
        {"captioneditor", "Description Writers"},
        {"email", "Contact Emails"},
        {"phone", "Contact Phones"},
        {"exercise", "Event"},
        {"operation", "Headline"},
        {"homeunit", "Credit"},
        {"tdyunit", "Source"},
        {"name", "Creator/Photographer"},
    };
    return table;
}

std::optional<std::string> recordValue(const VariableContext& c, std::string_view name) {
    const auto& fields = fieldVariables();
    if (const auto found = fields.find(name); found != fields.end())
        return fieldText(c, found->second);
    const IPTCLocation* taken = locationCreated(c);
    auto takenMember = [&](std::string IPTCLocation::*member) {
        return taken ? taken->*member : std::string();
    };
    if (name == "citytaken")
        return takenMember(&IPTCLocation::m_city);
    if (name == "statetaken")
        return takenMember(&IPTCLocation::m_provinceState);
    if (name == "countrytaken")
        return takenMember(&IPTCLocation::m_countryName);
    if (name == "countrycodetaken")
        return takenMember(&IPTCLocation::m_countryCode);
    if (name == "worldregiontaken")
        return takenMember(&IPTCLocation::m_worldRegion);
    if (name == "locationtaken")
        return takenMember(&IPTCLocation::m_sublocation);
    if (name == "locationidtaken") {
        std::string joined;
        const char separator = VariablesEncodingSettings()->m_separator;
        if (taken)
            for (const std::string& id : taken->m_locationId)
                joined += (joined.empty() ? "" : std::string(1, separator)) + id;
        return joined;
    }
    if (name == "alttextalt") {
        std::string alt = fieldText(c, "Alt Text");
        return alt.empty() ? fieldText(c, "Headline") : alt;
    }
    if (name == "sourcetype")
        return vocabularyLabel(c, IPTCVocabulary::DigitalSourceType, &IPTCRec::m_digitalSourceType);
    if (name == "callforimage")
        return vocabularyLabel(c, IPTCVocabulary::CallForImage, &IPTCRec::m_callForImage);
    if (name == "composition")
        return vocabularyLabel(c, IPTCVocabulary::Composition, &IPTCRec::m_composition);
    if (name == "exclusivecov")
        return vocabularyLabel(c, IPTCVocabulary::ExclusiveCoverage, &IPTCRec::m_exclusiveCoverage);
    if (name == "imagerank" || name == "rankname")
        return vocabularyLabel(c, IPTCVocabulary::ImageRank, &IPTCRec::m_imageRank);
    return metadataDateValue(c, name);
}

// ---- job, user and client -------------------------------------------------------------------------

constexpr std::string_view kPersonFields[] = {"name",  "company", "address", "address2", "city",
                                              "state", "zip",     "country", "phone",    "mobile",
                                              "web",   "email",   "custom1", "custom2",  "custom3"};

std::optional<std::string> personValue(const VariableContext& c, std::string_view name) {
    if (name == "jobname") {
        if (!c.jobName.empty())
            return c.jobName;
        const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
        return preferences ? preferences->getString(kPrefVariablesJobName, "") : std::string();
    }
    for (std::string_view who : {std::string_view("user"), std::string_view("client")}) {
        if (!name.starts_with(who))
            continue;
        const std::string_view field = name.substr(who.size());
        for (std::string_view known : kPersonFields) {
            if (field != known)
                continue;
            const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
            return preferences ? preferences->getString(VariablesPersonKey(name), "") : std::string();
        }
    }
    return std::nullopt;
}

// ---- clock ----------------------------------------------------------------------------------------

DateParts localParts(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    const auto sinceSecond = when - std::chrono::system_clock::from_time_t(seconds);
    const long long hundredths =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceSecond).count() / 10;
    return DatePartsFromTm(tm, static_cast<int>(hundredths < 0 ? 0 : hundredths % 100));
}

std::optional<std::string> clockValue(const VariableContext& c, std::string_view name) {
    if (!name.starts_with("today") && !name.starts_with("now") && name != "tomorrow" && name != "yesterday")
        return std::nullopt;
    const DateParts now = localParts(c.now);
    if (name == "today")
        return SystemShortDate(now);
    if (name == "tomorrow" || name == "yesterday") {
        // Noon of today, one day on or back: unaffected by a change of daylight saving time.
        std::tm tm{};
        const std::time_t seconds = std::chrono::system_clock::to_time_t(c.now);
        localtime_r(&seconds, &tm);
        tm.tm_hour = 12, tm.tm_min = 0, tm.tm_sec = 0, tm.tm_isdst = -1;
        tm.tm_mday += name == "tomorrow" ? 1 : -1;
        const std::time_t moved = std::mktime(&tm);
        std::tm result{};
        localtime_r(&moved, &result);
        return SystemShortDate(DatePartsFromTm(result, -1));
    }
    if (name == "now")
        return SystemShortTime(now);
    if (name == "nowsort")
        return FormatDatePart(now, "timesort");
    if (name == "nowsortlong")
        return FormatDatePart(now, "timesortlong");
    if (name == "todaysort")
        return FormatDatePart(now, "datesort");
    if (name.starts_with("today")) {
        const std::string_view form = name.substr(5);
        if (form.starts_with("day") || form.starts_with("dow") || form.starts_with("month") ||
            form.starts_with("year") || form == "mil")
            return FormatDatePart(now, form);
        return std::nullopt;
    }
    if (name.starts_with("now")) {
        const std::string_view form = name.substr(3);
        if (form == "ampm" || form.starts_with("hour") || form == "minute" || form == "second" ||
            form == "subsecond")
            return FormatDatePart(now, form);
    }
    return std::nullopt;
}

// ---- file and folder ------------------------------------------------------------------------------

std::string_view parentOf(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos)
        return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::optional<std::string> fileValue(const VariableContext& c, std::string_view name, bool sortable) {
    static const std::string noPath;
    const std::string& path = c.image ? c.image->m_path : noPath;
    const std::string_view fileName = lumo::baseName(path);
    const std::string_view folderPath = parentOf(path);
    auto withoutExtension = [](std::string_view file) {
        const std::size_t dot = file.find_last_of('.');
        return std::string(dot == std::string_view::npos || dot == 0 ? file : file.substr(0, dot));
    };
    if (name == "path")
        return path;
    if (name == "filename")
        return std::string(fileName);
    if (name == "filenamebase")
        return withoutExtension(fileName);
    if (name == "folderpath")
        return std::string(folderPath);
    if (name == "parentfolderpath")
        return std::string(parentOf(folderPath));
    if (name == "folder")
        return std::string(lumo::baseName(folderPath));
    if (name == "foldernum") {
        // A camera folder ("100NIKON", "101_FUJI") starts with its number.
        const std::string_view folder = lumo::baseName(folderPath);
        std::size_t digits = 0;
        while (digits < folder.size() && folder[digits] >= '0' && folder[digits] <= '9')
            ++digits;
        return std::string(folder.substr(0, digits));
    }
    if (name == "prefix") {
        std::string_view rest = fileName;
        while (!rest.empty() && rest.front() == '_')
            rest.remove_prefix(1);
        return std::string(rest.substr(0, std::min<std::size_t>(3, rest.size())));
    }
    if (name == "newfilename")
        return c.newFileName;
    if (name == "newfilenamebase")
        return withoutExtension(c.newFileName);
    if (!c.image) {
        if (name == "filesize" || name == "bytes" || name == "type" || name == "lock")
            return std::string();
        return std::nullopt;
    }
    if (name == "filesize")
        return FormatFileSize(c.image->m_fileSize, sortable);
    if (name == "bytes")
        return lumo::formatString(sortable ? "%09llu" : "%llu",
                                  static_cast<unsigned long long>(c.image->m_fileSize));
    if (name == "type") {
        // The engine's name of the file type ("Nikon RAW"), else its four-character code.
        std::string type;
        if (NRFGetDescription(c.image->m_fileType, &type) == kNRFErrNone && !type.empty())
            return type;
        for (int shift = 24; shift >= 0; shift -= 8) {
            const char ch = static_cast<char>((c.image->m_fileType >> shift) & 0xFF);
            if (ch > ' ' && ch < 127)
                type += ch;
        }
        return type;
    }
    if (name == "lock")
        return std::string(
            !path.empty() && ::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0 ? "1"
                                                                                                    : "0");
    return std::nullopt;
}

} // namespace

std::string VariablesPersonKey(std::string_view longName) {
    return std::string(kPrefVariablesPersonPrefix) + std::string(longName);
}

bool VariableFamilyValue(std::string_view name, const VariableContext& context, unsigned flags,
                         std::string& out) {
    const bool sortable = (flags & kVariableSortable) != 0;
    std::optional<std::string> value = recordValue(context, name);
    if (!value)
        value = fileValue(context, name, sortable);
    if (!value)
        value = CaptureDateValue(context, name);
    if (!value)
        value = clockValue(context, name);
    if (!value)
        value = personValue(context, name);
    if (!value)
        value = CameraValue(context, name, sortable);
    if (!value)
        value = PositionValue(context, name, sortable);
    if (!value)
        value = ColorProfileValue(context, name);
    if (!value)
        return false;
    out = std::move(*value);
    return true;
}
