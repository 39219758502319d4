// The TIFF and EXIF reader over files built byte by byte: entry limits, malformed entries, capture
// times, orientation, ISO, GPS, thumbnails and previews, colour space, loops in the structure, the
// repair of a stray IFD0 pointer and the raw formats' own rules. Cases about a reader go through the
// engine's API with a file on disk; cases about the parser alone run it over bytes in memory.

#include "NRF/EXIFMakerNotes.h"
#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTIFFReaders.h"
#include "NRF/NRFTestSupport.h"
#include "app/LumoLogger.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using lumo::test::ByteOrder;
using lumo::test::encodeJpeg;
using lumo::test::readWholeFile;
using lumo::test::TiffBuilder;
using lumo::test::TiffIfd;
using lumo::test::TiffType;
using lumo::test::writeWholeFile;

namespace {

// Tags used below, by their EXIF names.
constexpr std::uint16_t kNewSubfileType = 254, kWidth = 256, kHeight = 257, kBits = 258, kCompression = 259,
                        kPhotometric = 262, kMake = 271, kModel = 272, kStrips = 273, kOrientation = 274,
                        kStripBytes = 279, kSoftware = 305, kDateTime = 306, kSubIFDs = 330, kJPEGIF = 513,
                        kJPEGIFLength = 514, kExifIFD = 34665, kICC = 34675, kGPSIFD = 34853, kISO = 34855,
                        kSensitivityType = 34864, kSOS = 34865, kREI = 34866, kISOSpeed = 34867,
                        kExifVersion = 36864, kDateTimeOriginal = 36867, kDateTimeDigitized = 36868,
                        kOffsetTimeOriginal = 36881, kSubSecOriginal = 37521, kSubSecDigitized = 37522,
                        kColorSpace = 40961, kPixelX = 40962, kPixelY = 40963, kInteropIFD = 40965,
                        kColorMatrix1 = 50721, kPreviewColorSpace = 50970;

using lumo::test::LogWatch;

std::uint32_t u32At(const std::string& bytes, std::size_t at, bool bigEndian) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes.at(at + (bigEndian ? i : 3 - i)));
    return v;
}

// The file position of an entry's value: in the entry itself, or where its offset points.
std::uint32_t inlineValuePos(const TiffBuilder& b, const TiffIfd& ifd, std::uint16_t tag) {
    return static_cast<std::uint32_t>(b.entryPosition(ifd, tag) + 8);
}
std::uint32_t outOfLineValuePos(const TiffBuilder& b, const std::string& bytes, const TiffIfd& ifd,
                                std::uint16_t tag) {
    return static_cast<std::uint32_t>(
        b.base() + u32At(bytes, b.entryPosition(ifd, tag) + 8, b.order() == ByteOrder::Big));
}

NRFEmbeddedImageLoc blobLoc(const TiffBuilder& b, std::size_t blob, std::uint32_t width,
                            std::uint32_t height) {
    return {static_cast<std::uint32_t>(b.blobPosition(blob)), static_cast<std::uint32_t>(b.blobLength(blob)),
            width, height};
}

// IFD0, the EXIF IFD and IFD1 of `bytes` through the parser alone, as a reader of `type` would run it;
// the first failure, else 0.
NRFErr parseExif(const std::string& bytes, NRFImageInfoRec& record, NRFFileType type = kNRFTypeTIFF) {
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    NRFBasicTIFF tiff(source);
    if (!tiff.ReadHeader())
        return kNRFErrBadFormat;
    EXIFParseOptions options;
    options.fileType = type;
    EXIFParser parser(record, tiff, options);
    if (const NRFErr err = parser.ParseIFD0(); err != 0)
        return err;
    if (const NRFErr err = parser.ParseExifIFD(); err != 0)
        return err;
    return parser.ParseIFD1();
}

// Writes files into a folder of its own and reads them through the engine as a caller does.
class EXIFReaderTest : public lumo::test::NRFEngineTest {
protected:
    void TearDown() override {
        NRFGetContext().strictExif = false;
        NRFEngineTest::TearDown();
    }
};

TEST_F(EXIFReaderTest, AnIFDOfMoreThan1000EntriesFailsAndAGPSIFDOfMoreThan100IsLeftOut) {
    const auto withEntries = [](unsigned entries, unsigned gpsEntries) {
        TiffBuilder b;
        TiffIfd& ifd0 = b.ifd();
        ifd0.add(kModel, "NIKON D850");
        for (unsigned i = 1; i < entries; ++i)
            ifd0.addShort(static_cast<std::uint16_t>(0xC000 + i), 1);
        if (gpsEntries != 0) {
            TiffIfd& gps = ifd0.subIfd(kGPSIFD);
            gps.addRationals(2, {{10, 1}, {0, 1}, {0, 1}}).addRationals(4, {{20, 1}, {0, 1}, {0, 1}});
            for (unsigned i = 2; i < gpsEntries; ++i)
                gps.addShort(static_cast<std::uint16_t>(100 + i), 0); // above 30: not read
        }
        return b.build();
    };
    NRFImageInfoRef record;
    EXPECT_EQ(read("1000.tif", withEntries(1000, 0), record), kNRFErrNone);
    EXPECT_EQ(record->m_model, "NIKON D850");
    EXPECT_EQ(read("1001.tif", withEntries(1001, 0), record), 8195u);
    EXPECT_EQ(record->m_model, "") << "nothing of a refused IFD is used";

    EXPECT_EQ(read("gps100.tif", withEntries(2, 100), record), kNRFErrNone);
    EXPECT_TRUE(record->m_hasGPS);
    EXPECT_DOUBLE_EQ(record->m_latitude, 10.0);
    // A child IFD that cannot be read costs only its own values.
    EXPECT_EQ(read("gps101.tif", withEntries(2, 101), record), kNRFErrNone);
    EXPECT_FALSE(record->m_hasGPS);
    EXPECT_EQ(record->m_model, "NIKON D850");
}

