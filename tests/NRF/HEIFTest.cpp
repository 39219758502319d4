// The HEIC/HEIF reader: the item walk over files built box by box (EXIF and XMP items, their
// locations in the file and in "idat", damaged items); XMP packets placed into real HEIC files made by
// libheif's encoder and into built files whose items lie in every construction (in place, by expanding
// the file, beside an entity group), every other item kept byte for byte; the writes refused or failed
// (no packet where the item says, an item elsewhere, two "mdat" boxes, a full disk, a failed rename, a
// kill) leaving the file as it was; and the corpus's HEIC/HIF files compared with exiftool and written
// twice, read back by exiftool and exiv2.

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFHEIF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTestSupport.h"
#include "support/BmffBuilder.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using json = nlohmann::json;
using lumo::test::BmffBox;
using lumo::test::BmffBuilder;
using lumo::test::LogWatch;
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

// A file for the writer: ftyp, meta (hdlr, pitm, iinf, iref, iloc version 1, iprp, idat and, when
// asked, an entity group) and one mdat. Items: 1 the image and 2 EXIF in "mdat"; 3 in "idat" as two
// extents in reverse order; 4 a part of item 1 (construction method 2); 5 the XMP packet, last in
// "mdat" unless item 6 follows it.
struct WriterFile {
    std::string xmp = xmpPacket("Old", 600); // empty: no XMP item
    bool xmpToEnd = false;                   // the XMP extent's length is 0: "to the end of the file"
    bool itemAfterXmp = false;
    std::uint16_t imageDataReference = 0;
    std::uint32_t groupId = 0; // an "altr" entity group with this identifier

    std::string build() const {
        BmffBuilder b;
        b.ftyp("heic", 0, {"mif1", "heic"});
        BmffBox& meta = b.fullBox("meta", 0);
        BmffBox& mdat = b.box("mdat");
        bmff::hdlr(meta, "pict");
        bmff::pitm(meta, 1);
        const std::string exif = exifPayload(cameraTiff());
        const auto u32 = [](std::size_t v) { return static_cast<std::uint32_t>(v); };
        BmffBox& iinf = bmff::iinf(meta, static_cast<std::uint16_t>(4 + !xmp.empty() + itemAfterXmp));
        bmff::infe(iinf, 1, "hvc1");
        bmff::infe(iinf, 2, "Exif");
        bmff::infe(iinf, 3, "mime", "text/plain");
        bmff::infe(iinf, 4, "mime", "text/plain");
        std::vector<bmff::IlocEntry> entries = {{1, 0, imageDataReference, {{&mdat, 0, 8}}},
                                                {2, 0, 0, {{&mdat, 8, u32(exif.size())}}},
                                                {3, 1, 0, {{nullptr, 6, 4}, {nullptr, 0, 6}}},
                                                {4, 2, 0, {{nullptr, 2, 4, 1}}}};
        if (!xmp.empty()) {
            bmff::infe(iinf, 5, "mime", "application/rdf+xml");
            entries.push_back({5, 0, 0, {{&mdat, u32(8 + exif.size()), xmpToEnd ? 0 : u32(xmp.size())}}});
        }
        if (itemAfterXmp) {
            bmff::infe(iinf, 6, "mime", "text/plain");
            entries.push_back({6, 0, 0, {{&mdat, u32(8 + exif.size() + xmp.size()), 8}}});
        }
        BmffBox& iref = meta.fullBox("iref", 0);
        iref.box("cdsc").u16(2).u16(1).u16(1);
        iref.box("iloc").u16(4).u16(1).u16(1);
        bmff::ilocV1(meta, entries);
        BmffBox& iprp = meta.box("iprp");
        bmff::ispe(iprp.box("ipco"), 64, 48);
        bmff::ipma(iprp, {{1, {0x81}}});
        meta.box("idat").bytes("0123456789");
        if (groupId != 0)
            meta.box("grpl").fullBox("altr", 0).u32(groupId).u32(2).u32(1).u32(2);
        mdat.bytes("HEVCDATA").bytes(exif).bytes(xmp).bytes(itemAfterXmp ? "AFTERXMP" : "");
        return b.build();
    }
};

