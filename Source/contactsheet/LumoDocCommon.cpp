#include "contactsheet/LumoDocCommon.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "background/ProgressDialogInterface.h"
#include "cache/LumoCache.h"
#include "contactsheet/ArrangementFile.h"
#include "contactsheet/DirectoryCache.h"
#include "contactsheet/FolderScan.h"
#include "contactsheet/Stopwatch.h"
#include "db/LumoSortCache.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/Trash.h"
#include "support/FileIO.h"
#include "support/ScanLock.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

namespace {

std::atomic<std::uint32_t> g_nextDocumentID{1};

// How long each rescan step may take before the stopwatch complains: listing and typing the files
// grows with the folder and may wait on a slow disk; the steps after it only move pointers.
constexpr double kDirScanLimit = 2.0;
constexpr double kStepLimit = 0.5;
constexpr double kRescanLimit = 5.0;

bool boolPreference(const char* name, bool fallback) {
    const std::shared_ptr<CPreferences> prefs = CPreferences::instance();
    return prefs ? prefs->getBool(name, fallback) : fallback;
}

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string withoutExtension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The files of an item that a selection follows through a rescan.
void addItemFiles(const DocumentItem& item, std::unordered_set<std::string>& out) {
    out.insert(item.FullPath());
    if (item.HasCompanion())
        out.insert(item.CompanionPath());
}

bool isFolder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

void forgetCachedFile(const std::string& path) {
    if (LumoCache* cache = LumoCache::instance())
        cache->forget(path);
    if (LumoSortCache::isRunning())
        LumoSortCache::purgeSortInfoFor(path);
}

} // namespace

LumoDocCommon::LumoDocCommon() : m_id(g_nextDocumentID.fetch_add(1)) {
    m_joined = boolPreference(kPrefJoinRAWPlusJPEG, kPrefJoinRAWPlusJPEGDefault);
    // The order the user last chose ("ContactSheetSortExtended", "ContactSheetSortReverse").
    m_sort = ContactSheetSortSettingsFromPreferences();
}

LumoDocCommon::~LumoDocCommon() {
    try {
        if (ContactSheetSortManager* manager = ContactSheetSortManager::instance())
            manager->stop_work_for_document(m_id);
    } catch (...) {
        LUMO_LOG("Unexpected exception in CLumoDoc::~CLumoDoc()");
    }
}

// ---- folders

bool LumoDocCommon::OnOpenDocument(const std::string& folder) {
    return OpenFolders({folder});
}

bool LumoDocCommon::OpenFolders(const std::vector<std::string>& folders) {
    if (folders.empty())
        return false;
    {
        std::lock_guard lock(m_lock);
        m_paths.clear();
        for (const std::string& folder : folders)
            if (std::find(m_paths.begin(), m_paths.end(), folder) == m_paths.end())
                m_paths.push_back(folder);
        m_lastDigest.clear();
        m_cacheDigest.clear();
        LUMO_LOG("CLumoDoc::SetPrimaryDocumentPath(): setting contact sheet primary path as: '%s'",
                 m_paths.front().c_str());
    }
    LUMO_LOG("CLumoDoc::OnOpenDocument(): setting last contact sheet path as: '%s'", folders.front().c_str());
    if (const std::shared_ptr<CPreferences> prefs = CPreferences::instance())
        prefs->setString(kPrefLastContactSheetPath, folders.front());
    return RescanGuarded(true);
}

std::string LumoDocCommon::PrimaryPath() const {
    std::lock_guard lock(m_lock);
    return m_paths.empty() ? std::string() : m_paths.front();
}

std::vector<std::string> LumoDocCommon::Paths() const {
    std::lock_guard lock(m_lock);
    return m_paths;
}

