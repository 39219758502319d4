#include "gps/ImportGPSCoordinatesWorker.h"

#include "NRF/NRFImageInfo.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>

using namespace lumo::test;

namespace {

// A JPEG taken at `taken` (EXIF DateTimeOriginal), with an EXIF GPS position when `withGPS`.
std::string photo(const std::string& taken, bool withGPS, ByteOrder order = ByteOrder::Little) {
    TiffBuilder t(order);
    auto& ifd0 = t.ifd();
    ifd0.add(0x010F, "Maker").add(0x0110, "Camera");
    ifd0.subIfd(0x8769).add(0x9003, taken);
    if (withGPS) {
        auto& gps = ifd0.subIfd(0x8825);
        gps.addByte(0x0000, {2, 3, 0, 0}).add(0x0001, "S").addRationals(0x0002, {{33, 1}, {51, 1}, {0, 1}});
        gps.add(0x0003, "E").addRationals(0x0004, {{151, 1}, {12, 1}, {36, 1}});
        gps.addByte(0x0005, {0}).addRational(0x0006, 50, 1);
    }
    JpegBuilder jpeg(32, 24);
    jpeg.addExif(t.build());
    return jpeg.build();
}

NRFImageInfoRef open(const std::string& path) {
    NRFImageInfoRef image;
    EXPECT_EQ(NRFOpenImage(path.c_str(), 0, &image), kNRFErrNone);
    if (image)
        EXPECT_EQ(NRFGetImageInfo(image.get()), kNRFErrNone);
    return image;
}

GPSMatch matchAt(double latitude, double longitude, double altitude) {
    GPSMatch m;
    m.matched = true;
    m.latitude = latitude;
    m.longitude = longitude;
    m.altitude = altitude;
    m.speed = 3.5;
    m.course = 90.0;
    m.photoTime = GPSSecondsFromCivil(2024, 6, 1, 12, 0, 0);
    return m;
}

class ImportGPS : public PhotoEngineTest {};

} // namespace

// A JPEG that has EXIF GPS values gets them rewritten in place and the XMP properties beside them; one
// that has none gets the XMP; exiftool reads both; a raw gets its sidecar.
TEST_F(ImportGPS, PositionsWrittenAndReadBackByExiftool) {
    if (runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    TempDir dir;
    struct Case {
        const char* name;
        bool withGPS;
        ByteOrder order;
    };
    for (const Case& c : {Case{"le.jpg", true, ByteOrder::Little}, Case{"be.jpg", true, ByteOrder::Big},
                          Case{"none.jpg", false, ByteOrder::Little}}) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        writeWholeFile(path, photo("2024:06:01 14:00:00", c.withGPS, c.order));
        NRFImageInfoRef image = open(path);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->m_hasGPS, c.withGPS);
        ASSERT_EQ(GPSWritePosition(image.get(), matchAt(-12.3456789, -45.6789012, -7.25)), kNRFErrNone)
            << NRFGetErrorText();
        NRFCloseImage(&image);

        const auto j = exiftoolJson({"-n", "-G1", path});
        ASSERT_TRUE(j && j->size() == 1);
        const auto& r = (*j)[0];
        if (c.withGPS) {
            EXPECT_NEAR(r.value("GPS:GPSLatitude", 0.0), 12.3456789, 1e-7); // refs apart in EXIF
            EXPECT_EQ(r.value("GPS:GPSLatitudeRef", ""), "S");
            EXPECT_NEAR(r.value("GPS:GPSLongitude", 0.0), 45.6789012, 1e-7);
            EXPECT_EQ(r.value("GPS:GPSLongitudeRef", ""), "W");
            EXPECT_NEAR(r.value("GPS:GPSAltitude", 0.0), 7.25, 1e-9);
            EXPECT_EQ(r.value("GPS:GPSAltitudeRef", -1), 1);
        }
        // XMP keeps minutes to three decimals (under 2 m)
        EXPECT_NEAR(r.value("XMP-exif:GPSLatitude", 0.0), -12.3456789, 2e-5);
        EXPECT_NEAR(r.value("XMP-exif:GPSLongitude", 0.0), -45.6789012, 2e-5);
        EXPECT_NEAR(r.value("XMP-exif:GPSAltitude", 0.0), 7.3, 1e-9);
        EXPECT_NEAR(r.value("XMP-exif:GPSSpeed", 0.0), 3.5, 1e-9);
        EXPECT_EQ(r.value("XMP-exif:GPSDateTime", ""), "2024:06:01 12:00:00Z");

        if (!c.withGPS)
            continue;
        // and our own reader agrees
        image = open(path);
        ASSERT_TRUE(image && image->m_hasGPS);
        EXPECT_NEAR(image->m_latitude, -12.3456789, 2e-5);
        EXPECT_NEAR(image->m_longitude, -45.6789012, 2e-5);
        NRFCloseImage(&image);
    }

    // A raw file: the sidecar carries the position.
    const std::string corpus = corpusFolder();
    if (corpus.empty())
        return;
    const std::string raw = dir.file("raw.nef");
    writeWholeFile(raw, readWholeFile(corpus + "/exiftool/Nikon.nef"));
    ::chmod(raw.c_str(), 0644);
    NRFImageInfoRef image = open(raw);
    ASSERT_TRUE(image);
    const std::string before = readWholeFile(raw);
    ASSERT_EQ(GPSWritePosition(image.get(), matchAt(35.6812, 139.7671, 40.0)), kNRFErrNone)
        << NRFGetErrorText();
    NRFCloseImage(&image);
    const std::string sidecar = dir.file("raw.xmp");
    ASSERT_TRUE(lumo::fileExists(sidecar));
    EXPECT_EQ(readWholeFile(raw), before) << "the raw itself is left alone";
    const auto j = exiftoolJson({"-n", "-G1", sidecar});
    ASSERT_TRUE(j && j->size() == 1);
    EXPECT_NEAR((*j)[0].value("XMP-exif:GPSLatitude", 0.0), 35.6812, 2e-5);
    EXPECT_NEAR((*j)[0].value("XMP-exif:GPSLongitude", 0.0), 139.7671, 2e-5);
}

