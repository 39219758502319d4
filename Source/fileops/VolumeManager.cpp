#include "fileops/VolumeManager.h"

#include "app/LumoLog.h"
#include "fileops/IngestFilters.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>

extern char** environ;

namespace {

std::mutex g_instanceMutex;
std::shared_ptr<VolumeManager> g_instance;

// mountinfo writes space, tab, newline and backslash as "\ooo".
std::string unescapeOctal(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            out += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// udev writes unsafe characters of a label as "\xHH".
std::string unescapeHex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string labelOf(const std::string& device) {
    const std::string target = realPath(device);
    if (target.empty())
        return {};
    const std::string folder = "/dev/disk/by-label";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return {};
    std::string label;
    while (const dirent* d = ::readdir(dir)) {
        if (d->d_name[0] == '.')
            continue;
        if (realPath(folder + "/" + d->d_name) == target) {
            label = unescapeHex(d->d_name);
            break;
        }
    }
    ::closedir(dir);
    return label;
}

std::string readSmallFile(const std::string& path) {
    std::string text;
    if (lumo::readFile(path, text, 4096) != 0)
        return {};
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool underMountPoint(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/")
        return !path.empty() && path.front() == '/';
    return path == mountPoint ||
           (path.size() > mountPoint.size() && path.compare(0, mountPoint.size(), mountPoint) == 0 &&
            path[mountPoint.size()] == '/');
}

} // namespace

bool VolumeManager::volumeOf(const std::string& path, MountedVolume* out) {
    std::string resolved = realPath(path);
    if (resolved.empty())
        resolved = path;
    const MountedVolume* best = nullptr;
    const std::vector<MountedVolume> volumes = listVolumes();
    for (const MountedVolume& volume : volumes)
        if (underMountPoint(resolved, volume.mountPoint) &&
            (!best || volume.mountPoint.size() > best->mountPoint.size()))
            best = &volume;
    if (best && out)
        *out = *best;
    return best != nullptr;
}

std::shared_ptr<VolumeManager> VolumeManager::instance() {
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance)
        g_instance = std::make_shared<SystemVolumeManager>();
    return g_instance;
}

void VolumeManager::install(std::shared_ptr<VolumeManager> manager) {
    std::lock_guard lock(g_instanceMutex);
    g_instance = std::move(manager);
}

std::string FormatByteSize(std::uint64_t bytes) {
    char text[64];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
        return text;
    }
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    std::snprintf(text, sizeof text,
                  value < 10.0    ? "%.2f %s"
                  : value < 100.0 ? "%.1f %s"
                                  : "%.0f %s",
                  value, units[unit]);
    return text;
}

