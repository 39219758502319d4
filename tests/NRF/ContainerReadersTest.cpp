// The CRW, RAF and X3F readers through the engine, as a caller reads a file: small files built here for
// each container (sound, cut short, pointing outside themselves, a CIFF heap that contains itself), and
// the corpus files, whose camera, capture time, size and embedded JPEGs must be what exiftool finds.

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
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using lumo::test::JpegBuilder;
using lumo::test::TempDir;
using lumo::test::TiffBuilder;

namespace {

using lumo::test::be;
using lumo::test::le;

// One CIFF value: its bytes in the heap, or an offset and size of its own (pointing anywhere).
struct CiffEntry {
    std::uint16_t tag;
    std::string data;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> at; // offset, size
};

// Values first, then the directory, then the directory's offset.
std::string ciffHeap(const std::vector<CiffEntry>& entries) {
    std::string values, directory = le(entries.size(), 2);
    for (const CiffEntry& e : entries) {
        const auto [offset, size] =
            e.at.value_or(std::pair{std::uint32_t(values.size()), std::uint32_t(e.data.size())});
        directory += le(e.tag, 2) + le(size, 4) + le(offset, 4);
        values += e.data;
    }
    return values + directory + le(values.size(), 4);
}

std::string crwFile(const std::string& rootHeap) {
    return "II" + le(26, 4) + "HEAPCCDR" + le(0x00010002, 4) + std::string(8, '\0') + rootHeap;
}

std::string rafFile(const std::string& jpeg, const std::string& directory, std::uint32_t directoryAt = 0,
                    std::uint32_t jpegExcess = 0) {
    std::string header = "FUJIFILMCCD-RAW 0201FF392201" + std::string("FinePix Test", 12) +
                         std::string(20, '\0') + "0106" + std::string(20, '\0');
    const std::uint32_t jpegAt = 160;
    header += be(jpegAt, 4) + be(jpeg.size() + jpegExcess, 4);
    header += be(directoryAt ? directoryAt : jpegAt + jpeg.size(), 4) + be(directory.size(), 4);
    header.resize(jpegAt, '\0');
    return header + jpeg + directory;
}

std::string x3fImage(std::uint32_t kind, std::uint32_t format, std::uint32_t width, std::uint32_t height,
                     const std::string& data) {
    return "SECi" + le(0x00020000, 4) + le(kind, 4) + le(format, 4) + le(width, 4) + le(height, 4) +
           le(0, 4) + data;
}

std::string x3fProperties(const std::vector<std::pair<std::string, std::string>>& properties) {
    std::string index, text;
    auto add = [&](const std::string& s) {
        index += le(text.size() / 2, 4);
        for (char c : s)
            text += le(static_cast<unsigned char>(c), 2);
        text += le(0, 2);
    };
    for (const auto& [name, value] : properties) {
        add(name);
        add(value);
    }
    return "SECp" + le(0x00020000, 4) + le(properties.size(), 4) + le(0, 4) + le(0, 4) +
           le(text.size() / 2, 4) + index + text;
}

// Header (2268 x 1512, turned 90 degrees clockwise), the sections, the directory and its offset.
std::string x3fFile(const std::vector<std::string>& sections, std::optional<std::uint32_t> directoryAt = {}) {
    std::string file =
        "FOVb" + le(0x00020002, 4) + std::string(20, '\0') + le(2268, 4) + le(1512, 4) + le(90, 4);
    std::string directory = "SECd" + le(0x00020000, 4) + le(sections.size(), 4);
    for (const std::string& section : sections) {
        directory += le(file.size(), 4) + le(section.size(), 4) + "IMA2";
        file += section;
    }
    const std::size_t at = file.size();
    return file + directory + le(directoryAt.value_or(at), 4);
}

class ContainerReadersTest : public lumo::test::NRFEngineTest {};

} // namespace