void LumoDocCommon::DocumentPathChangedFromTo(const std::string& oldPath, const std::string& newPath) {
    try {
        std::lock_guard lock(m_lock);
        std::vector<std::string> paths = m_paths;
        bool changed = false;
        for (std::string& path : paths) {
            // The folder itself, or a folder inside it.
            if (path == oldPath ||
                (path.size() > oldPath.size() && path.compare(0, oldPath.size(), oldPath) == 0 &&
                 path[oldPath.size()] == '/')) {
                path = newPath + path.substr(oldPath.size());
                changed = true;
            }
        }
        if (!changed)
            return;
        m_paths = std::move(paths);
        m_cacheDigest.clear(); // the cache keeps listings by folder
        LUMO_LOG("CLumoDoc::SetPrimaryDocumentPath(): setting contact sheet primary path as: '%s'",
                 m_paths.front().c_str());
        LUMO_LOG("CLumoDoc::OnOpenDocument(): setting last contact sheet path as: '%s'",
                 m_paths.front().c_str());
        if (const std::shared_ptr<CPreferences> prefs = CPreferences::instance())
            prefs->setString(kPrefLastContactSheetPath, m_paths.front());
    } catch (...) {
        LUMO_LOG("Unexpected exception in CLumoDoc::DocumentPathChangedFromTo()");
    }
}

// ---- saved window state

CILA::VObject LumoDocCommon::SavedState() const {
    std::lock_guard lock(m_lock);
    CILA::VObject state = CILA::VObject::makeHash();
    CILA::VObject paths = CILA::VObject::makeVector();
    for (const std::string& path : m_paths)
        paths.append(path);
    state.store("document_paths", std::move(paths));
    state.store("catalog_query", m_catalogQuery);
    state.store("tab_name", m_tabName);
    state.store("view_combined", m_joined);
    state.store("ignore_activate", m_ignoreActivate);
    return state;
}

bool LumoDocCommon::RestoreState(const CILA::VObject& state) {
    try {
        if (state.dataType() != CILA::VObject::DT_HASH)
            return false;
        std::vector<std::string> folders;
        if (const CILA::VObject* paths = state.fetch("document_paths");
            paths && paths->dataType() == CILA::VObject::DT_VECTOR)
            for (const CILA::VObject& path : paths->getvec())
                if (path.dataType() == CILA::VObject::DT_STR && isFolder(path.getstr()))
                    folders.push_back(path.getstr());
        const auto text = [&state](const char* key) {
            const CILA::VObject* value = state.fetch(key);
            return value && value->dataType() == CILA::VObject::DT_STR ? value->getstr() : std::string();
        };
        {
            std::lock_guard lock(m_lock);
            m_catalogQuery = text("catalog_query");
            m_tabName = text("tab_name");
            if (const CILA::VObject* joined = state.fetch("view_combined"))
                m_joined = joined->getbool();
            if (const CILA::VObject* ignore = state.fetch("ignore_activate"))
                m_ignoreActivate = ignore->getbool();
        }
        return !folders.empty() && OpenFolders(folders);
    } catch (const std::exception& e) {
        LUMO_LOG("LumoDocCommon::RestoreState() exception: '%s'", e.what());
        return false;
    }
}

std::string LumoDocCommon::TabName() const {
    std::lock_guard lock(m_lock);
    return m_tabName;
}

// ---- rescan

bool LumoDocCommon::Rescan() {
    return RescanGuarded(false);
}

bool LumoDocCommon::RescanGuarded(bool opening) {
    try {
        std::lock_guard scan(lumo::scanLock());
        return RescanLocked(opening);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in CLumoDoc::Rescan(): %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in CLumoDoc::Rescan()");
    }
    return false;
}