bool EraseCameraCardFiles(const std::string& root, std::string* error) {
    auto fail = [error](std::string text) {
        LUMO_LOG("EraseCameraCardFiles(): %s", text.c_str());
        if (error)
            *error = std::move(text);
        return false;
    };
    const std::string resolved = realPath(root);
    if (resolved.empty() || resolved == "/")
        return fail("cannot erase \"" + root + "\"");
    // Only a camera card's own folders go: never a folder that is no camera card.
    CameraCardFileFilter card;
    std::vector<DirectoryEntry> unused;
    if (const int listError = FindFiles::List(resolved, card, unused); listError != 0)
        return fail("cannot read \"" + root + "\": " + std::strerror(listError));
    if (!card.hasDCIM() && !card.hasVideoFolder())
        return fail("\"" + root + "\" is not a camera card");
    struct Folders : FindFiles::Filter {
        std::vector<std::string> names;
        bool accept(DirectoryEntry& entry, const std::string&, const std::string& name) override {
            if ((entry.attributes & kEntryDirectory) && !(entry.attributes & kEntryLink) &&
                (lumo::iequals(name, "DCIM") || lumo::iequals(name, "MISC") || IngestIsVideoFolderName(name)))
                names.push_back(name);
            return false;
        }
    } folders;
    FindFiles::List(resolved, folders, unused);
    bool ok = true;
    std::string first;
    for (const std::string& name : folders.names) {
        std::error_code ec;
        std::filesystem::remove_all(resolved + "/" + name, ec);
        if (ec) {
            ok = false;
            if (first.empty())
                first = "cannot delete \"" + resolved + "/" + name + "\": " + ec.message();
            LUMO_LOG("EraseCameraCardFiles(): cannot delete \"%s/%s\": %s", resolved.c_str(), name.c_str(),
                     ec.message().c_str());
        }
    }
    // The card's deletions on the card before anyone pulls it out.
    if (const int fd = ::open(resolved.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
    if (!ok)
        return fail(first);
    return true;
}

std::vector<MountedVolume> SystemVolumeManager::ParseMountInfo(const std::string& text) {
    std::vector<MountedVolume> volumes;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> parts;
        std::string part;
        while (fields >> part)
            parts.push_back(part);
        // id parent major:minor root mount-point options [optional fields...] - type source super-options
        std::size_t dash = 6;
        while (dash < parts.size() && parts[dash] != "-")
            ++dash;
        if (parts.size() < 6 || dash + 2 >= parts.size())
            continue;
        const std::string source = unescapeOctal(parts[dash + 2]);
        // Only whole file systems on block devices; a bind mount of a folder shows a root other than "/".
        if (source.rfind("/dev/", 0) != 0 || parts[3] != "/")
            continue;
        MountedVolume volume;
        volume.device = source;
        volume.mountPoint = unescapeOctal(parts[4]);
        if (volume.mountPoint.empty() || volume.mountPoint[0] != '/')
            continue; // a damaged line: a relative mount point would name a folder of ours
        volume.fileSystem = unescapeOctal(parts[dash + 1]);
        std::istringstream options(parts[5]);
        std::string option;
        while (std::getline(options, option, ','))
            if (option == "ro")
                volume.readOnly = true;
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

bool SystemVolumeManager::IsRemovableDevice(const std::string& device) {
    const std::string resolved = realPath(device);
    const std::string name = resolved.substr(resolved.rfind('/') + 1);
    if (name.empty())
        return false;
    std::string block = realPath("/sys/class/block/" + name);
    if (block.empty())
        return false;
    // A partition's removable flag is its disk's.
    if (lumo::fileExists(block + "/partition"))
        block = block.substr(0, block.rfind('/'));
    if (readSmallFile(block + "/removable") == "1")
        return true;
    // Cards in a built-in reader are removable media although the slot is not.
    const std::string disk = block.substr(block.rfind('/') + 1);
    return disk.rfind("mmcblk", 0) == 0 && readSmallFile(block + "/device/type") == "SD";
}

std::vector<MountedVolume> SystemVolumeManager::listVolumes() {
    std::string text;
    if (const int error = lumo::readFile("/proc/self/mountinfo", text, std::size_t{16} << 20); error != 0) {
        LUMO_LOG("SystemVolumeManager::listVolumes() cannot read /proc/self/mountinfo: %s",
                 std::strerror(error));
        return {};
    }
    std::vector<MountedVolume> volumes = ParseMountInfo(text);
    for (MountedVolume& volume : volumes) {
        struct statvfs fs {};
        if (::statvfs(volume.mountPoint.c_str(), &fs) == 0) {
            const std::uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
            volume.totalBytes = static_cast<std::uint64_t>(fs.f_blocks) * unit;
            volume.freeBytes = static_cast<std::uint64_t>(fs.f_bavail) * unit;
            volume.usedBytes =
                static_cast<std::uint64_t>(fs.f_blocks - std::min(fs.f_bfree, fs.f_blocks)) * unit;
        }
        volume.removable = IsRemovableDevice(volume.device);
        volume.label = labelOf(volume.device);
    }
    return volumes;
}

bool SystemVolumeManager::unmount(const std::string& device, std::string* error) {
    auto fail = [error](std::string text) {
        LUMO_LOG("SystemVolumeManager::unmount() %s", text.c_str());
        if (error)
            *error = std::move(text);
        return false;
    };
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, output[1], 2);
    const char* argv[] = {"udisksctl", "unmount", "--no-user-interaction", "-b", device.c_str(), nullptr};
    pid_t pid = -1;
    const int spawned =
        ::posix_spawnp(&pid, "udisksctl", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        if (spawned == ENOENT)
            return fail("cannot unmount " + device + ": udisksctl (udisks2) is not installed");
        return fail("cannot run udisksctl: " + std::string(std::strerror(spawned)));
    }
    std::string said;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(output[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (said.size() < 64 * 1024)
            said.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(output[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    while (!said.empty() && (said.back() == '\n' || said.back() == ' '))
        said.pop_back();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        return fail("cannot unmount " + device + ": udisksctl (udisks2) is not installed");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail("udisksctl could not unmount " + device + (said.empty() ? std::string() : ": " + said));
    LUMO_LOG("SystemVolumeManager::unmount() %s: %s", device.c_str(), said.c_str());
    return true;
}

bool SystemVolumeManager::erase(const std::string& mountPoint, std::string* error) {
    return EraseCameraCardFiles(mountPoint, error);
}

std::vector<MountedVolume> FakeVolumeManager::listVolumes() {
    std::lock_guard lock(m_mutex);
    return m_volumes;
}

bool FakeVolumeManager::unmount(const std::string& device, std::string* error) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back({"unmount", device});
    if (failUnmount) {
        if (error)
            *error = "cannot unmount " + device;
        return false;
    }
    std::erase_if(m_volumes, [&device](const MountedVolume& volume) { return volume.device == device; });
    return true;
}

bool FakeVolumeManager::erase(const std::string& mountPoint, std::string* error) {
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back({"erase", mountPoint});
        if (failErase) {
            if (error)
                *error = "cannot erase " + mountPoint;
            return false;
        }
    }
    return !eraseForReal || EraseCameraCardFiles(mountPoint, error);
}

void FakeVolumeManager::setVolumes(std::vector<MountedVolume> volumes) {
    std::lock_guard lock(m_mutex);
    m_volumes = std::move(volumes);
}

std::vector<FakeVolumeManager::Call> FakeVolumeManager::calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}
