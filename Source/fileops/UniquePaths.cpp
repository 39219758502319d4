#include "fileops/UniquePaths.h"

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