TEST_F(EXIFReaderTest, AMalformedEntryIsSkippedAndCountedUnlessExifIsStrict) {
    // Make says its 40 bytes lie past the end; Software's 64 bytes start inside the file and run past
    // it. Entries of unknown types are never malformed, whatever their count.
    const auto build = [](std::uint32_t softwareOffset) {
        TiffBuilder b;
        TiffIfd& ifd0 = b.ifd();
        ifd0.addPastEnd(kMake, TiffType::Ascii, 40, 100).add(kModel, "NIKON D850").addLong(kWidth, 100);
        ifd0.addEntry(kSoftware, TiffType::Ascii, 64, softwareOffset).addLong(kHeight, 80);
        ifd0.addRaw(0xC0DE, 0, 5000, "").addRaw(0xC0DF, 14, 5000, "");
        return b.build();
    };
    const std::string bytes = build(static_cast<std::uint32_t>(build(0).size() - 10));
    const std::string path = m_dir.file("bad.tif");

    LogWatch log;
    NRFImageInfoRef record;
    ASSERT_EQ(read("bad.tif", bytes, record), kNRFErrNone);
    EXPECT_EQ(record->m_make, "");
    EXPECT_EQ(record->m_software, "");
    EXPECT_EQ(record->m_model, "NIKON D850") << "the rest of the IFD is read";
    EXPECT_EQ(record->m_width, 100u);
    EXPECT_EQ(record->m_malformedCount, 2u);
    const std::string text = log.text();
    EXPECT_NE(text.find("Malformed Exif tag 0x010f (bad pointer/size) in file " + path), std::string::npos)
        << text;
    EXPECT_NE(text.find("Malformed Exif tag 0x0131 (bad pointer/size) in file " + path), std::string::npos);

    // The same block inside a JPEG: skipped and counted there too, and a strict reading fails the file
    // as it fails the TIFF.
    lumo::test::JpegBuilder jpeg(16, 16);
    TiffBuilder block;
    block.ifd().addEntry(kMake, TiffType::Ascii, 40, 0x10000000).add(kModel, "NIKON D850");
    jpeg.addExif(block.build());
    ASSERT_EQ(read("bad.jpg", jpeg.build(), record), kNRFErrNone);
    EXPECT_EQ(record->m_model, "NIKON D850");
    EXPECT_EQ(record->m_malformedCount, 1u);

    NRFGetContext().strictExif = true;
    EXPECT_EQ(read("strict.tif", bytes, record), 10u);
    EXPECT_EQ(read("strict.jpg", jpeg.build(), record), 10u);
}

TEST(EXIFParserTest, CaptureTimeComesFromTheOriginalThenTheDigitizedThenDateTime) {
    struct Case {
        bool original, digitized;
        KLDateTime taken;
        std::optional<std::uint32_t> subSeconds; // the sub-seconds that go with the date taken
    };
    for (const Case& c :
         {Case{true, true, {2019, 5, 5, 8, 0, 0}, 1235}, Case{false, true, {2018, 2, 3, 4, 5, 6}, 5000},
          Case{false, false, {2020, 1, 1, 10, 0, 0}, std::nullopt}}) {
        SCOPED_TRACE(std::to_string(c.original) + std::to_string(c.digitized));
        TiffBuilder b(ByteOrder::Big);
        b.ifd().add(kDateTime, "2020:01:01 10:00:00");
        TiffIfd& exif = b.ifd().subIfd(kExifIFD);
        if (c.original)
            exif.add(kDateTimeOriginal, "2019:05:05 08:00:00").add(kSubSecOriginal, "123456");
        if (c.digitized)
            exif.add(kDateTimeDigitized, "2018:02:03 04:05:06").add(kSubSecDigitized, "5");
        exif.add(kOffsetTimeOriginal, "-05:30");
        b.ifd().next().add(kDateTime, "2030:12:31 23:59:59"); // a thumbnail's date is no capture time
        const std::string bytes = b.build();
        NRFImageInfoRec r("", kNRFTypeTIFF);
        ASSERT_EQ(parseExif(bytes, r), kNRFErrNone);
        EXPECT_EQ(r.m_captureTime, c.taken);
        EXPECT_EQ(r.m_subSeconds, c.subSeconds);
        EXPECT_EQ(r.m_dateFromExif, c.digitized);
        if (!c.original)
            continue;
        EXPECT_EQ(r.m_timeZoneOffset, -330);
        // Every recorded position holds the date text, so a date change can be written in place.
        ASSERT_GE(r.m_datePosCount, 3u);
        std::vector<std::string> dates;
        for (std::uint32_t i = 0; i < r.m_datePosCount; ++i)
            dates.push_back(bytes.substr(r.m_datePos[i], 19));
        for (const char* date : {"2020:01:01 10:00:00", "2019:05:05 08:00:00", "2018:02:03 04:05:06"})
            EXPECT_NE(std::find(dates.begin(), dates.end(), date), dates.end()) << date;
    }
}

TEST(EXIFParserTest, SubSecondsAreTenThousandthsByTheirNumberOfDigits) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"5", 5000},      {"12", 1200},       {"123", 1230},    {"0042", 42},
        {"123456", 1235}, {"12345678", 1235}, {"99999", 10000},
    };
    for (const auto& [text, expected] : cases) {
        std::uint32_t units = 0;
        EXPECT_TRUE(EXIFParseSubSeconds(text, units)) << text;
        EXPECT_EQ(units, expected) << text;
    }
    std::uint32_t units = 0;
    for (const char* bad : {"", "123456789", "1a", "-5", " 5"})
        EXPECT_FALSE(EXIFParseSubSeconds(bad, units)) << '"' << bad << '"';
}

TEST_F(EXIFReaderTest, OrientationTurnsARawAndIsRecordedWhereItCanBeRewritten) {
    const int expected[9] = {-1, 0, 4, 2, 6, 7, 1, 5, 3};
    for (unsigned value = 0; value <= 9; ++value)
        EXPECT_EQ(EXIFOrientationToRotation(value), value <= 8 ? expected[value] : -1) << value;

    const auto build = [](TiffBuilder& b, std::size_t& preview, std::size_t& thumbnail) {
        TiffIfd& ifd0 = b.ifd();
        ifd0.add(kMake, "NIKON CORPORATION").add(kModel, "NIKON D850");
        ifd0.addLong(kWidth, 6000).addLong(kHeight, 4000).addShort(kOrientation, 6);
        preview = ifd0.addBlob(kJPEGIF, kJPEGIFLength, encodeJpeg(300, 200));
        TiffIfd& ifd1 = ifd0.next();
        ifd1.addShort(kOrientation, 8); // IFD1's orientation describes the thumbnail only
        thumbnail = ifd1.addBlob(kJPEGIF, kJPEGIFLength, encodeJpeg(160, 120));
        return b.build();
    };
    TiffBuilder b(ByteOrder::Big);
    std::size_t preview = 0, thumbnail = 0;
    const std::string bytes = build(b, preview, thumbnail);
    NRFImageInfoRef record;
    ASSERT_EQ(read("turned.nef", bytes, record), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_width, 4000u);
    EXPECT_EQ(record->m_height, 6000u);
    EXPECT_EQ(record->m_preview, blobLoc(b, preview, 200, 300));
    EXPECT_EQ(record->m_thumbnail, blobLoc(b, thumbnail, 160, 120));
    EXPECT_EQ(record->m_displayWidth, 200u);
    EXPECT_EQ(record->m_displayHeight, 300u);
    ASSERT_EQ(record->m_orientationPosCount, 2u);
    EXPECT_EQ(record->m_orientationPos[0], inlineValuePos(b, b.ifd(), kOrientation));
    EXPECT_TRUE(record->m_orientationBigEndian[0]);
    EXPECT_EQ(bytes.substr(record->m_orientationPos[0], 2), std::string("\0\x06", 2));

    // A TIFF is no raw: its sizes stay as stored.
    TiffBuilder tiff(ByteOrder::Little);
    ASSERT_EQ(read("turned.tif", build(tiff, preview, thumbnail), record), kNRFErrNone);
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_width, 6000u);
    EXPECT_FALSE(record->m_orientationBigEndian[0]);
}

