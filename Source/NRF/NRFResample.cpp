// Box reduction while rows arrive (for the decoders) and the separable filter that scales bitmaps to
// the exact size asked for.

#include "NRF/NRFResample.h"
#include "NRF/NRFDecode.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// 0 until the preference was read or a limit set.
std::atomic<std::uint64_t> gDecodeMemoryLimit{0};

std::uint64_t limitFromPreferences() {
    std::int64_t mib = kPrefDecodeMemoryLimitDefault;
    if (const auto preferences = CPreferences::instance())
        mib = preferences->getInt(kPrefDecodeMemoryLimit, kPrefDecodeMemoryLimitDefault);
    mib = std::clamp(mib, kPrefDecodeMemoryLimitMinimum, kPrefDecodeMemoryLimitMaximum);
    return static_cast<std::uint64_t>(mib) * kMiB;
}

} // namespace

std::uint64_t NRFDecodeMemoryLimit() {
    std::uint64_t limit = gDecodeMemoryLimit.load(std::memory_order_relaxed);
    if (limit == 0) {
        limit = limitFromPreferences();
        std::uint64_t unset = 0;
        if (!gDecodeMemoryLimit.compare_exchange_strong(unset, limit))
            limit = unset;
    }
    return limit;
}

void NRFSetDecodeMemoryLimit(std::uint64_t bytes) {
    gDecodeMemoryLimit.store(std::max<std::uint64_t>(bytes, 1));
}

void NRFReadDecodeMemoryLimit() {
    gDecodeMemoryLimit.store(limitFromPreferences());
}

NRFErr NRFCheckDecodeMemory(const char* name, std::uint64_t bytes, std::uint64_t maxBytes) {
    if (bytes <= maxBytes)
        return 0;
    LUMO_LOG("%s() needs %llu MiB, more than the limit of %llu MiB", name,
             static_cast<unsigned long long>((bytes + kMiB - 1) / kMiB),
             static_cast<unsigned long long>(maxBytes / kMiB));
    return 7;
}

std::uint64_t NRFReducedBytes(std::uint32_t width, std::uint32_t height, int channels, std::uint32_t factor) {
    factor = std::max<std::uint32_t>(factor, 1);
    const std::uint64_t outWidth = (std::uint64_t{width} + factor - 1) / factor;
    const std::uint64_t outHeight = (std::uint64_t{height} + factor - 1) / factor;
    const auto perPixel = static_cast<std::uint64_t>(std::max(channels, 0));
    return outWidth * outHeight * perPixel + (factor > 1 ? std::uint64_t{width} * perPixel * 4 : 0);
}

NRFErr NRFRunDecoder(const char* name, NRFBitmapBase& out,
                     NRFErr (*body)(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase&),
                     NRFByteSource& source, const NRFDecodeOptions& options) {
    out.Clear();
    NRFErr err = 7;
    try {
        err = body(source, options, out);
    } catch (const std::bad_alloc&) {
        LUMO_LOG("%s() out of memory", name);
    }
    if (err != 0)
        out.Clear();
    return err;
}

std::uint32_t NRFReductionFactor(std::uint32_t width, std::uint32_t height, std::uint32_t size) {
    const std::uint32_t longSide = std::max(width, height);
    if (size == 0 || longSide <= size)
        return 1;
    // ceil(longSide / f) >= size  <=>  f <= (longSide - 1) / (size - 1) for size > 1.
    if (size == 1)
        return longSide;
    return std::max<std::uint32_t>(1, (longSide - 1) / (size - 1));
}

NRFErr NRFRowReducer::Start(std::uint32_t width, std::uint32_t height, int channels, std::uint32_t factor,
                            NRFBitmapBase& out) {
    m_out = &out;
    m_width = width;
    m_height = height;
    m_channels = channels;
    m_factor = std::max<std::uint32_t>(factor, 1);
    m_rowsDone = m_rowsInBox = 0;
    const std::uint32_t outWidth = (width + m_factor - 1) / m_factor;
    const std::uint32_t outHeight = (height + m_factor - 1) / m_factor;
    if (width == 0 || height == 0 || (channels != 1 && channels != 3) ||
        !out.Allocate(outWidth, outHeight, channels))
        return 7;
    if (m_factor > 1) {
        try {
            m_sums.assign(std::size_t{width} * static_cast<std::size_t>(channels), 0);
        } catch (const std::bad_alloc&) {
            out.Clear();
            return 7;
        }
    }
    return 0;
}

