#include "cache/ThumbfileCache.h"

#include "NRF/NRFBasicJPEG.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"
#include "support/PathDigest.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

constexpr std::string_view kThumbFolder = "thumb";
constexpr std::string_view kPreviewFolder = "preview";
constexpr std::size_t kMinimumKeyLength = 44;
constexpr std::size_t kDigestLength = 32;
constexpr char kTemporaryMark[] = ".tmp-";
// Entries are small JPEGs; anything larger than this under a key is not one of ours.
constexpr std::uint64_t kMaximumEntryBytes = 64u << 20;

std::mutex g_instanceMutex;
std::unique_ptr<CThumbfileCache> g_instance;
std::atomic<CThumbfileCache*> g_current{nullptr};

std::string_view kindFolder(CThumbfileCache::Kind kind) {
    return kind == CThumbfileCache::Kind::Thumb ? kThumbFolder : kPreviewFolder;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool allHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), isHex);
}

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Where the kind's name ends in a key: "thumb/..." -> 5, "preview/..." -> 7, else 0.
std::size_t kindLength(std::string_view key) {
    if (key.starts_with(kThumbFolder))
        return kThumbFolder.size();
    if (key.starts_with(kPreviewFolder))
        return kPreviewFolder.size();
    return 0;
}

// A key as the cache writes them: the kind, '/', two hex digits, '/', thirty more, '#', then a file
// name without '/' or NUL. Anything else could name a file outside the cache folder.
bool wellFormed(std::string_view key) {
    if (key.size() < kMinimumKeyLength)
        return false;
    const std::size_t kind = kindLength(key);
    if (kind == 0 || key.size() < kind + kDigestLength + 4)
        return false;
    std::string_view rest = key.substr(kind);
    if (rest[0] != '/' || !allHex(rest.substr(1, 2)) || rest[3] != '/' || !allHex(rest.substr(4, 30)) ||
        rest[34] != '#')
        return false;
    const std::string_view name = rest.substr(35);
    return !name.empty() && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos && name != "." && name != "..";
}

// "x.jpg.tmp-4711-3" -> 4711 when the name is a temporary file of the cache, else 0.
pid_t temporaryOwner(std::string_view name) {
    const std::size_t mark = name.rfind(kTemporaryMark);
    if (mark == std::string_view::npos)
        return 0;
    const std::string_view rest = name.substr(mark + sizeof kTemporaryMark - 1);
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos || dash > 9 || !allDigits(rest.substr(0, dash)) ||
        !allDigits(rest.substr(dash + 1)))
        return 0;
    return static_cast<pid_t>(std::stol(std::string(rest.substr(0, dash))));
}

bool processIsGone(pid_t pid) {
    return pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Calls `visit` with each name in the folder but "." and "..", and the kind the listing gives it
// (DT_UNKNOWN where the file system does not say). 0 or an errno value.
template <typename Visit>
int forEachName(const std::string& folder, Visit&& visit) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return errno;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        visit(name, entry->d_type);
    }
    ::closedir(dir);
    return 0;
}

// The variant part of an entry's name after its base ("#1#h#256#.jpg"), or false.
bool parseVariant(std::string_view tail, CThumbfileCache::Variant& variant) {
    constexpr std::string_view kEnd = "#.jpg";
    if (tail.size() < 2 || tail[0] != '#' || !tail.ends_with(kEnd))
        return false;
    tail = tail.substr(1, tail.size() - 1 - kEnd.size()); // "1#h#256"
    const std::size_t first = tail.find('#');
    if (first == std::string_view::npos || first + 2 >= tail.size() || tail[first + 2] != '#')
        return false;
    const std::string_view number = tail.substr(0, first);
    const char quality = tail[first + 1];
    const std::string_view size = tail.substr(first + 3);
    if (!allDigits(number) || number.size() > 9 || !allDigits(size) || size.size() > 9 ||
        (quality != 'd' && quality != 'h'))
        return false;
    variant.number = std::stoi(std::string(number));
    variant.highQuality = quality == 'h';
    variant.pixelSize = static_cast<std::uint32_t>(std::stoul(std::string(size)));
    return true;
}

