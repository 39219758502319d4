#include "fileops/LiveIngest.h"

#include "NRF/NRF.h"
#include "NRF/NRFPlugin.h"
#include "app/LumoLog.h"
#include "background/ProgressDialogInterface.h"
#include "contactsheet/DocumentItem.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/IngestFilters.h"
#include "fileops/IngestTask.h"
#include "fileops/LumoCopyFile.h"
#include "metadata/MetadataTemplate.h"
#include "support/FileIO.h"
#include "variables/VariableExpander.h"
#include "variables/VariableSequence.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

// ---- the specification record

CILA::VObject destToVObject(const LiveIngestDestSpec& dest) {
    CILA::VObject record = CILA::VObject::makeHash();
    record.store(LiveIngestKey::kDestPathRoot, CILA::VObject(dest.m_destPathRoot));
    record.store(LiveIngestKey::kUsingDatedFolder, CILA::VObject(dest.m_usingDatedFolder));
    record.store(LiveIngestKey::kUsingFolderName, CILA::VObject(dest.m_usingFolderName));
    record.store(LiveIngestKey::kFolderName, CILA::VObject(dest.m_folderName));
    record.store(LiveIngestKey::kSrcDirMode, CILA::VObject(static_cast<std::int64_t>(dest.m_srcDirMode)));
    record.store(LiveIngestKey::kOpenContactSheets, CILA::VObject(dest.m_openContactSheets));
    return record;
}

void read(const CILA::VObject& record, const char* key, bool& out) {
    if (const CILA::VObject* value = record.fetch(key); value && value->dataType() == CILA::VObject::DT_BOOL)
        out = value->getbool();
}
void read(const CILA::VObject& record, const char* key, std::string& out) {
    if (const CILA::VObject* value = record.fetch(key); value && value->dataType() == CILA::VObject::DT_STR)
        out = value->getstr();
}

// ---- files

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The name without its extension, and the extension (lower case, without the dot).
std::pair<std::string, std::string> stemAndExtension(const std::string& path) {
    const std::string name = nameOf(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {lower(name), {}};
    return {lower(name.substr(0, dot)), lower(name.substr(dot + 1))};
}

bool hasJpegExtension(const std::string& path) {
    const std::string extension = stemAndExtension(path).second;
    return extension == "jpg" || extension == "jpeg" || extension == "jpe";
}

bool hasJpegOrHeifExtension(const std::string& path) {
    const std::string extension = stemAndExtension(path).second;
    return hasJpegExtension(path) || extension == "heic" || extension == "heif" || extension == "hif";
}

// Files that never travel alone: their photo takes them along.
bool isAttachedKind(const std::string& path) {
    static const std::set<std::string> kinds = {"xmp", "wav", "thm", "aae", "xip"};
    return kinds.count(stemAndExtension(path).second) != 0;
}

bool statFile(const std::string& path, std::uint64_t& size, std::int64_t& mtime) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

std::string normalFolder(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    std::string text = (ec ? fs::path(path) : absolute).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

bool isBelow(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              (folder == "/" || path[folder.size()] == '/'));
}

std::string joinFolder(const std::string& base, const std::string& relative) {
    if (relative.empty())
        return base;
    return base.empty() || base.back() == '/' ? base + relative : base + "/" + relative;
}

bool templateUsesIngestSequence(const std::string& text) {
    const std::string folded = lower(text);
    return folded.find("{iseq") != std::string::npos || folded.find("{ingestseq") != std::string::npos;
}

} // namespace

// ---- LiveIngestSpec

CILA::VObject LiveIngestSpec::ToVObject() const {
    CILA::VObject record = CILA::VObject::makeHash();
    CILA::VObject sources = CILA::VObject::makeVector();
    for (const std::string& source : m_sourcePaths)
        sources.append(CILA::VObject(source));
    record.store(LiveIngestKey::kSourcePaths, sources);
    CILA::VObject dests = CILA::VObject::makeVector();
    for (const LiveIngestDestSpec& dest : m_destSpecs)
        dests.append(destToVObject(dest));
    record.store(LiveIngestKey::kDestSpecs, dests);
    record.store(LiveIngestKey::kDoingRename, CILA::VObject(m_doingRename));
    record.store(LiveIngestKey::kRenameString, CILA::VObject(m_renameString));
    record.store(LiveIngestKey::kApplyingStationeryPad, CILA::VObject(m_applyingStationeryPad));
    record.store(LiveIngestKey::kAutoCatalog, CILA::VObject(m_autoCatalog));
    return record;
}