TEST_F(ContainerReadersTest, CRWIsReadFromItsHeapsAndSurvivesBadOnes) {
    const std::string jpeg = lumo::test::encodeJpeg(64, 48);
    const std::string info =
        le(3000, 4) + le(2000, 4) + le(0x3f800000, 4) + le(90, 4) + std::string(12, '\0');
    const std::string time = le(1068485966, 4) + le(3600, 4) + le(0x80000000u, 4); // 2003-11-10 17:39:26
    std::string props = ciffHeap({{0x1810, info}, {0x180e, time}});
    // A heap inside the properties that names itself as its own sub-heap: read once, no further.
    const std::string selfish = ciffHeap({{0x300b, "", std::pair{0u, 16u}}}); // 16: the whole heap
    const std::string withLoop =
        ciffHeap({{0x1810, info}, {0x180e, time}, {0x300b, selfish}, {0x300c, "", std::pair{0u, 99999u}}});
    const std::string file = crwFile(
        ciffHeap({{0x080a, std::string("Canon\0Canon EOS 10D\0", 20)}, {0x2007, jpeg}, {0x300a, withLoop}}));
    NRFImageInfoRef record;
    ASSERT_EQ(read("a.crw", file, record), kNRFErrNone);
    EXPECT_EQ(record->m_make, "Canon");
    EXPECT_EQ(record->m_model, "Canon EOS 10D");
    EXPECT_EQ(record->m_captureTime, (KLDateTime{2003, 11, 10, 17, 39, 26}));
    EXPECT_EQ(record->m_timeZoneOffset, std::optional<std::int16_t>(60));
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_width, 2000u); // turned a quarter: reported as shown
    EXPECT_EQ(record->m_height, 3000u);
    EXPECT_EQ(record->m_preview.offset, file.find(jpeg));
    EXPECT_EQ(record->m_preview.length, jpeg.size());
    EXPECT_EQ(record->m_displayWidth, 48u);
    EXPECT_TRUE(record->m_previewIsJPEG);

    // Cut short, the root heap's directory offset is gone; a header pointing past the end; a preview
    // pointing outside its heap is not taken; a JPEG under the raw name goes to the JPEG reader.
    EXPECT_EQ(read("short.crw", file.substr(0, file.size() / 2), record), kNRFErrBadFormat);
    EXPECT_EQ(read("header.crw", "II" + le(1 << 20, 4) + file.substr(6), record), kNRFErrBadFormat);
    const std::string outside = crwFile(ciffHeap({{0x2007, "", std::pair{4096u, 100u}}, {0x300a, props}}));
    ASSERT_EQ(read("outside.crw", outside, record), kNRFErrNone);
    EXPECT_FALSE(record->m_preview.present());
    EXPECT_EQ(record->m_width, 2000u);
    ASSERT_EQ(read("jpeg.crw", jpeg, record), kNRFErrNone);
    EXPECT_EQ(NRFFileTypeString(record->m_fileType), "JPEG");
}

TEST_F(ContainerReadersTest, RAFTakesItsJPEGItsEXIFAndTheRawSizeOfItsDirectory) {
    TiffBuilder tiff;
    tiff.ifd().add(271, "FUJIFILM").add(272, "X-T1").addShort(274, 1);
    tiff.ifd().subIfd(34665).add(36867, "2019:05:05 08:00:00").addLong(40962, 320).addLong(40963, 240);
    tiff.ifd().next().addBlob(513, 514, lumo::test::encodeJpeg(160, 120));
    JpegBuilder builder(320, 240);
    builder.addExif(tiff.build());
    const std::string jpeg = builder.build();
    const std::string directory = be(2, 4) + be(0x100, 2) + be(4, 2) + be(1444, 2) + be(4352, 2) +
                                  be(0x111, 2) + be(4, 2) + be(1424, 2) + be(4256, 2);
    const std::string file = rafFile(jpeg, directory);
    NRFImageInfoRef record;
    ASSERT_EQ(read("a.raf", file, record), kNRFErrNone);
    EXPECT_EQ(record->m_make, "FUJIFILM");
    EXPECT_EQ(record->m_model, "X-T1");
    EXPECT_EQ(record->m_captureTime, (KLDateTime{2019, 5, 5, 8, 0, 0}));
    EXPECT_EQ(record->m_width, 4256u);
    EXPECT_EQ(record->m_height, 1424u);
    EXPECT_EQ(record->m_preview, (NRFEmbeddedImageLoc{160, std::uint32_t(jpeg.size()), 320, 240}));
    EXPECT_EQ(record->m_thumbnail.width, 160u);
    EXPECT_GT(record->m_thumbnail.offset, 160u);

    // A directory outside the file leaves the JPEG's size; a JPEG said to run past the end is no preview,
    // and without it the header's model still names the camera; a header cut short is error 9.
    ASSERT_EQ(read("nodir.raf", rafFile(jpeg, directory, 1u << 30), record), kNRFErrNone);
    EXPECT_EQ(record->m_width, 320u);
    ASSERT_EQ(read("long.raf", rafFile(jpeg, directory, 0, 1u << 20), record), kNRFErrNone);
    EXPECT_FALSE(record->m_preview.present());
    EXPECT_EQ(record->m_model, "FinePix Test");
    EXPECT_EQ(record->m_width, 4256u);
    EXPECT_EQ(read("header.raf", file.substr(0, 60), record), kNRFErrBadFormat);
}