// The caller holds the scan lock. A sheet being opened first takes the items from the listing the
// directory cache kept for its folders, with that listing's digest as the previous one: the scan that
// follows then stops at the digest when nothing changed since, and otherwise works from those items.
bool LumoDocCommon::RescanLocked(bool opening) {
    const bool timing = isDebugFlagOn(DebugFlag::SHOW_DIRSCAN_TIME);
    if (timing)
        LUMO_LOG("RESCAN START");
    Stopwatch total("RESCAN TOTAL", kRescanLimit, __FILE__, __LINE__);

    std::vector<std::string> paths;
    {
        std::lock_guard lock(m_lock);
        paths = m_paths;
    }
    if (paths.empty())
        return false;
    const bool proxies =
        boolPreference(kPrefIncludeUnknownFilesAsProxies, kPrefIncludeUnknownFilesAsProxiesDefault);
    bool fromCache = false;
    if (opening) {
        if (FolderScanResult cached; DirectoryCacheLoad(paths, proxies, cached)) {
            fromCache = true;
            const std::string digest = cached.digest;
            AddListingLocked(std::move(cached), "RESCAN: DIRCACHE ADD ITEMS");
            std::lock_guard lock(m_lock);
            m_cacheDigest = digest;
        }
    }

    std::string lastDigest;
    std::string cacheDigest;
    {
        std::lock_guard lock(m_lock);
        lastDigest = m_lastDigest;
        cacheDigest = m_cacheDigest;
    }

    // 1. The listing and its digest; an unchanged digest ends the rescan.
    Stopwatch dirscan("RESCAN: DIRSCAN", kDirScanLimit, __FILE__, __LINE__);
    FolderScanResult listing = ScanFolders(paths, proxies);
    dirscan.Stop();
    if (listing.error != 0) {
        LUMO_LOG("CLumoDoc::Rescan() could not read a folder: %s", std::strerror(listing.error));
        if (fromCache)
            ForgetItemsLocked(); // what the cache remembered of a folder that cannot be read is not shown
        return false;
    }
    if (!lastDigest.empty() && listing.digest == lastDigest) {
        LUMO_LOG("No directory content changes detected");
        return true;
    }
    // The listing for the next opening of these folders, unless the cache holds it already.
    if (listing.digest != cacheDigest && DirectoryCacheStore(paths, proxies, listing)) {
        std::lock_guard lock(m_lock);
        m_cacheDigest = listing.digest;
    }
    AddListingLocked(std::move(listing), "RESCAN: INDUCT NEW ITEMS");
    total.Stop();
    if (timing)
        LUMO_LOG("RESCAN COMPLETE");
    return true;
}

void LumoDocCommon::ForgetItemsLocked() {
    bool had = false;
    {
        std::lock_guard lock(m_lock);
        had = !m_items.empty();
        m_items.clear();
        m_selection.clear();
        m_previewSelection.clear();
        m_lastDigest.clear();
    }
    if (had)
        ItemsChanged.emit();
}

