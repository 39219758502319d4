#pragma once

// Finding a free name for a file in a destination folder: the clash test and the five ways of making a
// taken name free (the preference "RenameResolutionStyle").

#include <string>
#include <vector>

enum RenameResolutionStyle : int {
    kResolveAppendLetter = 0,       // "Append letter when needed (A, B, C)"
    kResolveAppendDigit = 1,        // "Append a digit when needed (1, 2, 3)"
    kResolveAlwaysAppendDigit = 2,  // "Always append a digit (1, 2, 3)"
    kResolveAppendDigits = 3,       // "Append digits when needed (01, 02, 03)"
    kResolveAlwaysAppendDigits = 4, // "Always append digits (01, 02, 03)"
};

// The text of a style's choice; empty outside 0..4.
const char* RenameResolutionStyleText(int style);
// The preference "RenameResolutionStyle" (0 when unset or out of range).
int RenameResolutionStyleFromPreferences();

// `extension` in the case the preference "UseUppercaseExtensions" asks for: 0 lower, 1 upper, 2 and 3 the
// case of `caseOf`'s first letter (upper when it has no letter).
std::string ExtensionInPreferredCase(const std::string& extension, const std::string& caseOf);

// Whether `path` is taken: claimed, present on disk, or one of its companion names (the path with its
// extension replaced by each of `companionExtensions`, given without the dot) claimed or present.
bool IsPathTaken(const std::string& path, const std::vector<std::string>& claimed,
                 const std::vector<std::string>& companionExtensions);

// Makes `name` free in `folder` by `style`; `callerNamed` (the caller gave the name itself) turns the
// always styles into their when-needed forms. False, with `name` unchanged, when no free name was found
// or the name cannot be made a valid file name; a failure never hands out a taken name.
bool MakeUniqueFileName(const std::string& folder, std::string& name, const std::vector<std::string>& claimed,
                        const std::vector<std::string>& companionExtensions, bool callerNamed, int style);

// Illegal characters (controls, \ / : * ? " < > |) replaced with "-".
std::string ReplaceIllegalFileNameCharacters(const std::string& name);