TEST_F(ContainerReadersTest, X3FTakesItsLargestJPEGAndItsProperties) {
    const std::string small = lumo::test::encodeJpeg(160, 120), large = lumo::test::encodeJpeg(320, 240);
    const std::string file =
        x3fFile({x3fImage(2, 18, 160, 120, small), x3fImage(2, 18, 320, 240, large),
                 x3fImage(3, 30, 2304, 1531, "<raw>"),
                 x3fProperties({{"CAMMODEL", "SIGMA SD10"}, {"TIME", "978309395"}, {"ISO", "100"}})});
    NRFImageInfoRef record;
    ASSERT_EQ(read("a.x3f", file, record), kNRFErrNone);
    EXPECT_EQ(record->m_make, "SIGMA");
    EXPECT_EQ(record->m_model, "SIGMA SD10");
    EXPECT_EQ(record->m_captureTime, (KLDateTime{2001, 1, 1, 0, 36, 35}));
    EXPECT_EQ(record->m_iso, 100u);
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_width, 1512u);
    EXPECT_EQ(record->m_height, 2268u);
    EXPECT_EQ(record->m_preview.offset, file.find(large));
    EXPECT_EQ(record->m_preview.length, large.size());

    EXPECT_EQ(read("dir.x3f", x3fFile({x3fImage(2, 18, 320, 240, large)}, 1u << 30), record),
              kNRFErrBadFormat);
    EXPECT_EQ(read("cut.x3f", file.substr(0, file.size() - 10), record), kNRFErrBadFormat);
    // A section said to run past the end is passed over; the header's size still holds.
    std::string past = x3fFile({x3fImage(2, 18, 320, 240, large)});
    past.replace(past.size() - 4 - 12 + 4, 4, le(1 << 20, 4));
    ASSERT_EQ(read("past.x3f", past, record), kNRFErrNone);
    EXPECT_FALSE(record->m_preview.present());
    EXPECT_EQ(record->m_width, 1512u);
}

namespace {

std::string base64Decode(const std::string& text) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const std::size_t v = digits.find(c);
        if (v == std::string::npos)
            continue;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if ((count += 6) >= 8) {
            count -= 8;
            out += static_cast<char>(bits >> count);
        }
    }
    return out;
}

// exiftool's value of `tag` in the first of `groups` that has it, or null.
const nlohmann::json* toolValue(const nlohmann::json& file, const std::string& tag,
                                std::initializer_list<const char*> groups) {
    for (const char* group : groups)
        if (const auto it = file.find(std::string(group) + ":" + tag); it != file.end())
            return &*it;
    return nullptr;
}

} // namespace

