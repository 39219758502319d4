// The arrangement file's reader over any bytes: whatever it takes must write back and read again as the
// same arrangement, and ordering a listing by it must give each listed name exactly once.

#include "contactsheet/ArrangementFile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ArrangementData arrangement;
    if (!ArrangementFromXML(text, arrangement))
        return 0;
    if (arrangement.files.size() > kArrangementMaxItems || arrangement.paths.size() > kArrangementMaxItems)
        std::abort();
    ArrangementData back;
    if (!ArrangementFromXML(ArrangementToXML(arrangement), back) || back.files != arrangement.files ||
        back.paths != arrangement.paths || back.multiFolder != arrangement.multiFolder)
        std::abort();
    std::vector<std::string> names(arrangement.files.rbegin(), arrangement.files.rend());
    names.push_back("new.jpg");
    std::vector<std::uint32_t> order = ArrangedOrder(arrangement.files, names);
    std::sort(order.begin(), order.end());
    for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i] != i)
            std::abort();
    if (order.size() != names.size())
        std::abort();
    return 0;
}
