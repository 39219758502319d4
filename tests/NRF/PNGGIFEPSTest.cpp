// The PNG, GIF and EPS readers: size, colour and metadata locations of built files, damaged files, and
// the corpus's files against exiftool.

#include "NRF/NRF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFGIF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTestSupport.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using lumo::test::ByteOrder;
using lumo::test::TiffBuilder;

std::string be32(std::uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string le16(std::uint16_t v) {
    return {char(v), char(v >> 8)};
}
std::string le32(std::uint32_t v) {
    return le16(std::uint16_t(v)) + le16(std::uint16_t(v >> 16));
}

// PNG: chunks appended one by one (the reader does not check CRCs; they are written as 0).
struct PngFile {
    std::string bytes = std::string("\x89PNG\r\n\x1A\n", 8);
    std::map<std::string, std::size_t> at; // first chunk of each type: its position

    PngFile(std::uint32_t w, std::uint32_t h, char depth, char colourType) {
        chunk("IHDR", be32(w) + be32(h) + depth + colourType + std::string(3, '\0'));
    }
    PngFile& chunk(const std::string& type, const std::string& data) {
        at.emplace(type, bytes.size());
        bytes += be32(std::uint32_t(data.size())) + type + data + be32(0);
        return *this;
    }
};

const std::string kPacket =
    "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'/>"
    "<?xpacket end='w'?>";

class PNGGIFEPSTest : public lumo::test::NRFEngineTest {};

TEST_F(PNGGIFEPSTest, PngSizeColourAndMetadataChunks) {
    TiffBuilder exif(ByteOrder::Big);
    exif.ifd()
        .addAscii(0x010F, "Canon")
        .addLong(256, 4000)
        .addLong(257, 3000); // a camera's size, not the PNG's
    const std::string exifBytes = exif.build();
    PngFile png(640, 480, 16, 2);
    png.chunk("iCCP", std::string("icc\0\0", 5) + "deflated profile")
        .chunk("eXIf", exifBytes)
        .chunk("tEXt", std::string("Raw profile type iptc\0", 22) + "\niptc\n      4\n1c020000\n")
        .chunk("IDAT", "pixels")
        .chunk("iTXt", std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + kPacket) // after the image data
        .chunk("IEND", "");
    NRFImageInfoRef r;
    ASSERT_EQ(read("a.png", png.bytes, r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 640u);
    EXPECT_EQ(r->m_height, 480u);
    EXPECT_EQ(r->m_bitsPerSample, 16);
    EXPECT_EQ(r->m_samplesPerPixel, 3);
    EXPECT_TRUE(r->m_isColor);
    EXPECT_EQ(r->m_make, "Canon");
    EXPECT_EQ(r->m_exifSegmentPos, png.at["eXIf"] + 8);
    EXPECT_EQ(r->m_exifSegmentLength, exifBytes.size());
    EXPECT_EQ(r->m_colorSpaceCode, 1);
    EXPECT_EQ(r->m_iccChunkCount, 1u);
    EXPECT_EQ(r->m_iccChunkPos[0], png.at["iCCP"] + 8);
    EXPECT_EQ(r->m_iccTotalLength, 21u);
    EXPECT_EQ(r->m_iptcPos, png.at["tEXt"]);
    EXPECT_EQ(r->m_xmpSegmentPos, png.at["iTXt"]);
    EXPECT_EQ(png.bytes.substr(r->m_xmpPacketPos, r->m_xmpPacketLength), kPacket);

    // A palette image marked sRGB; a compressed XMP chunk is located but its packet is not.
    PngFile palette(3, 2, 8, 3);
    palette.chunk("sRGB", "\0")
        .chunk("iTXt", std::string("XML:com.adobe.xmp\0\1\0\0\0", 22) + "zzz")
        .chunk("IEND", "");
    ASSERT_EQ(read("p.png", palette.bytes, r), kNRFErrNone);
    EXPECT_EQ(r->m_samplesPerPixel, 1);
    EXPECT_TRUE(r->m_isColor);
    EXPECT_EQ(r->m_colorSpaceCode, 2);
    EXPECT_EQ(r->m_xmpSegmentPos, palette.at["iTXt"]);
    EXPECT_EQ(r->m_xmpPacketPos, 0u);
}

TEST_F(PNGGIFEPSTest, DamagedPngKeepsWhatWasRead) {
    PngFile png(5, 7, 8, 0);
    png.chunk("sRGB", "\0");
    std::string bytes = png.bytes + be32(0x7FFFFFF0) + "iTXt" + "XML:com.adobe.xmp"; // runs past the end
    NRFImageInfoRef r;
    ASSERT_EQ(read("t.png", bytes, r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 5u);
    EXPECT_FALSE(r->m_isColor);
    EXPECT_EQ(r->m_colorSpaceCode, 2);
    EXPECT_EQ(r->m_xmpSegmentPos, 0u);
    // A header cut short, or no image in it, is not a PNG the reader can use.
    EXPECT_EQ(read("h.png", png.bytes.substr(0, 20), r), kNRFErrBadFormat);
    EXPECT_EQ(read("z.png", PngFile(0, 7, 8, 0).bytes, r), kNRFErrBadFormat);
    EXPECT_EQ(read("c.png", PngFile(1, 1, 8, 7).bytes, r), kNRFErrBadFormat);
}

// GIF89a with a 2-colour global table, the XMP extension (packet and the format's trailer) and one image.
std::string gifFile(std::uint16_t w, std::uint16_t h, bool withXmp, std::size_t* packetAt = nullptr) {
    std::string g = "GIF89a" + le16(w) + le16(h) + "\x80" + std::string(2, '\0') + std::string(6, '\x7f');
    if (withXmp) {
        g += "\x21\xFF\x0B"
             "XMP DataXMP";
        if (packetAt)
            *packetAt = g.size();
        g += kPacket + "\x01";
        for (int b = 0xFF; b >= 0; --b)
            g += char(b);
        g += '\0';
    }
    g += "\x21\xF9\x04" + std::string(4, '\0') + std::string(1, '\0'); // graphic control
    g += "\x2C" + le16(0) + le16(0) + le16(3) + le16(2) +
         "\x40"
         "\x02"
         "\x02\x4C\x01" +
         std::string(1, '\0');
    return g + "\x3B";
}

TEST_F(PNGGIFEPSTest, GifSizeXmpAndFrames) {
    std::size_t packetAt = 0;
    const std::string gif = gifFile(9, 4, true, &packetAt);
    NRFImageInfoRef r;
    ASSERT_EQ(read("a.gif", gif, r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 9u);
    EXPECT_EQ(r->m_height, 4u);
    EXPECT_TRUE(r->m_isColor);
    EXPECT_EQ(r->m_xmpPacketPos, packetAt);
    EXPECT_EQ(gif.substr(r->m_xmpPacketPos, r->m_xmpPacketLength), kPacket);
    EXPECT_EQ(r->m_xmpSegmentPos, 19u);
    EXPECT_EQ(r->m_xmpSegmentLength, 14 + kPacket.size() + 258);
    const auto* info = dynamic_cast<const GIFPluginPrivateInfo*>(r->m_privateInfo.get());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->m_frameCount, 1u);
    EXPECT_EQ(info->m_firstFrameWidth, 3);
    EXPECT_TRUE(info->m_firstFrameInterlaced);
    EXPECT_TRUE(info->m_complete);

    // A screen of 0 x 0 takes the first image's size; a stream cut in the image data keeps the size.
    ASSERT_EQ(read("z.gif", gifFile(0, 0, false), r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 3u);
    EXPECT_EQ(r->m_height, 2u);
    ASSERT_EQ(read("t.gif", gif.substr(0, gif.size() - 6), r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 9u);
    EXPECT_FALSE(dynamic_cast<const GIFPluginPrivateInfo*>(r->m_privateInfo.get())->m_complete);
    // An XMP packet without its end marker is not located.
    std::string open = gif;
    open.replace(open.find("<?xpacket end"), 13, "<?xpacket xxx");
    ASSERT_EQ(read("o.gif", open, r), kNRFErrNone);
    EXPECT_EQ(r->m_xmpPacketPos, 0u);
    // A profile split over sub-blocks: its length is theirs together.
    std::string icc = gifFile(9, 4, false);
    icc.insert(19, std::string("\x21\xFF\x0B"
                               "ICCRGBG1012"
                               "\x03"
                               "abc"
                               "\x02"
                               "de",
                               21) +
                       '\0');
    ASSERT_EQ(read("i.gif", icc, r), kNRFErrNone);
    EXPECT_EQ(r->m_colorSpaceCode, 1);
    EXPECT_EQ(r->m_iccChunkPos[0], 33u);
    EXPECT_EQ(r->m_iccTotalLength, 5u);
    EXPECT_EQ(read("h.gif", gif.substr(0, 12), r), kNRFErrBadFormat);
}

TEST_F(PNGGIFEPSTest, EpsBoundingBoxAndTiffPreview) {
    TiffBuilder preview(ByteOrder::Little);
    preview.ifd().addShort(256, 40).addShort(257, 30).addShort(262, 2).addShort(277, 3).addShort(258, 8);
    const std::string tiff = preview.build();
    const std::string ps =
        "%!PS-Adobe-3.0 EPSF-3.0\r%%Creator: test\r%%BoundingBox: 10 20 290 274\r%%EndComments\r";
    auto dosEps = [&](std::uint32_t tiffLength) {
        return std::string("\xC5\xD0\xD3\xC6", 4) + le32(30) + le32(std::uint32_t(ps.size())) + le32(0) +
               le32(0) + le32(std::uint32_t(30 + ps.size())) + le32(tiffLength) + "\xFF\xFF" + ps + tiff;
    };
    NRFImageInfoRef r;
    ASSERT_EQ(read("a.eps", dosEps(std::uint32_t(tiff.size())), r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 280u);
    EXPECT_EQ(r->m_height, 254u);
    EXPECT_EQ(r->m_thumbnail.offset, 30 + ps.size());
    EXPECT_EQ(r->m_thumbnail.length, tiff.size());
    EXPECT_EQ(r->m_thumbnail.width, 40u);
    EXPECT_EQ(r->m_thumbnail.height, 30u);
    EXPECT_FALSE(r->m_thumbnailIsJPEG);
    EXPECT_TRUE(r->m_isColor);
    // A preview that runs past the file is dropped; the bounding box still gives the size.
    ASSERT_EQ(read("b.eps", dosEps(std::uint32_t(tiff.size() + 1)), r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 280u);
    EXPECT_FALSE(r->m_thumbnail.present());
    // Plain PostScript with its bounding box at the end, past the comments read first.
    const std::string atEnd = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: (atend)\n" + std::string(100000, ' ') +
                              "\n%%Trailer\n%%BoundingBox: 0 0 100.4 50\n";
    ASSERT_EQ(read("c.eps", atEnd, r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 100u);
    EXPECT_EQ(r->m_height, 50u);
    ASSERT_EQ(read("e.eps", "%!PS\n%%BoundingBox: (atend)\nshowpage\n%%BoundingBox: -5 -5 5 10\n", r),
              kNRFErrNone);
    EXPECT_EQ(r->m_width, 10u);
    EXPECT_EQ(r->m_height, 15u);
    ASSERT_EQ(read("d.eps", std::string("\xC5\xD0\xD3\xC6", 4) + le32(30), r), kNRFErrBadFormat);
    // Photoshop's EPS: the bounding box is the document in points (5760 x 3840 pixels at 300 dpi);
    // the image data comment gives its pixels.
    ASSERT_EQ(
        read("f.eps",
             "%!PS-Adobe-3.0 EPSF-3.0\r%%Creator: Adobe Photoshop Version 24.0\r%%BoundingBox: 0 0 1382 "
             "922\r%%HiResBoundingBox: 0 0 1382.4 921.6\r%%EndComments\r%ImageData: 5760 3840 8 3 0 1 2 "
             "\"beginimage\"\r",
             r),
        kNRFErrNone);
    EXPECT_EQ(r->m_width, 5760u);
    EXPECT_EQ(r->m_height, 3840u);
    // Not at the start of a line, or without a height: the bounding box.
    ASSERT_EQ(read("g.eps", "%!PS\n%%BoundingBox: 0 0 30 20\n% %ImageData: 5760 3840\n%ImageData: 99\n", r),
              kNRFErrNone);
    EXPECT_EQ(r->m_width, 30u);
}

// Every PNG, GIF and EPS file of the corpus is read and decoded under the sanitizers; sizes match
// exiftool's and pixels ImageMagick's.
TEST_F(PNGGIFEPSTest, CorpusFilesMatchExiftool) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    const std::vector<std::string> files = lumo::test::corpusFiles({".png", ".gif", ".eps"});
    ASSERT_GE(files.size(), 20u);
    std::map<std::string, NRFImageInfoRef> records;
    for (const std::string& path : files) {
        NRFImageInfoRef record;
        NRFErr result = NRFOpenImage(path.c_str(), 0, &record);
        if (result == kNRFErrNone)
            result = NRFGetImageInfo(record.get());
        if (result == kNRFErrNone)
            records[path] = record;
    }
    std::vector<std::string> args = {"-n", "-ImageWidth", "-ImageHeight", "-XMPToolkit",
                                     "-ProfileDescription"};
    args.insert(args.end(), files.begin(), files.end());
    const auto exiftool = lumo::test::exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    int compared = 0, decoded = 0, samePixels = 0;
    for (const json& values : *exiftool) {
        if (!values.contains("ImageWidth") || !values["ImageWidth"].is_number())
            continue;
        // A file exiftool gives a size for is read.
        const auto found = records.find(values.value("SourceFile", ""));
        EXPECT_NE(found, records.end()) << values.value("SourceFile", "");
        if (found == records.end())
            continue;
        ++compared;
        EXPECT_EQ(found->second->m_width, values["ImageWidth"].get<std::uint32_t>()) << found->first;
        EXPECT_EQ(found->second->m_height, values["ImageHeight"].get<std::uint32_t>()) << found->first;
        // The XMP packet is located where exiftool finds one, and it is the packet.
        const NRFImageInfoRec& r = *found->second;
        if (fs::path(found->first).extension() != ".eps") {
            EXPECT_EQ(r.m_xmpPacketPos != 0, values.contains("XMPToolkit")) << found->first;
            if (r.m_xmpPacketPos != 0) {
                const std::string head = lumo::test::readWholeFile(found->first).substr(r.m_xmpPacketPos, 15);
                EXPECT_TRUE(head == "<?xpacket begin" || head.starts_with("<x:xmpmeta")) << found->first;
            }
        }
        EXPECT_EQ(r.m_colorSpaceCode == 1, values.contains("ProfileDescription")) << found->first;
        // A PNG or GIF decodes to that size and to ImageMagick's pixels (laid over white), within 1.
        if (fs::path(found->first).extension() == ".eps")
            continue;
        NRFBitmapBase full, small;
        const NRFErr decodedResult = NRFLoadFileAsBitmap(found->second.get(), &full);
        EXPECT_TRUE(decodedResult == kNRFErrNone || decodedResult == kNRFErrBadFormat) << found->first;
        if (decodedResult != kNRFErrNone || r.m_orientation != 0)
            continue;
        ++decoded;
        EXPECT_EQ(full.Width(), r.m_width) << found->first;
        EXPECT_EQ(full.Height(), r.m_height) << found->first;
        ASSERT_EQ(NRFLoadFilePreview(found->second.get(), &small, 32, kNRFLoadAllowEmbedded), kNRFErrNone);
        EXPECT_GE(std::max(small.Width(), small.Height()), std::min(32u, std::max(r.m_width, r.m_height)));
        const auto magick = lumo::test::runProcess(
            "/usr/bin/convert", {found->first + "[0]", "-background", "white", "-flatten", "-depth", "8",
                                 full.Channels() == 3 ? "rgb:-" : "gray:-"});
        if (magick.exitCode != 0)
            continue;
        ++samePixels;
        ASSERT_EQ(magick.out.size(), full.Stride() * full.Height()) << found->first;
        int worst = 0;
        for (std::uint32_t y = 0; y < full.Height(); ++y)
            for (std::size_t i = 0; i < full.Stride(); ++i)
                worst = std::max(worst, std::abs(full.Row(y)[i] - static_cast<unsigned char>(
                                                                      magick.out[y * full.Stride() + i])));
        EXPECT_LE(worst, 1) << found->first;
    }
    std::printf("%d of %zu files compared, %d decoded, %d against ImageMagick\n", compared, files.size(),
                decoded, samePixels);
    EXPECT_GE(compared, 20);
    EXPECT_GE(decoded, 10);
    if (samePixels == 0)
        LUMO_SKIP_OR_FAIL("ImageMagick is not installed (scripts/setup installs it)");
}

} // namespace