// EXIF values that no longer read as what the record found are not overwritten; a read-only photo is
// refused; the worker goes on past a failure and geocodes only what it wrote.
TEST_F(ImportGPS, RefusalsAndTheWorker) {
    TempDir dir;
    const std::string moved = dir.file("moved.jpg");
    writeWholeFile(moved, photo("2024:06:01 14:00:00", true));
    NRFImageInfoRef image = open(moved);
    ASSERT_TRUE(image && image->m_gpsLatitudePos);
    std::string bytes = readWholeFile(moved);
    bytes[image->m_gpsLatitudePos + 3 + (image->m_tiffBigEndian ? 0 : -3)] ^= 0x01; // degrees 33 -> 32
    writeWholeFile(moved, bytes);
    EXPECT_NE(GPSWriteExifPosition(image.get(), 1.0, 2.0, 3.0), kNRFErrNone);
    EXPECT_EQ(readWholeFile(moved), bytes);
    NRFCloseImage(&image);

    const std::string good = dir.file("good.jpg"), locked = dir.file("locked.jpg");
    writeWholeFile(good, photo("2024:06:01 14:00:00", true));
    writeWholeFile(locked, photo("2024:06:01 14:00:00", true));
    ::chmod(locked.c_str(), 0444);
    const std::string lockedBytes = readWholeFile(locked);
    std::vector<ImportGPSCoordinatesWorker::Item> items;
    GPSMatch none;
    GPSMatch own = matchAt(1, 2, 3);
    own.keptOwn = true;
    for (const auto& [path, match] : {std::pair{locked, matchAt(1, 2, 3)}, std::pair{good, matchAt(1, 2, 3)},
                                      std::pair{good, none}, std::pair{good, own}})
        items.push_back({open(path), match});
    std::vector<std::string> geocoded;
    ImportGPSCoordinatesWorker worker(items, true, [&](NRFImageInfoRec& photo, std::string&) {
        geocoded.push_back(photo.m_path);
        return true;
    });
    std::vector<bool> steps;
    while (!worker.IsDone())
        steps.push_back(worker.DoStep());
    EXPECT_EQ(steps, (std::vector<bool>{false, true, true, true}));
    EXPECT_EQ(worker.written(), 1u);
    EXPECT_EQ(worker.failed(), 1u);
    EXPECT_NE(worker.error(0).find("write access"), std::string::npos) << worker.error(0);
    EXPECT_EQ(geocoded, (std::vector<std::string>{good, good})); // written, and kept its own
    EXPECT_EQ(readWholeFile(locked), lockedBytes);
    EXPECT_EQ(worker.GetPercent(), 100u);
    ::chmod(locked.c_str(), 0644);
}

