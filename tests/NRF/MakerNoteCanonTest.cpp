// The maker notes of Canon, Sony, Fujifilm and Samsung: built notes state each layout and the faults a
// reader must survive (values past the note's end, a loop, the other byte order); the corpus files of
// these makers are compared with exiftool for lens, serial number, firmware and shutter count.

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
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace lumo::test;

namespace {

// Reads `bytes` as a maker note of `make` lying at `pos` (to the end), offsets counting from 0, into a
// record holding `before`.
NRFImageInfoFields readNote(const std::string& make, const std::string& bytes, std::size_t pos,
                            bool bigEndian = false, std::size_t length = 0, const std::string& model = {},
                            const NRFImageInfoFields& before = {}) {
    NRFImageInfoRec record;
    static_cast<NRFImageInfoFields&>(record) = before;
    record.m_make = make;
    record.m_model = model;
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    EXIFParseMakerNote(record, source, pos, length ? length : bytes.size() - pos, 0, bigEndian, kNRFTypeJPEG);
    return static_cast<const NRFImageInfoFields&>(record);
}

// A Canon array: its first element is its own size in bytes.
std::vector<uint16_t> canonArray(std::size_t count, std::map<std::size_t, uint16_t> values) {
    std::vector<uint16_t> array(count, 0);
    array[0] = static_cast<uint16_t>(count * 2);
    for (const auto& [index, value] : values)
        array.at(index) = value;
    return array;
}

} // namespace

TEST(MakerNoteCanonTest, CanonNoteGivesSettingsSerialFirmwareAndShutterCount) {
    TiffBuilder b(ByteOrder::Little);
    b.ifd()
        .addShorts(0x0001, canonArray(46, {{3, 3}, {7, 1}, {15, 2}, {22, 246}, {23, 35}, {24, 16}, {25, 1}}))
        .addShorts(0x0004, canonArray(34, {{7, 8}}))
        .add(0x0007, "Firmware Version 2.0.3")
        .add(0x0009, "Jane Photographer")
        .addLong(0x000C, 123456)
        .addShorts(0x0093, canonArray(10, {{1, 0x0001}, {2, 0x0002}})) // shutter count, halves swapped
        .addShort(0x00AE, 5600);
    const std::string bytes = b.build();
    NRFImageInfoFields r = readNote("Canon", bytes, 8, false, 0, "Canon EOS-1D Mark II");
    EXPECT_EQ(r.m_quality, "Fine");
    EXPECT_EQ(r.m_focusMode, "AI Servo AF");
    EXPECT_EQ(r.m_sharpness, "+2");
    EXPECT_EQ(r.m_lensTypeNumber, 246u);
    EXPECT_EQ(r.m_lensType, "Canon EF 16-35mm f/2.8L II USM");
    EXPECT_EQ(r.m_lensModel, "16-35mm"); // no lens name: the focal range
    EXPECT_EQ(r.m_whiteMode, "Shade");
    EXPECT_EQ(r.m_firmware, "Firmware Version 2.0.3");
    EXPECT_EQ(r.m_owner, "Jane Photographer");
    EXPECT_EQ(r.m_bodySerial, "123456"); // the 1D family: six digits
    EXPECT_EQ(r.m_shutterCount, 0x00010002u);
    EXPECT_EQ(r.m_kelvin, 5600u);

    // Other bodies: ten digits, and the file information holds no shutter count.
    r = readNote("Canon", bytes, 8, false, 0, "Canon EOS 20D");
    EXPECT_EQ(r.m_bodySerial, "0000123456");
    EXPECT_FALSE(r.m_shutterCount);

    // The EXIF lens name and body serial number stay; the note's lens name wins over the focal range.
    TiffBuilder named(ByteOrder::Little);
    named.ifd()
        .addShorts(0x0001, canonArray(46, {{23, 50}, {24, 50}, {25, 1}}))
        .add(0x0095, "EF50mm f/1.8 STM")
        .add(0x0096, "GD0012345");
    const std::string namedBytes = named.build();
    r = readNote("Canon", namedBytes, 8);
    EXPECT_EQ(r.m_lensModel, "EF50mm f/1.8 STM");
    EXPECT_EQ(r.m_bodySerial, "GD0012345"); // the sensor's number when there is no other
    NRFImageInfoFields exif;
    exif.m_lensModel = "EXIF lens";
    exif.m_bodySerial = "012345";
    r = readNote("Canon", namedBytes, 8, false, 0, "", exif);
    EXPECT_EQ(r.m_lensModel, "EXIF lens");
    EXPECT_EQ(r.m_bodySerial, "012345");
}

