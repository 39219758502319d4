#include "BmpPsdBuilder.h"

#include "TestSupport.h"

#include <cstdlib>

namespace lumo::test {

std::string buildBmp(const BmpLayout& s) {
    std::string info;
    if (s.headerSize == 12) {
        info = le(12, 4) + le(static_cast<std::uint16_t>(s.width), 2) +
               le(static_cast<std::uint16_t>(s.height), 2) + le(1, 2) + le(s.bits, 2);
    } else {
        info = le(s.headerSize, 4) + le(static_cast<std::uint32_t>(s.width), 4) +
               le(static_cast<std::uint32_t>(s.height), 4) + le(1, 2) + le(s.bits, 2) + le(s.compression, 4) +
               le(s.pixels.size(), 4) + le(2835, 4) + le(2835, 4) + le(s.clrUsed, 4) + le(0, 4);
        if (s.headerSize >= 52)
            for (std::size_t i = 0; i < 4; ++i)
                info += le(i < s.masks.size() ? s.masks[i] : 0, 4);
        info.resize(s.headerSize, '\0');
    }
    std::string extra;
    if (s.headerSize == 40 && (s.compression == 3 || s.compression == 6))
        for (std::uint32_t m : s.masks)
            extra += le(m, 4);
    for (const auto& e : s.palette) {
        extra += std::string{static_cast<char>(e[2]), static_cast<char>(e[1]), static_cast<char>(e[0])};
        if (s.headerSize != 12)
            extra += '\0';
    }
    const std::size_t dataAt = 14 + info.size() + extra.size();
    return "BM" + le(dataAt + s.pixels.size(), 4) + le(0, 4) + le(dataAt, 4) + info + extra + s.pixels;
}

std::string bmpRows(const std::vector<std::string>& topToBottom, bool bottomUp) {
    std::string out;
    for (std::size_t i = 0; i < topToBottom.size(); ++i) {
        std::string row = topToBottom[bottomUp ? topToBottom.size() - 1 - i : i];
        row.resize((row.size() + 3) / 4 * 4, '\0');
        out += row;
    }
    return out;
}

std::string packBits(const std::string& row) {
    std::string out;
    std::size_t i = 0;
    while (i < row.size()) {
        std::size_t run = 1;
        while (i + run < row.size() && run < 128 && row[i + run] == row[i])
            ++run;
        if (run >= 2) {
            out += static_cast<char>(257 - run);
            out += row[i];
            i += run;
            continue;
        }
        std::size_t end = i + 1;
        while (end < row.size() && end - i < 128 && !(end + 1 < row.size() && row[end] == row[end + 1]))
            ++end;
        out += static_cast<char>(end - i - 1);
        out += row.substr(i, end - i);
        i = end;
    }
    return out;
}

std::string buildPsd(const PsdLayout& s) {
    const bool large = s.version == 2;
    std::string out = "8BPS" + be(s.version, 2) + std::string(6, '\0') + be(s.planes.size(), 2) +
                      be(s.height, 4) + be(s.width, 4) + be(s.depth, 2) + be(s.mode, 2);
    out += be(s.colourModeData.size(), 4) + s.colourModeData;
    out +=
        be(s.resourcesLength >= 0 ? static_cast<std::uint64_t>(s.resourcesLength) : s.resources.size(), 4) +
        s.resources;
    out += be(s.layerSection.size(), large ? 8 : 4) + s.layerSection;
    out += be(s.compression, 2);
    if (s.compression == 0) {
        for (const std::string& plane : s.planes)
            out += plane;
        return out;
    }
    const std::size_t rowBytes = s.height ? s.planes.empty() ? 0 : s.planes[0].size() / s.height : 0;
    std::string counts, data;
    for (const std::string& plane : s.planes)
        for (std::uint32_t y = 0; y < s.height; ++y) {
            const std::string packed = packBits(plane.substr(y * rowBytes, rowBytes));
            counts += be(packed.size(), large ? 4 : 2);
            data += packed;
        }
    return out + counts + data;
}

std::string psdResource(std::uint16_t id, const std::string& data, const std::string& name,
                        std::uint32_t declaredSize) {
    std::string out = "8BIM" + be(id, 2) + static_cast<char>(name.size()) + name;
    if (out.size() % 2)
        out += '\0';
    out += be(declaredSize ? declaredSize : data.size(), 4) + data;
    if (data.size() % 2)
        out += '\0';
    return out;
}

std::string psdLayerSection(std::uint32_t width, std::uint32_t height, int channels, char fill, bool large) {
    const int lengthWidth = large ? 8 : 4;
    std::string record = be(0, 4) + be(0, 4) + be(height, 4) + be(width, 4) + be(channels, 2);
    for (int c = 0; c < channels; ++c)
        record += be(c < 3 ? c : 0xFFFF, 2) + be(2 + std::size_t{width} * height, lengthWidth);
    std::string name = "\x05Layer";
    name.resize(8, '\0');
    const std::string extra = be(0, 4) + be(0, 4) + name;
    record += "8BIMnorm" + std::string{'\xff', '\0', '\x08', '\0'} + be(extra.size(), 4) + extra;
    std::string info = be(1, 2) + record;
    for (int c = 0; c < channels; ++c)
        info += be(0, 2) + std::string(std::size_t{width} * height, fill);
    if (info.size() % 2)
        info += '\0';
    return be(info.size(), lengthWidth) + info + be(0, 4);
}

std::string iccProfileNamed(const std::string& description) {
    // 'desc': the ASCII text with its terminator, no Unicode text, an empty ScriptCode part.
    std::string desc = "desc" + std::string(4, '\0') + be(description.size() + 1, 4) + description + '\0' +
                       be(0, 4) + be(0, 4) + be(0, 2) + std::string(1, '\0') + std::string(67, '\0');
    while (desc.size() % 4)
        desc += '\0';
    const std::size_t tagAt = 128 + 4 + 12;
    const std::size_t total = tagAt + desc.size();
    std::string header = be(total, 4) + "lcms" + be(0x02100000, 4) + "mntrRGB XYZ " + be(2024, 2) + be(1, 2) +
                         be(1, 2) + std::string(6, '\0') + "acsp" + "APPL" + be(0, 4) + be(0, 4) + be(0, 4) +
                         be(0, 8) + be(0, 4);
    // The connection space's white (D50) at 68, then the creator.
    header += be(0xF6D6, 4) + be(0x10000, 4) + be(0xD32D, 4) + "lcms";
    header.resize(128, '\0');
    return header + be(1, 4) + "desc" + be(tagAt, 4) + be(desc.size(), 4) + desc;
}

} // namespace lumo::test
