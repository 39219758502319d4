#pragma once

#include "archive/VObject.h"
#include "db/SQLiteWrapper.h"

#include <memory>
#include <string>
#include <vector>

// A small persistent dictionary from text keys to VObject values, kept in an SQLite file and served by
// a worker thread of its own. Every operation is synchronous: it is posted to the worker and waited
// for. Writes stay in an open transaction until endTransaction(), compact() or the store's
// destruction, so a process that dies loses what was not committed. Errors never propagate: they are
// logged and answered with false (or Failed). One process-wide lock lets a single key-value operation
// run at a time, in call order.
//
// Other processes may use the same file. An operation that finds it locked by one of them waits up to
// the busy timeout before it fails; a failure for that reason is never taken for damage or absence.
// While a write transaction is open, other processes can read but not write: commit soon.
class KLKeyValueDB {
public:
    enum class Integrity {
        Sound,
        Damaged,   // not a database, or its check found faults
        Unchecked, // the check could not run: the file is locked, unreadable or could not be opened
    };
    enum class Outcome { Done, Absent, Failed };

    // Makes the folders of `path` when missing and opens (or creates) the store; see isOpen().
    static std::unique_ptr<KLKeyValueDB> create(const std::string& path,
                                                int busyTimeoutMs = kDefaultBusyTimeoutMs);

    virtual ~KLKeyValueDB() = default;
    // "PRAGMA integrity_check" answering "ok": Sound. Damaged only for what SQLite calls corrupt or not a
    // database; a busy or failing file is Unchecked.
    virtual Integrity checkIntegrity() = 0;
    // True only when the store is Sound.
    virtual bool integrityCheckDB() = 0;
    // Begins a transaction when none is open, then stores; no commit.
    virtual bool storeKeyValue(const std::string& key, const CILA::VObject& value) = 0;
    // Absent or Failed (a value that cannot be read fails) leave `value` as it was.
    virtual Outcome lookupKeyValue(const std::string& key, CILA::VObject& value) = 0;
    // True when lookupKeyValue() is Done.
    virtual bool fetchKeyValue(const std::string& key, CILA::VObject& value) = 0;
    // Begins a transaction when none is open, then deletes; Absent when there was no such key.
    virtual Outcome removeKeyValue(const std::string& key) = 0;
    // True when removeKeyValue() is Done.
    virtual bool deleteKeyValue(const std::string& key) = 0;
    virtual bool isOpen() = 0;
    // Commits the open transaction, if any.
    virtual bool endTransaction() = 0;
    // Commits and runs "VACUUM".
    virtual bool compact() = 0;
    // Every key, in order; false when they cannot be read.
    virtual bool allKeys(std::vector<std::string>& keys) = 0;
    // Writes a consistent snapshot of the committed store to `path`, through a temporary file renamed
    // over it: `path` is either its old self or a whole copy. Refused while a transaction is open.
    virtual bool backupTo(const std::string& path) = 0;
};
