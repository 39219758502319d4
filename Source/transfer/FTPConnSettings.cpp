#include "transfer/FTPConnSettings.h"

#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

using CILA::VObject;

void readString(const VObject& record, const char* key, std::string& field) {
    const VObject* value = record.fetch(key);
    if (value && value->dataType() == VObject::DT_STR)
        field = value->getstr();
}

void readInt(const VObject& record, const char* key, int& field) {
    const VObject* value = record.fetch(key);
    if (value && value->dataType() == VObject::DT_INTEGER && value->getint() >= INT32_MIN &&
        value->getint() <= INT32_MAX)
        field = static_cast<int>(value->getint());
}

void readBool(const VObject& record, const char* key, bool& field) {
    const VObject* value = record.fetch(key);
    if (value && value->dataType() == VObject::DT_BOOL)
        field = value->getbool();
}

// The saved records, or an empty list.
VObject savedRecords(const CPreferences& prefs) {
    VObject records;
    if (!prefs.getValue(kPrefFTPConnections, records) || records.dataType() != VObject::DT_VECTOR)
        return VObject::makeVector();
    return records;
}

std::string recordName(const VObject& record) {
    const VObject* name = record.fetch("settingsName");
    return name && name->dataType() == VObject::DT_STR ? name->getstr() : std::string();
}

// The store and every file beside it that may hold its content (journal, write-ahead log, backup).
void restrictToOwner(const std::string& store) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm", CPreferences::kBackupSuffix}) {
        const std::string path = store + suffix;
        if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 && errno != ENOENT)
            LUMO_LOG("FTPConnSettingsList::save() chmod(%s): %s", path.c_str(), std::strerror(errno));
    }
}

} // namespace

std::string FTPConnSettingsStruct::loginUser() const {
    return anonymousEnabled ? "anonymous" : username;
}

bool FTPConnSettingsStruct::validProtocolType() const {
    if (protocolType == kProtocolFTP)
        return true;
    LUMO_LOG("FTPConnSettingsStruct: invalid protocol type %d\n", protocolType);
    return false;
}

std::string FTPConnSettingsStruct::destinationFolder() const {
    std::string folder = uploadPath;
    if (autoincSuffixEnabled && !folderName.empty()) {
        if (!folder.empty() && folder.back() != '/')
            folder += '/';
        folder += folderName + std::to_string(autoincSuffix);
    }
    return folder;
}

CILA::VObject FTPConnSettingsStruct::toVObject() const {
    VObject record = VObject::makeHash();
    record.store("settingsName", settingsName);
    record.store("ftpServer", ftpServer);
    record.store("ftpPort", ftpPort);
    record.store("username", username);
    record.store("password", password);
    record.store("anonymousEnabled", anonymousEnabled);
    record.store("passiveEnabled", passiveEnabled);
    record.store("uploadPath", uploadPath);
    record.store("copyOptions", copyOptions);
    record.store("autoincSuffixEnabled", autoincSuffixEnabled);
    record.store("folderName", folderName);
    record.store("autoincSuffix", autoincSuffix);
    record.store("protocolType", protocolType);
    record.store("ftpsEnabled", tlsEnabled);
    record.store("ftpsPinnedCertificate", tlsPinnedCertificate);
    return record;
}

std::optional<FTPConnSettingsStruct> FTPConnSettingsStruct::fromVObject(const CILA::VObject& record) {
    if (record.dataType() != VObject::DT_HASH)
        return std::nullopt;
    FTPConnSettingsStruct s;
    readString(record, "settingsName", s.settingsName);
    readString(record, "ftpServer", s.ftpServer);
    readInt(record, "ftpPort", s.ftpPort);
    readString(record, "username", s.username);
    readString(record, "password", s.password);
    readBool(record, "anonymousEnabled", s.anonymousEnabled);
    readBool(record, "passiveEnabled", s.passiveEnabled);
    readString(record, "uploadPath", s.uploadPath);
    readInt(record, "copyOptions", s.copyOptions);
    readBool(record, "autoincSuffixEnabled", s.autoincSuffixEnabled);
    readString(record, "folderName", s.folderName);
    readInt(record, "autoincSuffix", s.autoincSuffix);
    readInt(record, "protocolType", s.protocolType);
    readBool(record, "ftpsEnabled", s.tlsEnabled);
    readString(record, "ftpsPinnedCertificate", s.tlsPinnedCertificate);
    return s;
}

namespace FTPConnSettingsList {

bool save(const FTPConnSettingsStruct& settings) {
    if (settings.settingsName.empty())
        return false;
    const std::shared_ptr<CPreferences> prefs = CPreferences::instance();
    if (!prefs)
        return false;
    VObject records = savedRecords(*prefs);
    bool replaced = false;
    for (VObject& record : records.getvec()) {
        if (recordName(record) == settings.settingsName) {
            record = settings.toVObject();
            replaced = true;
        }
    }
    if (!replaced)
        records.append(settings.toVObject());
    if (!prefs->setValue(kPrefFTPConnections, records) || !prefs->save()) {
        LUMO_LOG("FTPConnSettingsList::save() could not save the connection '%s'.",
                 settings.settingsName.c_str());
        return false;
    }
    restrictToOwner(prefs->path());
    return true;
}

std::optional<FTPConnSettingsStruct> load(const std::string& name) {
    for (FTPConnSettingsStruct& settings : list()) {
        if (settings.settingsName == name)
            return std::move(settings);
    }
    return std::nullopt;
}

std::vector<FTPConnSettingsStruct> list() {
    std::vector<FTPConnSettingsStruct> found;
    const std::shared_ptr<CPreferences> prefs = CPreferences::instance();
    if (!prefs)
        return found;
    const VObject records = savedRecords(*prefs);
    for (const VObject& record : records.getvec()) {
        if (std::optional<FTPConnSettingsStruct> settings = FTPConnSettingsStruct::fromVObject(record))
            found.push_back(std::move(*settings));
    }
    return found;
}

bool remove(const std::string& name) {
    const std::shared_ptr<CPreferences> prefs = CPreferences::instance();
    if (!prefs)
        return false;
    VObject records = savedRecords(*prefs);
    VObject kept = VObject::makeVector();
    bool removed = false;
    for (const VObject& record : records.getvec()) {
        if (recordName(record) == name)
            removed = true;
        else
            kept.append(record);
    }
    if (!removed)
        return false;
    return prefs->setValue(kPrefFTPConnections, kept) && prefs->save();
}

} // namespace FTPConnSettingsList