TEST(MakerNoteCanonTest, CanonPreviewLiesAfterTheNote) {
    const std::string jpeg = encodeJpeg(64, 48);
    const auto build = [&](uint32_t start) {
        TiffBuilder b(ByteOrder::Little);
        std::vector<uint32_t> info(12, 0);
        info[2] = static_cast<uint32_t>(jpeg.size());
        info[5] = start;
        b.ifd().addLongs(0x00B6, info);
        return b.build();
    };
    const std::string note = build(static_cast<uint32_t>(build(0).size()));
    NRFImageInfoFields r = readNote("Canon", note + jpeg, 8, false, note.size() - 8);
    EXPECT_EQ(r.m_preview.offset, note.size());
    EXPECT_EQ(r.m_preview.width, 64u);
    // Past the end of the file: not taken.
    r = readNote("Canon", note + jpeg.substr(0, 100), 8, false, note.size() - 8);
    EXPECT_FALSE(r.m_preview.present());
}

TEST(MakerNoteCanonTest, CanonNoteFaultsAreSkipped) {
    // An array whose size word lies is not read; a value past the note's end is dropped, the rest stays.
    TiffBuilder b(ByteOrder::Little);
    b.ifd()
        .addShorts(0x0001, {4, 0, 0, 3}) // says 4 bytes, has 8
        .addPastEnd(0x0095, TiffType::Ascii, 40, 100)
        .add(0x0007, "Firmware Version 1.0.0");
    const std::string bytes = b.build();
    NRFImageInfoFields r = readNote("Canon", bytes, 8);
    EXPECT_EQ(r.m_quality, "");
    EXPECT_EQ(r.m_lensModel, "");
    EXPECT_EQ(r.m_firmware, "Firmware Version 1.0.0");

    // The note cut short: the firmware text lies past its end.
    EXPECT_EQ(readNote("Canon", bytes, 8, false, bytes.find("Firmware") - 8).m_firmware, "");

    // Read in the wrong byte order, the entry count is absurd: nothing is taken, nothing fails.
    r = readNote("Canon", bytes, 8, /*bigEndian=*/true);
    EXPECT_EQ(r.m_firmware, "");
    EXPECT_FALSE(r.m_lensTypeNumber);

    // Garbage of every length never throws out of the parser.
    std::string garbage(64, '\xFF');
    for (std::size_t length = 1; length < garbage.size(); ++length)
        readNote("Canon", garbage, 8, false, length);
}

TEST(MakerNoteCanonTest, SonyNoteWithHeaderAndEitherByteOrder) {
    // The shutter count, enciphered (each byte b as b³ mod 249) at 0x32 of block 0x9050.
    std::string block(0x40, '\0');
    for (const auto& [at, byte] : {std::pair{0x32, 0x39}, std::pair{0x33, 0x30}})
        block[at] = static_cast<char>(byte * byte * byte % 249);
    for (const ByteOrder order : {ByteOrder::Little, ByteOrder::Big}) {
        TiffBuilder b(order);
        b.setHeaderTail(std::string(12, '\0'));
        b.ifd()
            .addLong(0xB027, 48)
            .addLong(0x0102, 2)
            .addLong(0xB021, 5400)
            .add(0x2031, "12345678")
            .addSLong(0x2006, -1)
            .addUndefined(0x9050, block);
        std::string bytes = b.build();
        bytes.replace(8, 12, std::string("SONY DSC \0\0\0", 12));
        // The file is little-endian either way: a big-endian note is read in its own order.
        NRFImageInfoFields r = readNote("SONY", bytes, 8, false, 0, "SLT-A58");
        EXPECT_EQ(r.m_lensTypeNumber, 48u);
        EXPECT_EQ(r.m_lensType, "Carl Zeiss Vario-Sonnar T* 24-70mm F2.8 ZA SSM (SAL2470Z)");
        EXPECT_EQ(r.m_quality, "Fine");
        EXPECT_EQ(r.m_kelvin, 5400u);
        EXPECT_EQ(r.m_bodySerial, "78563412");
        EXPECT_EQ(r.m_sharpness, "-1");
        EXPECT_EQ(r.m_shutterCount, 0x3039u);
    }
}