// Steps 2 to 7 of a rescan over `listing`. The new item list is built aside and put in place at once,
// so that a failure on the way leaves the sheet as it was (apart from items split for matching, which
// join again at the next rescan).
void LumoDocCommon::AddListingLocked(FolderScanResult listing, const char* inductStep) {
    std::vector<DocumentItem::Ref> previous;
    bool joined = false;
    {
        std::lock_guard lock(m_lock);
        previous = m_items;
        joined = m_joined;
    }

    // 2. Every file on its own, so that each is matched by itself.
    Stopwatch separate("RESCAN: SEPARATE_COMPANIONS", kStepLimit, __FILE__, __LINE__);
    std::unordered_set<std::string> selectedFiles;
    {
        std::lock_guard lock(m_lock);
        for (std::uint32_t n = m_selection.nextSelected(0xFFFFFFFFu); n != 0xFFFFFFFFu;
             n = m_selection.nextSelected(n))
            if (n < m_items.size() && m_items[n])
                addItemFiles(*m_items[n], selectedFiles);
    }
    bool anyJoined = false;
    for (const DocumentItem::Ref& item : previous)
        anyJoined = anyJoined || (item && item->HasCompanion());
    std::vector<DocumentItem::Ref> single = anyJoined ? SeparateCompanions(previous) : previous;
    separate.Stop();

    // 3. The listing's files as items: those the sheet holds already stay the same objects (their
    // records and connections with them); the others are new.
    Stopwatch induct(inductStep, kStepLimit, __FILE__, __LINE__);
    std::unordered_map<std::string, DocumentItem::Ref> byPath;
    byPath.reserve(single.size());
    for (const DocumentItem::Ref& item : single)
        if (item)
            byPath.emplace(item->FullPath(), item);
    LUMO_CHANNEL_LOG(DebugFlag::RESCAN_LOGGING, "inductNewItems: Pass 1");
    std::vector<DocumentItem::Ref> items(listing.entries.size());
    std::unordered_set<std::string> listed;
    listed.reserve(listing.entries.size());
    std::size_t added = 0;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
        const FolderScanEntry& entry = listing.entries[i];
        std::string path = entry.path();
        if (const auto at = byPath.find(path); at != byPath.end()) {
            items[i] = at->second;
            // A file that changed reads its record again when it is next loaded.
            if (items[i]->IsLoaded() && (items[i]->FileSize() != entry.entry.size ||
                                         items[i]->ModificationTimeNs() != entry.entry.lastWriteTime))
                items[i]->SetNeedsRescan(true);
            items[i]->SetListedStamp(entry.entry.size, entry.entry.lastWriteTime);
        }
        listed.insert(std::move(path));
    }
    LUMO_CHANNEL_LOG(DebugFlag::RESCAN_LOGGING, "inductNewItems: Pass 2");
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
        if (items[i])
            continue;
        const FolderScanEntry& entry = listing.entries[i];
        items[i] = DocumentItem::ForFile(entry.path(), entry.entry.fileType, entry.entry.isRaw);
        items[i]->SetListedStamp(entry.entry.size, entry.entry.lastWriteTime);
        ++added;
    }
    induct.Stop();

    // 4. Items whose file is gone.
    Stopwatch missing("RESCAN: DELETE MISSING ITEMS", kStepLimit, __FILE__, __LINE__);
    std::size_t removed = 0;
    try {
        LUMO_CHANNEL_LOG(DebugFlag::RESCAN_LOGGING, "removeDeletedItems:purge");
        for (const DocumentItem::Ref& item : single) {
            if (item && !listed.count(item->FullPath())) {
                forgetCachedFile(item->FullPath());
                ++removed;
            }
        }
        LUMO_CHANNEL_LOG(DebugFlag::RESCAN_LOGGING, "removeDeletedItems:delete");
    } catch (...) {
        LUMO_LOG("Unexpected exception in LumoDocCommon, removeDeletedItems()");
    }
    missing.Stop();

    // 5. Raw files with their partners.
    if (joined) {
        Stopwatch join("RESCAN: JOIN RAW/JPEG", kStepLimit, __FILE__, __LINE__);
        items = ::JoinRawPlusJpeg(std::move(items));
    }

    // 6. The items into the sheet.
    Stopwatch add("RESCAN: ADD DOCUMENT ITEMS", kStepLimit, __FILE__, __LINE__);
    bool changed = added != 0 || removed != 0 || items.size() != previous.size();
    for (std::size_t i = 0; !changed && i < items.size(); ++i)
        changed =
            items[i] != previous[i] || items[i]->HasCompanion() != (previous[i]->Companion() != nullptr);
    {
        std::lock_guard lock(m_lock);
        m_items = std::move(items);
        // 7. Document numbers, and the selection carried over by file.
        Stopwatch ids("RESCAN: BUILD DOCUMENT IDS", kStepLimit, __FILE__, __LINE__);
        NumberItems(m_items);
        m_selection.clear();
        for (const DocumentItem::Ref& item : m_items) {
            const bool wasSelected = selectedFiles.count(item->FullPath()) ||
                                     (item->HasCompanion() && selectedFiles.count(item->CompanionPath()));
            if (wasSelected || item->m_selectOnArrival == 1)
                m_selection.select(static_cast<std::uint32_t>(item->DocumentNumber()));
            item->m_selectOnArrival = 0;
        }
        m_previewSelection.clear();
        m_lastDigest = listing.digest;
        m_scanned = true;
    }
    add.Stop();
    if (changed)
        ItemsChanged.emit();
}

void LumoDocCommon::NumberItems(std::vector<DocumentItem::Ref>& items) {
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i]->SetDocumentNumber(static_cast<std::int32_t>(i));
}

std::string LumoDocCommon::LastRescanDigest() const {
    std::lock_guard lock(m_lock);
    return m_lastDigest;
}

