#include "metadata/MetadataTemplate.h"

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "metadata/IPTC_XMP_Utils.h"
#include "support/FileIO.h"
#include "variables/VariableExpander.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

namespace {

bool flagged(const std::array<std::uint8_t, kIPTCFieldIndexCount>& flags, int index) {
    return index >= 0 && index < kIPTCFieldIndexCount && flags[static_cast<std::size_t>(index)] != 0;
}

// The index whose text holds the field at `index` (the two XMP aliases keep their text at the IIM
// field's index).
int storageIndex(int index) {
    const IPTCFieldID id = IPTCFieldIDAtIndex(index);
    const IPTCFieldID storage = IPTCStorageFieldID(id);
    if (storage == id)
        return index;
    return IPTCFieldIndexOf(storage, IPTCFieldItemAtIndex(index));
}

std::string& fieldText(IPTCRec& record, int index) {
    return record.m_fields[static_cast<std::size_t>(storageIndex(index))];
}
const std::string& fieldText(const IPTCRec& record, int index) {
    return record.m_fields[static_cast<std::size_t>(storageIndex(index))];
}

// Whether the text holds a variable token whose name (any of its forms) is `variable`'s.
bool holdsVariable(std::string_view text, std::string_view variable) {
    const VariableInfo* wanted = FindVariable(variable);
    if (!wanted)
        return false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '{')
            continue;
        if (at + 1 < text.size() && text[at + 1] == '{') {
            ++at; // "{{" is a brace
            continue;
        }
        const std::size_t end = text.find('}', at + 1);
        if (end == std::string_view::npos)
            break;
        std::string_view token = text.substr(at + 1, end - at - 1);
        token = token.substr(0, token.find_first_of(":;"));
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
            token.remove_suffix(1);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
            token.remove_prefix(1);
        if (FindVariable(token) == wanted)
            return true;
        at = end;
    }
    return false;
}

// The fields that may not append their own variable: the field, its variable and its name in the
// message.
struct SelfVariableField {
    IPTCFieldID id;
    const char* variable;
    const char* name;
};
constexpr SelfVariableField kAppendingFields[] = {
    {IPTC_CAPTION_WRITERS, "captionwriter", "Caption Writers"},
    {IPTC_KEYWORDS, "keywords", "Keywords"},
    {XMP_PERSONS_SHOWN, "persons", "Person Shown"},
    {XMP_PERSONALITY, "personality", "Getty Personality"},
    {XMP_ROUTING_DESTINATIONS, "routingdest", "Getty Routing Destinations"},
    {XMP_ROUTING_EXCLUSIONS, "routingexcl", "Getty Routing Exclusions"},
};

template <typename T>
void applyStructures(const std::vector<T>& from, std::vector<T>& to, bool merge) {
    if (!merge) {
        to = from;
        return;
    }
    for (const T& item : from)
        if (std::find(to.begin(), to.end(), item) == to.end())
            to.push_back(item);
}