std::string normalisedPath(const std::string& path) {
    std::filesystem::path p(path);
    if (p.is_relative()) {
        std::error_code ec;
        p = std::filesystem::absolute(p, ec);
        if (ec)
            p = path;
    }
    return p.lexically_normal().string();
}

bool looksLikeWholeJPEG(const std::string& bytes) {
    return bytes.size() >= 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 &&
           static_cast<unsigned char>(bytes[bytes.size() - 2]) == 0xFF &&
           static_cast<unsigned char>(bytes[bytes.size() - 1]) == 0xD9;
}

} // namespace

// ---- the process's cache ----

CThumbfileCache* CThumbfileCache::GetThumbfileCache() {
    return g_current.load(std::memory_order_acquire);
}

std::string CThumbfileCache::FolderErrorMessage(const std::string& folder) {
    return "The image cache folder could not be created at the following location:\n\"" + folder +
           "\".  \nPlease choose a new location for the image cache.";
}

int CThumbfileCache::PrepareFolder(const std::string& folder) {
    if (folder.empty())
        return ENOENT;
    for (std::string_view kind : {kThumbFolder, kPreviewFolder})
        if (int e = lumo::createDirectories(folder + "/" + std::string(kind)))
            return e;
    // Making the folders proves nothing when they were there already: write a file to be sure.
    const std::string probe =
        folder + "/" + std::string(kThumbFolder) + "/.probe-" + std::to_string(::getpid());
    lumo::File file;
    int e = file.open(probe, lumo::File::Mode::Truncate);
    if (e == 0) {
        e = file.write("x", 1);
        const int closed = file.close();
        if (e == 0)
            e = closed;
        lumo::removeFile(probe);
    }
    return e;
}

bool CThumbfileCache::OpenThumbfileCache(const std::string& folder, std::string& error) {
    if (int e = PrepareFolder(folder)) {
        LUMO_LOG("CThumbfileCache: cannot use the image cache folder '%s': %s", folder.c_str(),
                 std::strerror(e));
        error = FolderErrorMessage(folder);
        return false;
    }
    std::lock_guard lock(g_instanceMutex);
    g_current.store(nullptr, std::memory_order_release);
    g_instance = std::make_unique<CThumbfileCache>(folder);
    g_current.store(g_instance.get(), std::memory_order_release);
    return true;
}

void CThumbfileCache::CloseThumbfileCache() {
    std::lock_guard lock(g_instanceMutex);
    g_current.store(nullptr, std::memory_order_release);
    g_instance.reset();
}

CThumbfileCache::CThumbfileCache(std::string folder) : m_folder(std::move(folder)) {
    while (m_folder.size() > 1 && m_folder.back() == '/')
        m_folder.pop_back();
}

CThumbfileCache::~CThumbfileCache() = default;

// ---- keys ----

std::string CThumbfileCache::MakeKey(Kind kind, const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return {};
    const std::int64_t modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                                  static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return MakeKey(kind, path, static_cast<std::uint64_t>(st.st_size), modified);
}

std::string CThumbfileCache::MakeKey(Kind kind, const std::string& path, std::uint64_t size,
                                     std::int64_t modified) {
    if (path.empty())
        return {};
    const std::string full = normalisedPath(path);
    const std::size_t slash = full.rfind('/');
    const std::string_view name =
        slash == std::string::npos ? std::string_view(full) : std::string_view(full).substr(slash + 1);
    if (name.empty())
        return {};
    std::string input = full;
    input.reserve(full.size() + 16);
    for (std::uint64_t value : {size, static_cast<std::uint64_t>(modified)})
        for (int i = 0; i < 8; ++i)
            input.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    const std::string digest = lumo::pathDigest(input);

    const std::string_view folder = kindFolder(kind);
    std::string key;
    key.reserve(folder.size() + 4 + digest.size() + name.size());
    key.append(folder).append("/").append(digest, 0, 2).append("/").append(digest, 2, std::string::npos);
    key.append("#").append(name);
    return key;
}

