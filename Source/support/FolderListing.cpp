#include "support/FolderListing.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>

namespace lumo {
namespace {

constexpr std::size_t kMostKept = 32;
// IN_IGNORED, IN_UNMOUNT and IN_Q_OVERFLOW come without being asked for.
constexpr std::uint32_t kWatchedChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

std::string folded(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

FolderEntry::Kind kindOf(unsigned char type) {
    switch (type) {
    case DT_REG:
        return FolderEntry::Kind::File;
    case DT_DIR:
        return FolderEntry::Kind::Folder;
    case DT_LNK:
        return FolderEntry::Kind::Link;
    case DT_UNKNOWN:
        return FolderEntry::Kind::Unknown;
    default:
        return FolderEntry::Kind::Other;
    }
}

bool operator==(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

struct Listing {
    std::string path; // as it was named when it was read
    int watch = -1;   // the change notification, -1 when there is none
    // The folder's modification time when the listing was last known to be whole.
    timespec modified{};
    // Without a watch: the time stamp was at least two seconds old when the folder was read.
    bool settled = false;
    // A notification changed the listing since the time stamp was last compared.
    bool notified = false;
    bool stale = false;
    std::uint64_t lastUse = 0;
    std::map<std::string, FolderEntry::Kind> names;
    // Made when first asked for: most work never compares names without case.
    std::multimap<std::string, std::string> byFoldedName;
    bool foldedMade = false;

    const std::multimap<std::string, std::string>& foldedNames() {
        if (!foldedMade)
            for (const auto& [name, kind] : names)
                byFoldedName.emplace(folded(name), name);
        foldedMade = true;
        return byFoldedName;
    }
    void add(const std::string& name, FolderEntry::Kind kind) {
        if (names.insert_or_assign(name, kind).second && foldedMade)
            byFoldedName.emplace(folded(name), name);
    }
    void remove(const std::string& name) {
        if (names.erase(name) == 0 || !foldedMade)
            return;
        auto [first, last] = byFoldedName.equal_range(folded(name));
        for (auto it = first; it != last; ++it)
            if (it->second == name) {
                byFoldedName.erase(it);
                return;
            }
    }
};

using FolderKey = std::pair<dev_t, ino_t>;

class Listings {
public:
    // Runs `use` on the up-to-date listing of `folder`, under the lock.
    template <class Use>
    int with(const std::string& folder, Use&& use) {
        std::lock_guard lock(m_mutex);
        takeNotifications();
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0)
            return errno;
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
        const FolderKey key{st.st_dev, st.st_ino};
        auto it = m_listings.find(key);
        if (it == m_listings.end() || !current(it->second, st)) {
            if (const int err = read(folder, st, key); err != 0)
                return err;
            it = m_listings.find(key);
        }
        it->second.lastUse = ++m_clock;
        use(it->second);
        return 0;
    }

    std::uint64_t reads() const { return m_reads.load(); }

    void forgetAll() {
        std::lock_guard lock(m_mutex);
        takeNotifications();
        for (const auto& [watch, key] : m_byWatch)
            ::inotify_rm_watch(m_notify, watch);
        m_byWatch.clear();
        m_listings.clear();
    }

    void useNotifications(bool use) {
        std::lock_guard lock(m_mutex);
        m_notificationsWanted = use;
    }

private:
    bool current(Listing& listing, const struct stat& st) {
        if (listing.stale)
            return false;
        const bool sameTime = listing.modified == st.st_mtim;
        if (listing.watch < 0)
            return sameTime && listing.settled;
        // A new time stamp without a notification is a change the notifications did not see.
        if (!sameTime && !listing.notified)
            return false;
        listing.modified = st.st_mtim;
        listing.notified = false;
        return true;
    }

    int read(const std::string& folder, const struct stat& st, const FolderKey& key) {
        Listing fresh;
        fresh.path = folder;
        fresh.modified = st.st_mtim;
        // The watch comes first, so that a change made while the folder is read is not lost: the
        // notifications are applied over the listing afterwards, and each leaves its name as it was last.
        const auto old = m_listings.find(key);
        if (old != m_listings.end())
            fresh.watch = std::exchange(old->second.watch, -1);
        if (fresh.watch < 0)
            fresh.watch = addWatch(folder);
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) {
            const int err = errno;
            dropWatch(fresh.watch);
            m_listings.erase(key);
            return err;
        }
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                fresh.add(entry->d_name, kindOf(entry->d_type));
        }
        const int err = errno;
        ::closedir(dir);
        m_reads.fetch_add(1);
        if (err != 0) {
            dropWatch(fresh.watch);
            m_listings.erase(key);
            return err;
        }
        fresh.settled = now.tv_sec - st.st_mtim.tv_sec >= 2;
        if (fresh.watch >= 0)
            m_byWatch[fresh.watch] = key;
        m_listings[key] = std::move(fresh);
        keepFew(key);
        return 0;
    }