bool LiveIngestSpec::FromVObject(const CILA::VObject& record, LiveIngestSpec& spec) {
    if (record.dataType() != CILA::VObject::DT_HASH)
        return false;
    spec = LiveIngestSpec{};
    if (const CILA::VObject* sources = record.fetch(LiveIngestKey::kSourcePaths))
        for (std::size_t i = 0; i < sources->size(); ++i)
            if (sources->at(i).dataType() == CILA::VObject::DT_STR)
                spec.m_sourcePaths.push_back(sources->at(i).getstr());
    if (const CILA::VObject* dests = record.fetch(LiveIngestKey::kDestSpecs))
        for (std::size_t i = 0; i < dests->size(); ++i) {
            const CILA::VObject& entry = dests->at(i);
            if (entry.dataType() != CILA::VObject::DT_HASH)
                continue;
            LiveIngestDestSpec dest;
            read(entry, LiveIngestKey::kDestPathRoot, dest.m_destPathRoot);
            read(entry, LiveIngestKey::kUsingDatedFolder, dest.m_usingDatedFolder);
            read(entry, LiveIngestKey::kUsingFolderName, dest.m_usingFolderName);
            read(entry, LiveIngestKey::kFolderName, dest.m_folderName);
            if (const CILA::VObject* mode = entry.fetch(LiveIngestKey::kSrcDirMode);
                mode && mode->dataType() == CILA::VObject::DT_INTEGER &&
                mode->getint() >= kIngestIgnoreSourceDirs && mode->getint() <= kIngestPreserveSourceDirs)
                dest.m_srcDirMode = static_cast<int>(mode->getint());
            read(entry, LiveIngestKey::kOpenContactSheets, dest.m_openContactSheets);
            spec.m_destSpecs.push_back(std::move(dest));
        }
    read(record, LiveIngestKey::kDoingRename, spec.m_doingRename);
    read(record, LiveIngestKey::kRenameString, spec.m_renameString);
    read(record, LiveIngestKey::kApplyingStationeryPad, spec.m_applyingStationeryPad);
    read(record, LiveIngestKey::kAutoCatalog, spec.m_autoCatalog);
    return true;
}

bool LiveIngestSpec::SaveSettings() const {
    const auto preferences = CPreferences::instance();
    return preferences && preferences->setValue(kPrefLiveIngestSettings, ToVObject()) && preferences->save();
}

bool LiveIngestSpec::LoadSettings() {
    const auto preferences = CPreferences::instance();
    CILA::VObject stored;
    return preferences && preferences->getValue(kPrefLiveIngestSettings, stored) &&
           FromVObject(stored, *this);
}

bool LiveIngestSpec::SaveSnapshot(const std::string& name) const {
    const auto preferences = CPreferences::instance();
    return preferences && preferences->setValue(kPrefLiveIngestSnapshotPrefix + name, ToVObject()) &&
           preferences->save();
}

bool LiveIngestSpec::LoadSnapshot(const std::string& name) {
    const auto preferences = CPreferences::instance();
    CILA::VObject stored;
    return preferences && preferences->getValue(kPrefLiveIngestSnapshotPrefix + name, stored) &&
           FromVObject(stored, *this);
}

// ---- LiveIngestWatcher

LiveIngestWatcher::LiveIngestWatcher(std::vector<std::string> sources, std::vector<std::string> excluded) {
    for (const std::string& source : sources)
        m_sources.push_back(normalFolder(source));
    for (const std::string& folder : excluded)
        m_excluded.push_back(normalFolder(folder));
}

LiveIngestWatcher::~LiveIngestWatcher() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LiveIngestWatcher::excluded(const std::string& path) const {
    return std::any_of(m_excluded.begin(), m_excluded.end(),
                       [&](const std::string& folder) { return isBelow(path, folder); });
}

bool LiveIngestWatcher::Start(std::string& error) {
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        error = std::string("the folders cannot be watched: ") + std::strerror(errno);
        return false;
    }
    for (const std::string& source : m_sources) {
        std::error_code ec;
        if (!fs::is_directory(source, ec)) {
            error = "not a folder: " + source;
            return false;
        }
        watchTree(source, false);
    }
    return true;
}