// Every item's data as the item table describes it (file offsets, "idat", or a part of the item its
// 'iloc' reference names), and the XMP item's identifier.
std::map<std::uint32_t, std::string> itemData(const std::string& bytes, std::uint32_t& xmpId) {
    std::map<std::uint32_t, std::string> out;
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    NRFHEIFItemTable t;
    xmpId = 0;
    if (NRFReadHEIFItemTable(source, t) != 0)
        return out;
    const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(t);
    xmpId = xmp ? xmp->id : 0;
    for (const bool built : {false, true}) // parts of other items once those are known
        for (const NRFHEIFLocation& loc : t.locations) {
            if ((loc.constructionMethod == 2) != built)
                continue;
            std::string data;
            for (const NRFHEIFExtent& e : loc.extents) {
                std::string_view from = bytes;
                if (loc.constructionMethod == 1)
                    from = from.substr(t.idat.payload(), t.idat.payloadSize());
                if (loc.constructionMethod == 2) {
                    std::vector<std::uint32_t> refs;
                    for (const NRFHEIFReference& r : t.references)
                        if (r.type == NRFBMFFType("iloc") && r.from == loc.itemId)
                            refs.push_back(r.to);
                    const std::size_t i = e.index == 0 ? 0 : e.index - 1;
                    from = i < refs.size() ? std::string_view(out[refs[i]]) : std::string_view();
                }
                const std::uint64_t at = loc.baseOffset + e.offset;
                data += at > from.size() ? "(outside)" : from.substr(at, e.length ? e.length : from.npos);
            }
            out[loc.itemId] = data;
        }
    return out;
}

// After a write: every other item holds what it held, the XMP item holds the packet (padded).
void expectItemsKept(const std::string& before, const std::string& after, const std::string& packet,
                     const std::string& name) {
    std::uint32_t oldXmp = 0, newXmp = 0;
    auto old = itemData(before, oldXmp), now = itemData(after, newXmp);
    ASSERT_NE(newXmp, 0u) << name;
    const std::string head = packet.substr(0, packet.rfind("<?xpacket end"));
    EXPECT_EQ(now[newXmp].substr(0, head.size()), head) << name;
    old.erase(oldXmp);
    now.erase(newXmp);
    EXPECT_EQ(old.size(), now.size()) << name;
    for (const auto& [id, data] : old)
        EXPECT_TRUE(now.count(id) && now[id] == data) << name << ": item " << id;
}

int filesIn(const std::string& folder) {
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder))
        ++files;
    return files;
}

bool samePixels(const NRFBitmapBase& a, const NRFBitmapBase& b) {
    return a.Width() == b.Width() && lumo::test::samplesOf(a) == lumo::test::samplesOf(b);
}

// A file libheif opens but cannot decode: the primary item 1 ("hvc1", or a 1 x 1 "grid" of item 3 whose
// own data gives the output size) with its "ispe" and "irot", and an EXIF item 2.
struct CodedFile {
    std::uint32_t width = 640, height = 480;     // the primary item's "ispe"
    std::uint32_t gridWidth = 0, gridHeight = 0; // a grid's output size; 0: no grid
    std::uint8_t rotation = 0;                   // "irot": quarter turns anticlockwise
    std::string exif;                            // the EXIF item's payload
};

