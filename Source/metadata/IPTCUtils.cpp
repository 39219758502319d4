#include "metadata/IPTCUtils.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/TextUtils.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <new>
#include <optional>

namespace {

constexpr std::uint8_t kTagMarker = 0x1C;
constexpr std::size_t kDataSetHeaderSize = 5;
constexpr std::size_t kMaxDataSetLength = 0xFFFF; // the plain two-byte length
constexpr char kTrimmed[] = " \t\r\n";

std::string_view trimItem(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kTrimmed);
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(kTrimmed);
    return text.substr(first, last - first + 1);
}

std::optional<std::size_t> storageSlot(IPTCFieldID id, int item) {
    const IPTCFieldID storage = IPTCStorageFieldID(id);
    if (storage == IPTC_DATE_CREATED || storage == IPTC_TIME_CREATED || storage == IPTC_CUSTOM_199)
        return std::nullopt;
    const std::optional<int> index = IPTCFindFieldIndex(storage, item);
    if (!index)
        return std::nullopt;
    return static_cast<std::size_t>(*index);
}

// A 2:20 item outside 1 to 3, or an id that is not a known field.
bool acceptedField(IPTCFieldID id, int item) {
    if (!IPTCIsKnownField(id))
        return false;
    return id != IPTC_SUPP_CATEGORIES ||
           (item >= kIPTCSuppCategoryFirstItem && item <= kIPTCSuppCategoryLastItem);
}

// The computer's current offset from UTC, in minutes east.
long currentUTCOffsetMinutes() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return 0;
    return local.tm_gmtoff / 60;
}

bool iconvConvert(std::string_view input, const char* to, const char* from, std::string& output) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string out(input.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    bool ok = true;
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            if (errno != E2BIG) {
                ok = false;
                break;
            }
            const std::size_t used = static_cast<std::size_t>(outPtr - out.data());
            out.resize(out.size() * 2);
            outPtr = out.data() + used;
            outLeft = out.size() - used;
        }
    }
    if (ok && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        ok = false;
    iconv_close(cd);
    if (!ok)
        return false;
    out.resize(static_cast<std::size_t>(outPtr - out.data()));
    output = std::move(out);
    return true;
}

// An ICU converter that stops at the first character it cannot map; null when ICU lacks the name.
UConverter* openStrictConverter(const std::string& encoding) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(encoding.c_str(), &status);
    if (U_FAILURE(status) || !converter)
        return nullptr;
    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status)) {
        ucnv_close(converter);
        return nullptr;
    }
    return converter;
}

bool utf16ToUTF8(const std::u16string& text, std::string& utf8) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t needed = 0;
    u_strToUTF8(nullptr, 0, &needed, text.data(), static_cast<int32_t>(text.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return false;
    std::string out(static_cast<std::size_t>(needed), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), needed, nullptr, text.data(), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status))
        return false;
    utf8 = std::move(out);
    return true;
}

std::string zoneText(const IPTCRec& record) {
    int hours = record.m_zoneHours, minutes = record.m_zoneMinutes;
    if (!record.m_hasZone) {
        const long offset = currentUTCOffsetMinutes();
        hours = static_cast<int>(offset / 60);
        minutes = static_cast<int>((offset < 0 ? -offset : offset) % 60);
        if (offset < 0 && hours == 0)
            return lumo::formatString("-00%02d", minutes);
    }
    return lumo::formatString("%+03d%02d", hours, minutes);
}

} // namespace

IPTCEncodingSettings IPTCEncodingSettingsFromPreferences() {
    IPTCEncodingSettings settings;
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return settings;
    settings.m_readEncoding = preferences->getString(kPrefIPTCReadEncoding, kPrefIPTCReadEncodingDefault);
    settings.m_writeEncoding = preferences->getString(kPrefIPTCWriteEncoding, kPrefIPTCWriteEncodingDefault);
    const std::int64_t lineEndings = preferences->getInt(kPrefIPTCLineEndings, kPrefIPTCLineEndingsDefault);
    settings.m_lineEndings = lineEndings >= 0 && lineEndings <= 2 ? static_cast<int>(lineEndings) : 0;
    const std::string separator = preferences->getString(
        kPrefIPTCRepeatingFieldSeparator,
        preferences->getString(kPrefIPTCFieldSeparator, kPrefIPTCFieldSeparatorDefault));
    if (separator.size() == 1)
        settings.m_separator = separator[0];
    settings.m_colorClassAsUrgency =
        preferences->getBool(kPrefSynchColorClassAndUrgency, kPrefSynchColorClassAndUrgencyDefault);
    settings.m_colorClassAsLabel =
        preferences->getBool(kPrefSynchColorClassAndLabel, kPrefSynchColorClassAndLabelDefault);
    settings.m_structuredKeywordsHierarchicalOnly = preferences->getBool(
        kPrefStructuredKeywordsHierarchicalOnly, kPrefStructuredKeywordsHierarchicalOnlyDefault);
    for (int i = 1; i <= 8; ++i) {
        std::string name = preferences->getString(lumo::formatString(kPrefColorClassLabelFormat, i), "");
        settings.m_colorClassNames[static_cast<std::size_t>(i - 1)] =
            name.empty() ? NRFGetColorClassLabel(i) : std::move(name);
    }
    return settings;
}

