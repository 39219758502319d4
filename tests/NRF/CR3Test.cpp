// The box walker and the CR3 reader. Walker cases are built box by box and walked directly; CR3 files
// are built whole (file type, metadata container with its TIFF blocks and thumbnail, tracks, XMP,
// preview container, media data) and read through the engine as a caller reads them. The corpus's
// CR3 files must agree with exiftool.

#include "NRF/NRF.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFCR3.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTestSupport.h"
#include "support/BmffBuilder.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using lumo::test::BmffBox;
using lumo::test::BmffBuilder;
using lumo::test::ByteOrder;
using lumo::test::TempDir;
using lumo::test::TiffBuilder;
namespace bmff = lumo::test::bmff;

namespace {

const char* const kMetadataUUID = "85c0b687-820f-11e0-8111-f4ce462b6a48";
const char* const kPreviewUUID = "eaf42b5e-1c98-4b88-b9fb-b7dc406e4d16";
const char* const kXMPUUID = "be7acfcb-97a9-42e8-9c71-999491e3afac";

// ---- the walker ------------------------------------------------------------------------------------

struct Seen {
    std::string type, path;
    std::uint64_t start, headerSize, size;
    int depth;
};

// Walks `bytes`, descending into every box that has room for a child; what was seen and the result.
NRFErr walkAll(const std::string& bytes, std::vector<Seen>& seen) {
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    NRFBMFFWalker walker(source);
    NRFBMFFVisitor visit = [&](const NRFBMFFBox& b) -> NRFErr {
        seen.push_back({NRFBMFFTypeString(b.type), b.path, b.start, b.headerSize, b.size, b.depth});
        if (b.payloadSize() >= 8 && !b.is("mdat") && !b.is("free"))
            return walker.WalkChildren(b, 0, visit);
        return 0;
    };
    return walker.Walk(0, source.Size(), visit);
}

TEST(BMFFWalkerTest, SizesPathsAndTheLimits) {
    { // a 64-bit size, then a box running to the end of the file
        BmffBuilder file;
        file.box("moov").largeSize().box("trak").box("tkhd").u32(7);
        file.box("mdat").sizeToEnd().bytes(std::string(100, 'x'));
        const std::string bytes = file.build();
        std::vector<Seen> seen;
        ASSERT_EQ(walkAll(bytes, seen), 0u);
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_EQ(seen[0].type, "moov");
        EXPECT_EQ(seen[0].headerSize, 16u);
        EXPECT_EQ(seen[0].size, 16u + 8 + 8 + 4);
        EXPECT_EQ(seen[1].type, "trak");
        EXPECT_EQ(seen[1].path, "|moov");
        EXPECT_EQ(seen[2].type, "tkhd");
        EXPECT_EQ(seen[2].path, "|moov|trak");
        EXPECT_EQ(seen[2].depth, 2);
        EXPECT_EQ(seen[3].type, "mdat");
        EXPECT_EQ(seen[3].path, "");
        EXPECT_EQ(seen[3].start + seen[3].size, bytes.size());
        EXPECT_EQ(seen[3].size, 108u);
    }
    // Sizes 2 to 7 are invalid; 0 and 1 are not.
    for (std::uint32_t size = 2; size < 8; ++size) {
        BmffBuilder file;
        file.box("free").bytes("abcd");
        file.box("skip").declareSize(size).bytes("abcdefgh");
        std::vector<Seen> seen;
        EXPECT_EQ(walkAll(file.build(), seen), 10u) << size;
        EXPECT_EQ(seen.size(), 1u);
    }
    { // a child larger than its parent, and a box running past the end of the file
        BmffBuilder file;
        file.box("moov").box("trak").declareSize(64).u32(0);
        file.box("free").bytes("zz");
        std::vector<Seen> seen;
        EXPECT_EQ(walkAll(file.build(), seen), 10u);
        BmffBuilder past;
        past.box("mdat").declareSize(1000).bytes("short");
        seen.clear();
        EXPECT_EQ(walkAll(past.build(), seen), 10u);
        // A 64-bit size smaller than its own header.
        std::string tiny = std::string("\0\0\0\1mdat", 8) + std::string("\0\0\0\0\0\0\0\x0f", 8) + "xx";
        seen.clear();
        EXPECT_EQ(walkAll(tiny, seen), 10u);
    }
    { // fewer than 8 bytes after the last box end the walk quietly
        BmffBuilder file;
        file.box("free").bytes("ab");
        file.appendBytes("1234567");
        std::vector<Seen> seen;
        EXPECT_EQ(walkAll(file.build(), seen), 0u);
        EXPECT_EQ(seen.size(), 1u);
    }
    // Containers nest 8 levels below the top; a ninth is error 10.
    for (int levels : {9, 10}) {
        BmffBuilder file;
        BmffBox* box = &file.box("moov");
        for (int i = 1; i < levels - 1; ++i)
            box = &box->box("trak");
        box->box("tkhd").u32(0); // too small to be looked into
        std::vector<Seen> seen;
        const NRFErr err = walkAll(file.build(), seen);
        if (levels == 9) {
            EXPECT_EQ(err, 0u);
            ASSERT_EQ(seen.size(), 9u);
            EXPECT_EQ(seen.back().depth, 8);
            EXPECT_EQ(seen.back().path, "|moov|trak|trak|trak|trak|trak|trak|trak");
        } else {
            EXPECT_EQ(err, 10u);
        }
    }
}

// ---- CR3 files ---------------------------------------------------------------------------------------

struct Cr3Layout {
    std::string brand = "crx ";
    std::optional<std::string> cmt1; // IFD0 block; default: Canon, a model, a date and `orientation`
    std::uint16_t orientation = 1;
    std::string thumbJpeg;
    std::uint16_t thumbWidth = 160, thumbHeight = 120;
    std::string previewJpeg;
    std::uint16_t previewWidth = 1620, previewHeight = 1080;
    std::string fullJpeg;
    std::uint16_t fullWidth = 6000, fullHeight = 4000;
    std::optional<std::uint32_t> sampleSize; // default: the full JPEG's length
    std::size_t padding = 0;                 // a "free" box at the end
    bool mdatToEnd = false;                  // the media data last, with size 0
    std::string xmp = "<x:xmpmeta/>";
};

struct Cr3File {
    std::string bytes;
    std::size_t thumbAt = 0, previewAt = 0, fullAt = 0;
};

Cr3File buildCr3(const Cr3Layout& layout) {
    BmffBuilder file;
    file.ftyp(layout.brand, 1, {layout.brand, "isom"});
    BmffBox& moov = file.box("moov");
    BmffBox& meta = moov.uuidBox(kMetadataUUID);
    meta.box("CNCV").bytes("CanonCR3_001/01.09.00/00.00.00");
    if (layout.cmt1) {
        meta.box("CMT1").bytes(*layout.cmt1);
    } else {
        TiffBuilder ifd0;
        ifd0.ifd().addShort(256, 8192).addShort(257, 5464).add(271, "Canon").add(272, "Canon EOS R5");
        ifd0.ifd().addShort(274, layout.orientation).add(306, "2021:01:02 03:04:05");
        meta.box("CMT1").bytes(ifd0.build());
    }
    TiffBuilder exif(ByteOrder::Big);
    exif.ifd().addRational(33434, 1, 250).addRational(33437, 28, 10).addShort(34855, 400);
    exif.ifd().addUndefined(36864, "0231").add(36867, "2022:06:07 08:09:10").addShort(40961, 1);
    meta.box("CMT2").bytes(exif.build());
    TiffBuilder maker;
    maker.ifd().add(0x0007, "Firmware Version 1.2.3");
    meta.box("CMT3").bytes(maker.build());
    TiffBuilder gps;
    gps.ifd().addByte(0, {2, 3, 0, 0}).add(1, "N").addRationals(2, {{48, 1}, {30, 1}, {0, 1}});
    gps.ifd().add(3, "E").addRationals(4, {{2, 1}, {15, 1}, {0, 1}});
    meta.box("CMT4").bytes(gps.build());
    BmffBox& thumb = meta.box("THMB");
    thumb.u32(0)
        .u16(layout.thumbWidth)
        .u16(layout.thumbHeight)
        .u32(static_cast<std::uint32_t>(layout.thumbJpeg.size()));
    thumb.u16(1).u16(0).bytes(layout.thumbJpeg);

    std::vector<BmffBox*> stbls;
    for (std::uint32_t track : {1u, 2u}) {
        BmffBox& trak = moov.box("trak");
        bmff::tkhd(trak, track);
        BmffBox& stbl = trak.box("mdia").box("minf").box("stbl");
        BmffBox& craw = stbl.fullBox("stsd", 0).u32(1).box("CRAW");
        // The second track's raw is larger than any JPEG: only track 1 counts.
        const std::uint16_t w = track == 1 ? layout.fullWidth : 9000,
                            h = track == 1 ? layout.fullHeight : 7000;
        craw.bytes(std::string(6, '\0')).u16(1).bytes(std::string(16, '\0')).u16(w).u16(h);
        craw.u32(0x00480000).u32(0x00480000).u32(0).u16(1).bytes(std::string(32, '\0')).u16(24).u16(0xFFFF);
        craw.box("JPEG").u32(0);
        bmff::stsz(stbl, {track == 1
                              ? layout.sampleSize.value_or(static_cast<std::uint32_t>(layout.fullJpeg.size()))
                              : 5000u});
        stbls.push_back(&stbl);
    }
    file.uuidBox(kXMPUUID).bytes(layout.xmp);
    BmffBox& previews = file.uuidBox(kPreviewUUID);
    previews.u64(1);
    BmffBox& prvw = previews.box("PRVW");
    prvw.u32(0).u16(1).u16(layout.previewWidth).u16(layout.previewHeight).u16(1);
    prvw.u32(static_cast<std::uint32_t>(layout.previewJpeg.size())).bytes(layout.previewJpeg);
    if (layout.padding != 0 && layout.mdatToEnd)
        file.box("free").bytes(std::string(layout.padding, '\0'));
    BmffBox& mdat = file.box("mdat");
    mdat.bytes(layout.fullJpeg).bytes(std::string(3000, '\x55'));
    if (layout.mdatToEnd)
        mdat.sizeToEnd();
    bmff::co64(*stbls[0], mdat, 0);
    bmff::co64(*stbls[1], mdat, 100);
    if (layout.padding != 0 && !layout.mdatToEnd)
        file.box("free").bytes(std::string(layout.padding, '\0'));

    Cr3File out;
    out.bytes = file.build();
    out.thumbAt = BmffBuilder::payloadPosition(thumb) + 16;
    out.previewAt = BmffBuilder::payloadPosition(prvw) + 16;
    out.fullAt = BmffBuilder::payloadPosition(mdat);
    return out;
}

class CR3Test : public lumo::test::NRFEngineTest {
protected:
    using NRFEngineTest::read;
    NRFErr read(const std::string& bytes, NRFImageInfoRef& record, const std::string& name = "test.cr3") {
        return read(name, bytes, record);
    }

