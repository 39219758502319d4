// The HEIC/HEIF reader: the item walk over files built box by box (EXIF and XMP items, their
// locations in the file and in "idat", damaged items), XMP packets placed into real HEIC files made by
// libheif's encoder (in place, by expanding the file, refused for two "mdat" boxes, a failed rename
// leaving the file alone) with exiftool reading the packet back and the pixels decoding the same, and
// the corpus's HEIC/HIF files compared with exiftool.

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFHEIF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLogger.h"
#include "support/BmffBuilder.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using json = nlohmann::json;
using lumo::test::BmffBox;
using lumo::test::BmffBuilder;
using lumo::test::TempDir;
using lumo::test::TiffBuilder;
namespace bmff = lumo::test::bmff;
namespace fs = std::filesystem;

namespace {

std::string exifPayload(const std::string& tiff, std::uint32_t headerOffset = 6) {
    const std::string prefix =
        headerOffset == 6 ? std::string("Exif\0\0", 6) : std::string(headerOffset, '\0');
    return std::string{static_cast<char>(headerOffset >> 24), static_cast<char>(headerOffset >> 16),
                       static_cast<char>(headerOffset >> 8), static_cast<char>(headerOffset)} +
           prefix + tiff;
}

std::string cameraTiff() {
    TiffBuilder tiff(lumo::test::ByteOrder::Big);
    tiff.ifd().add(0x010F, "Lumo Cam").add(0x0110, "Model 7").addShort(0x0112, 6);
    tiff.ifd().subIfd(0x8769).add(0x9003, "2024:05:06 07:08:09");
    return tiff.build();
}

const std::string kXMP =
    "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'/>"
    "<?xpacket end='w'?>";

struct ItemFile {
    std::string bytes;
    std::size_t exifAt = 0, xmpAt = 0;
};

// ftyp, meta (hdlr, pitm, iinf, iloc, iprp) and one mdat holding the EXIF and XMP items.
ItemFile itemFile(const std::string& exif, bool locateXMP = true, bool xmpPastEnd = false) {
    BmffBuilder b;
    b.ftyp("heic", 0, {"mif1", "heic"});
    BmffBox& meta = b.fullBox("meta", 0);
    BmffBox& mdat = b.box("mdat");
    bmff::hdlr(meta, "pict");
    bmff::pitm(meta, 1);
    BmffBox& iinf = bmff::iinf(meta, 3);
    bmff::infe(iinf, 1, "hvc1");
    bmff::infe(iinf, 2, "Exif");
    bmff::infe(iinf, 3, "mime", "application/rdf+xml");
    std::vector<bmff::IlocExtent> extents = {{1, &mdat, 0, 4},
                                             {2, &mdat, 4, static_cast<uint32_t>(exif.size())}};
    if (locateXMP)
        extents.push_back({3, &mdat, static_cast<uint32_t>(4 + exif.size()),
                           static_cast<uint32_t>(kXMP.size() + (xmpPastEnd ? 100 : 0))});
    bmff::iloc(meta, extents);
    BmffBox& iprp = meta.box("iprp");
    BmffBox& ipco = iprp.box("ipco");
    bmff::ispe(ipco, 640, 480);
    ipco.box("irot").u8(3);
    bmff::ipma(iprp, {{1, {0x81, 2}}});
    mdat.bytes("HEVC").bytes(exif).bytes(kXMP);
    ItemFile out;
    out.bytes = b.build();
    out.exifAt = BmffBuilder::payloadPosition(mdat) + 4;
    out.xmpAt = out.exifAt + exif.size();
    return out;
}

NRFErr readItems(const std::string& bytes, NRFImageInfoRec& record) {
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    NRFContext context;
    return NRFReadHEIFItems(context, record, source);
}

std::string xmpPacket(const std::string& title, std::size_t filler = 0) {
    return "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>\n"
           "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
           "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
           "<rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/'>"
           "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>" +
           title + "</rdf:li></rdf:Alt></dc:title><dc:source>" + std::string(filler, 'x') +
           "</dc:source></rdf:Description></rdf:RDF></x:xmpmeta>\n<?xpacket end='w'?>";
}

std::string exiftoolTitle(const std::string& path) {
    const auto result = lumo::test::exiftoolJson({"-XMP:all", path});
    if (!result || result->empty())
        return "(no exiftool)";
    return (*result)[0].value("Title", std::string("(none)"));
}

// What the log holds so far.
std::string logText() {
    LumoLogger& log = LumoLogger::instance();
    const std::string path = log.logFilePath();
    return (path.empty() || !fs::exists(path) ? std::string() : lumo::test::readWholeFile(path)) +
           log.pendingText();
}

bool samePixels(const NRFBitmapBase& a, const NRFBitmapBase& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.Channels() != b.Channels())
        return false;
    for (std::uint32_t y = 0; y < a.Height(); ++y)
        if (!std::equal(a.Row(y), a.Row(y) + a.Stride(), b.Row(y)))
            return false;
    return true;
}

class HEIFTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NRFInit(""), kNRFErrNone); }
    void TearDown() override {
        lumo::clearFileFaults();
        NRFTerminate();
    }

    // A real HEIC file from libheif's HEVC encoder (heif-enc over a JPEG written here); empty when the
    // encoder is missing.
    std::string encodeHeic(const std::string& name, int width, int height) {
        const std::string jpeg = m_dir.file(name + ".jpg"), heic = m_dir.file(name + ".heic");
        lumo::test::writeWholeFile(jpeg, lumo::test::encodeJpeg(width, height));
        const auto result = lumo::test::runProcess("heif-enc", {"-q", "80", "-o", heic, jpeg});
        return result.exitCode == 0 && fs::exists(heic) ? heic : std::string();
    }

    NRFErr open(const std::string& path, NRFImageInfoRef& record) {
        record.reset();
        if (const NRFErr err = NRFOpenImage(path.c_str(), 0, &record); err != kNRFErrNone)
            return err;
        return NRFGetImageInfo(record.get());
    }

    TempDir m_dir;
};

} // namespace

TEST_F(HEIFTest, ItemWalkFindsExifXmpAndPrimaryProperties) {
    const ItemFile file = itemFile(exifPayload(cameraTiff()));
    NRFImageInfoRec record("x.heic", kNRFTypeHEIC);
    ASSERT_EQ(readItems(file.bytes, record), 0u);
    EXPECT_EQ(record.m_make, "Lumo Cam");
    EXPECT_EQ(record.m_model, "Model 7");
    EXPECT_EQ(record.m_captureTime, (KLDateTime{2024, 5, 6, 7, 8, 9}));
    EXPECT_EQ(record.m_orientation, 1); // EXIF orientation 6: a quarter turn clockwise
    EXPECT_EQ(record.m_exifSegmentPos, file.exifAt);
    EXPECT_EQ(record.m_xmpPacketPos, file.xmpAt);
    EXPECT_EQ(record.m_xmpPacketLength, kXMP.size());
    auto* info = dynamic_cast<HEIFPluginPrivateInfo*>(record.m_privateInfo.get());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->primaryItem, 1u);
    EXPECT_EQ(info->exifItem, 2u);
    EXPECT_EQ(info->xmpItem, 3u);
    EXPECT_EQ(info->imageWidth, 640u);
    EXPECT_EQ(info->imageHeight, 480u);
    EXPECT_EQ(info->rotation, 3);
    EXPECT_EQ(info->mdatCount, 1);
}

