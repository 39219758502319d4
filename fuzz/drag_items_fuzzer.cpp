// The photos a drag carries ("application/x-lumograph-items"), over any bytes another program may drop:
// what decodes must encode back to the same bytes it used, and never more numbers than the bytes hold.

#include "ContactSheetModel.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    std::uint32_t document = 0;
    std::vector<std::int32_t> numbers;
    if (!decodeLumographItems(bytes, document, numbers))
        return 0;
    const QByteArray again = encodeLumographItems(document, numbers);
    if (numbers.size() > size / 4 || !bytes.startsWith(again))
        __builtin_trap();
    return 0;
}