    // The structure read over the bytes in memory, as the fuzzer reads it.
    static NRFErr readStructure(const std::string& bytes, NRFImageInfoRec& record) {
        NRFMemoryByteSource source(bytes.data(), bytes.size());
        NRFContext context;
        return NRFReadCR3Structure(context, record, source);
    }
};

Cr3Layout standardLayout() {
    Cr3Layout layout;
    layout.thumbJpeg = lumo::test::encodeJpeg(40, 30);
    layout.previewJpeg = lumo::test::encodeJpeg(81, 54);
    layout.fullJpeg = lumo::test::encodeJpeg(300, 200);
    layout.padding = 64 * 1024; // keeps the full-size JPEG below half the file
    return layout;
}

} // namespace

TEST_F(CR3Test, TheFullSizeJPEGOfTrack1BecomesThePreviewAndTheMetadataComesFromTheTIFFBlocks) {
    const Cr3Layout layout = standardLayout();
    ASSERT_EQ(layout.fullJpeg.compare(0, 4, "\xFF\xD8\xFF\xDB"), 0) << "the encoder's stream starts with DQT";
    const Cr3File file = buildCr3(layout);
    NRFImageInfoRef r;
    ASSERT_EQ(read(file.bytes, r), kNRFErrNone);
    EXPECT_EQ(r->m_fileType, NRFMakeFileType("CCR3"));
    EXPECT_EQ(r->m_thumbnail,
              (NRFEmbeddedImageLoc{static_cast<std::uint32_t>(file.thumbAt),
                                   static_cast<std::uint32_t>(layout.thumbJpeg.size()), 160, 120}));
    EXPECT_TRUE(r->m_thumbnailIsJPEG);
    EXPECT_EQ(r->m_preview,
              (NRFEmbeddedImageLoc{static_cast<std::uint32_t>(file.fullAt),
                                   static_cast<std::uint32_t>(layout.fullJpeg.size()), 6000, 4000}));
    EXPECT_TRUE(r->m_previewIsJPEG);
    EXPECT_EQ(r->m_width, 6000u);
    EXPECT_EQ(r->m_height, 4000u);
    EXPECT_EQ(r->m_displayWidth, 6000u);
    EXPECT_EQ(r->m_displayHeight, 4000u);
    // CMT1..CMT4
    EXPECT_EQ(r->m_make, "Canon");
    EXPECT_EQ(r->m_model, "Canon EOS R5");
    EXPECT_EQ(r->m_captureTime, (KLDateTime{2022, 6, 7, 8, 9, 10}));
    EXPECT_FLOAT_EQ(r->m_exposureTime.value_or(0), 1.0f / 250);
    EXPECT_FLOAT_EQ(r->m_fNumber.value_or(0), 2.8f);
    EXPECT_EQ(r->m_iso, 400u);
    EXPECT_EQ(r->m_colorSpaceCode, 2); // sRGB, from the EXIF block
    EXPECT_EQ(r->m_firmware, "Firmware Version 1.2.3");
    EXPECT_TRUE(r->m_hasGPS);
    EXPECT_NEAR(r->m_latitude, 48.5, 1e-9);
    EXPECT_NEAR(r->m_longitude, 2.25, 1e-9);
    EXPECT_EQ(r->m_exifIFDEntryPos, 0u); // no such entry in the file
    EXPECT_EQ(r->m_gpsIFDEntryPos, 0u);
    EXPECT_EQ(r->m_xmpPacketPos, file.bytes.find(layout.xmp));
    EXPECT_EQ(r->m_xmpPacketLength, layout.xmp.size());

    // Without usable track 1 data the PRVW is the preview; the image keeps track 1's size.
    Cr3Layout noSample = layout;
    noSample.sampleSize = 0;
    const Cr3File built = buildCr3(noSample);
    ASSERT_EQ(read(built.bytes, r), kNRFErrNone);
    EXPECT_EQ(r->m_preview,
              (NRFEmbeddedImageLoc{static_cast<std::uint32_t>(built.previewAt),
                                   static_cast<std::uint32_t>(layout.previewJpeg.size()), 1620, 1080}));
    EXPECT_EQ(r->m_displayWidth, 1620u);
    EXPECT_EQ(r->m_width, 6000u);
}