// ---- items

std::size_t LumoDocCommon::ItemCount() const {
    std::lock_guard lock(m_lock);
    return m_items.size();
}

DocumentItem::Ref LumoDocCommon::GetDocumentItemAt(std::uint32_t number) const {
    std::lock_guard lock(m_lock);
    if (number >= m_items.size()) {
        LUMO_LOG("GetDocumentItemAt(%lu) was not found", static_cast<unsigned long>(number));
        return nullptr;
    }
    return m_items[number];
}

std::vector<DocumentItem::Ref> LumoDocCommon::Items() const {
    std::lock_guard lock(m_lock);
    return m_items;
}

void LumoDocCommon::DocumentRemoveItems(const std::vector<DocumentItem::Ref>& items) {
    try {
        if (items.empty())
            return;
        const std::unordered_set<DocumentItem*> going = [&] {
            std::unordered_set<DocumentItem*> set;
            for (const DocumentItem::Ref& item : items)
                set.insert(item.get());
            return set;
        }();
        bool changed = false;
        {
            std::lock_guard lock(m_lock);
            std::vector<DocumentItem::Ref> kept;
            kept.reserve(m_items.size());
            DocumentSelection selection;
            for (const DocumentItem::Ref& item : m_items) {
                if (going.count(item.get())) {
                    changed = true;
                    continue;
                }
                const auto old = static_cast<std::uint32_t>(item->DocumentNumber());
                if (m_selection.isSelected(old))
                    selection.select(static_cast<std::uint32_t>(kept.size()));
                kept.push_back(item);
            }
            if (!changed)
                return;
            // The preview windows' selection loses the removed items; the others keep their places by
            // item, not by number.
            DocumentSelection preview;
            for (std::size_t i = 0; i < kept.size(); ++i)
                if (m_previewSelection.isSelected(static_cast<std::uint32_t>(kept[i]->DocumentNumber())))
                    preview.select(static_cast<std::uint32_t>(i));
            m_items = std::move(kept);
            NumberItems(m_items);
            m_selection = std::move(selection);
            m_previewSelection = std::move(preview);
        }
        ItemsChanged.emit();
    } catch (...) {
        LUMO_LOG("Unexpected exception in DocumentRemoveItems()");
    }
}

// ---- selection

void LumoDocCommon::WithSelection(const std::function<void(DocumentSelection&)>& use) {
    std::lock_guard lock(m_lock);
    use(m_selection);
}

void LumoDocCommon::WithPreviewSelection(const std::function<void(DocumentSelection&)>& use) {
    std::lock_guard lock(m_lock);
    use(m_previewSelection);
}

std::vector<DocumentItem::Ref> LumoDocCommon::SelectedItems() const {
    std::lock_guard lock(m_lock);
    std::vector<DocumentItem::Ref> out;
    for (std::uint32_t n = m_selection.nextSelected(0xFFFFFFFFu); n != 0xFFFFFFFFu;
         n = m_selection.nextSelected(n))
        if (n < m_items.size())
            out.push_back(m_items[n]);
    return out;
}

std::string LumoDocCommon::SelectFromNames(const std::vector<std::string>& names) {
    std::unordered_map<std::string, std::vector<std::uint32_t>> byName;
    {
        std::lock_guard lock(m_lock);
        for (const DocumentItem::Ref& item : m_items) {
            const auto number = static_cast<std::uint32_t>(item->DocumentNumber());
            std::vector<std::string> files{item->FileName()};
            if (item->HasCompanion())
                files.push_back(fileNameOf(item->CompanionPath()));
            for (const std::string& file : files) {
                byName[file].push_back(number);
                const std::string base = withoutExtension(file);
                if (base != file)
                    byName[base].push_back(number);
            }
        }
        unsigned long matches = 0;
        for (const std::string& listed : names) {
            const auto at = byName.find(fileNameOf(listed));
            if (at == byName.end())
                continue;
            ++matches;
            for (const std::uint32_t number : at->second)
                m_selection.select(number);
        }
        char text[256];
        if (matches == names.size())
            std::snprintf(text, sizeof text,
                          "There were %ld items in the selects file(s), all matched one or more files in the "
                          "Contact Sheet.",
                          static_cast<long>(names.size()));
        else
            std::snprintf(text, sizeof text,
                          "There were %lu items in the selects file(s), %lu matches were found.",
                          static_cast<unsigned long>(names.size()), matches);
        return text;
    }
}