TEST(EXIFParserTest, ISOFollowsTheSensitivityType) {
    struct Case {
        std::uint16_t iso;
        int type; // -1: no SensitivityType
        std::uint32_t sos, rei, isoSpeed, expected;
    };
    const Case cases[] = {
        {3, 2, 0, 200, 0, 200},       // below 8 the old tag is no value; the index stands in
        {100, 1, 400, 500, 0, 400},   // standard output sensitivity only
        {100, 2, 400, 500, 0, 500},   // recommended exposure index only
        {100, 4, 400, 500, 0, 500},   // both, the index last
        {100, 7, 400, 500, 640, 640}, // ISOSpeed wins
        {100, -1, 0, 0, 1600, 1600},  // ISOSpeed wins without a type too
        {100, 8, 400, 500, 0, 100},   // an unknown type disables both
        {100, 300, 400, 500, 0, 100},
    };
    for (const Case& c : cases) {
        TiffBuilder b;
        TiffIfd& exif = b.ifd().subIfd(kExifIFD);
        exif.addShort(kISO, c.iso);
        if (c.type >= 0)
            exif.addShort(kSensitivityType, static_cast<std::uint16_t>(c.type));
        if (c.sos)
            exif.addLong(kSOS, c.sos);
        if (c.rei)
            exif.addLong(kREI, c.rei);
        if (c.isoSpeed)
            exif.addLong(kISOSpeed, c.isoSpeed);
        NRFImageInfoRec record("", kNRFTypeTIFF);
        ASSERT_EQ(parseExif(b.build(), record), kNRFErrNone);
        EXPECT_EQ(record.m_iso, c.expected) << "ISO " << c.iso << " type " << c.type;
    }
}

// What the header of a NEF points at, beside the camera's IFD0 at 8 (Orientation 1).
enum class Header {
    NewerIFD0GPSPastEnd,  // a newer IFD0 (Orientation 6) whose GPS pointer leads past the end
    NewerIFD0GPSTooLarge, // ... whose GPS IFD declares 101 entries
    NewerIFD0ExifPastEnd, // ... whose EXIF IFD pointer leads past the end
    PastTheEnd,           // nothing: the offset lies past the end of the file
    TableRunsPastTheEnd,  // bytes whose count (65535) would run past the end
    TableInsideTheFile,   // bytes whose count (1001) no IFD0 has, with room for the entries
};

std::string nefWithHeader(Header header) {
    TiffBuilder b(ByteOrder::Big);
    TiffIfd& camera = b.ifd();
    camera.add(kMake, "NIKON CORPORATION").add(kModel, "NIKON D850");
    camera.addLong(kWidth, 6000).addLong(kHeight, 4000).addShort(kOrientation, 1);
    camera.subIfd(kExifIFD).add(kDateTimeOriginal, "2019:05:05 08:00:00");
    // A table only the header leads to: the tag that points at it is one no reader knows.
    TiffIfd& newer = camera.subIfd(0xC6FE);
    newer.add(kMake, "NIKON CORPORATION").add(kModel, "NIKON D850");
    newer.addLong(kWidth, 6000).addLong(kHeight, 4000).addShort(kOrientation, 6);
    if (header != Header::NewerIFD0ExifPastEnd)
        newer.subIfd(kExifIFD).add(kDateTimeOriginal, "2020:06:06 09:00:00");
    std::size_t garbage = 0;
    switch (header) {
    case Header::NewerIFD0GPSPastEnd:
        newer.addEntry(kGPSIFD, TiffType::Long, 1, 0x7FFFFFF0);
        break;
    case Header::NewerIFD0GPSTooLarge: {
        TiffIfd& gps = newer.subIfd(kGPSIFD);
        gps.addRationals(2, {{10, 1}, {0, 1}, {0, 1}}).addRationals(4, {{20, 1}, {0, 1}, {0, 1}});
        for (unsigned i = 2; i < 101; ++i)
            gps.addShort(static_cast<std::uint16_t>(100 + i), 0);
        break;
    }
    case Header::NewerIFD0ExifPastEnd:
        newer.addEntry(kExifIFD, TiffType::Long, 1, 0x7FFFFFF0);
        break;
    case Header::TableRunsPastTheEnd:
        garbage = camera.addBlob(0xC6FF, 0, std::string(64, '\xFF'));
        break;
    case Header::TableInsideTheFile:
        garbage = camera.addBlob(0xC6FF, 0, std::string("\x03\xE9", 2) + std::string(1001 * 12 + 4, '\0'));
        break;
    case Header::PastTheEnd:
        break;
    }
    const std::string first = b.build();
    switch (header) {
    case Header::PastTheEnd:
        b.setIfd0Offset(static_cast<std::uint32_t>(first.size() + 64));
        break;
    case Header::TableRunsPastTheEnd:
    case Header::TableInsideTheFile:
        b.setIfd0Offset(static_cast<std::uint32_t>(b.blobPosition(garbage)));
        break;
    default:
        b.setIfd0Offset(static_cast<std::uint32_t>(b.ifdPosition(newer)));
        break;
    }
    return b.build();
}