TEST_F(CR3Test, TheFirstSampleSizeCountsFrom1001BytesToBelowHalfTheFile) {
    Cr3Layout layout = standardLayout();
    const std::size_t fileSize = buildCr3(layout).bytes.size(); // the size field is fixed: sizes do not move
    const auto previewLength = [&](std::uint32_t sampleSize) {
        layout.sampleSize = sampleSize;
        const Cr3File file = buildCr3(layout);
        EXPECT_EQ(file.bytes.size(), fileSize);
        NRFImageInfoRec record("", NRFMakeFileType("CCR3"));
        EXPECT_EQ(readStructure(file.bytes, record), kNRFErrNone);
        return record.m_preview.width == 6000 ? record.m_preview.length : 0;
    };
    EXPECT_EQ(previewLength(1000), 0u);
    EXPECT_EQ(previewLength(1001), 1001u);
    const auto half = static_cast<std::uint32_t>(fileSize / 2);
    EXPECT_EQ(previewLength(half - 1), half - 1);
    EXPECT_EQ(previewLength(half), 0u);
    EXPECT_EQ(previewLength(0xFFFFFFF0u), 0u);
}

TEST_F(CR3Test, ThumbnailAndPreviewAcceptanceRules) {
    const Cr3Layout base = standardLayout();
    NRFImageInfoRef r;
    { // a THMB stream with a JFIF segment (FF D8 FF E0) or larger than 1024 is not taken
        Cr3Layout layout = base;
        lumo::test::JpegBuilder jfif(40, 30);
        jfif.addJfif();
        layout.thumbJpeg = jfif.build();
        ASSERT_EQ(read(buildCr3(layout).bytes, r), kNRFErrNone);
        EXPECT_FALSE(r->m_thumbnail.present());
        layout = base;
        layout.thumbWidth = 1025;
        ASSERT_EQ(read(buildCr3(layout).bytes, r), kNRFErrNone);
        EXPECT_FALSE(r->m_thumbnail.present());
        // A THMB JPEG longer than its box is not taken either.
        layout = base;
        Cr3File file = buildCr3(layout);
        const std::size_t lengthAt = file.thumbAt - 8;
        file.bytes[lengthAt] = '\x01';
        ASSERT_EQ(read(file.bytes, r), kNRFErrNone);
        EXPECT_FALSE(r->m_thumbnail.present());
    }
    { // a PRVW no larger than the thumbnail, or not a JPEG, is not taken; then the track 1 JPEG alone
        Cr3Layout layout = base;
        layout.sampleSize = 0;
        layout.previewWidth = 160;
        ASSERT_EQ(read(buildCr3(layout).bytes, r), kNRFErrNone);
        EXPECT_FALSE(r->m_preview.present());
        EXPECT_EQ(r->m_displayWidth, 160u); // the thumbnail's
        layout = base;
        layout.sampleSize = 0;
        layout.previewJpeg = "not a JPEG stream at all";
        ASSERT_EQ(read(buildCr3(layout).bytes, r), kNRFErrNone);
        EXPECT_FALSE(r->m_preview.present());
        EXPECT_FALSE(r->m_previewIsJPEG);
    }
    { // a track 1 sample that is not a JPEG stream drops the preview
        Cr3Layout layout = base;
        layout.fullJpeg = std::string(5000, 'j');
        ASSERT_EQ(read(buildCr3(layout).bytes, r), kNRFErrNone);
        EXPECT_FALSE(r->m_preview.present());
        EXPECT_FALSE(r->m_previewIsJPEG);
        EXPECT_EQ(r->m_width, 6000u);
    }
    { // no image at all and no track size: the size is bogus
        Cr3Layout layout = base;
        layout.thumbJpeg = layout.previewJpeg = "none";
        layout.fullWidth = layout.fullHeight = 0;
        EXPECT_EQ(read(buildCr3(layout).bytes, r), kNRFErrBadFormat);
    }
    { // the media data as a last box of size 0 is read to the end of the file
        Cr3Layout layout = base;
        layout.mdatToEnd = true;
        const Cr3File file = buildCr3(layout);
        ASSERT_EQ(read(file.bytes, r), kNRFErrNone);
        EXPECT_EQ(r->m_preview.offset, file.fullAt);
        EXPECT_EQ(r->m_preview.width, 6000u);
    }
}