void NRFRowReducer::AddRow(const std::uint8_t* row) {
    if (!m_out || m_rowsDone >= m_height)
        return;
    const std::size_t stride = std::size_t{m_width} * static_cast<std::size_t>(m_channels);
    if (m_factor == 1) {
        std::copy_n(row, stride, m_out->Row(m_rowsDone));
        ++m_rowsDone;
        return;
    }
    for (std::size_t i = 0; i < stride; ++i)
        m_sums[i] += row[i];
    ++m_rowsDone;
    if (++m_rowsInBox == m_factor || m_rowsDone == m_height)
        flush();
}

void NRFRowReducer::flush() {
    if (m_rowsInBox == 0)
        return;
    const std::uint32_t outY = (m_rowsDone - 1) / m_factor;
    std::uint8_t* dst = m_out->Row(outY);
    const std::size_t ch = static_cast<std::size_t>(m_channels);
    for (std::uint32_t x0 = 0, outX = 0; x0 < m_width; x0 += m_factor, ++outX) {
        const std::uint32_t x1 = std::min(m_width, x0 + m_factor);
        const std::uint64_t count = std::uint64_t{x1 - x0} * m_rowsInBox;
        for (std::size_t c = 0; c < ch; ++c) {
            std::uint64_t sum = 0;
            for (std::uint32_t x = x0; x < x1; ++x)
                sum += m_sums[x * ch + c];
            dst[outX * ch + c] = static_cast<std::uint8_t>((sum + count / 2) / count);
        }
    }
    std::fill(m_sums.begin(), m_sums.end(), 0);
    m_rowsInBox = 0;
}

bool NRFRowReducer::Finish() {
    if (!m_out)
        return false;
    if (m_factor > 1)
        flush();
    return m_rowsDone == m_height;
}

// ---- Separable filter ---------------------------------------------------------------------------

namespace {

// Catmull-Rom cubic (Keys, a = -0.5): sharp, no ringing to speak of at the reductions left after the box
// step, and exact on linear ramps.
double cubic(double x) {
    x = std::fabs(x);
    if (x < 1.0)
        return (1.5 * x - 2.5) * x * x + 1.0;
    if (x < 2.0)
        return ((-0.5 * x + 2.5) * x - 4.0) * x + 2.0;
    return 0.0;
}

// For each output position, the first source index and the fixed-point weights (sum 1 << 14) of the
// source pixels that contribute.
struct Contributions {
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> count;
    std::vector<std::int32_t> weights; // taps per output, padded to `taps`
    std::uint32_t taps = 0;
};

constexpr int kWeightBits = 14;

Contributions contributions(std::uint32_t in, std::uint32_t out) {
    Contributions c;
    const double scale = static_cast<double>(in) / out;
    const double support = 2.0 * std::max(scale, 1.0); // widened when reducing
    const double filterScale = std::max(scale, 1.0);
    c.taps = static_cast<std::uint32_t>(std::ceil(support)) * 2 + 1;
    c.first.resize(out);
    c.count.resize(out);
    c.weights.assign(std::size_t{out} * c.taps, 0);
    std::vector<double> w(c.taps);
    for (std::uint32_t i = 0; i < out; ++i) {
        const double centre = (i + 0.5) * scale;
        const auto lo = static_cast<std::int64_t>(std::floor(centre - support));
        const auto hi = static_cast<std::int64_t>(std::ceil(centre + support));
        const std::int64_t from = std::max<std::int64_t>(lo, 0);
        const std::int64_t to = std::min<std::int64_t>(hi, in); // exclusive
        double total = 0.0;
        std::uint32_t n = 0;
        for (std::int64_t s = from; s < to && n < c.taps; ++s, ++n) {
            w[n] = cubic((static_cast<double>(s) + 0.5 - centre) / filterScale);
            total += w[n];
        }
        c.first[i] = static_cast<std::uint32_t>(from);
        c.count[i] = n;
        if (n == 0 || total == 0.0) { // cannot happen for in, out >= 1; keep the nearest pixel
            c.first[i] = std::min<std::uint32_t>(static_cast<std::uint32_t>(centre), in - 1);
            c.count[i] = 1;
            c.weights[std::size_t{i} * c.taps] = 1 << kWeightBits;
            continue;
        }
        // Fixed point, with the rounding error put on the largest weight so the sum is exact.
        std::int32_t sum = 0;
        std::uint32_t largest = 0;
        for (std::uint32_t k = 0; k < n; ++k) {
            const auto q = static_cast<std::int32_t>(std::lround(w[k] / total * (1 << kWeightBits)));
            c.weights[std::size_t{i} * c.taps + k] = q;
            sum += q;
            if (w[k] > w[largest])
                largest = k;
        }
        c.weights[std::size_t{i} * c.taps + largest] += (1 << kWeightBits) - sum;
    }
    return c;
}

std::uint8_t clampPixel(std::int64_t v) {
    v = (v + (1 << (kWeightBits - 1))) >> kWeightBits;
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(v, 0, 255));
}