// ---- view settings

bool LumoDocCommon::JoinRawPlusJpeg() const {
    std::lock_guard lock(m_lock);
    return m_joined;
}

void LumoDocCommon::SetJoinRawPlusJpeg(bool joined) {
    bool rescan = false;
    {
        std::lock_guard lock(m_lock);
        if (m_joined == joined)
            return;
        m_joined = joined;
        rescan = m_scanned;
        m_lastDigest.clear(); // the same folder gives other items now
    }
    if (rescan)
        Rescan();
}

ContactSheetSortSettings LumoDocCommon::SortSettings() const {
    std::lock_guard lock(m_lock);
    return m_sort;
}

void LumoDocCommon::SetSortSettings(const ContactSheetSortSettings& settings) {
    std::lock_guard lock(m_lock);
    m_sort = settings;
}

// ---- arrangement

std::vector<std::string> LumoDocCommon::Arrangement() const {
    ArrangementData data;
    if (!ReadArrangementFile(ArrangementFilePath(Paths()), data))
        return {};
    return data.files;
}

int LumoDocCommon::SaveArrangement(const std::vector<std::string>& files) {
    const std::vector<std::string> paths = Paths();
    if (paths.empty())
        return ENOENT;
    ArrangementData data;
    data.multiFolder = paths.size() > 1;
    if (data.multiFolder)
        data.paths = paths;
    data.files = files;
    return WriteArrangementFile(ArrangementFilePath(paths), data);
}

std::vector<std::uint32_t> LumoDocCommon::ArrangedOrder() const {
    const std::vector<std::string> arranged = Arrangement();
    std::vector<DocumentItem::Ref> items;
    bool multiFolder = false;
    {
        std::lock_guard lock(m_lock);
        items = m_items;
        multiFolder = m_paths.size() > 1;
    }
    std::vector<std::string> names;
    names.reserve(items.size());
    for (const DocumentItem::Ref& item : items)
        names.push_back(multiFolder ? item->FullPath() : item->FileName());
    return ::ArrangedOrder(arranged, names);
}

// ---- sorting

std::optional<SortedSheet>
LumoDocCommon::SortNow(const ContactSheetSortSettings& settings, const std::function<bool()>& shouldCancel,
                       std::function<void(const ContactSheetSortStatus&)> status) const {
    SortedSheet sorted;
    ContactSheetSortWork work;
    work.status = std::move(status);
    work.document = m_id;
    work.settings = settings;
    {
        std::lock_guard lock(m_lock);
        work.selection = m_selection;
        sorted.items = m_items;
    }
    if (settings.sortType == kSortArrangement) {
        std::vector<DocumentItem::Ref> arranged;
        arranged.reserve(sorted.items.size());
        for (const std::uint32_t number : ArrangedOrder())
            if (number < sorted.items.size())
                arranged.push_back(sorted.items[number]);
        if (arranged.size() == sorted.items.size())
            sorted.items = std::move(arranged);
    }
    work.items = sorted.items;
    std::optional<ContactSheetSortResult> result = RunContactSheetSort(
        work, shouldCancel ? shouldCancel : [] { return false; });
    if (!result)
        return std::nullopt;
    sorted.result = std::move(*result);
    return sorted;
}

