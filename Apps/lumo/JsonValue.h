#pragma once

#include "archive/VObject.h"

#include <nlohmann/json.hpp>

#include <string>

// JSON as text that is always complete and valid: strings that are not well-formed UTF-8 (a file name
// with a byte that is not text, a tag of a camera that wrote bytes) get U+FFFD for each ill-formed piece
// instead of ending the output. `indent` as nlohmann's dump (-1: one line).
template <typename Json>
std::string jsonText(const Json& value, int indent = -1) {
    return value.dump(indent, ' ', false, nlohmann::detail::error_handler_t::replace);
}

// VObject values as JSON, for the terminal: null, booleans, integers, doubles, strings, arrays
// (vectors) and objects (hashes). Symbols show as strings; user-defined objects as null.
nlohmann::json toJson(const CILA::VObject& value);
// Throws std::runtime_error for a value nested deeper than a VObject may be.
CILA::VObject fromJson(const nlohmann::json& json);

// A value typed on the command line: JSON when it reads as JSON, else the text itself as a string
// (so `lumo prefs set Name Ana` stores "Ana").
CILA::VObject parseValueArgument(const std::string& text);