void LiveIngestWatcher::addWatch(const std::string& folder) {
    const int wd = ::inotify_add_watch(m_fd, folder.c_str(),
                                       IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_DELETE |
                                           IN_MOVED_FROM | IN_ONLYDIR | IN_EXCL_UNLINK);
    if (wd < 0) {
        LUMO_LOG("LiveIngestWatcher::addWatch() cannot watch '%s': %s", folder.c_str(), std::strerror(errno));
        return;
    }
    m_folders[wd] = folder;
}

// Watches `folder` and every folder below it; with `filesAreNew` (a folder that appeared while
// watching), the files found are candidates, since they may have been written before the watch began.
void LiveIngestWatcher::watchTree(const std::string& root, bool filesAreNew) {
    std::vector<std::string> folders{root};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        if (excluded(folder))
            continue;
        addWatch(folder);
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const std::string path = joinFolder(folder, name);
            std::error_code typeError;
            if (it->is_directory(typeError) && !it->is_symlink(typeError)) {
                if (!IngestBadfilePatterns::IsBadDir(name))
                    folders.push_back(path);
                continue;
            }
            if (IngestBadfilePatterns::IsBadFile(name))
                continue;
            std::uint64_t size = 0;
            std::int64_t mtime = 0;
            if (!statFile(path, size, mtime))
                continue;
            if (!filesAreNew) {
                m_existing.insert(path);
                continue;
            }
            if (m_existing.count(path) || m_pending.count(path))
                continue;
            const auto done = m_done.find(path);
            if (done != m_done.end() && done->second == std::make_pair(size, mtime))
                continue;
            Pending& pending = m_pending[path];
            pending.closed = true;
            pending.changed = Clock::now();
            pending.size = size;
            pending.mtime = mtime;
        }
    }
}

void LiveIngestWatcher::readEvents() {
    alignas(struct inotify_event) std::array<char, 16384> buffer;
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer.data(), buffer.size());
        if (length <= 0)
            return;
        const Clock::time_point now = Clock::now();
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= length;) {
            struct inotify_event event {};
            std::memcpy(&event, buffer.data() + at, sizeof event);
            const char* namePtr = buffer.data() + at + sizeof(struct inotify_event);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event.len);
            if (at > length)
                break;
            if (event.mask & IN_Q_OVERFLOW) {
                // Events were lost: whatever is in the folders now and was not there at the start is
                // looked at again.
                LUMO_LOG("LiveIngestWatcher::readEvents() event queue overflowed; rescanning");
                for (const std::string& source : m_sources)
                    watchTree(source, true);
                continue;
            }
            const auto folder = m_folders.find(event.wd);
            if (folder == m_folders.end())
                continue;
            if (event.mask & IN_IGNORED) {
                m_folders.erase(folder);
                continue;
            }
            const std::string name =
                event.len ? std::string(namePtr, strnlen(namePtr, event.len)) : std::string();
            if (name.empty() || ((event.mask & IN_ISDIR) ? IngestBadfilePatterns::IsBadDir(name)
                                                         : IngestBadfilePatterns::IsBadFile(name)))
                continue;
            const std::string path = joinFolder(folder->second, name);
            if (event.mask & IN_ISDIR) {
                if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && !excluded(path))
                    watchTree(path, true);
                continue;
            }
            if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
                m_pending.erase(path);
                m_existing.erase(path);
                m_done.erase(path);
                continue;
            }
            if (event.mask & IN_CREATE) {
                m_existing.erase(path);
                Pending& pending = m_pending[path];
                pending.closed = false;
                pending.changed = now;
                pending.completeSince.reset();
            }
            if (event.mask & IN_MODIFY) {
                m_existing.erase(path);
                Pending& pending = m_pending[path];
                pending.closed = false;
                pending.changed = now;
                pending.completeSince.reset();
            }
            if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                // A file that was there at the start and only opened for writing is no new photo.
                if ((event.mask & IN_CLOSE_WRITE) && m_existing.count(path) && !m_pending.count(path))
                    continue;
                m_existing.erase(path);
                Pending& pending = m_pending[path];
                pending.closed = true;
                pending.changed = now;
                pending.completeSince.reset();
                if (!statFile(path, pending.size, pending.mtime))
                    m_pending.erase(path);
            }
        }
    }
}