TEST_F(EXIFReaderTest, IFD0IsLookedForAtEightOnlyWhenItsOwnTableCannotBeReadAndRepairedOnlyWhenCertain) {
    struct Case {
        const char* name;
        Header header;
        std::int16_t rotation; // the newer IFD0's 6 is code 1, the camera's 1 is code 0
        bool recovered, repaired;
    };
    const Case cases[] = {
        {"gps-past-end.nef", Header::NewerIFD0GPSPastEnd, 1, false, false},
        {"gps-too-large.nef", Header::NewerIFD0GPSTooLarge, 1, false, false},
        {"exif-past-end.nef", Header::NewerIFD0ExifPastEnd, 1, false, false},
        // No program can read a table where the header points: repaired.
        {"past-end.nef", Header::PastTheEnd, 0, true, true},
        {"runs-past-end.nef", Header::TableRunsPastTheEnd, 0, true, true},
        // What lies there may be a table another program reads: read at 8, the file left alone.
        {"inside.nef", Header::TableInsideTheFile, 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = nefWithHeader(c.header);
        const std::uint32_t headerOffset = u32At(bytes, 4, true);
        ASSERT_NE(headerOffset, 8u);
        const std::string path = m_dir.file(c.name);
        writeWholeFile(path, bytes);
        writeWholeFile(m_dir.file(std::string(c.name, std::strlen(c.name) - 4) + ".XMP"), "<x:xmpmeta/>");
        const auto modified = std::filesystem::last_write_time(path) - std::chrono::hours(1);
        std::filesystem::last_write_time(path, modified);

        LogWatch log;
        NRFImageInfoRef record;
        ASSERT_EQ(NRFOpenImage(path.c_str(), 0, &record), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
        EXPECT_EQ(record->m_model, "NIKON D850");
        EXPECT_EQ(record->m_orientation, c.rotation);
        EXPECT_EQ(record->m_width, c.rotation == 1 ? 4000u : 6000u) << "a raw turned a quarter reports it";
        EXPECT_FALSE(record->m_hasGPS);
        EXPECT_EQ(record->m_orientationPosCount, 1u);
        EXPECT_EQ(log.has("Failed to parse EXIF IFD0 for file \"" + path + "\""), c.recovered) << log.text();
        const KLDateTime taken = c.recovered                                ? KLDateTime{2019, 5, 5, 8, 0, 0}
                                 : c.header == Header::NewerIFD0ExifPastEnd ? KLDateTime{}
                                                                            : KLDateTime{2020, 6, 6, 9, 0, 0};
        EXPECT_EQ(record->m_captureTime, taken) << "the EXIF IFD of the table read as IFD0";

        const std::string after = readWholeFile(path);
        ASSERT_EQ(after.size(), bytes.size());
        EXPECT_EQ(after.substr(8), bytes.substr(8)) << "nothing but the pointer ever changes";
        EXPECT_EQ(u32At(after, 4, true), c.repaired ? 8u : headerOffset);
        EXPECT_EQ(std::filesystem::last_write_time(path), modified)
            << "a folder sorted by date keeps its order";
        const std::string was = std::to_string(headerOffset);
        if (c.recovered)
            EXPECT_TRUE(log.has(c.repaired
                                    ? "Repaired the IFD0 offset of \"" + path + "\" (was " + was + ", now 8)"
                                    : "Left the IFD0 offset of \"" + path + "\" at " + was))
                << log.text();
        // What the engine knows of the file is what it was when read.
        EXPECT_EQ(record->m_fileSize, bytes.size());
        EXPECT_TRUE(record->m_hasXmpSidecar);
        EXPECT_FALSE(record->NeedsMetadataReload());
    }
}

// A NEF with IFD0 and two SubIFDs (a preview and the raw image), each with its Orientation value.
std::string nefWithOrientations(TiffBuilder& b, std::uint16_t ifd0, std::uint16_t preview, std::uint16_t raw,
                                std::vector<TiffIfd*>& subs) {
    TiffIfd& ifd = b.ifd();
    ifd.add(kMake, "NIKON CORPORATION").add(kModel, "NIKON D850").addLong(kNewSubfileType, 1);
    if (ifd0)
        ifd.addShort(kOrientation, ifd0);
    subs = ifd.subIfds(2);
    subs[0]->addLong(kNewSubfileType, 1).addShort(kCompression, 6).addShort(kOrientation, preview);
    subs[0]->addBlob(kStrips, kStripBytes, encodeJpeg(300, 200));
    subs[1]->addLong(kNewSubfileType, 0).addLong(kWidth, 6000).addLong(kHeight, 4000);
    subs[1]->addShort(kPhotometric, 32803).addShort(kOrientation, raw);
    return b.build();
}

TEST_F(EXIFReaderTest, IFD0sOrientationWinsOverTheSubIFDsAndIsRecordedFirst) {
    struct Case {
        std::uint16_t ifd0, preview, raw;
        std::int16_t rotation;
    };
    // IFD0 turned alone (a tool that writes IFD0 only, or a rotation cut short after IFD0); without one
    // in IFD0 the last SubIFD's stands, as before.
    for (const Case c : {Case{8, 1, 1, 3}, Case{6, 1, 1, 1}, Case{0, 6, 8, 3}}) {
        SCOPED_TRACE(std::to_string(c.ifd0) + " " + std::to_string(c.preview) + " " + std::to_string(c.raw));
        TiffBuilder b(ByteOrder::Big);
        std::vector<TiffIfd*> subs;
        const std::string bytes = nefWithOrientations(b, c.ifd0, c.preview, c.raw, subs);
        NRFImageInfoRef record;
        ASSERT_EQ(read("turned.nef", bytes, record), kNRFErrNone) << NRFGetErrorText();
        EXPECT_EQ(record->m_orientation, c.rotation);
        std::vector<std::uint32_t> expected;
        if (c.ifd0)
            expected.push_back(inlineValuePos(b, b.ifd(), kOrientation));
        for (TiffIfd* sub : subs)
            expected.push_back(inlineValuePos(b, *sub, kOrientation));
        ASSERT_EQ(record->m_orientationPosCount, expected.size()) << "every value can be rewritten";
        EXPECT_EQ(std::vector<std::uint32_t>(record->m_orientationPos.begin(),
                                             record->m_orientationPos.begin() + expected.size()),
                  expected);
    }

    // The corpus NEF after exiftool turned its IFD0 alone: exiftool's IFD0 value is the rotation, and a
    // quarter turn clockwise from there writes 1 everywhere.
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    const std::string path = m_dir.file("Nikon.nef");
    writeWholeFile(path, readWholeFile(corpus + "/exiftool/Nikon.nef"));
    lumo::test::ProcessResult turned;
    try {
        turned =
            lumo::test::runProcess("exiftool", {"-q", "-m", "-overwrite_original", "-Orientation#=8", path});
    } catch (const std::exception& e) {
        LUMO_SKIP_OR_FAIL(e.what());
    }
    ASSERT_EQ(turned.exitCode, 0) << turned.err;
    const auto values = lumo::test::exiftoolJson({"-n", "-a", "-G1", "-Orientation", path});
    ASSERT_TRUE(values && values->size() == 1);
    EXPECT_EQ((*values)[0].value("IFD0:Orientation", 0), 8);
    EXPECT_EQ((*values)[0].value("SubIFD1:Orientation", 0), 1);
    NRFImageInfoRef record;
    ASSERT_EQ(NRFOpenImage(path.c_str(), 0, &record), kNRFErrNone);
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(record->m_orientation, EXIFOrientationToRotation((*values)[0].value("IFD0:Orientation", 0)));
    ASSERT_EQ(record->m_orientationPosCount, 3u);
    const std::string bytes = readWholeFile(path);
    const std::uint32_t first = record->m_orientationPos[0];
    EXPECT_EQ(record->m_orientationBigEndian[0] ? bytes.at(first + 1) : bytes.at(first), 8)
        << "IFD0's value comes first";
    ASSERT_EQ(NRFSetRotation(record.get(), (record->m_orientation + 1) & 3), kNRFErrNone);
    const auto after = lumo::test::exiftoolJson({"-n", "-a", "-G1", "-Orientation", path});
    ASSERT_TRUE(after && after->size() == 1);
    for (const char* where : {"IFD0:Orientation", "SubIFD:Orientation", "SubIFD1:Orientation"})
        EXPECT_EQ((*after)[0].value(where, 0), 1) << where;
}

// A raw whose every pointer that could loop does: IFD1 is IFD0, the EXIF IFD lists IFD0 as its EXIF
// IFD and GPS IFD and itself as its interoperability IFD, a preview SubIFD lists IFD0 and itself as
// SubIFDs. `previewPos` is where that SubIFD lands (known after a first build).
std::string loopingRaw(std::uint32_t previewPos, TiffBuilder& b, std::size_t& preview, TiffIfd*& previewIfd) {
    TiffIfd& ifd0 = b.ifd();
    ifd0.add(kMake, "NIKON CORPORATION").add(kModel, "NIKON D850").addShort(kOrientation, 6);
    ifd0.linkNext(ifd0);
    TiffIfd& exif = ifd0.subIfd(kExifIFD);
    exif.add(kDateTimeOriginal, "2019:05:05 08:00:00");
    exif.pointTo(kExifIFD, ifd0).pointTo(kGPSIFD, ifd0).pointTo(kInteropIFD, exif);
    std::vector<TiffIfd*> subs = ifd0.subIfds(2);
    previewIfd = subs[0];
    subs[0]->addLong(kNewSubfileType, 1).addShort(kCompression, 6).addLongs(kSubIFDs, {8, previewPos});
    preview = subs[0]->addBlob(kStrips, kStripBytes, encodeJpeg(320, 240));
    subs[1]->addLong(kNewSubfileType, 0).addLong(kWidth, 6000).addLong(kHeight, 4000);
    subs[1]->addShort(kPhotometric, 32803);
    return b.build();
}

TEST_F(EXIFReaderTest, PointersThatLoopBackEndTheWalk) {
    std::size_t preview = 0;
    TiffIfd* previewIfd = nullptr;
    TiffBuilder first;
    loopingRaw(0, first, preview, previewIfd);
    const auto previewPos = static_cast<std::uint32_t>(first.ifdPosition(*previewIfd));
    TiffBuilder b;
    const std::string bytes = loopingRaw(previewPos, b, preview, previewIfd);
    ASSERT_EQ(b.ifdPosition(*previewIfd), previewPos);

    NRFImageInfoRef record;
    ASSERT_EQ(read("loop.nef", bytes, record), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(record->m_model, "NIKON D850");
    EXPECT_EQ(record->m_captureTime, (KLDateTime{2019, 5, 5, 8, 0, 0}));
    EXPECT_FALSE(record->m_hasGPS);
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_orientationPosCount, 1u) << "IFD0 is not read a second time as IFD1";
    // Every SubIFD that IFD0 listed is read, whatever the SubIFDs list of a SubIFD says.
    EXPECT_EQ(record->m_width, 4000u);
    EXPECT_EQ(record->m_height, 6000u);
    EXPECT_EQ(record->m_preview, blobLoc(b, preview, 240, 320));
}

TEST(EXIFParserTest, GPSReferencesSignThePositionAndItsPlacesAreRecorded) {
    for (const bool refs : {false, true}) {
        TiffBuilder b(ByteOrder::Big);
        TiffIfd& gps = b.ifd().subIfd(kGPSIFD);
        gps.addByte(0, {2, 3, 0, 0});
        gps.addRationals(2, {{48, 1}, {30, 1}, {0, 1}}).addRationals(4, {{2, 1}, {15, 1}, {0, 1}});
        gps.addRational(6, 100, 1).addRationals(7, {{12, 1}, {34, 1}, {5678, 100}});
        if (refs)
            gps.add(1, "S").add(3, "W").addByte(5, {1});
        const std::string bytes = b.build();
        NRFImageInfoRec r("", kNRFTypeTIFF);
        ASSERT_EQ(parseExif(bytes, r), kNRFErrNone);
        SCOPED_TRACE(refs ? "with references" : "without references");
        EXPECT_TRUE(r.m_hasGPS);
        EXPECT_DOUBLE_EQ(r.m_latitude, refs ? -48.5 : 48.5);
        EXPECT_DOUBLE_EQ(r.m_longitude, refs ? -2.25 : 2.25);
        EXPECT_EQ(r.m_gpsLatitudeRef, refs ? 'S' : '?');
        EXPECT_EQ(r.m_gpsLongitudeRef, refs ? 'W' : '?');
        ASSERT_TRUE(r.m_altitude.has_value());
        EXPECT_DOUBLE_EQ(*r.m_altitude, refs ? -100.0 : 100.0);
        EXPECT_EQ(r.m_gpsVersion, 0x02030000u);
        EXPECT_EQ(r.m_gpsIFDPos, b.ifdPosition(gps));
        EXPECT_EQ(r.m_gpsLatitudePos, outOfLineValuePos(b, bytes, gps, 2));
        EXPECT_EQ(r.m_gpsLongitudePos, outOfLineValuePos(b, bytes, gps, 4));
        EXPECT_EQ(r.m_gpsAltitudePos, outOfLineValuePos(b, bytes, gps, 6));
        if (refs) {
            EXPECT_EQ(r.m_gpsLatitudeRefPos, inlineValuePos(b, gps, 1));
            EXPECT_EQ(r.m_gpsLongitudeRefPos, inlineValuePos(b, gps, 3));
            EXPECT_EQ(r.m_gpsAltitudeRefPos, inlineValuePos(b, gps, 5));
            EXPECT_EQ(bytes[r.m_gpsLongitudeRefPos], 'W');
        }
        EXPECT_TRUE(r.m_gpsHasTimeStamp);
        EXPECT_EQ(r.m_gpsHours, 12);
        EXPECT_EQ(r.m_gpsMinutes, 34);
        EXPECT_EQ(r.m_gpsSeconds, 56);
        EXPECT_EQ(r.m_gpsMilliseconds, 780);
        EXPECT_TRUE(r.m_gpsTimeHasFraction);
    }
    TiffBuilder whole;
    whole.ifd().subIfd(kGPSIFD).addRationals(7, {{23, 1}, {59, 1}, {59, 1}});
    NRFImageInfoRec r("", kNRFTypeTIFF);
    ASSERT_EQ(parseExif(whole.build(), r), kNRFErrNone);
    EXPECT_EQ(r.m_gpsSeconds, 59);
    EXPECT_FALSE(r.m_gpsTimeHasFraction);
    EXPECT_FALSE(r.m_hasGPS) << "a time stamp is no position";
}

TEST_F(EXIFReaderTest, AThumbnailOutsideTheFileIsDroppedAndAGoodOneTakesItsSizeFromItsSOF) {
    const std::string jpeg = encodeJpeg(160, 120);
    struct Case {
        const char* name;
        int kind; // 0 past the end, 1 runs past the end, 2 not a JPEG, 3 good
    };
    for (const Case c :
         {Case{"past.tif", 0}, Case{"long.tif", 1}, Case{"notjpeg.tif", 2}, Case{"good.tif", 3}}) {
        TiffBuilder b;
        b.ifd().addLong(kWidth, 640).addLong(kHeight, 480);
        TiffIfd& ifd1 = b.ifd().next();
        std::size_t blob = 0;
        if (c.kind == 0)
            ifd1.addEntry(kJPEGIF, TiffType::Long, 1, 0x00100000).addLong(kJPEGIFLength, 5000);
        else if (c.kind == 1) {
            ifd1.addBlob(kJPEGIF, 0, jpeg);
            ifd1.addLong(kJPEGIFLength, static_cast<std::uint32_t>(jpeg.size() + 100));
        } else
            blob = ifd1.addBlob(kJPEGIF, kJPEGIFLength, c.kind == 2 ? std::string(jpeg.size(), 'x') : jpeg);
        const std::string bytes = b.build();
        NRFImageInfoRef record;
        ASSERT_EQ(read(c.name, bytes, record), kNRFErrNone) << c.name;
        if (c.kind != 3) {
            EXPECT_EQ(record->m_thumbnail, NRFEmbeddedImageLoc{}) << c.name;
            continue;
        }
        EXPECT_EQ(record->m_thumbnail, blobLoc(b, blob, 160, 120));
        EXPECT_TRUE(record->m_thumbnailIsJPEG);
        EXPECT_EQ(record->m_thumbnailIFDEntryPos, b.entryPosition(ifd1, kJPEGIF));
    }
}

TEST_F(EXIFReaderTest, OfSeveralSubIFDPreviewsTheLargestAndOnEqualSizeTheLaterIsKept) {
    // IFD0 is the small RGB image a Nikon raw starts with; the SubIFDs hold two previews around the raw.
    // `interchange`: the previews are JPEGInterchangeFormat streams, as Nikon writes them, not strips.
    const auto build = [](TiffBuilder& b, int firstWidth, int secondWidth, bool interchange,
                          std::size_t(&blobs)[2]) {
        TiffIfd& ifd0 = b.ifd();
        ifd0.add(kMake, "NIKON CORPORATION").add(kModel, "NIKON D850");
        ifd0.addLong(kNewSubfileType, 1).addLong(kWidth, 160).addLong(kHeight, 120).addShort(kPhotometric, 2);
        std::vector<TiffIfd*> subs = ifd0.subIfds(3);
        subs[1]->addLong(kNewSubfileType, 0).addLong(kWidth, 6000).addLong(kHeight, 4000);
        subs[1]->addShort(kBits, 14).addShort(kPhotometric, 32803);
        const int widths[2] = {firstWidth, secondWidth};
        for (int i = 0; i < 2; ++i) {
            TiffIfd& sub = *subs[i == 0 ? 0 : 2];
            sub.addLong(kNewSubfileType, 1).addShort(kCompression, 6);
            const std::string jpeg = encodeJpeg(widths[i], widths[i] * 2 / 3);
            blobs[i] = interchange ? sub.addBlob(kJPEGIF, kJPEGIFLength, jpeg)
                                   : sub.addBlob(kStrips, kStripBytes, jpeg);
        }
        return b.build();
    };
    struct Case {
        int first, second;
        bool interchange;
        int kept; // which preview stays
    };
    for (const Case c : {Case{300, 600, false, 1}, Case{600, 300, false, 0}, Case{300, 300, false, 1},
                         Case{300, 600, true, 1}}) {
        SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second) +
                     (c.interchange ? " as interchange streams" : " as strips"));
        TiffBuilder b(ByteOrder::Big);
        std::size_t blobs[2] = {0, 0};
        const std::string bytes = build(b, c.first, c.second, c.interchange, blobs);
        NRFImageInfoRef record;
        ASSERT_EQ(read("previews.nef", bytes, record), kNRFErrNone) << NRFGetErrorText();
        const int width = c.kept == 0 ? c.first : c.second;
        EXPECT_EQ(record->m_preview, blobLoc(b, blobs[c.kept], static_cast<std::uint32_t>(width),
                                             static_cast<std::uint32_t>(width * 2 / 3)));
        EXPECT_TRUE(record->m_previewIsJPEG);
        EXPECT_EQ(record->m_width, 6000u);
        EXPECT_EQ(record->m_height, 4000u);
        EXPECT_EQ(record->m_photometric, 32803);
        EXPECT_EQ(record->m_displayWidth, static_cast<std::uint32_t>(width));
    }
}