std::string codedFile(const CodedFile& f) {
    const bool grid = f.gridWidth != 0;
    BmffBuilder b;
    b.ftyp("heic", 0, {"mif1", "heic"});
    BmffBox& meta = b.fullBox("meta", 0);
    BmffBox& mdat = b.box("mdat");
    bmff::hdlr(meta, "pict");
    bmff::pitm(meta, 1);
    BmffBox& iinf = bmff::iinf(meta, grid ? 3 : 2);
    bmff::infe(iinf, 1, grid ? "grid" : "hvc1");
    bmff::infe(iinf, 2, "Exif");
    if (grid) {
        bmff::infe(iinf, 3, "hvc1");
        meta.fullBox("iref", 0).box("dimg").u16(1).u16(1).u16(3);
    }
    // mdat: the grid's data (version, 32-bit sizes, one row, one column, width, height), a coded
    // picture that is not one, the EXIF item.
    const std::string coded("\0\0\0\4junk", 8);
    mdat.u8(0).u8(1).u8(0).u8(0).u32(f.gridWidth).u32(f.gridHeight).bytes(coded).bytes(f.exif);
    const auto exifSize = static_cast<std::uint32_t>(f.exif.size());
    std::vector<bmff::IlocExtent> extents = {{1, &mdat, grid ? 0u : 12u, grid ? 12u : 8u},
                                             {2, &mdat, 20, exifSize}};
    if (grid)
        extents.push_back({3, &mdat, 12, 8});
    bmff::iloc(meta, extents);
    BmffBox& iprp = meta.box("iprp");
    BmffBox& ipco = iprp.box("ipco");
    bmff::hvcC(ipco);                    // 1
    bmff::ispe(ipco, f.width, f.height); // 2
    ipco.box("irot").u8(f.rotation);     // 3
    bmff::ispe(ipco, 512, 512);          // 4: the tile's
    if (grid)
        bmff::ipma(iprp, {{1, {2, 0x83}}, {3, {0x81, 4}}});
    else
        bmff::ipma(iprp, {{1, {0x81, 2, 0x83}}});
    return b.build();
}

