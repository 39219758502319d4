#include "NRF/NRFBitmapBase.h"

#include "NRF/NRFResample.h"

#include "app/LumoLog.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace {

// Larger pixel buffers are refused as out of memory rather than attempted: no image the engine
// decodes needs more, and a failed attempt of that size would take the process down.
constexpr std::uint64_t kMaxPixelBytes = std::uint64_t{1} << 32;

} // namespace

bool NRFBitmapBase::Allocate(std::uint32_t width, std::uint32_t height, int channels) {
    Clear();
    if (width == 0 || height == 0 || (channels != 1 && channels != 3))
        return false;
    const std::uint64_t bytes = std::uint64_t{width} * height * static_cast<std::uint64_t>(channels);
    if (bytes > kMaxPixelBytes)
        return false;
    try {
        m_pixels.assign(static_cast<std::size_t>(bytes), 0);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    m_width = width;
    m_height = height;
    m_channels = channels;
    return true;
}

void NRFBitmapBase::Clear() {
    std::vector<std::uint8_t>().swap(m_pixels);
    m_width = m_height = 0;
    m_channels = 0;
}

// Code c: mirror left to right when bit 2 is set, then turn (c & 3) quarter turns clockwise. Every
// source pixel (x, y) lands at a destination offset linear in x and y; pixels are moved in square
// tiles so that both sides stay in the processor's cache.
bool NRFBitmapBase::Rotate(int rotationCode) {
    if (rotationCode < 0 || rotationCode > 7)
        return false;
    if (rotationCode == 0 || Empty())
        return true;
    const int turns = rotationCode & 3;
    const bool mirror = (rotationCode & 4) != 0;
    const std::int64_t w = m_width, h = m_height;
    const bool swapped = (turns & 1) != 0;
    NRFBitmapBase turned;
    if (!turned.Allocate(static_cast<std::uint32_t>(swapped ? h : w),
                         static_cast<std::uint32_t>(swapped ? w : h), m_channels))
        return false;
    const std::int64_t newWidth = swapped ? h : w;
    // The mirrored column mx = mx0 + mxStep * x; then dx = dx0 + dxX * mx + dxY * y, likewise dy.
    const std::int64_t mx0 = mirror ? w - 1 : 0, mxStep = mirror ? -1 : 1;
    std::int64_t dx0 = 0, dxM = 0, dxY = 0, dy0 = 0, dyM = 0, dyY = 0;
    switch (turns) {
    case 0:
        dxM = 1, dyY = 1;
        break;
    case 1:
        dx0 = h - 1, dxY = -1, dyM = 1;
        break;
    case 2:
        dx0 = w - 1, dxM = -1, dy0 = h - 1, dyY = -1;
        break;
    default:
        dxY = 1, dy0 = w - 1, dyM = -1;
        break;
    }
    const std::int64_t origin = (dy0 + dyM * mx0) * newWidth + dx0 + dxM * mx0;
    const std::int64_t stepX = (dyM * newWidth + dxM) * mxStep, stepY = dyY * newWidth + dxY;
    const std::size_t ch = static_cast<std::size_t>(m_channels);
    std::uint8_t* const destination = turned.m_pixels.data();
    const auto move = [&](auto channels) {
        constexpr std::size_t n = decltype(channels)::value;
        constexpr std::int64_t kTile = 64;
        for (std::int64_t ty = 0; ty < h; ty += kTile) {
            for (std::int64_t tx = 0; tx < w; tx += kTile) {
                const std::int64_t yEnd = std::min(h, ty + kTile), xEnd = std::min(w, tx + kTile);
                for (std::int64_t y = ty; y < yEnd; ++y) {
                    const std::uint8_t* src =
                        Row(static_cast<std::uint32_t>(y)) + static_cast<std::size_t>(tx) * n;
                    std::uint8_t* dst =
                        destination + (origin + stepX * tx + stepY * y) * static_cast<std::int64_t>(n);
                    const std::int64_t step = stepX * static_cast<std::int64_t>(n);
                    for (std::int64_t x = tx; x < xEnd; ++x, src += n, dst += step)
                        for (std::size_t c = 0; c < n; ++c)
                            dst[c] = src[c];
                }
            }
        }
    };
    if (ch == 1)
        move(std::integral_constant<std::size_t, 1>{});
    else
        move(std::integral_constant<std::size_t, 3>{});
    turned.flags = flags;
    *this = std::move(turned);
    return true;
}

NRFErr NRFBitmapBase::CropInto(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height,
                               NRFBitmapBase& out) const {
    NRFErr result = 0;
    if (width == 0 || height == 0 || std::uint64_t{x} + width > m_width ||
        std::uint64_t{y} + height > m_height)
        result = 1;
    else if (!out.Allocate(width, height, m_channels))
        result = 7;
    if (result != 0) {
        LUMO_LOG("NRFBitmapBase::CropInto() Error: %d", static_cast<int>(result));
        return result;
    }
    const std::size_t ch = static_cast<std::size_t>(m_channels);
    for (std::uint32_t row = 0; row < height; ++row)
        std::copy_n(Row(y + row) + x * ch, width * ch, out.Row(row));
    out.flags = flags;
    return 0;
}

bool NRFBitmapBase::ScaleToFit(std::uint32_t maxSide, NRFBitmapBase& out) const {
    if (Empty()) {
        out.Clear();
        out.flags = flags;
        return true;
    }
    if (maxSide == 0 || std::max(m_width, m_height) <= maxSide) {
        if (&out != this) {
            if (!out.Allocate(m_width, m_height, m_channels))
                return false;
            std::copy(m_pixels.begin(), m_pixels.end(), out.m_pixels.begin());
            out.flags = flags;
        }
        return true;
    }
    return NRFResampleToFit(*this, maxSide, out);
}