// Structure and coded fields; false for a field that is neither.
bool applyNonTextField(IPTCFieldID id, const IPTCRec& from, IPTCRec& to, bool merge) {
    switch (id) {
    case XMP_LOCATION_SHOWN:
        applyStructures(from.m_locationShown, to.m_locationShown, merge);
        return true;
    case XMP_LOCATION_CREATED:
        applyStructures(from.m_locationCreated, to.m_locationCreated, merge);
        return true;
    case XMP_IMAGE_CREATORS:
        applyStructures(from.m_imageCreators, to.m_imageCreators, merge);
        return true;
    case XMP_COPYRIGHT_OWNERS:
        applyStructures(from.m_copyrightOwners, to.m_copyrightOwners, merge);
        return true;
    case XMP_LICENSORS:
        applyStructures(from.m_licensors, to.m_licensors, merge);
        return true;
    case XMP_IMAGE_REGISTRY_ENTRIES:
        applyStructures(from.m_registryEntries, to.m_registryEntries, merge);
        return true;
    case XMP_ARTWORK_OR_OBJECT:
        applyStructures(from.m_artworkOrObjects, to.m_artworkOrObjects, merge);
        return true;
    case XMP_PRODUCTS_SHOWN:
        applyStructures(from.m_productsShown, to.m_productsShown, merge);
        return true;
    case XMP_MAX_IMAGE_DIMENSIONS:
        // One value: merging keeps the photo's when it has one.
        if (!merge || to.m_maxImageDimensions == IPTCMaxImageDimensions{})
            to.m_maxImageDimensions = from.m_maxImageDimensions;
        return true;
    case XMP_MODEL_AGE_DISCLOSURE:
        to.m_modelAgeDisclosure = from.m_modelAgeDisclosure;
        return true;
    case XMP_MODEL_RELEASE_STATUS:
        to.m_modelReleaseStatus = from.m_modelReleaseStatus;
        return true;
    case XMP_PROPERTY_RELEASE_STATUS:
        to.m_propertyReleaseStatus = from.m_propertyReleaseStatus;
        return true;
    case XMP_DIGITAL_SOURCE_TYPE:
        to.m_digitalSourceType = from.m_digitalSourceType;
        return true;
    case XMP_COMPOSITION:
        to.m_composition = from.m_composition;
        return true;
    case XMP_IMAGE_RANK:
        to.m_imageRank = from.m_imageRank;
        return true;
    case XMP_CALL_FOR_IMAGE:
        to.m_callForImage = from.m_callForImage;
        return true;
    case XMP_EXCLUSIVE_COVERAGE:
        to.m_exclusiveCoverage = from.m_exclusiveCoverage;
        return true;
    default:
        return false;
    }
}

void applyDate(const IPTCRec& stationery, IPTCRec& target, const StationeryDateInfo& date, bool withDate,
               bool withTime) {
    switch (stationery.m_applyDateType) {
    case kStationeryDateCapture:
        if (!date.capture)
            return; // the photo keeps its own
        if (withDate) {
            target.m_dateYear = static_cast<std::uint16_t>(date.capture->year);
            target.m_dateMonth = static_cast<std::uint16_t>(date.capture->month);
            target.m_dateDay = static_cast<std::uint16_t>(date.capture->day);
            target.m_noDate = false;
        }
        if (withTime) {
            target.m_timeHour = static_cast<std::uint16_t>(date.capture->hour);
            target.m_timeMinute = static_cast<std::uint16_t>(date.capture->minute);
            target.m_timeSecond = static_cast<std::uint16_t>(date.capture->second);
            target.m_noTime = false;
            target.m_hasZone = false;
        }
        return;
    case kStationeryDateCurrent: {
        const std::time_t now = std::chrono::system_clock::to_time_t(date.now);
        std::tm local{};
        if (!::localtime_r(&now, &local))
            return;
        if (withDate) {
            target.m_dateYear = static_cast<std::uint16_t>(local.tm_year + 1900);
            target.m_dateMonth = static_cast<std::uint16_t>(local.tm_mon + 1);
            target.m_dateDay = static_cast<std::uint16_t>(local.tm_mday);
            target.m_noDate = false;
        }
        if (withTime) {
            target.m_timeHour = static_cast<std::uint16_t>(local.tm_hour);
            target.m_timeMinute = static_cast<std::uint16_t>(local.tm_min);
            target.m_timeSecond = static_cast<std::uint16_t>(std::min(local.tm_sec, 59));
            target.m_noTime = false;
            const long offset = local.tm_gmtoff / 60;
            target.m_hasZone = offset != 0;
            target.m_zoneHours = static_cast<std::int16_t>(offset / 60);
            target.m_zoneMinutes = static_cast<std::uint16_t>((offset < 0 ? -offset : offset) % 60);
        }
        return;
    }
    default:
        if (withDate) {
            target.m_dateYear = stationery.m_dateYear;
            target.m_dateMonth = stationery.m_dateMonth;
            target.m_dateDay = stationery.m_dateDay;
            target.m_noDate = stationery.m_noDate;
        }
        if (withTime) {
            target.m_timeHour = stationery.m_timeHour;
            target.m_timeMinute = stationery.m_timeMinute;
            target.m_timeSecond = stationery.m_timeSecond;
            target.m_noTime = stationery.m_noTime;
            target.m_hasZone = stationery.m_hasZone;
            target.m_zoneHours = stationery.m_zoneHours;
            target.m_zoneMinutes = stationery.m_zoneMinutes;
        }
        return;
    }
}

