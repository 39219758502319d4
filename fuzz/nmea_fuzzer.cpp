// The NMEA reader over any text: every point it keeps is a real position at a time whose key is its
// own, and reading the same text again adds nothing new.

#include "gps/GPSLog.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    GPSLog log;
    const std::size_t added = log.ParseNMEA(text);
    if (added != log.points().size())
        std::abort();
    for (const auto& [key, p] : log.points()) {
        if (!(std::fabs(p.latitude) <= 90.0) || !(std::fabs(p.longitude) <= 180.0) ||
            !std::isfinite(p.altitude) || !std::isfinite(p.course) || !(p.speed == -1.0 || p.speed > 0.0) ||
            GPSTimeKey(p.time) != key)
            std::abort();
    }
    if (log.ParseNMEA(text) != 0)
        std::abort();
    return 0;
}