class HEIFTest : public lumo::test::NRFEngineTest {
protected:
    void TearDown() override {
        lumo::clearFileFaults();
        NRFEngineTest::TearDown();
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

        // A packet that fits goes over the old one inside "idat"; a larger one moves out into the
        // media data.
        const std::string path = m_dir.file("v" + std::to_string(version) + ".heic");
        lumo::test::writeWholeFile(path, bytes);
        NRFImageInfoRec written(path, kNRFTypeHEIC);
        const std::string tiny = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
        ASSERT_EQ(NRFHEIFWriteXMP(written, tiny), 0u) << version;
        std::string after = lumo::test::readWholeFile(path);
        EXPECT_EQ(after.size(), bytes.size()) << version;
        EXPECT_EQ(written.m_xmpPacketPos, record.m_xmpPacketPos) << version;
        EXPECT_EQ(after.compare(record.m_xmpPacketPos, tiny.size(), tiny), 0) << version;
        ASSERT_EQ(NRFHEIFWriteXMP(written, xmpPacket("Moved")), 0u) << version;
        after = lumo::test::readWholeFile(path);
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
    const auto sizeOf = [&] { return fs::file_size(path); };
    const std::uint64_t size0 = sizeOf();

    // No XMP item: a new item is added and the file grows.
    const std::string first = xmpPacket("First");
    ASSERT_EQ(NRFHEIFWriteXMP(*record, first), 0u);
    const std::uint64_t size1 = sizeOf();
    EXPECT_GT(size1, size0 + first.size());
    EXPECT_EQ(exiftoolTitle(path), "First");
    const std::string log = lumo::test::wholeLog();
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
    const std::uint64_t size2 = sizeOf();
    EXPECT_EQ(size2, size1);
    EXPECT_EQ(exiftoolTitle(path), "Second");

    // A packet larger than the item: the item moves to the end of the media data.
    const std::string third = xmpPacket("Third", 8000);
    ASSERT_EQ(NRFHEIFWriteXMP(*record, third), 0u);
    const std::uint64_t size3 = sizeOf();
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
    EXPECT_EQ(filesIn(m_dir.path()), 2); // the JPEG it was made from and the HEIC
}

TEST_F(HEIFTest, XmpPlacedInBuiltFilesKeepsEveryOtherItem) {
    WriterFile toEnd, moved, grouped;
    toEnd.xmpToEnd = true;
    moved.itemAfterXmp = true;
    grouped.xmp.clear();
    grouped.groupId = 5; // the identifier after the highest item's
    const struct {
        const char* name;
        WriterFile file;
        std::size_t filler;
        bool inPlace;
        std::uint32_t xmpId;
    } cases[] = {{"Extent to the end", toEnd, 0, true, 5},
                 {"Moved past the next item", moved, 2000, false, 5},
                 {"New beside a group", grouped, 0, false, 6}};
    for (const auto& c : cases) {
        const std::string path = m_dir.file("built.heic");
        const std::string original = c.file.build();
        lumo::test::writeWholeFile(path, original);
        NRFImageInfoRec record(path, kNRFTypeHEIC);
        ASSERT_EQ(readItems(original, record), 0u) << c.name;
        const std::string packet = xmpPacket(c.name, c.filler);
        ASSERT_EQ(NRFHEIFWriteXMP(record, packet), 0u) << c.name;
        const std::string bytes = lumo::test::readWholeFile(path);
        EXPECT_EQ(bytes.size() == original.size(), c.inPlace) << c.name;
        expectItemsKept(original, bytes, packet, c.name);
        auto* info = dynamic_cast<HEIFPluginPrivateInfo*>(record.m_privateInfo.get());
        ASSERT_NE(info, nullptr) << c.name;
        EXPECT_EQ(info->xmpItem, c.xmpId) << c.name;
        EXPECT_EQ(bytes.compare(record.m_xmpPacketPos, 60, packet, 0, 60), 0) << c.name;
        EXPECT_EQ(bytes.find(">Old<"), std::string::npos) << c.name; // written over or blanked
        if (!c.file.xmpToEnd) // the reference tools do not resolve a length of 0
            EXPECT_EQ(exiftoolTitle(path), c.name);
    }
}

TEST_F(HEIFTest, XmpRefusedOrFailedLeavesTheFileAsItWas) {
    using Op = lumo::FileFault::Op;
    WriterFile plain, junk, overItem, elsewhere;
    junk.xmp = std::string(1200, 'J');
    overItem.xmpToEnd = overItem.itemAfterXmp = true;
    elsewhere.imageDataReference = 1;
    const struct {
        const char* name;
        std::string bytes;
        std::size_t filler; // 0: the packet fits the old one
        std::optional<lumo::FileFault> fault;
        NRFErr expected;
    } cases[] = {
        {"old bytes not a packet", junk.build(), 0, {}, kNRFHEIFErrWrite},
        {"extent to the end over another item", overItem.build(), 0, {}, kNRFHEIFErrWrite},
        {"item in another file", elsewhere.build(), 2000, {}, kNRFHEIFErrWrite},
        {"two mdat",
         plain.build() + std::string("\0\0\0\x0Cmdat\0\0\0\0", 12),
         2000,
         {},
         kNRFHEIFErrMultipleMdat},
        {"disk full", plain.build(), 0, lumo::FileFault{Op::Write, ENOSPC, m_dir.path(), 300},
         kNRFHEIFErrWrite},
        {"rename fails", plain.build(), 2000, lumo::FileFault{Op::Rename, EIO, m_dir.path()},
         kNRFHEIFErrWrite},
    };
    const std::string path = m_dir.file("kept.heic");
    for (const auto& c : cases) {
        lumo::test::writeWholeFile(path, c.bytes);
        NRFImageInfoRec record(path, kNRFTypeHEIC);
        if (c.fault)
            lumo::injectFileFault(*c.fault);
        EXPECT_EQ(NRFHEIFWriteXMP(record, xmpPacket("Refused", c.filler)), c.expected) << c.name;
        lumo::clearFileFaults();
        EXPECT_TRUE(lumo::test::readWholeFile(path) == c.bytes) << c.name;
        EXPECT_EQ(filesIn(m_dir.path()), 1) << c.name; // no temporary file left
    }
    const std::string log = lumo::test::wholeLog();
    EXPECT_NE(log.find("Cannot update XMP with multiple 'mdat' in file '" + path + "'."), std::string::npos);
    EXPECT_NE(log.find("Error updating XMP in file '" + path + "'."), std::string::npos);

    // Killed while the new file is written: the original is whole.
    const std::string original = plain.build();
    lumo::test::writeWholeFile(path, original);
    const auto crash = [&] {
        lumo::injectFileFault(
            {.op = Op::Write, .pathContains = m_dir.path(), .afterBytes = 300, .crash = true});
        NRFImageInfoRec record(path, kNRFTypeHEIC);
        NRFHEIFWriteXMP(record, xmpPacket("Killed"));
    };
    EXPECT_EXIT(crash(), ::testing::ExitedWithCode(lumo::kInjectedCrashExitCode), "");
    EXPECT_TRUE(lumo::test::readWholeFile(path) == original);
}
TEST_F(HEIFTest, CorpusFilesAgreeWithExiftool) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    const std::vector<std::string> files = lumo::test::corpusFiles({".heic", ".hif"});
    ASSERT_GE(files.size(), 10u);
    const std::map<std::string, NRFImageInfoRef> records = readCopies(files);
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

TEST_F(HEIFTest, CorpusFilesTakeXmpTwiceAndKeepTheirItems) {
    const std::vector<std::string> files = lumo::test::corpusFiles({".heic", ".hif"});
    if (files.empty())
        GTEST_SKIP() << "no corpus";
    int placed = 0;
    std::vector<std::string> written;
    for (const std::string& original : files) {
        const std::string name = fs::path(original).filename().string();
        const std::string copy = m_dir.file(name);
        fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
        const std::string before = lumo::test::readWholeFile(copy);
        NRFImageInfoRef record;
        const bool opened = open(copy, record) == kNRFErrNone;
        auto* info = opened ? dynamic_cast<HEIFPluginPrivateInfo*>(record->m_privateInfo.get()) : nullptr;
        if (!info || (info->mdatCount > 1 && info->xmpItem == 0)) {
            // The damaged samples, and media data in pieces: refused, the file as it was.
            NRFImageInfoRec bare(copy, kNRFTypeHEIC);
            EXPECT_NE(NRFHEIFWriteXMP(bare, xmpPacket("Refused")), 0u) << name;
            EXPECT_TRUE(lumo::test::readWholeFile(copy) == before) << name;
            continue;
        }
        // A small packet (over the camera's own when it fits), then one larger than any camera's room.
        const bool hadXmp = info->xmpItem != 0;
        std::string prior = before;
        for (const auto& [title, filler] :
             {std::pair<std::string, std::size_t>{"Small", 0}, {"Large", 60000}}) {
            const std::string packet = xmpPacket(title, filler);
            const auto* now = dynamic_cast<HEIFPluginPrivateInfo*>(record->m_privateInfo.get());
            const bool fits = now && now->xmpItem != 0 && now->xmpLength >= packet.size();
            ASSERT_EQ(NRFHEIFWriteXMP(*record, packet), 0u) << name << " " << title;
            const std::string after = lumo::test::readWholeFile(copy);
            EXPECT_EQ(after.size() == prior.size(), fits) << name << " " << title;
            EXPECT_EQ(title == "Small" && hadXmp, fits) << name << " " << title;
            expectItemsKept(prior, after, packet, name + " " + title);
            prior = after;
        }
        written.push_back(copy);
        ++placed;
    }
    EXPECT_GE(placed, 8);
    // Both reference readers find the last packet.
    const auto exiv2 = lumo::test::runProcess("exiv2", [&] {
        std::vector<std::string> args = {"-g", "Xmp.dc.title", "-Pv"};
        args.insert(args.end(), written.begin(), written.end());
        return args;
    }());
    if (exiv2.exitCode == 127)
        LUMO_SKIP_OR_FAIL("exiv2 is not installed (scripts/setup installs it)");
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = exiv2.out.find("lang=\"x-default\" Large\n", at)) != std::string::npos;
         ++at)
        ++lines;
    EXPECT_EQ(lines, written.size()) << exiv2.out << exiv2.err;
    const auto exiftool = lumo::test::exiftoolJson([&] {
        std::vector<std::string> args = {"-XMP:Title"};
        args.insert(args.end(), written.begin(), written.end());
        return args;
    }());
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    for (const json& values : *exiftool)
        EXPECT_EQ(values.value("Title", std::string("(none)")), "Large") << values.value("SourceFile", "");

    // libheif decodes a written copy as the original (the larger photos' coded items are compared
    // byte for byte above).
    NRFBitmapBase before, after;
    ASSERT_EQ(NRFHEIFDecode(lumo::test::corpusFolder() + "/exiv2/Stonehenge.heic", 0, before), 0u);
    ASSERT_EQ(NRFHEIFDecode(m_dir.file("Stonehenge.heic"), 0, after), 0u);
    EXPECT_TRUE(samePixels(before, after));
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