// Complete: closed, unchanged for the settle time, and a JPEG ends with its EOI marker. A file that
// changed meanwhile starts its settle time again; a JPEG without its end waits for the next write.
bool LiveIngestWatcher::ready(const std::string& path, Pending& pending, Clock::time_point now) {
    if (pending.completeSince)
        return true;
    if (!pending.closed || now - pending.changed < kSettleTime)
        return false;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    if (!statFile(path, size, mtime)) {
        pending.closed = false;
        return false;
    }
    if (size != pending.size || mtime != pending.mtime) {
        pending.size = size;
        pending.mtime = mtime;
        pending.changed = now;
        return false;
    }
    if (hasJpegExtension(path) && !LiveIngestCopyThread::jpeg_file_is_complete(path)) {
        LUMO_LOG("LiveIngestWatcher::ready() '%s' does not end with its EOI marker yet", path.c_str());
        pending.closed = false;
        return false;
    }
    pending.completeSince = now;
    return true;
}

void LiveIngestWatcher::Poll(std::chrono::milliseconds timeout, const Handler& handler) {
    if (m_fd < 0)
        return;
    if (!m_pending.empty())
        timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(kTick));
    struct pollfd descriptor {
        m_fd, POLLIN, 0
    };
    if (::poll(&descriptor, 1, static_cast<int>(timeout.count())) > 0)
        readEvents();

    const Clock::time_point now = Clock::now();
    std::vector<std::string> complete;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        std::uint64_t size = 0;
        std::int64_t mtime = 0;
        if (it->second.closed && !statFile(it->first, size, mtime) &&
            now - it->second.changed >= kSettleTime) {
            it = m_pending.erase(it); // gone
            continue;
        }
        if (ready(it->first, it->second, now))
            complete.push_back(it->first);
        ++it;
    }

    for (const std::string& path : complete) {
        const auto self = m_pending.find(path);
        if (self == m_pending.end())
            continue; // went with its partner
        if (isAttachedKind(path)) {
            // A sidecar or sound file goes with its photo (when it is there by then), never alone.
            m_done[path] = {self->second.size, self->second.mtime};
            m_pending.erase(self);
            continue;
        }
        std::vector<std::string> photo{path};
        if ((LiveIngestCopyThread::file_is_raw_type(path) || hasJpegOrHeifExtension(path))) {
            // The partner: same folder and base name, the other of raw and JPEG/HEIF.
            const bool raw = !hasJpegOrHeifExtension(path);
            const auto [stem, extension] = stemAndExtension(path);
            std::string partner;
            bool partnerSeen = false;
            for (const auto& [other, pending] : m_pending) {
                if (other == path || folderOf(other) != folderOf(path) ||
                    stemAndExtension(other).first != stem || isAttachedKind(other) ||
                    hasJpegOrHeifExtension(other) == !raw)
                    continue;
                partnerSeen = true;
                if (pending.completeSince && (raw || LiveIngestCopyThread::file_is_raw_type(other)))
                    partner = other;
            }
            const Clock::duration waited = now - *self->second.completeSince;
            if (partner.empty() &&
                waited < (partnerSeen ? Clock::duration(kPartnerWait) : Clock::duration(kPartnerLateWait)))
                continue;
            if (!partner.empty()) {
                if (raw)
                    photo.push_back(partner);
                else
                    photo.insert(photo.begin(), partner);
            }
        }
        bool offered = false;
        for (const std::string& file : photo) {
            const Pending& pending = m_pending[file];
            const auto stamp = std::make_pair(pending.size, pending.mtime);
            const auto done = m_done.find(file);
            offered = offered || (done != m_done.end() && done->second == stamp);
            m_done[file] = stamp;
            m_pending.erase(file);
        }
        if (!offered)
            handler(photo);
    }
}

// ---- LiveIngestCopyThread

LiveIngestCopyThread::LiveIngestCopyThread(LiveIngestSpec spec, ProgressDialogInterface* progress,
                                           std::optional<IPTCRec> stationery)
    : CProgressInfo(progress), m_spec(std::move(spec)), m_stationery(std::move(stationery)) {}

