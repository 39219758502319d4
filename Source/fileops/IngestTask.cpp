#include "fileops/IngestTask.h"

#include "db/Preferences.h"
#include "metadata/IPTCRec.h"
#include "metadata/MetadataTemplate.h"
#include "variables/VariableExpander.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

const char* choiceText(int value, std::initializer_list<const char*> texts) {
    if (value < 0 || value >= static_cast<int>(texts.size()))
        return "";
    return texts.begin()[value];
}

bool isSpace(char c) {
    return c == ' ' || c == '\f' || c == '\v';
}

std::string joinPath(const std::string& base, const std::string& relative) {
    if (relative.empty())
        return base;
    if (base.empty())
        return relative;
    return base.back() == '/' ? base + relative : base + "/" + relative;
}

std::string expandFolder(const std::string& folderTemplate, const VariableContext& context) {
    return CleanIngestFolderName(ExpandVariables(folderTemplate, context, 0).text);
}

// The dated folder and/or folder with name of a rule, without the root and the source folders.
std::string layoutFolder(const IngestFolderRule& rule, const VariableContext& context) {
    std::string folder;
    if (rule.m_usingDatedFolder) {
        // The dated folder alone is named by the folder-name template when there is one.
        const bool templateIsDate = !rule.m_usingFolderName && !rule.m_folderName.empty();
        folder = expandFolder(templateIsDate ? rule.m_folderName : kIngestDatedFolderTemplate, context);
    }
    if (rule.m_usingFolderName) {
        std::string name =
            expandFolder(rule.m_folderName.empty() ? kIngestDatedFolderTemplate : rule.m_folderName, context);
        name += rule.m_autoIncSuffix;
        folder = joinPath(folder, name);
    }
    return folder;
}

std::mutex& allocationMutex() {
    static std::mutex mutex;
    return mutex;
}
std::atomic<int> g_allocating{0};
std::atomic<bool> g_liveIngestUsingSequence{false};

} // namespace

const char* IngestFolderLayoutText(int value) {
    return choiceText(value, {"directly into primary and secondary folder(s)", "into dated folder only",
                              "into folder with name", "into dated folder then folder with name"});
}
const char* IngestSourceDirModeText(int value) {
    return choiceText(value, {"ignore - copy all photos into same destination",
                              "keep separate source folder names only", "preserve all source directories"});
}
const char* IngestLockFilterText(int value) {
    return choiceText(
        value, {"Copy Locked and Unlocked Photos", "Copy Locked Photos Only", "Copy Unlocked Photos Only"});
}
const char* IngestRawFilterText(int value) {
    return choiceText(value, {"Copy RAW and non-RAW Photos", "Copy RAW Photos Only", "Copy non-RAW Photos"});
}
const char* IngestOpenSheetsText(int value) {
    return choiceText(value, {"Open contact sheets during ingest", "Open contact sheets after ingest",
                              "Never open contact sheets"});
}

bool LoadIngestStationery(const IngestTaskSpec& spec, IPTCRec& stationery) {
    if (spec.m_useLocalStationery && !spec.m_stationeryData.empty())
        return IPTCLoadStationeryFile(spec.m_stationeryData, stationery) == 0;
    return IPTCLoadCurrentStationery(stationery);
}

std::vector<std::string> IngestTaskSpec::Destinations() const {
    std::vector<std::string> destinations{m_primaryDestPath};
    if (m_secondaryEnabled && !m_secondaryDestPath.empty())
        destinations.push_back(m_secondaryDestPath);
    return destinations;
}

IngestTaskSpec IngestTaskSpec::FromPreferences() {
    IngestTaskSpec spec;
    const auto p = CPreferences::instance();
    if (!p)
        return spec;
    auto clampInt = [&](const char* key, int fallback, int maximum) {
        const std::int64_t value = p->getInt(key, fallback);
        return value < 0 || value > maximum ? fallback : static_cast<int>(value);
    };
    spec.m_fromDisks = p->getBool(kIngestDisksKey, false) && !p->getBool(kIngestFoldersKey, false);
    spec.m_primaryDestPath = p->getString(kIngestPrimaryDestPathKey, "");
    spec.m_secondaryEnabled = p->getBool(kIngestSecondaryDestPathEnabledKey, false);
    spec.m_secondaryDestPath = p->getString(kIngestSecondaryDestPathKey, "");
    spec.m_copyPhotos = clampInt(kIngestCopyPhotosKey, kIngestDirect, kIngestDatedNamedFolder);
    spec.m_destFolderNameString = p->getString(kIngestDestFolderNameStringKey, "");
    spec.m_autoIncSuffix = p->getBool(kIngestAutoIncSuffixKey, false);
    spec.m_autoIncSuffixName = p->getString(kIngestAutoIncSuffixNameKey, kIngestAutoIncSuffixNameUnset);
    spec.m_mergeSources = p->getBool(kIngestMergeDisksCheckKey, false);
    spec.m_sourceDirStructure = clampInt(kIngestSourceDirStructureKey, 0, 2);
    spec.m_filterLocked = clampInt(kIngestFilterLockedKey, 0, 2);
    spec.m_filterRaw = clampInt(kIngestFilterRawKey, 0, 2);
    spec.m_incremental = p->getBool(kIngestIncrementalKey, false);
    spec.m_rename = p->getBool(kIngestRenameCheckKey, false);
    spec.m_renameString = p->getString(kIngestRenameEditKey, "");
    spec.m_useSeqn = p->getBool(kIngestUseSeqnCheckKey, false);
    spec.m_applyStationery = p->getBool(kIngestApplyIPTCStationeryPadKey, false);
    spec.m_stationeryData = p->getString(kIngestIPTCStationeryPadDataKey, "");
    spec.m_useLocalStationery = p->getBool(kIngestIPTCUseLocalKey, false);
    spec.m_useGlobalStationery = p->getBool(kIngestIPTCUseGlobalKey, true);
    spec.m_unmount = p->getBool(kIngestUnmountDisksKey, false);
    spec.m_erase = p->getBool(kIngestReformatDisksKey, false);
    spec.m_openContactSheets = clampInt(kIngestOpenContactSheetsComboKey, kIngestOpenNever, 2);
    spec.m_openInBackground = p->getBool(kIngestOpenContactSheetsInBackgroundKey, false);
    spec.m_autoIngest = p->getBool(kIngestAutoIngestCheckKey, false);
    spec.m_autoCatalog = p->getBool(kIngestAutoCatalogCheckKey, false);
    return spec;
}

