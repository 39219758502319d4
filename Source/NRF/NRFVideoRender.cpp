#include "NRF/NRFVideoRender.h"
#include "NRF/NRFDecode.h"

#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFPlugin.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr NRFErr kErrRenderFailed = 13;
constexpr NRFErr kErrBadFrameFile = 9;
constexpr NRFErr kErrNoMemory = 7;
constexpr NRFErr kErrException = 8;

// What of the renderer's output goes into the log (a log line holds 4096 bytes).
constexpr std::size_t kMaxCapturedOutput = 3000;

constexpr char kRendererName[] = "lumo-videorender";

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// A ".bin" file in the cache folder, unique to this call.
std::string frameFilePath() {
    static std::atomic<unsigned> counter{0};
    std::string folder = LumoPaths::imageCacheFolder();
    if (folder.empty()) {
        try {
            folder =
                LumoPaths::resolve({}, [](const char* name) { return std::getenv(name); }).imageCacheFolder;
        } catch (const std::exception&) {
        }
    }
    std::error_code ec;
    if (folder.empty())
        folder = fs::temp_directory_path(ec).string();
    if (!folder.empty())
        fs::create_directories(folder, ec);
    char name[96];
    std::snprintf(name, sizeof name, "VideoRender-%ld-%u.bin", static_cast<long>(::getpid()),
                  counter.fetch_add(1));
    return (fs::path(folder) / name).string();
}

// The folder given to the renderer with -g: the engine's plugin folder, else GST_PLUGIN_PATH.
std::string pluginFolder() {
    std::string folder = NRFGetContext().pluginPath;
    if (folder.empty())
        if (const char* variable = std::getenv("GST_PLUGIN_PATH"))
            folder = variable;
    return folder;
}

// Removes the frame file whatever happens, and the renderer's half-written one if it was stopped.
struct FileRemover {
    std::string path;
    ~FileRemover() {
        std::error_code ec;
        fs::remove(path, ec);
        fs::remove(path + ".part", ec);
    }
};

struct RunResult {
    bool started = false;
    bool timedOut = false;
    int status = -1; // the exit status, or 128 + the signal
    std::string out, err;
};

void keep(std::string& into, const char* data, std::size_t size) {
    if (into.size() < kMaxCapturedOutput)
        into.append(data, std::min(size, kMaxCapturedOutput - into.size()));
}

// Starts the program with the arguments (no shell), collects what it prints until it ends or the time
// is up, then kills it if need be and reaps it.
RunResult runRenderer(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
    RunResult result;
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        LUMO_LOG("NRFRenderMovieFrame() pipe: %s", std::strerror(errno));
        closeFd(out[0]), closeFd(out[1]), closeFd(err[0]), closeFd(err[1]);
        return result;
    }
    std::vector<std::string> texts = arguments;
    std::vector<char*> argv;
    for (std::string& t : texts)
        argv.push_back(t.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Its own process group, so that Ctrl-C at the terminal lets the frame in hand finish; the caller
    // kills it when it takes too long.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    closeFd(out[1]);
    closeFd(err[1]);
    if (rc != 0) {
        LUMO_LOG("NRFRenderMovieFrame() cannot start '%s': %s", argv[0], std::strerror(rc));
        closeFd(out[0]), closeFd(err[0]);
        return result;
    }
    result.started = true;

    // Read what it prints while it runs, looking every so often whether it has ended: a process it
    // left behind may hold the pipes open long after.
    const auto deadline = Clock::now() + timeout;
    auto msLeft = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, 50));
    };
    char buffer[4096];
    // Reads what is there now (waiting up to `waitMs` for it); false when nothing was.
    auto readOutputs = [&](int waitMs) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        const int n = ::poll(fds, 2, waitMs);
        if (n <= 0)
            return n < 0 && errno == EINTR;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0)
                keep(i == 0 ? result.out : result.err, buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                closeFd(i == 0 ? out[0] : err[0]);
        }
        return true;
    };
    while (true) {
        readOutputs(msLeft());
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            // Reaped elsewhere (SIGCHLD ignored): then the frame file has the last word.
            result.status = r == pid ? (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) : 0;
            while ((out[0] >= 0 || err[0] >= 0) && msLeft() > 0 && readOutputs(0)) {
            }
            break;
        }
        if (msLeft() == 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            pid_t reaped = -1;
            do
                reaped = ::waitpid(pid, &status, 0);
            while (reaped < 0 && errno == EINTR);
            result.status = 128 + SIGKILL;
            break;
        }
    }
    closeFd(out[0]);
    closeFd(err[0]);
    return result;
}

std::uint32_t getU32(const unsigned char* at) {
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 |
           std::uint32_t(at[3]) << 24;
}