LiveIngestCopyThread::~LiveIngestCopyThread() {
    CancelAndJoin();
}

bool LiveIngestCopyThread::active_live_ingest_using_sequence() {
    return ActiveLiveIngestUsingSequence();
}

bool LiveIngestCopyThread::using_sequence() const {
    const bool rename =
        m_spec.m_doingRename &&
        ExpandVariables(m_spec.m_renameString, VariableContext{}, kVariableFileName).usedSequence;
    const bool stationery =
        m_spec.m_applyingStationeryPad && m_stationery && IPTCHaveSequenceVar(*m_stationery);
    return rename || stationery;
}

bool LiveIngestCopyThread::jpeg_file_is_complete(const std::string& path) {
    lumo::File file;
    std::uint64_t size = 0;
    if (file.open(path, lumo::File::Mode::Read) != 0 || file.size(size) != 0 || size < 4)
        return false;
    unsigned char tail[2] = {0, 0};
    std::size_t got = 0;
    if (file.readAt(tail, sizeof tail, size - 2, got) != 0 || got != sizeof tail)
        return false;
    return tail[0] == 0xFF && tail[1] == 0xD9;
}

bool LiveIngestCopyThread::file_is_raw_type(const std::string& path) {
    NRFFileType type = 0;
    if (NRFGetType(path.c_str(), &type, false) != kNRFErrNone)
        return false;
    std::uint32_t capabilities = 0;
    return NRFGetCapabilities(type, &capabilities) == kNRFErrNone && (capabilities & kNRFCapRawPreview) != 0;
}

