#include "variables/CodeReplacements.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/MessageBox.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"
#include "variables/VariableExpander.h"

#include <cstring>
#include <mutex>

namespace {

std::string foldCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// "[" then "]", or "{" then "}", later in the text.
bool holdsPair(std::string_view text, char open, char close) {
    const std::size_t at = text.find(open);
    return at != std::string_view::npos && text.find(close, at + 1) != std::string_view::npos;
}

bool isCandidate(std::string_view candidate) {
    return !candidate.empty() && candidate.find_first_of("\t\n\r") == std::string_view::npos &&
           !holdsPair(candidate, '[', ']') && !holdsPair(candidate, '{', '}');
}

const std::string* findIn(const CodeNamespace& space, std::string_view code, bool folded) {
    const auto& map = folded ? space.foldedCodes : space.codes;
    const auto found = map.find(folded ? foldCase(code) : std::string(code));
    return found == map.end() ? nullptr : &found->second;
}

// The number of UTF-8 characters in `text` (each lead byte counts one).
std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

std::string duplicateError(const char* what, const std::string& space, const std::string& file, int line) {
    return lumo::formatString(
        "Error: %s already defined for namespace '%s'.  File:'%s' line %d has duplicates.", what,
        space.c_str(), file.c_str(), line);
}

std::mutex g_currentMutex;
std::shared_ptr<const CodeReplacements> g_current;

} // namespace

CodeNamespace* CodeReplacementTable::namespaceNamed(std::string_view name) {
    for (CodeNamespace& space : m_namespaces) {
        if (lumo::iequals(space.name, name))
            return &space;
    }
    m_namespaces.push_back(CodeNamespace{.name = std::string(name)});
    return &m_namespaces.back();
}

void CodeReplacementTable::addText(std::string_view text, const std::string& fileName,
                                   std::vector<CodeReplacementError>& errors) {
    const std::string valid = lumo::toValidUtf8(lumo::stripByteOrderMark(text));
    // Indexes, not pointers: declaring a namespace may grow the list.
    std::size_t current = namespaceNamed(kCodeReplacementsGlobalNamespace) - m_namespaces.data();
    bool skipping = false; // inside a namespace's second set of codes
    int lineNumber = 0;
    for (const std::string_view line : lumo::splitLines(valid)) {
        ++lineNumber;
        if (startsWith(line, "//$$")) {
            std::string name(lumo::trim(line.substr(4)));
            if (name.empty())
                name = kCodeReplacementsGlobalNamespace;
            CodeNamespace* space = namespaceNamed(name);
            current = space - m_namespaces.data();
            skipping = space->declared;
            if (skipping)
                errors.push_back(
                    {fileName, lineNumber, duplicateError("Hot Codes", space->name, fileName, lineNumber)});
            space->declared = true;
            continue;
        }
        if (startsWith(line, "//==")) {
            const std::string_view name = lumo::trim(line.substr(4));
            CodeNamespace& space = m_namespaces[current];
            if (skipping || name.empty())
                continue;
            bool known = false;
            for (const std::string& have : space.names)
                known = known || lumo::iequals(have, name);
            if (!known)
                space.names.emplace_back(name);
            continue;
        }
        if (startsWith(line, "//##")) {
            current = namespaceNamed(kCodeReplacementsGlobalNamespace) - m_namespaces.data();
            skipping = false;
            continue;
        }
        if (startsWith(line, "//??")) {
            CodeNamespace& space = m_namespaces[current];
            if (skipping)
                continue;
            if (space.hasDefaults) {
                errors.push_back({fileName, lineNumber,
                                  duplicateError("Hot Code defaults", space.name, fileName, lineNumber)});
                continue;
            }
            space.hasDefaults = true;
            std::string_view rest = line.substr(4);
            while (!rest.empty()) {
                const std::size_t cut = rest.find_first_of(",\t");
                const std::string_view item = lumo::trim(rest.substr(0, cut));
                if (!item.empty())
                    space.defaults.emplace_back(item);
                rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
            }
            continue;
        }
        if (startsWith(line, "//") || skipping)
            continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos)
            continue;
        const std::string_view code = lumo::trim(line.substr(0, tab));
        if (code.empty())
            continue;
        CodeNamespace& space = m_namespaces[current];
        const std::string replacement(line.substr(tab + 1));
        space.codes.emplace(std::string(code), replacement);
        space.foldedCodes.emplace(foldCase(code), replacement);
    }
}

