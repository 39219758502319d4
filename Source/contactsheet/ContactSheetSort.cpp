#include "contactsheet/ContactSheetSort.h"

#include "app/LumoLog.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <cstdio>
#include <tuple>

namespace {

int sign(int value) {
    return (value > 0) - (value < 0);
}

template <typename T>
int threeWay(const T& a, const T& b) {
    return (b < a) - (a < b);
}

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

unsigned char foldCase(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Empty date-times (year 0) order before every real one: the fields compare in turn, year first.
int compareCaptureTimes(const ContactSheetSortRecord& a, const ContactSheetSortRecord& b) {
    const KLDateTime& x = a.captureTime;
    const KLDateTime& y = b.captureTime;
    const auto tx = std::make_tuple(x.year, x.month, x.day, x.hour, x.minute, x.second, a.captureSubSeconds);
    const auto ty = std::make_tuple(y.year, y.month, y.day, y.hour, y.minute, y.second, b.captureSubSeconds);
    return threeWay(tx, ty);
}

int compareTexts(const std::string& a, const std::string& b) {
    return sign(a.compare(b)); // char_traits<char>::compare orders bytes unsigned
}

int finalTieBreak(const ContactSheetSortRecord& a, const ContactSheetSortRecord& b) {
    if (const int byName = LogicalCompare(a.fileName, b.fileName))
        return byName;
    return threeWay(a.index, b.index);
}

} // namespace

int LogicalCompare(const std::string& a, const std::string& b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a.data());
    const auto* y = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t nx = a.size(), ny = b.size();
    std::size_t i = 0, j = 0;
    while (i < nx && j < ny) {
        if (isDigit(x[i]) && isDigit(y[j])) {
            // Runs of digits by value, without converting: leading zeros off, then the length, then
            // the digits.
            std::size_t ei = i, ej = j;
            while (ei < nx && isDigit(x[ei]))
                ++ei;
            while (ej < ny && isDigit(y[ej]))
                ++ej;
            std::size_t si = i, sj = j;
            while (si + 1 < ei && x[si] == '0')
                ++si;
            while (sj + 1 < ej && y[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj ? -1 : 1;
            for (std::size_t k = 0; k < ei - si; ++k)
                if (x[si + k] != y[sj + k])
                    return x[si + k] < y[sj + k] ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        const unsigned char cx = foldCase(x[i]), cy = foldCase(y[j]);
        if (cx != cy)
            return cx < cy ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < nx || j < ny)
        return i < nx ? 1 : -1;
    // Equal by value and without case ("IMG_01" and "img_1"): the bytes decide, so that only equal
    // names compare equal.
    return compareTexts(a, b);
}

int ContactSheetCommonCompareCells(const std::vector<ContactSheetSortRecord>& records, std::uint32_t a,
                                   std::uint32_t b, const ContactSheetSortSettings& settings) {
    const int direction = settings.reverse ? -1 : 1;
    if (a >= records.size() || b >= records.size()) {
        LUMO_LOG("ContactSheetCommonCompareCells() cell 1 (%d) or cell 2 (%d) is out of range (%d)",
                 static_cast<int>(a), static_cast<int>(b), static_cast<int>(records.size()));
        return direction * threeWay(a, b);
    }
    const ContactSheetSortRecord& x = records[a];
    const ContactSheetSortRecord& y = records[b];
    int result = 0;
    switch (settings.sortType) {
    case kSortCaptureTime:
        result = compareCaptureTimes(x, y);
        break;
    case kSortModificationTime:
        result = compareTexts(x.modificationTimeKey, y.modificationTimeKey);
        break;
    case kSortFilename:
    case kSortArrangement:
        break;
    case kSortColorClass:
        result = threeWay(x.colorClass, y.colorClass);
        break;
    case kSortRating:
        result = threeWay(y.rating, x.rating); // the higher rating first
        break;
    default: {
        const ContactSheetCustomSort& custom = settings.custom;
        if (custom.primary.empty() && !custom.secondary.empty())
            return 0; // such a sort leaves the order as it is
        result = LogicalCompare(x.customPrimary, y.customPrimary);
        if (result == 0 && !custom.secondary.empty())
            result = custom.reverseSecondary ? LogicalCompare(y.customSecondary, x.customSecondary)
                                             : LogicalCompare(x.customSecondary, y.customSecondary);
        break;
    }
    }
    if (result == 0)
        result = finalTieBreak(x, y);
    return direction * result;
}

std::string ContactSheetSortTypeLabel(std::uint32_t type, const std::string& customName) {
    switch (type) {
    case kSortCaptureTime:
        return "Capture Time";
    case kSortModificationTime:
        return "Modification Time";
    case kSortFilename:
        return "Filename";
    case kSortColorClass:
        return "Color Class";
    case kSortRating:
        return "Rating";
    case kSortArrangement:
        return "Arrangement";
    default: {
        char label[64];
        std::snprintf(label, sizeof label, "%u: ", type);
        return label + customName;
    }
    }
}

bool ContactSheetShellSort(std::vector<std::uint32_t>& order,
                           const std::vector<ContactSheetSortRecord>& records,
                           const ContactSheetSortSettings& settings,
                           const std::function<void(unsigned)>& progress,
                           const std::function<bool()>& shouldCancel) {
    const std::size_t n = order.size();
    int reported = -1;
    std::uint32_t* data = order.data();
    for (std::size_t k = 0; k < kContactSheetSortGaps.size(); ++k) {
        const std::size_t gap = kContactSheetSortGaps[k];
        if (gap >= n)
            continue;
        for (std::size_t i = gap; i < n; ++i) {
            const std::uint32_t moving = data[i];
            std::size_t j = i;
            // Equal elements never move: only a predecessor that orders after the moving one steps aside.
            while (j >= gap && ContactSheetCommonCompareCells(records, data[j - gap], moving, settings) > 0) {
                data[j] = data[j - gap];
                j -= gap;
            }
            data[j] = moving;
            if (shouldCancel && (i & 63) == 0 && shouldCancel())
                return false;
        }
        const int percent = static_cast<int>(static_cast<double>(k) * 6.25 + 0.5);
        if (percent != reported) {
            reported = percent;
            if (progress)
                progress(static_cast<unsigned>(percent));
        }
    }
    return !(shouldCancel && shouldCancel());
}

std::string ContactSheetCaptureTimeText(const KLDateTime& time, std::uint32_t subSeconds,
                                        bool hasSubSeconds) {
    if (!time.isValid())
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%04d:%02u:%02u %02u:%02u:%02u", static_cast<int>(time.year),
                  unsigned{time.month}, unsigned{time.day}, unsigned{time.hour}, unsigned{time.minute},
                  unsigned{time.second});
    std::string out = text;
    if (hasSubSeconds) {
        std::snprintf(text, sizeof text, ".%04u", subSeconds % 10000);
        out += text;
    }
    return out;
}

bool ParseContactSheetCaptureTime(const std::string& text, KLDateTime& time, std::uint32_t& subSeconds) {
    time = KLDateTime{};
    subSeconds = 0;
    if (text.size() < 19)
        return false;
    int parts[6];
    const std::size_t at[6] = {0, 5, 8, 11, 14, 17};
    const std::size_t width[6] = {4, 2, 2, 2, 2, 2};
    for (int p = 0; p < 6; ++p) {
        int value = 0;
        for (std::size_t c = at[p]; c < at[p] + width[p]; ++c) {
            if (!isDigit(static_cast<unsigned char>(text[c])))
                return false;
            value = value * 10 + (text[c] - '0');
        }
        parts[p] = value;
    }
    if (parts[0] == 0 || parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31 || parts[3] > 23 ||
        parts[4] > 59 || parts[5] > 60)
        return false;
    std::uint32_t fraction = 0;
    if (text.size() > 20 && text[19] == '.') {
        // To 1/10000 s: the first four digits, padded with zeros.
        std::size_t digits = 0;
        for (std::size_t c = 20; c < text.size() && isDigit(static_cast<unsigned char>(text[c])); ++c) {
            if (digits < 4) {
                fraction = fraction * 10 + static_cast<std::uint32_t>(text[c] - '0');
                ++digits;
            }
        }
        for (; digits < 4 && digits > 0; ++digits)
            fraction *= 10;
    }
    time = KLDateTime{static_cast<std::int16_t>(parts[0]), static_cast<std::uint8_t>(parts[1]),
                      static_cast<std::uint8_t>(parts[2]), static_cast<std::uint8_t>(parts[3]),
                      static_cast<std::uint8_t>(parts[4]), static_cast<std::uint8_t>(parts[5])};
    subSeconds = fraction;
    return true;
}

namespace {

bool keepRecord(const ContactSheetSortRecord& record, std::int32_t documentNumber,
                const ContactSheetSortWork& work) {
    const ContactSheetSortSettings& settings = work.settings;
    const unsigned index = record.index;
    if (settings.tagFilter == ContactSheetTagFilter::Tagged && !record.tag) {
        LUMO_CHANNEL_LOG(DebugFlag::CONTACT_SHEET_SORT_LOGGING, "View tagged, %u not adding, not tagged",
                         index);
        return false;
    }
    if (settings.tagFilter == ContactSheetTagFilter::Untagged && record.tag) {
        LUMO_CHANNEL_LOG(DebugFlag::CONTACT_SHEET_SORT_LOGGING, "View untagged, %u not adding, tagged",
                         index);
        return false;
    }
    if (record.colorClass >= 0 &&
        static_cast<std::size_t>(record.colorClass) < settings.colorClassActive.size() &&
        !settings.colorClassActive[static_cast<std::size_t>(record.colorClass)]) {
        LUMO_CHANNEL_LOG(DebugFlag::CONTACT_SHEET_SORT_LOGGING,
                         "Not adding %u, color class %d is not active.", index, record.colorClass);
        return false;
    }
    if (record.rating >= 0 && static_cast<std::size_t>(record.rating) < settings.ratingActive.size() &&
        !settings.ratingActive[static_cast<std::size_t>(record.rating)]) {
        LUMO_CHANNEL_LOG(DebugFlag::CONTACT_SHEET_SORT_LOGGING, "Not adding %u, rating %d is not active.",
                         index, record.rating);
        return false;
    }
    if (settings.selectedOnly &&
        (documentNumber < 0 || !work.selection.isSelected(static_cast<std::uint32_t>(documentNumber)))) {
        LUMO_CHANNEL_LOG(DebugFlag::CONTACT_SHEET_SORT_LOGGING, "View selected, %u not adding, not selected",
                         index);
        return false;
    }
    return true;
}

void report(const ContactSheetSortWork& work, ContactSheetSortStatus::Phase phase, unsigned percent) {
    if (work.status)
        work.status(ContactSheetSortStatus{phase, percent});
}

} // namespace

const char* ContactSheetSortStatus::PhaseText(Phase phase) {
    switch (phase) {
    case Gathering:
        return "Gathering sort info:";
    case Sorting:
        return "Sorting:";
    case Filtering:
        return "Filtering:";
    case Preloading:
        return "Preloading metadata:";
    }
    return "";
}

std::optional<ContactSheetSortResult>
SortContactSheetRecords(std::vector<ContactSheetSortRecord> records,
                        const std::vector<std::int32_t>& documentNumbers, const ContactSheetSortWork& work,
                        const std::function<bool()>& shouldCancel) {
    ContactSheetSortResult result;
    result.serial = work.serial;

    report(work, ContactSheetSortStatus::Filtering, 0);
    result.order.reserve(records.size());
    int added = 0, rejected = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::int32_t number =
            i < documentNumbers.size() ? documentNumbers[i] : static_cast<std::int32_t>(records[i].index);
        if (keepRecord(records[i], number, work)) {
            result.order.push_back(static_cast<std::uint32_t>(i));
            ++added;
        } else {
            ++rejected;
        }
    }
    LUMO_CHANNEL_LOG(DebugFlag::CONTACT_SHEET_SORT_LOGGING, "Filter complete: added %d, rejected %d", added,
                     rejected);
    report(work, ContactSheetSortStatus::Filtering, 100);
    if (shouldCancel && shouldCancel())
        return std::nullopt;

    if (work.settings.sortType != kSortArrangement) {
        LUMO_CHANNEL_LOG(DebugFlag::CONTACT_SHEET_SORT_LOGGING, "Sorting in %s order",
                         work.settings.reverse ? "descending" : "ascending");
        // The comparison reads records by position: make each record's index its position.
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i].index = static_cast<std::uint32_t>(i);
        const auto progress = [&](unsigned percent) {
            report(work, ContactSheetSortStatus::Sorting, percent);
        };
        if (!ContactSheetShellSort(result.order, records, work.settings, progress, shouldCancel))
            return std::nullopt;
    }
    result.records = std::move(records);
    return result;
}

