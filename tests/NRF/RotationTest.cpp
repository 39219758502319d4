// Setting a rotation writes the file's EXIF Orientation values in place and nothing else: the length
// never changes, a read-only file stays as it is, and exiftool reads back what was set.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTestSupport.h"
#include "support/FileIO.h"
#include "support/FolderListing.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

using lumo::test::ByteOrder;
using lumo::test::JpegBuilder;
using lumo::test::TiffBuilder;
using nlohmann::json;

namespace {

constexpr std::uint16_t kMake = 271, kOrientation = 274, kJPEGIF = 513, kJPEGIFLength = 514;
constexpr int kExifOrientationForCode[8] = {1, 6, 3, 8, 2, 7, 4, 5};

// A camera JPEG: IFD0 and an IFD1 thumbnail both with Orientation 1.
std::string cameraJpeg(ByteOrder order) {
    TiffBuilder tiff(order);
    tiff.ifd().add(kMake, "Lumocam").addShort(kOrientation, 1);
    tiff.ifd()
        .next()
        .addShort(kOrientation, 1)
        .addBlob(kJPEGIF, kJPEGIFLength, lumo::test::encodeJpeg(16, 12));
    JpegBuilder jpeg(64, 48);
    jpeg.addExif(tiff.build());
    return jpeg.build();
}

// An uncompressed RGB TIFF with Orientation 1.
std::string rgbTiff(ByteOrder order) {
    TiffBuilder tiff(order);
    tiff.ifd()
        .addLong(256, 4)
        .addLong(257, 2)
        .addShorts(258, {8, 8, 8})
        .addShort(259, 1)
        .addShort(262, 2)
        .addShort(kOrientation, 1)
        .addShort(277, 3)
        .addLong(278, 2)
        .add(kMake, "Lumoscan");
    tiff.ifd().addBlob(273, 279, std::string(4 * 2 * 3, '\x40'));
    return tiff.build();
}

// The positions where two files of the same length differ.
std::set<std::size_t> changedBytes(const std::string& before, const std::string& after) {
    std::set<std::size_t> changed;
    for (std::size_t i = 0; i < std::min(before.size(), after.size()); ++i)
        if (before[i] != after[i])
            changed.insert(i);
    return changed;
}

// The bytes a rotation may change: the recorded Orientation values.
std::set<std::size_t> orientationBytes(const NRFImageInfoRec& record) {
    std::set<std::size_t> bytes;
    for (std::uint32_t i = 0; i < record.m_orientationPosCount; ++i) {
        bytes.insert(record.m_orientationPos[i]);
        bytes.insert(record.m_orientationPos[i] + 1);
    }
    return bytes;
}

// exiftool's IFD0 and IFD1 Orientation values for each file (0 when it has none); empty when exiftool
// is missing.
std::vector<std::pair<int, int>> exiftoolOrientations(const std::vector<std::string>& paths) {
    std::vector<std::string> args = {"-n", "-G1", "-IFD0:Orientation", "-IFD1:Orientation"};
    args.insert(args.end(), paths.begin(), paths.end());
    std::vector<std::pair<int, int>> values;
    if (const std::optional<json> read = lumo::test::exiftoolJson(args))
        for (const json& file : *read)
            values.emplace_back(file.value("IFD0:Orientation", 0), file.value("IFD1:Orientation", 0));
    return values;
}

class RotationTest : public lumo::test::NRFEngineTest {};

} // namespace

TEST_F(RotationTest, ACodeRewritesEveryOrientationValueInPlaceInItsOwnByteOrder) {
    struct Case {
        std::string name, bytes;
        std::uint32_t values;
    };
    const std::vector<Case> cases = {{"little.jpg", cameraJpeg(ByteOrder::Little), 2},
                                     {"big.jpg", cameraJpeg(ByteOrder::Big), 2},
                                     {"little.tif", rgbTiff(ByteOrder::Little), 1},
                                     {"big.tif", rgbTiff(ByteOrder::Big), 1}};
    std::vector<std::string> paths;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NRFImageInfoRef record;
        ASSERT_EQ(read(c.name, c.bytes, record), kNRFErrNone);
        ASSERT_EQ(record->m_orientationPosCount, c.values);
        ASSERT_EQ(NRFSetRotation(record.get(), 1), kNRFErrNone);
        EXPECT_EQ(record->m_orientation, 1);

        const std::string after = lumo::test::readWholeFile(record->m_path);
        ASSERT_EQ(after.size(), c.bytes.size());
        const std::set<std::size_t> changed = changedBytes(c.bytes, after);
        EXPECT_FALSE(changed.empty());
        for (std::size_t pos : changed)
            EXPECT_TRUE(orientationBytes(*record).contains(pos)) << "byte " << pos << " changed";
        EXPECT_FALSE(record->NeedsMetadataReload()); // the change was ours
        paths.push_back(record->m_path);
    }

    const auto exiftool = exiftoolOrientations(paths);
    if (exiftool.empty())
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    ASSERT_EQ(exiftool.size(), 4u);
    EXPECT_EQ(exiftool[0], std::make_pair(6, 6));
    EXPECT_EQ(exiftool[1], std::make_pair(6, 6));
    EXPECT_EQ(exiftool[2].first, 6);
    EXPECT_EQ(exiftool[3].first, 6);
}