bool filterTo(const NRFBitmapBase& in, std::uint32_t width, std::uint32_t height, NRFBitmapBase& out) {
    const int ch = in.Channels();
    const auto chs = static_cast<std::size_t>(ch);
    try {
        const Contributions cx = contributions(in.Width(), width);
        const Contributions cy = contributions(in.Height(), height);
        // Horizontal pass into a buffer of in.Height() rows of the new width, then the vertical pass.
        std::vector<std::uint8_t> mid(std::size_t{width} * chs * in.Height());
        const std::size_t midStride = std::size_t{width} * chs;
        for (std::uint32_t y = 0; y < in.Height(); ++y) {
            const std::uint8_t* src = in.Row(y);
            std::uint8_t* dst = mid.data() + y * midStride;
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::int32_t* w = &cx.weights[std::size_t{x} * cx.taps];
                const std::uint8_t* s = src + std::size_t{cx.first[x]} * chs;
                for (std::size_t c = 0; c < chs; ++c) {
                    std::int64_t acc = 0;
                    for (std::uint32_t k = 0; k < cx.count[x]; ++k)
                        acc += std::int64_t{w[k]} * s[k * chs + c];
                    dst[x * chs + c] = clampPixel(acc);
                }
            }
        }
        NRFBitmapBase result;
        if (!result.Allocate(width, height, ch))
            return false;
        std::vector<std::int64_t> acc(midStride);
        for (std::uint32_t y = 0; y < height; ++y) {
            std::fill(acc.begin(), acc.end(), 0);
            const std::int32_t* w = &cy.weights[std::size_t{y} * cy.taps];
            for (std::uint32_t k = 0; k < cy.count[y]; ++k) {
                const std::uint8_t* src = mid.data() + (cy.first[y] + k) * midStride;
                for (std::size_t i = 0; i < midStride; ++i)
                    acc[i] += std::int64_t{w[k]} * src[i];
            }
            std::uint8_t* dst = result.Row(y);
            for (std::size_t i = 0; i < midStride; ++i)
                dst[i] = clampPixel(acc[i]);
        }
        result.flags = in.flags;
        out = std::move(result);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace

bool NRFResample(const NRFBitmapBase& in, std::uint32_t width, std::uint32_t height, NRFBitmapBase& out) {
    if (in.Empty() || width == 0 || height == 0)
        return false;
    // Large reductions: average whole boxes first, down to between two and three times the result, so
    // that the filter touches few pixels per output pixel.
    const std::uint32_t factor =
        std::max<std::uint32_t>(1, std::min(in.Width() / (width * 2), in.Height() / (height * 2)));
    if (factor < 2)
        return filterTo(in, width, height, out);
    NRFBitmapBase boxed;
    NRFRowReducer reducer;
    if (reducer.Start(in.Width(), in.Height(), in.Channels(), factor, boxed) != 0)
        return false;
    for (std::uint32_t y = 0; y < in.Height(); ++y)
        reducer.AddRow(in.Row(y));
    reducer.Finish();
    boxed.flags = in.flags;
    return filterTo(boxed, width, height, out);
}

bool NRFResampleToFit(const NRFBitmapBase& in, std::uint32_t maxSide, NRFBitmapBase& out) {
    const std::uint32_t longSide = std::max(in.Width(), in.Height());
    if (in.Empty() || maxSide == 0 || longSide <= maxSide)
        return false;
    const auto scaled = [&](std::uint32_t side) {
        const std::uint64_t v = (std::uint64_t{side} * maxSide + longSide / 2) / longSide;
        return static_cast<std::uint32_t>(std::max<std::uint64_t>(v, 1));
    };
    return NRFResample(in, scaled(in.Width()), scaled(in.Height()), out);
}

bool NRFSimilarProportions(std::uint32_t width, std::uint32_t height, std::uint32_t pictureWidth,
                           std::uint32_t pictureHeight) {
    if (width == 0 || height == 0 || pictureWidth == 0 || pictureHeight == 0)
        return false;
    const std::uint64_t a = std::uint64_t{width} * pictureHeight, b = std::uint64_t{height} * pictureWidth;
    return (a > b ? a - b : b - a) * 50 <= a;
}