TEST_F(EXIFReaderTest, ADNGTakesTheRoleOfEachIFDFromItsNewSubfileType) {
    TiffBuilder b;
    TiffIfd& ifd0 = b.ifd();
    ifd0.addLong(kNewSubfileType, 1).addLong(kWidth, 256).addLong(kHeight, 171);
    ifd0.addShort(kCompression, 7).addShort(kPhotometric, 6);
    const std::size_t preview = ifd0.addBlob(kStrips, kStripBytes, encodeJpeg(256, 171));
    ifd0.add(kMake, "Canon").add(kModel, "Canon EOS R5");
    ifd0.addSRationals(kColorMatrix1, std::vector<std::pair<std::int32_t, std::int32_t>>(9, {1, 1}));
    ifd0.addLong(kPreviewColorSpace, 3);
    TiffIfd& raw = *ifd0.subIfds(1)[0];
    raw.addLong(kNewSubfileType, 0).addLong(kWidth, 8192).addLong(kHeight, 5464);
    raw.addShort(kPhotometric, 32803);
    const std::string bytes = b.build();
    NRFImageInfoRef record;
    ASSERT_EQ(read("camera.dng", bytes, record), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(record->m_width, 8192u);
    EXPECT_EQ(record->m_height, 5464u);
    EXPECT_EQ(record->m_preview, blobLoc(b, preview, 256, 171));
    EXPECT_TRUE(record->m_isColor);
    EXPECT_EQ(record->m_colorSpaceCode, 3);
}

// A CR2: the 16-byte header with its "CR" signature, IFD0 whose strips are the preview, the EXIF IFD
// with the image's size and IFD1 with the thumbnail.
std::string cr2(const std::string& model, std::uint32_t width, std::uint32_t height, bool signature = true) {
    TiffBuilder b;
    b.setHeaderTail(std::string(signature ? "CR\x02\x00" : "XX\x00\x00", 4) + std::string(4, '\0'));
    TiffIfd& ifd0 = b.ifd();
    ifd0.add(kMake, "Canon").add(kModel, model).addLong(kWidth, width).addLong(kHeight, height);
    ifd0.addShort(kOrientation, 6).addShort(kCompression, 6);
    ifd0.addBlob(kStrips, kStripBytes, encodeJpeg(300, 200));
    TiffIfd& exif = ifd0.subIfd(kExifIFD);
    exif.add(kDateTimeOriginal, "2019:05:05 08:00:00").addLong(kPixelX, width).addLong(kPixelY, height);
    ifd0.next().addBlob(kJPEGIF, kJPEGIFLength, encodeJpeg(160, 120));
    return b.build();
}

// `length` bytes that begin and end with the trailer of Canon's optional data block.
std::string canonOptionalData(std::uint32_t length) {
    static const std::string kMark = "CANON OPTIONAL DATA";
    std::string block(length, '\0');
    block.replace(0, kMark.size(), kMark);
    std::string tail = kMark + std::string(64 - kMark.size(), '\0');
    const std::uint32_t word = length - 92;
    for (int i = 0; i < 4; ++i)
        tail[20 + i] = static_cast<char>(word >> (24 - 8 * i));
    block.replace(length - 64, 64, tail);
    return block;
}

TEST_F(EXIFReaderTest, CanonCR2Specifics) {
    NRFImageInfoRef record;
    LogWatch log;
    ASSERT_EQ(read("land.cr2", cr2("Canon EOS 5D Mark IV", 3000, 2000) + canonOptionalData(300), record),
              kNRFErrNone)
        << NRFGetErrorText();
    EXPECT_EQ(NRFFileTypeString(record->m_fileType), "CCR2");
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_width, 2000u);
    EXPECT_EQ(record->m_height, 3000u);
    EXPECT_EQ(record->m_preview.width, 200u) << "the preview's size comes from its SOF";
    EXPECT_EQ(record->m_preview.height, 300u);
    EXPECT_EQ(record->m_thumbnail.width, 160u);
    EXPECT_EQ(record->m_canonOptionalDataLength, 300u);
    EXPECT_EQ(log.text().find("CR2 missing signature"), std::string::npos);

    // A trailer whose length leads to no second trailer is not a block.
    std::string broken = canonOptionalData(300);
    broken[0] = 'X';
    ASSERT_EQ(read("broken.cr2", cr2("Canon EOS 5D Mark IV", 3000, 2000) + broken, record), kNRFErrNone);
    EXPECT_EQ(record->m_canonOptionalDataLength, 0u);

    // A portrait size is not what a camera writes: its embedded images are not trusted.
    ASSERT_EQ(read("portrait.cr2", cr2("Canon EOS 5D Mark IV", 2000, 3000), record), kNRFErrNone);
    EXPECT_EQ(record->m_orientation, 0);
    EXPECT_EQ(record->m_preview, NRFEmbeddedImageLoc{});
    EXPECT_EQ(record->m_thumbnail, NRFEmbeddedImageLoc{});
    EXPECT_EQ(record->m_width, 2000u);

    // A missing signature is only logged.
    ASSERT_EQ(read("unsigned.cr2", cr2("Canon EOS 5D Mark IV", 3000, 2000, false), record), kNRFErrNone);
    EXPECT_NE(log.text().find("CR2 missing signature for file \"" + m_dir.file("unsigned.cr2") + "\""),
              std::string::npos);

    // The first EOS-1D bodies wrote TIFF raws under this name: their reader takes the file.
    ASSERT_EQ(read("old.cr2", cr2("Canon EOS-1D", 2464, 1648), record), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(NRFFileTypeString(record->m_fileType), "C1DT");
    EXPECT_EQ(record->m_model, "Canon EOS-1D");
    EXPECT_EQ(record->m_captureTime, (KLDateTime{2019, 5, 5, 8, 0, 0}));

    EXPECT_EQ(read("jpeg.cr2", encodeJpeg(16, 16), record), kNRFErrBadFormat);
    EXPECT_NE(log.text().find("CR2 header for file \"" + m_dir.file("jpeg.cr2") +
                              "\" does not match expected data"),
              std::string::npos);
}

int gJPEGReads = 0;
NRFErr jpegStandIn(NRFContext&, NRFImageInfoRec& record, lumo::File&) {
    ++gJPEGReads;
    record.m_hasInfo = true;
    return kNRFErrNone;
}

TEST_F(EXIFReaderTest, ARawNameOnAJPEGStreamIsReadAsJPEG) {
    const std::string jpeg = encodeJpeg(64, 48);
    NRFMemoryByteSource source(jpeg.data(), jpeg.size());
    for (const char* code : {"NNEF", "CCR2", "TIFF"}) {
        NRFImageInfoRec record("", NRFMakeFileType(code));
        const NRFErr err = NRFReadTIFFStructure(NRFGetContext(), record, source, false);
        if (std::string(code) == "NNEF") {
            EXPECT_EQ(err, kNRFErrWrongType);
            EXPECT_EQ(record.m_fileType, kNRFTypeJPEG);
        } else {
            EXPECT_EQ(err, kNRFErrBadFormat) << code << ": not a raw that cameras write as JPEG";
        }
    }

    gJPEGReads = 0;
    NRFPluginFunctionsForTesting(NRFFindFileType(kNRFTypeJPEG))->GetImageInfo = &jpegStandIn;
    NRFImageInfoRef record;
    EXPECT_EQ(read("camera.nef", jpeg, record), kNRFErrNone);
    EXPECT_EQ(record->m_fileType, kNRFTypeJPEG);
    EXPECT_EQ(gJPEGReads, 1);
}

TEST(EXIFParserTest, ColourSpaceFromTheExifVersionTheInteroperabilityIndexAndAnICCProfile) {
    struct Case {
        const char* version;
        std::uint16_t colorSpace;
        const char* interop; // null: no interoperability IFD
        bool icc;
        NRFFileType type;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"0221", 1, nullptr, false, kNRFTypeTIFF, 2},
        {"0230", 2, nullptr, false, kNRFTypeTIFF, 3},
        {"0221", 0xFFFF, "R03", false, kNRFTypeTIFF, 3},
        {"0221", 0xFFFF, "R98", false, kNRFTypeTIFF, 2},
        {"0220", 1, nullptr, false, kNRFTypeTIFF, 0},
        {"0221", 1, nullptr, true, kNRFTypeTIFF, 1},
        {"0221", 0xFFFF, "R03", true, kNRFTypeTIFF, 1},
        {"0221", 1, nullptr, true, kNRFTypeJPEG, 2}, // a JPEG keeps its profile in APP2 segments
    };
    for (const Case& c : cases) {
        TiffBuilder b;
        if (c.icc)
            b.ifd().addUndefined(kICC, std::string(200, 'p'));
        TiffIfd& exif = b.ifd().subIfd(kExifIFD);
        exif.addUndefined(kExifVersion, c.version).addShort(kColorSpace, c.colorSpace);
        if (c.interop)
            exif.subIfd(kInteropIFD).add(1, c.interop);
        const std::string bytes = b.build();
        NRFImageInfoRec r("", c.type);
        ASSERT_EQ(parseExif(bytes, r, c.type), kNRFErrNone);
        EXPECT_EQ(r.m_colorSpaceCode, c.expected) << c.version << " " << c.colorSpace << " "
                                                  << (c.interop ? c.interop : "-") << (c.icc ? " icc" : "");
        EXPECT_EQ(r.m_exifColorSpace, c.colorSpace);
        if (c.icc && c.type == kNRFTypeTIFF) {
            EXPECT_EQ(r.m_iccTotalLength, 200u);
            EXPECT_EQ(r.m_iccChunkPos[0], outOfLineValuePos(b, bytes, b.ifd(), kICC));
        }
    }
}