std::string joinCaptions(const std::string& first, const std::string& second) {
    if (first.empty())
        return second;
    if (second.empty())
        return first;
    return first + kCaptionMergeSeparator + second;
}

} // namespace

std::string IPTCCheckStationerySelfVariables(const IPTCRec& stationery) {
    const int caption = IPTCFieldIndexOf(IPTC_CAPTION);
    if (flagged(stationery.m_applyFlags, caption) && stationery.m_captionMergeStyle != kCaptionMergeReplace &&
        holdsVariable(fieldText(stationery, caption), "caption"))
        return "The Caption field contains its own variable and is not set to replace on apply.  This will "
               "cause an error.\nEither remove the variable or change the popup menu to 'Replace'.\n";
    for (const SelfVariableField& field : kAppendingFields) {
        const int index = IPTCFieldIndexOf(field.id);
        if (flagged(stationery.m_applyFlags, index) && flagged(stationery.m_mergeFlags, index) &&
            holdsVariable(fieldText(stationery, index), field.variable))
            return std::string("The ") + field.name +
                   " field contains its own variable and is set to append.  This will cause an "
                   "error.\nEither remove the variable or uncheck the append (+) check box.\n";
    }
    return {};
}

StationeryDateInfo StationeryDateInfoFor(const NRFImageInfoRec* image) {
    StationeryDateInfo date;
    if (image && image->m_captureTime.isValid()) {
        const KLDateTime& t = image->m_captureTime;
        date.capture = StationeryDateInfo::LocalDateTime{t.year, t.month, t.day, t.hour, t.minute, t.second};
    }
    return date;
}

bool IPTCApplyStationeryToPhoto(const IPTCRec& stationery, IPTCRec& metadata, const NRFImageInfoRec* image,
                                const VariableContext& context, std::string* error) {
    VariableContext photo = context;
    photo.image = image;
    std::string message;
    const int result =
        IPTCApplyStationery(stationery, metadata, StationeryDateInfoFor(image), photo, &message);
    if (result == 0 || result == kIPTCErrNothingToApply) {
        // The place at the photo's position, where the template asks for it (a run that could not find
        // the places has switched the flags off before its first photo).
        if (image && image->m_hasGPS && IPTCHaveReverseGeocoding(stationery))
            if (const std::optional<IPTCLocation> place = IPTCReverseGeocode(*image))
                IPTCApplyReverseGeocoding(stationery, metadata, *place);
        return true;
    }
    if (error)
        *error = message.empty() ? "The Metadata (IPTC) Template could not be applied (error " +
                                       std::to_string(result) + ")."
                                 : message;
    return false;
}

int IPTCApplyStationery(const IPTCRec& stationery, IPTCRec& target, const StationeryDateInfo& date,
                        const std::string& path, std::string* message) {
    NRFImageInfoRec image(path, 0);
    VariableContext context;
    context.image = path.empty() ? nullptr : &image;
    context.now = date.now;
    return IPTCApplyStationery(stationery, target, date, context, message);
}

