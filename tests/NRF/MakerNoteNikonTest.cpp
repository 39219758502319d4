// Nikon maker notes: built notes state exactly what the reader must take and the faults it must survive
// (values past the note's end, a loop, the wrong byte order, a note outside the file); the Nikon files
// of the shared corpus are compared with what exiftool reads from them, the encrypted blocks included.

#include "NRF/EXIFMakerNotes.h"
#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTestSupport.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace lumo::test;

namespace {

const std::string kHeader("Nikon\0\x02\x10\0\0", 10);
constexpr std::size_t kLead = 16; // bytes before the note in the test's "file"

// A file holding `note` at kLead, followed by `tail`; the note is read as the EXIF parser hands it over,
// into a record that already holds `before` (the values of IFD0 and the EXIF IFD).
NRFImageInfoFields readNote(const std::string& note, const std::string& tail = std::string(64, 'Z'),
                            std::uint64_t declaredLength = 0, const NRFImageInfoFields& before = {}) {
    const std::string file = std::string(kLead, '\0') + note + tail;
    NRFMemoryByteSource source(file.data(), file.size());
    NRFImageInfoRec record;
    static_cast<NRFImageInfoFields&>(record) = before;
    record.m_make = "NIKON CORPORATION";
    EXIFParseMakerNote(record, source, kLead, declaredLength ? declaredLength : note.size(), 0, false,
                       kNRFTypeJPEG);
    return static_cast<const NRFImageInfoFields&>(record);
}

// The type-3 note's usual values.
void addSettings(TiffIfd& ifd) {
    ifd.add(0x0003, "COLOR");
    ifd.add(0x0004, "FINE ");
    ifd.add(0x0005, "AUTO        ");
    ifd.add(0x0006, "MED.H");
    ifd.add(0x0007, "AF-S  ");
    ifd.add(0x0081, "CS");
    ifd.addLong(0x00A7, 4321);
}

std::string pictureControlV1() {
    std::string b = "0100";
    b += std::string("MY LANDSCAPE") + std::string(8, '\0'); // name
    b += std::string("STANDARD") + std::string(12, '\0');    // base
    b += std::string(4, '\0');
    // adjust, quick adjust +1, sharpening 3, contrast auto, brightness 0, saturation n/a, hue -2, no filter,
    // no toning, toning saturation n/a
    b += std::string("\x01\x81\x83\x00\x80\xff\x7e\xff\xff\xff", 10);
    return b;
}

} // namespace

