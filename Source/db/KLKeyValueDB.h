#pragma once

#include "archive/VObject.h"

#include <memory>
#include <string>
#include <vector>

// A small persistent dictionary from text keys to VObject values, kept in an SQLite file and served by
// a worker thread of its own. Every operation is synchronous: it is posted to the worker and waited
// for. Writes stay in an open transaction until endTransaction(), compact() or the store's
// destruction, so a process that dies loses what was not committed. Errors never propagate: they are
// logged and answered with false. One process-wide lock lets a single key-value operation run at a
// time, in call order.
class KLKeyValueDB {
public:
    // Makes the folders of `path` when missing and opens (or creates) the store; see isOpen().
    static std::unique_ptr<KLKeyValueDB> create(const std::string& path);

    virtual ~KLKeyValueDB() = default;
    // True when "PRAGMA integrity_check" answers "ok"; false for a damaged or unopened file.
    virtual bool integrityCheckDB() = 0;
    // Begins a transaction when none is open, then stores; no commit.
    virtual bool storeKeyValue(const std::string& key, const CILA::VObject& value) = 0;
    // False when the key is absent or its value cannot be read; `value` is then left as it was.
    virtual bool fetchKeyValue(const std::string& key, CILA::VObject& value) = 0;
    virtual bool deleteKeyValue(const std::string& key) = 0;
    virtual bool isOpen() = 0;
    // Commits the open transaction, if any.
    virtual bool endTransaction() = 0;
    // Commits and runs "VACUUM".
    virtual bool compact() = 0;
    // Every key, in order.
    virtual std::vector<std::string> allKeys() = 0;
};
