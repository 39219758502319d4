#include "contactsheet/FindFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// FAT and exFAT keep a hidden and a system flag that the name does not show; other file systems have
// none, so only their folders are asked (one ioctl per file there, nothing elsewhere).
bool keepsFatAttributes(int folderFd) {
    struct statfs fs {};
    if (::fstatfs(folderFd, &fs) != 0)
        return false;
    const auto type = static_cast<unsigned long>(fs.f_type);
    return type == MSDOS_SUPER_MAGIC || type == EXFAT_SUPER_MAGIC;
}

std::uint32_t fatAttributes(int folderFd, const char* name) {
    const int fd = ::openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    __u32 fat = 0;
    std::uint32_t bits = 0;
    if (::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) == 0) {
        if (fat & ATTR_HIDDEN)
            bits |= kEntryHidden;
        if (fat & ATTR_SYS)
            bits |= kEntrySystem;
    }
    ::close(fd);
    return bits;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

} // namespace

int FindFiles::List(const std::string& folder, Filter& filter, std::vector<DirectoryEntry>& accepted) {
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return errno ? errno : EIO;
    const int folderFd = ::dirfd(dir.get());
    const bool fat = keepsFatAttributes(folderFd);

    // One pass over the folder; then the filter sees the entries in name order, so that the folder's
    // digest does not depend on the order the file system hands them out in.
    std::vector<DirectoryEntry> entries;
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(dir.get());
        if (!d) {
            if (errno != 0)
                return errno;
            break;
        }
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
            continue;
        struct stat st {};
        if (::fstatat(folderFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since it was listed
        DirectoryEntry entry;
        entry.name = d->d_name;
        entry.size = static_cast<std::uint64_t>(st.st_size);
        entry.lastWriteTime =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        if (S_ISDIR(st.st_mode))
            entry.attributes |= kEntryDirectory;
        if (S_ISLNK(st.st_mode))
            entry.attributes |= kEntryLink;
        // Pipes, sockets and devices are no files a photo can be in, and opening a pipe to look at it
        // would wait for a writer: the system's own entries.
        if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode))
            entry.attributes |= kEntrySystem;
        if (fat && S_ISREG(st.st_mode))
            entry.attributes |= fatAttributes(folderFd, d->d_name);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    for (DirectoryEntry& entry : entries) {
        const std::string name = entry.name;
        if (filter.accept(entry, folder, name))
            accepted.push_back(std::move(entry));
    }
    return 0;
}