int IPTCApplyStationery(const IPTCRec& stationery, IPTCRec& target, const StationeryDateInfo& date,
                        const VariableContext& callerContext, std::string* message) {
    if (std::string refusal = IPTCCheckStationerySelfVariables(stationery); !refusal.empty()) {
        LUMO_LOG("IPTCApplyStationery(): %s", refusal.c_str());
        if (message)
            *message = std::move(refusal);
        return kStationeryErrSelfVariable;
    }
    const IPTCEncodingSettings settings = IPTCEncodingSettingsFromPreferences();
    // The template's texts are expanded against the photo's record as it was, so that {caption} in a
    // replacing caption gives the photo's previous caption. Only the template's own text is expanded:
    // what the photo already holds is never read as variables.
    const IPTCRec old = target;
    VariableContext context = callerContext;
    context.record = &old;
    const auto expand = [&](const std::string& text) {
        return text.find('{') == std::string::npos ? text : ExpandVariables(text, context, 0).text;
    };

    const int captionIndex = IPTCFieldIndexOf(IPTC_CAPTION);
    const int dateIndex = IPTCFieldIndexOf(IPTC_DATE_CREATED);
    const int timeIndex = IPTCFieldIndexOf(IPTC_TIME_CREATED);
    if (flagged(stationery.m_applyFlags, dateIndex) || flagged(stationery.m_applyFlags, timeIndex))
        applyDate(stationery, target, date, flagged(stationery.m_applyFlags, dateIndex),
                  flagged(stationery.m_applyFlags, timeIndex));

    for (int index = 0; index < kIPTCFieldIndexCount; ++index) {
        if (!flagged(stationery.m_applyFlags, index) || index == dateIndex || index == timeIndex)
            continue;
        const IPTCFieldID id = IPTCFieldIDAtIndex(index);
        const bool merge = flagged(stationery.m_mergeFlags, index);
        if (applyNonTextField(id, stationery, target, merge))
            continue;
        if (id == IPTC_CUSTOM_199 || id == XMP_UNASSIGNED_27 || id == XMP_UNASSIGNED_29)
            continue; // no storage
        const std::string value = expand(fieldText(stationery, index));
        std::string& photo = fieldText(target, index);
        if (index == captionIndex) {
            switch (stationery.m_captionMergeStyle) {
            case kCaptionMergeBefore:
                photo = joinCaptions(value, photo);
                break;
            case kCaptionMergeAppend:
                photo = joinCaptions(photo, value);
                break;
            default:
                photo = value;
                break;
            }
        } else if (merge && IPTCIsListField(id)) {
            std::vector<std::string> items = IPTCGetRepeatableItemsAsVector(photo, settings.m_separator);
            for (const std::string& item : IPTCGetRepeatableItemsAsVector(value, settings.m_separator))
                if (!IPTCItemExistsInVector(items, item))
                    items.push_back(item);
            photo = IPTCGetRepeatableItemsAsString(items, settings.m_separator);
        } else {
            photo = value; // supplemental category slots and every other field: replaced
        }
    }

    if (stationery.m_colorClassApply) {
        target.m_colorClass = expand(stationery.m_colorClassEval);
        if (settings.m_colorClassAsUrgency) {
            const int colorClass = IPTCRecordColorClass(target, settings);
            if (colorClass >= 0)
                fieldText(target, IPTCFieldIndexOf(IPTC_URGENCY)) = std::to_string(colorClass);
        }
    }
    if (stationery.m_ratingApply)
        target.m_rating = expand(stationery.m_ratingEval);
    if (stationery.m_tagApply)
        target.m_tagged = expand(stationery.m_tagEval);
    return kIPTCNoErr;
}

bool IPTCHaveSequenceVar(const IPTCRec& stationery) {
    const VariableContext context;
    const auto usesSequence = [&](const std::string& text) {
        return text.find('{') != std::string::npos && ExpandVariables(text, context, 0).usedSequence;
    };
    for (int index = 0; index < kIPTCFieldIndexCount; ++index)
        if (flagged(stationery.m_applyFlags, index) && usesSequence(fieldText(stationery, index)))
            return true;
    return (stationery.m_colorClassApply && usesSequence(stationery.m_colorClassEval)) ||
           (stationery.m_ratingApply && usesSequence(stationery.m_ratingEval)) ||
           (stationery.m_tagApply && usesSequence(stationery.m_tagEval));
}