TEST_F(HEIFTest, ItemWalkSurvivesDamagedItems) {
    // A TIFF header that is not one, and an offset word pointing past the item: no EXIF, still read.
    for (const std::string& exif : {exifPayload("XX\0*\0\0\0\x08" + std::string(8, '\0')),
                                    std::string("\0\0\x10\0", 4) + std::string(12, '\0')}) {
        NRFImageInfoRec record("x.heic", kNRFTypeHEIC);
        ASSERT_EQ(readItems(itemFile(exif).bytes, record), 0u);
        EXPECT_TRUE(record.m_make.empty());
        EXPECT_EQ(record.m_exifSegmentPos, 0u);
        EXPECT_NE(record.m_xmpPacketPos, 0u);
    }
    // The XMP item without a location, and one running past the end of the file.
    for (const ItemFile& file :
         {itemFile(exifPayload(cameraTiff()), false), itemFile(exifPayload(cameraTiff()), true, true)}) {
        NRFImageInfoRec record("x.heic", kNRFTypeHEIC);
        ASSERT_EQ(readItems(file.bytes, record), 0u);
        EXPECT_EQ(record.m_make, "Lumo Cam");
        EXPECT_EQ(record.m_xmpPacketPos, 0u);
    }
    // Something other than "infe" inside "iinf" is a malformed file.
    BmffBuilder b;
    b.ftyp("heic", 0, {"mif1"});
    BmffBox& meta = b.fullBox("meta", 0);
    bmff::iinf(meta, 1).box("free").u32(0);
    NRFImageInfoRec record("x.heic", kNRFTypeHEIC);
    EXPECT_EQ(readItems(b.build(), record), 10u);
    // Cut inside "meta": nothing to describe.
    const std::string whole = itemFile(exifPayload(cameraTiff())).bytes;
    NRFImageInfoRec cut("x.heic", kNRFTypeHEIC);
    EXPECT_NE(readItems(whole.substr(0, 60), cut), 0u);
}

TEST_F(HEIFTest, ItemLocationVersionsAndIdat) {
    // iloc version 1 with the XMP item in "idat" (construction method 1) and a base offset; version 2
    // with 32-bit identifiers and 8-byte offsets.
    for (int version : {1, 2}) {
        BmffBuilder b;
        b.ftyp("heic", 0, {"mif1", "heic"});
        BmffBox& meta = b.fullBox("meta", 0);
        bmff::hdlr(meta, "pict");
        bmff::pitm(meta, 1);
        BmffBox& iinf = bmff::iinf(meta, 2);
        bmff::infe(iinf, 1, "hvc1");
        bmff::infe(iinf, 7, "mime", "application/rdf+xml");
        BmffBox& iloc = meta.fullBox("iloc", static_cast<uint8_t>(version));
        BmffBox& idat = meta.box("idat");
        idat.bytes("pad!").bytes(kXMP);
        if (version == 1) {
            iloc.u8(0x44).u8(0x40).u16(1);
            iloc.u16(7).u16(1).u16(0).u32(2).u16(1).u32(2).u32(static_cast<uint32_t>(kXMP.size()));
        } else {
            iloc.u8(0x84).u8(0x04).u32(1);
            iloc.u32(7).u16(1).u16(0).u16(1).u32(0).u64(4).u32(static_cast<uint32_t>(kXMP.size()));
        }
        b.box("mdat").bytes("HEVC");
        const std::string bytes = b.build();
        NRFImageInfoRec record("x.heic", kNRFTypeHEIC);
        ASSERT_EQ(readItems(bytes, record), 0u) << version;
        EXPECT_EQ(record.m_xmpPacketPos, BmffBuilder::payloadPosition(idat) + 4) << version;
        EXPECT_EQ(bytes.substr(record.m_xmpPacketPos, record.m_xmpPacketLength), kXMP) << version;

        // A larger packet moves out of "idat" into the media data.
        const std::string path = m_dir.file("v" + std::to_string(version) + ".heic");
        lumo::test::writeWholeFile(path, bytes);
        NRFImageInfoRec written(path, kNRFTypeHEIC);
        ASSERT_EQ(NRFHEIFWriteXMP(written, xmpPacket("Moved")), 0u) << version;
        const std::string after = lumo::test::readWholeFile(path);
        NRFImageInfoRec reread(path, kNRFTypeHEIC);
        ASSERT_EQ(readItems(after, reread), 0u) << version;
        EXPECT_EQ(reread.m_xmpPacketPos, written.m_xmpPacketPos) << version;
        EXPECT_EQ(after.compare(reread.m_xmpPacketPos, 40, xmpPacket("Moved"), 0, 40), 0) << version;
        EXPECT_EQ(after.find(kXMP), std::string::npos) << version;
        EXPECT_EQ(exiftoolTitle(path), "Moved") << version;
    }
}

