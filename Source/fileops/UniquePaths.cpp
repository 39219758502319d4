#include "fileops/UniquePaths.h"

#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/DiskUtils.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>

const char* RenameResolutionStyleText(int style) {
    static const char* const kTexts[] = {
        "Append letter when needed (A, B, C)", "Append a digit when needed (1, 2, 3)",
        "Always append a digit (1, 2, 3)",     "Append digits when needed (01, 02, 03)",
        "Always append digits (01, 02, 03)",
    };
    return style >= 0 && style < 5 ? kTexts[style] : "";
}

std::string ReplaceIllegalFileNameCharacters(const std::string& name) {
    std::string out = name;
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || c == '\\' || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|')
            c = '-';
    }
    return out;
}

int RenameResolutionStyleFromPreferences() {
    std::int64_t style = kPrefRenameResolutionStyleDefault;
    if (const auto preferences = CPreferences::instance())
        style = preferences->getInt(kPrefRenameResolutionStyle, kPrefRenameResolutionStyleDefault);
    return style >= 0 && style <= 4 ? static_cast<int>(style) : 0;
}

std::string ExtensionInPreferredCase(const std::string& extension, const std::string& caseOf) {
    std::int64_t setting = kPrefUseUppercaseExtensionsDefault;
    if (const auto preferences = CPreferences::instance())
        setting = preferences->getInt(kPrefUseUppercaseExtensions, kPrefUseUppercaseExtensionsDefault);
    bool upper = setting == 1;
    if (setting >= 2) {
        upper = true;
        for (const char c : caseOf)
            if (std::isalpha(static_cast<unsigned char>(c))) {
                upper = std::isupper(static_cast<unsigned char>(c)) != 0;
                break;
            }
    }
    std::string out = extension;
    for (char& c : out)
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    return out;
}

namespace {

bool takenOnDisk(const std::string& path, const std::vector<std::string>& claimed) {
    return std::find(claimed.begin(), claimed.end(), path) != claimed.end() || DiskUtils::exists(path);
}

std::string caseOf(std::string text, bool upper) {
    for (char& c : text)
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The position of the name's extension dot, or the end when it has none (a leading dot is no
// extension: ".hidden").
std::size_t insertionPoint(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name.size() : dot;
}

bool isValidFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && ReplaceIllegalFileNameCharacters(name) == name;
}

std::string numberText(int number, int width) {
    char text[16];
    std::snprintf(text, sizeof text, width == 2 ? "%02d" : "%d", number);
    return text;
}

} // namespace

bool IsPathTaken(const std::string& path, const std::vector<std::string>& claimed,
                 const std::vector<std::string>& companionExtensions) {
    if (takenOnDisk(path, claimed))
        return true;
    if (companionExtensions.empty())
        return false;
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    const std::string base = dot != std::string::npos && dot > nameStart ? path.substr(0, dot) : path;
    for (const std::string& extension : companionExtensions) {
        // The file system tells letter case apart: the companion counts in the case given and in upper
        // and lower case, as the engine finds attached files in either.
        for (const std::string& form : {extension, caseOf(extension, true), caseOf(extension, false)})
            if (takenOnDisk(base + "." + form, claimed))
                return true;
    }
    return false;
}

bool MakeUniqueFileName(const std::string& folder, std::string& name, const std::vector<std::string>& claimed,
                        const std::vector<std::string>& companionExtensions, bool callerNamed, int style) {
    if (style < kResolveAppendLetter || style > kResolveAlwaysAppendDigits)
        style = kResolveAppendLetter;
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    std::string work = name;
    const std::size_t at = insertionPoint(work);
    const int width = style >= kResolveAppendDigits ? 2 : 1;
    const bool always =
        !callerNamed && (style == kResolveAlwaysAppendDigit || style == kResolveAlwaysAppendDigits);
    std::size_t inserted = 0; // length of the suffix now at `at`
    if (always) {
        const std::string one = numberText(1, width);
        work.insert(at, one);
        inserted = one.size();
    }
    if (!isValidFileName(work)) {
        work = ReplaceIllegalFileNameCharacters(work);
        if (!isValidFileName(work))
            return false;
    }
    auto taken = [&](const std::string& candidate) {
        return IsPathTaken(prefix + candidate, claimed, companionExtensions);
    };
    if (!taken(work)) {
        name = work;
        return true;
    }
    if (style == kResolveAppendLetter) {
        work.insert(at, "A");
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            work[at] = letter;
            if (!taken(work)) {
                name = work;
                return true;
            }
        }
        return false;
    }
    int number = 1;
    if (inserted == 0) {
        const std::string one = numberText(1, width);
        work.insert(at, one);
        inserted = one.size();
    } else {
        number = 2; // the always styles' 1 was taken
        const std::string two = numberText(number, width);
        work.replace(at, inserted, two);
        inserted = two.size();
    }
    for (;;) {
        if (!taken(work)) {
            name = work;
            return true;
        }
        if (++number > 99)
            return false;
        const std::string next = numberText(number, width);
        work.replace(at, inserted, next);
        inserted = next.size();
    }
}
