// The movie readers through the engine, as a caller reads a file: QuickTime/MPEG-4 files built box by
// box (the movie header's time and duration, the video track's size and turn, the QuickTime keys, the
// classic user-data texts, the XML block, the makers' tags and thumbnails, and the malformed forms of
// each), AVI and MPEG headers, the loaders without a renderer, and the corpus's movies, whose size,
// duration, camera and capture time must be what exiftool finds.

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFMovie.h"
#include "NRF/NRFTestSupport.h"
#include "app/LumoLogger.h"
#include "support/BmffBuilder.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using lumo::test::BmffBox;
using lumo::test::BmffBuilder;
using lumo::test::TempDir;
namespace bmff = lumo::test::bmff;

namespace {

using lumo::test::wholeLog;

using lumo::test::be;
using lumo::test::le;

// Seconds since 1904 of 2005-08-11 14:03:54 UTC.
constexpr std::uint32_t kHeaderTime = 3206613834u;

void movieHeader(BmffBox& moov, std::uint32_t created, std::uint32_t timescale, std::uint32_t duration) {
    moov.fullBox("mvhd", 0).u32(created).u32(created).u32(timescale).u32(duration).bytes(
        std::string(80, '\0'));
}

// A track of the handler's kind with a tkhd size and a sample description size.
BmffBox& track(BmffBox& moov, const std::string& handler, std::uint32_t width, std::uint32_t height,
               std::uint16_t entryWidth = 0, std::uint16_t entryHeight = 0) {
    BmffBox& trak = moov.box("trak");
    bmff::tkhd(trak, 1, width, height);
    BmffBox& mdia = trak.box("mdia");
    bmff::hdlr(mdia, handler);
    BmffBox& stsd = mdia.box("minf").box("stbl").fullBox("stsd", 0).u32(1);
    stsd.box(handler == "vide" ? "avc1" : "mp4a")
        .bytes(std::string(6, '\0'))
        .u16(1)
        .bytes(std::string(16, '\0'))
        .u16(entryWidth)
        .u16(entryHeight)
        .bytes(std::string(50, '\0'));
    return trak;
}

// A QuickTime metadata box: keys and their values (UTF-8 text unless a type is given).
struct KeyValue {
    std::string key;
    std::string value;
    std::uint32_t type = 1;
};
void keyedMeta(BmffBox& parent, const std::vector<KeyValue>& items) {
    BmffBox& meta = parent.box("meta");
    bmff::hdlr(meta, "mdta");
    BmffBox& keys = meta.fullBox("keys", 0).u32(static_cast<std::uint32_t>(items.size()));
    for (const KeyValue& item : items)
        keys.u32(static_cast<std::uint32_t>(8 + item.key.size())).bytes("mdta").bytes(item.key);
    BmffBox& ilst = meta.box("ilst");
    for (std::size_t i = 0; i < items.size(); ++i)
        ilst.box(be(i + 1, 4)).box("data").u32(items[i].type).u32(0).bytes(items[i].value);
}

const std::string kDayTag = std::string("\xA9") + "day";

void userText(BmffBox& udta, const std::string& type, const std::string& text) {
    udta.box(type).u16(static_cast<std::uint16_t>(text.size())).u16(0x15c7).bytes(text);
}

std::string floatBytes(float value) {
    std::uint32_t n = 0;
    std::memcpy(&n, &value, 4);
    return be(n, 4);
}

class MovieTest : public lumo::test::NRFEngineTest {};

// Points LUMO_VIDEORENDER at `program` for one test.
struct RendererGuard {
    explicit RendererGuard(const std::string& program) : saved(std::getenv("LUMO_VIDEORENDER")) {
        if (saved)
            keep = saved;
        setenv("LUMO_VIDEORENDER", program.c_str(), 1);
    }
    ~RendererGuard() { saved ? setenv("LUMO_VIDEORENDER", keep.c_str(), 1) : unsetenv("LUMO_VIDEORENDER"); }
    const char* saved;
    std::string keep;
};

} // namespace