bool IPTCIsUTF8Encoding(std::string_view encoding) {
    return lumo::iequals(encoding, "UTF-8") || lumo::iequals(encoding, "UTF8");
}

bool IPTCConvertToUTF8(std::string_view bytes, const std::string& encoding, std::string& utf8) {
    if (IPTCIsUTF8Encoding(encoding)) {
        if (!lumo::isValidUtf8(bytes))
            return false;
        utf8.assign(bytes);
        return true;
    }
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX / 4))
        return false;
    UConverter* converter = openStrictConverter(encoding);
    if (!converter)
        return iconvConvert(bytes, "UTF-8", encoding.c_str(), utf8);
    std::u16string text(bytes.size() * 2 + 2, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucnv_toUChars(converter, text.data(), static_cast<int32_t>(text.size()),
                                         bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    ucnv_close(converter);
    if (U_FAILURE(status))
        return false;
    text.resize(static_cast<std::size_t>(length));
    return utf16ToUTF8(text, utf8);
}

bool IPTCConvertFromUTF8(std::string_view utf8, const std::string& encoding, std::string& bytes) {
    if (!lumo::isValidUtf8(utf8))
        return false;
    if (IPTCIsUTF8Encoding(encoding)) {
        bytes.assign(utf8);
        return true;
    }
    if (utf8.size() > static_cast<std::size_t>(INT32_MAX / 4))
        return false;
    UConverter* converter = openStrictConverter(encoding);
    if (!converter)
        return iconvConvert(utf8, encoding.c_str(), "UTF-8", bytes);
    std::u16string text(utf8.size() + 1, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8(text.data(), static_cast<int32_t>(text.size()), &units, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    if (U_FAILURE(status)) {
        ucnv_close(converter);
        return false;
    }
    std::string out(
        static_cast<std::size_t>(units) * static_cast<std::size_t>(ucnv_getMaxCharSize(converter)) + 8, '\0');
    const int32_t length =
        ucnv_fromUChars(converter, out.data(), static_cast<int32_t>(out.size()), text.data(), units, &status);
    ucnv_close(converter);
    if (U_FAILURE(status))
        return false;
    out.resize(static_cast<std::size_t>(length));
    bytes = std::move(out);
    return true;
}

bool IPTCSetDataSet(IPTCRec* record, IPTCFieldID id, int item, const std::string& text) {
    try {
        if (!record || !acceptedField(id, item))
            return false;
        if (id == IPTC_DATE_CREATED) {
            int year = 0, month = 0, day = 0;
            if (std::sscanf(text.c_str(), "%04d%02d%02d", &year, &month, &day) == 3) {
                record->m_dateYear = static_cast<std::uint16_t>(year);
                record->m_dateMonth = static_cast<std::uint16_t>(month);
                record->m_dateDay = static_cast<std::uint16_t>(day);
                record->m_noDate = false;
            }
            return true;
        }
        if (id == IPTC_TIME_CREATED) {
            int hour = 0, minute = 0, second = 0, zoneHours = 0, zoneMinutes = 0;
            if (std::sscanf(text.c_str(), "%02d%02d%02d%03d%02d", &hour, &minute, &second, &zoneHours,
                            &zoneMinutes) == 5) {
                record->m_timeHour = static_cast<std::uint16_t>(hour);
                record->m_timeMinute = static_cast<std::uint16_t>(minute);
                record->m_timeSecond = static_cast<std::uint16_t>(second);
                record->m_noTime = false;
                record->m_hasZone = zoneHours != 0;
                record->m_zoneHours = record->m_hasZone ? static_cast<std::int16_t>(zoneHours) : 0;
                record->m_zoneMinutes = record->m_hasZone ? static_cast<std::uint16_t>(zoneMinutes) : 0;
            }
            return true;
        }
        if (const std::optional<std::size_t> slot = storageSlot(id, item))
            record->m_fields[*slot] = text;
        return true;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTCSetDataSet()");
    }
    return false;
}

bool IPTCGetDataSet(const IPTCRec* record, IPTCFieldID id, int item, bool includeXMP, std::string& text) {
    try {
        if (!record || !acceptedField(id, item) || (IPTCIsXMPOnlyField(id) && !includeXMP))
            return false;
        text.clear();
        if (id == IPTC_DATE_CREATED) {
            if (!record->m_noDate)
                text = lumo::formatString("%04d%02d%02d", record->m_dateYear, record->m_dateMonth,
                                          record->m_dateDay);
            return true;
        }
        if (id == IPTC_TIME_CREATED) {
            if (!record->m_noTime)
                text = lumo::formatString("%02d%02d%02d", record->m_timeHour, record->m_timeMinute,
                                          record->m_timeSecond) +
                       zoneText(*record);
            return true;
        }
        if (const std::optional<std::size_t> slot = storageSlot(id, item))
            text = record->m_fields[*slot];
        return true;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTCGetDataSet()");
    }
    return false;
}

std::vector<std::string> IPTCGetRepeatableItemsAsVector(std::string_view text, char separator) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view item = trimItem(text.substr(start, end - start));
        if (!item.empty())
            items.emplace_back(item);
        start = end + 1;
    }
    return items;
}

std::string IPTCGetRepeatableItemsAsString(const std::vector<std::string>& items, char separator) {
    std::string joined;
    for (const std::string& item : items) {
        if (!joined.empty())
            joined += separator;
        joined += item;
    }
    return joined;
}

std::string IPTCFormatVectorAsString(const std::vector<std::string>& items, char separator) {
    std::string joined;
    for (const std::string& item : items) {
        if (!joined.empty()) {
            joined += separator;
            joined += ' ';
        }
        joined += item;
    }
    return joined;
}

void IPTCCleanupItems(std::string& text, char separator) {
    text = IPTCGetRepeatableItemsAsString(IPTCGetRepeatableItemsAsVector(text, separator), separator);
}

std::size_t IPTCCountItems(std::string_view text, char separator) {
    return IPTCGetRepeatableItemsAsVector(text, separator).size();
}

bool IPTCItemExistsInVector(const std::vector<std::string>& items, std::string_view item) {
    for (const std::string& candidate : items)
        if (candidate == item)
            return true;
    return false;
}

std::string FixLineEndings(std::string_view text, int mode) {
    const char* lineBreak = mode == 1 ? "\n" : mode == 2 ? "\r\n" : "\r";
    std::string fixed;
    fixed.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            fixed += c;
            continue;
        }
        if (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n') && text[i + 1] != c)
            ++i; // CR LF or LF CR: one break
        fixed += lineBreak;
    }
    return fixed;
}