TEST(MakerNoteNikonTest, TypeThreeNoteGivesSettingsLensCountAndFuzzyPreview) {
    TiffBuilder b(ByteOrder::Big);
    b.setPrefix(kHeader);
    addSettings(b.ifd());
    b.ifd().add(0x001D, "NO= 3001006");
    b.ifd().addByte(0x0083, {0x06});
    b.ifd().addRationals(0x0084, {{18, 1}, {70, 1}, {35, 10}, {45, 10}});
    // Unencrypted lens data: the lens id number and the bytes naming the 18-70mm with the lens type.
    b.ifd().addUndefined(0x0098, std::string("0101\0\0\0\0\0\0\0\x7f\x40\x2d\x5c\x2c\x34\x84\0\0", 20));
    b.ifd().addUndefined(0x0023, pictureControlV1());
    const std::string jpeg = encodeJpeg(160, 120);
    b.ifd().subIfd(0x0011).addBlob(0x0201, 0x0202, jpeg);
    const std::string note = b.build();

    NRFImageInfoFields r = readNote(note);
    EXPECT_EQ(r.m_colorMode, "Color");
    EXPECT_EQ(r.m_quality, "Fine");
    EXPECT_EQ(r.m_whiteMode, "Auto");
    EXPECT_EQ(r.m_sharpness, "Med.H");
    EXPECT_EQ(r.m_focusMode, "AF-S");
    EXPECT_EQ(r.m_toneComp, "CS");
    EXPECT_EQ(r.m_shutterCount, 4321u);
    EXPECT_EQ(r.m_bodySerial, "NO= 3001006");
    EXPECT_EQ(r.m_lensModel, "18-70mm f/3.5-4.5");
    EXPECT_EQ(r.m_lensTypeNumber, 0x7Fu);
    EXPECT_EQ(r.m_lensType, "AF-S DX Zoom-Nikkor 18-70mm f/3.5-4.5G IF-ED");
    const NRFPictureControl& pc = r.m_pictureControl;
    EXPECT_EQ(pc.name, "My Landscape");
    EXPECT_EQ(pc.base, "Standard");
    EXPECT_EQ(pc.quickAdjust, "+1");
    EXPECT_EQ(pc.sharpening, "3");
    EXPECT_EQ(pc.contrast, "Auto");
    EXPECT_EQ(pc.brightness, "Normal");
    EXPECT_EQ(pc.saturation, "n/a");
    EXPECT_EQ(pc.hue, "-2");
    EXPECT_EQ(pc.filterEffect, "n/a");
    EXPECT_EQ(pc.toningSaturation, "n/a");
    // The preview's offsets count from the note's own header.
    EXPECT_EQ(r.m_fuzzyPreview.offset, kLead + b.blobPosition(0));
    EXPECT_EQ(r.m_fuzzyPreview.length, jpeg.size());
    EXPECT_EQ(r.m_fuzzyPreview.width, 160u);
    EXPECT_EQ(r.m_fuzzyPreview.height, 120u);

    // An EXIF LensModel is kept; a body serial from EXIF too.
    NRFImageInfoFields exif;
    exif.m_lensModel = "AF-S DX 18-70";
    exif.m_bodySerial = "3001006";
    r = readNote(note, "", 0, exif);
    EXPECT_EQ(r.m_lensModel, "AF-S DX 18-70");
    EXPECT_EQ(r.m_bodySerial, "3001006");
    EXPECT_EQ(r.m_quality, "Fine");
}

TEST(MakerNoteNikonTest, HeaderlessNoteCountsFromTheExifHeader) {
    // The first bodies: the IFD begins the note and its offsets count from the EXIF TIFF header (here the
    // start of the file, the note being the built IFD0 at offset 8).
    TiffBuilder b(ByteOrder::Little);
    b.ifd().add(0x0004, "NORMAL");
    b.ifd().addRationals(0x0084, {{28, 1}, {105, 1}, {35, 10}, {45, 10}});
    const std::string file = b.build();
    NRFMemoryByteSource source(file.data(), file.size());
    NRFImageInfoRec r;
    r.m_make = "NIKON";
    EXIFParseMakerNote(r, source, 8, file.size() - 8, 0, false, kNRFTypeJPEG);
    EXPECT_EQ(r.m_quality, "Normal");
    EXPECT_EQ(r.m_lensModel, "28-105mm f/3.5-4.5");

    // The same IFD read in the wrong byte order: its entry count says 512, its values lie elsewhere.
    NRFImageInfoRec wrong;
    wrong.m_make = "NIKON";
    EXIFParseMakerNote(wrong, source, 8, file.size() - 8, 0, true, kNRFTypeJPEG);
    EXPECT_TRUE(wrong.m_quality.empty());
    EXPECT_TRUE(wrong.m_lensModel.empty());
}

