#include "db/Preferences.h"

#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "app/MessageBox.h"
#include "db/KLKeyValueDB.h"
#include "support/FileIO.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace {

std::mutex g_mutex;
std::unique_ptr<CPreferences> g_preferences;

// "<path>.damaged-20261206-141502": where a store that failed its check is kept.
std::string damagedName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = path + ".damaged-" + stamp;
    for (int n = 2; lumo::fileExists(name); ++n)
        name = path + ".damaged-" + stamp + "-" + std::to_string(n);
    return name;
}

bool soundStore(const std::string& path) {
    return lumo::fileExists(path) && KLKeyValueDB::create(path)->integrityCheckDB();
}

// Moves a damaged store aside (with its journal, which belongs to it) and puts the last good copy in
// its place when there is one.
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

    const std::string backup = path + CPreferences::kBackupSuffix;
    if (!soundStore(backup)) {
        LUMO_LOG("Preferences: no sound %s; starting with empty preferences", backup.c_str());
        return;
    }
    if (int e = lumo::copyFileReplacing(backup, path))
        LUMO_LOG("Preferences: could not restore %s: %s; starting with empty preferences", backup.c_str(),
                 std::strerror(e));
    else
        LUMO_LOG("Preferences: restored the last good copy %s", backup.c_str());
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

bool CPreferences::GetPreferences() {
    std::lock_guard lock(g_mutex);
    if (g_preferences)
        return true;
    const std::string folder = LumoPaths::settingsFolder();
    const std::string path = (std::filesystem::path(folder) / kFileName).string();

    // Asked before opening: the store's worker creates the file as it opens it.
    const bool existed = lumo::fileExists(path);
    auto preferences = std::make_unique<CPreferences>(path);
    if (existed) {
        if (preferences->integrityCheck()) {
            if (int e = lumo::copyFileReplacing(path, path + kBackupSuffix))
                LUMO_LOG("Preferences: could not copy %s to %s: %s", path.c_str(), kBackupSuffix,
                         std::strerror(e));
        } else {
            LUMO_LOG("Preferences: PrefsDB integrity check FAILED");
            preferences.reset();
            replaceDamagedStore(path);
            preferences = std::make_unique<CPreferences>(path);
        }
    }
    if (!preferences->isOpen()) {
        showMessageBox("Fatal error: could not open or create preferences.");
        return false;
    }
    g_preferences = std::move(preferences);
    return true;
}

void CPreferences::ClosePreferences() {
    std::lock_guard lock(g_mutex);
    if (g_preferences)
        g_preferences->save();
    g_preferences.reset();
}

CPreferences* CPreferences::instance() {
    std::lock_guard lock(g_mutex);
    return g_preferences.get();
}

bool CPreferences::getValue(const std::string& key, CILA::VObject& value) const {
    return m_store->fetchKeyValue(key, value);
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

bool CPreferences::setValue(const std::string& key, const CILA::VObject& value) {
    return m_store->storeKeyValue(key, value);
}

bool CPreferences::remove(const std::string& key) {
    return m_store->deleteKeyValue(key);
}

std::vector<std::string> CPreferences::keys() const {
    return m_store->allKeys();
}

bool CPreferences::save() {
    return m_store->endTransaction();
}

bool CPreferences::integrityCheck() const {
    return m_store->integrityCheckDB();
}