TEST_F(RotationTest, EveryCodeReadsBackThroughExiftoolAndTheEngine) {
    NRFImageInfoRef record;
    ASSERT_EQ(read("turns.jpg", cameraJpeg(ByteOrder::Big), record), kNRFErrNone);
    for (int code = 0; code < 8; ++code) {
        SCOPED_TRACE(code);
        ASSERT_EQ(NRFSetRotation(record.get(), code), kNRFErrNone);
        NRFImageInfoRef fresh;
        ASSERT_EQ(NRFOpenImage(record->m_path.c_str(), 0, &fresh), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(fresh.get()), kNRFErrNone);
        EXPECT_EQ(fresh->m_orientation, code);
        const auto exiftool = exiftoolOrientations({record->m_path});
        if (exiftool.empty())
            LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
        EXPECT_EQ(exiftool.at(0),
                  std::make_pair(kExifOrientationForCode[code], kExifOrientationForCode[code]));
    }
}

TEST_F(RotationTest, RefusalsLeaveTheFileUntouched) {
    const std::string bytes = cameraJpeg(ByteOrder::Little);
    NRFImageInfoRef record;
    ASSERT_EQ(read("refused.jpg", bytes, record), kNRFErrNone);
    const std::string& path = record->m_path;

    EXPECT_EQ(NRFSetRotation(nullptr, 1), kNRFErrParam);
    for (int code : {8, -1, 0x7FFF}) {
        EXPECT_EQ(NRFSetRotation(record.get(), code), kNRFErrParam);
        EXPECT_EQ(NRFGetErrorText(), "Error setting rotation, bad parameter");
        EXPECT_EQ(record->m_orientation, 0);
    }
    EXPECT_EQ(lumo::test::readWholeFile(path), bytes);

    // Read only: refused without touching the file or its permissions, and the record keeps the code
    // for the prefs.
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(NRFSetRotation(record.get(), 1), 6);
    EXPECT_EQ(NRFGetErrorText(), "Unable to gain write access to '" + path +
                                     "'. Try setting file permissions to allow reading and writing.");
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(lumo::test::readWholeFile(path), bytes);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                  std::filesystem::perms::others_read);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);

    // A recorded position that no longer holds an Orientation value, or lies past the end: nothing is
    // written, not even the other value.
    const std::string updateError = "Error updating rotation information on '" + path + "'.";
    for (std::uint32_t pos :
         {static_cast<std::uint32_t>(bytes.find("Lumocam")), static_cast<std::uint32_t>(bytes.size() - 1)}) {
        ASSERT_EQ(record->m_orientationPosCount, 2u);
        const std::uint32_t kept = record->m_orientationPos[1];
        record->m_orientationPos[1] = pos;
        EXPECT_EQ(NRFSetRotation(record.get(), 3), 5);
        EXPECT_EQ(NRFGetErrorText(), updateError);
        EXPECT_EQ(lumo::test::readWholeFile(path), bytes);
        record->m_orientationPos[1] = kept;
    }

    // A write that fails is reported.
    lumo::injectFileFault({.op = lumo::FileFault::Op::Write, .pathContains = "refused.jpg"});
    EXPECT_EQ(NRFSetRotation(record.get(), 3), 5);
    lumo::clearFileFaults();
    EXPECT_EQ(NRFGetErrorText(), updateError);
}