TEST(MakerNoteNikonTest, FaultsInsideTheNoteAreSkipped) {
    // Values lying past the note's end (but inside the file), a preview IFD that is IFD0 itself (a loop),
    // a preview past the end of the file, lens data and shot information too short to hold anything.
    TiffBuilder b(ByteOrder::Little);
    b.setPrefix(kHeader);
    addSettings(b.ifd());
    b.ifd().addEntry(0x001D, TiffType::Ascii, 20, 0x0400); // the serial's bytes lie past the note
    b.ifd().addEntry(0x0098, TiffType::Undefined, 0x7FFFFFFF, 0x30);
    b.ifd().addUndefined(0x0091, std::string("02", 2));
    b.ifd().addUndefined(0x0023, "0300STANDARD");
    b.ifd().addRationals(0x0084, {{0, 0}, {70, 1}, {35, 10}, {45, 10}});
    b.ifd().pointTo(0x0011, b.ifd());
    const std::string note = b.build();
    ASSERT_LT(note.size(), 0x0400u);
    NRFImageInfoFields r = readNote(note, std::string(0x800, 'Z'));
    EXPECT_EQ(r.m_quality, "Fine");
    EXPECT_EQ(r.m_shutterCount, 4321u);
    EXPECT_TRUE(r.m_bodySerial.empty());
    EXPECT_TRUE(r.m_lensModel.empty());
    EXPECT_FALSE(r.m_lensTypeNumber.has_value());
    EXPECT_TRUE(r.m_firmware.empty());
    EXPECT_TRUE(r.m_pictureControl.empty());
    EXPECT_FALSE(r.m_fuzzyPreview.present());

    // A preview IFD whose JPEG lies past the end of the file.
    TiffBuilder p(ByteOrder::Little);
    p.setPrefix(kHeader);
    p.ifd().addLong(0x00A7, 7);
    p.ifd().subIfd(0x0011).addLong(0x0201, 0x100000).addLong(0x0202, 5000);
    EXPECT_FALSE(readNote(p.build()).m_fuzzyPreview.present());

    // A note said to run past the end of the file is not read at all.
    EXPECT_FALSE(readNote(note, "", note.size() + 100).m_shutterCount.has_value());
}

TEST(MakerNoteNikonTest, WrongByteOrderReadsNothing) {
    TiffBuilder b(ByteOrder::Big);
    b.setPrefix(kHeader);
    addSettings(b.ifd());
    std::string note = b.build();
    // The header claims little-endian for a big-endian structure: IFD0's offset lands outside the note.
    note[10] = 'I';
    note[11] = 'I';
    NRFImageInfoFields r = readNote(note);
    EXPECT_TRUE(r.m_quality.empty());
    EXPECT_FALSE(r.m_shutterCount.has_value());
}