TEST(EXIFParserTest, PhotoshopResourcesWithASizePastTheBlockStopTheWalk) {
    using lumo::test::photoshopResource;
    std::vector<std::pair<std::uint16_t, std::size_t>> seen;
    const auto collect = [&](std::uint16_t id, std::size_t, std::size_t size) {
        seen.emplace_back(id, size);
        return true;
    };
    const std::string good =
        photoshopResource(0x0404, "abc") + photoshopResource(0x040C, std::string(10, 'x'));
    EXPECT_TRUE(EXIFWalkPhotoshopResources(good, collect));
    EXPECT_EQ(seen, (std::vector<std::pair<std::uint16_t, std::size_t>>{{0x0404, 3}, {0x040C, 10}}));

    std::string bad = photoshopResource(0x0425, "abcd");
    bad[10] = '\x03'; // the size says 1000 (0x03E8) where 4 bytes follow
    bad[11] = '\xE8';
    seen.clear();
    LogWatch log;
    EXPECT_FALSE(EXIFWalkPhotoshopResources(good + bad, collect));
    EXPECT_EQ(seen.size(), 2u) << "the resources before the bad one were walked";
    EXPECT_NE(log.text().find("RemovePSResources(): bad resource size (1000 > 4"), std::string::npos)
        << log.text();
}

