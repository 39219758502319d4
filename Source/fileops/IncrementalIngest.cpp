#include "fileops/IncrementalIngest.h"

#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kMaxMarkerBytes = 4096;
// Far more than any card holds (a line per file); a bigger file is not one of ours.
constexpr std::size_t kMaxRecordsBytes = std::size_t{1} << 30;

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool isHexDigits(const std::string& text, std::size_t count) {
    return text.size() == count && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool parseUnsigned(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text.size() > 20)
        return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

// One line: "<path> <size> <time>" with an optional " <digest>"; the path may hold spaces, so the
// numbers are taken from the end.
bool parseRecordLine(const std::string& line, std::string& path, IncrementalIngest::Record& record) {
    std::string rest = line;
    auto takeLast = [&rest](std::string& token) {
        const std::size_t space = rest.rfind(' ');
        if (space == std::string::npos)
            return false;
        token = rest.substr(space + 1);
        rest.resize(space);
        return true;
    };
    std::string last, time, size;
    if (!takeLast(last))
        return false;
    std::string digest;
    if (isHexDigits(last, 32)) {
        digest = last;
        if (!takeLast(last))
            return false;
    }
    time = last;
    if (!takeLast(size) || rest.empty())
        return false;
    std::uint64_t sizeValue = 0, timeValue = 0;
    if (!parseUnsigned(size, sizeValue) || !parseUnsigned(time, timeValue) ||
        timeValue > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    path = rest;
    record.size = sizeValue;
    record.modificationTime = static_cast<std::int64_t>(timeValue);
    record.digest = std::move(digest);
    return true;
}

} // namespace

std::string IncrementalIngest::NewVolumeId() {
    // The marker's form, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}": lower case, in braces.
    std::string id = "{" + lumo::newGuidString() + "}";
    std::transform(id.begin(), id.end(), id.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    return id;
}

bool IncrementalIngest::IsVolumeId(const std::string& text) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const char c = text[i];
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

bool IncrementalIngest::open(const std::string& volumeRoot, std::string* message,
                             const std::string& cacheFolder) {
    std::lock_guard lock(m_mutex);
    m_records.clear();
    m_enabled = false;
    m_volumeRoot = volumeRoot;
    m_volumeId.clear();
    m_recordsPath.clear();
    auto fail = [message](std::string text) {
        LUMO_LOG("%s", text.c_str());
        if (message)
            *message = std::move(text);
        return false;
    };
    char text[8192];

    // 1. The volume's identifier, from its marker or new.
    const std::string marker = joinPath(volumeRoot, kMarkerFileName);
    std::string content;
    const int readError = lumo::readFile(marker, content, kMaxMarkerBytes);
    if (readError == 0) {
        const std::size_t end = content.find_first_of("\r\n");
        std::string line = content.substr(0, end);
        if (IsVolumeId(line)) {
            std::transform(line.begin(), line.end(), line.begin(),
                           [](char c) { return static_cast<char>(std::tolower(c)); });
            m_volumeId = line;
        } else {
            LUMO_LOG(
                "IncrementalIngest::open() the marker \"%s\" holds no volume identifier; writing a new one",
                marker.c_str());
        }
    } else if (readError != ENOENT) {
        LUMO_LOG("IncrementalIngest::open() cannot read \"%s\": %s", marker.c_str(),
                 std::strerror(readError));
    }
    if (m_volumeId.empty()) {
        const std::string id = NewVolumeId();
        // Written aside and renamed, so that a marker is never half written.
        if (const int error = lumo::writeFileReplacing(marker, id + "\n"); error != 0) {
            std::snprintf(text, sizeof text,
                          "Warning: Incremental Ingest will not function on read-only volume %s.",
                          volumeRoot.c_str());
            LUMO_LOG("IncrementalIngest::open() cannot write \"%s\": %s", marker.c_str(),
                     std::strerror(error));
            return fail(text);
        }
        m_volumeId = id;
    }

    // 2. The volume's records in the cache folder.
    const std::string cache = cacheFolder.empty() ? LumoPaths::imageCacheFolder() : cacheFolder;
    const std::string folder = joinPath(cache, kRecordsSubfolder);
    if (cache.empty() || lumo::createDirectories(folder) != 0) {
        std::snprintf(
            text, sizeof text,
            "Incremental Ingest will not function because the cache folder %s could not be created.  "
            "The cache location can be changed in the Preferences.",
            folder.c_str());
        return fail(text);
    }
    // The identifier without its braces names the file.
    m_recordsPath = joinPath(folder, m_volumeId.substr(1, 36) + ".dat");
    std::string records;
    const int error = lumo::readFile(m_recordsPath, records, kMaxRecordsBytes);
    if (error != 0 && error != ENOENT) {
        std::snprintf(
            text, sizeof text,
            "Incremental Ingest: Error loading from Incremental Ingest database %s.  Incremental Ingest "
            "will not function for volume %s.",
            m_recordsPath.c_str(), volumeRoot.c_str());
        LUMO_LOG("IncrementalIngest::open() %s", std::strerror(error));
        return fail(text);
    }
    std::size_t start = 0, bad = 0;
    while (start < records.size()) {
        std::size_t end = records.find('\n', start);
        if (end == std::string::npos)
            end = records.size();
        std::string line = records.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::string path;
        Record record;
        if (parseRecordLine(line, path, record))
            m_records[path] = std::move(record);
        else
            ++bad;
    }
    if (bad)
        LUMO_LOG("IncrementalIngest::open() %zu unreadable lines in \"%s\" ignored", bad,
                 m_recordsPath.c_str());
    LUMO_CHANNEL_LOG(DebugFlag::INCREMENTAL_INGEST_LOGGING,
                     "IncrementalIngest::open() volume %s %s: %zu records", volumeRoot.c_str(),
                     m_volumeId.c_str(), m_records.size());
    m_enabled = true;
    return true;
}

bool IncrementalIngest::wasCopied(const std::string& relativePath, std::uint64_t size,
                                  std::int64_t modificationTime) const {
    std::lock_guard lock(m_mutex);
    if (!m_enabled)
        return false;
    const auto it = m_records.find(relativePath);
    if (it == m_records.end() || it->second.size != size)
        return false;
    const std::int64_t recorded = it->second.modificationTime;
    return recorded == modificationTime || recorded == modificationTime + kClockShiftTolerance ||
           recorded == modificationTime - kClockShiftTolerance;
}

const IncrementalIngest::Record* IncrementalIngest::find(const std::string& relativePath) const {
    std::lock_guard lock(m_mutex);
    // Elements of the map keep their place when it grows.
    const auto it = m_records.find(relativePath);
    return it == m_records.end() ? nullptr : &it->second;
}

void IncrementalIngest::record(const std::string& relativePath, std::uint64_t size,
                               std::int64_t modificationTime, const std::string& digest) {
    if (relativePath.empty() || relativePath.find_first_of("\r\n") != std::string::npos ||
        modificationTime < 0)
        return;
    std::lock_guard lock(m_mutex);
    Record& record = m_records[relativePath];
    record.size = size;
    record.modificationTime = modificationTime;
    record.digest = isHexDigits(digest, 32) ? digest : std::string();
}

std::size_t IncrementalIngest::size() const {
    std::lock_guard lock(m_mutex);
    return m_records.size();
}

bool IncrementalIngest::save(std::string* message) {
    std::lock_guard lock(m_mutex);
    if (!m_enabled)
        return false;
    std::vector<const decltype(m_records)::value_type*> sorted;
    sorted.reserve(m_records.size());
    for (const auto& entry : m_records)
        sorted.push_back(&entry);
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->first < b->first; });
    std::string text;
    char numbers[96];
    for (const auto* entry : sorted) {
        std::snprintf(numbers, sizeof numbers, " %llu %llu",
                      static_cast<unsigned long long>(entry->second.size),
                      static_cast<unsigned long long>(entry->second.modificationTime));
        text += entry->first;
        text += numbers;
        if (!entry->second.digest.empty()) {
            text += ' ';
            text += entry->second.digest;
        }
        text += '\n';
    }
    if (const int error = lumo::writeFileReplacing(m_recordsPath, text); error != 0) {
        char line[8192];
        std::snprintf(
            line, sizeof line,
            "Incremental Ingest: Error saving Incremental Ingest database %s.  Incremental Ingest will not "
            "function for volume %s.",
            m_recordsPath.c_str(), m_volumeRoot.c_str());
        LUMO_LOG("%s (%s)", line, std::strerror(error));
        if (message)
            *message = line;
        return false;
    }
    return true;
}
