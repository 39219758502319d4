#pragma once

#include <string>

// The product's name and version as the log header and `--version` show them.
inline constexpr char kProductName[] = "Lumograph Plus";

// "build N (hash)": N the commit count and hash the short commit id when the build was configured.
std::string buildText();

// "Lumograph Plus version 6.0.0.0 build N (hash)"
std::string versionLine();