TEST_F(HEIFTest, XmpPlacedByExpandingThenInPlaceThenExpandingAgain) {
    const std::string path = encodeHeic("photo", 96, 64);
    if (path.empty())
        LUMO_SKIP_OR_FAIL("heif-enc cannot encode here (scripts/setup installs libheif-examples)");
    NRFBitmapBase before;
    ASSERT_EQ(NRFHEIFDecode(path, 0, before), 0u);
    ASSERT_EQ(before.Width(), 96u);
    ASSERT_EQ(before.Height(), 64u);

    NRFImageInfoRef record;
    ASSERT_EQ(open(path, record), kNRFErrNone);
    EXPECT_EQ(record->m_width, 96u);
    EXPECT_EQ(record->m_xmpPacketPos, 0u);
    std::uint64_t size0 = 0;
    ASSERT_EQ(lumo::fileSize(path, size0), 0);

    // No XMP item: a new item is added and the file grows.
    const std::string first = xmpPacket("First");
    ASSERT_EQ(NRFHEIFWriteXMP(*record, first), 0u);
    std::uint64_t size1 = 0;
    ASSERT_EQ(lumo::fileSize(path, size1), 0);
    EXPECT_GT(size1, size0 + first.size());
    EXPECT_EQ(exiftoolTitle(path), "First");
    const std::string log = logText();
    for (const char* step :
         {"ExpandAndPatchHEIFForXMP", "InsertXMPInfoHEIF:1", "InsertXMPInfoHEIF:4", "ChangeBoxSize"})
        EXPECT_NE(log.find(step), std::string::npos) << step;
    std::string bytes = lumo::test::readWholeFile(path);
    ASSERT_NE(record->m_xmpPacketPos, 0u);
    EXPECT_EQ(bytes.substr(record->m_xmpPacketPos, first.size() - 19), first.substr(0, first.size() - 19));
    NRFBitmapBase after;
    ASSERT_EQ(NRFHEIFDecode(path, 0, after), 0u);
    EXPECT_TRUE(samePixels(before, after));

    // A packet that fits goes over the old one; the file keeps its length.
    const std::string second = xmpPacket("Second", 500);
    ASSERT_EQ(NRFHEIFWriteXMP(*record, second), 0u);
    std::uint64_t size2 = 0;
    ASSERT_EQ(lumo::fileSize(path, size2), 0);
    EXPECT_EQ(size2, size1);
    EXPECT_EQ(exiftoolTitle(path), "Second");

    // A packet larger than the item: the item moves to the end of the media data.
    const std::string third = xmpPacket("Third", 8000);
    ASSERT_EQ(NRFHEIFWriteXMP(*record, third), 0u);
    std::uint64_t size3 = 0;
    ASSERT_EQ(lumo::fileSize(path, size3), 0);
    EXPECT_GT(size3, size2 + 8000);
    EXPECT_EQ(exiftoolTitle(path), "Third");
    ASSERT_EQ(NRFHEIFDecode(path, 0, after), 0u);
    EXPECT_TRUE(samePixels(before, after));

    // The engine reads the rewritten file as before, and finds the packet where it is.
    NRFImageInfoRef again;
    ASSERT_EQ(open(path, again), kNRFErrNone);
    EXPECT_EQ(again->m_width, 96u);
    EXPECT_EQ(again->m_xmpPacketPos, record->m_xmpPacketPos);
    EXPECT_EQ(again->m_xmpPacketLength, record->m_xmpPacketLength);
    bytes = lumo::test::readWholeFile(path);
    EXPECT_EQ(bytes.compare(again->m_xmpPacketPos, third.size() - 19, third, 0, third.size() - 19), 0);
    EXPECT_EQ(bytes.find("Second"), std::string::npos); // the packet it replaced is blanked
    // No temporary file is left beside it.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir.path()))
        ++files;
    EXPECT_EQ(files, 2); // the JPEG it was made from and the HEIC
}

