#include "support/JpegBuilder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <jpeglib.h>

namespace lumo::test {

namespace {

// The library reports fatal errors through error_exit, which must not return: jump back to the
// caller's setjmp. Only objects constructed before setjmp live in the callers' frames.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void errorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void quietOutput(j_common_ptr) {}

std::string be16(unsigned v) {
    return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}

} // namespace

std::string encodeJpeg(int width, int height, bool colour, int quality, bool progressive) {
    if (width <= 0 || height <= 0)
        throw std::invalid_argument("encodeJpeg: empty image");
    const int components = colour ? 3 : 1;
    std::vector<JSAMPLE> row(static_cast<size_t>(width) * components);
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = quietOutput;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        throw std::runtime_error(std::string("encodeJpeg: ") + err.message);
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    cinfo.write_JFIF_header = FALSE;
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < width; ++x) {
            const auto r = static_cast<JSAMPLE>(x * 255 / width);
            const auto g = static_cast<JSAMPLE>(y * 255 / height);
            if (colour) {
                row[3 * x] = r;
                row[3 * x + 1] = g;
                row[3 * x + 2] = 128;
            } else {
                row[x] = static_cast<JSAMPLE>((r + g) / 2);
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return out;
}

std::string withJpegFrameSize(std::string stream, uint16_t width, uint16_t height) {
    for (size_t pos = 2; pos + 9 <= stream.size();) {
        if (static_cast<uint8_t>(stream[pos]) != 0xFF)
            break;
        const auto marker = static_cast<uint8_t>(stream[pos + 1]);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            stream[pos + 5] = static_cast<char>(height >> 8);
            stream[pos + 6] = static_cast<char>(height);
            stream[pos + 7] = static_cast<char>(width >> 8);
            stream[pos + 8] = static_cast<char>(width);
            return stream;
        }
        pos += 2 + (static_cast<size_t>(static_cast<uint8_t>(stream[pos + 2])) << 8 |
                    static_cast<uint8_t>(stream[pos + 3]));
    }
    throw std::invalid_argument("withJpegFrameSize: no frame header");
}

DecodedJpeg decodeJpeg(const std::string& bytes) {
    DecodedJpeg result;
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = quietOutput;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        DecodedJpeg failed; // result's fields may be stale after the jump
        failed.error = err.message;
        return failed;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    result.width = static_cast<int>(cinfo.output_width);
    result.height = static_cast<int>(cinfo.output_height);
    result.components = cinfo.output_components;
    const size_t stride = static_cast<size_t>(result.width) * static_cast<size_t>(result.components);
    result.pixels.resize(stride * static_cast<size_t>(result.height));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {result.pixels.data() + stride * cinfo.output_scanline};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_decompress(&cinfo);
    // A stream that ended early is padded by the library with a warning: count it as a failure.
    const bool warned = err.pub.num_warnings > 0;
    jpeg_destroy_decompress(&cinfo);
    result.ok = !warned;
    if (warned)
        result.error = "corrupt or truncated data";
    return result;
}

std::string photoshopResource(uint16_t id, const std::string& data) {
    std::string out = "8BIM" + be16(id) + std::string(2, '\0'); // empty name, padded to even
    const auto n = static_cast<uint32_t>(data.size());
    out += be16(n >> 16) + be16(n & 0xFFFF) + data;
    if (data.size() & 1)
        out += '\0';
    return out;
}

JpegBuilder::JpegBuilder(int width, int height, bool colour, int quality)
    : m_stream(encodeJpeg(width, height, colour, quality)) {}

JpegBuilder::JpegBuilder(std::string stream) : m_stream(std::move(stream)) {
    if (m_stream.size() < 2 || static_cast<unsigned char>(m_stream[0]) != 0xFF ||
        static_cast<unsigned char>(m_stream[1]) != 0xD8)
        throw std::invalid_argument("JpegBuilder: stream does not start with SOI");
}

size_t JpegBuilder::addSegment(uint8_t marker, const std::string& payload) {
    if (payload.size() > 0xFFFD)
        throw std::invalid_argument("JpegBuilder: segment payload too long");
    m_segments.push_back({marker, payload, false, 0});
    return m_segments.size() - 1;
}

size_t JpegBuilder::addSegmentWithLength(uint8_t marker, const std::string& payload,
                                         uint16_t declaredLength) {
    m_segments.push_back({marker, payload, true, declaredLength});
    return m_segments.size() - 1;
}

size_t JpegBuilder::addExif(const std::string& tiff) {
    return addSegment(0xE1, std::string("Exif\0\0", 6) + tiff);
}

size_t JpegBuilder::addXmp(const std::string& packet) {
    return addSegment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + packet);
}

size_t JpegBuilder::addPhotoshop(const std::string& irb) {
    return addSegment(0xED, std::string("Photoshop 3.0\0", 14) + irb);
}

size_t JpegBuilder::addIccChunk(uint8_t sequence, uint8_t count, const std::string& data) {
    return addSegment(0xE2, std::string("ICC_PROFILE\0", 12) + static_cast<char>(sequence) +
                                static_cast<char>(count) + data);
}

size_t JpegBuilder::addIcc(const std::string& profile, int chunks) {
    if (chunks < 1 || chunks > 255)
        throw std::invalid_argument("JpegBuilder: bad ICC chunk count");
    const size_t n = static_cast<size_t>(chunks);
    const size_t per = (profile.size() + n - 1) / n;
    size_t first = m_segments.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t from = std::min(profile.size(), i * per);
        addIccChunk(static_cast<uint8_t>(i + 1), static_cast<uint8_t>(n), profile.substr(from, per));
    }
    return first;
}

size_t JpegBuilder::addJfif(uint8_t unit, uint16_t xDensity, uint16_t yDensity) {
    return addSegment(0xE0, std::string("JFIF\0\1\1", 7) + static_cast<char>(unit) + be16(xDensity) +
                                be16(yDensity) + std::string(2, '\0'));
}

size_t JpegBuilder::addComment(const std::string& text) {
    return addSegment(0xFE, text);
}

JpegBuilder& JpegBuilder::dropEoi() {
    m_dropEoi = true;
    return *this;
}

JpegBuilder& JpegBuilder::appendGarbage(const std::string& bytes) {
    m_suffix += bytes;
    return *this;
}

JpegBuilder& JpegBuilder::prependGarbage(const std::string& bytes) {
    m_prefix += bytes;
    return *this;
}

JpegBuilder& JpegBuilder::truncateTo(size_t length) {
    m_truncateTo = length;
    return *this;
}

std::string JpegBuilder::build() {
    std::string out = m_prefix + m_stream.substr(0, 2);
    m_positions.clear();
    for (const auto& s : m_segments) {
        m_positions.push_back(out.size());
        out += '\xFF';
        out += static_cast<char>(s.marker);
        out += be16(s.hasDeclared ? s.declared : static_cast<unsigned>(s.payload.size() + 2));
        out += s.payload;
    }
    m_encoderStart = out.size();
    std::string rest = m_stream.substr(2);
    if (m_dropEoi && rest.size() >= 2 && static_cast<unsigned char>(rest[rest.size() - 2]) == 0xFF &&
        static_cast<unsigned char>(rest.back()) == 0xD9)
        rest.resize(rest.size() - 2);
    out += rest + m_suffix;
    if (m_truncateTo < out.size())
        out.resize(m_truncateTo);
    return out;
}

} // namespace lumo::test