// ---- custom sorts and the preferences

namespace {

std::string textOf(const CILA::VObject::Hash& hash, const char* key) {
    const auto found = hash.find(key);
    return found != hash.end() && found->second.dataType() == CILA::VObject::DT_STR ? found->second.getstr()
                                                                                    : std::string();
}

bool flagOf(const CILA::VObject::Hash& hash, const char* key) {
    const auto found = hash.find(key);
    if (found == hash.end())
        return false;
    switch (found->second.dataType()) {
    case CILA::VObject::DT_BOOL:
        return found->second.getbool();
    case CILA::VObject::DT_INTEGER:
        return found->second.getint() != 0;
    default:
        return false;
    }
}

} // namespace

const std::vector<ContactSheetCustomSort>& PredefinedCustomSorts() {
    static const std::vector<ContactSheetCustomSort> sorts = {
        {"Sort by {type}", "{type}", "", false},
        {"Sort by {serial}", "{serial}", "", false},
        {"Sort by {tag} and {colorclass}", "{tag}", "{colorclass}", false},
        {"Sort by {filesize}", "{filesize}", "", false},
        {"Sort by {sound}", "{sound}", "", false},
        {"Sort by {hascrop}", "{hascrop}", "", false},
        {"Sort by {width}", "{width}", "", false},
        {"Sort by {height}", "{height}", "", false},
        {"Sort by {lens}", "{lens}", "", false},
        {"Sort by {iso}", "{iso}", "", false},
    };
    return sorts;
}