std::string CThumbfileCache::VariantKey(const std::string& baseKey, const Variant& variant) {
    if (baseKey.empty())
        return {};
    return baseKey + "#" + std::to_string(variant.number) + "#" + (variant.highQuality ? "h" : "d") + "#" +
           std::to_string(variant.pixelSize) + "#.jpg";
}

bool CThumbfileCache::validate_key(const std::string& key) {
    if (wellFormed(key))
        return true;
    LUMO_CHANNEL_LOG(DebugFlag::LUMOCACHE_LOGGING,
                     "LumoCache::DiskCacheElem::validate_key() key is invalid '%s'", key.c_str());
    return false;
}

std::string CThumbfileCache::PathOf(const std::string& key) const {
    return m_folder + "/" + key;
}

// ---- reading ----

std::vector<CThumbfileCache::Entry> CThumbfileCache::EntriesFor(const std::string& baseKey) const {
    std::vector<Entry> out;
    if (!validate_key(baseKey))
        return out;
    const std::size_t slash = baseKey.rfind('/', baseKey.find('#'));
    const std::string folder = PathOf(baseKey.substr(0, slash));
    const std::string_view base = std::string_view(baseKey).substr(slash + 1);
    forEachName(folder, [&](std::string_view name, unsigned char) {
        Variant variant;
        if (name.size() > base.size() && name.starts_with(base) &&
            parseVariant(name.substr(base.size()), variant))
            out.push_back(Entry{baseKey + std::string(name.substr(base.size())), variant});
    });
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.variant.pixelSize, a.variant.number, a.variant.highQuality) <
               std::tie(b.variant.pixelSize, b.variant.number, b.variant.highQuality);
    });
    return out;
}

bool CThumbfileCache::Exists(const std::string& key) const {
    struct stat st {};
    return wellFormed(key) && ::stat(PathOf(key).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CThumbfileCache::LoadBytes(const std::string& key, std::string& jpeg) const {
    jpeg.clear();
    if (!validate_key(key))
        return false;
    lumo::File file;
    if (file.open(PathOf(key), lumo::File::Mode::Read) != 0)
        return false;
    std::uint64_t size = 0;
    if (file.size(size) != 0 || size < 4 || size > kMaximumEntryBytes)
        return false;
    jpeg.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < jpeg.size()) {
        std::size_t got = 0;
        if (file.read(jpeg.data() + done, jpeg.size() - done, got) != 0 || got == 0)
            break;
        done += got;
    }
    // Every entry is written whole and ends with the JPEG's end marker: anything else was cut short
    // (a disk that filled up, a machine that lost power before the data reached it).
    if (done != jpeg.size() || !looksLikeWholeJPEG(jpeg)) {
        jpeg.clear();
        return false;
    }
    return true;
}

bool CThumbfileCache::Load(const std::string& key, NRFBitmapBase& out) const {
    std::string jpeg;
    if (!LoadBytes(key, jpeg))
        return false;
    if (NRFDecompressJPEG(jpeg.data(), jpeg.size(), 0, out) != 0) {
        out.Clear();
        return false;
    }
    return true;
}

// ---- writing ----

bool CThumbfileCache::Store(const std::string& key, const NRFBitmapBase& bitmap, int quality) {
    // Error bitmaps are drawn again at no cost, and the standard EXIF thumbnail is read from the file
    // faster than from here.
    if (bitmap.Empty() || (bitmap.flags & (kNRFBitmapError | kNRFBitmapExifThumbnail)) ||
        !validate_key(key) || Exists(key))
        return false;
    NRFSaveOptions options;
    options.quality = quality;
    std::string jpeg;
    if (NRFEncodeJPEG(bitmap, options, jpeg) != 0)
        return false;
    return WriteEntry(key, jpeg);
}

bool CThumbfileCache::StoreBytes(const std::string& key, const std::string& jpeg) {
    if (!validate_key(key) || Exists(key))
        return false;
    if (looksLikeWholeJPEG(jpeg))
        return WriteEntry(key, jpeg);
    // Embedded previews are often followed by padding: keep the JPEG up to its end marker.
    if (jpeg.size() < 4 || static_cast<unsigned char>(jpeg[0]) != 0xFF ||
        static_cast<unsigned char>(jpeg[1]) != 0xD8)
        return false;
    const std::size_t end = jpeg.rfind("\xFF\xD9");
    if (end == std::string::npos || end < 2)
        return false;
    return WriteEntry(key, jpeg.substr(0, end + 2));
}

void CThumbfileCache::RemoveDeadTemporariesOnce(const std::string& folder) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_cleanedFolders.insert(folder).second)
            return;
    }
    forEachName(folder, [&](std::string_view name, unsigned char) {
        if (processIsGone(temporaryOwner(name)))
            ::unlink((folder + "/" + std::string(name)).c_str());
    });
}