TEST_F(HEIFTest, XmpRefusedOrFailedLeavesTheFileAsItWas) {
    const std::string path = encodeHeic("two", 64, 64);
    if (path.empty())
        LUMO_SKIP_OR_FAIL("heif-enc cannot encode here (scripts/setup installs libheif-examples)");
    NRFImageInfoRef record;
    ASSERT_EQ(open(path, record), kNRFErrNone);

    // A failed rename: the temporary file goes, the original stays.
    const std::string original = lumo::test::readWholeFile(path);
    lumo::injectFileFault({lumo::FileFault::Op::Rename, EIO, m_dir.path()});
    EXPECT_NE(NRFHEIFWriteXMP(*record, xmpPacket("Lost")), 0u);
    lumo::clearFileFaults();
    EXPECT_EQ(lumo::test::readWholeFile(path), original);

    // Two "mdat" boxes: refused.
    const std::string twoMdat = original + std::string("\0\0\0\x0Cmdat\0\0\0\0", 12);
    lumo::test::writeWholeFile(path, twoMdat);
    EXPECT_EQ(NRFHEIFWriteXMP(*record, xmpPacket("Refused")), kNRFHEIFErrMultipleMdat);
    EXPECT_EQ(lumo::test::readWholeFile(path), twoMdat);
    EXPECT_NE(logText().find("Cannot update XMP with multiple 'mdat' in file '" + path + "'."),
              std::string::npos);

    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir.path()))
        ++files;
    EXPECT_EQ(files, 2);
}

TEST_F(HEIFTest, CorpusFilesAgreeWithExiftool) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    std::vector<std::string> files = {corpus + "/exiftool/QuickTime.heic"};
    for (const auto& entry : fs::directory_iterator(corpus + "/exiv2")) {
        std::string extension = entry.path().extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
        if (extension == ".heic" || extension == ".hif")
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 10u);
    std::map<std::string, NRFImageInfoRef> records;
    for (const std::string& original : files) {
        const std::string copy = m_dir.file(fs::path(original).filename().string());
        fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
        NRFImageInfoRef record;
        if (open(copy, record) == kNRFErrNone)
            records[original] = record;
    }
    EXPECT_GE(records.size(), files.size() - 2); // the two crash files need not read

    std::vector<std::string> args = {"-n",    "-ImageWidth", "-ImageHeight",
                                     "-Make", "-Model",      "-DateTimeOriginal"};
    args.insert(args.end(), files.begin(), files.end());
    const auto exiftool = lumo::test::exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    int compared = 0;
    for (const json& values : *exiftool) {
        const auto found = records.find(values.value("SourceFile", ""));
        if (found == records.end())
            continue;
        const NRFImageInfoRec& r = *found->second;
        const std::string name = fs::path(found->first).filename().string();
        if (values.contains("ImageWidth")) {
            EXPECT_EQ(r.m_width, values["ImageWidth"].get<std::uint32_t>()) << name;
            EXPECT_EQ(r.m_height, values["ImageHeight"].get<std::uint32_t>()) << name;
            ++compared;
        }
        if (values.contains("Make")) {
            EXPECT_EQ(r.m_make, values["Make"].get<std::string>()) << name;
            EXPECT_EQ(r.m_model, values["Model"].get<std::string>()) << name;
            ++compared;
        }
        if (values.contains("DateTimeOriginal")) {
            const KLDateTime& t = r.m_captureTime;
            char text[32];
            std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                          t.minute, t.second);
            EXPECT_EQ(text, values["DateTimeOriginal"].get<std::string>()) << name;
            ++compared;
        }
    }
    EXPECT_GE(compared, 25);
}

TEST_F(HEIFTest, CorpusPhotoDecodesUpright) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    // Stored 4032 x 3024 and turned a quarter by "irot": the preview comes out portrait.
    const std::string copy = m_dir.file("phone.heic");
    fs::copy_file(corpus + "/exiv2/2021-02-13-1929.heic", copy);
    NRFImageInfoRef record;
    ASSERT_EQ(open(copy, record), kNRFErrNone);
    EXPECT_EQ(record->m_width, 4032u);
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFLoadFilePreview(record.get(), &bitmap, 256, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_EQ(bitmap.Width(), 192u);
    EXPECT_EQ(bitmap.Height(), 256u);
    // A camera's 10-bit file, from its thumbnail.

    ASSERT_EQ(NRFHEIFDecode(corpus + "/exiv2/Canon.HIF", 256, bitmap), 0u);
    EXPECT_EQ(bitmap.Width(), 256u);
    EXPECT_EQ(bitmap.Height(), 171u);
    // A small one at full size.
    ASSERT_EQ(NRFHEIFDecode(corpus + "/exiv2/Stonehenge.heic", 0, bitmap), 0u);
    EXPECT_EQ(bitmap.Width(), 300u);
    EXPECT_EQ(bitmap.Height(), 200u);
}