namespace {

std::string jsonText(const nlohmann::json& ref, const char* key) {
    if (!ref.contains(key))
        return {};
    std::string s = ref[key].is_string() ? ref[key].get<std::string>() : ref[key].dump();
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// exiftool's four numbers of the Lens tag ("18 70 3.5 4.5") as the lens text.
std::string lensFromNumbers(const std::string& numbers) {
    std::istringstream in(numbers);
    std::string v[4];
    if (!(in >> v[0] >> v[1] >> v[2] >> v[3]) || v[0] == "0")
        return {};
    return v[0] + (v[1] != v[0] ? "-" + v[1] : "") + "mm f/" + v[2] + (v[3] != v[2] ? "-" + v[3] : "");
}

} // namespace

TEST(MakerNoteNikonTest, CorpusFilesAgreeWithExiftool) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    TempDir copies;
    std::map<std::string, NRFImageInfoFields> records;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(corpus + "/" + folder, ec)) {
            const std::string ext = lower(entry.path().extension().string());
            const std::string path = entry.path().string();
            NRFImageInfoRec record;
            if (ext == ".jpg" || ext == ".exv") {
                if (!readExifBlock(path, readWholeFile(path), record))
                    continue;
            } else if (ext == ".nef") {
                // The engine may repair a raw in place: read a copy.
                const std::string copy = copies.file(entry.path().filename().string());
                fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
                NRFImageInfoRef opened;
                if (NRFOpenImage(copy.c_str(), 0, &opened) != kNRFErrNone)
                    continue;
                if (NRFGetImageInfo(opened.get()) == kNRFErrNone)
                    static_cast<NRFImageInfoFields&>(record) = *opened;
                NRFCloseImage(&opened);
            } else {
                continue;
            }
            if (lower(record.m_make).rfind("nikon", 0) == 0)
                records[path] = record;
        }
    }
    ASSERT_GT(records.size(), 40u);

    std::vector<std::string> args = {"-n", "-G1", "-q", "-q", "-m"};
    for (const auto& [path, record] : records)
        args.push_back(path);
    const std::optional<nlohmann::json> exiftool = exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const nlohmann::json& reference = *exiftool;

    int compared = 0, lensNames = 0, firmwares = 0, previews = 0;
    std::vector<std::string> disagreements;
    for (const auto& ref : reference) {
        const std::string path = jsonText(ref, "SourceFile");
        const auto found = records.find(path);
        if (found == records.end())
            continue;
        const NRFImageInfoFields& r = found->second;
        const auto check = [&](const char* what, const std::string& ours, const std::string& theirs) {
            ++compared;
            if (ours != theirs)
                disagreements.push_back(fs::path(path).filename().string() + ": " + what + " lumo=\"" + ours +
                                        "\" exiftool=\"" + theirs + "\"");
        };
        const std::string serial = jsonText(ref, "Nikon:SerialNumber");
        const std::string exifSerial = jsonText(ref, "ExifIFD:SerialNumber");
        if (!serial.empty() && exifSerial.empty())
            check("serial", r.m_bodySerial, serial);
        if (const std::string count = jsonText(ref, "Nikon:ShutterCount"); !count.empty())
            check("shutterCount", r.m_shutterCount ? std::to_string(*r.m_shutterCount) : "", count);
        if (jsonText(ref, "ExifIFD:LensModel").empty())
            if (const std::string lens = lensFromNumbers(jsonText(ref, "Nikon:Lens")); !lens.empty())
                check("lens", r.m_lensModel, lens);
        // exiftool decrypts only with a serial number; without one it shows the encrypted bytes.
        const bool decryptable =
            !serial.empty() || jsonText(ref, "Nikon:LensDataVersion").rfind("01", 0) == 0;
        if (const std::string id = jsonText(ref, "Nikon:LensIDNumber"); !id.empty() && decryptable)
            check("lensIdNumber", r.m_lensTypeNumber ? std::to_string(*r.m_lensTypeNumber) : "", id);
        if (const std::string fw = jsonText(ref, "Nikon:FirmwareVersion"); !fw.empty() && !serial.empty()) {
            // A version such as 1.10 comes back from JSON as a number.
            const bool same =
                r.m_firmware == fw || (ref["Nikon:FirmwareVersion"].is_number() && !r.m_firmware.empty() &&
                                       std::atof(r.m_firmware.c_str()) == std::atof(fw.c_str()));
            check("firmware", same ? fw : r.m_firmware, fw);
            ++firmwares;
        }
        for (const auto& [key, field] : {std::pair{"Nikon:Quality", &r.m_quality},
                                         {"Nikon:WhiteBalance", &r.m_whiteMode},
                                         {"Nikon:FocusMode", &r.m_focusMode},
                                         {"Nikon:ColorMode", &r.m_colorMode},
                                         {"Nikon:ToneComp", &r.m_toneComp},
                                         {"Nikon:PictureControlName", &r.m_pictureControl.name}})
            if (ref.contains(key) && ref[key].is_string() && !jsonText(ref, key).empty())
                check(key, lower(*field), lower(jsonText(ref, key)));
        if (!r.m_lensType.empty())
            ++lensNames;
        if (const std::string start = jsonText(ref, "PreviewIFD:PreviewImageStart");
            !start.empty() && r.m_fuzzyPreview.present()) {
            check("fuzzyPreview", std::to_string(r.m_fuzzyPreview.offset), start);
            ++previews;
        }
    }
    std::printf("Nikon files: %zu read, %d values compared with exiftool, %zu disagree; %d lens names, %d "
                "firmware versions, %d fuzzy previews\n",
                records.size(), compared, disagreements.size(), lensNames, firmwares, previews);
    for (const std::string& line : disagreements)
        ADD_FAILURE() << line;
    EXPECT_GT(compared, 150);
    EXPECT_GT(lensNames, 10);
    EXPECT_GT(firmwares, 10);
}