void LumoDocCommon::Sort(std::function<void(bool completed, const SortedSheet& sorted)> done,
                         std::function<void(const ContactSheetSortStatus&)> status) {
    ContactSheetSortSettings settings;
    std::uint32_t serial = 0;
    {
        std::lock_guard lock(m_lock);
        settings = m_sort;
        serial = ++m_sortSerial;
    }
    ContactSheetSortManager* manager = ContactSheetSortManager::instance();
    if (!manager) {
        const std::optional<SortedSheet> sorted = SortNow(settings, {}, std::move(status));
        done(sorted.has_value(), sorted ? *sorted : SortedSheet{});
        return;
    }
    ContactSheetSortWork work;
    work.document = m_id;
    work.serial = serial;
    work.settings = settings;
    auto items = std::make_shared<std::vector<DocumentItem::Ref>>();
    {
        std::lock_guard lock(m_lock);
        work.selection = m_selection;
        *items = m_items;
    }
    if (settings.sortType == kSortArrangement) {
        std::vector<DocumentItem::Ref> arranged;
        for (const std::uint32_t number : ArrangedOrder())
            if (number < items->size())
                arranged.push_back((*items)[number]);
        if (arranged.size() == items->size())
            *items = std::move(arranged);
    }
    work.items = *items;
    work.status = std::move(status);
    work.completion = [items, done = std::move(done)](bool completed, const ContactSheetSortResult& result) {
        SortedSheet sorted{*items, result};
        done(completed, sorted);
    };
    manager->queue_sort(std::move(work));
}

// ---- deleting

std::vector<std::string> LumoDocCommon::DocumentDeleteMarkedItems(const std::vector<DocumentItem::Ref>& items,
                                                                  bool permanently,
                                                                  ProgressDialogInterface* progress) {
    std::vector<std::string> failures;
    std::vector<DocumentItem::Ref> gone;
    if (progress)
        progress->SetMessage(permanently ? "Preparing to delete files..."
                                         : "Preparing to move files to the Trash...");
    std::size_t done = 0;
    for (const DocumentItem::Ref& item : items) {
        if (progress && progress->IsCancelled())
            break;
        if (!item)
            continue;
        bool allWent = true;
        for (const std::string& file : DocumentItemOwnedFiles(*item)) {
            std::string error;
            bool ok = false;
            if (permanently) {
                const int err = lumo::removeFile(file);
                ok = err == 0 || err == ENOENT;
                if (!ok)
                    error = std::strerror(err);
                LUMO_LOG("DocumentDeleteMarkedItems() deleting '%s'%s", file.c_str(), ok ? "" : " failed");
            } else {
                ok = MoveToTrash(file, &error);
                LUMO_LOG("DocumentDeleteMarkedItems() moving '%s' to the Trash%s", file.c_str(),
                         ok ? "" : " failed");
            }
            if (ok) {
                forgetCachedFile(file);
            } else {
                allWent = false;
                failures.push_back(file + ": " + error);
            }
        }
        if (allWent)
            gone.push_back(item);
        ++done;
        if (progress && !items.empty())
            progress->SetPercent(static_cast<unsigned>(done * 100 / items.size()));
    }
    if (!gone.empty()) {
        LUMO_LOG("DocumentDeleteMarkedItems() notifying files deleted for unique IDs");
        DocumentRemoveItems(gone);
    }
    return failures;
}

std::vector<std::string> DocumentItemOwnedFiles(DocumentItem& item) {
    if (!item.IsLoaded())
        item.Load();
    std::vector<std::string> files = item.AllFiles();
    // The attached files as they are now: one added since the record was read goes with the photo too.
    const auto addAttached = [&files](const std::string& path, NRFFileType type) {
        std::vector<std::string> attached;
        int sounds = 0;
        if (path.empty() || NRFFindAttachedFiles(path, type, &attached, &sounds) != kNRFErrNone)
            return;
        for (const std::string& file : attached)
            if (std::find(files.begin(), files.end(), file) == files.end())
                files.push_back(file);
    };
    const NRFImageInfoRef primary = item.PrimaryRecord();
    addAttached(item.FullPath(), primary ? primary->m_fileType : item.FileType());
    if (item.HasCompanion()) {
        const NRFImageInfoRef companion = item.CompanionRecord();
        addAttached(item.CompanionPath(), companion ? companion->m_fileType : NRFFileType(kNRFTypeJPEG));
    }
    return files;
}

// ---- batch changes

