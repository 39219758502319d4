#include "variables/VariableValues.h"

// Placeholder until the family values land: no family variable has a value.
bool VariableFamilyValue(std::string_view, const VariableContext&, unsigned, std::string&) {
    return false;
}