TEST_F(MovieTest, KeysWinOverUserDataAndTheHeaderAndGiveTheRecord) {
    BmffBuilder file;
    file.ftyp("qt  ", 0, {"qt  "});
    BmffBox& moov = file.box("moov");
    movieHeader(moov, kHeaderTime, 600, 2980);
    track(moov, "soun", 0, 0);
    track(moov, "vide", 1920, 1080, 1920, 1088);
    keyedMeta(moov, {{"com.apple.quicktime.make", "Apple"},
                     {"com.apple.quicktime.model", "iPhone 12"},
                     {"com.apple.quicktime.software", "15.1"},
                     {"com.apple.quicktime.creationdate", "2021-06-01T10:20:30+0200"},
                     {"com.apple.quicktime.location.ISO6709", "+37.3349-122.0090+012.500/"},
                     {"com.apple.quicktime.location.date", "2021-06-01T08:20:00Z"},
                     {"com.apple.quicktime.rating.user", floatBytes(4.0f), 23},
                     {"com.apple.quicktime.artist", "Ann"},
                     {"com.apple.quicktime.copyright", "(c) Ann"},
                     {"com.apple.quicktime.comment", "harbour"},
                     {"mdta.album", "not ours"}});
    BmffBox& udta = moov.box("udta");
    userText(udta, "\xA9mak", "Other Maker");
    userText(udta, kDayTag, "2019-01-01T00:00:00Z");
    userText(udta, "\xA9xyz", "+10.0000+020.0000/");
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    udta.box("XMP_").bytes(xmp);
    file.box("mdat").bytes("frames").sizeToEnd(); // the last box runs to the end of the file

    NRFImageInfoRef r;
    ASSERT_EQ(read("keys.mov", file.build(), r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 1920u);
    EXPECT_EQ(r->m_height, 1080u);
    EXPECT_EQ(r->m_displayWidth, 1920u);
    EXPECT_EQ(r->m_displayHeight, 1080u);
    ASSERT_TRUE(r->m_duration.has_value());
    EXPECT_NEAR(*r->m_duration, 2980.0 / 600, 1e-9);
    EXPECT_EQ(r->m_make, "Apple");
    EXPECT_EQ(r->m_model, "iPhone 12");
    EXPECT_EQ(r->m_software, "15.1");
    EXPECT_EQ(r->m_captureTime, (KLDateTime{2021, 6, 1, 10, 20, 30}));
    EXPECT_EQ(r->m_timeZoneOffset, std::optional<std::int16_t>(120));
    EXPECT_TRUE(r->m_hasGPS);
    EXPECT_NEAR(r->m_latitude, 37.3349, 1e-4);
    EXPECT_NEAR(r->m_longitude, -122.0090, 1e-4);
    ASSERT_TRUE(r->m_altitude.has_value());
    EXPECT_NEAR(*r->m_altitude, 12.5, 1e-3);
    ASSERT_TRUE(r->m_gpsTime.has_value());
    EXPECT_DOUBLE_EQ(*r->m_gpsTime, 1622535600.0);
    EXPECT_EQ(r->m_rating, 4);
    EXPECT_EQ(r->m_artist, "Ann");
    EXPECT_EQ(r->m_copyright, "(c) Ann");
    EXPECT_EQ(r->m_userComment, "harbour");
    EXPECT_EQ(r->m_xmpPacketLength, xmp.size());
    std::string bytes;
    std::ifstream in(r->m_path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(bytes.substr(r->m_xmpPacketPos, r->m_xmpPacketLength), xmp);
}

TEST_F(MovieTest, UserDataAndTheMovieHeaderStandInWhenThereAreNoKeys) {
    // Classic texts, a position without altitude, the track's size from its sample description.
    {
        BmffBuilder file;
        file.ftyp("qt  ", 0, {"qt  "});
        BmffBox& moov = file.box("moov");
        moov.fullBox("mvhd", 1)
            .u64(kHeaderTime)
            .u64(kHeaderTime)
            .u32(1000)
            .u64(12345)
            .bytes(std::string(80, '\0'));
        track(moov, "vide", 0, 0, 640, 480);
        BmffBox& udta = moov.box("udta");
        userText(udta, "\xA9mak", "Maker ");
        userText(udta, "\xA9mod", "Model 1");
        userText(udta, "\xA9swr", "Firmware 1.0");
        userText(udta, "\xA9xyz", "+48.8584+002.2945/");
        userText(udta, kDayTag, "2014-03-10 14:43:35");
        NRFImageInfoRef r;
        ASSERT_EQ(read("udta.mov", file.build(), r), kNRFErrNone);
        EXPECT_EQ(r->m_width, 640u);
        EXPECT_EQ(r->m_height, 480u);
        EXPECT_NEAR(r->m_duration.value_or(0), 12.345, 1e-9);
        EXPECT_EQ(r->m_make, "Maker");
        EXPECT_EQ(r->m_model, "Model 1");
        EXPECT_EQ(r->m_software, "Firmware 1.0");
        EXPECT_EQ(r->m_captureTime, (KLDateTime{2014, 3, 10, 14, 43, 35}));
        EXPECT_FALSE(r->m_timeZoneOffset.has_value());
        EXPECT_TRUE(r->m_hasGPS);
        EXPECT_NEAR(r->m_latitude, 48.8584, 1e-4);
        EXPECT_NEAR(r->m_longitude, 2.2945, 1e-4);
        EXPECT_FALSE(r->m_altitude.has_value());
    }
    // Only the movie header: its UTC time, turned video, a zero time meaning "not set", and a camera
    // that counted from 1970.
    for (const std::uint32_t created : {kHeaderTime, 0u, 1128950000u}) {
        BmffBuilder file;
        file.ftyp("isom", 0, {"isom", "mp41"});
        BmffBox& moov = file.box("moov");
        movieHeader(moov, created, 90000, 0);
        BmffBox& trak = moov.box("trak");
        // A portrait phone movie: stored 1920 x 1080, shown turned a quarter clockwise.
        BmffBox& tkhd = trak.fullBox("tkhd", 0, 3).u32(0).u32(0).u32(1).u32(0).u32(0).u32(0).u32(0);
        tkhd.u16(0).u16(0).u16(0).u16(0);
        for (const std::uint32_t m : {0u, 0x10000u, 0u, 0xFFFF0000u, 0u, 0u, 0u, 0u, 0x40000000u})
            tkhd.u32(m); // the matrix
        tkhd.u32(1920u << 16).u32(1080u << 16);
        bmff::hdlr(trak.box("mdia"), "vide");
        NRFImageInfoRef r;
        ASSERT_EQ(read("header.mp4", file.build(), r), kNRFErrNone);
        EXPECT_EQ(r->m_width, 1920u);
        EXPECT_EQ(r->m_height, 1080u);
        EXPECT_EQ(r->m_orientation, 1);
        EXPECT_FALSE(r->m_duration.has_value()); // a zero duration is unknown
        if (created == 1128950000u) {
            EXPECT_EQ(r->m_captureTime, (KLDateTime{2005, 10, 10, 13, 13, 20}));
        } else if (created != 0) {
            EXPECT_EQ(r->m_captureTime, (KLDateTime{2005, 8, 11, 14, 3, 54}));
            EXPECT_FALSE(r->m_timeZoneOffset.has_value());
        } else {
            EXPECT_FALSE(r->m_captureTime.isValid());
        }
    }
}

TEST_F(MovieTest, CameraXMLAndMakersTagsAndThumbnails) {
    const std::string jpeg = lumo::test::encodeJpeg(64, 48);
    // The XML block of some cameras, with the frame size when no track gives one.
    {
        BmffBuilder file;
        file.ftyp("XAVC", 0, {"XAVC", "mp42"});
        BmffBox& moov = file.box("moov");
        movieHeader(moov, kHeaderTime, 25, 250);
        BmffBox& meta = moov.fullBox("meta", 0);
        bmff::hdlr(meta, "nrtm");
        meta.fullBox("xml ", 0).bytes(
            "<?xml version=\"1.0\"?><NonRealTimeMeta><CreationDate value=\"2019-02-13T10:38:50-05:00\"/>"
            "<VideoFormat><VideoLayout pixel=\"3840\" numOfVerticalLine=\"2160\" aspectRatio=\"16:9\"/>"
            "</VideoFormat><Device manufacturer=\"Sony\" modelName=\"ILCE-7M3\" serialNo=\"1234\"/>"
            "</NonRealTimeMeta>");
        NRFImageInfoRef r;
        ASSERT_EQ(read("xml.mp4", file.build(), r), kNRFErrNone);
        EXPECT_EQ(r->m_width, 3840u);
        EXPECT_EQ(r->m_height, 2160u);
        EXPECT_EQ(r->m_make, "Sony");
        EXPECT_EQ(r->m_model, "ILCE-7M3");
        EXPECT_EQ(r->m_bodySerial, "1234");
        EXPECT_EQ(r->m_captureTime, (KLDateTime{2019, 2, 13, 10, 38, 50}));
        EXPECT_EQ(r->m_timeZoneOffset, std::optional<std::int16_t>(-300));
    }
    // Nikon's tag list and thumbnail.
    {
        BmffBuilder file;
        file.ftyp("qt  ", 0, {"qt  ", "niko"});
        BmffBox& moov = file.box("moov");
        movieHeader(moov, kHeaderTime, 600, 600);
        track(moov, "vide", 1280, 720);
        BmffBox& ncdt = moov.box("udta").box("NCDT");
        auto tag = [](std::uint32_t id, std::uint16_t type, const std::string& value, std::uint16_t count) {
            return be(id, 4) + be(type, 2) + be(count, 2) + value;
        };
        ncdt.box("NCTG").bytes(
            tag(1, 2, std::string("NIKON\0", 6), 6) + tag(2, 2, std::string("D5300\0", 6), 6) +
            tag(0x12, 2, std::string("2016:05:04 03:02:01\0", 20), 20) +
            tag(0x0110829A, 5, be(1, 4) + be(60, 4), 1) + tag(0x99, 2, "way too long", 200));
        ncdt.box("NCTH").bytes(jpeg);
        NRFImageInfoRef r;
        ASSERT_EQ(read("nikon.mov", file.build(), r), kNRFErrNone);
        EXPECT_EQ(r->m_make, "NIKON");
        EXPECT_EQ(r->m_model, "D5300");
        EXPECT_EQ(r->m_captureTime, (KLDateTime{2016, 5, 4, 3, 2, 1}));
        EXPECT_FALSE(r->m_timeZoneOffset.has_value());
        EXPECT_NEAR(r->m_exposureTime.value_or(0), 1.0 / 60, 1e-6);
        EXPECT_EQ(r->m_thumbnail.width, 64u);
        EXPECT_EQ(r->m_thumbnail.height, 48u);
        bool yes = false;
        EXPECT_EQ(NRFHaveThumbnail(r.get(), &yes), kNRFErrNone);
        EXPECT_TRUE(yes);
        NRFBitmapBase bitmap;
        ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), kNRFErrNone);
        EXPECT_EQ(bitmap.Width(), 64u);
        EXPECT_EQ(bitmap.Height(), 48u);
        // No frame can be rendered from these boxes: a preview that allows it gets the thumbnail.
        NRFBitmapBase preview;
        ASSERT_EQ(NRFLoadFilePreview(r.get(), &preview, 32, kNRFLoadAllowEmbedded), kNRFErrNone);
        EXPECT_FALSE(preview.Empty());
        EXPECT_LE(preview.Width(), 64u);
        EXPECT_TRUE(preview.flags & kNRFBitmapSubstitute);
        EXPECT_NE(NRFLoadFilePreview(r.get(), &preview, 32, kNRFLoadWantRendered), kNRFErrNone);
    }
    // Canon's model, firmware and thumbnail.
    {
        BmffBuilder file;
        file.ftyp("qt  ", 0, {"qt  ", "CAEP"});
        BmffBox& moov = file.box("moov");
        movieHeader(moov, kHeaderTime, 600, 600);
        BmffBox& udta = moov.box("udta");
        udta.box("CNMN").bytes(std::string("Canon EOS 5D Mark II\0", 21));
        udta.box("CNFV").bytes(std::string("Firmware Version 2.0.4\0", 23));
        udta.box("CNTH").box("CNDA").bytes(jpeg);
        NRFImageInfoRef r;
        ASSERT_EQ(read("canon.mov", file.build(), r), kNRFErrNone);
        EXPECT_EQ(r->m_make, "Canon");
        EXPECT_EQ(r->m_model, "Canon EOS 5D Mark II");
        EXPECT_EQ(r->m_firmware, "Firmware Version 2.0.4");
        EXPECT_TRUE(r->m_thumbnail.present());
        // The header's UTC time stands in for a capture time the camera's tags do not give.
        EXPECT_EQ(r->m_captureTime, (KLDateTime{2005, 8, 11, 14, 3, 54}));
    }
}

