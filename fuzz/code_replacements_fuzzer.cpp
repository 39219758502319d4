// The code replacement file reader over any bytes, then replacing codes in the same bytes.

#include "FuzzSupport.h"
#include "variables/CodeReplacements.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CodeReplacementTable table;
    std::vector<CodeReplacementError> errors;
    table.addText(text, "fuzz.txt", errors);
    // Every error names its line, and every line comes from the text.
    for (const CodeReplacementError& error : errors) {
        if (error.line < 1 || static_cast<std::size_t>(error.line) > size)
            __builtin_trap();
    }
    std::size_t codes = 0;
    for (const CodeNamespace& space : table.namespaces())
        codes += space.codes.size();
    if (codes != table.codeCount() || codes > size)
        __builtin_trap();
    // Replacing never reads outside the text, and a text without two delimiters comes back unchanged.
    bool replaced = false;
    const std::string out = ReplaceCodes(text, table, "=", "Global", &replaced);
    if (!HasCodes(text, "=") && (replaced || out != text))
        __builtin_trap();
    ReplaceCodes(text, table, "\xC2\xA7", {}, nullptr);
    return 0;
}
