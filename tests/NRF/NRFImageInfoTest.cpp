#include "NRF/NRFImageInfo.h"

#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "archive/PacketBuf.h"
#include "support/FileIO.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <utility>

using CILA::VObject;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

class NRFImageInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string run = lumo::test::testRunFolder();
        LumoPaths::initialise(ResolvedLocations{run + "/settings", run + "/cache"});
        LumoLogger::instance().flush();
        lumo::fileSize(LumoPaths::logFilePath(), m_logStart);
    }
    void TearDown() override {
        NRFMetadataAccumulator::SetLinkActiveProbe(nullptr);
        LumoPaths::reset();
    }
    std::string logged() {
        LumoLogger::instance().flush();
        return readWholeFile(LumoPaths::logFilePath()).substr(m_logStart);
    }

    std::uint64_t m_logStart = 0;
};

struct TestPrivateInfo : PluginPrivateInfo {
    int value = 0;
    std::shared_ptr<PluginPrivateInfo> clone() const override {
        return std::make_shared<TestPrivateInfo>(*this);
    }
};

// Gives every serialised field a value that differs from its default and from its neighbours, so a
// field that is written but not read (or the reverse) shows up.
void fillAll(NRFImageInfoRec& r) {
    r.m_path = "/photos/DSC_0001.NEF";
    r.m_fileType = 0x4E4E4546; // "NNEF"
    std::uint32_t n = 1000;
    auto next = [&] { return ++n; };
    r.m_fileSize = 0x1'2345'6789ULL;
    r.m_modTimeNs = 1714567890123456789;
    r.m_infoReadTime = 1714567999;
    r.m_fileSystemInfoFailed = true;
    r.m_hasInfo = true;
    r.m_width = next(), r.m_height = next(), r.m_displayWidth = next(), r.m_displayHeight = next();
    r.m_bitsPerSample = 16, r.m_samplesPerPixel = 3, r.m_compression = 7, r.m_photometric = 32803;
    r.m_rowsPerStrip = 64, r.m_planarConfig = 2, r.m_isColor = true;
    r.m_jfifUnit = 2, r.m_jfifXDensity = 300, r.m_jfifYDensity = 301;
    r.m_xResolution = 240.5, r.m_yResolution = 241.5, r.m_resolutionUnit = 2, r.m_orientation = 5;
    r.m_colorSpaceCode = 3, r.m_exifColorSpace = 65535, r.m_yCbCrCoefficients = {299, 587, 114, 1};
    r.m_captureTime = {2024, 5, 1, 12, 34, 56};
    r.m_subSeconds = 1234, r.m_timeZoneOffset = -330, r.m_dateFromExif = true;
    r.m_make = "NIKON CORPORATION", r.m_model = "NIKON D850", r.m_software = "Ver.1.10";
    r.m_firmware = "1.10", r.m_bodySerial = "6001234", r.m_cameraSerial = "C-99",
    r.m_lensModel = "24-70mm f/2.8";
    r.m_artist = "A. Photographer", r.m_copyright = "© 2024", r.m_description = "Ünïcode caption";
    r.m_userComment = "comment";
    r.m_exposureTime = 1.0f / 250, r.m_fNumber = 2.8f, r.m_shutterSpeedValue = 7.97f, r.m_exposureProgram = 3;
    r.m_exposureProgramText = "Aperture-priority AE", r.m_iso = 6400, r.m_exifVersion = 0x30323330;
    r.m_meteringMode = 5, r.m_lightSource = 4, r.m_flash = 16, r.m_focalLength = 35.5f,
    r.m_focalLength35 = 53;
    r.m_whiteBalance = 1, r.m_brightness = -1.25f, r.m_exposureBias = -0.67f, r.m_subjectDistance = 3.5f;
    r.m_exifImageNumber = 4711;
    r.m_hasGPS = true, r.m_latitude = 48.8584, r.m_longitude = -2.2945, r.m_altitude = 35.25;
    r.m_gpsTime = 1714567000.5, r.m_bearing = 271.5;
    r.m_tag = true, r.m_colorClass = 7, r.m_rating = 4, r.m_imageNumber = 12;
    r.m_crop = {0.1, 0.2, 0.9, 0.8, -3.5, 3.0, 2.0, true};
    r.m_draftCrop = {0.05, 0.15, 0.85, 0.95, 1.5, 1.0, 1.0, false};
    r.m_hasXmpSidecar = true, r.m_xmpSidecarSize = 5120, r.m_xmpSidecarModTimeNs = 1714567890000000001;
    r.m_attachedFiles = {"/photos/DSC_0001.XMP", "/photos/DSC_0001.WAV"}, r.m_soundFileCount = 1;
    r.m_malformedCount = 3;
    for (std::uint32_t* p :
         {&r.m_exifSegmentPos,    &r.m_exifSegmentLength,   &r.m_exifIFDEntryPos, &r.m_interopIFDPos,
          &r.m_jpegSOIPos,        &r.m_jpegSOSPos,          &r.m_jpegInsertPos,   &r.m_jpegEndOfMetadata,
          &r.m_jfifPos,           &r.m_photoshopPos,        &r.m_photoshopLength, &r.m_photoshopCount,
          &r.m_iptcPos,           &r.m_iptcLength,          &r.m_iptcIFDEntryPos, &r.m_xmpIFDEntryPos,
          &r.m_xmpSegmentPos,     &r.m_xmpSegmentLength,    &r.m_xmpPacketPos,    &r.m_xmpPacketLength,
          &r.m_iccIFDEntryPos,    &r.m_iccTotalLength,      &r.m_iccChunkCount,   &r.m_descriptionPos,
          &r.m_descriptionLength, &r.m_artistPos,           &r.m_artistLength,    &r.m_copyrightPos,
          &r.m_copyrightLength,   &r.m_pixelXDimension,     &r.m_pixelYDimension, &r.m_thumbnailIFDEntryPos,
          &r.m_subIFDCount,       &r.m_orientationPosCount, &r.m_datePosCount})
        *p = next();
    for (auto& v : r.m_iccChunkPos)
        v = next();
    for (auto& v : r.m_subIFDOffsets)
        v = next();
    for (auto& v : r.m_orientationPos)
        v = next();
    for (auto& v : r.m_datePos)
        v = next();
    r.m_orientationBigEndian = {true, false, true, false};
    r.m_thumbnail = {next(), next(), 160, 120};
    r.m_stripThumbnail = {next(), next(), 0, 0};
    r.m_preview = {0xFFFFFFF0u, next(), 8256, 5504};
    r.m_thumbnailIsJPEG = true, r.m_previewIsJPEG = true, r.m_previewOffsetIsAbsolute = true;
    r.m_tiffBigEndian = true, r.m_fileBigEndian = true;
    for (std::uint32_t* p : {&r.m_stripOffset, &r.m_stripByteCount, &r.m_exifIFDPos, &r.m_gpsIFDEntryPos,
                             &r.m_gpsIFDPos, &r.m_gpsLatitudePos, &r.m_gpsLongitudePos, &r.m_gpsAltitudePos,
                             &r.m_gpsLatitudeRefPos, &r.m_gpsLongitudeRefPos, &r.m_gpsAltitudeRefPos,
                             &r.m_makerNotePos, &r.m_makerNoteLength, &r.m_canonOptionalDataLength})
        *p = next();
    r.m_whitePoint = {0.3127, 0.329};
    r.m_primaryChromaticities = {0.64, 0.33, 0.3, 0.6, 0.15, 0.06};
    r.m_apertureValue = 2.97f, r.m_maxApertureValue = 1.0f;
    r.m_gpsVersion = 0x02020000, r.m_gpsLatitudeRef = 'N', r.m_gpsLongitudeRef = 'W', r.m_gpsAltitudeRef = 1;
    r.m_gpsHasTimeStamp = true, r.m_gpsTimeHasFraction = true;
    r.m_gpsHours = 12, r.m_gpsMinutes = 36, r.m_gpsSeconds = 40, r.m_gpsMilliseconds = 250;
    r.m_gpsDateStamp = "2024:05:01", r.m_gpsSatellites = "07", r.m_gpsMapDatum = "WGS-84";
    r.m_gpsStatus = 'A', r.m_gpsMeasureMode = '3', r.m_gpsSpeedRef = 'K', r.m_gpsTrackRef = 'T';
    r.m_gpsImgDirectionRef = 'M';
    r.m_gpsDOP = 1.5, r.m_gpsSpeed = 0.0, r.m_gpsTrack = 88.25;
    r.m_duration = 13.347;
    r.m_extraSamples = 2, r.m_yCbCrPositioning = 2;
}