// The entry is written under a name of its own beside the key and renamed over it when whole, so the
// key names either nothing or a whole JPEG, whenever the process is stopped. The data is not flushed
// to disk first: after a power cut an entry may be empty or short, which LoadBytes notices (the
// caller purges it and loads the picture again), and a flush per thumbnail would cost more than
// making them all again.
bool CThumbfileCache::WriteEntry(const std::string& key, const std::string& jpeg) {
    static std::atomic<unsigned> counter{0};
    const std::string target = PathOf(key);
    const std::string folder = target.substr(0, target.rfind('/'));
    RemoveDeadTemporariesOnce(folder);
    const std::string temporary = target + kTemporaryMark + std::to_string(::getpid()) + "-" +
                                  std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    lumo::File file;
    int e = file.open(temporary, lumo::File::Mode::CreateNew);
    if (e == ENOENT && lumo::createDirectories(folder) == 0)
        e = file.open(temporary, lumo::File::Mode::CreateNew);
    if (e == 0)
        e = file.write(jpeg.data(), jpeg.size());
    const int closed = file.isOpen() ? file.close() : 0;
    if (e == 0)
        e = closed;
    if (e == 0)
        e = lumo::renameFile(temporary, target);
    if (e != 0) {
        lumo::removeFile(temporary);
        LUMO_CHANNEL_LOG(DebugFlag::LUMOCACHE_LOGGING, "cache: cannot write on-disk %s: %s", key.c_str(),
                         std::strerror(e));
        return false;
    }
    return true;
}

bool CThumbfileCache::Purge(const std::string& key) {
    return validate_key(key) && lumo::removeFile(PathOf(key)) == 0;
}

int CThumbfileCache::RenameImage(const std::string& oldPath, const std::string& newPath) {
    struct stat st {};
    if (::stat(newPath.c_str(), &st) != 0 && ::stat(oldPath.c_str(), &st) != 0)
        return 0;
    const std::int64_t modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                                  static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    int moved = 0;
    for (Kind kind : {Kind::Thumb, Kind::Preview}) {
        const std::string oldBase = MakeKey(kind, oldPath, size, modified);
        const std::string newBase = MakeKey(kind, newPath, size, modified);
        if (oldBase.empty() || newBase.empty() || oldBase == newBase)
            continue;
        std::vector<std::pair<std::string, std::string>> moves;
        if (Exists(oldBase))
            moves.emplace_back(oldBase, newBase);
        for (const Entry& entry : EntriesFor(oldBase))
            moves.emplace_back(entry.key, VariantKey(newBase, entry.variant));
        for (const auto& [from, to] : moves) {
            const std::string target = PathOf(to);
            int e = lumo::renameFile(PathOf(from), target);
            if (e == ENOENT && lumo::fileExists(PathOf(from)) &&
                lumo::createDirectories(target.substr(0, target.rfind('/'))) == 0)
                e = lumo::renameFile(PathOf(from), target);
            if (e != 0) {
                LUMO_LOG("cache: rename on-disk %s to %s failed: %s", from.c_str(), to.c_str(),
                         std::strerror(e));
                continue;
            }
            LUMO_CHANNEL_LOG(DebugFlag::LUMOCACHE_LOGGING, "cache: renamed on-disk %s to %s\n", from.c_str(),
                             to.c_str());
            ++moved;
        }
    }
    return moved;
}