TEST_F(ContainerReadersTest, CorpusFilesAgreeWithExiftool) {
    namespace fs = std::filesystem;
    using nlohmann::json;
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    const std::vector<std::string> files = lumo::test::corpusFiles({".crw", ".raf", ".x3f"});
    ASSERT_GE(files.size(), 20u);
    // Every file is read (from a copy) whatever exiftool says; each ends with a result code.
    const std::map<std::string, NRFImageInfoRef> records = readCopies(files);

    std::vector<std::string> args = {"-n", "-G1", "-a", "-b"};
    for (const char* tag : {"Make", "Model", "DateTimeOriginal", "ImageWidth", "ImageHeight",
                            "RawImageCroppedSize", "ISO", "FNumber", "ExposureTime", "FocalLength",
                            "JpgFromRaw", "PreviewImage", "ThumbnailOffset", "ThumbnailLength"})
        args.push_back(std::string("-") + tag);
    args.insert(args.end(), files.begin(), files.end());
    const std::optional<json> exiftool = lumo::test::exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    const json& all = *exiftool;

    int compared = 0;
    for (const json& values : all) {
        const auto found = records.find(values.value("SourceFile", ""));
        if (found == records.end())
            continue;
        const std::string name = fs::path(found->first).filename().string();
        const NRFImageInfoRec& r = *found->second;
        auto text = [&](const char* tag, const std::string& ours, std::initializer_list<const char*> groups) {
            if (const json* theirs = toolValue(values, tag, groups); theirs && theirs->is_string()) {
                ++compared;
                EXPECT_EQ(ours, theirs->get<std::string>()) << name << ": " << tag;
            }
        };
        text("Make", r.m_make, {"IFD0", "CanonRaw", "SigmaRaw"});
        text("Model", r.m_model, {"IFD0", "CanonRaw", "SigmaRaw"});
        // Exposure values no camera gives (read from damaged files) are not taken.
        const auto real = [](const auto& value) {
            return value ? std::optional<double>(*value) : std::nullopt;
        };
        for (const auto& [tag, ours, low, high] :
             {std::tuple<const char*, std::optional<double>, double, double>{"ISO", real(r.m_iso), 1, 1e6},
              {"FNumber", real(r.m_fNumber), 0.5, 1000},
              {"ExposureTime", real(r.m_exposureTime), 1e-6, 1e5},
              {"FocalLength", real(r.m_focalLength), 0.1, 1e5}})
            if (const json* theirs = toolValue(values, tag, {"ExifIFD", "SigmaRaw", "Canon", "Composite"});
                theirs && theirs->is_number()) {
                const double value = theirs->get<double>();
                ++compared;
                if (value < low || value > high)
                    EXPECT_FALSE(ours) << name << ": " << tag;
                else
                    EXPECT_NEAR(ours.value_or(-1), value, value * 0.01) << name << ": " << tag;
            }
        char time[32];
        std::snprintf(time, sizeof time, "%04d:%02d:%02d %02d:%02d:%02d", r.m_captureTime.year,
                      r.m_captureTime.month, r.m_captureTime.day, r.m_captureTime.hour,
                      r.m_captureTime.minute, r.m_captureTime.second);
        text("DateTimeOriginal", time, {"ExifIFD", "CanonRaw", "SigmaRaw"});

        // The raw's size (as shown: a raw turned a quarter swaps it): CIFF image info, the X3F header, or the
        // area inside the RAF sensor's borders.
        std::optional<std::pair<std::uint32_t, std::uint32_t>> size;
        const json* width = toolValue(values, "ImageWidth", {"CanonRaw", "SigmaRaw"});
        const json* height = toolValue(values, "ImageHeight", {"CanonRaw", "SigmaRaw"});
        if (width && height && width->is_number() && height->is_number())
            size = std::pair{width->get<std::uint32_t>(), height->get<std::uint32_t>()};
        if (const json* cropped = toolValue(values, "RawImageCroppedSize", {"RAF"});
            cropped && cropped->is_string()) {
            unsigned w = 0, h = 0;
            if (std::sscanf(cropped->get<std::string>().c_str(), "%u %u", &w, &h) == 2)
                size = std::pair{w, h};
        }
        if (size) {
            if (r.m_orientation & 1)
                std::swap(size->first, size->second);
            ++compared;
            EXPECT_EQ(std::pair(r.m_width, r.m_height), *size) << name << ": image size";
        }

        // The preview is the largest JPEG exiftool extracts from the container (one with a readable SOF),
        // found by its bytes in the file.
        const std::string bytes = lumo::test::readWholeFile(found->first);
        NRFEmbeddedImageLoc expected;
        for (const char* tag : {"JpgFromRaw", "PreviewImage"})
            if (const json* v = toolValue(values, tag, {"CanonRaw", "File", "SigmaRaw"});
                v && v->is_string()) {
                const std::string jpeg = base64Decode(v->get<std::string>().substr(7)); // after "base64:"
                NRFMemoryByteSource source(jpeg.data(), jpeg.size());
                std::uint32_t w = 0, h = 0;
                const std::size_t at = bytes.find(jpeg);
                if (!jpeg.empty() && at != std::string::npos && NRFReadJPEGSize(source, 0, 0, w, h) &&
                    std::uint64_t{w} * h > std::uint64_t{expected.width} * expected.height)
                    expected = NRFEmbeddedImageLoc{std::uint32_t(at), std::uint32_t(jpeg.size()), w, h};
            }
        ++compared;
        EXPECT_EQ(r.m_preview.offset, expected.offset) << name << ": preview offset";
        EXPECT_EQ(r.m_preview.length, expected.length) << name << ": preview length";
        const json* thumbnailOffset = toolValue(values, "ThumbnailOffset", {"IFD1"});
        const json* thumbnailLength = toolValue(values, "ThumbnailLength", {"IFD1"});
        // A thumbnail is one when it is a JPEG whose size can be read (what the EXIF reader asks of one).
        NRFMemoryByteSource file(bytes.data(), bytes.size());
        std::uint32_t w = 0, h = 0;
        if (thumbnailOffset && thumbnailLength && thumbnailOffset->is_number() &&
            thumbnailLength->is_number() &&
            NRFReadJPEGSize(file, thumbnailOffset->get<std::uint32_t>(),
                            thumbnailLength->get<std::uint32_t>(), w, h)) {
            ++compared;
            EXPECT_EQ(std::pair(r.m_thumbnail.offset, r.m_thumbnail.length),
                      std::pair(thumbnailOffset->get<std::uint32_t>(), thumbnailLength->get<std::uint32_t>()))
                << name << ": thumbnail";
        }
    }
    std::printf("CRW/RAF/X3F corpus: %zu files, %zu read, %d values compared with exiftool\n", files.size(),
                records.size(), compared);
}
