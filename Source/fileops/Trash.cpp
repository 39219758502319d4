// The freedesktop.org Trash: a trashed file lives in "files" of a Trash folder, and a ".trashinfo" file
// of the same name in "info" says where it came from and when it was trashed. The info file is made
// first with O_EXCL (that claims the name); the file follows with one rename, so a failure leaves the
// file where it was and the info file is removed again.

#include "fileops/Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

std::string errorText(int error) {
    char buffer[256];
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text ? std::string(text) : "error " + std::to_string(error);
}

bool failWith(std::string* error, const std::string& path, const std::string& why) {
    if (error)
        *error = "Could not move '" + path + "' to the Trash: " + why;
    return false;
}

// The folder, made with mode 0700 (and its parents) when missing; false when it is not a folder.
bool ensureFolder(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !ensureFolder(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The absolute path of `path` with its folder's symbolic links resolved (the file itself is not
// followed: a trashed link is the link).
bool absolutePath(const std::string& path, std::string& out) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return false;
    char resolved[PATH_MAX];
    if (!::realpath(parentOf(trimmed).c_str(), resolved))
        return false;
    out = resolved;
    if (out != "/")
        out += '/';
    out += name;
    return true;
}

// The device of the nearest existing folder at or above `path`.
bool deviceOf(std::string path, dev_t& device) {
    for (;;) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            device = st.st_dev;
            return true;
        }
        if (path == "/" || path.empty())
            return false;
        path = parentOf(path);
    }
}

// The top folder of the volume that holds `folder` (walking up while the device stays the same).
std::string topFolderOf(std::string folder, dev_t device) {
    while (folder != "/") {
        const std::string parent = parentOf(folder);
        struct stat st;
        if (::stat(parent.c_str(), &st) != 0 || st.st_dev != device)
            break;
        folder = parent;
    }
    return folder;
}

std::string homeTrash() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && *dataHome == '/')
        return std::string(dataHome) + "/Trash";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/") + "/.local/share/Trash";
}

// The Trash folder for a file on `device` ("" when the volume has none usable).
std::string trashFolderFor(const std::string& absolute, dev_t device) {
    const std::string home = homeTrash();
    dev_t homeDevice;
    if (deviceOf(home, homeDevice) && homeDevice == device)
        return home;
    const std::string top = topFolderOf(parentOf(absolute), device);
    const std::string base = top == "/" ? "" : top;
    const std::string uid = std::to_string(::getuid());
    struct stat st;
    const std::string shared = base + "/.Trash";
    // The administrator's shared Trash is used only when it is a real, sticky folder.
    if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        const std::string mine = shared + "/" + uid;
        if (ensureFolder(mine) && ::lstat(mine.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
            st.st_uid == ::getuid())
            return mine;
    }
    const std::string own = base + "/.Trash-" + uid;
    if (ensureFolder(own) && ::lstat(own.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
        return own;
    return {};
}

// Percent-encodes everything but the unreserved characters and "/".
std::string encodePath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' ||
            c == '_' || c == '.' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string localTimeNow() {
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool MoveToTrash(const std::string& path, std::string* error) {
    std::string absolute;
    if (!absolutePath(path, absolute))
        return failWith(error, path, "the path cannot be resolved");
    struct stat st;
    if (::lstat(absolute.c_str(), &st) != 0)
        return failWith(error, path, errorText(errno));
    const std::string trash = trashFolderFor(absolute, st.st_dev);
    if (trash.empty() || !ensureFolder(trash + "/files") || !ensureFolder(trash + "/info"))
        return failWith(error, path, "no usable Trash folder on its volume");

    const std::string name = absolute.substr(absolute.rfind('/') + 1);
    const std::string info =
        "[Trash Info]\nPath=" + encodePath(absolute) + "\nDeletionDate=" + localTimeNow() + "\n";
    for (int n = 1; n < 100000; ++n) {
        const std::string candidate = n == 1 ? name : name + "." + std::to_string(n);
        const std::string infoPath = trash + "/info/" + candidate + ".trashinfo";
        const std::string filesPath = trash + "/files/" + candidate;
        const int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return failWith(error, path, errorText(errno));
        }
        const bool written = writeAll(fd, info) && ::fsync(fd) == 0;
        const int writeError = errno;
        ::close(fd);
        if (!written) {
            ::unlink(infoPath.c_str());
            return failWith(error, path, errorText(writeError));
        }
        if (::renameat2(AT_FDCWD, absolute.c_str(), AT_FDCWD, filesPath.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        const int e = errno;
        ::unlink(infoPath.c_str());
        if (e == EEXIST) // a file of that name without its info file: take the next name
            continue;
        return failWith(error, path, errorText(e));
    }
    return failWith(error, path, "no free name in the Trash");
}
