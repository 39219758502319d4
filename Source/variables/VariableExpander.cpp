#include "variables/VariableExpander.h"

#include "variables/VariableValues.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kTrimmed = " \t\r\n";

std::string_view trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kTrimmed);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kTrimmed) - first + 1);
}

// Sequence digits come from the user: kept to what a 64-bit number can fill.
int boundedDigits(int digits) {
    return std::clamp(digits, 0, 20);
}

std::string printed(const char* format, auto... values) {
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, format, values...);
    return length <= 0 ? std::string()
                       : std::string(buffer, std::min<std::size_t>(length, sizeof buffer - 1));
}

int randomBetween(int low, int high) {
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<int>(low, high)(generator);
}

std::string_view withoutExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.find_last_of("/\\");
    if (dot == std::string_view::npos || dot == 0 || (slash != std::string_view::npos && dot <= slash + 1))
        return name;
    return name.substr(0, dot);
}

// The special variables: counters of the running operation, layout characters, random numbers and the
// name being produced. False when `name` (a long name) is of another family.
bool specialValue(std::string_view name, const VariableContext& context, std::string& out,
                  bool& usedSequence) {
    if (name == "sequence") {
        out = printed("%0*" PRId64, boundedDigits(context.sequenceDigits), context.sequence);
        usedSequence = true;
    } else if (name == "ingestseq") {
        out = printed("%0*" PRIu64, boundedDigits(context.ingestSequenceDigits), context.ingestSequence);
    } else if (name == "index") {
        out = std::to_string(context.index);
    } else if (name == "total") {
        out = std::to_string(context.total);
    } else if (name == "page") {
        out = std::to_string(context.page);
    } else if (name == "pagecount") {
        out = std::to_string(context.pageCount);
    } else if (name == "tab") {
        out = "\t";
    } else if (name == "nl") {
        out = "\r\n";
    } else if (name == "rand3") {
        out = printed("%03d", randomBetween(0, 999));
    } else if (name == "rand4") {
        out = printed("%04d", randomBetween(0, 9999));
    } else if (name == "rand10") {
        out = printed("%02d", randomBetween(1, 10));
    } else if (name == "rand100") {
        out = printed("%03d", randomBetween(1, 100));
    } else if (name == "rand1000") {
        out = printed("%04d", randomBetween(1, 1000));
    } else if (name == "newfilename") {
        out = context.newFileName;
    } else if (name == "newfilenamebase") {
        out = std::string(withoutExtension(context.newFileName));
    } else {
        return false;
    }
    return true;
}

// The value of a known variable before its modifiers; a missing source gives "".
std::string variableValue(const VariableInfo& info, const VariableContext& context, unsigned flags,
                          bool& usedSequence) {
    std::string value;
    if (!specialValue(info.name, context, value, usedSequence) &&
        !VariableFamilyValue(info.name, context, flags, value))
        value.clear();
    return value;
}

// File-name mode: path separators and the characters file systems refuse become "-". A value that is
// only "." or ".." would name the folder itself or its parent, so its dots become "-" as well.
void makeFileNameSafe(const VariableInfo& info, std::string& value) {
    const std::string_view name = info.name;
    if (name == "folderpath" || name == "parentfolderpath")
        return;
    static constexpr std::string_view kRefused("\\/:*?\"<>|\r\n\t\0", 13);
    for (char& c : value)
        if (kRefused.find(c) != std::string_view::npos)
            c = '-';
    if (value == "." || value == "..")
        std::fill(value.begin(), value.end(), '-');
}

// The byte offsets where the characters of UTF-8 `text` start, and its size at the end. A byte that
// starts no valid sequence counts as a character of its own.
std::vector<std::size_t> characterStarts(std::string_view text) {
    std::vector<std::size_t> starts;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::int32_t length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::int32_t at = 0;
    while (at < length) {
        starts.push_back(static_cast<std::size_t>(at));
        UChar32 c;
        U8_NEXT(bytes, at, length, c);
        (void)c;
    }
    starts.push_back(text.size());
    return starts;
}

// Reads a number as "%d" would: spaces, an optional sign, at least one digit. Large values saturate.
bool readNumber(std::string_view text, std::size_t& at, long long& number) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    bool negative = false;
    std::size_t pos = at;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+'))
        negative = text[pos++] == '-';
    if (pos >= text.size() || text[pos] < '0' || text[pos] > '9')
        return false;
    long long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = std::min<long long>(value * 10 + (text[pos] - '0'), INT_MAX);
        ++pos;
    }
    number = negative ? -value : value;
    at = pos;
    return true;
}

void applySubstring(std::string& value, std::string_view modifiers) {
    std::size_t at = 0;
    long long start = 0, length = 0;
    if (!readNumber(modifiers, at, start))
        return;
    const bool hasLength =
        at < modifiers.size() && modifiers[at] == ',' && readNumber(modifiers, ++at, length);

    const std::vector<std::size_t> starts = characterStarts(value);
    const long long count = static_cast<long long>(starts.size()) - 1;
    long long first = start < 0 ? std::max(0LL, count + start) : std::min(start, count);
    long long last = count;
    if (hasLength) {
        if (length > 0)
            last = std::min(count, first + length);
        else if (length < 0)
            last = std::max(first, count + length);
        else
            last = first;
    }
    value = value.substr(starts[first], starts[last] - starts[first]);
}

