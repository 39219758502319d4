// The debug-flags file reader over any bytes.

#include "app/DebugFlags.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const DebugFlagSettings settings = DebugFlagSettings::parse(text);
    // Every name and value came from the text, and no flag is both on and valued.
    for (const auto& name : settings.on) {
        if (name.empty() || name.size() > size || settings.values.count(name))
            __builtin_trap();
    }
    for (const auto& [name, value] : settings.values) {
        if (name.empty() || value.empty() || name.size() + value.size() > size)
            __builtin_trap();
    }
    return 0;
}
