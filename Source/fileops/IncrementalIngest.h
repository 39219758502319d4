#pragma once

// Incremental ingest: what an earlier ingest copied from a volume, so that the next copies only new
// files. The volume carries its identifier in a marker file at its root; the records of each volume
// live in the cache folder under "ingest/incremental/", one file per identifier, each line
// "<path on the volume> <size> <modification time in seconds>" and, for files verified when copied,
// " <digest>" (32 lower-case hexadecimal digits). A file counts as copied when its path has a record
// with the same size and the same time, or a time one hour off either way.

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class IncrementalIngest {
public:
    static constexpr char kMarkerFileName[] = ".lumoingest.dat";
    static constexpr char kRecordsSubfolder[] = "ingest/incremental";
    static constexpr std::int64_t kClockShiftTolerance = 3600;

    struct Record {
        std::uint64_t size = 0;
        std::int64_t modificationTime = 0;
        std::string digest; // empty when the copy was not verified
    };

    IncrementalIngest() = default;
    IncrementalIngest(const IncrementalIngest&) = delete;
    IncrementalIngest& operator=(const IncrementalIngest&) = delete;

    // `volumeRoot`: a volume's root, or for an ingest from folders the source folder itself.
    // Reads the volume's identifier from the marker at `volumeRoot` (writing a new one when there is
    // none) and loads its records from `cacheFolder` (the program's cache folder when empty). False,
    // with the message for the user in `message`, when incremental ingest cannot work for this volume
    // (a read-only volume, a records file that cannot be read, no cache folder): then wasCopied()
    // answers false and save() does nothing.
    bool open(const std::string& volumeRoot, std::string* message, const std::string& cacheFolder = {});
    bool enabled() const { return m_enabled; }
    const std::string& volumeId() const { return m_volumeId; }
    const std::string& volumeRoot() const { return m_volumeRoot; }
    // The records file of this volume (empty until open() found the identifier).
    const std::string& recordsPath() const { return m_recordsPath; }

    // `relativePath`: the file's path below the volume root, "/" separated.
    bool wasCopied(const std::string& relativePath, std::uint64_t size, std::int64_t modificationTime) const;
    // The record of a path (null when none). It stays valid until the next open() (records are never
    // removed; a record made again for the same path changes it in place).
    const Record* find(const std::string& relativePath) const;
    // Records a copied file (call only once its copies are verified). Names holding a line break are
    // not recorded (such a file is copied again next time).
    void record(const std::string& relativePath, std::uint64_t size, std::int64_t modificationTime,
                const std::string& digest = {});
    std::size_t size() const;

    // Writes the records through a temporary file and a rename. False with the message when that failed.
    bool save(std::string* message);

    // A new identifier, "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (lower-case hexadecimal, random).
    static std::string NewVolumeId();
    // Whether `text` is an identifier of that form.
    static bool IsVolumeId(const std::string& text);

private:
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, Record> m_records;
    std::string m_volumeRoot;
    std::string m_volumeId;
    std::string m_recordsPath;
    bool m_enabled = false;
};