std::string IPTCJoinKeywordLevels(std::string_view keyword, std::string_view separator) {
    keyword = lumo::trim(keyword);
    if (keyword.find('|') == std::string_view::npos)
        return std::string(keyword);
    std::string joined;
    std::size_t start = 0;
    while (start <= keyword.size()) {
        std::size_t end = keyword.find('|', start);
        if (end == std::string_view::npos)
            end = keyword.size();
        if (const std::string_view level = lumo::trim(keyword.substr(start, end - start)); !level.empty()) {
            if (!joined.empty())
                joined += separator;
            joined += level;
        }
        start = end + 1;
    }
    return joined;
}

int IPTCRecordColorClass(const IPTCRec& record, const IPTCEncodingSettings& settings) {
    const std::string& cc = record.m_colorClass;
    if (cc.size() == 1 && cc[0] >= '0' && cc[0] <= '8')
        return cc[0] - '0';
    if (!cc.empty())
        for (std::size_t i = 0; i < settings.m_colorClassNames.size(); ++i)
            if (!settings.m_colorClassNames[i].empty() && lumo::iequals(cc, settings.m_colorClassNames[i]))
                return static_cast<int>(i) + 1;
    return -1;
}

namespace {

std::string spacedHierarchy(std::string_view text) {
    return IPTCJoinKeywordLevels(text, " | ");
}

std::string packedHierarchy(std::string_view item) {
    return IPTCJoinKeywordLevels(item, "|");
}

void readLumoPrefs(std::string_view bytes, IPTCRec& record) {
    const std::string text(bytes);
    int tagged = 0, colorClass = 0, rating = 0;
    unsigned imageNumber = 0;
    if (std::sscanf(text.c_str(), "%d:%d:%d:%u", &tagged, &colorClass, &rating, &imageNumber) != 4)
        return;
    record.m_tagged = tagged != 0 ? "1" : "0";
    record.m_colorClass = std::to_string(colorClass);
    record.m_rating = std::to_string(rating);
    record.m_imageNumber = imageNumber;
}

IPTCStatus unpack(const IPTCEncodingSettings& settings, const std::uint8_t* data, std::size_t length,
                  bool templateMode, IPTCRec& record) {
    bool treatAsUTF8 = IPTCIsUTF8Encoding(settings.m_readEncoding);
    int suppCategorySlotsUsed = 0;
    std::size_t pos = 0;
    while (length - pos >= kDataSetHeaderSize && data[pos] == kTagMarker) {
        const IPTCFieldID tag = IPTCMakeFieldID(data[pos + 1], data[pos + 2]);
        // The extended-length form is not interpreted: the two bytes are a plain count.
        const std::size_t size = (std::size_t{data[pos + 3]} << 8) | data[pos + 4];
        pos += kDataSetHeaderSize;
        if (size > length - pos)
            return kIPTCErrBadData;
        const std::string_view bytes(reinterpret_cast<const char*>(data + pos), size);
        pos += size;

        if (tag == IPTC_ENVELOPE_RECORD_VERSION || tag == IPTC_RECORD_VERSION)
            continue;
        if (size == 0 && !templateMode)
            continue;
        if (tag == IPTC_CODED_CHARACTER_SET) {
            // The writer states the character set of what it writes, so this dataset is not carried.
            if (size >= 3 && bytes[0] == '\x1B' && bytes[1] == '%' && bytes[2] == 'G') {
                record.m_isUTF8 = true;
                treatAsUTF8 = true;
            }
            continue;
        }
        if (tag == IPTC_LUMO_PREFS) {
            readLumoPrefs(bytes, record);
            continue;
        }
        if (!IPTCIsKnownField(tag) || tag == IPTC_CUSTOM_199) {
            if (templateMode || tag == IPTC_CUSTOM_199 || record.m_unknown.size() >= kIPTCMaxUnknownDataSets)
                continue;
            IPTCUnknownDataSet unknown;
            unknown.m_id = (tag == 0 && bytes.substr(0, 4) == "SCCU") ? IPTC_SCCU_DATASET : tag;
            unknown.m_data.assign(bytes.begin(), bytes.end());
            record.m_unknown.push_back(std::move(unknown));
            continue;
        }

        std::string text;
        if (treatAsUTF8 && lumo::isValidUtf8(bytes))
            text.assign(bytes);
        else if (!IPTCConvertToUTF8(bytes, settings.m_readEncoding, text))
            text.clear(); // not in the read encoding either

        int item = 1;
        if (tag == IPTC_SUPP_CATEGORIES) {
            if (suppCategorySlotsUsed >= kIPTCSuppCategoryLastItem)
                continue;
            item = ++suppCategorySlotsUsed;
            if (text == " ")
                continue; // a placeholder keeping the later slots in place
            text = FixLineEndings(text, 2);
            IPTCSetDataSet(&record, tag, item, text);
        } else if (IPTCIsListField(tag)) {
            std::string stored;
            IPTCGetDataSet(&record, tag, item, true, stored);
            if (tag == IPTC_KEYWORDS)
                stored = spacedHierarchy(stored);
            if (!stored.empty())
                stored += settings.m_separator;
            IPTCSetDataSet(&record, tag, item, stored + text);
        } else {
            IPTCSetDataSet(&record, tag, item, FixLineEndings(text, 2));
        }
        if (templateMode)
            if (const std::optional<int> index = IPTCFindFieldIndex(tag, item))
                record.m_applyFlags[static_cast<std::size_t>(*index)] = 1;
    }
    return kIPTCNoErr;
}

// Collects the datasets of a block; the caller adds up their sizes and copies them into a buffer of
// exactly that size.
struct DataSetList {
    struct Entry {
        IPTCFieldID id;
        std::string bytes;
    };
    std::vector<Entry> entries;

