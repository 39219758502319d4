#include "support/DiskUtils.h"

#include "support/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace DiskUtils {

namespace {

std::atomic<LogSink> g_sink{nullptr};
std::atomic<unsigned> g_temporaryCounter{0};

CopyObserver*& copyObserver() {
    thread_local CopyObserver* observer = nullptr;
    return observer;
}

std::string& lastError() {
    thread_local std::string text;
    return text;
}

__attribute__((format(printf, 3, 4))) void logAt(const char* file, int line, const char* format, ...) {
    const LogSink sink = g_sink.load(std::memory_order_acquire);
    if (!sink)
        return;
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    sink(file, line, buffer);
}

#define DISK_LOG(...) logAt(__FILE__, __LINE__, __VA_ARGS__)

std::string errorText(int error) {
    char buffer[256];
    // The GNU form answers a pointer that may or may not be the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text ? std::string(text) : "error " + std::to_string(error);
}

// Remembers the failure's text for LastErrorText() and answers false.
bool fail(int error) {
    lastError() = errorText(error);
    return false;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name beside `target` no other writer uses, in the form removeTemporaryLeftovers() knows.
std::string temporaryBeside(const std::string& target) {
    return target + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(g_temporaryCounter.fetch_add(1, std::memory_order_relaxed));
}

// rename(2) that never replaces `to`: RENAME_NOREPLACE, or on a file system without it a hard link
// (which refuses an existing name too) followed by removing the old name.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    const int e = errno;
    if (e != EINVAL && e != ENOSYS && e != ENOTSUP)
        return e;
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    if (::unlink(from.c_str()) != 0) {
        const int u = errno;
        ::unlink(to.c_str());
        return u;
    }
    return 0;
}

// Copies the bytes, permission bits and time stamps of `src` to the new file `temporary` and flushes
// it. 0 or an errno value; on failure `temporary` is gone.
int copyToTemporary(const std::string& src, const std::string& temporary, const std::atomic<bool>* cancel) {
    lumo::File in;
    if (int e = in.open(src, lumo::File::Mode::Read))
        return e;
    struct stat st {};
    if (::stat(src.c_str(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EISDIR;
    lumo::File out;
    if (int e = out.open(temporary, lumo::File::Mode::CreateNew, st.st_mode & 07777))
        return e;
    auto abandon = [&](int e) {
        out.close();
        lumo::removeFile(temporary);
        return e;
    };
    CopyObserver* const observer = copyObserver();
    if (observer)
        observer->copyStarting(src, temporary);
    // Write-back starts as the bytes go out, and what has reached the disk leaves the cache: the flush
    // at the end has little left to wait for, and a large copy does not push other files out of the
    // cache. (A second descriptor of the same file serves; without it the flush at the end does all.)
    const int flushFd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    struct FlushCloser {
        int fd;
        ~FlushCloser() {
            if (fd >= 0)
                ::close(fd);
        }
    } flushCloser{flushFd};
    constexpr off_t kWriteBehind = 8 << 20;
    off_t written = 0, settled = 0;
    std::vector<char> piece(1 << 20);
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return abandon(ECANCELED);
        std::size_t got = 0;
        if (int e = in.read(piece.data(), piece.size(), got))
            return abandon(e);
        if (got == 0)
            break;
        if (observer)
            observer->copyBytes(piece.data(), got);
        if (int e = out.write(piece.data(), got))
            return abandon(e);
        if (flushFd >= 0) {
            ::sync_file_range(flushFd, written, static_cast<off_t>(got), SYNC_FILE_RANGE_WRITE);
            written += static_cast<off_t>(got);
            if (written - settled > 2 * kWriteBehind) {
                const off_t upTo = written - kWriteBehind;
                ::sync_file_range(flushFd, settled, upTo - settled,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                      SYNC_FILE_RANGE_WAIT_AFTER);
                ::posix_fadvise(flushFd, settled, upTo - settled, POSIX_FADV_DONTNEED);
                settled = upTo;
            }
        }
    }
    if (int e = out.sync())
        return abandon(e);
    // The permission bits exactly (the umask applied at creation), then the times.
    if (::chmod(temporary.c_str(), st.st_mode & 07777) != 0)
        return abandon(errno);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(AT_FDCWD, temporary.c_str(), times, 0) != 0)
        return abandon(errno);
    if (int e = out.close())
        return abandon(e);
    if (observer)
        if (int e = observer->copyComplete(temporary))
            return abandon(e);
    return 0;
}

} // namespace

CopyObserver* SetCopyObserver(CopyObserver* observer) {
    return std::exchange(copyObserver(), observer);
}

void SetLogSink(LogSink sink) {
    g_sink.store(sink, std::memory_order_release);
}

const std::string& LastErrorText() {
    return lastError();
}

bool exists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

bool FileCopyWithAttrs(const std::string& src, const std::string& dst, const std::atomic<bool>* cancel) {
    DISK_LOG("DiskUtils::FileCopyWithAttrs(): copying from '%s' to '%s'", src.c_str(), dst.c_str());
    const std::string temporary = temporaryBeside(dst);
    int e = copyToTemporary(src, temporary, cancel);
    if (e == 0) {
        e = lumo::renameFile(temporary, dst);
        if (e != 0)
            lumo::removeFile(temporary);
        else
            lumo::syncFolderOf(dst);
    }
    if (e == 0)
        return true;
    fail(e);
    DISK_LOG("DiskUtils::FileCopyWithAttrs() Error: '%s'", lastError().c_str());
    return false;
}

bool FileCopyNoReplace(const std::string& src, const std::string& dst, const std::atomic<bool>* cancel,
                       bool syncFolder) {
    DISK_LOG("DiskUtils::FileCopyWithAttrs(): copying from '%s' to '%s'", src.c_str(), dst.c_str());
    int e = exists(dst) ? EEXIST : 0;
    if (e == 0) {
        const std::string temporary = temporaryBeside(dst);
        e = copyToTemporary(src, temporary, cancel);
        if (e == 0) {
            e = renameNoReplace(temporary, dst);
            if (e != 0)
                lumo::removeFile(temporary);
            else if (syncFolder)
                lumo::syncFolderOf(dst);
        }
    }
    if (e == 0)
        return true;
    fail(e);
    DISK_LOG("DiskUtils::FileCopyWithAttrs() Error: '%s'", lastError().c_str());
    return false;
}

bool MoveFile(const std::string& src, const std::string& dst) {
    DISK_LOG("DiskUtils::MoveFile(): moving from '%s' to '%s'", src.c_str(), dst.c_str());
    int e = 0;
    if (exists(dst)) {
        e = EEXIST;
    } else {
        e = renameNoReplace(src, dst);
        if (e == 0) {
            lumo::syncFolderOf(dst);
        } else if (e == EXDEV) {
            // Another volume: a whole, flushed copy takes the name first; only then the source goes.
            const std::string temporary = temporaryBeside(dst);
            e = copyToTemporary(src, temporary, nullptr);
            if (e == 0) {
                e = renameNoReplace(temporary, dst);
                if (e != 0)
                    lumo::removeFile(temporary);
            }
            if (e == 0) {
                lumo::syncFolderOf(dst);
                e = lumo::removeFile(src);
                if (e != 0)
                    lumo::removeFile(dst); // the source stays: one whole file, not two
            }
        }
    }
    if (e == 0)
        return true;
    fail(e);
    DISK_LOG("DiskUtils::MoveFile() Error: '%s'", lastError().c_str());
    return false;
}

bool Rename(const std::string& src, const std::string& dst) {
    if (src == dst)
        return true;
    if (exists(dst)) {
        DISK_LOG("DiskUtils::Rename('%s', '%s') failed.  Destination file already exists.", src.c_str(),
                 dst.c_str());
        return fail(EEXIST);
    }
    if (!exists(src)) {
        DISK_LOG("DiskUtils::Rename('%s', '%s') failed.  Source file does not exist.", src.c_str(),
                 dst.c_str());
        return fail(ENOENT);
    }
    const int e = renameNoReplace(src, dst);
    if (e == 0)
        return true;
    fail(e);
    DISK_LOG("DiskUtils::Rename('%s', '%s') failed", src.c_str(), dst.c_str());
    DISK_LOG("Error: '%s'", lastError().c_str());
    if (exists(dst))
        DISK_LOG("OS claims that: '%s' exists", dst.c_str());
    else
        DISK_LOG("OS claims that: '%s' does not exist (no collision) but we still can't rename the file",
                 dst.c_str());
    return false;
}

bool IsWritableFolder(const std::string& folder) {
    std::string probe = folder.empty() ? std::string(".") : folder;
    if (probe.back() != '/')
        probe += '/';
    probe += "__TMP__XXYYZZQ__.tmp";
    lumo::File file;
    const int e = file.open(probe, lumo::File::Mode::CreateNew);
    if (e == EEXIST) // a probe left behind: not ours to remove; ask the file system instead
        return ::access(folderOf(probe).c_str(), W_OK) == 0 || fail(errno);
    if (e != 0)
        return fail(e);
    file.close();
    lumo::removeFile(probe);
    return true;
}

} // namespace DiskUtils