bool CodeReplacementTable::addFile(const std::string& path, std::vector<CodeReplacementError>& errors) {
    std::string text;
    int error = lumo::readFile(path, text, kCodeReplacementsMaxFileBytes + 1);
    if (!error && text.size() > kCodeReplacementsMaxFileBytes)
        error = EFBIG;
    if (error) {
        errors.push_back({path, 0,
                          lumo::formatString("Error: Could not read the file '%s': %s.", path.c_str(),
                                             std::strerror(error))});
        LUMO_LOG("CodeReplacementTable::addFile() %s: %s", path.c_str(), std::strerror(error));
        return false;
    }
    addText(text, path, errors);
    return true;
}

const CodeNamespace* CodeReplacementTable::findNamespace(std::string_view name) const {
    for (const CodeNamespace& space : m_namespaces) {
        if (lumo::iequals(space.name, name))
            return &space;
    }
    for (const CodeNamespace& space : m_namespaces) {
        for (const std::string& other : space.names) {
            if (lumo::iequals(other, name))
                return &space;
        }
    }
    return nullptr;
}

const std::string* CodeReplacementTable::find(std::string_view code,
                                              std::string_view preferredNamespace) const {
    if (const std::size_t colon = code.find(':'); colon != std::string_view::npos) {
        if (const CodeNamespace* space = findNamespace(code.substr(0, colon))) {
            const std::string_view rest = code.substr(colon + 1);
            for (const bool folded : {false, true}) {
                if (const std::string* found = findIn(*space, rest, folded))
                    return found;
            }
        }
    }
    // The preferred namespace, then "Global", then the others in load order.
    std::vector<const CodeNamespace*> order;
    if (!preferredNamespace.empty()) {
        if (const CodeNamespace* preferred = findNamespace(preferredNamespace))
            order.push_back(preferred);
    }
    if (const CodeNamespace* global = findNamespace(kCodeReplacementsGlobalNamespace))
        order.push_back(global);
    for (const CodeNamespace& space : m_namespaces)
        order.push_back(&space);
    for (const bool folded : {false, true}) {
        for (const CodeNamespace* space : order) {
            if (const std::string* found = findIn(*space, code, folded))
                return found;
        }
    }
    return nullptr;
}

std::size_t CodeReplacementTable::codeCount() const {
    std::size_t count = 0;
    for (const CodeNamespace& space : m_namespaces)
        count += space.codes.size();
    return count;
}

bool HasCodes(std::string_view text, std::string_view delimiter) {
    if (!delimiter.empty()) {
        const std::size_t first = text.find(delimiter);
        if (first != std::string_view::npos &&
            text.find(delimiter, first + delimiter.size()) != std::string_view::npos)
            return true;
    }
    return holdsPair(text, '{', '}');
}

std::string ReplaceCodes(std::string_view text, const CodeReplacementTable& table, std::string_view delimiter,
                         std::string_view preferredNamespace, bool* replaced) {
    if (replaced)
        *replaced = false;
    if (delimiter.empty())
        return std::string(text);
    std::string out;
    std::size_t copied = 0; // text before this is in `out`
    std::size_t from = 0;   // where the next delimiter is looked for
    while (true) {
        const std::size_t open = text.find(delimiter, from);
        if (open == std::string_view::npos)
            break;
        const std::size_t start = open + delimiter.size();
        const std::size_t close = text.find(delimiter, start);
        if (close == std::string_view::npos)
            break;
        const std::string_view candidate = text.substr(start, close - start);
        const std::string* replacement =
            isCandidate(candidate) ? table.find(candidate, preferredNamespace) : nullptr;
        if (!replacement) {
            // The closing delimiter may open the next code.
            from = close;
            continue;
        }
        out.append(text.substr(copied, open - copied));
        out.append(*replacement);
        copied = from = close + delimiter.size();
        if (replaced)
            *replaced = true;
    }
    out.append(text.substr(copied));
    return out;
}