TEST_F(MovieTest, FujiTagsAreAnIFDOfTheirOwn) {
    // 16 bytes, then a little-endian IFD whose offsets count from its own start.
    const std::string ifd = le(2, 2) + le(0x010F, 2) + le(2, 2) + le(9, 4) + le(30, 4) + le(0x0110, 2) +
                            le(2, 2) + le(5, 4) + le(39, 4) + le(0, 4) + std::string("FUJIFILM\0X-T3\0", 14);
    for (const bool cutShort : {false, true}) {
        BmffBuilder file;
        file.ftyp("qt  ", 0, {"qt  "});
        BmffBox& moov = file.box("moov");
        movieHeader(moov, kHeaderTime, 600, 600);
        moov.box("udta").box("MVTG").bytes(std::string(16, '\0') + (cutShort ? std::string() : ifd));
        NRFImageInfoRef r;
        ASSERT_EQ(read("fuji.mov", file.build(), r), kNRFErrNone);
        EXPECT_EQ(r->m_make, cutShort ? "" : "FUJIFILM");
        EXPECT_EQ(r->m_model, cutShort ? "" : "X-T3");
    }
    EXPECT_NE(wholeLog().find("BMFF 'MVTG' Fuji format error: bad size"), std::string::npos);
}

TEST_F(MovieTest, CanonMPEG4MetadataBoxGivesCameraAndTime) {
    lumo::test::TiffBuilder ifd0;
    ifd0.ifd().add(0x010F, "Canon").add(0x0110, "Canon EOS R5");
    lumo::test::TiffBuilder exif;
    exif.ifd().add(0x9003, "2021:07:08 09:10:11").add(0x9011, "+09:00");
    BmffBuilder file;
    file.ftyp("mp42", 0, {"mp42", "isom"});
    BmffBox& moov = file.box("moov");
    movieHeader(moov, kHeaderTime, 1000, 5000);
    BmffBox& canon = moov.uuidBox("85c0b687-820f-11e0-8111-f4ce462b6a48");
    canon.box("CMT1").bytes(ifd0.build());
    canon.box("CMT2").bytes(exif.build());
    canon.box("CMT1").bytes("II*\0"); // cut short: ignored
    NRFImageInfoRef r;
    ASSERT_EQ(read("canon.mp4", file.build(), r), kNRFErrNone);
    EXPECT_EQ(r->m_make, "Canon");
    EXPECT_EQ(r->m_model, "Canon EOS R5");
    EXPECT_EQ(r->m_captureTime, (KLDateTime{2021, 7, 8, 9, 10, 11}));
    EXPECT_EQ(r->m_timeZoneOffset, std::optional<std::int16_t>(540));
    EXPECT_NEAR(r->m_duration.value_or(0), 5.0, 1e-9);
}

