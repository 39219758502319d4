// The file builders checked against independent readers (exiftool, exiv2, the JPEG library), so that
// reader tests built on them can trust what they state.

#include "support/BmffBuilder.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace lumo::test {
namespace {

// A reference reader found on PATH (scripts/setup installs them).
std::string tool(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin";
    for (size_t from = 0; from <= path.size();) {
        size_t to = path.find(':', from);
        to = to == std::string::npos ? path.size() : to;
        const std::string candidate = path.substr(from, to - from) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        from = to + 1;
    }
    ADD_FAILURE() << name << " is not installed (scripts/setup installs it)";
    return name;
}

// exiftool's JSON for one file, with group names and numeric values.
nlohmann::json exiftoolJson(const std::string& path) {
    const auto r = runProcess(tool("exiftool"), {"-j", "-n", "-G1", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto all = nlohmann::json::parse(r.out, nullptr, false);
    return all.is_array() && !all.empty() ? all[0] : nlohmann::json::object();
}

uint32_t readU32(const std::string& b, size_t at, bool big) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) {
        const auto byte = static_cast<uint8_t>(b.at(at + (big ? i : 3 - i)));
        v = (v << 8) | byte;
    }
    return v;
}

uint64_t readU64(const std::string& b, size_t at) {
    return (uint64_t{readU32(b, at, true)} << 32) | readU32(b, at + 4, true);
}

TEST(TiffBuilderTest, BothByteOrdersReadBackByExiftoolAndExiv2) {
    TempDir dir;
    const std::string thumbnail = encodeJpeg(16, 12);
    for (ByteOrder order : {ByteOrder::Little, ByteOrder::Big}) {
        const bool big = order == ByteOrder::Big;
        TiffBuilder t(order);
        auto& ifd0 = t.ifd();
        ifd0.add(0x010F, "Canon").add(0x0110, "Canon EOS 5D Mark IV").addShort(0x0112, 6);
        auto& exif = ifd0.subIfd(0x8769);
        exif.addRational(0x829A, 1, 250).addRational(0x829D, 28, 10).add(0x9003, "2019:05:05 08:00:00");
        exif.addSRational(0x9204, -1, 3).addShort(0x8827, 400);
        auto& gps = ifd0.subIfd(0x8825);
        gps.addByte(0x0000, {2, 3, 0, 0}).add(0x0001, "N").addRationals(0x0002, {{48, 1}, {30, 1}, {0, 1}});
        gps.add(0x0003, "W").addRationals(0x0004, {{2, 1}, {15, 1}, {36, 1}});
        auto& ifd1 = ifd0.next();
        ifd1.addShort(0x0103, 6);
        const size_t thumb = ifd1.addBlob(0x0201, 0x0202, thumbnail);
        const std::string bytes = t.build();

        EXPECT_EQ(bytes.substr(0, 4), big ? std::string("MM\0*", 4) : std::string("II*\0", 4));
        EXPECT_EQ(bytes.substr(t.blobPosition(thumb), thumbnail.size()), thumbnail);
        const size_t orientation = t.entryPosition(ifd0, 0x0112);
        EXPECT_EQ(readU32(bytes, orientation + 4, big), 1u); // count

        const std::string path = dir.file(big ? "mm.tif" : "ii.tif");
        writeWholeFile(path, bytes);
        const auto j = exiftoolJson(path);
        EXPECT_EQ(j.value("ExifTool:Warning", ""), "");
        EXPECT_EQ(j.value("IFD0:Make", ""), "Canon");
        EXPECT_EQ(j.value("IFD0:Model", ""), "Canon EOS 5D Mark IV");
        EXPECT_EQ(j.value("IFD0:Orientation", 0), 6);
        EXPECT_DOUBLE_EQ(j.value("ExifIFD:ExposureTime", 0.0), 0.004);
        EXPECT_DOUBLE_EQ(j.value("ExifIFD:FNumber", 0.0), 2.8);
        EXPECT_NEAR(j.value("ExifIFD:ExposureCompensation", 0.0), -1.0 / 3, 1e-6);
        EXPECT_EQ(j.value("ExifIFD:ISO", 0), 400);
        EXPECT_EQ(j.value("ExifIFD:DateTimeOriginal", ""), "2019:05:05 08:00:00");
        EXPECT_EQ(j.value("GPS:GPSLatitudeRef", ""), "N");
        EXPECT_NEAR(j.value("GPS:GPSLatitude", 0.0), 48.5, 1e-9);
        EXPECT_EQ(j.value("GPS:GPSLongitudeRef", ""), "W");
        EXPECT_NEAR(j.value("GPS:GPSLongitude", 0.0), 2.26, 1e-9);
        EXPECT_EQ(j.value("IFD1:ThumbnailOffset", 0u), t.blobPosition(thumb));

        const auto extracted = runProcess(tool("exiftool"), {"-b", "-ThumbnailImage", path});
        EXPECT_EQ(extracted.out, thumbnail);
        const auto exiv2 = runProcess(tool("exiv2"), {"-q", "-K", "Exif.Image.Model", "-Pv", path});
        EXPECT_EQ(exiv2.out, "Canon EOS 5D Mark IV\n");
    }
}

TEST(TiffBuilderTest, HeaderVariationsAndFaultsAreWrittenAsStated) {
    // EXIF inside another container: offsets stay relative to the header after the prefix.
    TiffBuilder exif(ByteOrder::Big);
    exif.setPrefix(std::string("Exif\0\0", 6)).ifd().add(0x010F, "NIKON CORPORATION");
    std::string bytes = exif.build();
    EXPECT_EQ(bytes.substr(0, 10), std::string("Exif\0\0MM\0*", 10));
    EXPECT_EQ(exif.ifdPosition(exif.ifd()), 6 + readU32(bytes, 10, true));

    // A raw with its own magic and a 16-byte header whose IFD0 pointer is stale.
    TiffBuilder raw(ByteOrder::Little);
    raw.setMagic(0x4F52).setHeaderTail(std::string("CR\2\0\0\0\0\0", 8)).setIfd0Offset(0x1234);
    raw.ifd().add(0x010F, "OLYMPUS");
    bytes = raw.build();
    EXPECT_EQ(bytes.substr(0, 4), "IIRO");
    EXPECT_EQ(readU32(bytes, 4, false), 0x1234u);
    EXPECT_EQ(raw.ifdPosition(raw.ifd()), 16u);

    // Faults: a value past the end, a count whose byte size overflows, a loop back to IFD0, a cut.
    TiffBuilder t(ByteOrder::Little);
    auto& ifd0 = t.ifd();
    ifd0.addPastEnd(0x010F, TiffType::Ascii, 40).add(0x0110, "Model");
    ifd0.addEntry(0x0111, TiffType::Long, 0x40000001, 8);
    ifd0.next().linkNext(ifd0);
    bytes = t.build();
    EXPECT_EQ(readU32(bytes, t.entryPosition(ifd0, 0x010F) + 8, false), bytes.size());
    EXPECT_EQ(readU32(bytes, t.entryPosition(ifd0, 0x0111) + 4, false), 0x40000001u);
    const size_t ifd1 = readU32(bytes, t.ifdPosition(ifd0) + 2 + 12 * 3, false);
    EXPECT_EQ(readU32(bytes, ifd1 + 2, false), t.ifdPosition(ifd0));
    TempDir dir;
    writeWholeFile(dir.file("faults.tif"), bytes);
    const auto j = exiftoolJson(dir.file("faults.tif"));
    // exiftool gives up on the IFD at the first bad entry; finishing at all shows the loop is harmless.
    EXPECT_EQ(j.value("ExifTool:Warning", ""), "Error reading value for IFD0 entry 0") << j.dump();

    EXPECT_EQ(t.truncateTo(20).build().size(), 20u);
    t.ifd().declareCount(1001);
    EXPECT_EQ(t.truncateTo(std::string::npos).build().substr(8, 2), "\xE9\x03");
}

TEST(JpegBuilderTest, SegmentsReadByExiftoolAndPixelsDecode) {
    TiffBuilder tiff(ByteOrder::Little);
    tiff.ifd().add(0x010F, "FUJIFILM").addShort(0x0112, 8);
    const std::string xmp =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
        "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"4\"/></rdf:RDF></x:xmpmeta>";
    const std::string caption = "Finish line";
    const std::string iim = std::string("\x1C\x02\x78\x00", 4) + static_cast<char>(caption.size()) + caption;

    JpegBuilder jb(64, 48);
    const size_t exifSeg = jb.addExif(tiff.build());
    jb.addXmp(xmp);
    jb.addPhotoshop(photoshopResource(0x0404, iim));
    const size_t icc = jb.addIcc(std::string(100, 'p'), 3);
    jb.addComment("AppleMark");
    const std::string bytes = jb.build();

    EXPECT_EQ(bytes.substr(jb.segmentPosition(exifSeg), 2), "\xFF\xE1");
    EXPECT_EQ(bytes.substr(jb.payloadPosition(exifSeg), 8), std::string("Exif\0\0II", 8));
    EXPECT_EQ(bytes.substr(jb.payloadPosition(icc + 2) + 12, 2), "\x03\x03");
    EXPECT_EQ(bytes.substr(jb.encoderSegmentsPosition(), 2), "\xFF\xDB"); // the encoder's DQT follows

    TempDir dir;
    writeWholeFile(dir.file("a.jpg"), bytes);
    const auto j = exiftoolJson(dir.file("a.jpg"));
    EXPECT_EQ(j.value("IFD0:Make", ""), "FUJIFILM");
    EXPECT_EQ(j.value("IFD0:Orientation", 0), 8);
    EXPECT_EQ(j.value("XMP-xmp:Rating", 0), 4);
    EXPECT_EQ(j.value("IPTC:Caption-Abstract", ""), caption);
    EXPECT_EQ(j.value("File:Comment", ""), "AppleMark");
    EXPECT_EQ(j.value("File:ImageWidth", 0), 64);

    const auto colour = decodeJpeg(bytes);
    ASSERT_TRUE(colour.ok) << colour.error;
    EXPECT_EQ(colour.width, 64);
    EXPECT_EQ(colour.height, 48);
    EXPECT_EQ(colour.components, 3);
    EXPECT_NEAR(colour.pixels[2], 128, 8); // blue of the top-left pixel
    const auto grey = decodeJpeg(JpegBuilder(8, 8, false, 50).build());
    ASSERT_TRUE(grey.ok) << grey.error;
    EXPECT_EQ(grey.components, 1);
}

TEST(JpegBuilderTest, FaultsAreWrittenAsStated) {
    const std::string plain = encodeJpeg(32, 32);
    JpegBuilder wrapped(plain);
    wrapped.prependGarbage(std::string(100, 'w')).appendGarbage("trailing");
    const size_t bad = wrapped.addSegmentWithLength(0xE1, "Exif", 0xFFF0);
    std::string bytes = wrapped.build();
    EXPECT_EQ(bytes.substr(100, 2), "\xFF\xD8");
    EXPECT_EQ(bytes.substr(wrapped.segmentPosition(bad) + 2, 2), "\xFF\xF0");
    EXPECT_EQ(bytes.substr(bytes.size() - 10), "\xFF\xD9trailing");

    JpegBuilder noEoi(plain);
    bytes = noEoi.dropEoi().build();
    EXPECT_EQ(bytes.size(), plain.size() - 2);
    EXPECT_FALSE(decodeJpeg(bytes).ok);
    EXPECT_FALSE(decodeJpeg(JpegBuilder(plain).truncateTo(plain.size() / 2).build()).ok);
    EXPECT_FALSE(decodeJpeg("not a jpeg").ok);
}

// Walks a box tree the way a reader does: "|parent|child" paths with each box's size.
void walk(const std::string& b, size_t from, size_t to, const std::string& path,
          std::vector<std::pair<std::string, uint64_t>>& out) {
    while (from + 8 <= to) {
        uint64_t size = readU32(b, from, true);
        const std::string type = b.substr(from + 4, 4);
        size_t header = 8;
        if (size == 1) {
            size = readU64(b, from + 8);
            header = 16;
        } else if (size == 0) {
            size = to - from;
        }
        if (type == "uuid")
            header += 16;
        ASSERT_GE(size, header);
        ASSERT_LE(from + size, to);
        out.emplace_back(path + "|" + type, size);
        const size_t skip = type == "meta" || type == "iinf" ? (type == "iinf" ? 6 : 4) : 0;
        if (type == "meta" || type == "iinf" || type == "iprp" || type == "ipco" || type == "moov" ||
            type == "trak" || type == "mdia" || type == "minf" || type == "stbl" || type == "uuid")
            walk(b, from + header + skip, from + size, path + "|" + type, out);
        from += size;
    }
}

TEST(BmffBuilderTest, HeifItemsReadByExiftool) {
    TiffBuilder tiff(ByteOrder::Big);
    tiff.ifd().add(0x010F, "Apple").add(0x0110, "iPhone 12");
    const std::string exif = tiff.build();

    BmffBuilder b;
    b.ftyp("heic", 0, {"mif1", "heic"});
    auto& meta = b.fullBox("meta", 0);
    bmff::hdlr(meta, "pict");
    bmff::pitm(meta, 1);
    auto& iinf = bmff::iinf(meta, 2);
    bmff::infe(iinf, 1, "hvc1");
    bmff::infe(iinf, 2, "Exif");
    auto& iprp = meta.box("iprp");
    bmff::ispe(iprp.box("ipco"), 640, 480);
    bmff::ipma(iprp, {{1, {0x81}}});
    auto& mdat =
        b.box("mdat").bytes(std::string(16, 'h')).u32(6).bytes(std::string("Exif\0\0", 6)).bytes(exif);
    // iloc names boxes laid out after it; their positions are filled in at build time.
    bmff::iloc(meta, {{1, &mdat, 0, 16}, {2, &mdat, 16, static_cast<uint32_t>(10 + exif.size())}});
    const std::string bytes = b.build();

    TempDir dir;
    writeWholeFile(dir.file("a.heic"), bytes);
    const auto j = exiftoolJson(dir.file("a.heic"));
    EXPECT_EQ(j.value("IFD0:Make", ""), "Apple");
    EXPECT_EQ(j.value("IFD0:Model", ""), "iPhone 12");
    EXPECT_EQ(j.value("QuickTime:ImageSpatialExtent", ""), "640 480") << j.dump();
    EXPECT_EQ(j.value("QuickTime:HandlerType", ""), "pict");
    EXPECT_EQ(j.value("Meta:PrimaryItemReference", 0), 1);
    EXPECT_EQ(j.value("QuickTime:MediaDataOffset", 0u), BmffBuilder::payloadPosition(mdat));
}

TEST(BmffBuilderTest, BoxTreeSizesAndFaults) {
    BmffBuilder b;
    b.ftyp("crx ", 1, {"crx ", "isom"});
    auto& moov = b.box("moov");
    moov.uuidBox("85c0b687-820f-11e0-8111-f4ce462b6a48").box("CMT1").bytes(std::string("II*\0", 4));
    auto& trak = moov.box("trak");
    bmff::tkhd(trak, 1, 6000, 4000);
    auto& stbl = trak.box("mdia").box("minf").box("stbl");
    bmff::stsz(stbl, {2000});
    auto& free = b.box("free").largeSize().bytes("xyz");
    auto& mdat = b.box("mdat").sizeToEnd().bytes(std::string(2000, 'j'));
    auto& co64 = bmff::co64(stbl, mdat, 0);
    const std::string bytes = b.build();

    std::vector<std::pair<std::string, uint64_t>> boxes;
    walk(bytes, 0, bytes.size(), "", boxes);
    const std::vector<std::pair<std::string, uint64_t>> expected = {
        {"|ftyp", 24},
        {"|moov", BmffBuilder::size(moov)},
        {"|moov|uuid", 8 + 16 + 12},
        {"|moov|uuid|CMT1", 12},
        {"|moov|trak", BmffBuilder::size(trak)},
        {"|moov|trak|tkhd", 92},
        {"|moov|trak|mdia", 8 + 8 + 8 + 24 + 24},
        {"|moov|trak|mdia|minf", 8 + 8 + 24 + 24},
        {"|moov|trak|mdia|minf|stbl", 8 + 24 + 24},
        {"|moov|trak|mdia|minf|stbl|stsz", 24},
        {"|moov|trak|mdia|minf|stbl|co64", 24},
        {"|free", 19},
        {"|mdat", 2008},
    };
    EXPECT_EQ(boxes, expected);
    EXPECT_EQ(readU32(bytes, BmffBuilder::position(free), true), 1u);
    EXPECT_EQ(readU32(bytes, BmffBuilder::position(mdat), true), 0u);
    EXPECT_EQ(readU64(bytes, BmffBuilder::payloadPosition(co64) + 8), BmffBuilder::payloadPosition(mdat));

    BmffBuilder faults;
    faults.box("tiny").declareSize(4);
    faults.box("long").declareSize(1000).u32(7);
    const std::string f = faults.build();
    EXPECT_EQ(f.size(), 20u);
    EXPECT_EQ(readU32(f, 0, true), 4u);
    EXPECT_EQ(readU32(f, 8, true), 1000u);
}

} // namespace
} // namespace lumo::test