bool IPTCHaveReverseGeocoding(const IPTCRec& stationery) {
    return std::any_of(stationery.m_reverseGeocodingApply.begin(), stationery.m_reverseGeocodingApply.end(),
                       [](bool flag) { return flag; });
}

// -- reverse geocoding

namespace {

std::mutex g_geocoderMutex;
ReverseGeocoder g_geocoder;

} // namespace

void IPTCApplyReverseGeocoding(const IPTCRec& stationery, IPTCRec& target, const IPTCLocation& location) {
    const auto& flags = stationery.m_reverseGeocodingApply;
    const bool keep = flags[kGeocodeNeverOverwrite];
    const auto fill = [keep](std::string& to, const std::string& value) {
        if (!value.empty() && !(keep && !to.empty()))
            to = value;
    };
    const std::pair<std::size_t, IPTCFieldID> fields[] = {
        {kGeocodeCity, IPTC_CITY},
        {kGeocodeSublocation, IPTC_SUB_LOCATION},
        {kGeocodeState, IPTC_PROVINCE_STATE},
        {kGeocodeCountry, IPTC_COUNTRY_NAME},
        {kGeocodeCountryCode, IPTC_COUNTRY_CODE},
    };
    const std::string IPTCLocation::*members[] = {&IPTCLocation::m_city, &IPTCLocation::m_sublocation,
                                                  &IPTCLocation::m_provinceState,
                                                  &IPTCLocation::m_countryName, &IPTCLocation::m_countryCode};
    for (std::size_t i = 0; i < std::size(fields); ++i)
        if (flags[fields[i].first])
            fill(fieldText(target, IPTCFieldIndexOf(fields[i].second)), location.*members[i]);

    const std::pair<std::size_t, std::string IPTCLocation::*> created[] = {
        {kGeocodeCreatedSublocation, &IPTCLocation::m_sublocation},
        {kGeocodeCreatedCity, &IPTCLocation::m_city},
        {kGeocodeCreatedState, &IPTCLocation::m_provinceState},
        {kGeocodeCreatedCountry, &IPTCLocation::m_countryName},
        {kGeocodeCreatedCountryCode, &IPTCLocation::m_countryCode},
    };
    for (const auto& [flag, member] : created) {
        if (!flags[flag] || (location.*member).empty())
            continue;
        if (target.m_locationCreated.empty())
            target.m_locationCreated.emplace_back();
        fill(target.m_locationCreated.front().*member, location.*member);
    }

    if (flags[kGeocodeLocationShown]) {
        IPTCLocation shown;
        for (const auto& entry : created)
            shown.*entry.second = location.*entry.second;
        if (!shown.isEmpty() && std::find(target.m_locationShown.begin(), target.m_locationShown.end(),
                                          shown) == target.m_locationShown.end())
            target.m_locationShown.push_back(std::move(shown));
    }
}

bool IPTCHaveReverseGeocoder() {
    const std::lock_guard lock(g_geocoderMutex);
    return static_cast<bool>(g_geocoder);
}

bool IPTCReverseGeocodeAll(const std::vector<const NRFImageInfoRec*>& images) {
    if (!IPTCHaveReverseGeocoder())
        return false;
    for (const NRFImageInfoRec* image : images)
        if (image && image->m_hasGPS && !IPTCReverseGeocode(*image))
            return false;
    return true;
}

bool IPTCReverseGeocodePaths(const std::vector<std::string>& paths) {
    if (!IPTCHaveReverseGeocoder())
        return false;
    for (const std::string& path : paths) {
        NRFImageInfoRef image;
        if (NRFOpenImage(path.c_str(), 0, &image) != kNRFErrNone || !image)
            continue;
        const bool found = NRFGetImageInfo(image.get()) != kNRFErrNone || !image->m_hasGPS ||
                           IPTCReverseGeocode(*image).has_value();
        NRFCloseImage(&image);
        if (!found)
            return false;
    }
    return true;
}

