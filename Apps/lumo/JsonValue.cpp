#include "JsonValue.h"

#include <cmath>
#include <limits>
#include <stdexcept>

using CILA::VObject;

nlohmann::json toJson(const VObject& value) {
    switch (value.dataType()) {
    case VObject::DT_NIL:
    case VObject::DT_UDT:
        return nullptr;
    case VObject::DT_BOOL:
        return value.getbool();
    case VObject::DT_INTEGER:
        return value.getint();
    case VObject::DT_DOUBLE: {
        const double d = value.getdouble();
        return std::isfinite(d) ? nlohmann::json(d) : nlohmann::json(nullptr); // JSON has no NaN or infinity
    }
    case VObject::DT_SYMBOL:
        return VObject::sym_lookup(value.getsym());
    case VObject::DT_STR:
        return value.getstr();
    case VObject::DT_VECTOR: {
        nlohmann::json array = nlohmann::json::array();
        for (const VObject& element : value.getvec())
            array.push_back(toJson(element));
        return array;
    }
    case VObject::DT_HASH: {
        nlohmann::json object = nlohmann::json::object();
        for (const auto& [key, element] : value.gethash())
            object[key] = toJson(element);
        return object;
    }
    case VObject::DT_REF:
        break; // dataType() has followed every reference
    }
    return nullptr;
}

namespace {

VObject fromJsonAt(const nlohmann::json& json, int depth) {
    // Values deeper than this cannot be stored anyway; stop before the recursion gets deep.
    if (depth > VObject::kMaxDepth)
        throw std::runtime_error("the value is nested more than 64 levels deep");
    switch (json.type()) {
    case nlohmann::json::value_t::null:
        return VObject();
    case nlohmann::json::value_t::boolean:
        return VObject(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
        return VObject(json.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        const auto n = json.get<std::uint64_t>();
        if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return VObject(static_cast<std::int64_t>(n));
        return VObject(static_cast<double>(n)); // too large for a 64-bit integer
    }
    case nlohmann::json::value_t::number_float:
        return VObject(json.get<double>());
    case nlohmann::json::value_t::string:
        return VObject(json.get<std::string>());
    case nlohmann::json::value_t::array: {
        VObject vector = VObject::makeVector();
        for (const auto& element : json)
            vector.append(fromJsonAt(element, depth + 1));
        return vector;
    }
    case nlohmann::json::value_t::object: {
        VObject hash = VObject::makeHash();
        for (const auto& [key, element] : json.items())
            hash.store(key, fromJsonAt(element, depth + 1));
        return hash;
    }
    default:
        return VObject();
    }
}

} // namespace

VObject fromJson(const nlohmann::json& json) {
    return fromJsonAt(json, 1);
}

VObject parseValueArgument(const std::string& text) {
    nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded())
        return VObject(text);
    return fromJson(json);
}