// lumo gps import with a real GPX track and a camera two hours ahead of UTC, against exiftool's own
// geotagging of the same photos (within 10 metres).
TEST(ImportGPSCommand, AgreesWithExiftoolGeotag) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    if (runProcess("exiftool", {"-ver"}).exitCode != 0 || GPSBabelPath().empty())
        LUMO_SKIP_OR_FAIL("exiftool or gpsbabel is not installed");
    const std::string gpx = corpus + "/exiftool/Geotag.gpx";
    TempDir dir;
    const std::vector<std::string> times = {"2003:05:24 19:09:05", "2003:05:24 19:09:30",
                                            "2003:05:24 19:09:58", "2003:05:24 19:10:05"};
    std::vector<std::string> ours, theirs;
    for (std::size_t i = 0; i < times.size(); ++i) {
        for (auto* list : {&ours, &theirs}) {
            list->push_back(dir.file((list == &ours ? "ours" : "theirs") + std::to_string(i) + ".jpg"));
            writeWholeFile(list->back(), photo(times[i], i == 3));
        }
    }
    std::vector<std::string> args = {"--settings", dir.file("s"), "--cache", dir.file("c"), "gps", "import"};
    args.insert(args.end(), ours.begin(), ours.end());
    args.insert(args.end(), {"--log", gpx, "--offset", "+2h", "--overwrite", "--json"});
    const ProcessResult run = runProcess(LUMO_BINARY, args);
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    const auto out = nlohmann::json::parse(run.out);
    ASSERT_EQ(out.size(), times.size());

    std::vector<std::string> geotag = {"-q", "-overwrite_original", "-geotag", gpx,
                                       "-geotime<${DateTimeOriginal}+02:00"};
    geotag.insert(geotag.end(), theirs.begin(), theirs.end());
    ASSERT_EQ(runProcess("exiftool", geotag).exitCode, 0);
    for (std::size_t i = 0; i < times.size(); ++i) {
        SCOPED_TRACE(times[i]);
        EXPECT_TRUE(out[i].value("written", false));
        const auto a = exiftoolJson({"-n", "-GPSLatitude", "-GPSLongitude", "-GPSAltitude", ours[i]});
        const auto b = exiftoolJson({"-n", "-GPSLatitude", "-GPSLongitude", "-GPSAltitude", theirs[i]});
        ASSERT_TRUE(a && b);
        const double distance =
            GPSVincentyDistanceKm((*a)[0].value("GPSLatitude", 0.0), (*a)[0].value("GPSLongitude", 0.0),
                                  (*b)[0].value("GPSLatitude", 0.0), (*b)[0].value("GPSLongitude", 0.0)) *
            1000.0;
        EXPECT_LT(distance, 10.0);
        EXPECT_NEAR((*a)[0].value("GPSAltitude", 0.0), (*b)[0].value("GPSAltitude", 0.0), 1.0);
    }

    // --dry-run writes nothing; no log point within range says so
    const std::string untouched = readWholeFile(ours[0]);
    const ProcessResult dry =
        runProcess(LUMO_BINARY, {"--settings", dir.file("s"), "--cache", dir.file("c"), "gps", "import",
                                 ours[0], "--log", gpx, "--hours", "5", "--dry-run"});
    EXPECT_EQ(dry.exitCode, 1);
    EXPECT_NE(dry.err.find(kGPSNoMatchesText), std::string::npos) << dry.err;
    EXPECT_EQ(readWholeFile(ours[0]), untouched);
}

// --geocode: the matched photo's place, from the offline gazetteer through the catalog service, goes
// into its location fields.
TEST(ImportGPSCommand, GeocodesTheMatchedPhotos) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty() || GPSBabelPath().empty() || runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("no corpus, gpsbabel or exiftool");
    TempDir dir;
    const std::string path = dir.file("boise.jpg");
    writeWholeFile(path, photo("2003:05:24 19:09:30", false));
    const ProcessResult run =
        runProcess(LUMO_BINARY, {"--settings", dir.file("s"), "--cache", dir.file("c"), "gps", "import", path,
                                 "--log", corpus + "/exiftool/Geotag.gpx", "--offset", "+2h", "--geocode"});
    if (run.exitCode != 0 && run.err.find("gazetteer") != std::string::npos)
        LUMO_SKIP_OR_FAIL("no gazetteer data: " + run.err);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto j = exiftoolJson({"-City", "-Country", path});
    ASSERT_TRUE(j && j->size() == 1);
    EXPECT_EQ((*j)[0].value("City", ""), "Boise");
    EXPECT_EQ((*j)[0].value("Country", ""), "United States");
}