ReverseGeocoder IPTCSetReverseGeocoder(ReverseGeocoder geocoder) {
    const std::lock_guard lock(g_geocoderMutex);
    std::swap(g_geocoder, geocoder);
    return geocoder;
}

std::optional<IPTCLocation> IPTCReverseGeocode(const NRFImageInfoRec& image) {
    ReverseGeocoder geocoder;
    {
        const std::lock_guard lock(g_geocoderMutex);
        geocoder = g_geocoder;
    }
    if (!geocoder)
        return std::nullopt;
    try {
        return geocoder(image);
    } catch (const std::exception& e) {
        LUMO_LOG("IPTCReverseGeocode() %s", e.what());
    } catch (...) {
        LUMO_LOG("IPTCReverseGeocode() unexpected exception");
    }
    return std::nullopt;
}

// -- storage

namespace {

std::string flagsText(const std::array<std::uint8_t, kIPTCFieldIndexCount>& flags) {
    std::string text(flags.size(), '0');
    for (std::size_t i = 0; i < flags.size(); ++i)
        if (flags[i])
            text[i] = '1';
    return text;
}

// False (flags untouched) unless the text is one "0" or "1" per field index.
bool readFlagsText(const std::string& text, std::array<std::uint8_t, kIPTCFieldIndexCount>& flags) {
    if (text.size() != flags.size() || text.find_first_not_of("01") != std::string::npos)
        return false;
    for (std::size_t i = 0; i < flags.size(); ++i)
        flags[i] = text[i] == '1' ? 1 : 0;
    return true;
}

std::string hexText(const std::uint8_t* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 0x0F]);
    }
    return text;
}

bool readHexText(const std::string& text, std::vector<std::uint8_t>& bytes) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    if (text.size() % 2)
        return false;
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

int clampedStyle(std::int64_t value) {
    return value >= 0 && value <= 2 ? static_cast<int>(value) : 0;
}

// A template-mode packet of the record; its apply flags are set for the whole record first so that
// every field is written (snapshots keep the full record).
std::string snapshotPacket(const IPTCRec& record, const IPTCEncodingSettings& settings) {
    IPTCRec full = record;
    IPTCMakeReplacingStationery(full);
    return BuildIPTCRecordAsXMP(settings, full, true);
}

} // namespace

bool IPTCLoadCurrentStationery(IPTCRec& stationery) {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return false;
    const std::string packed = preferences->getString(kPrefIPTCStationeryPadPackedRecord, "");
    const std::string xmp = preferences->getString(kPrefIPTCStationeryPadXMP, "");
    if (packed.empty() && xmp.empty())
        return false;
    const IPTCEncodingSettings settings = IPTCEncodingSettingsFromPreferences();
    IPTCRec loaded;
    std::vector<std::uint8_t> block;
    if (!packed.empty()) {
        if (!readHexText(packed, block) ||
            IPTCUnpackRecFromBinary(settings, block.data(), block.size(), true, &loaded) != kIPTCNoErr)
            LUMO_LOG("IPTCLoadCurrentStationery(): the stored IIM block cannot be read.");
    }
    if (!xmp.empty() && !LoadXMPMetadata(settings, xmp.data(), xmp.size(), nullptr, true, &loaded))
        LUMO_LOG("IPTCLoadCurrentStationery(): the stored XMP packet cannot be read.");
    readFlagsText(preferences->getString(kPrefIPTCStationeryPadApplyFields, ""), loaded.m_applyFlags);
    readFlagsText(preferences->getString(kPrefIPTCStationeryPadMergeFields, ""), loaded.m_mergeFlags);
    loaded.m_captionMergeStyle = clampedStyle(
        preferences->getInt(kPrefIPTCStationeryPadCaptionMergeStyle, loaded.m_captionMergeStyle));
    loaded.m_applyDateType =
        clampedStyle(preferences->getInt(kPrefIPTCStationeryPadDateStyle, loaded.m_applyDateType));
    stationery = std::move(loaded);
    return true;
}