bool LiveIngestCopyThread::remove_source_photo(const std::vector<std::string>& files, std::string& error) {
    std::vector<std::string> all;
    for (const std::string& file : files) {
        all.push_back(file);
        NRFFileType type = 0;
        std::vector<std::string> attached;
        int sounds = 0;
        if (NRFGetType(file.c_str(), &type, true) == kNRFErrNone &&
            NRFFindAttachedFiles(file, type, &attached, &sounds) == kNRFErrNone)
            all.insert(all.end(), attached.begin(), attached.end());
    }
    for (const std::string& file : all) {
        bool removed = false;
        for (int attempt = 0; attempt < 10 && !removed; ++attempt) {
            if (attempt > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            struct stat st {};
            if (::lstat(file.c_str(), &st) != 0 && errno == ENOENT) {
                removed = true;
                break;
            }
            if (!(st.st_mode & S_IWUSR))
                ::chmod(file.c_str(), st.st_mode | S_IWUSR);
            removed = ::unlink(file.c_str()) == 0 || errno == ENOENT;
        }
        if (!removed) {
            error = LiveIngestText::kErrorDeleting + file;
            LUMO_LOG("LiveIngestCopyThread::remove_source_photo() %s", error.c_str());
            return false;
        }
    }
    return true;
}

std::string LiveIngestCopyThread::get_dest_folder_expanded(const LiveIngestDestSpec& dest,
                                                           const std::string& path,
                                                           const VariableContext& context) const {
    IngestFolderRule rule;
    rule.m_root = dest.m_destPathRoot;
    rule.m_usingDatedFolder = dest.m_usingDatedFolder;
    rule.m_usingFolderName = dest.m_usingFolderName;
    rule.m_folderName = dest.m_folderName;
    rule.m_sourceDirMode = dest.m_srcDirMode;
    // The photo's folder below the watched folder it arrived in (the innermost one that holds it).
    const std::string photoFolder = normalFolder(folderOf(path));
    std::string root;
    for (const std::string& source : m_spec.m_sourcePaths) {
        const std::string normal = normalFolder(source);
        if (isBelow(photoFolder, normal) && normal.size() > root.size())
            root = normal;
    }
    std::string relative;
    if (!root.empty() && photoFolder.size() > root.size())
        relative = photoFolder.substr(root == "/" ? 1 : root.size() + 1);
    std::string folder = IngestDestinationFolder(rule, context, relative);
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

bool LiveIngestCopyThread::copyToDestination(const LiveIngestDestSpec& dest, const std::string& path,
                                             const std::string& companion, VariableContext& context,
                                             PhotoResult& result) {
    NRFFileType type = 0;
    if (NRFGetType(path.c_str(), &type, true) != kNRFErrNone) {
        result.error = companion.empty() ? NRFGetErrorText() : LiveIngestText::kNoPrimaryType;
        return false;
    }
    std::uint32_t capabilities = 0;
    NRFGetCapabilities(type, &capabilities);
    const DocumentItem::Ref item = DocumentItem::ForFile(path, type, (capabilities & kNRFCapRawPreview) != 0);
    if (!companion.empty()) {
        NRFFileType companionType = 0;
        if (NRFGetType(companion.c_str(), &companionType, true) != kNRFErrNone) {
            result.error = LiveIngestText::kNoCompanionType;
            return false;
        }
        std::uint32_t companionCapabilities = 0;
        NRFGetCapabilities(companionType, &companionCapabilities);
        const DocumentItem::Ref other =
            DocumentItem::ForFile(companion, companionType, (companionCapabilities & kNRFCapRawPreview) != 0);
        item->SetCompanion(other->Primary(), companionType, (companionCapabilities & kNRFCapRawPreview) != 0);
    }
    item->Load();
    const NRFImageInfoRef record = item->PrimaryRecord();
    context.image = record.get();

    const std::string folder = get_dest_folder_expanded(dest, path, context);
    std::error_code ec;
    if (folder.empty() || (!fs::create_directories(folder, ec) && ec) || !fs::is_directory(folder, ec)) {
        result.error = LiveIngestText::kCreateFolderFailed + folder;
        LUMO_LOG("LiveIngestCopyThread::ingest_file() %s", result.error.c_str());
        return false;
    }

    CopyFileRequest request;
    request.destinationFolder = folder;
    request.context = &context;
    request.flags = kCopySoundFile;
    if (m_verify)
        request.flags |= kCopyVerify;
    if (m_spec.m_doingRename && !m_spec.m_renameString.empty()) {
        request.flags |= kCopyRenameTemplate;
        request.namingTemplate = m_spec.m_renameString;
    }
    if (m_spec.m_applyingStationeryPad && m_stationery) {
        request.flags |= kCopyApplyMetadata;
        const IPTCRec& stationery = *m_stationery;
        request.editMetadata = [&stationery, &context](const NRFImageInfoRec& image, IPTCRec& metadata,
                                                       std::string& error) {
            return IPTCApplyStationeryToPhoto(stationery, metadata, &image, context, &error);
        };
    }
    std::string name;
    std::string error;
    int copied = 0;
    try {
        copied = item->ImageCopy(request, name, &error);
    } catch (...) {
        LUMO_LOG("%s", LiveIngestText::kCopyException);
        copied = 0;
    }
    if (copied != 1 || !error.empty()) {
        LUMO_LOG(LiveIngestText::kFailedLog, path.c_str(), folder.c_str());
        result.error = std::string(LiveIngestText::kErrorCopying) + path + LiveIngestText::kErrorCopyingTo +
                       folder + LiveIngestText::kErrorCopyingEnd;
        if (!error.empty())
            result.error += "\n" + error;
        if (copied == 1)
            result.destinations.push_back(joinFolder(folder, name));
        return false;
    }
    LUMO_LOG(LiveIngestText::kCopiedLog, path.c_str());
    result.destinations.push_back(joinFolder(folder, name));
    if (dest.m_openContactSheets && m_openFolder && m_openedFolders.insert(folder).second)
        m_openFolder(folder);
    return true;
}

bool LiveIngestCopyThread::ingest_file(const std::string& path, const std::string& companion,
                                       PhotoResult& result) {
    result.sources = {path};
    if (!companion.empty())
        result.sources.push_back(companion);
    if (m_spec.m_destSpecs.empty()) {
        result.error = LiveIngestText::kMissingDestSpecs;
        LUMO_LOG("%s", result.error.c_str());
        return false;
    }
    VariableContext context;
    context.index = 1;
    context.total = 1;
    std::optional<SequenceReservation> reservation;
    if (m_usesSequence) {
        // Not while an ingest task counts and reserves its numbers.
        IngestSequenceAllocation allocating;
        reservation = ReserveSequenceNumbers(SequenceKind::Sequence, 1);
        if (const auto preferences = CPreferences::instance())
            preferences->save();
        context.sequence = reservation->first;
        context.sequenceDigits = reservation->digits;
    } else {
        const SequenceSetting shared = CurrentSequence(SequenceKind::Sequence);
        context.sequence = shared.next;
        context.sequenceDigits = shared.digits;
    }
    context.ingestSequence =
        m_ingestSequence.next > 0 ? static_cast<std::uint64_t>(m_ingestSequence.next) : 0;
    context.ingestSequenceDigits = m_ingestSequence.digits;

    bool ok = true;
    for (const LiveIngestDestSpec& dest : m_spec.m_destSpecs) {
        VariableContext forDest = context;
        PhotoResult one;
        if (!copyToDestination(dest, path, companion, forDest, one)) {
            ok = false;
            if (result.error.empty())
                result.error = one.error;
        }
        result.destinations.insert(result.destinations.end(), one.destinations.begin(),
                                   one.destinations.end());
    }
    if (reservation && result.destinations.empty())
        ReleaseUnusedSequenceNumbers(*reservation, 0);
    if (m_spec.m_autoCatalog && m_addToCatalog && !result.destinations.empty())
        m_addToCatalog(result.destinations);
    return ok;
}

void LiveIngestCopyThread::operator()() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    try {
        Run();
    } catch (const std::exception& e) {
        LUMO_LOG(LiveIngestText::kLoopException, e.what());
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    } catch (...) {
        LUMO_LOG("%s", LiveIngestText::kUnknownException);
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    }
    progress.SetFinished(true);
}

void LiveIngestCopyThread::Run() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    progress.SetTitle("Live Ingest");
    if (m_spec.m_applyingStationeryPad && !m_stationery) {
        IPTCRec current;
        if (IPTCLoadCurrentStationery(current))
            m_stationery = std::move(current);
    }
    m_usesSequence = using_sequence();
    // One ingest sequence number for the whole task, taken when a folder template uses it.
    m_ingestSequence = CurrentSequence(SequenceKind::Ingest);
    if (std::any_of(m_spec.m_destSpecs.begin(), m_spec.m_destSpecs.end(), [](const LiveIngestDestSpec& dest) {
            return templateUsesIngestSequence(dest.m_folderName);
        })) {
        IngestSequenceAllocation allocating;
        const SequenceReservation taken = ReserveSequenceNumbers(SequenceKind::Ingest, 1);
        m_ingestSequence = {taken.first, taken.digits};
        if (const auto preferences = CPreferences::instance())
            preferences->save();
    }
    struct ActiveFlag {
        bool on;
        explicit ActiveFlag(bool set) : on(set) {
            if (on)
                SetLiveIngestUsingSequence(true);
        }
        ~ActiveFlag() {
            if (on)
                SetLiveIngestUsingSequence(false);
        }
    } active(m_usesSequence);

    std::vector<std::string> destinations;
    for (const LiveIngestDestSpec& dest : m_spec.m_destSpecs)
        destinations.push_back(dest.m_destPathRoot);
    LiveIngestWatcher watcher(m_spec.m_sourcePaths, destinations);
    std::string error;
    if (!watcher.Start(error)) {
        LUMO_LOG("LiveIngestCopyThread::Run() %s", error.c_str());
        m_startError = error;
        progress.SetStatus(ProgressDialogInterface::kStatusError);
        return;
    }
    progress.SetMessage(LiveIngestText::kWatching);
    m_watching = true;
    while (!progress.IsCancelled()) {
        watcher.Poll(std::chrono::milliseconds(100), [&](const std::vector<std::string>& files) {
            PhotoResult result;
            result.offered = std::chrono::steady_clock::now();
            NRFFileType type = 0;
            if (NRFGetType(files.front().c_str(), &type, false) != kNRFErrNone) {
                LUMO_LOG("LiveIngestCopyThread::Run() '%s' is not a photo; not copied",
                         files.front().c_str());
                return;
            }
            progress.SetMessage("Copying " + nameOf(files.front()));
            bool ok = ingest_file(files.front(), files.size() > 1 ? files[1] : std::string(), result);
            if (ok && m_removeSources) {
                std::string removeError;
                if (!remove_source_photo(files, removeError)) {
                    ok = false;
                    result.error = removeError;
                }
            }
            if (!ok) {
                progress.SetStatus(ProgressDialogInterface::kStatusFailed);
            }
            if (m_onIngested)
                m_onIngested(result);
            progress.SetMessage(LiveIngestText::kWatching);
        });
    }
}