TEST_F(MovieTest, MalformedBoxesAreReportedAndTheRestIsRead) {
    // An item list without keys, a key number past the keys, a cut-short movie header and track header.
    BmffBuilder file;
    file.ftyp("qt  ", 0, {"qt  "});
    BmffBox& moov = file.box("moov");
    moov.fullBox("mvhd", 0).u32(kHeaderTime).u32(0); // no timescale, no duration
    BmffBox& bad = moov.box("trak");
    bad.fullBox("tkhd", 0).u32(0).u32(0);
    bmff::hdlr(bad.box("mdia"), "vide");
    track(moov, "vide", 320, 240);
    BmffBox& noKeys = moov.box("udta").box("meta");
    bmff::hdlr(noKeys, "mdta");
    noKeys.box("ilst").box(be(1, 4)).box("data").u32(1).u32(0).bytes("lost");
    BmffBox& meta = moov.box("meta");
    bmff::hdlr(meta, "mdta");
    meta.fullBox("keys", 0).u32(1).u32(8 + 24).bytes("mdta").bytes("com.apple.quicktime.make");
    BmffBox& ilst = meta.box("ilst");
    ilst.box(be(7, 4)).box("data").u32(1).u32(0).bytes("wrong");
    ilst.box(be(1, 4)).box("data").u32(1).u32(0).bytes("Right");
    // Trailing bytes that claim more than the file holds.
    file.appendBytes(be(1000, 4) + "free");

    NRFImageInfoRef r;
    ASSERT_EQ(read("malformed.mov", file.build(), r), kNRFErrNone);
    EXPECT_EQ(r->m_width, 320u);
    EXPECT_EQ(r->m_height, 240u);
    EXPECT_FALSE(r->m_duration.has_value());
    EXPECT_FALSE(r->m_captureTime.isValid());
    EXPECT_EQ(r->m_make, "Right");
    const std::string log = wholeLog();
    for (const char* text : {"BMFF 'mvhd' read error", "BMFF 'tkhd' read error",
                             "BMFF QuickTime format error: missing 'keys' for 'ilst'",
                             "BMFF QuickTime format error: bad key num for GetNthQTKey",
                             "Error reading BMFF container atom data"})
        EXPECT_NE(log.find(text), std::string::npos) << text;

    // A file type box too short to hold its brand, and bytes that are no movie at all.
    BmffBuilder shortType;
    shortType.box("ftyp").bytes("qt");
    EXPECT_EQ(read("short.mov", shortType.build(), r), kNRFErrBadFormat);
    EXPECT_NE(wholeLog().find("Error reading BMFF ftyp atom"), std::string::npos);
    EXPECT_EQ(read("noise.mp4", be(3, 4) + "junkjunkjunk", r), kNRFErrBadFormat);
    EXPECT_EQ(read("empty.mov", "", r), kNRFErrBadFormat);
}

