// The value decoder over any bytes, with and without restoring symbols. Whatever decodes must encode
// again, decode to an equal value, and encode to the same bytes the second time.

#include "archive/CilaException.h"
#include "archive/PacketBuf.h"
#include "archive/VObject.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using CILA::PacketBuf;
using CILA::VObject;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const bool restoreSymbols : {false, true}) {
        PacketBuf in;
        in.assign(data, size);
        while (in.remaining() > 0) {
            const std::size_t before = in.readPos();
            VObject value;
            try {
                value = VObject::deserialize(in, restoreSymbols);
            } catch (const CILA::CilaRuntimeError&) {
                if (in.readPos() != before) // a failed read leaves the position alone
                    __builtin_trap();
                break;
            }
            if (in.readPos() == before)
                __builtin_trap();
            PacketBuf encoded;
            value.serialize(encoded);
            const VObject again = VObject::deserialize(encoded, restoreSymbols);
            if (encoded.remaining() != 0 || !(again == value))
                __builtin_trap();
            PacketBuf reencoded;
            again.serialize(reencoded);
            if (reencoded.size() != encoded.size() ||
                std::memcmp(reencoded.data(), encoded.data(), encoded.size()) != 0)
                __builtin_trap();
            (void)value.toString();
        }
    }
    return 0;
}