bool IPTCSaveCurrentStationery(const IPTCRec& stationery) {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return false;
    IPTCEncodingSettings settings = IPTCEncodingSettingsFromPreferences();
    std::string packed;
    std::unique_ptr<std::uint8_t[]> block;
    std::size_t size = 0;
    IPTCStatus status = IPTCPackRecToBinary(settings, &stationery, &block, &size, true);
    if (status == kIPTCErrBadData) {
        // A text the write encoding cannot carry: the block is kept as UTF-8.
        settings.m_writeEncoding = "UTF-8";
        status = IPTCPackRecToBinary(settings, &stationery, &block, &size, true);
    }
    if (status == kIPTCNoErr)
        packed = hexText(block.get(), size);
    else if (status != kIPTCErrNothingToApply)
        LUMO_LOG("IPTCSaveCurrentStationery(): packing the template failed (0x%x).",
                 static_cast<unsigned>(status));
    const std::string xmp = BuildIPTCRecordAsXMP(settings, stationery, true);
    if (xmp.empty())
        return false;
    bool stored = preferences->setString(kPrefIPTCStationeryPadPackedRecord, packed);
    stored = preferences->setString(kPrefIPTCStationeryPadXMP, xmp) && stored;
    stored = preferences->setString(kPrefIPTCStationeryPadApplyFields, flagsText(stationery.m_applyFlags)) &&
             stored;
    stored = preferences->setString(kPrefIPTCStationeryPadMergeFields, flagsText(stationery.m_mergeFlags)) &&
             stored;
    stored = preferences->setInt(kPrefIPTCStationeryPadCaptionMergeStyle, stationery.m_captionMergeStyle) &&
             stored;
    stored = preferences->setInt(kPrefIPTCStationeryPadDateStyle, stationery.m_applyDateType) && stored;
    return preferences->save() && stored;
}

// -- template files

int IPTCSaveStationeryFile(const IPTCRec& stationery, const std::string& path, std::string* message) {
    const std::string xmp = BuildIPTCRecordAsXMP(IPTCEncodingSettingsFromPreferences(), stationery, true);
    if (xmp.empty()) {
        if (message)
            *message = "The template cannot be written as XMP.";
        return kIPTCErrException;
    }
    if (const int err = lumo::writeFileReplacing(path, xmp); err != 0) {
        if (message)
            *message = "Unable to write " + path + ": " + std::strerror(err);
        return err;
    }
    return 0;
}

int IPTCLoadStationeryFile(const std::string& path, IPTCRec& stationery, std::string* message) {
    std::string bytes;
    if (const int err = lumo::readFile(path, bytes, kXMPMaxPacketSize + 1); err != 0) {
        if (message)
            *message = "Unable to read " + path + ": " + std::strerror(err);
        return err;
    }
    if (bytes.size() > kXMPMaxPacketSize) {
        if (message)
            *message = path + " is too large for a template.";
        return kIPTCErrBadData;
    }
    const IPTCEncodingSettings settings = IPTCEncodingSettingsFromPreferences();
    IPTCRec loaded;
    // An IIM block starts with a tag marker; anything else is taken for XMP.
    const bool iim = !bytes.empty() && static_cast<std::uint8_t>(bytes[0]) == 0x1C;
    const bool read =
        iim ? IPTCUnpackRecFromBinary(settings, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                      bytes.size(), true, &loaded) == kIPTCNoErr
            : LoadXMPMetadata(settings, bytes.data(), bytes.size(), nullptr, true, &loaded);
    if (!read) {
        if (message)
            *message = path + " holds no metadata template that can be read.";
        return kIPTCErrBadData;
    }
    stationery = std::move(loaded);
    return 0;
}

// -- snapshots

namespace {

void replaceEveryField(IPTCRec& record) {
    record.m_applyFlags.fill(1);
    record.m_mergeFlags.fill(0);
    record.m_captionMergeStyle = kCaptionMergeReplace;
    record.m_applyDateType = kStationeryDateTemplate;
}

} // namespace