TEST_F(RotationTest, AFileWithoutOrientationKeepsTheRotationInTheRecordOnly) {
    TiffBuilder tiff;
    tiff.ifd().add(kMake, "Lumocam");
    JpegBuilder jpeg(32, 24);
    jpeg.addExif(tiff.build());
    const std::string bytes = jpeg.build();
    NRFImageInfoRef record;
    ASSERT_EQ(read("plain.jpg", bytes, record), kNRFErrNone);
    ASSERT_EQ(record->m_orientationPosCount, 0u);
    EXPECT_EQ(NRFSetRotation(record.get(), 6), kNRFErrNone);
    EXPECT_EQ(record->m_orientation, 6);
    EXPECT_EQ(lumo::test::readWholeFile(record->m_path), bytes);
}

TEST_F(RotationTest, CorpusCameraJpegsTakeTheRotationAsExiftoolReadsIt) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    std::vector<std::string> originals;
    for (const auto& entry : std::filesystem::directory_iterator(corpus + "/exiftool"))
        if (entry.path().extension() == ".jpg")
            originals.push_back(entry.path().string());
    std::sort(originals.begin(), originals.end());
    const auto before = exiftoolOrientations(originals);
    if (before.empty())
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    ASSERT_EQ(before.size(), originals.size());

    std::vector<std::string> rotated;
    std::vector<std::pair<int, int>> expected;
    for (std::size_t i = 0; i < originals.size(); ++i) {
        if (before[i].first == 0)
            continue;
        SCOPED_TRACE(originals[i]);
        const std::string bytes = lumo::test::readWholeFile(originals[i]);
        NRFImageInfoRef record;
        ASSERT_EQ(read(std::filesystem::path(originals[i]).filename().string(), bytes, record), kNRFErrNone);
        ASSERT_GT(record->m_orientationPosCount, 0u);
        const int code = static_cast<int>(i % 8);
        ASSERT_EQ(NRFSetRotation(record.get(), code), kNRFErrNone);
        const std::string after = lumo::test::readWholeFile(record->m_path);
        ASSERT_EQ(after.size(), bytes.size());
        for (std::size_t pos : changedBytes(bytes, after))
            EXPECT_TRUE(orientationBytes(*record).contains(pos)) << "byte " << pos << " changed";
        rotated.push_back(record->m_path);
        const int value = kExifOrientationForCode[code];
        expected.emplace_back(value, before[i].second == 0 ? 0 : value);
    }
    EXPECT_GE(rotated.size(), 10u);
    EXPECT_EQ(exiftoolOrientations(rotated), expected);
}

