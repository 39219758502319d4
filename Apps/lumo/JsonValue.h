#pragma once

#include "archive/VObject.h"

#include <nlohmann/json.hpp>

#include <string>

// VObject values as JSON, for the terminal: null, booleans, integers, doubles, strings, arrays
// (vectors) and objects (hashes). Symbols show as strings; user-defined objects as null.
nlohmann::json toJson(const CILA::VObject& value);
// Throws std::runtime_error for a value nested deeper than a VObject may be.
CILA::VObject fromJson(const nlohmann::json& json);

// A value typed on the command line: JSON when it reads as JSON, else the text itself as a string
// (so `lumo prefs set Name Ana` stores "Ana").
CILA::VObject parseValueArgument(const std::string& text);
