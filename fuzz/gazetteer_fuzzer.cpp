// The gazetteer's readers over any bytes: the places stream of its data, its compact file (laid out
// with a checksum that matches, so that the checks behind the checksum are reached), and an online
// service's answer. Every place read lies on the globe; every lookup ends.

#include "FuzzSupport.h"
#include "gps/GeocodeServer.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void putU32(std::string& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// A compact file of the right size for its header, its body taken from the input, its checksum made.
std::string compactFrom(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kCells = 180 * 360, kHeader = 32, kRecord = 28;
    if (size < 4)
        return {};
    const std::uint32_t places = data[0] % 16, strings = 1 + data[1] % 64;
    const std::size_t total = kHeader + 4 * (kCells + 1) + places * kRecord + strings + 8;
    std::string file(total, '\0');
    std::memcpy(file.data(), "LGAZPLC1", 8);
    putU32(file, 16, places);
    putU32(file, 20, strings);
    putU32(file, 24, kCells);
    // The input's bytes spread over a few grid cells, the records and the strings.
    const std::size_t body = kHeader + 4 * (kCells + 1);
    std::size_t from = 2;
    const std::uint32_t cell = (data[2] | data[3] << 8) % kCells;
    for (std::uint32_t c = 0; c <= kCells; ++c)
        putU32(file, kHeader + 4 * c, c <= cell ? 0 : places);
    from = 4;
    const std::size_t n = std::min(size - from, total - 8 - body);
    std::memcpy(file.data() + body, data + from, n);
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i + 8 < file.size(); ++i)
        h = (h ^ static_cast<unsigned char>(file[i])) * 1099511628211ull;
    for (int i = 0; i < 8; ++i)
        file[total - 8 + i] = static_cast<char>((h >> (8 * i)) & 0xff);
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::vector<GazetteerCity> places;
    ParseGazetteerCities(bytes, places, nullptr, 10000);
    for (const auto& p : places)
        if (!(std::fabs(p.latitude) <= 90 && std::fabs(p.longitude) <= 180) || p.name.empty())
            std::abort();

    for (const std::string& file : {std::string(bytes), compactFrom(data, size)}) {
        Gazetteer g;
        if (!g.openBytes(file))
            continue;
        for (const auto& [lat, lon] : {std::pair{0.0, 0.0}, {45.0, 179.9}, {-89.9, -180.0}, {89.99, 12.0}})
            g.lookup(lat, lon);
    }

    GeoPlace place;
    std::string error;
    ParseReverseGeocodeAnswer(std::string(bytes), place, error);
    return 0;
}