void setModTime(const std::string& path, std::time_t secs, long nsec) {
    const timespec times[2] = {{secs, nsec}, {secs, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

} // namespace

TEST_F(NRFImageInfoTest, FullRecordSurvivesVObjectAndTransport) {
    NRFLocalImageInfoRec original;
    fillAll(original);
    ASSERT_NE(static_cast<const NRFImageInfoFields&>(original), NRFImageInfoFields{});

    VObject state;
    ASSERT_TRUE(original.Serialize(state));
    EXPECT_EQ(state.fetch("version")->getint(), 101);

    // Through the transport form, as the catalogue side receives it.
    CILA::PacketBuf buf;
    state.serialize(buf);
    const VObject received = VObject::deserialize(buf);

    for (const VObject* in : {&std::as_const(state), &received}) {
        NRFImageInfoRec copy;
        ASSERT_TRUE(copy.Deserialize(*in));
        EXPECT_TRUE(static_cast<const NRFImageInfoFields&>(copy) == original);
        EXPECT_EQ(copy.m_path, original.m_path);
        EXPECT_EQ(copy.m_fileType, original.m_fileType);
    }

    // Optional values that are absent stay absent. Values the file may lack travel as they always did
    // (0 when absent, so that a reader that knows nothing of presence finds its number), with the
    // names of those the file holds beside them; 0 is a value of its own (no flash).
    NRFImageInfoRec sparse("/a.jpg", 0x4A504547);
    sparse.m_flash = 0, sparse.m_exposureBias = 0.0f;
    ASSERT_TRUE(sparse.Serialize(state));
    EXPECT_EQ(state.fetch("meteringMode")->getint(), 0);
    EXPECT_EQ(state.fetch("flash")->getint(), 0);
    EXPECT_EQ(state.fetch("presentValues")->toString(), R"(["flash", "exposureBias"])");
    ASSERT_TRUE(original.Deserialize(state));
    EXPECT_FALSE(original.m_subSeconds.has_value());
    EXPECT_FALSE(original.m_altitude.has_value());
    EXPECT_FALSE(original.m_meteringMode.has_value());
    EXPECT_FALSE(original.m_iso.has_value());
    EXPECT_EQ(original.m_flash, 0);
    EXPECT_EQ(original.m_exposureBias, 0.0f);
    EXPECT_EQ(original.m_path, "/a.jpg");

    // Data written before presence was kept: a value that is not 0 was read from the file.
    state.gethash().erase("presentValues");
    state.store("iso", VObject(200));
    ASSERT_TRUE(original.Deserialize(state));
    EXPECT_EQ(original.m_iso, 200u);
    EXPECT_FALSE(original.m_flash.has_value());
}

TEST_F(NRFImageInfoTest, DeserializeRefusesOtherVersionsAndBadData) {
    NRFImageInfoRec source;
    fillAll(source);
    VObject good;
    ASSERT_TRUE(source.Serialize(good));

    NRFImageInfoRec target("/keep.jpg", 0x4A504547);
    target.m_rating = 2;
    auto unchanged = [&] {
        EXPECT_EQ(target.m_path, "/keep.jpg");
        EXPECT_EQ(target.m_rating, 2);
        EXPECT_TRUE(target.m_make.empty());
    };

    VObject v100 = good;
    v100.store("version", VObject(100));
    EXPECT_FALSE(target.Deserialize(v100));
    unchanged();
    EXPECT_NE(logged().find("NRFImageInfoRec::Deserialize(): incompatible IIP version: current is 101, "
                            "serialized was 100"),
              std::string::npos);

    // A missing field, a mistyped one and a value out of its field's range each refuse the whole
    // record, naming the field: nothing is half applied.
    VObject missing = good;
    missing.gethash().erase("rating");
    VObject mistyped = good;
    mistyped.store("make", VObject(12));
    VObject tooBig = good;
    tooBig.store("orientation", VObject(70000));
    VObject notHash = VObject::makeVector();
    for (const VObject* bad : {&missing, &mistyped, &tooBig, &notHash}) {
        EXPECT_FALSE(target.Deserialize(*bad));
        unchanged();
    }
    const std::string log = logged();
    EXPECT_NE(
        log.find("Exception from VObject when deserializing NRFImageInfo data: field 'rating': missing"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("field 'make': expected a string"), std::string::npos);
    EXPECT_NE(log.find("field 'orientation': integer out of range: 70000"), std::string::npos);
}

TEST_F(NRFImageInfoTest, CloneIsIndependentAndClearKeepsIdentityAndPrefs) {
    NRFLocalImageInfoRec original;
    fillAll(original);
    auto priv = std::make_shared<TestPrivateInfo>();
    priv->value = 1;
    original.m_privateInfo = priv;

    NRFImageInfoRef clone = original.Clone();
    ASSERT_TRUE(clone->IsLocal());
    EXPECT_TRUE(static_cast<const NRFImageInfoFields&>(*clone) == original);
    clone->m_make = "other";
    clone->m_attachedFiles.push_back("/x.WAV");
    clone->m_crop.left = 0.5;
    static_cast<TestPrivateInfo&>(*clone->m_privateInfo).value = 2;
    EXPECT_EQ(original.m_make, "NIKON CORPORATION");
    EXPECT_EQ(original.m_attachedFiles.size(), 2u);
    EXPECT_EQ(original.m_crop.left, 0.1);
    EXPECT_EQ(priv->value, 1);

    // What the file gave goes, with the reader's state; the identity and the user's prefs stay.
    original.m_readComplete = true;
    original.Clear();
    NRFImageInfoFields expected;
    expected.m_tag = true, expected.m_colorClass = 7, expected.m_rating = 4, expected.m_imageNumber = 12;
    expected.m_crop = original.m_crop;
    expected.m_draftCrop = original.m_draftCrop;
    EXPECT_TRUE(static_cast<const NRFImageInfoFields&>(original) == expected);
    EXPECT_EQ(original.m_path, "/photos/DSC_0001.NEF");
    EXPECT_EQ(original.m_fileType, 0x4E4E4546u);
    EXPECT_EQ(original.m_privateInfo, nullptr);
    EXPECT_FALSE(original.m_readComplete);
    original.ReInitForType(0x4A504547); // another type found: the prefs stay
    EXPECT_EQ(original.m_fileType, 0x4A504547u);
    EXPECT_EQ(original.m_rating, 4);
}

TEST_F(NRFImageInfoTest, DeserializeKeepsTheReadersStateOnlyForTheReadingItDescribes) {
    NRFLocalImageInfoRec record("/p/a.gif", 0x47494666);
    record.m_fileSize = 1000, record.m_modTimeNs = 1700000000'000000005, record.m_width = 64;
    record.m_readComplete = record.m_rotationFromFile = true;
    record.m_privateInfo = std::make_shared<TestPrivateInfo>();

    // The same reading back, with a pref the other side changed.
    NRFImageInfoRef sent = record.Clone();
    sent->m_rating = 3;
    VObject same;
    ASSERT_TRUE(sent->Serialize(same));
    ASSERT_TRUE(record.Deserialize(same));
    EXPECT_EQ(record.m_rating, 3);
    EXPECT_NE(record.m_privateInfo, nullptr);
    EXPECT_TRUE(record.m_readComplete);

    // Values of another state of the file, or of another file: the reader's state cannot describe them,
    // and the record is read again before it is trusted.
    sent->m_modTimeNs += 1;
    VObject changed;
    ASSERT_TRUE(sent->Serialize(changed));
    NRFImageInfoRef other = record.Clone();
    sent->m_path = "/p/b.gif";
    VObject elsewhere;
    ASSERT_TRUE(sent->Serialize(elsewhere));
    for (const VObject* in : {&std::as_const(changed), &std::as_const(elsewhere)}) {
        NRFImageInfoRef target = other->Clone();
        ASSERT_TRUE(target->Deserialize(*in));
        EXPECT_EQ(target->m_privateInfo, nullptr);
        EXPECT_FALSE(target->m_readComplete);
        EXPECT_FALSE(target->m_rotationFromFile);
        EXPECT_EQ(target->m_rating, 3);
    }
    NRFLocalImageInfoRec fresh;
    ASSERT_TRUE(fresh.Deserialize(same));
    EXPECT_FALSE(fresh.m_readComplete) << "a record that read nothing has no reading to match";
}

TEST_F(NRFImageInfoTest, NeedsMetadataReloadFollowsFileAndSidecar) {
    TempDir dir;
    const std::string image = dir.file("photo.NEF");
    writeWholeFile(image, "raw bytes");
    setModTime(image, 1700000000, 500);
    NRFLocalImageInfoRec rec(image, 0x4E4E4546);
    ASSERT_TRUE(rec.RefreshFileStatus());
    EXPECT_EQ(rec.m_fileSize, 9u);
    EXPECT_EQ(rec.m_modTimeNs, 1700000000'000000500);
    EXPECT_FALSE(rec.m_hasXmpSidecar);
    EXPECT_FALSE(rec.NeedsMetadataReload());

    // A touch: same size, a modification time one nanosecond later.
    setModTime(image, 1700000000, 501);
    EXPECT_TRUE(rec.NeedsMetadataReload());
    ASSERT_TRUE(rec.RefreshFileStatus());
    EXPECT_FALSE(rec.NeedsMetadataReload());

    // The sidecar comes (upper-case extension), changes, goes; then a lower-case one comes.
    const std::string upper = dir.file("photo.XMP");
    writeWholeFile(upper, "<x/>");
    EXPECT_TRUE(rec.NeedsMetadataReload());
    ASSERT_TRUE(rec.RefreshFileStatus());
    EXPECT_TRUE(rec.m_hasXmpSidecar);
    EXPECT_EQ(rec.m_xmpSidecarSize, 4u);
    EXPECT_FALSE(rec.NeedsMetadataReload());
    setModTime(upper, 1700000100, 0);
    EXPECT_TRUE(rec.NeedsMetadataReload());
    ASSERT_TRUE(rec.RefreshFileStatus());
    ASSERT_EQ(lumo::removeFile(upper), 0);
    EXPECT_TRUE(rec.NeedsMetadataReload());
    ASSERT_TRUE(rec.RefreshFileStatus());
    EXPECT_FALSE(rec.m_hasXmpSidecar);
    EXPECT_FALSE(rec.NeedsMetadataReload());
    writeWholeFile(dir.file("photo.xmp"), "<x/>");
    EXPECT_EQ(NRFLocalImageInfoRec::FindXmpSidecar(image), dir.file("photo.xmp"));
    EXPECT_TRUE(rec.NeedsMetadataReload());

    // A file that is gone needs a re-read, which then reports the failure.
    ASSERT_EQ(lumo::removeFile(image), 0);
    EXPECT_TRUE(rec.NeedsMetadataReload());
    EXPECT_FALSE(rec.RefreshFileStatus());
    EXPECT_NE(logged().find("NRFLocalImageInfoRec::NeedsMetadataReload() couldn't get file info for '" +
                            image + "'"),
              std::string::npos);
}

TEST_F(NRFImageInfoTest, CorpusFileStatusMatchesExiftool) {
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    for (const char* name : {"exiftool/XMP.jpg", "exiftool/Canon.jpg", "exiftool/CanonRaw.cr2"}) {
        const std::string path = corpus + "/" + name;
        NRFLocalImageInfoRec rec(path, 0);
        ASSERT_TRUE(rec.RefreshFileStatus()) << path;
        EXPECT_FALSE(rec.NeedsMetadataReload()) << path;
        EXPECT_EQ(rec.m_hasXmpSidecar, std::string(name) == "exiftool/XMP.jpg") << path;
        // exiftool, found on PATH (scripts/setup installs it), as the second opinion.
        const auto tool = lumo::test::runProcess(
            "/usr/bin/env", {"exiftool", "-s3", "-d", "%s", "-FileSize#", "-FileModifyDate", path});
        ASSERT_EQ(tool.exitCode, 0) << tool.err;
        EXPECT_EQ(tool.out,
                  std::to_string(rec.m_fileSize) + "\n" + std::to_string(rec.m_modTimeNs / 1000000000) + "\n")
            << path;
    }
}

TEST_F(NRFImageInfoTest, AccumulatorsReportChangedFields) {
    bool linkUp = true;
    NRFMetadataAccumulator::SetLinkActiveProbe([&] { return linkUp; });
    NRFLocalImageInfoRec rec("/p/a.jpg", 0x4A504547);
    rec.m_rating = 1;

    VObject diffs;
    {
        NRFScopedMetadataDiffsAccumulator outer(&rec, diffs);
        rec.m_rating = 3;
        VObject inner;
        {
            NRFScopedMetadataDiffsAccumulator scope(&rec, inner);
            rec.m_tag = true;
        }
        // The inner commit reports against the outermost begin.
        EXPECT_EQ(inner.toString(), R"({"rating": 3, "tag": true})");
        rec.m_colorClass = 2;
    }
    EXPECT_EQ(diffs.toString(), R"({"colorClass": 2, "rating": 3, "tag": true})");
    EXPECT_EQ(NRFMetadataAccumulator::forThisThread().depth(), 0);

    {
        NRFOuterMetadataDiffsAccumulator outer(&rec);
        rec.m_rating = 5;
        EXPECT_EQ(outer.commit().toString(), R"({"rating": 5})");
    }

    // Without the link nothing is computed.
    linkUp = false;
    {
        NRFScopedMetadataDiffsAccumulator scope(&rec, diffs);
        rec.m_rating = 0;
    }
    EXPECT_EQ(diffs.size(), 0u);
    linkUp = true;

    // A commit without a begin: logged, and every field counts as changed.
    NRFMetadataAccumulator::forThisThread().accumulate_commit(&rec, diffs);
    EXPECT_NE(logged().find("accumulate_commit: internal error: nesting imbalance"), std::string::npos);
    EXPECT_EQ(NRFMetadataAccumulator::forThisThread().depth(), 0);
    ASSERT_NE(diffs.fetch("path"), nullptr);
    EXPECT_EQ(diffs.fetch("rating")->getint(), 0);
    EXPECT_EQ(diffs.fetch("version"), nullptr);

    // Each thread has its own depth and base.
    NRFMetadataAccumulator::forThisThread().accumulate_begin(&rec, diffs);
    int otherDepth = -1;
    lumo::NamedThread other("acc-test", 1 << 20,
                            [&] { otherDepth = NRFMetadataAccumulator::forThisThread().depth(); });
    other.join();
    EXPECT_EQ(otherDepth, 0);
    NRFMetadataAccumulator::forThisThread().accumulate_commit(&rec, diffs);
    EXPECT_EQ(diffs.size(), 0u);
}

TEST_F(NRFImageInfoTest, DescribeListsPresentFields) {
    NRFImageInfoRec rec;
    fillAll(rec);
    std::vector<std::pair<std::string, VObject>> fields;
    describeImageInfo(rec, fields);
    auto find = [&](const std::string& key) -> const VObject* {
        for (const auto& [k, v] : fields)
            if (k == key)
                return &v;
        return nullptr;
    };
    ASSERT_NE(find("captureTime"), nullptr);
    EXPECT_EQ(find("captureTime")->getstr(), "2024-05-01T12:34:56.1234-05:30");
    EXPECT_EQ(find("fNumber")->getdouble(), 2.8);
    EXPECT_EQ(find("exposureTime")->getdouble(), 0.004);
    EXPECT_EQ(find("orientation")->getint(), 7); // rotation code 5: mirrored, a quarter turn
    EXPECT_EQ(find("gps")->toString(),
              R"({"altitude": 35.25, "direction": 271.5, "latitude": 48.8584, )"
              R"("longitude": -2.2945, "mapDatum": "WGS-84", "speed": 0.0, "time": "2024-05-01T12:36:40Z"})");
    EXPECT_EQ(find("preview")->fetch("width")->getint(), 8256);
    EXPECT_EQ(find("lens")->getstr(), "24-70mm f/2.8");

    EXPECT_EQ(find("flash")->getint(), 16);
    EXPECT_EQ(
        find("crop")->toString(),
        R"({"angle": -3.5, "bottom": 0.8, "left": 0.1, "ratio": [3.0, 2.0], "right": 0.9, "top": 0.2})");

    // An empty record, even one a reader filled, says only what every record has: the values a file
    // may hold are there when it holds them (0 included), the EXIF orientation when the rotation came
    // from the file.
    const auto keysOf = [&](const NRFImageInfoRec& record) {
        fields.clear();
        describeImageInfo(record, fields);
        std::string keys;
        for (const auto& [k, v] : fields)
            keys += k + " ";
        return keys;
    };
    NRFImageInfoRec read;
    read.m_hasInfo = true;
    read.m_orientation = 1;
    EXPECT_EQ(keysOf(read), "rotation hasXmpSidecar tag colorClass rating ");
    read.m_flash = 0, read.m_whiteBalance = 0, read.m_rotationFromFile = true;
    EXPECT_EQ(keysOf(read), "flash whiteBalance orientation rotation hasXmpSidecar tag colorClass rating ");
    EXPECT_EQ(find("orientation")->getint(), 6);

    EXPECT_EQ(NRFDescribeCrop(rec.m_crop), "crop: left:0.100000 top:0.200000 right:0.900000 bottom:0.800000 "
                                           "angle:-3.500000 constrain:(3.000000, 2.000000, true)");
}