bool IngestTaskSpec::SaveToPreferences() const {
    const auto p = CPreferences::instance();
    if (!p)
        return false;
    bool ok =
        p->setBool(kIngestDisksKey, m_fromDisks) && p->setBool(kIngestFoldersKey, !m_fromDisks) &&
        p->setString(kIngestPrimaryDestPathKey, m_primaryDestPath) &&
        p->setBool(kIngestSecondaryDestPathEnabledKey, m_secondaryEnabled) &&
        p->setString(kIngestSecondaryDestPathKey, m_secondaryDestPath) &&
        p->setInt(kIngestCopyPhotosKey, m_copyPhotos) &&
        p->setString(kIngestDestFolderNameStringKey, m_destFolderNameString) &&
        p->setBool(kIngestAutoIncSuffixKey, m_autoIncSuffix) &&
        p->setString(kIngestAutoIncSuffixNameKey, m_autoIncSuffixName) &&
        p->setBool(kIngestMergeDisksCheckKey, m_mergeSources) &&
        p->setInt(kIngestSourceDirStructureKey, m_sourceDirStructure) &&
        p->setInt(kIngestFilterLockedKey, m_filterLocked) && p->setInt(kIngestFilterRawKey, m_filterRaw) &&
        p->setBool(kIngestIncrementalKey, m_incremental) && p->setBool(kIngestRenameCheckKey, m_rename) &&
        p->setString(kIngestRenameEditKey, m_renameString) && p->setBool(kIngestUseSeqnCheckKey, m_useSeqn) &&
        p->setBool(kIngestApplyIPTCStationeryPadKey, m_applyStationery) &&
        p->setString(kIngestIPTCStationeryPadDataKey, m_stationeryData) &&
        p->setBool(kIngestIPTCUseLocalKey, m_useLocalStationery) &&
        p->setBool(kIngestIPTCUseGlobalKey, m_useGlobalStationery) &&
        p->setBool(kIngestUnmountDisksKey, m_unmount) && p->setBool(kIngestReformatDisksKey, m_erase) &&
        p->setInt(kIngestOpenContactSheetsComboKey, m_openContactSheets) &&
        p->setBool(kIngestOpenContactSheetsInBackgroundKey, m_openInBackground) &&
        p->setBool(kIngestAutoIngestCheckKey, m_autoIngest) &&
        p->setBool(kIngestAutoCatalogCheckKey, m_autoCatalog);
    return p->save() && ok;
}

std::string CleanIngestFolderName(const std::string& expanded) {
    std::string mapped;
    mapped.reserve(expanded.size());
    for (const char c : expanded) {
        if (c == '\\' || c == '/')
            mapped += '/';
        else if (static_cast<unsigned char>(c) < 32 || std::strchr(":*?\"<>|", c) != nullptr)
            mapped += '-';
        else
            mapped += c;
    }
    // Split at the separators; each part loses the white space next to a separator, empty parts (runs
    // of separators) and "." / ".." parts go.
    std::string out;
    std::size_t start = 0;
    while (start <= mapped.size()) {
        std::size_t end = mapped.find('/', start);
        if (end == std::string::npos)
            end = mapped.size();
        std::size_t first = start, last = end;
        while (first < last && isSpace(mapped[first]))
            ++first;
        while (last > first && isSpace(mapped[last - 1]))
            --last;
        const std::string part = mapped.substr(first, last - first);
        if (!part.empty() && part != "." && part != "..") {
            if (!out.empty())
                out += '/';
            out += part;
        }
        start = end + 1;
    }
    return out;
}