TEST_F(EXIFReaderTest, DatesOrientationAndPositionAgreeWithExiftool) {
    TiffBuilder b(ByteOrder::Big);
    b.ifd().addLong(kWidth, 640).addLong(kHeight, 480).addShort(kOrientation, 8);
    // The date as some editors write it: 19 characters, no NUL. Read whole, as exiftool reads it.
    b.ifd()
        .subIfd(kExifIFD)
        .addRaw(kDateTimeOriginal, 2, 19, "2019:05:05 08:00:00")
        .add(kSubSecOriginal, "25");
    TiffIfd& gps = b.ifd().subIfd(kGPSIFD);
    gps.add(1, "S").add(3, "W").addByte(5, {1}).addRational(6, 1234, 10);
    gps.addRationals(2, {{33, 1}, {51, 1}, {3600, 100}}).addRationals(4, {{151, 1}, {12, 1}, {5400, 100}});
    const std::string path = m_dir.file("compare.tif");
    NRFImageInfoRef record;
    ASSERT_EQ(read("compare.tif", b.build(), record), kNRFErrNone);
    const auto all = lumo::test::exiftoolJson({"-n", "-G1", path});
    if (!all)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    ASSERT_FALSE(all->empty());
    const nlohmann::json& j = (*all)[0];
    EXPECT_EQ(j.value("ExifIFD:DateTimeOriginal", ""), "2019:05:05 08:00:00");
    EXPECT_EQ(record->m_captureTime, (KLDateTime{2019, 5, 5, 8, 0, 0}));
    EXPECT_TRUE(record->m_dateFromExif);
    EXPECT_EQ(record->m_subSeconds, 2500u);
    EXPECT_EQ(EXIFOrientationToRotation(j.value("IFD0:Orientation", 0)), record->m_orientation);
    EXPECT_NEAR(j.value("Composite:GPSLatitude", 0.0), record->m_latitude, 1e-9);
    EXPECT_NEAR(j.value("Composite:GPSLongitude", 0.0), record->m_longitude, 1e-9);
    EXPECT_NEAR(j.value("Composite:GPSAltitude", 0.0), record->m_altitude.value_or(0), 1e-9);
}

} // namespace