TEST_F(HEIFTest, CorpusPhotosTakeXmpAndKeepTheirPixels) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    // A phone's grid of tiles with thumbnails, and a camera's 10-bit image.
    for (const char* name : {"2021-02-13-1929.heic", "Canon.HIF"}) {
        const std::string copy = m_dir.file(name);
        fs::copy_file(corpus + "/exiv2/" + name, copy);
        NRFBitmapBase before, after;
        ASSERT_EQ(NRFHEIFDecode(copy, 0, before), 0u) << name;
        NRFImageInfoRef record;
        ASSERT_EQ(open(copy, record), kNRFErrNone) << name;
        const std::string make = record->m_make;
        ASSERT_EQ(NRFHEIFWriteXMP(*record, xmpPacket("Corpus", 3000)), 0u) << name;
        EXPECT_EQ(exiftoolTitle(copy), "Corpus") << name;
        ASSERT_EQ(NRFHEIFDecode(copy, 0, after), 0u) << name;
        EXPECT_TRUE(samePixels(before, after)) << name;
        NRFImageInfoRef again;
        ASSERT_EQ(open(copy, again), kNRFErrNone) << name;
        EXPECT_EQ(again->m_make, make) << name;
        EXPECT_EQ(again->m_exifSegmentPos, record->m_exifSegmentPos) << name;
    }
}

TEST_F(HEIFTest, XmpAddedToFileWithoutMediaData) {
    // Every item in "idat" (iloc version 1), no "mdat": the packet goes into a new one at the end.
    BmffBuilder b;
    b.ftyp("heic", 0, {"mif1", "heic"});
    BmffBox& meta = b.fullBox("meta", 0);
    bmff::hdlr(meta, "pict");
    bmff::pitm(meta, 1);
    BmffBox& iinf = bmff::iinf(meta, 2);
    bmff::infe(iinf, 1, "hvc1");
    bmff::infe(iinf, 2, "Exif");
    const std::string exif = exifPayload(cameraTiff());
    BmffBox& iloc = meta.fullBox("iloc", 1);
    iloc.u8(0x44).u8(0x00).u16(2);
    iloc.u16(1).u16(1).u16(0).u16(1).u32(0).u32(4);
    iloc.u16(2).u16(1).u16(0).u16(1).u32(4).u32(static_cast<uint32_t>(exif.size()));
    meta.box("idat").bytes("HEVC").bytes(exif);
    const std::string path = m_dir.file("idat.heic");
    const std::string original = b.build();
    lumo::test::writeWholeFile(path, original);

    NRFImageInfoRec record(path, kNRFTypeHEIC);
    ASSERT_EQ(readItems(original, record), 0u);
    const std::uint32_t exifAt = record.m_exifSegmentPos;
    ASSERT_EQ(NRFHEIFWriteXMP(record, xmpPacket("Idat")), 0u);
    const std::string bytes = lumo::test::readWholeFile(path);
    ASSERT_GT(bytes.size(), original.size());
    NRFImageInfoRec reread(path, kNRFTypeHEIC);
    ASSERT_EQ(readItems(bytes, reread), 0u);
    EXPECT_EQ(reread.m_make, "Lumo Cam");
    EXPECT_EQ(reread.m_exifSegmentPos, record.m_exifSegmentPos);
    EXPECT_GT(record.m_exifSegmentPos, exifAt); // "meta" grew in front of it
    EXPECT_EQ(reread.m_xmpPacketPos, record.m_xmpPacketPos);
    EXPECT_EQ(bytes.substr(reread.m_xmpPacketPos - 4, 4), "mdat");
    EXPECT_EQ(bytes.compare(reread.m_xmpPacketPos, 40, xmpPacket("Idat"), 0, 40), 0);
    EXPECT_EQ(exiftoolTitle(path), "Idat");
}