TEST_F(MovieTest, AVIAndMPEGHeadersGiveSizeAndDuration) {
    {
        auto chunk = [](const std::string& id, const std::string& data) {
            return id + le(data.size(), 4) + data + (data.size() % 2 ? std::string(1, '\0') : "");
        };
        auto list = [&](const std::string& kind, const std::string& data) {
            return chunk("LIST", kind + data);
        };
        const std::string avih = le(33367, 4) + le(0, 4) + le(0, 4) + le(0x10, 4) + le(300, 4) + le(0, 4) +
                                 le(2, 4) + le(0, 4) + le(640, 4) + le(480, 4) + std::string(16, '\0');
        const std::string strh = "vids" + std::string("MJPG") + le(0, 4) + le(0, 4) + le(0, 4) + le(1001, 4) +
                                 le(30000, 4) + le(0, 4) + le(300, 4) + std::string(20, '\0');
        const std::string strf = le(40, 4) + le(640, 4) + le(480, 4) + std::string(28, '\0');
        const std::string audio = "auds" + std::string(52, '\0');
        const std::string hdrl = chunk("avih", avih) +
                                 list("strl", chunk("strh", strh) + chunk("strf", strf)) +
                                 list("strl", chunk("strh", audio) + chunk("strf", std::string(16, '\0')));
        const std::string body = "AVI " + list("hdrl", hdrl) +
                                 list("INFO", chunk("IDIT", std::string("Mon Mar 10 15:04:43 2003\n\0", 26)) +
                                                  chunk("ISFT", "CanonMVI01")) +
                                 list("movi", std::string(100, 'x'));
        NRFImageInfoRef r;
        ASSERT_EQ(read("clip.avi", "RIFF" + le(body.size(), 4) + body, r), kNRFErrNone);
        EXPECT_EQ(r->m_width, 640u);
        EXPECT_EQ(r->m_height, 480u);
        EXPECT_NEAR(r->m_duration.value_or(0), 10.01, 1e-9);
        EXPECT_EQ(r->m_captureTime, (KLDateTime{2003, 3, 10, 15, 4, 43}));
        EXPECT_EQ(r->m_software, "CanonMVI01");
        // Cut short inside its header: what was read stays, nothing is read past the end.
        const std::string whole = "RIFF" + le(body.size(), 4) + body;
        ASSERT_EQ(read("cut.avi", whole.substr(0, 40), r), kNRFErrNone);
        EXPECT_EQ(r->m_width, 0u);
    }
    {
        // MPEG-2 pack headers 10 s apart around a 720 x 576 sequence header.
        auto pack = [](std::uint64_t clock) {
            std::string p = std::string("\0\0\1\xBA", 4);
            p += static_cast<char>(0x44 | ((clock >> 27) & 0x38) | ((clock >> 28) & 3));
            p += static_cast<char>(clock >> 20);
            p += static_cast<char>(((clock >> 12) & 0xF8) | 4 | ((clock >> 13) & 3));
            p += static_cast<char>(clock >> 5);
            p += static_cast<char>(((clock << 3) & 0xF8) | 4);
            p += std::string("\x01\x89\xc3\xf8", 4);
            return p;
        };
        const std::string sequence = std::string("\0\0\1\xB3", 4) + "\x2D\x02\x40\x33" + std::string(8, '\0');
        const std::string stream = pack(90000) + sequence + std::string(5000, '\xFF') + pack(90000 * 11);
        NRFImageInfoRef r;
        ASSERT_EQ(read("clip.mpg", stream, r), kNRFErrNone);
        EXPECT_EQ(r->m_width, 720u);
        EXPECT_EQ(r->m_height, 576u);
        EXPECT_NEAR(r->m_duration.value_or(0), 10.0, 1e-9);
        // A transport stream under the MPEG-4 name: known, without values.
        std::string ts;
        for (int i = 0; i < 4; ++i)
            ts += "\x47" + std::string(187, '\0');
        ASSERT_EQ(read("clip.mts", ts, r), kNRFErrNone);
        EXPECT_EQ(r->m_fileType, NRFMakeFileType("MPG4"));
        EXPECT_EQ(r->m_width, 0u);
        EXPECT_EQ(read("noise.mpg", std::string(64, '\x11'), r), kNRFErrBadFormat);
    }
}