TEST(MakerNoteCanonTest, FujifilmNoteCountsFromItsOwnStart) {
    TiffBuilder b(ByteOrder::Little);
    b.setHeaderTail(std::string(4, '\0'));
    b.ifd()
        .add(0x0010, "FPX20582698 592D313134360702198C0020100A84")
        .add(0x1000, "FINE ")
        .addShort(0x1001, 0x84)
        .addShort(0x1002, 0x200)
        .addShort(0x1021, 1);
    std::string note = b.build();
    note.replace(0, 12, std::string("FUJIFILM\x0c\0\0\0", 12));
    // Behind a big-endian EXIF block: the note's offsets count from the note and it stays little-endian.
    const std::string bytes = std::string(100, 'x') + note;
    NRFImageInfoFields r = readNote("FUJIFILM", bytes, 100, /*bigEndian=*/true);
    EXPECT_EQ(r.m_bodySerial, "FPX20582698 592D313134360702198C0020100A84");
    EXPECT_EQ(r.m_quality, "FINE");
    EXPECT_EQ(r.m_sharpness, "+1 (medium hard)");
    EXPECT_EQ(r.m_whiteMode, "Cloudy");
    EXPECT_EQ(r.m_focusMode, "Manual");

    // An IFD offset past the note: nothing is read.
    std::string bad = bytes;
    bad.replace(108, 4, std::string("\xff\xff\x00\x00", 4));
    EXPECT_EQ(readNote("FUJIFILM", bad, 100).m_quality, "");
}

TEST(MakerNoteCanonTest, SamsungPreviewSerialAndLens) {
    // The older layout: the preview's position counts from the start of the file.
    const std::string jpeg = encodeJpeg(640, 480);
    std::string bytes(16, '\0');
    TiffBuilder stmn(ByteOrder::Little);
    bytes += std::string("STMN100\0", 8) + stmn.encode(16 + 44, 4) + stmn.encode(jpeg.size(), 4) +
             std::string(28, '\0');
    bytes += jpeg;
    NRFImageInfoFields r = readNote("SAMSUNG", bytes, 16, false, 44);
    EXPECT_EQ(r.m_preview.offset, 60u);
    EXPECT_EQ(r.m_preview.width, 640u);
    EXPECT_TRUE(r.m_previewOffsetIsAbsolute);
    // A preview said to run past the file is not taken.
    bytes.replace(28, 4, stmn.encode(jpeg.size() + 1, 4));
    EXPECT_FALSE(readNote("SAMSUNG", bytes, 16, false, 44).m_preview.present());

    // The newer layout: an IFD with serial, lens number and a preview IFD. A preview IFD pointing back
    // at the note's own IFD (a loop) gives no preview and no trouble.
    for (const bool loop : {false, true}) {
        TiffBuilder b(ByteOrder::Little);
        TiffIfd& note = b.ifd();
        note.add(0x0001, "0100").add(0xA002, "A1B2C3D4E5").addShort(0xA003, 13);
        if (loop)
            note.pointTo(0x0035, note);
        else
            note.subIfd(0x0035).addBlob(0x0201, 0x0202, jpeg);
        r = readNote("SAMSUNG", b.build(), 8);
        EXPECT_EQ(r.m_bodySerial, "A1B2C3D4E5");
        EXPECT_EQ(r.m_lensTypeNumber, 13u);
        EXPECT_EQ(r.m_lensType, "Samsung NX 16-50mm F2-2.8 S ED OIS");
        EXPECT_EQ(r.m_preview.present(), !loop);
    }
}

// ---- The corpus against exiftool ------------------------------------------------------------------

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ourMaker(const std::string& make) {
    const std::string m = lower(make);
    for (const char* prefix : {"canon", "sony", "fujifilm", "samsung"})
        if (m.rfind(prefix, 0) == 0)
            return true;
    return false;
}

// The EXIF block of a JPEG or .exv file ("Exif\0\0" and a TIFF header) read as the JPEG reader reads
// it; CR2 files through the engine, from a copy.
bool readRecord(const std::string& path, const std::string& copies, NRFImageInfoRec& record) {
    const std::string ext = lower(fs::path(path).extension().string());
    if (ext == ".cr2") {
        const std::string copy = copies + "/" + fs::path(path).filename().string();
        fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
        NRFImageInfoRef ref;
        if (NRFOpenImage(copy.c_str(), 0, &ref) != 0 || NRFGetImageInfo(ref.get()) != 0) {
            NRFCloseImage(&ref);
            return false;
        }
        static_cast<NRFImageInfoFields&>(record) = *ref;
        NRFCloseImage(&ref);
        return true;
    }
    if (ext != ".jpg" && ext != ".jpeg" && ext != ".exv")
        return false;
    return lumo::test::readExifBlock(path, readWholeFile(path), record);
}

// exiftool's value as text: strings trimmed, whole numbers without a fraction.
bool refText(const nlohmann::json& ref, const char* key, std::string& out) {
    if (!ref.contains(key))
        return false;
    const nlohmann::json& v = ref[key];
    if (v.is_string())
        out = v.get<std::string>();
    else if (v.is_number_integer() || v.is_number_unsigned())
        out = std::to_string(v.get<long long>());
    else
        return false;
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return !out.empty();
}

} // namespace

