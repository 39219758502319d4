// The older preferences file reader over any bytes.

#include "FuzzSupport.h"
#include "db/PreferencesConversion.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder(); // the reader logs what it leaves out
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto values = readOlderPreferences(text);
    if (!values)
        return 0;
    // Every value came from the document: never more values, nor longer names, than it has bytes.
    if (values->size() > size)
        std::abort();
    for (const auto& [key, value] : *values)
        if (key.empty() || key.size() > size)
            std::abort();
    return 0;
}