std::string CodeReplacementsDelimiterFromSetting(std::string_view stored) {
    if (!CodeReplacementsDelimiterProblem(stored).empty())
        return kCodeReplacementsDefaultDelimiter;
    return std::string(stored);
}

std::string CodeReplacementsDelimiterProblem(std::string_view delimiter) {
    // One character, and one that cannot be mistaken for part of a variable.
    if (delimiter == "{" || delimiter == "}" || characterCount(delimiter) != 1 ||
        !lumo::isValidUtf8(delimiter) || static_cast<unsigned char>(delimiter[0]) < 0x20)
        return kCodeReplacementsDelimiterRefused;
    return {};
}

std::vector<std::string> CodeReplacementsPathsFromSetting(std::string_view stored) {
    std::vector<std::string> paths;
    for (const std::string_view line : lumo::splitLines(stored)) {
        if (!lumo::trim(line).empty())
            paths.emplace_back(line);
    }
    return paths;
}

CodeReplacementSettings CodeReplacementSettings::read() {
    CodeReplacementSettings settings;
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return settings;
    settings.paths = CodeReplacementsPathsFromSetting(preferences->getString(kPrefCodeReplacementsPaths, {}));
    settings.delimiter = CodeReplacementsDelimiterFromSetting(
        preferences->getString(kPrefCodeReplacementsDelimiter, kPrefCodeReplacementsDelimiterDefault));
    settings.defaultNamespace =
        std::string(lumo::trim(preferences->getString(kPrefCodeReplacementsDefault, {})));
    return settings;
}

std::string CodeReplacements::replace(std::string_view text, const VariableContext* context,
                                      unsigned flags) const {
    std::string out = ReplaceCodes(text, m_table, m_settings.delimiter, m_settings.defaultNamespace);
    if (context)
        out = ExpandVariables(out, *context, flags).text;
    return out;
}

bool CodeReplacements::Load(std::vector<CodeReplacementError>* errors) {
    LUMO_LOG("Loading Code Replacements");
    CodeReplacementSettings settings = CodeReplacementSettings::read();
    CodeReplacementTable table;
    std::vector<CodeReplacementError> found;
    for (const std::string& path : settings.paths)
        table.addFile(path, found);
    for (const CodeReplacementError& error : found)
        LUMO_LOG("%s", error.message.c_str());
    const bool ok = found.empty();
    if (errors)
        *errors = found;
    auto loaded =
        std::make_shared<const CodeReplacements>(std::move(settings), std::move(table), std::move(found));
    std::lock_guard lock(g_currentMutex);
    g_current = std::move(loaded);
    return ok;
}

void CodeReplacements::Close() {
    LUMO_LOG("Closing Code Replacements");
    std::lock_guard lock(g_currentMutex);
    g_current.reset();
}

std::shared_ptr<const CodeReplacements> CodeReplacements::current() {
    {
        std::lock_guard lock(g_currentMutex);
        if (g_current)
            return g_current;
    }
    static const auto empty =
        std::make_shared<const CodeReplacements>(CodeReplacementSettings{}, CodeReplacementTable{});
    return empty;
}

void addCodeReplacementsService(CLumoApp& app) {
    app.startupSteps().add("Loading Code Replacements", [] {
        std::vector<CodeReplacementError> errors;
        if (!CodeReplacements::Load(&errors)) {
            std::string text = kCodeReplacementsLoadError;
            for (const CodeReplacementError& error : errors)
                text += "\n" + error.message;
            showMessageBox(text);
        }
        return true; // the program works without its tables
    });
    app.shutdownSteps().add("Closing Code Replacements", [] {
        CodeReplacements::Close();
        return true;
    });
}