TEST(MakerNoteCanonTest, CorpusAgreesWithExiftool) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    ASSERT_EQ(NRFInit(""), kNRFErrNone);
    TempDir copies;
    std::map<std::string, NRFImageInfoFields> records; // the files of these makers, by path
    for (const char* folder : {"exiftool", "exiv2"})
        for (const auto& entry : fs::directory_iterator(corpus + "/" + folder)) {
            NRFImageInfoRec record;
            if (entry.is_regular_file() && readRecord(entry.path().string(), copies.path(), record) &&
                ourMaker(record.m_make))
                records[entry.path().string()] = record;
        }
    NRFTerminate();
    ASSERT_GT(records.size(), 100u);

    std::vector<std::string> args = {
        "-n", "-G1", "-q", "-q", "-m", "-MakerNotes:all", "-ExifIFD:LensModel", "-ExifIFD:SerialNumber"};
    for (const auto& [path, record] : records)
        args.push_back(path);
    const std::optional<nlohmann::json> exiftool = exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const nlohmann::json& reference = *exiftool;

    std::map<std::string, int> compared;
    std::vector<std::string> disagreements;
    for (const nlohmann::json& ref : reference) {
        std::string path, want;
        if (!refText(ref, "SourceFile", path) || !records.count(path))
            continue;
        const NRFImageInfoFields& r = records[path];
        const auto check = [&](const char* field, const std::string& ours, const std::string& theirs) {
            ++compared[field];
            // The 1D Mark III writes no lens number in its camera settings; exiftool takes one from
            // the body's camera information block, which this reader leaves alone.
            const std::string file = fs::path(path).filename().string();
            if (ours != theirs && !(file == "Canon1DmkIII.jpg" && std::string(field) == "lens type"))
                disagreements.push_back(file + ": " + field + " lumo=\"" + ours + "\" exiftool=\"" + theirs +
                                        "\"");
        };
        // Lens: the EXIF name, else the maker's.
        if (refText(ref, "ExifIFD:LensModel", want) || refText(ref, "Canon:LensModel", want))
            check("lens", r.m_lensModel, want);
        for (const char* key : {"Canon:LensType", "Sony:LensType"})
            if (refText(ref, key, want) && want != "65535" && want.find('.') == std::string::npos &&
                !(key[0] == 'C' && want == "0"))
                check("lens type", r.m_lensTypeNumber ? std::to_string(*r.m_lensTypeNumber) : "", want);
        // Serial number: the EXIF one, else the maker's (Canon's as a number, the D30's aside).
        const bool d30 = r.m_model.find("EOS D30") != std::string::npos;
        if (refText(ref, "ExifIFD:SerialNumber", want) || refText(ref, "FujiFilm:InternalSerialNumber", want))
            check("serial", r.m_bodySerial, want);
        else if ((refText(ref, "Canon:SerialNumber", want) || refText(ref, "Sony:SerialNumber", want)) &&
                 !d30 && want.find_first_not_of("0123456789") == std::string::npos)
            check("serial", r.m_bodySerial.empty() ? "" : std::to_string(std::stoull(r.m_bodySerial)), want);
        else if (refText(ref, "Canon:InternalSerialNumber", want))
            check("serial", r.m_bodySerial, want);
        if (refText(ref, "Canon:CanonFirmwareVersion", want))
            check("firmware", r.m_firmware, want);
        if (refText(ref, "Canon:ShutterCount", want) || refText(ref, "Sony:ShutterCount", want))
            check("shutter count", r.m_shutterCount ? std::to_string(*r.m_shutterCount) : "", want);
        if (refText(ref, "Canon:OwnerName", want))
            check("owner", r.m_owner, want);
        if (refText(ref, "Canon:ColorTemperature", want) && want != "0")
            check("kelvin", r.m_kelvin ? std::to_string(*r.m_kelvin) : "", want);
        if (refText(ref, "FujiFilm:Quality", want))
            check("quality", r.m_quality, want);
    }
    std::string summary;
    for (const auto& [field, count] : compared)
        summary += " " + field + "=" + std::to_string(count);
    std::printf("maker notes of %zu files read; values compared:%s; %zu disagree\n", records.size(),
                summary.c_str(), disagreements.size());
    for (const std::string& line : disagreements)
        ADD_FAILURE() << line;
    EXPECT_GT(compared["lens"], 40);
    EXPECT_GT(compared["serial"], 40);
    EXPECT_GT(compared["firmware"], 40);
    EXPECT_GE(compared["shutter count"], 40);
}
