#pragma once

// The user's manual arrangement of a contact sheet: ".lumoarrangement.dat".
//
// An XML 1.0 document in UTF-8, indented: the root "Arrangement" holds "FilesArray", whose children
// "item_00000000", "item_00000001", ... hold the file names in display order. A contact sheet of
// several folders keeps its arrangement in a "Multi-Folder" document, which holds "PathsArray" (the
// folders, in the same item form) and "FilesArray" (full paths, since two folders may hold the same
// name). A name that XML cannot carry as text (bytes that are not UTF-8, control characters) is written
// as hexadecimal digits with the attribute hex="1".
//
// Where it lives: a one-folder sheet's arrangement in that folder; a multi-folder one in the cache
// folder, "Arrangements/<digest>.lumoarrangement.dat", the digest taken over the folders sorted and
// joined with newlines, so that the same folders find their arrangement in whatever order they were
// opened.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kArrangementFileName[] = ".lumoarrangement.dat";
// Reading is bounded: a larger file, or one with more items, is not an arrangement.
inline constexpr std::size_t kArrangementMaxFileSize = 64u << 20;
inline constexpr std::size_t kArrangementMaxItems = 1u << 20;

struct ArrangementData {
    bool multiFolder = false;
    std::vector<std::string> paths; // multi-folder: the folders
    std::vector<std::string> files; // display order: names (one folder) or full paths (multi-folder)
};

// Where the arrangement of a sheet showing `folders` is kept (empty for no folder).
std::string ArrangementFilePath(const std::vector<std::string>& folders);

std::string ArrangementToXML(const ArrangementData& arrangement);
// Parses untrusted text: no network, no document type (so no entities), bounded in size and items.
// False when the text is not an arrangement.
bool ArrangementFromXML(const std::string& text, ArrangementData& out);

// Reads the file at `path`; false (logged unless it is simply absent) when there is none to use.
bool ReadArrangementFile(const std::string& path, ArrangementData& out);
// Writes through a temporary file renamed into place: the old arrangement stays whole until the new
// one is. 0 or an errno value.
int WriteArrangementFile(const std::string& path, const ArrangementData& arrangement);

// The display order of `names` (the sheet's files in listing order) under `arranged`: the names that
// the arrangement holds first, in its order, then the others in their listing order. Names the
// arrangement holds that are not listed are left out. Answers indexes into `names`.
std::vector<std::uint32_t> ArrangedOrder(const std::vector<std::string>& arranged,
                                         const std::vector<std::string>& names);
