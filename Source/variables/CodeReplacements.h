#pragma once

// Code replacements: a short code typed between two delimiter characters ("=23=" in a caption) is
// replaced by a longer text looked up in tables the user supplies.
//
// A table file is UTF-8 text, one entry a line: the code, a TAB, the replacement (the rest of the line).
// Lines starting with "//" are directives, tried in this order, or comments:
//   "//$$NAME"   the codes that follow belong to namespace NAME (before the first: "Global"); a
//                namespace declared a second time is an error, and its second set of codes is skipped;
//   "//==NAME"   NAME becomes another name of the current namespace (once);
//   "//##"       the codes that follow belong to "Global" again;
//   "//??LIST"   the current namespace's default codes, items split at "," or TAB; a second list for
//                a namespace is an error and is skipped;
//   any other "//" line is a comment. Lines without a TAB, and lines whose code is empty, are skipped.
//
// Lookup of a code: "NAME:CODE", where NAME is a namespace's name or one of its "//==" names, looks in
// that namespace first. Then the preferred namespace (the setting "CodeReplacementsDefault"), "Global"
// and the other namespaces in the order they were loaded are searched, first for the code exactly and
// then for it with ASCII letters compared without regard to case. Within a namespace the first
// definition of a code holds. Namespace names are compared without regard to ASCII case.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CLumoApp;
struct VariableContext;

// The setting's default and what replaces a delimiter that cannot be used.
inline constexpr char kCodeReplacementsDefaultDelimiter[] = "=";
inline constexpr char kCodeReplacementsGlobalNamespace[] = "Global";
inline constexpr char kCodeReplacementsLoadError[] =
    "While loading Code Replacements, one or more errors occurred.";
inline constexpr char kCodeReplacementsDelimiterRefused[] =
    "Please choose a different Code Replacement delimiter.  The { and } characters are reserved for use "
    "with variables.";
// A table file larger than this is not read (reported as a load error).
inline constexpr std::size_t kCodeReplacementsMaxFileBytes = 64u << 20;

struct CodeReplacementError {
    std::string file;
    int line = 0;        // from 1; 0 when the whole file failed
    std::string message; // one line, naming the file (and the line) itself
};

struct CodeNamespace {
    std::string name;
    std::vector<std::string> names;    // "//==" names, in order, each once
    std::vector<std::string> defaults; // "//??" items, in order
    std::unordered_map<std::string, std::string> codes;
    std::unordered_map<std::string, std::string> foldedCodes; // ASCII lower-cased code -> replacement
    bool declared = false;                                    // by a "//$$" line
    bool hasDefaults = false;
};

class CodeReplacementTable {
public:
    // Adds the entries of one file's text; `fileName` only names it in errors.
    void addText(std::string_view text, const std::string& fileName,
                 std::vector<CodeReplacementError>& errors);
    // Reads the file and adds its entries; false (and an error) when it cannot be read.
    bool addFile(const std::string& path, std::vector<CodeReplacementError>& errors);

    // The replacement of `code`, or null (see the lookup order above).
    const std::string* find(std::string_view code, std::string_view preferredNamespace = {}) const;
    // By its name or one of its "//==" names; null when there is none.
    const CodeNamespace* findNamespace(std::string_view name) const;
    const std::vector<CodeNamespace>& namespaces() const { return m_namespaces; }
    std::size_t codeCount() const;

private:
    CodeNamespace* namespaceNamed(std::string_view name);

    std::vector<CodeNamespace> m_namespaces;
};

// True when `text` holds the delimiter twice, or a "{" followed later by a "}".
bool HasCodes(std::string_view text, std::string_view delimiter);

// Replaces each code between two delimiters found in `table`. A candidate that is empty or holds a TAB,
// LF or CR, a "[" followed by "]" or a "{" followed by "}" is no code; neither is one the table lacks:
// scanning goes on from its second delimiter. A replacement is never scanned again.
std::string ReplaceCodes(std::string_view text, const CodeReplacementTable& table, std::string_view delimiter,
                         std::string_view preferredNamespace = {}, bool* replaced = nullptr);

// The delimiter to use for a stored "CodeReplacementsDelimiter": "=" for "{", "}", an empty value or one
// of more than one character.
std::string CodeReplacementsDelimiterFromSetting(std::string_view stored);
// Empty when `delimiter` may be stored; otherwise the sentence refusing it.
std::string CodeReplacementsDelimiterProblem(std::string_view delimiter);

// "CodeReplacementsPaths" holds one path a line; empty lines are skipped.
std::vector<std::string> CodeReplacementsPathsFromSetting(std::string_view stored);

struct CodeReplacementSettings {
    std::vector<std::string> paths;
    std::string delimiter = kCodeReplacementsDefaultDelimiter;
    std::string defaultNamespace;

    // From the open preferences; the defaults when they are not open.
    static CodeReplacementSettings read();
};

// The tables the program replaces codes with, as loaded from the settings' files.
class CodeReplacements {
public:
    CodeReplacements(CodeReplacementSettings settings, CodeReplacementTable table,
                     std::vector<CodeReplacementError> loadErrors = {})
        : m_settings(std::move(settings)), m_table(std::move(table)), m_loadErrors(std::move(loadErrors)) {}

    const CodeReplacementSettings& settings() const { return m_settings; }
    const CodeReplacementTable& table() const { return m_table; }
    // What went wrong while the tables were loaded.
    const std::vector<CodeReplacementError>& loadErrors() const { return m_loadErrors; }

    bool hasCodes(std::string_view text) const { return HasCodes(text, m_settings.delimiter); }
    // With a context, the variables of the result are expanded as well (`flags` as for ExpandVariables).
    std::string replace(std::string_view text, const VariableContext* context = nullptr,
                        unsigned flags = 0) const;

    // Loads the files the settings name, in order ("Loading Code Replacements"); a file that cannot be
    // read is skipped. False when any error occurred (listed in `errors`); the tables hold what loaded.
    static bool Load(std::vector<CodeReplacementError>* errors = nullptr);
    // Lets the tables go ("Closing Code Replacements").
    static void Close();
    // What the last Load gave; an empty table with the default settings before it and after Close.
    static std::shared_ptr<const CodeReplacements> current();

private:
    CodeReplacementSettings m_settings;
    CodeReplacementTable m_table;
    std::vector<CodeReplacementError> m_loadErrors;
};

// The start-up step "Loading Code Replacements" (errors are put to the user in a message box; start-up
// goes on) and the shutdown step "Closing Code Replacements".
void addCodeReplacementsService(CLumoApp& app);