void CThumbfileCache::TouchByCacheKey(const std::string& key) {
    if (!wellFormed(key) || ::utimensat(AT_FDCWD, PathOf(key).c_str(), nullptr, 0) != 0)
        LUMO_CHANNEL_LOG(DebugFlag::LUMOCACHE_LOGGING,
                         "CThumbfileCache::TouchByCacheKey() Unable to touch '%s'", key.c_str());
}

// ---- the whole cache ----

// Visits every file under the chosen kinds' folders with its key (relative path) and size; temporary
// files of processes that have ended are removed on the way, those of running ones skipped.
template <typename Visit>
void CThumbfileCache::ForEachFile(bool thumbs, bool previews, Visit&& visit) const {
    for (std::string_view kind : {kThumbFolder, kPreviewFolder}) {
        if ((kind == kThumbFolder && !thumbs) || (kind == kPreviewFolder && !previews))
            continue;
        const std::string kindPath = m_folder + "/" + std::string(kind);
        std::vector<std::string> subfolders;
        forEachName(kindPath, [&](std::string_view name, unsigned char type) {
            if (type == DT_DIR || type == DT_UNKNOWN)
                subfolders.emplace_back(name);
        });
        std::sort(subfolders.begin(), subfolders.end());
        for (const std::string& sub : subfolders) {
            const std::string subPath = kindPath + "/" + sub;
            const int dirFd = ::open(subPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0)
                continue;
            forEachName(subPath, [&](std::string_view name, unsigned char) {
                struct stat st {};
                if (::fstatat(dirFd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                    !S_ISREG(st.st_mode))
                    return;
                if (const pid_t owner = temporaryOwner(name)) {
                    if (processIsGone(owner))
                        ::unlinkat(dirFd, std::string(name).c_str(), 0);
                    return;
                }
                visit(std::string(kind) + "/" + sub + "/" + std::string(name),
                      static_cast<std::uint64_t>(st.st_size));
            });
            ::close(dirFd);
        }
    }
}

CThumbfileCache::Counts CThumbfileCache::Count() const {
    return Count(true, true);
}

CThumbfileCache::Counts CThumbfileCache::Count(bool thumbs, bool previews) const {
    Counts counts;
    ForEachFile(thumbs, previews, [&](const std::string& key, std::uint64_t size) {
        ++counts.entries;
        counts.bytes += size;
        if (wellFormed(key))
            ++counts.usable;
    });
    return counts;
}

std::size_t
CThumbfileCache::Clear(bool thumbs, bool previews,
                       const std::function<bool(const std::string&, std::size_t, std::size_t)>& progress) {
    static const std::string kScanning = "Clearing Disk Cache, scanning cache folders...";
    static const std::string kDeleting = "Clearing Disk Cache, deleting files...";
    const auto report = [&](const std::string& status, std::size_t done, std::size_t total) {
        return !progress || progress(status, done, total);
    };
    if (!report(kScanning, 0, 0))
        return 0;
    std::vector<std::string> keys;
    ForEachFile(thumbs, previews, [&](const std::string& key, std::uint64_t) { keys.push_back(key); });
    std::size_t deleted = 0;
    const std::size_t total = keys.size();
    if (!report(kDeleting, 0, total))
        return 0;
    for (std::size_t i = 0; i < total; ++i) {
        if (lumo::removeFile(PathOf(keys[i])) == 0)
            ++deleted;
        if (!report(kDeleting, i + 1, total))
            break;
    }
    LUMO_CHANNEL_LOG(DebugFlag::EMPTY_CACHE_LOGGING, "cache: cleared %zu of %zu disk cache files", deleted,
                     total);
    return deleted;
}
