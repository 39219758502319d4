#pragma once

// The disk primitives every copy, move and rename of the program's goes through. Each answers success
// as a boolean and, with the "COPY_MOVE_LOGGING" channel on, logs what it did and why it failed (the
// system's error text in readable words); the last failure's text is kept per thread.

#include <atomic>
#include <cstddef>
#include <string>

namespace DiskUtils {

// True when the file system reports the path (a broken symbolic link counts as present: a name that
// is taken).
bool exists(const std::string& path);

// Copies the file's bytes, permissions and time stamps to `dst`, replacing a file there. The bytes go
// to a temporary name beside `dst` first and are synced before they take its name, so `dst` is never
// left half-written. `cancel`, when given and set, stops the copy (false, nothing left behind).
// "DiskUtils::FileCopyWithAttrs(): copying from '%s' to '%s'", "DiskUtils::FileCopyWithAttrs() Error: '%s'".
bool FileCopyWithAttrs(const std::string& src, const std::string& dst,
                       const std::atomic<bool>* cancel = nullptr);

// The same copy, except that an existing `dst` is never replaced (false, "File exists"): the whole
// copy takes the name only when the name is still free.
// With `syncFolder` false the folder is not flushed after the rename (the caller flushes it once after
// several files, or renames the copy again and flushes then); the file's bytes are flushed either way.
bool FileCopyNoReplace(const std::string& src, const std::string& dst,
                       const std::atomic<bool>* cancel = nullptr, bool syncFolder = true);

// Moves a file, across volumes too (copied, synced, then the source removed), never replacing an
// existing `dst`. "DiskUtils::MoveFile(): moving from '%s' to '%s'", "DiskUtils::MoveFile() Error: '%s'".
bool MoveFile(const std::string& src, const std::string& dst);

// Renames within a volume; true at once when both are the same string; never replaces `dst` (the
// three failure texts of the log).
bool Rename(const std::string& src, const std::string& dst);

// Whether a file named "__TMP__XXYYZZQ__.tmp" can be created in `folder` (and removed again).
bool IsWritableFolder(const std::string& folder);

// The last failure's readable text on this thread ("No space left on device").
const std::string& LastErrorText();

// Watches the file copies this thread makes while it is installed (a verified copy digests the source's
// bytes as they are read for the copy, and reads the copy back before it takes its name).
class CopyObserver {
public:
    virtual ~CopyObserver() = default;
    // A copy of `src` begins; its bytes go to the new file `temporary`.
    virtual void copyStarting(const std::string& src, const std::string& temporary) = 0;
    // The next piece of the source's bytes, as read.
    virtual void copyBytes(const char* data, std::size_t size) = 0;
    // Every byte is in `temporary`, flushed, and it is about to take its name: 0 lets it, an errno value
    // fails the copy (the temporary file is removed).
    virtual int copyComplete(const std::string& temporary) = 0;
};
// Installs `observer` for this thread (nullptr removes it); answers the one it replaces.
CopyObserver* SetCopyObserver(CopyObserver* observer);

// Where the log lines go. This layer sits below the program's log, so the layer that owns the log
// installs a sink that checks the "COPY_MOVE_LOGGING" channel and writes the line with its source
// position; until then nothing is logged.
using LogSink = void (*)(const char* file, int line, const std::string& text);
void SetLogSink(LogSink sink);

} // namespace DiskUtils