// A file without a thumbnail item answers small sizes from its EXIF thumbnail, turned as "irot" turns
// the picture, instead of decoding the picture; larger sizes still need the picture (which here cannot
// be decoded).
TEST_F(HEIFTest, WithoutAThumbnailItemTheExifThumbnailAnswersSmallSizes) {
    TiffBuilder tiff(lumo::test::ByteOrder::Big);
    tiff.ifd().add(0x010F, "Lumo Cam");
    tiff.ifd().next().addBlob(0x0201, 0x0202, lumo::test::encodeJpeg(160, 120));
    const std::string path = m_dir.file("thumb.heic");
    lumo::test::writeWholeFile(path, codedFile({.rotation = 1, .exif = exifPayload(tiff.build())}));
    NRFImageInfoRef record;
    ASSERT_EQ(open(path, record), kNRFErrNone);
    ASSERT_TRUE(record->m_thumbnail.present());
    EXPECT_EQ(record->m_thumbnail.width, 160u);
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFLoadFilePreview(record.get(), &bitmap, 100, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_EQ(bitmap.Width(), 75u);
    EXPECT_EQ(bitmap.Height(), 100u);
    // A quarter turn anticlockwise: the thumbnail's right edge (red 255) is now at the top.
    EXPECT_GT(bitmap.Row(0)[0], bitmap.Row(99)[0] + 100);
    EXPECT_NE(NRFLoadFilePreview(record.get(), &bitmap, 200, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_TRUE(bitmap.Empty());
}

// Declared sizes are checked against the decode memory limit before libheif decodes: a grid whose own
// data says 20000 x 20000 under an "ispe" of 640 x 480, and a grid and "ispe" both edited to 32000 x
// 32000 (the file of the report, refused by libheif's own size limit or by ours).
TEST_F(HEIFTest, HugeDeclaredSizesAreRefusedBeforeDecoding) {
    const std::string underIspe = m_dir.file("grid.heic"), edited = m_dir.file("edited.heic");
    lumo::test::writeWholeFile(underIspe, codedFile({.gridWidth = 20000, .gridHeight = 20000}));
    lumo::test::writeWholeFile(
        edited, codedFile({.width = 32000, .height = 32000, .gridWidth = 32000, .gridHeight = 32000}));
    NRFBitmapBase bitmap;
    const LogWatch log;
    EXPECT_EQ(NRFHEIFDecode(underIspe, 256, bitmap), kNRFErrMemory);
    EXPECT_TRUE(log.has("NRFHEIFDecode() needs 3052 MiB, more than the limit of 512 MiB")) << log.text();
    const NRFErr err = NRFHEIFDecode(edited, 256, bitmap);
    EXPECT_TRUE(err == kNRFErrMemory || err == kNRFErrBadFormat) << err;
    NRFImageInfoRef record;
    ASSERT_EQ(open(edited, record), kNRFErrNone);
    EXPECT_EQ(record->m_width, 32000u);
    const NRFErr loaded = NRFLoadFilePreview(record.get(), &bitmap, 256, kNRFLoadAllowEmbedded);
    EXPECT_TRUE(loaded == kNRFErrMemory || loaded == kNRFErrBadFormat) << loaded;
}