    void add(IPTCFieldID id, std::string bytes) { entries.push_back({id, std::move(bytes)}); }
};

class Packer {
public:
    Packer(const IPTCEncodingSettings& settings, const IPTCRec& record, bool templateMode)
        : m_settings(settings), m_record(record), m_templateMode(templateMode),
          m_utf8(record.m_isUTF8 || IPTCIsUTF8Encoding(settings.m_writeEncoding)) {}

    IPTCStatus collect(DataSetList& list) {
        if (m_utf8)
            list.add(IPTC_CODED_CHARACTER_SET, "\x1B%G");
        if (!m_templateMode)
            for (const IPTCUnknownDataSet& unknown : m_record.m_unknown)
                if (IPTCFieldRecord(unknown.m_id) == 1)
                    list.add(unknown.m_id, std::string(unknown.m_data.begin(), unknown.m_data.end()));
        list.add(IPTC_RECORD_VERSION, std::string("\x00\x03", 2));
        for (int index = 0; index < kIPTCFieldIndexCount; ++index)
            if (const IPTCStatus status = collectField(index, list); status != kIPTCNoErr)
                return status;
        if (!m_templateMode) {
            if (const std::optional<std::string> prefs = lumoPrefs())
                list.add(IPTC_LUMO_PREFS, *prefs);
            for (const IPTCUnknownDataSet& unknown : m_record.m_unknown)
                if (IPTCFieldRecord(unknown.m_id) != 1)
                    list.add(unknown.m_id, std::string(unknown.m_data.begin(), unknown.m_data.end()));
        }
        for (const DataSetList::Entry& entry : list.entries) {
            if (entry.bytes.size() > kMaxDataSetLength) {
                LUMO_LOG("IPTCPackRecToBinary() %s holds %zu bytes, more than a dataset can hold.",
                         IPTCDataSetName(entry.id).c_str(), entry.bytes.size());
                return kIPTCErrBadData;
            }
        }
        return kIPTCNoErr;
    }

private:
    bool applies(int index) const { return m_record.m_applyFlags[static_cast<std::size_t>(index)] != 0; }