std::vector<ContactSheetCustomSort> LoadCustomSorts() {
    CILA::VObject stored;
    const auto preferences = CPreferences::instance();
    if (!preferences || !preferences->getValue(kPrefCustomSortSettings, stored) ||
        stored.dataType() != CILA::VObject::DT_VECTOR)
        return PredefinedCustomSorts();
    std::vector<ContactSheetCustomSort> sorts;
    for (const CILA::VObject& entry : stored.getvec()) {
        if (entry.dataType() != CILA::VObject::DT_HASH)
            continue;
        const CILA::VObject::Hash& hash = entry.gethash();
        ContactSheetCustomSort sort{textOf(hash, "Name"), textOf(hash, "PrimarySort"),
                                    textOf(hash, "SecondarySort"), flagOf(hash, "ReverseSecondaryCheckbox")};
        if (!sort.name.empty() && !sort.primary.empty())
            sorts.push_back(std::move(sort));
    }
    return sorts.empty() ? PredefinedCustomSorts() : sorts;
}

bool SaveCustomSorts(const std::vector<ContactSheetCustomSort>& sorts) {
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return false;
    CILA::VObject list = CILA::VObject::makeVector();
    for (const ContactSheetCustomSort& sort : sorts) {
        CILA::VObject entry = CILA::VObject::makeHash();
        entry.store("Name", CILA::VObject(sort.name));
        entry.store("PrimarySort", CILA::VObject(sort.primary));
        entry.store("SecondarySort", CILA::VObject(sort.secondary));
        entry.store("ReverseSecondaryCheckbox", CILA::VObject(sort.reverseSecondary));
        list.append(std::move(entry));
    }
    return preferences->setValue(kPrefCustomSortSettings, list);
}

std::optional<ContactSheetCustomSort> CustomSortForType(std::uint32_t type) {
    if (type < kSortCustomFirst)
        return std::nullopt;
    std::vector<ContactSheetCustomSort> sorts = LoadCustomSorts();
    const std::size_t at = type - kSortCustomFirst;
    if (at >= sorts.size())
        return std::nullopt;
    return std::move(sorts[at]);
}

ContactSheetSortSettings ContactSheetSortSettingsFromPreferences() {
    ContactSheetSortSettings settings;
    if (const auto preferences = CPreferences::instance()) {
        const std::int64_t type =
            preferences->getInt(kPrefContactSheetSortExtended, kPrefContactSheetSortExtendedDefault);
        settings.sortType =
            type >= 0 && type <= 0xFFFFFFFF ? static_cast<std::uint32_t>(type) : kSortCaptureTime;
        settings.reverse =
            preferences->getBool(kPrefContactSheetSortReverse, kPrefContactSheetSortReverseDefault);
    }
    if (settings.sortType >= kSortCustomFirst) {
        if (auto custom = CustomSortForType(settings.sortType))
            settings.custom = std::move(*custom);
        else
            settings.sortType = kSortCaptureTime;
    }
    return settings;
}
