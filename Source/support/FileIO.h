#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lumo {

// Every file read and write of the program goes through this layer, so that tests can make any of
// them fail on purpose (see FileFault below). Functions return 0 or an errno value; none throws.

class PendingReplace;

class File {
public:
    enum class Mode {
        Read,      // existing file, read only
        Append,    // write at the end, created when missing
        Truncate,  // write from the start, created when missing, emptied when present
        CreateNew, // write; fails with EEXIST when the file is there already
        Update,    // existing file, read and written in place (only for writes that cannot grow it)
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int open(const std::string& path, Mode mode, mode_t permissions = 0644);
    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

    // Reads up to `size` bytes; `got` receives how many arrived (0 at the end of the file).
    int read(void* buffer, std::size_t size, std::size_t& got);
    int readAt(void* buffer, std::size_t size, std::uint64_t offset, std::size_t& got);
    // Writes every byte or reports why not; `written` (when given) receives how many went out.
    int write(const void* data, std::size_t size, std::size_t* written = nullptr);
    // Writes at a position without moving the file offset (Update mode).
    int writeAt(const void* data, std::size_t size, std::uint64_t offset);
    int sync();
    int size(std::uint64_t& out) const;
    int close();

private:
    friend class PendingReplace;
    friend int flushPending(const std::vector<PendingReplace*>& replaces, std::vector<std::size_t>* failed);
    int readFaulted(std::size_t size, std::size_t& got, const std::function<ssize_t(std::size_t)>& readSome);

    int m_fd = -1;
    std::string m_path;
};

int fileSize(const std::string& path, std::uint64_t& out);
bool fileExists(const std::string& path);
// Replaces `to` atomically when it exists.
int renameFile(const std::string& from, const std::string& to);
int removeFile(const std::string& path);
// Creates the folder and any missing parents; 0 when it exists already.
int createDirectories(const std::string& path);
// A new version of a file, written beside it under a name no other writer uses and flushed to disk,
// that takes the file's place only on commit(): until then the file is untouched, and a PendingReplace
// that goes without commit() removes what it wrote. The new version keeps the replaced file's permission
// bits exactly (the umask does not apply), its owner and group when the process may set them, and its
// extended attributes; a new file gets 0666 less the umask. When the path is a symbolic link the file it
// leads to is replaced and the link stays (a link that leads nowhere is refused). Temporary files of
// the same target that a dead process left behind are removed.
class PendingReplace {
public:
    PendingReplace() = default;
    ~PendingReplace() { discard(); }
    PendingReplace(PendingReplace&& other) noexcept;
    PendingReplace& operator=(PendingReplace&& other) noexcept;
    PendingReplace(const PendingReplace&) = delete;
    PendingReplace& operator=(const PendingReplace&) = delete;

    // Writes the new version of `to`: `fill` writes its content. 0 or an errno value; on failure nothing
    // is left behind.
    // With `flush` false the new version is not yet on disk: flushPending() must run before commit().
    int prepare(const std::string& to, const std::function<int(File&)>& fill, bool flush = true);
    int prepare(const std::string& to, const std::string& bytes, bool flush = true);
    // Renames the new version over the target and flushes the folder (unless the caller flushes it
    // itself later, after many files: syncFolderOf). 0 or an errno value (the target is then as it was).
    int commit(bool syncFolder = true);
    // Removes the new version, if one is pending.
    void discard();
    bool pending() const { return m_pending; }
    // The file that is replaced (the end of a symbolic link) and the temporary file's name (kept after
    // a failure, a commit or a discard, for messages).
    const std::string& target() const { return m_target; }
    const std::string& temporary() const { return m_temporary; }

private:
    std::string m_target;
    std::string m_temporary;
    bool m_pending = false;
};

// Puts the new versions that prepare() left unflushed on disk: their write-back is started for all of
// them first; then more than two files on one file system are flushed with one flush of that file
// system, others each on its own. 0 or the first errno value; `failed` (when given) receives the
// indexes that could not be flushed.
int flushPending(const std::vector<PendingReplace*>& replaces, std::vector<std::size_t>* failed = nullptr);

// For writers that make their own temporary file "<target>.tmp-<pid>-<n>" and rename it (a database
// backup): removes those a process that has ended left behind, and flushes a folder after a rename.
void removeTemporaryLeftovers(const std::string& target);
void syncFolderOf(const std::string& file);

// Keeps the files that a batch of renames is about to replace open until release(), then lets go of
// them from a few threads at once. Freeing a replaced file's blocks happens when its last user lets go
// and may wait on the disk (a file system mounted with "discard" trims the blocks as they are freed):
// many such waits then overlap instead of adding up, and the renames themselves do not wait. Nothing
// about the files changes; a file that cannot be opened is simply not kept.
class ReplacedFiles {
public:
    ReplacedFiles() = default;
    ~ReplacedFiles() { release(); }
    ReplacedFiles(const ReplacedFiles&) = delete;
    ReplacedFiles& operator=(const ReplacedFiles&) = delete;

    void keep(const std::string& path);
    void release();

private:
    std::vector<int> m_fds;
};

// Copies `from` to `to` through a temporary file beside `to` that is flushed to disk and then renamed
// over it: `to` is either its old self or a whole copy, never a part (see PendingReplace).
int copyFileReplacing(const std::string& from, const std::string& to);
// What a replacing write did, for the caller's own messages: the temporary file's name and whether the
// failure (if any) was the final rename.
struct ReplaceReport {
    std::string temporary;
    bool renameFailed = false;
};
// Writes `bytes` to `to` through a PendingReplace, committed at once: `to` is either untouched or whole,
// and no temporary file is left behind. 0 or an errno value.
int writeFileReplacing(const std::string& to, const std::string& bytes, ReplaceReport* report = nullptr,
                       bool syncFolder = true);
// Reads at most `maxBytes` from the start of the file.
int readFile(const std::string& path, std::string& out, std::size_t maxBytes);

// A failure to inject. Each fault applies to the operations of its kind on paths that contain
// `pathContains` (every path when empty), until clearFileFaults() or until it has fired `times` times.
struct FileFault {
    enum class Op { Open, Read, Write, Sync, Rename, Remove, CreateDirectories };
    Op op = Op::Write;
    int error = EIO;
    std::string pathContains;
    // Read and Write: this many bytes (counted over every matching call) pass before the failure, so a
    // write that crosses the mark is a short write.
    std::uint64_t afterBytes = 0;
    // Write: instead of failing, end the process at once with kInjectedCrashExitCode, as a kill or
    // power cut would, leaving what was written so far.
    bool crash = false;
    int times = -1; // -1: every time
};

inline constexpr int kInjectedCrashExitCode = 86;

void injectFileFault(const FileFault& fault);
void clearFileFaults();

} // namespace lumo
