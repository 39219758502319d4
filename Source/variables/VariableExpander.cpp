#include "variables/VariableExpander.h"

// First cut: the interface only; the scanner and the name list follow.

VariableExpansion ExpandVariables(std::string_view text, const VariableContext&, unsigned) {
    return {std::string(text), false, false};
}

std::optional<std::string> EvaluateVariable(std::string_view, const VariableContext&, unsigned) {
    return std::nullopt;
}

std::string ApplyVariableModifiers(std::string value, std::string_view) {
    return value;
}

const std::vector<VariableInfo>& VariableList() {
    static const std::vector<VariableInfo> list;
    return list;
}

const VariableInfo* FindVariable(std::string_view) {
    return nullptr;
}