IngestFolderRule IngestFolderRule::FromSpec(const IngestTaskSpec& spec, const std::string& root) {
    IngestFolderRule rule;
    rule.m_root = root;
    rule.m_usingDatedFolder =
        spec.m_copyPhotos == kIngestDatedFolder || spec.m_copyPhotos == kIngestDatedNamedFolder;
    rule.m_usingFolderName =
        spec.m_copyPhotos == kIngestNamedFolder || spec.m_copyPhotos == kIngestDatedNamedFolder;
    rule.m_folderName = spec.m_destFolderNameString;
    rule.m_sourceDirMode = spec.m_sourceDirStructure;
    return rule;
}

std::string IngestDestinationFolder(const IngestFolderRule& rule, const VariableContext& context,
                                    const std::string& relativeDir) {
    std::string folder = joinPath(rule.m_root, layoutFolder(rule, context));
    const std::string relative = CleanIngestFolderName(relativeDir);
    if (rule.m_sourceDirMode == kIngestKeepSourceDirNames && !relative.empty()) {
        const std::size_t slash = relative.rfind('/');
        folder = joinPath(folder, slash == std::string::npos ? relative : relative.substr(slash + 1));
    } else if (rule.m_sourceDirMode == kIngestPreserveSourceDirs) {
        folder = joinPath(folder, relative);
    }
    return folder;
}

std::string NextAutoIncSuffix(const IngestFolderRule& rule, const VariableContext& context,
                              const std::set<std::string>& taken) {
    IngestFolderRule bare = rule;
    bare.m_autoIncSuffix.clear();
    const std::string base = joinPath(rule.m_root, layoutFolder(bare, context));
    for (unsigned n = 1; n < 100000; ++n) {
        const std::string suffix = "-" + std::to_string(n);
        std::error_code ec;
        if (taken.count(suffix) == 0 && !std::filesystem::exists(base + suffix, ec))
            return suffix;
    }
    return "-" + std::to_string(100000);
}

bool IngestValidator::RenameGivesSameName(const std::string& renameString) {
    // Without a single variable, every photo gets the template's text as its name.
    return !ExpandVariables(renameString, VariableContext{}, kVariableFileName).expanded;
}

std::string IngestValidator::Validate(const IngestTaskSpec& spec) {
    if (spec.m_sourcePaths.empty())
        return spec.m_fromDisks ? IngestText::kNoSourceDisks : IngestText::kNoSourceFolders;
    if (spec.m_primaryDestPath.empty())
        return IngestText::kNoPrimary;
    if (spec.m_secondaryEnabled && spec.m_secondaryDestPath.empty())
        return IngestText::kNoSecondary;
    if (spec.m_secondaryEnabled) {
        std::error_code ec;
        const auto normal = [](const std::string& path) {
            std::error_code e;
            const auto absolute = std::filesystem::weakly_canonical(path, e);
            return (e ? std::filesystem::path(path) : absolute).lexically_normal().string();
        };
        std::string a = normal(spec.m_primaryDestPath), b = normal(spec.m_secondaryDestPath);
        while (a.size() > 1 && a.back() == '/')
            a.pop_back();
        while (b.size() > 1 && b.back() == '/')
            b.pop_back();
        if (a == b || std::filesystem::equivalent(spec.m_primaryDestPath, spec.m_secondaryDestPath, ec))
            return IngestText::kSameDestinations;
    }
    if (spec.m_sourcePaths.size() > 1 && !spec.m_mergeSources &&
        !(spec.m_autoIncSuffix &&
          (spec.m_copyPhotos == kIngestNamedFolder || spec.m_copyPhotos == kIngestDatedNamedFolder))) {
        const char* one = spec.m_fromDisks ? "disk" : "folder";
        const char* many = spec.m_fromDisks ? "disks" : "folders";
        char text[400];
        std::snprintf(text, sizeof text, IngestText::kSeveralSources, one, many);
        return text;
    }
    if (spec.m_applyStationery) {
        IPTCRec stationery;
        if (!LoadIngestStationery(spec, stationery))
            return IngestText::kTemplateNotLoadable;
        const bool anyTicked = std::any_of(stationery.m_applyFlags.begin(), stationery.m_applyFlags.end(),
                                           [](std::uint8_t flag) { return flag != 0; }) ||
                               stationery.m_colorClassApply || stationery.m_ratingApply ||
                               stationery.m_tagApply || IPTCHaveReverseGeocoding(stationery);
        if (!anyTicked)
            return IngestText::kTemplateNothingTicked;
    }
    if (spec.m_rename && RenameGivesSameName(spec.m_renameString))
        return IngestText::kRenameSameName;
    return {};
}

IngestSequenceAllocation::IngestSequenceAllocation() {
    ++g_allocating;
    m_lock = std::unique_lock<std::mutex>(allocationMutex());
}

IngestSequenceAllocation::~IngestSequenceAllocation() {
    m_lock.unlock();
    --g_allocating;
}

bool IngestSequenceAllocation::InProgress() {
    return g_allocating.load() > 0;
}

void SetLiveIngestUsingSequence(bool using_) {
    g_liveIngestUsingSequence = using_;
}

bool ActiveLiveIngestUsingSequence() {
    return g_liveIngestUsingSequence.load();
}