TEST_F(CR3Test, WrongBrandsSignaturesAndBrokenBoxesFail) {
    const Cr3Layout base = standardLayout();
    NRFImageInfoRec record("", NRFMakeFileType("CCR3"));
    Cr3Layout layout = base;
    layout.brand = "heic";
    EXPECT_EQ(readStructure(buildCr3(layout).bytes, record), kNRFErrBadFormat);
    EXPECT_EQ(readStructure(std::string("\0\0\0\x10"
                                        "moov"
                                        "\0\0\0\x08"
                                        "free",
                                        16),
                            record),
              kNRFErrBadFormat);
    EXPECT_EQ(readStructure("abc", record), 5u);

    layout = base;
    layout.cmt1 = std::string("XX*\0\x08\0\0\0", 8) + std::string(32, '\0');
    EXPECT_EQ(readStructure(buildCr3(layout).bytes, record), kNRFErrBadFormat);
    layout.cmt1 = std::string("II*", 3);
    EXPECT_EQ(readStructure(buildCr3(layout).bytes, record), 5u);
    // A TIFF block whose IFD0 cannot be read fails the file.
    layout.cmt1 = std::string("II*\0\xF0\0\0\0", 8) + std::string(8, '\0');
    EXPECT_NE(readStructure(buildCr3(layout).bytes, record), kNRFErrNone);

    // A THMB too short for its header, a box of size 5 inside the metadata container, a track header
    // without its id: 10.
    const Cr3File good = buildCr3(base);
    std::string bytes = good.bytes;
    const std::size_t thmb = good.thumbAt - 16 - 8;
    ASSERT_EQ(bytes.compare(thmb + 4, 4, "THMB"), 0);
    bytes.replace(thmb, 4, std::string("\0\0\0\x14", 4)); // 12 bytes of payload
    EXPECT_EQ(readStructure(bytes, record), 10u);
    bytes = good.bytes;
    bytes.replace(thmb, 4, std::string("\0\0\0\x05", 4));
    EXPECT_EQ(readStructure(bytes, record), 10u);
    bytes = good.bytes;
    const std::size_t tkhd = bytes.find("tkhd");
    ASSERT_NE(tkhd, std::string::npos);
    bytes.replace(tkhd - 4, 4, std::string("\0\0\0\x0c", 4)); // 4 bytes of payload
    EXPECT_EQ(readStructure(bytes, record), 10u);
}