    int colorClassDigit() const { return IPTCRecordColorClass(m_record, m_settings); }

    std::optional<std::string> lumoPrefs() const {
        const int colorClass = colorClassDigit();
        const std::string& rating = m_record.m_rating;
        const std::string& tagged = m_record.m_tagged;
        if (colorClass < 0 || rating.size() != 1 || rating[0] < '0' || rating[0] > '5' ||
            (tagged != "0" && tagged != "1"))
            return std::nullopt;
        return lumo::formatString("%d:%d:%d:%06u", tagged[0] - '0', colorClass, rating[0] - '0',
                                  static_cast<unsigned>(m_record.m_imageNumber));
    }

    // Adds one dataset holding `text` (UTF-8), in the write encoding.
    IPTCStatus addText(DataSetList& list, IPTCFieldID id, const std::string& text) {
        if (m_utf8) {
            list.add(id, text);
            return kIPTCNoErr;
        }
        std::string bytes;
        if (!IPTCConvertFromUTF8(text, m_settings.m_writeEncoding, bytes)) {
            LUMO_LOG("IPTCPackRecToBinary() Unable to convert UTF8 string (%s) to specified encoding (%s).",
                     text.c_str(), m_settings.m_writeEncoding.c_str());
            return kIPTCErrBadData;
        }
        list.add(id, std::move(bytes));
        return kIPTCNoErr;
    }

