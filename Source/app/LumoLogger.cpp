#include "app/LumoLogger.h"

#include "app/LumoPaths.h"
#include "app/Version.h"
#include "support/FileIO.h"
#include "support/ProcessInfo.h"
#include "support/TextUtils.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

namespace {

constexpr char kTooLarge[] = "<data too large>";

std::string headerText() {
    std::string header;
    for (int i = 0; i < 5; ++i) {
        header.append(80, '*');
        header += '\n';
    }
    header += versionLine();
    header += '\n';
    return header;
}

// "[Sun Dec-06-2026 14:03:07.123][0001a2b3][0012345] message\n"
std::string formatLine(std::string_view message) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[64];
    if (std::strftime(stamp, sizeof stamp, "%a %b-%d-%Y %H:%M:%S", &local) == 0)
        stamp[0] = '\0';
    char prefix[128];
    const int n = std::snprintf(prefix, sizeof prefix, "[%s.%03d][%08lx][%07lu] ", stamp,
                                static_cast<int>(now.tv_nsec / 1000000),
                                static_cast<unsigned long>(lumo::currentThreadId()),
                                static_cast<unsigned long>(lumo::processMemoryKiB()));
    std::string line;
    line.reserve(static_cast<std::size_t>(n > 0 ? n : 0) + message.size() + 1);
    line.append(prefix, n > 0 ? static_cast<std::size_t>(n) : 0);
    line.append(message);
    if (message.empty() || message.back() != '\n')
        line += '\n';
    return line;
}

} // namespace

LumoLogger::LumoLogger(std::string fileName, FolderSource folderSource)
    : m_fileName(std::move(fileName)), m_folderSource(std::move(folderSource)) {}

LumoLogger::~LumoLogger() {
    flush();
}

LumoLogger& LumoLogger::instance() {
    static LumoLogger logger(kLogFileName, [] { return LumoPaths::logFolder(); });
    return logger;
}

void LumoLogger::logMessage(std::string_view message) noexcept {
    try {
        const std::string line = formatLine(message);
        std::lock_guard lock(m_mutex);
        append(line);
        if (fileLoggingPossible() && m_pending.size() >= m_flushThreshold)
            writePending();
    } catch (...) {
        // Out of memory while logging: the message is lost, the program goes on.
    }
}

void LumoLogger::logAtPosition(std::string_view file, int line, std::string_view message) noexcept {
    try {
        const std::string_view name = lumo::baseName(file);
        std::string text;
        text.reserve(name.size() + message.size() + 16);
        text.append(name);
        text += ':';
        text += std::to_string(line);
        text += ' ';
        text.append(message);
        logMessage(text);
    } catch (...) {
    }
}

std::size_t LumoLogger::setFlushThreshold(std::size_t bytes) noexcept {
    std::lock_guard lock(m_mutex);
    const std::size_t previous = m_flushThreshold;
    m_flushThreshold = bytes;
    flush();
    return previous;
}

void LumoLogger::writeRaw(std::string_view bytes) noexcept {
    try {
        std::lock_guard lock(m_mutex);
        // Kept behind the pending text, so nothing is lost or reordered while the log cannot be written.
        m_pending.append(bytes);
        if (fileLoggingPossible())
            writePending();
    } catch (...) {
    }
}

void LumoLogger::flush() noexcept {
    try {
        std::lock_guard lock(m_mutex);
        if (fileLoggingPossible())
            writePending();
    } catch (...) {
    }
}

std::string LumoLogger::pendingText() const {
    std::lock_guard lock(m_mutex);
    return m_pending;
}

std::string LumoLogger::logFilePath() const {
    std::lock_guard lock(m_mutex);
    if (m_folder.empty())
        return {};
    return (std::filesystem::path(m_folder) / m_fileName).string();
}

void LumoLogger::append(std::string_view line) {
    if (!m_headerWritten) {
        m_pending += headerText();
        m_headerWritten = true;
    }
    m_pending.append(line);
}

bool LumoLogger::fileLoggingPossible() {
    if (m_fileName.empty())
        return false;
    if (m_folder.empty() && m_folderSource)
        m_folder = m_folderSource();
    return !m_folder.empty();
}

void LumoLogger::writePending() {
    if (m_pending.empty())
        return;
    if (!m_folderCreated) {
        if (lumo::createDirectories(m_folder) != 0)
            return;
        m_folderCreated = true;
    }
    const std::string path = (std::filesystem::path(m_folder) / m_fileName).string();
    if (!m_rotationDone) {
        trimOnce(path);
        m_rotationDone = true;
    }
    lumo::File file;
    if (file.open(path, lumo::File::Mode::Append) != 0)
        return;
    std::size_t written = 0;
    file.write(m_pending.data(), m_pending.size(), &written);
    m_pending.erase(0, written);
    file.close();
}

void LumoLogger::trimOnce(const std::string& path) {
    std::uint64_t size = 0;
    if (lumo::fileSize(path, size) != 0 || size < kTrimThreshold)
        return;
    const std::string copyPath =
        (std::filesystem::path(m_folder) / lumo::formatString("log_%s.txt", lumo::newGuidString().c_str()))
            .string();
    lumo::File source, copy;
    if (source.open(path, lumo::File::Mode::Read) != 0 ||
        copy.open(copyPath, lumo::File::Mode::CreateNew) != 0)
        return;

    std::vector<char> piece(kTrimPiece);
    const std::uint64_t start = size - kTrimKeep;
    std::uint64_t copied = 0;
    while (copied < kTrimKeep) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kTrimPiece, kTrimKeep - copied));
        std::size_t got = 0;
        if (source.readAt(piece.data(), want, start + copied, got) != 0 || got == 0)
            break;
        if (copy.write(piece.data(), got) != 0)
            break;
        copied += got;
    }
    const bool closed = copy.close() == 0;
    // The copy replaces the log in one step, so a crash here leaves either the old log or the cut one.
    if (copied != kTrimKeep || !closed || lumo::renameFile(copyPath, path) != 0)
        lumo::removeFile(copyPath);
}

int formatLogBuffer(char* buffer, std::size_t size, const char* format, va_list args) {
    if (size == 0)
        return 0;
    const int needed = std::vsnprintf(buffer, size, format, args);
    if (needed >= 0 && static_cast<std::size_t>(needed) < size)
        return needed;
    if (size >= sizeof kTooLarge) {
        std::memcpy(buffer, kTooLarge, sizeof kTooLarge);
        return static_cast<int>(sizeof kTooLarge - 1);
    }
    return static_cast<int>(std::strlen(buffer));
}

void lumoLogAt(const char* file, int line, const char* format, ...) noexcept {
    char buffer[LumoLogger::kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatLogBuffer(buffer, sizeof buffer, format, args);
    va_end(args);
    LumoLogger::instance().logAtPosition(file ? file : "", line, buffer);
}

void lumoLog(const char* format, ...) noexcept {
    char buffer[LumoLogger::kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatLogBuffer(buffer, sizeof buffer, format, args);
    va_end(args);
    LumoLogger::instance().logMessage(buffer);
}