void IPTCMakeReplacingStationery(IPTCRec& record) {
    replaceEveryField(record);
    record.m_colorClassEval = record.m_colorClass, record.m_colorClassApply = !record.m_colorClass.empty();
    record.m_ratingEval = record.m_rating, record.m_ratingApply = !record.m_rating.empty();
    record.m_tagEval = record.m_tagged, record.m_tagApply = !record.m_tagged.empty();
}

std::vector<std::string> IPTCSnapshotNames() {
    std::vector<std::string> names;
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    CILA::VObject list;
    if (!preferences || !preferences->getValue(kPrefIPTCSnapshots, list) ||
        list.dataType() != CILA::VObject::DT_VECTOR)
        return names;
    for (const CILA::VObject& entry : list.getvec()) {
        if (entry.dataType() != CILA::VObject::DT_HASH)
            continue;
        const auto name = entry.gethash().find("Name");
        if (name != entry.gethash().end() && name->second.dataType() == CILA::VObject::DT_STR)
            names.push_back(name->second.getstr());
    }
    return names;
}

std::string IPTCNextSnapshotName() {
    const std::vector<std::string> names = IPTCSnapshotNames();
    for (unsigned long number = 1;; ++number) {
        char name[64];
        std::snprintf(name, sizeof name, "IPTC Snapshot %lu", number);
        if (std::find(names.begin(), names.end(), name) == names.end())
            return name;
    }
}

bool IPTCTakeSnapshot(const IPTCRec& record, const std::string& name) {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences || name.empty())
        return false;
    const std::string xmp = snapshotPacket(record, IPTCEncodingSettingsFromPreferences());
    if (xmp.empty())
        return false;
    CILA::VObject list;
    if (!preferences->getValue(kPrefIPTCSnapshots, list) || list.dataType() != CILA::VObject::DT_VECTOR)
        list = CILA::VObject::makeVector();
    CILA::VObject::Vector& entries = list.getvec();
    std::erase_if(entries, [&](const CILA::VObject& entry) {
        if (entry.dataType() != CILA::VObject::DT_HASH)
            return false;
        const auto found = entry.gethash().find("Name");
        return found != entry.gethash().end() && found->second.dataType() == CILA::VObject::DT_STR &&
               found->second.getstr() == name;
    });
    CILA::VObject entry = CILA::VObject::makeHash();
    entry.gethash()["Name"] = CILA::VObject(name);
    entry.gethash()["XMP"] = CILA::VObject(xmp);
    entries.push_back(std::move(entry));
    return preferences->setValue(kPrefIPTCSnapshots, list) && preferences->save();
}

bool IPTCLoadSnapshot(const std::string& name, IPTCRec& stationery) {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    CILA::VObject list;
    if (!preferences || !preferences->getValue(kPrefIPTCSnapshots, list) ||
        list.dataType() != CILA::VObject::DT_VECTOR)
        return false;
    for (const CILA::VObject& entry : list.getvec()) {
        if (entry.dataType() != CILA::VObject::DT_HASH)
            continue;
        const CILA::VObject::Hash& hash = entry.gethash();
        const auto found = hash.find("Name"), xmp = hash.find("XMP");
        if (found == hash.end() || xmp == hash.end() || found->second.dataType() != CILA::VObject::DT_STR ||
            xmp->second.dataType() != CILA::VObject::DT_STR || found->second.getstr() != name)
            continue;
        const std::string& packet = xmp->second.getstr();
        IPTCRec loaded;
        if (!LoadXMPMetadata(IPTCEncodingSettingsFromPreferences(), packet.data(), packet.size(), nullptr,
                             true, &loaded))
            return false;
        // The packet's colour class, rating and tag came back as the template's values.
        replaceEveryField(loaded);
        stationery = std::move(loaded);
        return true;
    }
    return false;
}