TEST_F(CR3Test, ThumbnailsComeOutUprightAndThePreviewCanBeExtracted) {
    Cr3Layout layout = standardLayout();
    layout.orientation = 6; // turn a quarter clockwise to show
    layout.fullWidth = 300;
    layout.fullHeight = 200;
    layout.previewWidth = 81;
    layout.previewHeight = 54;
    NRFImageInfoRef r;
    ASSERT_EQ(read(buildCr3(layout).bytes, r), kNRFErrNone);
    EXPECT_EQ(r->m_orientation, 1);
    EXPECT_EQ(r->m_preview.width, 300u); // stored, not turned
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 256, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_LT(bitmap.Width(), bitmap.Height());
    ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), kNRFErrNone);
    EXPECT_EQ(bitmap.Width(), 30u);
    EXPECT_EQ(bitmap.Height(), 40u);

    const std::string out = m_dir.file("preview.jpg");
    ASSERT_EQ(NRFExtractPreview(r.get(), out.c_str(), false), kNRFErrNone);
    const lumo::test::DecodedJpeg decoded = lumo::test::decodeJpeg(lumo::test::readWholeFile(out));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width, 300);
    EXPECT_EQ(decoded.height, 200);
}

TEST_F(CR3Test, CorpusFilesAgreeWithExiftool) {
    namespace fs = std::filesystem;
    using nlohmann::json;
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    const std::string r6 = corpus + "/exiv2/Canon-R6-pruned.CR3";
    const std::string m50 = corpus + "/exiftool/CanonRaw.cr3";
    ASSERT_TRUE(fs::exists(r6) && fs::exists(m50));

    // The M50 sample is cut down to its metadata: its PRVW box says 372221 bytes inside a preview
    // container of 74. The damaged container costs the preview only; the camera values stay.
    const std::optional<json> exiftool =
        lumo::test::exiftoolJson({"-n", "-ImageWidth", "-ImageHeight", "-Make", "-Model", "-DateTimeOriginal",
                                  "-ISO", "-FNumber", "-ExposureTime", r6, m50});
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    ASSERT_EQ(exiftool->size(), 2u);
    NRFImageInfoRef r;
    ASSERT_EQ(read(lumo::test::readWholeFile(m50), r, "m50.cr3"), kNRFErrNone);
    EXPECT_FALSE(r->m_preview.present());
    const json& m50Values = (*exiftool)[1];
    EXPECT_EQ(r->m_width, m50Values.at("ImageWidth").get<std::uint32_t>());
    EXPECT_EQ(r->m_height, m50Values.at("ImageHeight").get<std::uint32_t>());
    EXPECT_EQ(r->m_make, m50Values.at("Make").get<std::string>());
    EXPECT_EQ(r->m_model, m50Values.at("Model").get<std::string>());
    EXPECT_EQ(r->m_captureTime, (KLDateTime{2018, 2, 21, 12, 8, 56}));
    EXPECT_EQ(m50Values.at("DateTimeOriginal").get<std::string>(), "2018:02:21 12:08:56");

    // The R6 sample keeps its thumbnail and PRVW; track 1's data was cut off (its chunk lies past the
    // end of the file), so the PRVW is the preview and the image keeps track 1's size.
    ASSERT_EQ(read(lumo::test::readWholeFile(r6), r, "r6.cr3"), kNRFErrNone);
    EXPECT_EQ(r->m_preview.width, 1620u);
    EXPECT_EQ(r->m_preview.height, 1080u);
    EXPECT_EQ(r->m_thumbnail.width, 160u);
    const json& values = (*exiftool)[0];
    EXPECT_EQ(r->m_width, values.at("ImageWidth").get<std::uint32_t>());
    EXPECT_EQ(r->m_height, values.at("ImageHeight").get<std::uint32_t>());
    EXPECT_EQ(r->m_make, values.at("Make").get<std::string>());
    EXPECT_EQ(r->m_model, values.at("Model").get<std::string>());
    char time[32];
    std::snprintf(time, sizeof time, "%04d:%02d:%02d %02d:%02d:%02d", r->m_captureTime.year,
                  r->m_captureTime.month, r->m_captureTime.day, r->m_captureTime.hour,
                  r->m_captureTime.minute, r->m_captureTime.second);
    EXPECT_EQ(time, values.at("DateTimeOriginal").get<std::string>());
    EXPECT_EQ(r->m_iso, values.at("ISO").get<std::uint32_t>());
    EXPECT_NEAR(r->m_fNumber.value_or(0), values.at("FNumber").get<double>(), 0.01);
    EXPECT_NEAR(r->m_exposureTime.value_or(0), values.at("ExposureTime").get<double>(), 1e-4);

    const std::string out = m_dir.file("r6.jpg");
    ASSERT_EQ(NRFExtractPreview(r.get(), out.c_str(), false), kNRFErrNone);
    const lumo::test::DecodedJpeg decoded = lumo::test::decodeJpeg(lumo::test::readWholeFile(out));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width, 1620);
    EXPECT_EQ(decoded.height, 1080);
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 256, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_GT(bitmap.Width(), bitmap.Height());
    EXPECT_GE(bitmap.Width(), 256u);
}