bool readFully(int fd, unsigned char* into, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, into, std::min<std::size_t>(size, 1 << 20));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        into += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads the renderer's frame file into `out`.
NRFErr loadFrameFile(const std::string& path, NRFBitmapBase& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    unsigned char header[kNRFVideoFrameHeaderSize];
    bool headerOK = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                    static_cast<std::uint64_t>(info.st_size) >= kNRFVideoFrameHeaderSize &&
                    readFully(fd, header, sizeof header);
    std::uint32_t width = 0, height = 0, stride = 0;
    if (headerOK) {
        width = getU32(header + 8);
        height = getU32(header + 12);
        stride = getU32(header + 16);
        headerOK = std::memcmp(header, kNRFVideoFrameMagic, 4) == 0 &&
                   getU32(header + 4) == kNRFVideoFrameVersion && width >= 1 &&
                   width <= kNRFVideoFrameMaxSide && height >= 1 && height <= kNRFVideoFrameMaxSide &&
                   stride >= width * 3 && stride - width * 3 <= kNRFVideoFrameMaxPadding;
    }
    if (!headerOK) {
        LUMO_LOG("NRFWinBitmap::LoadVideoFile() render header invalid.");
        if (fd >= 0)
            ::close(fd);
        return kErrBadFrameFile;
    }
    const std::uint64_t needed = kNRFVideoFrameHeaderSize + std::uint64_t{stride} * height;
    if (static_cast<std::uint64_t>(info.st_size) < needed) {
        LUMO_LOG("NRFWinBitmap::LoadVideoFile() unable to read rendered data from file.");
        ::close(fd);
        return kErrBadFrameFile;
    }
    if (!out.Allocate(width, height, 3)) {
        LUMO_LOG("Out of memory.");
        ::close(fd);
        return kErrNoMemory;
    }
    std::vector<unsigned char> row(stride);
    bool ok = true;
    for (std::uint32_t y = 0; y < height && ok; ++y) {
        ok = readFully(fd, row.data(), stride);
        if (ok)
            std::memcpy(out.Row(y), row.data(), std::size_t{width} * 3);
    }
    ::close(fd);
    if (!ok) {
        out.Clear();
        LUMO_LOG("NRFWinBitmap::LoadVideoFile() unable to read rendered data from file.");
        return kErrBadFrameFile;
    }
    LUMO_LOG("NRFWinBitmap::LoadVideoFile() succeded in rendering video file.");
    return 0;
}

} // namespace

std::string NRFVideoRenderPath() {
    if (const char* variable = std::getenv("LUMO_VIDEORENDER"); variable && *variable)
        return variable;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return kRendererName;
    const fs::path folder = self.parent_path();
    const fs::path beside = folder / kRendererName;
    for (const fs::path& candidate : {beside, folder / ".." / kRendererName / kRendererName})
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.lexically_normal().string();
    return beside.string();
}

NRFErr NRFRenderMovieFrame(const std::string& moviePath, double seconds, NRFBitmapBase& out) {
    return NRFRenderMovieFrame(moviePath, seconds, out, std::chrono::milliseconds(kNRFVideoRenderTimeoutMs));
}

NRFErr NRFRenderMovieFrame(const std::string& moviePath, double seconds, NRFBitmapBase& out,
                           std::chrono::milliseconds timeout) {
    out.Clear();
    try {
        const std::string renderer = NRFVideoRenderPath();
        struct stat info {};
        if (::stat(renderer.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            ::access(renderer.c_str(), X_OK) != 0) {
            LUMO_LOG("ERROR: VideoRender path ('%s') does not exist.", renderer.c_str());
            return kErrRenderFailed;
        }

        const FileRemover frameFile{frameFilePath()};
        // "%f" without the locale's decimal comma: the renderer reads it with a '.'.
        char time[64] = {};
        const double at = std::isfinite(seconds) && seconds > 0 ? std::min(seconds, 1e12) : 0.0;
        std::to_chars(time, time + sizeof time - 1, at, std::chars_format::fixed, 6);
        std::vector<std::string> arguments{renderer, "-t", time, "-o", frameFile.path};
        if (const std::string plugins = pluginFolder(); !plugins.empty()) {
            arguments.push_back("-g");
            arguments.push_back(plugins);
        } else {
            // Said once: it holds for every frame of the session.
            static std::atomic<bool> told{false};
            if (!told.exchange(true))
                LUMO_LOG(
                    "ERROR: Gstreamer plugin path empty: not providing -g parameter to command line params.");
        }
        // The renderer refuses pictures too large to decode within the engine's decode memory limit.
        arguments.push_back("-m");
        arguments.push_back(std::to_string(std::max<std::uint64_t>(1, NRFDecodeMemoryLimit() >> 20)));
        arguments.push_back(moviePath);

        const RunResult run = runRenderer(arguments, timeout);
        if (!run.started)
            return kErrRenderFailed;
        LUMO_LOG("[GstVideoRender]:");
        if (!run.out.empty())
            LUMO_LOG("stdout: %s\n", run.out.c_str());
        if (!run.err.empty())
            LUMO_LOG("stderr: %s\n", run.err.c_str());
        if (run.timedOut) {
            LUMO_LOG("NRFRenderMovieFrame() the renderer took longer than %lld ms on '%s' and was stopped",
                     static_cast<long long>(timeout.count()), moviePath.c_str());
            return kErrRenderFailed;
        }
        if (run.status != 0) {
            LUMO_LOG("NRFRenderMovieFrame() the renderer failed on '%s' (exit status %d)", moviePath.c_str(),
                     run.status);
            return kErrRenderFailed;
        }
        return loadFrameFile(frameFile.path, out);
    } catch (const std::bad_alloc&) {
        LUMO_LOG("Out of memory.");
        return kErrNoMemory;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFRenderMovieFrame(): %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFRenderMovieFrame()");
    }
    return kErrException;
}
