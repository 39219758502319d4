#pragma once

#include "archive/VObject.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class KLKeyValueDB;

// The user's preferences: a key-value store in the settings folder, opened once at start-up and
// closed at shutdown. Keys are the settings' names ("SortCacheDays"); values are VObjects. Changes are
// kept in an open transaction until save() (or closing) commits them.
class CPreferences {
public:
    static constexpr char kFileName[] = "com.kestrellabs.Lumograph.prefsdb";
    static constexpr char kBackupSuffix[] = ".bak";

    // Opens the process's preferences (settings folder from LumoPaths). A sound store is copied to
    // ".bak"; a damaged one is set aside under a new name and replaced by the last good copy, or by an
    // empty store. False when no store can be opened or created.
    static bool GetPreferences();
    // Commits and closes them.
    static void ClosePreferences();
    // The open preferences, or null before GetPreferences() and after ClosePreferences().
    static CPreferences* instance();

    std::int64_t getInt(const std::string& key, std::int64_t defaultValue) const;
    bool getBool(const std::string& key, bool defaultValue) const;
    double getDouble(const std::string& key, double defaultValue) const;
    std::string getString(const std::string& key, const std::string& defaultValue) const;
    // False (and `value` untouched) when the key is absent.
    bool getValue(const std::string& key, CILA::VObject& value) const;

    bool setInt(const std::string& key, std::int64_t value) { return setValue(key, CILA::VObject(value)); }
    bool setBool(const std::string& key, bool value) { return setValue(key, CILA::VObject(value)); }
    bool setDouble(const std::string& key, double value) { return setValue(key, CILA::VObject(value)); }
    bool setString(const std::string& key, const std::string& value) {
        return setValue(key, CILA::VObject(value));
    }
    bool setValue(const std::string& key, const CILA::VObject& value);
    // False when there was no such key.
    bool remove(const std::string& key);
    std::vector<std::string> keys() const;

    // Commits every change made so far.
    bool save();
    bool integrityCheck() const;
    const std::string& path() const { return m_path; }

    explicit CPreferences(std::string path);
    ~CPreferences();
    bool isOpen() const;

private:
    std::string m_path;
    std::unique_ptr<KLKeyValueDB> m_store;
};