// Writes the fuzzer's seed files (fuzz/seeds/cr3) when LUMO_CR3_SEEDS names a folder: a sound file,
// one with the media data to the end, one with a 64-bit box, and a few broken ones.
TEST(CR3Seeds, WriteFuzzSeeds) {
    const char* folder = std::getenv("LUMO_CR3_SEEDS");
    if (!folder || !*folder)
        GTEST_SKIP() << "LUMO_CR3_SEEDS is not set";
    Cr3Layout layout;
    layout.thumbJpeg = lumo::test::encodeJpeg(16, 12, true, 30);
    layout.previewJpeg = lumo::test::encodeJpeg(24, 16, true, 30);
    layout.fullJpeg = lumo::test::encodeJpeg(48, 32, true, 30);
    layout.padding = 4096;
    const std::string sound = buildCr3(layout).bytes;
    lumo::test::writeWholeFile(std::string(folder) + "/sound.cr3", sound);
    layout.mdatToEnd = true;
    layout.orientation = 6;
    lumo::test::writeWholeFile(std::string(folder) + "/mdat-to-end.cr3", buildCr3(layout).bytes);
    layout.sampleSize = 0;
    layout.brand = "heic";
    lumo::test::writeWholeFile(std::string(folder) + "/other-brand.cr3", buildCr3(layout).bytes);
    BmffBuilder large;
    large.ftyp("crx ", 1, {"crx "});
    BmffBox& cmt1 = large.box("moov").largeSize().uuidBox(kMetadataUUID).box("CMT1");
    cmt1.bytes(std::string("MM\0*\0\0\0\x08\0\0", 10));
    BmffBox& prvw = large.uuidBox(kPreviewUUID).u64(1).box("PRVW").sizeToEnd();
    prvw.u32(0).u16(1).u16(2).u16(2).u16(1).u32(4).bytes("\xFF\xD8\xFF\xDB");
    lumo::test::writeWholeFile(std::string(folder) + "/large-size.cr3", large.build());
    lumo::test::writeWholeFile(std::string(folder) + "/truncated.cr3", sound.substr(0, sound.size() / 3));
}
