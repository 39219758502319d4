#pragma once

// The engine's bitmap: 8-bit grey or RGB pixels in rows, with the flags the loaders set for the caches.

#include <cstddef>
#include <cstdint>
#include <vector>

using NRFErr = std::uint32_t;

// Flags set by the loaders.
enum : std::uint32_t {
    kNRFBitmapError = 2,         // an error bitmap
    kNRFBitmapSubstitute = 8,    // an embedded image standing in for a wanted rendering
    kNRFBitmapRendered = 16,     // rendered from the raw data
    kNRFBitmapExifThumbnail = 32 // the standard 160 x 120 EXIF thumbnail
};

class NRFBitmapBase {
public:
    // Makes the bitmap `width` x `height` with 1 (grey) or 3 (RGB) channels, pixels zero. False when
    // the memory cannot be had (the bitmap is then empty).
    bool Allocate(std::uint32_t width, std::uint32_t height, int channels);
    void Clear();

    bool Empty() const { return m_width == 0 || m_height == 0; }
    std::uint32_t Width() const { return m_width; }
    std::uint32_t Height() const { return m_height; }
    int Channels() const { return m_channels; }
    std::size_t Stride() const { return std::size_t{m_width} * static_cast<std::size_t>(m_channels); }
    std::uint8_t* Row(std::uint32_t y) { return m_pixels.data() + y * Stride(); }
    const std::uint8_t* Row(std::uint32_t y) const { return m_pixels.data() + y * Stride(); }

    std::uint32_t flags = 0;

    // Turns the bitmap by a rotation code (quarter turns clockwise, plus 4 when mirrored). False when the
    // memory cannot be had (the bitmap is unchanged).
    bool Rotate(int rotationCode);
    // Copies the rectangle into `out`. 0, or 1 for a rectangle outside the bitmap and 7 when the memory
    // cannot be had, logged as "NRFBitmapBase::CropInto() Error: %d".
    NRFErr CropInto(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height,
                    NRFBitmapBase& out) const;
    // The bitmap scaled down (NRFResampleToFit) to fit inside maxSide x maxSide, or copied when it fits.
    // False when the memory cannot be had.
    bool ScaleToFit(std::uint32_t maxSide, NRFBitmapBase& out) const;

private:
    std::vector<std::uint8_t> m_pixels;
    std::uint32_t m_width = 0, m_height = 0;
    int m_channels = 0;
};
