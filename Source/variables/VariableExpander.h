#pragma once

// The {variable} language: a template such as "{datetaken}-{seqn}" turned into text for one photo.
// ExpandVariables scans a template ("{{" and "}}" stand for single braces, a token needs at least two
// characters after its "{", an unterminated token or an unknown name is left whole), evaluates each
// known name for the photo of the context and applies the token's modifiers. A variable whose source is
// missing (no record, no image, no GPS, no profile) yields an empty value but still counts as a variable.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class NRFImageInfoRec;
struct IPTCRec;

struct VariableContext {
    const NRFImageInfoRec* image = nullptr; // may be null
    const IPTCRec* record = nullptr;        // may be null
    std::uint32_t index = 0, total = 0;     // index from 1
    std::int64_t sequence = 0;
    int sequenceDigits = 0;
    std::uint64_t ingestSequence = 0;
    int ingestSequenceDigits = 0;
    int page = 0, pageCount = 0;
    std::string newFileName; // rename/ingest: the name being produced
    std::string jobName;
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
};

// kVariableFileName: values are made safe for a file name (path separators and the characters file
// systems refuse are replaced). kVariableSortable: dates, times and numbers take their sortable forms.
enum : unsigned { kVariableFileName = 1, kVariableSortable = 2 };

struct VariableExpansion {
    std::string text;
    bool expanded = false;     // at least one variable was found in the template
    bool usedSequence = false; // the template used the sequence number (the caller advances it)
};

VariableExpansion ExpandVariables(std::string_view text, const VariableContext& context, unsigned flags);

// The value of one variable by any of its names (long or short); nullopt when the name is no variable.
std::optional<std::string> EvaluateVariable(std::string_view name, const VariableContext&, unsigned flags);

// Applies a token's modifier text (what follows the name's first ":", or its first ";" when it has no
// ":", trimmed) to a value: the substring ("start,length"), then the case (":lc", ":UC", ":PC"), then
// the replacement (":tr:FROM/TO"). Counts are in characters of the UTF-8 text.
std::string ApplyVariableModifiers(std::string value, std::string_view modifiers);

struct VariableInfo {
    const char* name;
    std::vector<std::string> shortForms;
    const char* group;
    const char* help;
    bool listed; // shown to the user; the unlisted names still expand
};

const std::vector<VariableInfo>& VariableList(); // the listed names in order, then the unlisted ones
const VariableInfo* FindVariable(std::string_view anyName);
