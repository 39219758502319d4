// The files that travel with a photo: sidecars beside it with the same base name, sound files, and the
// settings files of other programs. Each kind the user can switch off has a preference
// "AttachedFiles/<kind>" (on when absent or when the preferences are not open).

#include "NRF/NRF.h"

#include "db/Preferences.h"
#include "support/FileIO.h"
#include "support/FolderListing.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <mutex>
#include <optional>

namespace {

constexpr std::array<const char*, kNRFAttachKindCount> kKindNames = {
    "AAE", "ACR", "BIB", "DOP", "FLT",  "IDPRE", "IDSF", "LZN",
    "NKS", "ON1", "ORI", "PP3", "RDSF", "SND",   "THM",  "XIP"};

std::array<bool, kNRFAttachKindCount> readSwitchesFromPreferences() {
    std::array<bool, kNRFAttachKindCount> on;
    on.fill(true);
    if (const auto preferences = CPreferences::instance())
        for (int kind = 0; kind < kNRFAttachKindCount; ++kind)
            on[static_cast<std::size_t>(kind)] = preferences->getBool(
                std::string("AttachedFiles/") + kKindNames[static_cast<std::size_t>(kind)], true);
    return on;
}

// The switches are asked for every photo read: read from the store again only when this process has
// changed its preferences or a second has passed, so a run over a thousand photos does not make sixteen
// thousand database queries, and a change made by another process still counts within a second.
std::array<bool, kNRFAttachKindCount> readSwitches() {
    using Clock = std::chrono::steady_clock;
    static std::mutex lock;
    static std::array<bool, kNRFAttachKindCount> kept;
    static std::optional<Clock::time_point> readAt;
    static std::uint64_t readAtChange = 0;
    std::lock_guard guard(lock);
    const Clock::time_point now = Clock::now();
    const std::uint64_t change = CPreferences::changeCount();
    if (!readAt || change != readAtChange || now - *readAt >= std::chrono::seconds(1)) {
        kept = readSwitchesFromPreferences();
        readAt = now;
        readAtChange = change;
    }
    return kept;
}

// Kinds that other programs name after the whole image file name (photo.NEF.NKS); all others replace
// the image's extension (photo.XMP).
bool usesWholeName(int kind) {
    switch (kind) {
    case kNRFAttachBIB:
    case kNRFAttachDOP:
    case kNRFAttachIDPRE:
    case kNRFAttachIDSF:
    case kNRFAttachNKS:
    case kNRFAttachPP3:
    case kNRFAttachRDSF:
        return true;
    default:
        return false;
    }
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class AttachedFileFinder {
public:
    AttachedFileFinder(const std::string& path, std::vector<std::string>& files)
        : m_path(path), m_files(files), m_switches(readSwitches()) {
        const std::size_t slash = path.rfind('/');
        const std::size_t dot = path.rfind('.');
        m_folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        m_base = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(0, dot)
                                                                                         : path;
        m_stem = m_base.substr(m_folder.size());
    }

    // A file under `stem` + "." + the extension, upper case first, then lower case.
    bool addNamed(const std::string& stem, const std::string& upperExtension) {
        for (const std::string& name : {stem + "." + upperExtension, stem + "." + lowerCase(upperExtension)})
            if (add(name))
                return true;
        return false;
    }
    void addSidecar(const char* upperExtension) { addNamed(m_base, upperExtension); }
    void addKind(int kind, const char* upperExtension) {
        if (m_switches[static_cast<std::size_t>(kind)])
            addNamed(usesWholeName(kind) ? m_path : m_base, upperExtension);
    }
    // Kind 1: another program's settings, named by a search for the base name with "_ACR" or "_acr".
    void addACR() {
        if (!m_switches[kNRFAttachACR])
            return;
        // The folder is read once for all its photos (support/FolderListing), not once for each.
        std::vector<std::string> found, names;
        for (const char* suffix : {"_ACR", "_acr"}) {
            lumo::FolderListing::namesStartingWith(m_folder.empty() ? "." : m_folder, m_stem + suffix, names);
            for (const std::string& name : names)
                found.push_back(m_folder + name);
        }
        std::sort(found.begin(), found.end());
        for (const std::string& name : found)
            add(name);
    }
    // ".WAV" under the base name, or with "SND_" in front of the name or in place of its four-letter
    // camera prefix (IMG_0001.JPG and SND_0001.WAV).
    int addSounds() {
        if (!m_switches[kNRFAttachSound])
            return 0;
        int count = 0;
        count += addNamed(m_base, "WAV");
        count += addNamed(m_folder + "SND_" + m_stem, "WAV");
        if (m_stem.size() > 4 && m_stem[3] == '_' && m_stem.compare(0, 4, "SND_") != 0)
            count += addNamed(m_folder + "SND_" + m_stem.substr(4), "WAV");
        return count;
    }

private:
    bool add(const std::string& name) {
        if (name == m_path || !lumo::fileExists(name) ||
            std::find(m_files.begin(), m_files.end(), name) != m_files.end())
            return false;
        m_files.push_back(name);
        return true;
    }

    const std::string& m_path;
    std::vector<std::string>& m_files;
    std::array<bool, kNRFAttachKindCount> m_switches;
    std::string m_folder, m_base, m_stem;
};

} // namespace

const char* NRFAttachedKindName(int kind) {
    return kind >= 0 && kind < kNRFAttachKindCount ? kKindNames[static_cast<std::size_t>(kind)] : "";
}

NRFErr NRFFindAttachedFiles(const std::string& path, NRFFileType type, std::vector<std::string>* files,
                            int* soundFiles) {
    const int index = NRFFindFileType(type);
    if (index < 0 || !files || !soundFiles || path.empty())
        return kNRFErrParam;
    const NRFFileTypeInfo& row = *NRFGetFileTypeInfo(index);
    files->clear();
    *soundFiles = 0;
    AttachedFileFinder finder(path, *files);

    if (row.capabilities & kNRFCapRawSidecar) {
        if (type != kNRFTypeADNG) // DNG keeps its metadata inside
            finder.addSidecar("XMP");
        finder.addKind(kNRFAttachTHM, "THM");
        finder.addKind(kNRFAttachLZN, "LZN");
        finder.addKind(kNRFAttachFLT, "FLT");
        finder.addKind(kNRFAttachBIB, "BIB");
        finder.addKind(kNRFAttachRDSF, "RDSF");
        finder.addKind(kNRFAttachIDSF, "IDSF");
        finder.addKind(kNRFAttachIDPRE, "IDPRE");
        finder.addKind(kNRFAttachNKS, "NKS");
        finder.addKind(kNRFAttachPP3, "PP3");
        finder.addKind(kNRFAttachDOP, "DOP");
        finder.addACR();
        if (type == kNRFTypeOORF)
            finder.addKind(kNRFAttachORI, "ORI");
    } else if (row.capabilities & kNRFCapMovieSidecars) {
        finder.addKind(kNRFAttachTHM, "THM");
        finder.addKind(kNRFAttachAAE, "AAE");
        finder.addSidecar("XMP");
    } else if (type == kNRFTypeJPEG || type == kNRFTypeTIFF) {
        finder.addKind(kNRFAttachBIB, "BIB");
        finder.addKind(kNRFAttachNKS, "NKS");
        finder.addKind(kNRFAttachPP3, "PP3");
        finder.addKind(kNRFAttachDOP, "DOP");
        finder.addKind(kNRFAttachAAE, "AAE");
        if (type == kNRFTypeJPEG)
            finder.addACR();
    } else if (type == kNRFTypeHEIC || type == kNRFTypeHEIF) {
        finder.addKind(kNRFAttachAAE, "AAE");
    } else if (row.metadataStorage == kNRFStorageHEIF || row.metadataStorage == kNRFStorageBesideFile) {
        finder.addSidecar("XMP");
    }
    if (type != kNRFTypeJPEG) // JPEG keeps its image prefs inside
        finder.addKind(kNRFAttachXIP, "XIP");
    if (row.capabilities & kNRFCapSound)
        *soundFiles = finder.addSounds();
    finder.addKind(kNRFAttachON1, "ON1");
    return kNRFErrNone;
}