TEST_F(MovieTest, FramesComeFromTheRendererAndItsAbsenceIsAnError) {
    NRFImageInfoRec timing("", NRFMakeFileType("MooV"));
    EXPECT_DOUBLE_EQ(NRFMovieFrameTime(timing), 1.0);
    timing.m_duration = 0.672;
    EXPECT_DOUBLE_EQ(NRFMovieFrameTime(timing), 0.336);
    timing.m_duration = 60;
    EXPECT_DOUBLE_EQ(NRFMovieFrameTime(timing), 1.0);

    const RendererGuard guard(m_dir.file("no-such-renderer"));
    BmffBuilder file;
    file.ftyp("qt  ", 0, {"qt  "});
    BmffBox& moov = file.box("moov");
    movieHeader(moov, kHeaderTime, 600, 2980);
    track(moov, "vide", 320, 240);
    NRFImageInfoRef r;
    ASSERT_EQ(read("frame.mov", file.build(), r), kNRFErrNone);
    bool yes = false;
    EXPECT_EQ(NRFCanPreview(r.get(), &yes), kNRFErrNone);
    EXPECT_TRUE(yes);
    NRFBitmapBase bitmap;
    EXPECT_NE(NRFLoadFilePreview(r.get(), &bitmap, 256, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_NE(NRFLoadFileThumbnail(r.get(), &bitmap, 256, false), kNRFErrNone);
    EXPECT_NE(NRFLoadFileThumbnail(r.get(), &bitmap, 256, true), kNRFErrNone);
    EXPECT_TRUE(bitmap.Empty());
}

TEST_F(MovieTest, RenderedFramesAreScaledAndTurnedUpright) {
    namespace fs = std::filesystem;
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    // The renderer as the build lays it out beside the tests.
    const fs::path renderer = fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                              "Apps/lumo-videorender/lumo-videorender";
    if (!fs::exists(renderer))
        GTEST_SKIP() << "the renderer is not built";
    const RendererGuard guard(renderer.string());

    std::ifstream in(corpus + "/exiv2/small_video.mp4", std::ios::binary);
    const std::string upright((std::istreambuf_iterator<char>(in)), {});
    // The same movie with its video track turned a quarter clockwise.
    std::string turned = upright;
    const std::size_t tkhd = turned.find("tkhd");
    ASSERT_NE(tkhd, std::string::npos);
    ASSERT_EQ(turned[tkhd + 4], 0); // version 0: the matrix follows 40 bytes into the payload
    turned.replace(tkhd + 4 + 40, 20, be(0, 4) + be(0x10000, 4) + be(0, 4) + be(0xFFFF0000u, 4) + be(0, 4));

    for (const auto& [name, bytes, width, height] :
         {std::tuple<const char*, std::string, std::uint32_t, std::uint32_t>{"upright.mp4", upright, 36, 64},
          {"turned.mp4", turned, 64, 36}}) {
        NRFImageInfoRef r;
        ASSERT_EQ(read(name, bytes, r), kNRFErrNone) << name;
        EXPECT_EQ(r->m_width, 216u) << name;
        EXPECT_EQ(r->m_height, 384u) << name;
        NRFBitmapBase bitmap;
        ASSERT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 64, kNRFLoadAllowEmbedded), kNRFErrNone) << name;
        EXPECT_EQ(bitmap.Width(), width) << name;
        EXPECT_EQ(bitmap.Height(), height) << name;
        NRFBitmapBase thumbnail;
        ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &thumbnail, 64, false), kNRFErrNone) << name;
        EXPECT_EQ(thumbnail.Width(), width) << name;
    }
}

