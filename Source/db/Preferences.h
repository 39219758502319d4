#pragma once

#include "archive/VObject.h"
#include "db/KLKeyValueDB.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class StoreLock;

// The user's preferences: a key-value store in the settings folder, opened once at start-up and
// closed at shutdown. Keys are the settings' names ("SortCacheDays"); values are VObjects. Changes are
// kept in an open transaction until save() (or closing) commits them; while they are, other processes
// cannot write the preferences, so save soon.
//
// Several processes may have the preferences open at once. Each holds a shared lock on
// "<store>.lock" while it does; the store's file is only ever replaced (a damaged store set aside, a
// first store made) under the exclusive lock, so never while another process is using it.
class CPreferences {
public:
    static constexpr char kFileName[] = "com.kestrellabs.Lumograph.prefsdb";
    static constexpr char kBackupSuffix[] = ".bak";
    static constexpr char kLockSuffix[] = ".lock";
    // A small text file beside the store telling when a damaged store was last replaced, and by what.
    static constexpr char kRestoredSuffix[] = ".restored";

    struct Restoration {
        std::string time;        // local time, "2026-12-06 14:15:02"
        std::string from;        // the last good copy put in its place; empty: an empty store was
        std::string damagedCopy; // where the damaged store was kept
    };

    // Opens the process's preferences (settings folder from LumoPaths). On the first start, the older
    // preferences file is converted when there is one. A sound store is backed up to ".bak"; a damaged
    // one is set aside under a new name and replaced by the last good copy, or by an empty store; a
    // store that cannot be checked (busy for long, unreadable) is used as it is. False when no store
    // can be opened or created.
    static bool GetPreferences();
    // Commits them and lets them go: the store closes now, or when the last holder of what instance()
    // gave lets go of it (committing what it wrote meanwhile).
    static void ClosePreferences();
    // The open preferences, or null before GetPreferences() and after ClosePreferences(). Never waits
    // for an opening or closing in progress. The object stays valid for as long as it is held; hold it
    // for the work at hand only, since a store kept open after closing also keeps the next open from
    // setting a damaged store aside.
    static std::shared_ptr<CPreferences> instance();
    // Counts the changes this process made to its preferences (values set or removed, the store opened
    // or closed): a reader that keeps a value for speed reads it again when the count has moved.
    static std::uint64_t changeCount();

    std::int64_t getInt(const std::string& key, std::int64_t defaultValue) const;
    bool getBool(const std::string& key, bool defaultValue) const;
    double getDouble(const std::string& key, double defaultValue) const;
    std::string getString(const std::string& key, const std::string& defaultValue) const;
    // False (and `value` untouched) when the key is absent or cannot be read.
    bool getValue(const std::string& key, CILA::VObject& value) const;
    // Tells an absent key from one that cannot be read now.
    KLKeyValueDB::Outcome lookupValue(const std::string& key, CILA::VObject& value) const;

    bool setInt(const std::string& key, std::int64_t value) { return setValue(key, CILA::VObject(value)); }
    bool setBool(const std::string& key, bool value) { return setValue(key, CILA::VObject(value)); }
    bool setDouble(const std::string& key, double value) { return setValue(key, CILA::VObject(value)); }
    bool setString(const std::string& key, const std::string& value) {
        return setValue(key, CILA::VObject(value));
    }
    bool setValue(const std::string& key, const CILA::VObject& value);
    // Absent when there was no such key.
    KLKeyValueDB::Outcome remove(const std::string& key);
    // Every key in order; nullopt when they cannot be read.
    std::optional<std::vector<std::string>> keys() const;

    // Commits every change made so far.
    bool save();
    KLKeyValueDB::Integrity integrity() const;
    // The last replacement of a damaged store, when there was one.
    std::optional<Restoration> lastRestoration() const;
    const std::string& path() const { return m_path; }

    explicit CPreferences(std::string path);
    ~CPreferences();
    bool isOpen() const;

private:
    static std::unique_ptr<CPreferences> open(const std::string& folder, const std::string& path);

    std::string m_path;
    std::unique_ptr<StoreLock> m_lock; // released after the store is closed
    std::unique_ptr<KLKeyValueDB> m_store;

    // Values read lately (see lookupValue).
    struct KeptRead {
        KLKeyValueDB::Outcome outcome;
        CILA::VObject value;
        std::uint64_t change = 0; // changeCount() when read
        std::chrono::steady_clock::time_point at;
    };
    static constexpr std::size_t kMaxKeptReads = 512;
    mutable std::mutex m_readsLock;
    mutable std::unordered_map<std::string, KeptRead> m_reads;
};
