#include "fileops/RenameJournal.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "support/FileIO.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr char kJournalFirstLine[] = "lumo rename journal 1";
constexpr std::size_t kJournalMaxBytes = 64u << 20;
constexpr std::size_t kIndexMaxBytes = 4u << 20;

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return parts;
        start = tab + 1;
    }
}

// A piece of a file name: never a separator or a NUL, so that no name made from it leaves the folder.
bool safePiece(const std::string& piece) {
    return piece.find('/') == std::string::npos && piece.find('\0') == std::string::npos &&
           piece.find('\n') == std::string::npos && piece.find('\t') == std::string::npos;
}

bool safeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && safePiece(name);
}

template <typename T>
bool parseNumber(const std::string& text, T& out) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool equalNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string withSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder;
}

// The start time (field 22 of /proc/PID/stat) and the state of a process; false when it is gone.
bool processStat(std::int64_t pid, std::uint64_t& startTime, char& state) {
    std::string text;
    if (pid <= 0 || lumo::readFile("/proc/" + std::to_string(pid) + "/stat", text, 4096) != 0)
        return false;
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    fields >> state;
    // The state is field 3; the start time is field 22.
    for (int number = 4; number <= 22; ++number)
        if (!(fields >> field))
            return false;
    return parseNumber(field, startTime);
}

// The index's lock, held for each read-change-write of the index across processes.
class IndexLock {
public:
    explicit IndexLock(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (m_fd >= 0)
            while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~IndexLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    IndexLock(const IndexLock&) = delete;
    IndexLock& operator=(const IndexLock&) = delete;

private:
    int m_fd;
};

std::string indexPath() {
    const std::string folder = LumoPaths::logFolder();
    return folder.empty() ? std::string() : withSlash(folder) + kRenameJournalIndexName;
}

std::vector<std::string> readIndex(const std::string& path) {
    std::vector<std::string> folders;
    std::string text;
    if (!lumo::fileExists(path) || lumo::readFile(path, text, kIndexMaxBytes) != 0)
        return folders;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line.front() == '/' && line.find('\0') == std::string::npos &&
            std::find(folders.begin(), folders.end(), line) == folders.end())
            folders.push_back(line);
    return folders;
}

bool writeIndex(const std::string& path, const std::vector<std::string>& folders) {
    if (folders.empty()) {
        if (lumo::fileExists(path))
            lumo::removeFile(path);
        return true;
    }
    std::string text;
    for (const std::string& folder : folders)
        text += folder + "\n";
    return lumo::writeFileReplacing(path, text) == 0;
}

// Changes the index under its lock.
template <typename Change>
bool changeIndex(Change change) {
    const std::string path = indexPath();
    if (path.empty())
        return true;
    if (lumo::createDirectories(LumoPaths::logFolder()) != 0)
        return false;
    IndexLock lock(path + ".lock");
    std::vector<std::string> folders = readIndex(path);
    if (!change(folders))
        return true;
    return writeIndex(path, folders);
}

} // namespace

bool ParseRenameJournal(const std::string& text, RenameJournal& out) {
    out = RenameJournal{};
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kJournalFirstLine)
        return false;
    while (std::getline(lines, line)) {
        const std::vector<std::string> parts = splitTabs(line);
        if (parts.size() == 3 && parts[0] == "O") {
            RenameJournalOwner owner;
            if (parseNumber(parts[1], owner.pid) && owner.pid > 0 && parseNumber(parts[2], owner.startTime))
                out.owner = owner;
            continue;
        }
        if (parts.size() < 4 || parts[0] != "P" || !safeName(parts[1]) || !safeName(parts[2]) ||
            !safePiece(parts[3]))
            continue;
        RenameJournalEntry entry{parts[1], parts[2], parts[3], {}};
        bool safe = true;
        for (std::size_t i = 4; i < parts.size() && safe; ++i)
            safe = safePiece(parts[i]) && safeName(entry.originalStem + parts[i]) &&
                   safeName(entry.temporaryStem + parts[i]) &&
                   (entry.newStem.empty() || safeName(entry.newStem + parts[i]));
        if (!safe)
            continue;
        entry.suffixes.assign(parts.begin() + 4, parts.end());
        out.entries.push_back(std::move(entry));
    }
    return true;
}

std::string RenameJournalText(const RenameJournal& journal) {
    std::string text = std::string(kJournalFirstLine) + "\n";
    if (journal.owner.pid > 0)
        text +=
            "O\t" + std::to_string(journal.owner.pid) + "\t" + std::to_string(journal.owner.startTime) + "\n";
    for (const RenameJournalEntry& entry : journal.entries) {
        text += "P\t" + entry.originalStem + "\t" + entry.temporaryStem + "\t" + entry.newStem;
        for (const std::string& suffix : entry.suffixes)
            text += "\t" + suffix;
        text += "\n";
    }
    return text;
}