TEST_F(MovieTest, CorpusMoviesAgreeWithExiftool) {
    namespace fs = std::filesystem;
    using nlohmann::json;
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    const std::vector<std::string> files = lumo::test::corpusFiles({".mov", ".mp4", ".avi", ".mpg", ".mts"});
    ASSERT_GE(files.size(), 10u);
    // Every file is read (from a copy) under the sanitizers and ends with a result code.
    const std::map<std::string, NRFImageInfoRef> records = readCopies(files);
    EXPECT_GE(records.size(), 3u);

    std::vector<std::string> args = {"-n",    "-G1",    "-ImageWidth", "-ImageHeight", "-Duration",
                                     "-Make", "-Model", "-CreateDate", "-CreationDate"};
    args.insert(args.end(), files.begin(), files.end());
    const std::optional<json> exiftool = lumo::test::exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    int compared = 0;
    for (const json& values : *exiftool) {
        const auto found = records.find(values.value("SourceFile", ""));
        if (found == records.end())
            continue;
        const std::string name = fs::path(found->first).filename().string();
        const NRFImageInfoRec& r = *found->second;
        if (const auto w = values.find("Track1:ImageWidth"); w != values.end() && w->is_number()) {
            ++compared;
            EXPECT_EQ(r.m_width, w->get<std::uint32_t>()) << name;
            EXPECT_EQ(r.m_height, values.value("Track1:ImageHeight", 0u)) << name;
        }
        if (const auto d = values.find("QuickTime:Duration"); d != values.end() && d->is_number()) {
            ++compared;
            EXPECT_NEAR(r.m_duration.value_or(-1), d->get<double>(), 1e-3) << name;
        }
        for (const auto& [tag, ours] : {std::pair<const char*, std::string>{"QuickTime:Make", r.m_make},
                                        {"QuickTime:Model", r.m_model},
                                        {"UserData:Make", r.m_make},
                                        {"UserData:Model", r.m_model},
                                        {"Keys:Make", r.m_make},
                                        {"Keys:Model", r.m_model},
                                        {"Pentax:Make", r.m_make}})
            if (const auto v = values.find(tag); v != values.end() && v->is_string()) {
                ++compared;
                EXPECT_EQ(ours, v->get<std::string>()) << name << ": " << tag;
            }
        // The movie header's time, in UTC, when nothing better names the capture time.
        if (const auto c = values.find("QuickTime:CreateDate");
            c != values.end() && c->is_string() && values.find("Keys:CreationDate") == values.end()) {
            ++compared;
            const std::string theirs = c->get<std::string>();
            if (theirs.rfind("0000", 0) == 0) {
                EXPECT_FALSE(r.m_captureTime.isValid()) << name;
            } else {
                char ours[32];
                std::snprintf(ours, sizeof ours, "%04d:%02d:%02d %02d:%02d:%02d", r.m_captureTime.year,
                              r.m_captureTime.month, r.m_captureTime.day, r.m_captureTime.hour,
                              r.m_captureTime.minute, r.m_captureTime.second);
                EXPECT_EQ(std::string(ours), theirs.substr(0, 19)) << name;
            }
        }
    }
    EXPECT_GE(compared, 8);
}
