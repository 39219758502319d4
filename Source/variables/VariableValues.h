#pragma once

// The values of the variable families other than the special one (sequence, index, page, tab, ...).

#include "variables/VariableExpander.h"

#include <string>
#include <string_view>

// The value of a variable of the families other than the special one, by its long name.
bool VariableFamilyValue(std::string_view name, const VariableContext&, unsigned flags, std::string& out);