enum class CaseChange { Lower, Upper, Proper };

void applyCase(std::string& value, CaseChange change) {
    std::string out;
    out.reserve(value.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(value.data());
    const std::int32_t length = static_cast<std::int32_t>(std::min<std::size_t>(value.size(), INT32_MAX));
    bool inWord = false;
    std::int32_t at = 0;
    while (at < length) {
        const std::int32_t start = at;
        UChar32 c;
        U8_NEXT(bytes, at, length, c);
        if (c < 0) {
            out.append(value, static_cast<std::size_t>(start), static_cast<std::size_t>(at - start));
            inWord = false;
            continue;
        }
        UChar32 changed = c;
        if (change == CaseChange::Lower) {
            changed = u_tolower(c);
        } else if (change == CaseChange::Upper) {
            changed = u_toupper(c);
        } else {
            const bool letter = u_isalpha(c);
            if (letter)
                changed = inWord ? u_tolower(c) : u_toupper(c);
            inWord = letter || (inWord && (c == '\'' || c == 0x2019));
        }
        std::uint8_t encoded[U8_MAX_LENGTH];
        std::int32_t size = 0;
        UBool error = false;
        U8_APPEND(encoded, size, U8_MAX_LENGTH, changed, error);
        if (error)
            out.append(value, static_cast<std::size_t>(start), static_cast<std::size_t>(at - start));
        else
            out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(size));
    }
    value = std::move(out);
}

// Reads one part of "FROM/TO": up to an unescaped "/" (true) or the end (false); "\\" is a backslash
// and "\/" a slash.
bool readTranslationPart(std::string_view text, std::size_t& at, std::string& part) {
    while (at < text.size()) {
        const char c = text[at++];
        if (c == '/')
            return true;
        if (c == '\\' && at < text.size() && (text[at] == '\\' || text[at] == '/'))
            part += text[at++];
        else
            part += c;
    }
    return false;
}

void applyTranslation(std::string& value, std::string_view modifiers) {
    const std::size_t found = modifiers.find(":tr:");
    if (found == std::string_view::npos)
        return;
    std::size_t at = found + 4;
    std::string from, to;
    if (!readTranslationPart(modifiers, at, from) || readTranslationPart(modifiers, at, to) || from.empty())
        return;
    std::string out;
    std::size_t position = 0;
    for (std::size_t hit; (hit = value.find(from, position)) != std::string::npos;
         position = hit + from.size())
        out.append(value, position, hit - position).append(to);
    out.append(value, position);
    value = std::move(out);
}

} // namespace

std::string ApplyVariableModifiers(std::string value, std::string_view modifiers) {
    if (modifiers.empty())
        return value;
    applySubstring(value, modifiers);
    if (modifiers.find(":lc") != std::string_view::npos)
        applyCase(value, CaseChange::Lower);
    else if (modifiers.find(":UC") != std::string_view::npos)
        applyCase(value, CaseChange::Upper);
    else if (modifiers.find(":PC") != std::string_view::npos)
        applyCase(value, CaseChange::Proper);
    applyTranslation(value, modifiers);
    return value;
}

std::optional<std::string> EvaluateVariable(std::string_view name, const VariableContext& context,
                                            unsigned flags) {
    const VariableInfo* info = FindVariable(name);
    if (info == nullptr)
        return std::nullopt;
    bool usedSequence = false;
    std::string value = variableValue(*info, context, flags, usedSequence);
    if (flags & kVariableFileName)
        makeFileNameSafe(*info, value);
    return value;
}

VariableExpansion ExpandVariables(std::string_view text, const VariableContext& context, unsigned flags) {
    VariableExpansion result;
    result.text.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        const bool doubled = at + 1 < text.size() && text[at + 1] == c;
        if ((c == '{' || c == '}') && doubled) {
            result.text.append(text, at, 2);
            at += 2;
            continue;
        }
        if (c != '{' || text.size() - at < 3) {
            result.text += c;
            ++at;
            continue;
        }
        const std::size_t close = text.find('}', at + 1);
        if (close == std::string_view::npos) {
            result.text.append(text, at);
            break;
        }
        const std::string_view token = text.substr(at + 1, close - at - 1);
        std::size_t split = token.find(':');
        if (split == std::string_view::npos)
            split = token.find(';');
        const std::string_view name = trim(token.substr(0, split));
        const std::string_view modifiers =
            split == std::string_view::npos ? std::string_view() : trim(token.substr(split + 1));
        const VariableInfo* info = FindVariable(name);
        if (info == nullptr) {
            result.text.append(text, at, close + 1 - at);
        } else {
            std::string value =
                ApplyVariableModifiers(variableValue(*info, context, flags, result.usedSequence), modifiers);
            if (flags & kVariableFileName)
                makeFileNameSafe(*info, value);
            result.text += value;
            result.expanded = true;
        }
        at = close + 1;
    }
    return result;
}
