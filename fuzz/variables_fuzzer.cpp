// The variable expander over any template: the scanner, the modifiers and the file-name rules.

#include "variables/VariableExpander.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    VariableContext context;
    context.sequence = 7;
    context.sequenceDigits = 3;
    context.newFileName = "DSC_0001.NEF";
    const VariableExpansion plain = ExpandVariables(text, context, 0);
    const VariableExpansion fileName = ExpandVariables(text, context, kVariableFileName | kVariableSortable);
    // Without variables the text comes back unchanged.
    if (!plain.expanded && plain.text != text)
        __builtin_trap();
    if (plain.expanded != fileName.expanded)
        __builtin_trap();
    // The modifiers alone, on a fixed value and on the input itself.
    (void)ApplyVariableModifiers("Zürich Hauptbahnhof", text);
    (void)ApplyVariableModifiers(std::string(text), text.substr(0, 40));
    return 0;
}
