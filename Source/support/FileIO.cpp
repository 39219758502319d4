#include "FileIO.h"

#include "support/FolderListing.h"
#include "support/NamedThread.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace lumo {

namespace {

struct ActiveFault {
    FileFault fault;
    std::uint64_t bytesSeen = 0;
};

std::atomic<bool> g_anyFaults{false};
std::mutex g_faultMutex;
std::vector<ActiveFault> g_faults;

bool matches(const ActiveFault& f, FileFault::Op op, const std::string& path) {
    return f.fault.op == op && f.fault.times != 0 &&
           (f.fault.pathContains.empty() || path.find(f.fault.pathContains) != std::string::npos);
}

void consume(ActiveFault& f) {
    if (f.fault.times > 0)
        --f.fault.times;
}

// For operations without a byte count: the errno to fail with, or 0.
int injectedError(FileFault::Op op, const std::string& path) {
    if (!g_anyFaults.load(std::memory_order_relaxed))
        return 0;
    std::lock_guard lock(g_faultMutex);
    for (auto& f : g_faults) {
        if (matches(f, op, path)) {
            consume(f);
            return f.fault.error;
        }
    }
    return 0;
}

struct ByteBudget {
    std::size_t allowed; // bytes that may pass
    int error;           // 0: all may pass
    bool crash;
};

// For writes: how many of `size` bytes may pass, and what happens after them.
ByteBudget byteBudget(FileFault::Op op, const std::string& path, std::size_t size) {
    if (!g_anyFaults.load(std::memory_order_relaxed))
        return {size, 0, false};
    std::lock_guard lock(g_faultMutex);
    for (auto& f : g_faults) {
        if (!matches(f, op, path))
            continue;
        const std::uint64_t left = f.fault.afterBytes > f.bytesSeen ? f.fault.afterBytes - f.bytesSeen : 0;
        if (left >= size) {
            f.bytesSeen += size;
            return {size, 0, false};
        }
        f.bytesSeen += left;
        consume(f);
        return {static_cast<std::size_t>(left), f.fault.error, f.fault.crash};
    }
    return {size, 0, false};
}

int openFlags(File::Mode mode) {
    switch (mode) {
    case File::Mode::Read:
        return O_RDONLY;
    case File::Mode::Append:
        return O_WRONLY | O_CREAT | O_APPEND;
    case File::Mode::Truncate:
        return O_WRONLY | O_CREAT | O_TRUNC;
    case File::Mode::CreateNew:
        return O_WRONLY | O_CREAT | O_EXCL;
    case File::Mode::Update:
        return O_RDWR;
    }
    return O_RDONLY;
}

int writeAll(int fd, const char* data, std::size_t size, std::size_t& written) {
    written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        written += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

File::~File() {
    close();
}

File::File(File&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

int File::open(const std::string& path, Mode mode, mode_t permissions) {
    close();
    if (int e = injectedError(FileFault::Op::Open, path))
        return e;
    // Opened without waiting: a named pipe given where a file belongs would otherwise hold the open until
    // some other process came to the far end. Reads and writes wait as usual once it is open.
    int fd;
    do {
        fd = ::open(path.c_str(), openFlags(mode) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, permissions);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    if (const int flags = ::fcntl(fd, F_GETFL); flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        const int e = errno;
        ::close(fd);
        return e;
    }
    m_fd = fd;
    m_path = path;
    return 0;
}

int File::read(void* buffer, std::size_t size, std::size_t& got) {
    return readFaulted(size, got, [&](std::size_t want) { return ::read(m_fd, buffer, want); });
}

int File::readAt(void* buffer, std::size_t size, std::uint64_t offset, std::size_t& got) {
    return readFaulted(
        size, got, [&](std::size_t want) { return ::pread(m_fd, buffer, want, static_cast<off_t>(offset)); });
}

int File::readFaulted(std::size_t size, std::size_t& got,
                      const std::function<ssize_t(std::size_t)>& readSome) {
    got = 0;
    if (m_fd < 0)
        return EBADF;
    auto readRetrying = [&](std::size_t want) {
        ssize_t n;
        do {
            n = readSome(want);
        } while (n < 0 && errno == EINTR);
        return n;
    };
    if (!g_anyFaults.load(std::memory_order_relaxed)) {
        const ssize_t n = readRetrying(size);
        if (n < 0)
            return errno;
        got = static_cast<std::size_t>(n);
        return 0;
    }
    // A read fault counts the bytes really read; it fires when a read reaches its mark with more asked
    // for, never at the end of a file that stops short of the mark.
    std::lock_guard lock(g_faultMutex);
    ActiveFault* fault = nullptr;
    for (auto& f : g_faults)
        if (matches(f, FileFault::Op::Read, m_path)) {
            fault = &f;
            break;
        }
    std::size_t want = size;
    if (fault) {
        const std::uint64_t left =
            fault->fault.afterBytes > fault->bytesSeen ? fault->fault.afterBytes - fault->bytesSeen : 0;
        want = static_cast<std::size_t>(std::min<std::uint64_t>(size, left));
    }
    const ssize_t n = want > 0 ? readRetrying(want) : 0;
    if (n < 0)
        return errno;
    got = static_cast<std::size_t>(n);
    if (!fault)
        return 0;
    fault->bytesSeen += got;
    if (got == want && want < size) {
        consume(*fault);
        return fault->fault.error;
    }
    return 0;
}

int File::write(const void* data, std::size_t size, std::size_t* written) {
    std::size_t done = 0;
    if (written)
        *written = 0;
    if (m_fd < 0)
        return EBADF;
    const ByteBudget budget = byteBudget(FileFault::Op::Write, m_path, size);
    int rc = writeAll(m_fd, static_cast<const char*>(data), budget.allowed, done);
    if (written)
        *written = done;
    if (rc != 0)
        return rc;
    if (budget.crash)
        ::_exit(kInjectedCrashExitCode);
    return budget.error;
}

int File::writeAt(const void* data, std::size_t size, std::uint64_t offset) {
    if (m_fd < 0)
        return EBADF;
    const ByteBudget budget = byteBudget(FileFault::Op::Write, m_path, size);
    std::size_t done = 0;
    while (done < budget.allowed) {
        const ssize_t n = ::pwrite(m_fd, static_cast<const char*>(data) + done, budget.allowed - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    if (budget.crash)
        ::_exit(kInjectedCrashExitCode);
    return budget.error;
}

int File::sync() {
    if (m_fd < 0)
        return EBADF;
    if (int e = injectedError(FileFault::Op::Sync, m_path))
        return e;
    return ::fsync(m_fd) == 0 ? 0 : errno;
}

int File::size(std::uint64_t& out) const {
    out = 0;
    if (m_fd < 0)
        return EBADF;
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        return errno;
    out = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

int File::close() {
    if (m_fd < 0)
        return 0;
    const int fd = std::exchange(m_fd, -1);
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    return ::close(fd) == 0 ? 0 : errno;
}

int fileSize(const std::string& path, std::uint64_t& out) {
    out = 0;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    out = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int renameFile(const std::string& from, const std::string& to) {
    if (int e = injectedError(FileFault::Op::Rename, from))
        return e;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int removeFile(const std::string& path) {
    if (int e = injectedError(FileFault::Op::Remove, path))
        return e;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int createDirectories(const std::string& path) {
    if (int e = injectedError(FileFault::Op::CreateDirectories, path))
        return e;
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec)
        return ec.value();
    return std::filesystem::is_directory(path, ec) ? 0 : ENOTDIR;
}

namespace {

// "photo.XIP.tmp-4711-3" -> 4711 when `name` is a temporary file of `base` ("photo.XIP"), else 0.
pid_t temporaryOwner(const std::string& name, const std::string& base) {
    static constexpr char kMark[] = ".tmp-";
    if (name.size() <= base.size() + sizeof kMark || name.compare(0, base.size(), base) != 0 ||
        name.compare(base.size(), sizeof kMark - 1, kMark) != 0)
        return 0;
    const std::string rest = name.substr(base.size() + sizeof kMark - 1);
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == rest.size() || dash > 9)
        return 0;
    const auto digits = [](const std::string& text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(rest.substr(0, dash)) || !digits(rest.substr(dash + 1)))
        return 0;
    return static_cast<pid_t>(std::stol(rest.substr(0, dash)));
}

bool processIsGone(pid_t pid) {
    return pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Removes the temporary files of `target` that a process which has ended left behind (killed between
// writing and renaming). The folder is read once for all the files written into it (FolderListing).
void removeLeftoversOf(const std::string& target) {
    const std::filesystem::path path(target);
    const std::string folder = path.parent_path().empty() ? "." : path.parent_path().string();
    const std::string base = path.filename().string();
    std::vector<std::string> names;
    FolderListing::namesStartingWith(folder, base + ".tmp-", names);
    for (const std::string& name : names) {
        if (!processIsGone(temporaryOwner(name, base)))
            continue;
        const std::string leftover = (std::filesystem::path(folder) / name).string();
        struct stat st {};
        if (::lstat(leftover.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            removeFile(leftover);
    }
}

// The file a write to `to` really replaces: `to` itself, or the end of the symbolic link `to` is.
int resolveTarget(const std::string& to, std::string& target) {
    struct stat st {};
    if (::lstat(to.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        target = to;
        return 0;
    }
    char* resolved = ::realpath(to.c_str(), nullptr);
    if (!resolved)
        return errno;
    target = resolved;
    std::free(resolved);
    return 0;
}

// Gives the new version what the old one had: owner and group when the process may set them (before
// the mode, which a change of owner may strip of set-id bits), the exact permission bits, and the
// extended attributes (access lists among them). What cannot be kept is left as the new file has it.
void keepAttributes(int fd, const std::string& old, const struct stat& st) {
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, st.st_uid, st.st_gid) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // Neither owner nor group may be given away: the new version stays ours.
    }
    ::fchmod(fd, st.st_mode & 07777);
    const ssize_t listLength = ::listxattr(old.c_str(), nullptr, 0);
    if (listLength <= 0)
        return;
    std::vector<char> names(static_cast<std::size_t>(listLength));
    const ssize_t got = ::listxattr(old.c_str(), names.data(), names.size());
    if (got <= 0)
        return;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        const ssize_t size = ::getxattr(old.c_str(), name, nullptr, 0);
        if (size < 0 || size > (1 << 20))
            continue;
        std::vector<char> value(static_cast<std::size_t>(size));
        const ssize_t read = ::getxattr(old.c_str(), name, value.data(), value.size());
        if (read >= 0)
            ::fsetxattr(fd, name, value.data(), static_cast<std::size_t>(read), 0);
    }
}

void syncFolderOfFile(const std::string& file) {
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd); // a file system that cannot flush a folder has nothing to flush
    ::close(fd);
}

} // namespace

PendingReplace::PendingReplace(PendingReplace&& other) noexcept
    : m_target(std::move(other.m_target)), m_temporary(std::move(other.m_temporary)),
      m_pending(std::exchange(other.m_pending, false)) {}

PendingReplace& PendingReplace::operator=(PendingReplace&& other) noexcept {
    if (this != &other) {
        discard();
        m_target = std::move(other.m_target);
        m_temporary = std::move(other.m_temporary);
        m_pending = std::exchange(other.m_pending, false);
    }
    return *this;
}

int PendingReplace::prepare(const std::string& to, const std::function<int(File&)>& fill, bool flush) {
    static std::atomic<unsigned> counter{0};
    discard();
    m_temporary.clear();
    if (int e = resolveTarget(to, m_target))
        return e;
    removeLeftoversOf(m_target);
    struct stat old {};
    const bool replacing = ::stat(m_target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    File file;
    int e = EEXIST;
    for (int attempt = 0; attempt < 100 && e == EEXIST; ++attempt) {
        m_temporary = m_target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        e = file.open(m_temporary, File::Mode::CreateNew, 0666);
    }
    if (e != 0)
        return e;
    if (replacing)
        keepAttributes(file.m_fd, m_target, old);
    e = fill(file);
    if (e == 0 && flush)
        e = file.sync();
    const int closed = file.close();
    if (e == 0)
        e = closed;
    if (e != 0) {
        removeFile(m_temporary);
        return e;
    }
    m_pending = true;
    return 0;
}

int PendingReplace::prepare(const std::string& to, const std::string& bytes, bool flush) {
    return prepare(
        to, [&](File& file) { return file.write(bytes.data(), bytes.size()); }, flush);
}

int flushPending(const std::vector<PendingReplace*>& replaces, std::vector<std::size_t>* failed) {
    std::vector<File> files(replaces.size());
    int first = 0;
    const auto fail = [&](std::size_t index, int e) {
        if (first == 0)
            first = e;
        if (failed)
            failed->push_back(index);
    };
    // Start the write-back of every file before waiting for any.
    std::vector<dev_t> devices;
    for (std::size_t i = 0; i < replaces.size(); ++i) {
        if (!replaces[i] || !replaces[i]->pending()) {
            fail(i, EINVAL);
            continue;
        }
        if (const int e = files[i].open(replaces[i]->temporary(), File::Mode::Read); e != 0) {
            fail(i, e);
            continue;
        }
        ::sync_file_range(files[i].m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        struct stat st {};
        if (::fstat(files[i].m_fd, &st) == 0 &&
            std::find(devices.begin(), devices.end(), st.st_dev) == devices.end())
            devices.push_back(st.st_dev);
    }
    // Many files on one file system: one flush of the file system puts them all on disk (and reports
    // a failed write-back); otherwise each file is flushed.
    const bool oneFileSystem = devices.size() == 1 && replaces.size() > 2;
    int whole = -1;
    for (std::size_t i = 0; i < replaces.size(); ++i) {
        if (!files[i].isOpen())
            continue;
        int e = 0;
        if (oneFileSystem) {
            if (whole < 0)
                whole = ::syncfs(files[i].m_fd) == 0 ? 0 : errno;
            e = whole != 0 ? whole : injectedError(FileFault::Op::Sync, files[i].path());
        } else {
            e = files[i].sync();
        }
        if (e != 0)
            fail(i, e);
        files[i].close();
    }
    return first;
}

int PendingReplace::commit(bool syncFolder) {
    if (!m_pending)
        return EINVAL;
    if (int e = renameFile(m_temporary, m_target))
        return e; // still pending: discard() or the destructor removes it
    m_pending = false;
    if (syncFolder)
        syncFolderOfFile(m_target);
    return 0;
}

void PendingReplace::discard() {
    if (std::exchange(m_pending, false))
        removeFile(m_temporary);
}

void removeTemporaryLeftovers(const std::string& target) {
    removeLeftoversOf(target);
}

void syncFolderOf(const std::string& file) {
    syncFolderOfFile(file);
}

int copyFileReplacing(const std::string& from, const std::string& to) {
    File source;
    if (int e = source.open(from, File::Mode::Read))
        return e;
    PendingReplace replace;
    const int e = replace.prepare(to, [&](File& copy) {
        std::vector<char> piece(1 << 20);
        for (;;) {
            std::size_t got = 0;
            if (int e = source.read(piece.data(), piece.size(), got); e != 0 || got == 0)
                return e;
            if (int e = copy.write(piece.data(), got))
                return e;
        }
    });
    return e != 0 ? e : replace.commit();
}

int writeFileReplacing(const std::string& to, const std::string& bytes, ReplaceReport* report,
                       bool syncFolder) {
    PendingReplace replace;
    int e = replace.prepare(to, bytes);
    if (report)
        *report = ReplaceReport{replace.temporary(), false};
    if (e == 0) {
        e = replace.commit(syncFolder);
        if (e != 0 && report)
            report->renameFailed = true;
    }
    return e;
}

int readFile(const std::string& path, std::string& out, std::size_t maxBytes) {
    out.clear();
    File file;
    if (int e = file.open(path, File::Mode::Read))
        return e;
    constexpr std::size_t kPiece = 64 * 1024;
    while (out.size() < maxBytes) {
        const std::size_t want = std::min(kPiece, maxBytes - out.size());
        const std::size_t old = out.size();
        out.resize(old + want);
        std::size_t got = 0;
        const int e = file.read(out.data() + old, want, got);
        out.resize(old + got);
        if (e)
            return e;
        if (got == 0)
            break;
    }
    return 0;
}

void injectFileFault(const FileFault& fault) {
    std::lock_guard lock(g_faultMutex);
    g_faults.push_back({fault, 0});
    g_anyFaults.store(true, std::memory_order_relaxed);
}

void clearFileFaults() {
    std::lock_guard lock(g_faultMutex);
    g_faults.clear();
    g_anyFaults.store(false, std::memory_order_relaxed);
}

void ReplacedFiles::keep(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0)
        m_fds.push_back(fd);
}

void ReplacedFiles::release() {
    constexpr std::size_t kThreads = 4;
    constexpr std::size_t kStackSize = 64u << 10;
    const auto closeShare = [this](std::size_t first, std::size_t step) {
        for (std::size_t i = first; i < m_fds.size(); i += step)
            ::close(m_fds[i]);
    };
    if (m_fds.size() <= 2) {
        closeShare(0, 1);
    } else {
        std::vector<NamedThread> threads;
        std::size_t started = 0;
        try {
            for (; started < kThreads - 1; ++started)
                threads.emplace_back("lumo-release", kStackSize,
                                     [&closeShare, started] { closeShare(started + 1, kThreads); });
        } catch (const std::exception&) {
            // Fewer threads: the shares of those that did not start are closed here.
            for (std::size_t share = started; share < kThreads - 1; ++share)
                closeShare(share + 1, kThreads);
        }
        closeShare(0, kThreads);
        for (NamedThread& thread : threads)
            thread.join();
    }
    m_fds.clear();
}

} // namespace lumo