std::vector<std::string> DocumentBatchChange(const std::vector<DocumentItem::Ref>& items,
                                             const BatchChange& change, ProgressDialogInterface* progress) {
    std::vector<std::string> failures;
    const auto total = static_cast<unsigned>(items.size());
    unsigned index = 0;
    for (const DocumentItem::Ref& item : items) {
        if (progress && progress->IsCancelled())
            break;
        ++index;
        if (progress) {
            char message[128];
            if (change.operation == BatchChange::SetCrop)
                std::snprintf(message, sizeof message, "Setting Crop on %lu of %lu",
                              static_cast<unsigned long>(index), static_cast<unsigned long>(total));
            else
                std::snprintf(message, sizeof message, "Performing operation on %u of %u items...", index,
                              total);
            progress->SetMessage(message);
            progress->SetPercent(total ? (index - 1) * 100 / total : 0);
        }
        if (!item)
            continue;
        DocumentItem::Result result;
        switch (change.operation) {
        case BatchChange::SetTag:
            result = item->SetTag(true);
            break;
        case BatchChange::ToggleTag:
            result = item->ToggleTag();
            break;
        case BatchChange::ClearTag:
            result = item->ClearTag();
            break;
        case BatchChange::SetColorClass:
            result = item->SetColorClass(change.value);
            break;
        case BatchChange::SetRating:
            result = item->SetRating(change.value);
            break;
        case BatchChange::RotateClockwise:
            result = item->RotateClockwise();
            break;
        case BatchChange::RotateCounterClockwise:
            result = item->RotateCounterClockwise();
            break;
        case BatchChange::MirrorHorizontally:
            result = item->MirrorHorizontally();
            break;
        case BatchChange::MirrorVertically:
            result = item->MirrorVertically();
            break;
        case BatchChange::SetCrop:
            result = item->SetCrop(change.crop);
            break;
        case BatchChange::RemoveCrop:
            result = item->RemoveCrop();
            break;
        }
        if (!result)
            failures.push_back(item->FullPath() + ": " + result.message);
    }
    if (progress)
        progress->SetPercent(100);
    return failures;
}

bool BatchChangeJob::Perform(CProgressInfo&) {
    m_failures = DocumentBatchChange(m_items, m_change, m_pProgress);
    return m_failures.empty();
}

// ---- free functions

DocumentItem::Ref DocumentGetItem(LumoDocCommon* document, std::uint32_t number) {
    if (!document) {
        LUMO_LOG("DocumentGetItem() passed NULL document.");
        return nullptr;
    }
    if (number >= document->ItemCount()) {
        LUMO_LOG("DocumentGetItem() passed invalid document cell.");
        return nullptr;
    }
    return document->GetDocumentItemAt(number);
}

std::uint32_t DocumentGetDocumentID(LumoDocCommon* document) {
    if (!document) {
        LUMO_LOG("DocumentGetDocumentID() passed NULL document.");
        return 0;
    }
    return document->DocumentID();
}

LumoDocCommon* DocumentGetCommon(LumoDocCommon* document) {
    if (!document)
        LUMO_LOG("DocumentGetCommon() passed NULL document.");
    return document;
}

std::string PrivateDocumentLastRescanDigest(LumoDocCommon* document) {
    if (!document) {
        LUMO_LOG("PrivateDocumentLastRescanDigest() passed NULL document.");
        return {};
    }
    return document->LastRescanDigest();
}

void DocumentRemoveItems(LumoDocCommon* document, const std::vector<DocumentItem::Ref>& items) {
    if (!document) {
        LUMO_LOG("DocumentRemoveItems() passed NULL document.");
        return;
    }
    document->DocumentRemoveItems(items);
}

std::vector<std::string> DocumentDeleteMarkedItems(LumoDocCommon* document,
                                                   const std::vector<DocumentItem::Ref>& items,
                                                   bool permanently, ProgressDialogInterface* progress) {
    if (!document) {
        LUMO_LOG("DocumentDeleteMarkedItems() passed NULL document.");
        return {};
    }
    return document->DocumentDeleteMarkedItems(items, permanently, progress);
}