RenameJournalOwner CurrentRenameJournalOwner() {
    RenameJournalOwner owner;
    char state = 0;
    std::uint64_t start = 0;
    if (processStat(::getpid(), start, state)) {
        owner.pid = ::getpid();
        owner.startTime = start;
    }
    return owner;
}

bool RenameJournalOwnerRuns(const RenameJournalOwner& owner) {
    std::uint64_t start = 0;
    char state = 0;
    return owner.pid > 0 && processStat(owner.pid, start, state) && start == owner.startTime &&
           state != 'Z' && state != 'X';
}

int RecoverInterruptedRename(const std::string& folderPath, std::string* report) {
    const std::string folder = withSlash(folderPath);
    const std::string journalPath = folder + kRenameJournalName;
    if (!lumo::fileExists(journalPath))
        return 0;
    std::string text;
    if (lumo::readFile(journalPath, text, kJournalMaxBytes) != 0) {
        if (report)
            *report += "Could not read the rename journal '" + journalPath + "'.\n";
        return -1;
    }
    RenameJournal journal;
    if (!ParseRenameJournal(text, journal)) {
        if (report)
            *report +=
                "The rename journal '" + journalPath + "' is not one this program wrote; left alone.\n";
        return -1;
    }
    if (RenameJournalOwnerRuns(journal.owner)) {
        if (report)
            *report +=
                "The rename journal '" + journalPath + "' belongs to a rename still running; left alone.\n";
        return 0;
    }
    // The folder's names, to find a moved file whatever the case its extension took.
    std::vector<std::string> present;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        present.push_back(entry.path().filename().string());
    const auto findMoved = [&](const std::string& stem, const std::string& suffix) -> std::string {
        if (stem.empty())
            return {};
        for (const std::string& name : present)
            if (name.size() == stem.size() + suffix.size() && name.compare(0, stem.size(), stem) == 0 &&
                equalNoCase(name.substr(stem.size()), suffix))
                return name;
        return {};
    };
    int restored = 0;
    bool stayed = false;
    for (const RenameJournalEntry& entry : journal.entries)
        for (const std::string& suffix : entry.suffixes) {
            const std::string original = folder + entry.originalStem + suffix;
            if (lumo::fileExists(original))
                continue;
            std::string moved = findMoved(entry.temporaryStem, suffix);
            if (moved.empty())
                moved = findMoved(entry.newStem, suffix);
            if (moved.empty())
                continue; // gone before the rename began, or never there
            if (lumo::renameFile(folder + moved, original) == 0) {
                ++restored;
                if (report)
                    *report += "Restored '" + original + "' from '" + moved + "'.\n";
            } else {
                stayed = true;
                if (report)
                    *report += "Could not restore '" + original + "' from '" + moved + "'.\n";
            }
        }
    if (stayed)
        return -1;
    lumo::syncFolderOf(journalPath);
    lumo::removeFile(journalPath);
    lumo::syncFolderOf(journalPath);
    UnlistRenameJournalFolder(folder);
    return restored;
}

bool ListRenameJournalFolder(const std::string& folderPath) {
    const std::string folder = withSlash(folderPath);
    if (folder.empty() || folder.front() != '/' || folder.find('\n') != std::string::npos)
        return true; // such a folder is recovered by its next rename or by hand
    return changeIndex([&](std::vector<std::string>& folders) {
        if (std::find(folders.begin(), folders.end(), folder) != folders.end())
            return false;
        folders.push_back(folder);
        return true;
    });
}

void UnlistRenameJournalFolder(const std::string& folderPath) {
    const std::string folder = withSlash(folderPath);
    changeIndex([&](std::vector<std::string>& folders) {
        const auto end = std::remove(folders.begin(), folders.end(), folder);
        if (end == folders.end())
            return false;
        folders.erase(end, folders.end());
        return true;
    });
}

std::vector<std::string> ListedRenameJournalFolders() {
    const std::string path = indexPath();
    if (path.empty())
        return {};
    IndexLock lock(path + ".lock");
    return readIndex(path);
}

int RecoverListedRenames() {
    int restored = 0;
    for (const std::string& folder : ListedRenameJournalFolders()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(folder, ec) || !lumo::fileExists(folder + kRenameJournalName)) {
            LUMO_LOG("Rename recovery: '%s' holds no rename journal any more; dropped from the list",
                     folder.c_str());
            UnlistRenameJournalFolder(folder);
            continue;
        }
        std::string report;
        const int count = RecoverInterruptedRename(folder, &report);
        LUMO_LOG("Rename recovery: '%s': %d file(s) put back under their original names%s%s", folder.c_str(),
                 count < 0 ? 0 : count, report.empty() ? "" : "\n", report.c_str());
        if (count > 0)
            restored += count;
    }
    return restored;
}

void addRenameRecoveryService(CLumoApp& app) {
    app.startupSteps().add("Cleanup leftovers", [] {
        try {
            RecoverListedRenames();
        } catch (const std::exception& e) {
            LUMO_LOG("RecoverListedRenames() %s", e.what());
        }
        return true; // a rename that cannot be put back is no reason to stop
    });
}
