#include "db/Preferences.h"

#include <atomic>

#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "app/MessageBox.h"
#include "db/KLKeyValueDB.h"
#include "db/PreferencesConversion.h"
#include "db/StoreLock.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include <sys/stat.h>

namespace {

using Integrity = KLKeyValueDB::Integrity;

// A process that replaces the store holds the lock only briefly; one that keeps the store open holds
// the shared lock, so a replacement waits for every other user of the store to finish.
constexpr std::chrono::milliseconds kSharedLockWait{30000};
constexpr std::chrono::milliseconds kExclusiveLockWait{kDefaultBusyTimeoutMs};
constexpr int kMaxDamagedRounds = 3;

// Opening and closing take turns; g_mutex guards only the pointer, so that instance() never waits
// behind an open (which may wait for another process, or for the user to read a message).
std::mutex g_lifecycleMutex;
std::mutex g_mutex;
std::atomic<std::uint64_t> g_changeCount{0}; // see CPreferences::changeCount
std::shared_ptr<CPreferences> g_preferences;

std::string localTime(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// "<path>.damaged-20261206-141502": where a store that failed its check is kept.
std::string damagedName(const std::string& path) {
    const std::string stamp = localTime("%Y%m%d-%H%M%S");
    std::string name = path + ".damaged-" + stamp;
    for (int n = 2; lumo::fileExists(name); ++n)
        name = path + ".damaged-" + stamp + "-" + std::to_string(n);
    return name;
}

// Which file a path names: a store renamed away and replaced is another file under the same name.
std::optional<std::pair<dev_t, ino_t>> identityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

bool soundStore(const std::string& path) {
    return lumo::fileExists(path) && KLKeyValueDB::create(path)->integrityCheckDB();
}

void recordRestoration(const std::string& path, const CPreferences::Restoration& restoration) {
    const std::string text = "time=" + restoration.time + "\nfrom=" + restoration.from +
                             "\ndamaged=" + restoration.damagedCopy + "\n";
    const std::string marker = path + CPreferences::kRestoredSuffix;
    if (const int e = lumo::writeFileReplacing(marker, text))
        LUMO_LOG("Preferences: could not write %s: %s", marker.c_str(), std::strerror(e));
}

// Moves a damaged store aside (with its journal, which belongs to it) and puts the last good copy in
// its place when there is one. Runs under the exclusive lock: no process has the store open.
void replaceDamagedStore(const std::string& path) {
    const std::string aside = damagedName(path);
    if (int e = lumo::renameFile(path, aside)) {
        LUMO_LOG("Preferences: could not move the damaged store %s aside: %s", path.c_str(),
                 std::strerror(e));
        return;
    }
    LUMO_LOG("Preferences: damaged store kept as %s", aside.c_str());
    if (lumo::fileExists(path + "-journal"))
        lumo::renameFile(path + "-journal", aside + "-journal");

    CPreferences::Restoration restoration{localTime("%Y-%m-%d %H:%M:%S"), {}, aside};
    const std::string backup = path + CPreferences::kBackupSuffix;
    if (!soundStore(backup)) {
        LUMO_LOG("Preferences: no sound %s; starting with empty preferences", backup.c_str());
    } else if (int e = lumo::copyFileReplacing(backup, path)) {
        LUMO_LOG("Preferences: could not restore %s: %s; starting with empty preferences", backup.c_str(),
                 std::strerror(e));
    } else {
        LUMO_LOG("Preferences: restored the last good copy %s", backup.c_str());
        restoration.from = backup;
    }
    recordRestoration(path, restoration);
}

// The first store, made under the exclusive lock from the older preferences file: built beside the
// store and renamed into place whole, so that a start that dies half-way leaves no store and the next
// start converts again. When nothing can be converted, opening makes an empty store.
void convertOlderPreferences(const std::string& older, const std::string& path) {
    LUMO_LOG("Performing Database Preferences Conversion");
    std::string document;
    if (const int e = lumo::readFile(older, document, kMaxOlderPreferencesSize + 1)) {
        LUMO_LOG("Preferences: could not read %s: %s; nothing converted", older.c_str(), std::strerror(e));
        return;
    }
    const std::optional<PreferenceValues> values = readOlderPreferences(document);
    if (!values) {
        LUMO_LOG("Preferences: %s is not a preferences document; nothing converted", older.c_str());
        return;
    }
    const std::string temporary = path + ".converting";
    lumo::removeFile(temporary); // left by a start that died
    lumo::removeFile(temporary + "-journal");
    bool converted = false;
    {
        auto store = KLKeyValueDB::create(temporary);
        converted = store->isOpen();
        for (const auto& [key, value] : *values)
            converted = converted && store->storeKeyValue(key, value);
        converted = converted && store->endTransaction();
    }
    if (const int e = converted ? lumo::renameFile(temporary, path) : 0) {
        LUMO_LOG("Preferences: could not put %s in place: %s", temporary.c_str(), std::strerror(e));
        converted = false;
    }
    if (!converted) {
        LUMO_LOG("Preferences: the conversion of %s failed; starting with empty preferences", older.c_str());
        lumo::removeFile(temporary);
        return;
    }
    LUMO_LOG("Preferences: converted %zu preferences from %s", values->size(), older.c_str());
}

} // namespace

CPreferences::CPreferences(std::string path)
    : m_path(std::move(path)), m_store(KLKeyValueDB::create(m_path)) {}

CPreferences::~CPreferences() {
    if (m_store)
        m_store->endTransaction();
}

bool CPreferences::isOpen() const {
    return m_store && m_store->isOpen();
}

std::unique_ptr<CPreferences> CPreferences::open(const std::string& folder, const std::string& path) {
    if (const int e = lumo::createDirectories(folder)) {
        LUMO_LOG("Preferences: could not create the settings folder %s: %s", folder.c_str(),
                 std::strerror(e));
        return nullptr;
    }
    auto lock = std::make_unique<StoreLock>(path + kLockSuffix);
    auto lockFailed = [&] {
        LUMO_LOG("Preferences: could not lock %s: %s", lock->path().c_str(),
                 lock->error() ? std::strerror(lock->error()) : "another process holds it");
        return nullptr;
    };
    if (lock->lockShared(kSharedLockWait) != StoreLock::Result::Acquired)
        return lockFailed();

    // Asked before opening: the store's worker creates the file as it opens it. A store made now has
    // nothing to check or back up yet. Converting the older file is the one way of making it that must
    // happen once, in one process.
    bool check = lumo::fileExists(path);
    const std::string older = (std::filesystem::path(folder) / kOlderPreferencesFileName).string();
    if (!check && lumo::fileExists(older)) {
        auto absent = [&] { return !lumo::fileExists(path); };
        switch (lock->lockExclusive(kExclusiveLockWait, absent)) {
        case StoreLock::Result::Acquired:
            if (absent())
                convertOlderPreferences(older, path);
            if (lock->lockShared(kSharedLockWait) != StoreLock::Result::Acquired)
                return lockFailed();
            break;
        case StoreLock::Result::Failed:
            return lockFailed();
        default: // made by another process meanwhile, or it keeps the lock: open what is there
            break;
        }
    }

    for (int round = 1;; ++round) {
        auto preferences = std::make_unique<CPreferences>(path);
        const Integrity verdict = check ? preferences->integrity() : Integrity::Sound;
        if (verdict == Integrity::Damaged)
            LUMO_LOG("Preferences: PrefsDB integrity check FAILED");
        if (check && verdict == Integrity::Sound)
            preferences->m_store->backupTo(path + kBackupSuffix); // logs its own failure
        if (check && verdict == Integrity::Unchecked)
            LUMO_LOG(
                "Preferences: %s could not be checked (busy or unreadable); used as it is, not backed up",
                path.c_str());
        if (verdict != Integrity::Damaged || round == kMaxDamagedRounds) {
            preferences->m_lock = std::move(lock);
            return preferences;
        }

        // Damaged. Closed first, then set aside once nobody else has it open (checked again then:
        // another process may have replaced it meanwhile).
        const auto identity = identityOf(path);
        preferences.reset();
        auto unchanged = [&] { return identityOf(path) == identity; };
        switch (lock->lockExclusive(kExclusiveLockWait, unchanged)) {
        case StoreLock::Result::Acquired:
            if (unchanged() && KLKeyValueDB::create(path)->checkIntegrity() == Integrity::Damaged) {
                replaceDamagedStore(path);
                check = false;
            }
            if (lock->lockShared(kSharedLockWait) != StoreLock::Result::Acquired)
                return lockFailed();
            break;
        case StoreLock::Result::TimedOut:
            LUMO_LOG("Preferences: the damaged store %s is in use by another process; it stays in place",
                     path.c_str());
            check = false;
            break;
        case StoreLock::Result::NotNeeded: // replaced by another process: check what is there now
            break;
        case StoreLock::Result::Failed:
            return lockFailed();
        }
    }
}

bool CPreferences::GetPreferences() {
    {
        std::lock_guard lifecycle(g_lifecycleMutex);
        if (instance())
            return true;
        const std::string folder = LumoPaths::settingsFolder();
        const std::string path = (std::filesystem::path(folder) / kFileName).string();
        std::shared_ptr<CPreferences> preferences = open(folder, path);
        if (preferences && preferences->isOpen()) {
            std::lock_guard lock(g_mutex);
            g_preferences = std::move(preferences);
            ++g_changeCount;
            return true;
        }
    }
    // Without any lock: from another thread the message waits for the user-interface thread, which may
    // itself be asking for the preferences.
    showMessageBox("Fatal error: could not open or create preferences.");
    return false;
}

void CPreferences::ClosePreferences() {
    std::lock_guard lifecycle(g_lifecycleMutex);
    std::shared_ptr<CPreferences> closing;
    {
        std::lock_guard lock(g_mutex);
        closing.swap(g_preferences);
    }
    ++g_changeCount;
    if (closing)
        closing->save();
}

std::shared_ptr<CPreferences> CPreferences::instance() {
    std::lock_guard lock(g_mutex);
    return g_preferences;
}

// A value read is kept for a second, or until this process changes its preferences: a run over a
// thousand photos asks for the same few settings for every photo, and each question to the store is a
// round trip to its thread. A change made by another process still counts within the second.
KLKeyValueDB::Outcome CPreferences::lookupValue(const std::string& key, CILA::VObject& value) const {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    const std::uint64_t change = g_changeCount.load();
    {
        std::lock_guard guard(m_readsLock);
        const auto kept = m_reads.find(key);
        if (kept != m_reads.end() && kept->second.change == change &&
            now - kept->second.at < std::chrono::seconds(1)) {
            if (kept->second.outcome == KLKeyValueDB::Outcome::Done)
                value = kept->second.value;
            return kept->second.outcome;
        }
    }
    CILA::VObject read;
    const KLKeyValueDB::Outcome outcome = m_store->lookupKeyValue(key, read);
    if (outcome == KLKeyValueDB::Outcome::Failed)
        return outcome; // asked again next time
    std::lock_guard guard(m_readsLock);
    if (m_reads.size() >= kMaxKeptReads)
        m_reads.clear();
    m_reads[key] = KeptRead{outcome, read, change, now};
    if (outcome == KLKeyValueDB::Outcome::Done)
        value = std::move(read);
    return outcome;
}

bool CPreferences::getValue(const std::string& key, CILA::VObject& value) const {
    return lookupValue(key, value) == KLKeyValueDB::Outcome::Done;
}

std::int64_t CPreferences::getInt(const std::string& key, std::int64_t defaultValue) const {
    CILA::VObject value;
    if (!getValue(key, value))
        return defaultValue;
    switch (value.dataType()) {
    case CILA::VObject::DT_INTEGER:
        return value.getint();
    case CILA::VObject::DT_BOOL:
        return value.getbool() ? 1 : 0;
    case CILA::VObject::DT_DOUBLE:
        return static_cast<std::int64_t>(value.getdouble());
    default:
        return defaultValue;
    }
}

bool CPreferences::getBool(const std::string& key, bool defaultValue) const {
    CILA::VObject value;
    if (!getValue(key, value))
        return defaultValue;
    switch (value.dataType()) {
    case CILA::VObject::DT_BOOL:
        return value.getbool();
    case CILA::VObject::DT_INTEGER:
        return value.getint() != 0;
    default:
        return defaultValue;
    }
}

double CPreferences::getDouble(const std::string& key, double defaultValue) const {
    CILA::VObject value;
    if (!getValue(key, value))
        return defaultValue;
    switch (value.dataType()) {
    case CILA::VObject::DT_DOUBLE:
        return value.getdouble();
    case CILA::VObject::DT_INTEGER:
        return static_cast<double>(value.getint());
    default:
        return defaultValue;
    }
}

std::string CPreferences::getString(const std::string& key, const std::string& defaultValue) const {
    CILA::VObject value;
    if (!getValue(key, value) || value.dataType() != CILA::VObject::DT_STR)
        return defaultValue;
    return value.getstr();
}

std::uint64_t CPreferences::changeCount() {
    return g_changeCount.load();
}

bool CPreferences::setValue(const std::string& key, const CILA::VObject& value) {
    const bool stored = m_store->storeKeyValue(key, value);
    ++g_changeCount;
    return stored;
}

KLKeyValueDB::Outcome CPreferences::remove(const std::string& key) {
    const KLKeyValueDB::Outcome outcome = m_store->removeKeyValue(key);
    ++g_changeCount;
    return outcome;
}

std::optional<std::vector<std::string>> CPreferences::keys() const {
    std::vector<std::string> keys;
    if (!m_store->allKeys(keys))
        return std::nullopt;
    return keys;
}

bool CPreferences::save() {
    return m_store->endTransaction();
}

KLKeyValueDB::Integrity CPreferences::integrity() const {
    return m_store->checkIntegrity();
}

std::optional<CPreferences::Restoration> CPreferences::lastRestoration() const {
    std::string text;
    if (lumo::readFile(m_path + kRestoredSuffix, text, 64 * 1024) != 0)
        return std::nullopt;
    Restoration restoration;
    for (std::string_view line : lumo::splitLines(text)) {
        const std::size_t eq = line.find('=');
        const std::string_view name = line.substr(0, eq), value = eq == line.npos ? "" : line.substr(eq + 1);
        if (name == "time")
            restoration.time = value;
        else if (name == "from")
            restoration.from = value;
        else if (name == "damaged")
            restoration.damagedCopy = value;
    }
    if (restoration.time.empty())
        return std::nullopt;
    return restoration;
}