    IPTCStatus collectField(int index, DataSetList& list) {
        const IPTCFieldID id = IPTCFieldIDAtIndex(index);
        const int item = IPTCFieldItemAtIndex(index);
        if (IPTCIsXMPOnlyField(id) || id == IPTC_CUSTOM_199)
            return kIPTCNoErr;
        if (id == IPTC_SUPP_CATEGORIES)
            return collectSuppCategory(item, list);
        if (m_templateMode && !applies(index))
            return kIPTCNoErr;
        std::string text;
        IPTCGetDataSet(&m_record, id, 1, false, text);
        if (id == IPTC_URGENCY && !m_templateMode && m_settings.m_colorClassAsUrgency) {
            const std::string& cc = m_record.m_colorClass;
            if (cc.size() == 1 && cc[0] >= '0' && cc[0] <= '8')
                text = cc;
        }
        if (id == IPTC_COUNTRY_CODE)
            text = std::string(trimItem(text));
        if (text.empty()) {
            if (m_templateMode)
                list.add(id, std::string()); // clears the field where the template is applied
            return kIPTCNoErr;
        }
        if ((id == IPTC_DATE_CREATED && text.size() != 8) || (id == IPTC_TIME_CREATED && text.size() != 11) ||
            (id == IPTC_URGENCY && text.size() != 1) ||
            (id == IPTC_COUNTRY_CODE && (text.size() < 2 || text.size() > 3)))
            return kIPTCNoErr;
        if (IPTCIsListField(id)) {
            for (const std::string& item : IPTCGetRepeatableItemsAsVector(text, m_settings.m_separator))
                if (const IPTCStatus status =
                        addText(list, id, id == IPTC_KEYWORDS ? packedHierarchy(item) : item);
                    status != kIPTCNoErr)
                    return status;
            return kIPTCNoErr;
        }
        return addText(list, id, FixLineEndings(text, m_settings.m_lineEndings));
    }

    // The three slots keep their positions: an empty slot before a set one is written as one space.
    IPTCStatus collectSuppCategory(int item, DataSetList& list) {
        const std::size_t first = static_cast<std::size_t>(IPTCFieldIndexOf(IPTC_SUPP_CATEGORIES, 1));
        const std::size_t slot = first + static_cast<std::size_t>(item - 1);
        const auto present = [&](std::size_t s) {
            return m_templateMode ? m_record.m_applyFlags[s] != 0 : !m_record.m_fields[s].empty();
        };
        bool laterPresent = false;
        for (std::size_t s = slot + 1; s < first + 3; ++s)
            laterPresent = laterPresent || present(s);
        if (!present(slot))
            return laterPresent ? addText(list, IPTC_SUPP_CATEGORIES, " ") : kIPTCNoErr;
        const std::string& text = m_record.m_fields[slot];
        if (text.empty() && !m_templateMode)
            return kIPTCNoErr;
        return addText(list, IPTC_SUPP_CATEGORIES, FixLineEndings(text, m_settings.m_lineEndings));
    }

    const IPTCEncodingSettings& m_settings;
    const IPTCRec& m_record;
    const bool m_templateMode;
    const bool m_utf8;
};

} // namespace

IPTCStatus IPTCUnpackRecFromBinary(const IPTCEncodingSettings& settings, const std::uint8_t* data,
                                   std::size_t length, bool templateMode, IPTCRec* record) {
    try {
        if (!record || (!data && length > 0))
            return kIPTCErrBadParameters;
        const IPTCStatus status =
            length == 0 ? kIPTCNoErr : unpack(settings, data, length, templateMode, *record);
        IPTCCleanupItems(record->m_fields[static_cast<std::size_t>(IPTCFieldIndexOf(IPTC_KEYWORDS))],
                         settings.m_separator);
        IPTCCleanupItems(record->m_fields[static_cast<std::size_t>(IPTCFieldIndexOf(IPTC_CAPTION_WRITERS))],
                         settings.m_separator);
        return status;
    } catch (const std::bad_alloc&) {
        LUMO_LOG("Unexpected exception in IPTCUnpackRecFromBinary()");
        return kIPTCErrOutOfMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTCUnpackRecFromBinary()");
    }
    return kIPTCErrException;
}