TEST_F(RotationTest, TheFileAndItsSidecarChangeTogetherOrNeitherDoes) {
    using lumo::FileFault;
    using lumo::test::readWholeFile;
    using lumo::test::writeWholeFile;
    const std::string bytes = rgbTiff(ByteOrder::Big);
    NRFImageInfoRef record;
    ASSERT_EQ(read("scan.tif", bytes, record), kNRFErrNone);
    const std::string& path = record->m_path;
    const std::string sidecar = std::filesystem::path(path).replace_extension(".XIP").string();
    // What this photo does not write itself stays: another program's element, and the draft crop the
    // raw of the same name keeps here.
    const std::string foreign = "<?xml version=\"1.0\"?>\n<IMAGEPREFS>\n\t<rotation>2</rotation>\n"
                                "\t<NORMCROPRECTDRAFT><left>0.1</left></NORMCROPRECTDRAFT>\n"
                                "\t<caption lang=\"en\">Harbour</caption>\n\t<tag>1</tag>\n</IMAGEPREFS>\n";
    const auto unchanged = [&](const char* why) {
        SCOPED_TRACE(why);
        EXPECT_EQ(readWholeFile(path), bytes);
        EXPECT_EQ(readWholeFile(sidecar), foreign);
        EXPECT_EQ(
            std::distance(std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()),
                          std::filesystem::directory_iterator()),
            2); // no temporary file left
    };
    writeWholeFile(sidecar, foreign);

    struct Refusal {
        const char* why;
        FileFault fault;
        NRFErr result;
    };
    const Refusal refusals[] = {
        {"a folder that takes no new file",
         {.op = FileFault::Op::Open, .error = EROFS, .pathContains = ".tmp-"},
         6},
        {"a full disk", {.op = FileFault::Op::Write, .error = ENOSPC, .pathContains = ".tmp-"}, 6},
        {"a sidecar that cannot be read",
         {.op = FileFault::Op::Open, .error = EACCES, .pathContains = ".XIP", .times = 1},
         6},
        {"a sidecar that cannot take the new one's place",
         {.op = FileFault::Op::Rename, .error = EIO, .pathContains = ".XIP"},
         6},
    };
    for (const Refusal& r : refusals) {
        lumo::injectFileFault(r.fault);
        EXPECT_EQ(NRFSetRotationAndSaveImagePrefs(record.get(), 1), r.result) << r.why;
        lumo::clearFileFaults();
        unchanged(r.why);
    }
    // Read only: the owner's "do not change", even for a process that could replace it.
    ::chmod(sidecar.c_str(), 0444);
    EXPECT_EQ(NRFSetRotationAndSaveImagePrefs(record.get(), 1), 6);
    EXPECT_NE(NRFGetErrorText().find("Unable to gain write access to '" + sidecar), std::string::npos);
    ::chmod(sidecar.c_str(), 0664);
    unchanged("read only");
    writeWholeFile(sidecar + ".broken", "<IMAGEPREFS><tag>1</tag>");
    std::filesystem::rename(sidecar + ".broken", sidecar);
    EXPECT_EQ(NRFSetRotationAndSaveImagePrefs(record.get(), 1), kNRFErrBadFormat);
    EXPECT_EQ(readWholeFile(path), bytes);
    writeWholeFile(sidecar, foreign);

    // Through a link: the document it leads to changes, the link stays, the mode is kept.
    const std::string target = std::filesystem::path(path).replace_filename("shared.xml").string();
    std::filesystem::rename(sidecar, target);
    ::chmod(target.c_str(), 0664);
    std::filesystem::create_symlink(target, sidecar);
    ASSERT_EQ(NRFSetRotationAndSaveImagePrefs(record.get(), 1), kNRFErrNone);
    EXPECT_TRUE(std::filesystem::is_symlink(sidecar));
    EXPECT_EQ(std::filesystem::status(target).permissions() & std::filesystem::perms::all,
              static_cast<std::filesystem::perms>(0664));
    EXPECT_EQ(exiftoolOrientations({path}).front().first, 6);
    const std::string written = readWholeFile(target);
    EXPECT_NE(written.find("\t<rotation>1</rotation>\n"), std::string::npos) << written;
    EXPECT_NE(written.find("\t<NORMCROPRECTDRAFT><left>0.1</left></NORMCROPRECTDRAFT>\n"), std::string::npos);
    EXPECT_NE(written.find("\t<caption lang=\"en\">Harbour</caption>\n"), std::string::npos);
    EXPECT_EQ(written.find("<rotation>2"), std::string::npos);
}

TEST_F(RotationTest, RotatingManyPhotosOfALargeFolderReadsTheFolderOnce) {
    using lumo::test::writeWholeFile;
    // 8,000 entries: 50 raws (whose attached files include a search of the folder), the settings file
    // another program keeps for the first, and the rest of a busy card.
    const std::string bytes = rgbTiff(ByteOrder::Little);
    for (int i = 0; i < 7949; ++i)
        writeWholeFile(m_dir.file("other_" + std::to_string(i) + ".dat"), "");
    writeWholeFile(m_dir.file("DSC_1000_ACR.xmp"), "x");
    const auto photo = [&](int i) { return m_dir.file("DSC_" + std::to_string(1000 + i) + ".NEF"); };
    for (int i = 0; i < 50; ++i)
        writeWholeFile(photo(i), bytes);

    const std::uint64_t reads = lumo::FolderListing::readCount();
    for (int i = 0; i < 50; ++i) { // each one writes a sidecar into the folder
        NRFImageInfoRef record;
        ASSERT_EQ(NRFOpenImage(photo(i).c_str(), 0, &record), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
        ASSERT_EQ(NRFSetRotationAndSaveImagePrefs(record.get(), 1), kNRFErrNone) << NRFGetErrorText();
        if (i == 0)
            EXPECT_EQ(record->m_attachedFiles, (std::vector<std::string>{m_dir.file("DSC_1000_ACR.xmp")}));
        NRFCloseImage(&record);
    }
    EXPECT_EQ(lumo::FolderListing::readCount(), reads + 1);

    // What changes in the folder meanwhile is seen all the same.
    writeWholeFile(m_dir.file("DSC_1001_acr.xmp"), "x");
    NRFImageInfoRef record;
    ASSERT_EQ(NRFOpenImage(photo(1).c_str(), 0, &record), kNRFErrNone);
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(record->m_attachedFiles,
              (std::vector<std::string>{m_dir.file("DSC_1001_acr.xmp"), m_dir.file("DSC_1001.XIP")}));
    NRFCloseImage(&record);
    EXPECT_EQ(lumo::FolderListing::readCount(), reads + 1);
}
