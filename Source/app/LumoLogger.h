#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

// The application log. Any thread may log; lines are never torn. Text is collected in memory and
// appended to the log file when file logging is possible (the log folder is known) and the collected
// text has reached the flush threshold (0: every message is written at once). The first write of the
// process cuts an oversized log down to its last 10 MiB. Logging never throws: text that cannot be
// written stays pending for the next write.
class LumoLogger {
public:
    using FolderSource = std::function<std::string()>;

    static constexpr std::size_t kMessageBufferSize = 4096;
    static constexpr std::uint64_t kTrimThreshold = 0xA00001; // 10 MiB + 1 byte
    static constexpr std::uint64_t kTrimKeep = 0xA00000;      // 10 MiB
    static constexpr std::size_t kTrimPiece = 0x100000;       // 1 MiB

    // `folderSource` answers the log folder, or empty while it is not known yet; the first non-empty
    // answer is kept for the life of the logger.
    LumoLogger(std::string fileName, FolderSource folderSource);
    ~LumoLogger();
    LumoLogger(const LumoLogger&) = delete;
    LumoLogger& operator=(const LumoLogger&) = delete;

    // The process's log, "Lumo.log" in the image cache folder.
    static LumoLogger& instance();

    void logMessage(std::string_view message) noexcept;
    // Logs "file:line message" with the file's name without its folders.
    void logAtPosition(std::string_view file, int line, std::string_view message) noexcept;
    // Stores the threshold, writes what is pending, and answers the previous threshold.
    std::size_t setFlushThreshold(std::size_t bytes) noexcept;
    // Writes the pending text, then `bytes`, as they are.
    void writeRaw(std::string_view bytes) noexcept;
    // Writes the pending text now when file logging is possible.
    void flush() noexcept;

    std::string pendingText() const;
    // Empty while the log folder is not known.
    std::string logFilePath() const;

private:
    void append(std::string_view line);
    bool fileLoggingPossible();
    void writePending();
    void trimOnce(const std::string& path);

    mutable std::recursive_mutex m_mutex;
    std::string m_fileName;
    FolderSource m_folderSource;
    std::string m_folder;
    bool m_folderCreated = false;
    std::string m_pending;
    std::size_t m_flushThreshold = 0;
    bool m_headerWritten = false;
    bool m_rotationDone = false;
};

// Formats into a caller's buffer of `size` bytes. When the text does not fit and the buffer holds at
// least 17 bytes, the buffer receives "<data too large>" instead. Answers the length of what the
// buffer holds.
int formatLogBuffer(char* buffer, std::size_t size, const char* format, va_list args);

// Formats into a 4096-byte buffer and logs at a source position; see LUMO_LOG.
void lumoLogAt(const char* file, int line, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));
// Formats into a 4096-byte buffer and logs without a position.
void lumoLog(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
