#pragma once

// The freedesktop.org Trash: files moved there can be restored by the desktop's file manager.

#include <string>

// Moves `path` into the Trash of its volume (the home Trash when it is on the home's volume, else
// "$topdir/.Trash/$uid" when that is usable, else "$topdir/.Trash-$uid"), writing its ".trashinfo"
// first and removing it again when the move fails. False with `error` set when it could not be trashed;
// the file is then where it was.
bool MoveToTrash(const std::string& path, std::string* error = nullptr);
