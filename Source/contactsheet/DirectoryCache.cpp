#include "contactsheet/DirectoryCache.h"

#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "archive/PacketBuf.h"
#include "archive/VObject.h"
#include "support/FileIO.h"
#include "support/PathDigest.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <set>

namespace {

constexpr char kMagic[] = "LUMODIRC";
constexpr std::size_t kMagicSize = sizeof kMagic - 1;
constexpr std::int64_t kVersion = 1;
constexpr std::size_t kEntryFields = 7;
// The attribute bits of entries the scan never accepts (folders, hidden, system files, links).
constexpr std::uint32_t kRejectedAttributes = kEntryDirectory | kEntryHidden | kEntrySystem | kEntryLink;
constexpr NRFFileType kTypeIllegal = NRFMakeFileType("ILGL");

bool fail(std::string* why, const char* reason) {
    if (why)
        *why = reason;
    return false;
}

bool isInteger(const CILA::VObject& value) {
    return value.type() == CILA::VObject::DT_INTEGER;
}

bool inRange(const CILA::VObject& value, std::int64_t low, std::int64_t high) {
    return isInteger(value) && value.getint() >= low && value.getint() <= high;
}

bool validName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

std::string DirectoryCachePath(const std::vector<std::string>& folders) {
    const std::string cache = LumoPaths::imageCacheFolder();
    if (folders.empty() || cache.empty())
        return {};
    std::string joined;
    for (const std::string& folder : folders) {
        joined += folder;
        joined += '\0';
    }
    return cache + "/DirectoryCache/" + lumo::pathDigest(joined) + ".dat";
}

std::string DirectoryCacheEncode(const std::vector<std::string>& folders, bool includeProxies,
                                 const FolderScanResult& listing) {
    CILA::VObject root = CILA::VObject::makeHash();
    root.store("version", kVersion);
    CILA::VObject folderList = CILA::VObject::makeVector();
    for (const std::string& folder : folders)
        folderList.append(folder);
    root.store("folders", std::move(folderList));
    root.store("proxies", includeProxies);
    root.store("digest", listing.digest);
    CILA::VObject entries = CILA::VObject::makeVector();
    entries.getvec().reserve(listing.entries.size());
    std::size_t folderIndex = 0;
    for (const FolderScanEntry& entry : listing.entries) {
        while (folderIndex < folders.size() && folders[folderIndex] != entry.folder)
            ++folderIndex;
        CILA::VObject fields = CILA::VObject::makeVector();
        fields.append(folderIndex);
        fields.append(entry.entry.name);
        fields.append(static_cast<std::int64_t>(entry.entry.size));
        fields.append(static_cast<std::int64_t>(entry.entry.lastWriteTime));
        fields.append(entry.entry.attributes);
        fields.append(entry.entry.fileType);
        fields.append(entry.entry.isRaw);
        entries.append(std::move(fields));
    }
    root.store("entries", std::move(entries));
    CILA::PacketBuf out;
    out.append(kMagic, kMagicSize);
    root.serialize(out);
    return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

bool DirectoryCacheDecode(const std::string& bytes, const std::vector<std::string>& folders,
                          bool includeProxies, FolderScanResult& out, std::string* why) {
    out = {};
    if (bytes.size() > kDirectoryCacheMaxFileSize)
        return fail(why, "too large");
    if (bytes.size() < kMagicSize || bytes.compare(0, kMagicSize, kMagic) != 0)
        return fail(why, "no directory cache header");
    CILA::PacketBuf in;
    in.assign(bytes.data() + kMagicSize, bytes.size() - kMagicSize);
    CILA::VObject root;
    try {
        root = CILA::VObject::deserialize(in);
    } catch (const std::exception&) {
        return fail(why, "malformed");
    }
    if (in.remaining() != 0)
        return fail(why, "bytes after the listing");
    if (root.type() != CILA::VObject::DT_HASH)
        return fail(why, "not a hash");
    const CILA::VObject* version = root.fetch("version");
    if (!version || !isInteger(*version) || version->getint() != kVersion)
        return fail(why, "unknown version");
    const CILA::VObject* folderList = root.fetch("folders");
    if (!folderList || folderList->type() != CILA::VObject::DT_VECTOR ||
        folderList->getvec().size() != folders.size())
        return fail(why, "other folders");
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const CILA::VObject& folder = folderList->getvec()[i];
        if (folder.type() != CILA::VObject::DT_STR || folder.getstr() != folders[i])
            return fail(why, "other folders");
    }
    const CILA::VObject* proxies = root.fetch("proxies");
    if (!proxies || proxies->type() != CILA::VObject::DT_BOOL || proxies->getbool() != includeProxies)
        return fail(why, "other proxy setting");
    const CILA::VObject* digest = root.fetch("digest");
    if (!digest || digest->type() != CILA::VObject::DT_STR || digest->getstr().size() != 32 ||
        digest->getstr().find_first_not_of("0123456789abcdef") != std::string::npos)
        return fail(why, "malformed digest");
    const CILA::VObject* entries = root.fetch("entries");
    // Every entry takes several bytes of the file: a count beyond its size cannot be.
    if (!entries || entries->type() != CILA::VObject::DT_VECTOR || entries->getvec().size() > bytes.size())
        return fail(why, "malformed entries");

    FolderScanResult listing;
    listing.digest = digest->getstr();
    listing.entries.reserve(entries->getvec().size());
    std::size_t lastFolder = 0;
    const std::string* lastName = nullptr;
    for (const CILA::VObject& fields : entries->getvec()) {
        if (fields.type() != CILA::VObject::DT_VECTOR || fields.getvec().size() != kEntryFields)
            return fail(why, "malformed entry");
        const CILA::VObject::Vector& f = fields.getvec();
        if (!inRange(f[0], 0, static_cast<std::int64_t>(folders.size()) - 1) ||
            f[1].type() != CILA::VObject::DT_STR ||
            !inRange(f[2], 0, std::numeric_limits<std::int64_t>::max()) || !isInteger(f[3]) ||
            !inRange(f[4], 0, std::numeric_limits<std::uint32_t>::max()) ||
            !inRange(f[5], 1, std::numeric_limits<std::uint32_t>::max()) ||
            f[6].type() != CILA::VObject::DT_BOOL)
            return fail(why, "malformed entry");
        const auto folder = static_cast<std::size_t>(f[0].getint());
        const std::string& name = f[1].getstr();
        const auto attributes = static_cast<std::uint32_t>(f[4].getint());
        const auto type = static_cast<NRFFileType>(f[5].getint());
        if (!validName(name))
            return fail(why, "bad name");
        if ((attributes & kRejectedAttributes) != 0 || type == kTypeIllegal)
            return fail(why, "entry the scan never accepts");
        // Folders in the sheet's order, names in name order within each, each name once.
        if (folder < lastFolder || (folder == lastFolder && lastName && !(*lastName < name)))
            return fail(why, "entries out of order");
        lastFolder = folder;
        lastName = &name;
        DirectoryEntry entry;
        entry.name = name;
        entry.size = static_cast<std::uint64_t>(f[2].getint());
        entry.lastWriteTime = f[3].getint();
        entry.attributes = attributes;
        entry.fileType = type;
        entry.isRaw = f[6].getbool();
        if (type == kNRFTypeProxy)
            ++listing.unknown;
        else if (entry.isRaw)
            ++listing.raw;
        else
            ++listing.nonRaw;
        listing.entries.push_back(FolderScanEntry{folders[folder], std::move(entry)});
    }
    out = std::move(listing);
    return true;
}

bool DirectoryCacheLoad(const std::vector<std::string>& folders, bool includeProxies, FolderScanResult& out) {
    const std::string path = DirectoryCachePath(folders);
    if (path.empty())
        return false;
    std::string bytes;
    // One byte more than allowed tells a file that is too large.
    if (const int error = lumo::readFile(path, bytes, kDirectoryCacheMaxFileSize + 1)) {
        if (error != ENOENT)
            LUMO_LOG("DirectoryCache: cannot read '%s': %s", path.c_str(), std::strerror(error));
        return false;
    }
    std::string why;
    if (!DirectoryCacheDecode(bytes, folders, includeProxies, out, &why)) {
        LUMO_LOG("DirectoryCache: ignoring '%s': %s", path.c_str(), why.c_str());
        return false;
    }
    return true;
}

bool DirectoryCacheStore(const std::vector<std::string>& folders, bool includeProxies,
                         const FolderScanResult& listing) {
    const std::string path = DirectoryCachePath(folders);
    if (path.empty())
        return false;
    const std::string bytes = DirectoryCacheEncode(folders, includeProxies, listing);
    if (bytes.size() > kDirectoryCacheMaxFileSize)
        return false; // it would not be read back
    const std::string folder = path.substr(0, path.rfind('/'));
    int error = lumo::createDirectories(folder);
    if (error == 0)
        error = lumo::writeFileReplacing(path, bytes, nullptr, false);
    if (error != 0) {
        // Once per folder: a read-only cache folder would otherwise log at every scan.
        static std::mutex lock;
        static std::set<std::string> logged;
        std::lock_guard guard(lock);
        if (logged.insert(folder).second)
            LUMO_LOG("DirectoryCache: cannot write in '%s': %s", folder.c_str(), std::strerror(error));
        return false;
    }
    return true;
}
