#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

// Trims ASCII white space (space, tab, CR, LF, VT, FF) from both ends.
std::string_view trim(std::string_view text);

// Compares ASCII letters without regard to case.
bool iequals(std::string_view a, std::string_view b);

// Splits at "\r\n", "\n" or "\r". A final line terminator does not start an empty line.
std::vector<std::string_view> splitLines(std::string_view text);

// Splits at runs of ASCII white space; never yields empty tokens.
std::vector<std::string_view> splitWhitespace(std::string_view text);

// Appends the code point as UTF-8; a surrogate or a value above U+10FFFF becomes U+FFFD.
void appendUtf8(std::string& out, std::uint32_t codePoint);

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// stray or missing continuation bytes.
bool isValidUtf8(std::string_view text);
// `text` with each ill-formed piece (the longest start of a sequence that cannot go on, or a stray
// byte) replaced by U+FFFD; well-formed text comes back as it is.
std::string toValidUtf8(std::string_view text);

// The number of single-character insertions, deletions and substitutions that turn one text into the
// other, ASCII letters compared without regard to case.
std::size_t editDistance(std::string_view a, std::string_view b);
// The candidate `word` was most likely meant to be: the nearest by edit distance, when it is a slip of
// a few letters (at most two, or a third of the word) or the word is its beginning; empty when none is
// that near.
std::string nearestWord(std::string_view word, const std::vector<std::string>& candidates);

// Removes a leading UTF-8 byte-order mark.
std::string_view stripByteOrderMark(std::string_view text);

// The last component of a path ("a/b/c.cpp" gives "c.cpp"); both '/' and '\' separate.
std::string_view baseName(std::string_view path);

std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatStringV(const char* format, va_list args);

// A random (version 4) GUID in upper-case hexadecimal, without braces:
// "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::string newGuidString();

// A field of a tab-separated line: tabs, line breaks and backslashes written as \t, \n, \r and \\, so that
// the field stays one column of one line.
std::string tsvField(std::string_view text);

} // namespace lumo
