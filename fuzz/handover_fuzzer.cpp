// The hand-over message a second start sends to the running instance, over any bytes.

#include "app/SingleInstance.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    HandOverMessage message;
    if (SingleInstance::parseHandOver(bytes, message) &&
        (message.path.size() + SingleInstance::kFileOpenTag.size() + 3 != size ||
         message.path.find('\0') != std::string::npos))
        __builtin_trap();
    return 0;
}
