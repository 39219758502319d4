#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

// One name in a folder and what the listing saw it to be. A name that arrived after the folder was read
// may be Unknown: look at it to tell.
struct FolderEntry {
    enum class Kind : std::uint8_t { Unknown, File, Folder, Link, Other };
    std::string name;
    Kind kind = Kind::Unknown;
};

// The names in folders, each folder read once and kept for the life of the process, so that work on
// many photos of one folder costs one reading of it and not one per photo, however large it is. A
// folder is the same folder however its path is spelt.
//
// The kernel's change notifications keep each kept listing up to date, the program's own writes
// included. When they are not to be had (no notification could be set up), a listing is used again
// only while the folder's modification time is unchanged and was at least two seconds old when the
// folder was read, since a coarse time stamp may not show a name added in the same tick. A change the
// notifications do not report (a share changed from another machine) is noticed by the modification
// time when nothing else changed at the same time. At most a few dozen folders are kept; the least
// recently used one goes first. Safe to use from any thread. Functions answer 0 or an errno value.
class FolderListing {
public:
    // Every entry of `folder` but "." and "..", sorted by name (byte order).
    static int entries(const std::string& folder, std::vector<FolderEntry>& out);
    // The names in `folder` that begin with `prefix`, sorted.
    static int namesStartingWith(const std::string& folder, const std::string& prefix,
                                 std::vector<std::string>& out);
    // The names in `folder` that equal `name` when ASCII letters are compared without case, sorted.
    static int namesEqualIgnoringCase(const std::string& folder, const std::string& name,
                                      std::vector<std::string>& out);

    // How many times a folder was read from the file system since the process started.
    static std::uint64_t readCount();
    // Forgets every kept listing; the next question about a folder reads it again.
    static void forgetAll();
    // For tests: works without change notifications (as when none can be had), or with them again.
    // Forgets every kept listing.
    static void useChangeNotifications(bool use);
};

} // namespace lumo