IPTCStatus IPTCPackRecToBinary(const IPTCEncodingSettings& settings, const IPTCRec* iptcRec,
                               std::unique_ptr<std::uint8_t[]>* builtIPTC, std::size_t* builtSize,
                               bool templateMode) {
    try {
        if (!iptcRec || !builtIPTC || !builtSize) {
            LUMO_LOG("IPTCPackRecToBinary() bad input parameters: iptcRec:%p, builtIPTC:%p, builtSize:%p",
                     static_cast<const void*>(iptcRec), static_cast<void*>(builtIPTC),
                     static_cast<void*>(builtSize));
            return kIPTCErrBadParameters;
        }
        builtIPTC->reset();
        *builtSize = 0;
        if (templateMode) {
            bool anyApplied = false;
            for (std::uint8_t flag : iptcRec->m_applyFlags)
                anyApplied = anyApplied || flag != 0;
            if (!anyApplied) {
                LUMO_LOG("IPTCPackRecToBinary() applying IPTC Stationery and nothing is set to apply.");
                return kIPTCErrNothingToApply;
            }
        }
        DataSetList list;
        if (const IPTCStatus status = Packer(settings, *iptcRec, templateMode).collect(list);
            status != kIPTCNoErr)
            return status;

        // First pass: the length; second pass: fill a buffer of exactly that length.
        std::size_t total = 0;
        for (const DataSetList::Entry& entry : list.entries)
            total += kDataSetHeaderSize + entry.bytes.size();
        std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[total]);
        if (!buffer) {
            LUMO_LOG("IPTCPackRecToBinary() out of memory trying to allocate %llu bytes.",
                     static_cast<unsigned long long>(total));
            return kIPTCErrOutOfMemory;
        }
        std::uint8_t* out = buffer.get();
        for (const DataSetList::Entry& entry : list.entries) {
            *out++ = kTagMarker;
            *out++ = static_cast<std::uint8_t>(IPTCFieldRecord(entry.id));
            *out++ = static_cast<std::uint8_t>(IPTCFieldDataSet(entry.id));
            *out++ = static_cast<std::uint8_t>(entry.bytes.size() >> 8);
            *out++ = static_cast<std::uint8_t>(entry.bytes.size() & 0xFF);
            std::copy(entry.bytes.begin(), entry.bytes.end(), out);
            out += entry.bytes.size();
        }
        *builtIPTC = std::move(buffer);
        *builtSize = total;
        return kIPTCNoErr;
    } catch (const std::bad_alloc&) {
        LUMO_LOG("Unexpected exception in IPTCPackRecToBinary()");
        return kIPTCErrOutOfMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTCPackRecToBinary()");
    }
    return kIPTCErrException;
}

IPTCStatus IPTCListDataSets(const IPTCEncodingSettings& settings, const std::uint8_t* data,
                            std::size_t length, std::vector<IPTCDataSetEntry>& entries,
                            std::string& encoding) {
    try {
        entries.clear();
        encoding = settings.m_readEncoding;
        if (!data && length > 0)
            return kIPTCErrBadParameters;
        bool treatAsUTF8 = IPTCIsUTF8Encoding(settings.m_readEncoding);
        int suppCategories = 0;
        std::size_t pos = 0;
        while (length - pos >= kDataSetHeaderSize && data[pos] == kTagMarker) {
            const IPTCFieldID tag = IPTCMakeFieldID(data[pos + 1], data[pos + 2]);
            const std::size_t size = (std::size_t{data[pos + 3]} << 8) | data[pos + 4];
            pos += kDataSetHeaderSize;
            if (size > length - pos)
                return kIPTCErrBadData;
            const std::string_view bytes(reinterpret_cast<const char*>(data + pos), size);
            pos += size;
            if (tag == IPTC_CODED_CHARACTER_SET && size >= 3 && bytes.substr(0, 3) == "\x1B%G") {
                treatAsUTF8 = true;
                encoding = "UTF-8";
            }
            IPTCDataSetEntry entry;
            entry.m_record = IPTCFieldRecord(tag);
            entry.m_dataSet = static_cast<int>(IPTCFieldDataSet(tag));
            const bool known = IPTCIsKnownField(tag);
            entry.m_name = IPTCDataSetName(tag, tag == IPTC_SUPP_CATEGORIES ? ++suppCategories : 1);
            if (tag == IPTC_RECORD_VERSION || tag == IPTC_ENVELOPE_RECORD_VERSION) {
                entry.m_value = size == 2
                                    ? std::to_string((std::uint8_t(bytes[0]) << 8) | std::uint8_t(bytes[1]))
                                    : lumo::toValidUtf8(bytes);
            } else if (treatAsUTF8 && lumo::isValidUtf8(bytes)) {
                entry.m_value.assign(bytes);
            } else if (!IPTCConvertToUTF8(bytes, settings.m_readEncoding, entry.m_value)) {
                entry.m_value = known ? std::string() : lumo::toValidUtf8(bytes);
            }
            entries.push_back(std::move(entry));
        }
        return kIPTCNoErr;
    } catch (const std::bad_alloc&) {
        LUMO_LOG("Unexpected exception in IPTCListDataSets()");
        return kIPTCErrOutOfMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTCListDataSets()");
    }
    return kIPTCErrException;
}