    int addWatch(const std::string& folder) {
        if (!m_notificationsWanted)
            return -1;
        if (!m_notifyTried) {
            m_notifyTried = true;
            m_notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        }
        return m_notify < 0 ? -1 : ::inotify_add_watch(m_notify, folder.c_str(), kWatchedChanges);
    }

    void dropWatch(int watch) {
        if (watch < 0)
            return;
        m_byWatch.erase(watch);
        ::inotify_rm_watch(m_notify, watch);
    }

    // The least recently used listings go, all but `keep`.
    void keepFew(const FolderKey& keep) {
        while (m_listings.size() > kMostKept) {
            auto oldest = m_listings.end();
            for (auto it = m_listings.begin(); it != m_listings.end(); ++it)
                if (it->first != keep &&
                    (oldest == m_listings.end() || it->second.lastUse < oldest->second.lastUse))
                    oldest = it;
            dropWatch(oldest->second.watch);
            m_listings.erase(oldest);
        }
    }

    void takeNotifications() {
        if (m_notify < 0)
            return;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t got = ::read(m_notify, buffer, sizeof buffer);
            if (got <= 0)
                return; // EAGAIN: nothing more for now
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                const char* name = buffer + at + sizeof event;
                at += static_cast<ssize_t>(sizeof event + event.len);
                if (at > got)
                    break;
                apply(event, std::string(name, ::strnlen(name, event.len)));
            }
        }
    }

    void apply(const inotify_event& event, const std::string& name) {
        if (event.mask & IN_Q_OVERFLOW) {
            for (auto& [key, listing] : m_listings)
                listing.stale = true;
            return;
        }
        const auto watched = m_byWatch.find(event.wd);
        if (watched == m_byWatch.end())
            return;
        const auto it = m_listings.find(watched->second);
        if (it == m_listings.end())
            return;
        Listing& listing = it->second;
        if (event.mask & IN_IGNORED) { // the folder went, or its file system
            m_byWatch.erase(watched);
            m_listings.erase(it);
            return;
        }
        if (name.empty())
            return;
        if (event.mask & (IN_CREATE | IN_MOVED_TO))
            listing.add(name, event.mask & IN_ISDIR ? FolderEntry::Kind::Folder : FolderEntry::Kind::Unknown);
        else if (event.mask & (IN_DELETE | IN_MOVED_FROM))
            listing.remove(name);
        listing.notified = true;
    }

    std::mutex m_mutex;
    int m_notify = -1;
    bool m_notifyTried = false;
    bool m_notificationsWanted = true;
    std::map<FolderKey, Listing> m_listings;
    std::map<int, FolderKey> m_byWatch;
    std::uint64_t m_clock = 0;
    std::atomic<std::uint64_t> m_reads{0};
};

// Never destroyed: threads may still ask while the process ends.
Listings& listings() {
    static Listings* const instance = new Listings;
    return *instance;
}

} // namespace

int FolderListing::entries(const std::string& folder, std::vector<FolderEntry>& out) {
    out.clear();
    return listings().with(folder, [&](const Listing& listing) {
        out.reserve(listing.names.size());
        for (const auto& [name, kind] : listing.names)
            out.push_back(FolderEntry{name, kind});
    });
}

int FolderListing::namesStartingWith(const std::string& folder, const std::string& prefix,
                                     std::vector<std::string>& out) {
    out.clear();
    return listings().with(folder, [&](const Listing& listing) {
        for (auto it = listing.names.lower_bound(prefix);
             it != listing.names.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
            out.push_back(it->first);
    });
}

int FolderListing::namesEqualIgnoringCase(const std::string& folder, const std::string& name,
                                          std::vector<std::string>& out) {
    out.clear();
    return listings().with(folder, [&](Listing& listing) {
        auto [first, last] = listing.foldedNames().equal_range(folded(name));
        for (auto it = first; it != last; ++it)
            out.push_back(it->second);
        std::sort(out.begin(), out.end());
    });
}

std::uint64_t FolderListing::readCount() {
    return listings().reads();
}

void FolderListing::forgetAll() {
    listings().forgetAll();
}

void FolderListing::useChangeNotifications(bool use) {
    listings().forgetAll();
    listings().useNotifications(use);
}

} // namespace lumo