// The maker-note framework every maker's reader goes through: reads stay inside the note, a note that
// lies outside the file is not read, an IFD is read once, and an embedded JPEG is taken by its kind's
// rule.
TEST(EXIFMakerNoteTest, ReadsStayInsideTheNoteAndEmbeddedImagesFollowTheirRules) {
    const std::string small = encodeJpeg(64, 48), large = encodeJpeg(160, 120);
    std::string file(32, '\0');
    file += "NOTE-BYTES"; // the note: [32, 42)
    const std::size_t smallAt = file.size();
    file += small;
    const std::size_t largeAt = file.size();
    file += large;
    NRFMemoryByteSource source(file.data(), file.size());

    NRFImageInfoRec record;
    EXIFMakerNote note(record, source, 32, 10, 0, false, kNRFTypeJPEG);
    char byte = 0;
    EXPECT_TRUE(note.note.ReadAt(41, &byte, 1));
    EXPECT_FALSE(note.note.ReadAt(42, &byte, 1)); // one past the note
    EXPECT_FALSE(note.note.ReadAt(31, &byte, 1)); // one before it
    EXPECT_TRUE(note.StartsWith(32, "NOTE", 4));
    EXPECT_FALSE(note.StartsWith(40, "TES", 3)); // would run past the end

    // An IFD is read once: a pointer back to it is a loop.
    NRFBasicTIFF tiff(note.note, 32);
    std::vector<NRFTIFFEntry> entries;
    note.ReadIFD(tiff, 0, entries);
    EXPECT_EQ(note.ReadIFD(tiff, 0, entries), 9u);

    // The larger preview wins, a smaller one does not replace it; a thumbnail never replaces one; a
    // JPEG that runs past the file is not taken.
    EXPECT_TRUE(note.TakeJPEG(largeAt, large.size(), EXIFEmbeddedKind::Preview));
    EXPECT_FALSE(note.TakeJPEG(smallAt, small.size(), EXIFEmbeddedKind::Preview));
    EXPECT_EQ(record.m_preview.width, 160u);
    EXPECT_TRUE(note.TakeJPEG(smallAt, small.size(), EXIFEmbeddedKind::Thumbnail));
    EXPECT_FALSE(note.TakeJPEG(largeAt, large.size(), EXIFEmbeddedKind::Thumbnail));
    EXPECT_EQ(record.m_thumbnail.width, 64u);
    EXPECT_FALSE(note.TakeJPEG(largeAt, large.size() + 1, EXIFEmbeddedKind::FuzzyPreview));
    EXPECT_TRUE(note.TakeJPEG(smallAt, small.size(), EXIFEmbeddedKind::FuzzyPreview));
    EXPECT_EQ(record.m_fuzzyPreview.offset, smallAt);

    // A note said to lie past the end of the file is not read, whoever the maker.
    for (const char* make : {"Canon", "NIKON CORPORATION", "OLYMPUS CORPORATION", "PENTAX", "SONY"}) {
        NRFImageInfoRec other;
        other.m_make = make;
        EXIFParseMakerNote(other, source, file.size() - 4, 100, 0, false, kNRFTypeJPEG);
        EXPECT_EQ(other.m_bodySerial, "");
        EXPECT_FALSE(other.m_preview.present());
    }
}
