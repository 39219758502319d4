#pragma once

// Builds JPEG files around a real stream from the JPEG library: the encoder's SOI..EOI with metadata
// segments inserted after the SOI, and the faults a marker walk must survive.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumo::test {

// Encodes a width x height gradient (3 components, or 1 when grey) at the given quality. The stream
// has no JFIF APP0 (camera files have none); JpegBuilder::addJfif adds one. Progressive streams use
// the library's standard scan script.
std::string encodeJpeg(int width, int height, bool colour = true, int quality = 90, bool progressive = false);
// The stream with the sizes of its frame header (SOFn) replaced: a stream that declares more pixels
// than its scans hold.
std::string withJpegFrameSize(std::string stream, uint16_t width, uint16_t height);

struct DecodedJpeg {
    bool ok = false;
    std::string error; // the library's message when !ok
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<uint8_t> pixels; // rows of width * components bytes
};
// Decodes a whole JPEG stream; never throws or exits on bad data.
DecodedJpeg decodeJpeg(const std::string& bytes);

class JpegBuilder {
public:
    JpegBuilder(int width, int height, bool colour = true, int quality = 90);
    // Starts from an existing stream, which must begin with SOI.
    explicit JpegBuilder(std::string stream);

    // Segments are inserted after the SOI in the order added, before the encoder's own tables. Each
    // call returns the segment's index for segmentPosition().
    // marker is the second marker byte (0xE1 for APP1); the length field is payload size + 2.
    size_t addSegment(uint8_t marker, const std::string& payload);
    // A segment whose length field says declaredLength whatever the payload (past the end, below 2).
    size_t addSegmentWithLength(uint8_t marker, const std::string& payload, uint16_t declaredLength);
    size_t addExif(const std::string& tiff);     // APP1 "Exif\0\0" + TIFF bytes
    size_t addXmp(const std::string& packet);    // APP1 "http://ns.adobe.com/xap/1.0/\0" + packet
    size_t addPhotoshop(const std::string& irb); // APP13 "Photoshop 3.0\0" + image resource blocks
    // APP2 "ICC_PROFILE\0", sequence number (1-based), chunk count, data. addIcc splits a profile
    // into `chunks` near-equal chunks and returns the first one's index.
    size_t addIccChunk(uint8_t sequence, uint8_t count, const std::string& data);
    size_t addIcc(const std::string& profile, int chunks = 1);
    size_t addJfif(uint8_t unit = 1, uint16_t xDensity = 72, uint16_t yDensity = 72); // APP0 JFIF 1.01
    size_t addComment(const std::string& text);                                       // COM

    // Faults and wrappers.
    JpegBuilder& dropEoi();
    JpegBuilder& appendGarbage(const std::string& bytes);
    JpegBuilder& prependGarbage(const std::string& bytes);
    JpegBuilder& truncateTo(size_t length);

    std::string build();

    // After build(): the position of segment i's 0xFF marker byte, and of its payload (marker + 4).
    size_t segmentPosition(size_t index) const { return m_positions.at(index); }
    size_t payloadPosition(size_t index) const { return m_positions.at(index) + 4; }
    // Where the encoder's own segments start (the first marker after the inserted ones).
    size_t encoderSegmentsPosition() const { return m_encoderStart; }

private:
    struct Segment {
        uint8_t marker;
        std::string payload;
        bool hasDeclared;
        uint16_t declared;
    };
    std::string m_stream; // SOI..EOI from the encoder
    std::vector<Segment> m_segments;
    std::string m_prefix, m_suffix;
    bool m_dropEoi = false;
    size_t m_truncateTo = std::string::npos;
    std::vector<size_t> m_positions;
    size_t m_encoderStart = 0;
};

// One Photoshop image resource block: "8BIM", id, empty Pascal name (padded), size, data (padded to
// even). 0x0404 holds an IIM block.
std::string photoshopResource(uint16_t id, const std::string& data);

} // namespace lumo::test
