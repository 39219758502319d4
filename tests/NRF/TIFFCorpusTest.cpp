// The TIFF-structured files of the shared corpus (TIFF, the TIFF-structured raws, DNG, and the malformed
// files that once crashed other readers) through the engine: every one gives a result code without a
// crash or a hang, and what the engine reads from the sound ones agrees with exiftool.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

const char* const kExtensions[] = {".tif", ".tiff", ".nef", ".nrw", ".cr2", ".orf", ".erf",
                                   ".mos", ".raw",  ".rw2", ".rwl", ".pef", ".sr2", ".arw",
                                   ".srf", ".sti",  ".srw", ".iiq", ".dng"};

// The rows whose reader walks the TIFF structure; a file detected as anything else (a raw extension
// on a JPEG stream, a ".raw" that is not a Panasonic file) is not this reader's to compare.
const char* const kTIFFTypes[] = {"TIFF", "NNEF", "NNRW", "C1DT", "P1RT", "CCR2", "OORF",
                                  "EERF", "LMOS", "PRAW", "PRW2", "PRWL", "PPEF", "SSR2",
                                  "SARW", "SSRF", "SSTI", "SSRW", "P1IQ", "KDCS", "ADNG"};

// Where the engine is right and exiftool reads the file otherwise. Every entry must still be needed:
// one that no longer matches a disagreement fails the test, so the list cannot go stale.
struct KnownDifference {
    const char* file; // the corpus path below the corpus folder
    const char* field;
    const char* reason;
};
const KnownDifference kKnownDifferences[] = {
    {"exiv2/2018-01-09-exiv2-crash-003.tiff", "image size",
     "ImageWidth is stored as SSHORT, which the engine does not take for a size (SHORT or LONG only); "
     "exiftool reads it anyway"},
};

bool isTIFFStructured(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(std::begin(kExtensions), std::end(kExtensions), extension) != std::end(kExtensions);
}

bool isTIFFReaderType(NRFFileType type) {
    const std::string code = NRFFileTypeString(type);
    return std::find(std::begin(kTIFFTypes), std::end(kTIFFTypes), code) != std::end(kTIFFTypes);
}

// The corpus files below both folders, as paths relative to the corpus folder, sorted.
std::vector<std::string> corpusFiles(const std::string& corpus) {
    std::vector<std::string> files;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + folder, ec))
            if (entry.is_regular_file() && isTIFFStructured(entry.path()))
                files.push_back(std::string(folder) + "/" + entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

struct ReadResult {
    std::string file; // relative to the corpus folder
    NRFErr result = 0;
    NRFImageInfoRef record;
};

// Opens and reads every file from a copy in `folder`: the engine repairs a raw's IFD0 pointer in place,
// and the shared corpus must stay as it is. The records of the files that read are kept.
std::vector<ReadResult> readAll(const std::string& corpus, const std::vector<std::string>& files,
                                const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<ReadResult> results;
    for (const std::string& file : files) {
        const std::string path = folder + "/" + file;
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(corpus + "/" + file, path, fs::copy_options::overwrite_existing);
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        ReadResult read{file};
        read.result = NRFOpenImage(path.c_str(), 0, &read.record);
        if (read.result == kNRFErrNone)
            read.result = NRFGetImageInfo(read.record.get());
        if (read.result != kNRFErrNone)
            NRFCloseImage(&read.record);
        results.push_back(std::move(read));
    }
    return results;
}

// ---- exiftool's reading of one file ---------------------------------------------------------------
//
// exiftool runs with -G0:1 -a, so every value is named by its family ("EXIF", "MakerNotes",
// "Composite", "XMP") and its directory ("IFD0", "ExifIFD", "SubIFD1", "GPS") and duplicates stay
// apart: the test can tell IFD0's ImageWidth from the raw SubIFD's, and never takes a value from
// a maker note or from XMP for one the engine reads from the EXIF structure.

class ExiftoolFile {
public:
    explicit ExiftoolFile(const json& values) : m_values(values) {}

    // The value of `tag` in the EXIF directory `directory`, or null.
    const json* exif(const std::string& directory, const std::string& tag) const {
        return value("EXIF:" + directory + ":" + tag);
    }
    // The value of `tag` in the first of `directories` that has it; with none given, in IFD0 and then
    // any other EXIF directory.
    const json* exifFirst(const std::string& tag, std::initializer_list<const char*> directories = {}) const {
        for (const char* directory : directories)
            if (const json* value = exif(directory, tag))
                return value;
        if (directories.size() != 0)
            return nullptr;
        if (const json* value = exif("IFD0", tag))
            return value;
        for (const auto& [key, value] : m_values.items())
            if (key.starts_with("EXIF:") && key.ends_with(":" + tag))
                return &value;
        return nullptr;
    }
    // Any value by its full key ("Composite:ImageWidth"), or null.
    const json* value(const std::string& key) const {
        const auto it = m_values.find(key);
        return it == m_values.end() ? nullptr : &*it;
    }
    // The EXIF directories exiftool found, with their SubfileType where they have one.
    std::map<std::string, std::optional<double>> directories() const;

private:
    const json& m_values;
};

std::optional<double> number(const json* value) {
    if (!value)
        return std::nullopt;
    if (value->is_number())
        return value->get<double>();
    if (value->is_string()) {
        // A value with several components ("100 200") stands for its first.
        const std::string text = value->get<std::string>();
        char* end = nullptr;
        const double parsed = std::strtod(text.c_str(), &end);
        if (end != text.c_str())
            return parsed;
    }
    return std::nullopt;
}

std::map<std::string, std::optional<double>> ExiftoolFile::directories() const {
    std::map<std::string, std::optional<double>> found;
    for (const auto& [key, value] : m_values.items()) {
        if (!key.starts_with("EXIF:"))
            continue;
        const std::size_t colon = key.find(':', 5);
        const std::string directory = key.substr(5, colon - 5);
        auto& subfileType = found[directory];
        if (key.substr(colon + 1) == "SubfileType")
            subfileType = number(&value);
    }
    return found;
}

// EXIF orientation to the engine's rotation code (quarter turns clockwise, plus 4 when mirrored).
int rotationCode(int orientation) {
    static const int codes[] = {0, 0, 4, 2, 6, 7, 1, 5, 3};
    return orientation >= 1 && orientation <= 8 ? codes[orientation] : -1;
}

std::string formatTime(const KLDateTime& t) {
    if (!t.isValid())
        return "(none)";
    char text[32];
    std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

std::string formatNumber(double value) {
    std::ostringstream text;
    text.precision(10);
    text << value;
    return text.str();
}

// Compares one file's record with exiftool's reading and tallies the values.
class Comparison {
public:
    struct Tally {
        int compared = 0, agreed = 0, excepted = 0;
    };

    Comparison(const std::string& file, const NRFImageInfoRec& record, const ExiftoolFile& tool, Tally& tally,
               std::vector<const KnownDifference*>& used)
        : m_file(file), m_record(record), m_tool(tool), m_tally(tally), m_used(used) {}

    void run() {
        compareText("make", m_record.m_make, m_tool.exifFirst("Make", {"IFD0"}));
        compareModel();
        compareCaptureTime();
        compareISO();
        compareFloat("exposure time", m_record.m_exposureTime, m_tool.exifFirst("ExposureTime"), 1e-4, 0);
        compareFloat("f-number", m_record.m_fNumber, m_tool.exifFirst("FNumber"), 1e-4, 0.005);
        compareFloat("focal length", m_record.m_focalLength, m_tool.exifFirst("FocalLength"), 1e-4, 0.005);
        compareOrientation();
        compareImageSize();
        compareGPS();
    }

private:
    void check(const std::string& field, bool agree, const std::string& ours, const std::string& theirs) {
        ++m_tally.compared;
        if (agree) {
            ++m_tally.agreed;
            return;
        }
        for (const KnownDifference& known : kKnownDifferences)
            if (m_file == known.file && field == known.field) {
                ++m_tally.excepted;
                m_used.push_back(&known);
                return;
            }
        ADD_FAILURE() << m_file << ": " << field << ": engine " << ours << ", exiftool " << theirs;
    }

    void compareText(const std::string& field, const std::string& ours, const json* theirs) {
        if (!theirs)
            return;
        // A value exiftool shows as a number was not stored as text, and the engine takes these only as
        // ASCII: it must have none.
        const std::string expected = theirs->is_string() ? theirs->get<std::string>() : std::string();
        check(field, ours == expected, "\"" + ours + "\"", theirs->dump());
    }

    void compareModel() {
        const json* theirs = m_tool.exifFirst("Model", {"IFD0"});
        if (!theirs || !theirs->is_string()) {
            compareText("model", m_record.m_model, theirs);
            return;
        }
        // The engine keeps Olympus "E-20" variants under the one name.
        std::string expected = theirs->get<std::string>();
        if (expected.starts_with("E-20"))
            expected = "E-20";
        check("model", m_record.m_model == expected, "\"" + m_record.m_model + "\"", "\"" + expected + "\"");
    }

    // DateTimeOriginal, else CreateDate (DateTimeDigitized), else ModifyDate (DateTime). A value that is
    // not an EXIF date ("YYYY:MM:DD HH:MM:SS") is passed over; with none left the engine has no time.
    void compareCaptureTime() {
        const json* theirs = nullptr;
        std::string expected = formatTime(KLDateTime{});
        for (const json* value : {m_tool.exifFirst("DateTimeOriginal"), m_tool.exifFirst("CreateDate"),
                                  m_tool.exifFirst("ModifyDate", {"IFD0"})}) {
            if (!value || !value->is_string())
                continue;
            if (!theirs)
                theirs = value;
            if (isExifDate(value->get<std::string>())) {
                theirs = value;
                expected = value->get<std::string>().substr(0, 19);
                break;
            }
        }
        if (theirs)
            check("capture time", formatTime(m_record.m_captureTime) == expected,
                  formatTime(m_record.m_captureTime), theirs->dump());
    }

    static bool isExifDate(const std::string& text) {
        static const char pattern[] = "dddd:dd:dd dd:dd:dd";
        if (text.size() < 19 || text.starts_with("0000"))
            return false;
        for (std::size_t i = 0; i < 19; ++i)
            if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                                  : text[i] != pattern[i])
                return false;
        return true;
    }

    // PhotographicSensitivity, replaced by the value that SensitivityType names.
    void compareISO() {
        std::optional<double> expected = number(m_tool.exifFirst("ISO"));
        if (expected && *expected < 8)
            expected.reset();
        const std::optional<double> type = number(m_tool.exifFirst("SensitivityType"));
        const int t = type ? static_cast<int>(*type) : 0;
        if (t == 1 || t == 4 || t == 5 || t == 7)
            if (auto v = number(m_tool.exifFirst("StandardOutputSensitivity")))
                expected = v;
        if (t == 2 || t == 4 || t == 6 || t == 7)
            if (auto v = number(m_tool.exifFirst("RecommendedExposureIndex")))
                expected = v;
        if (auto v = number(m_tool.exifFirst("ISOSpeed")))
            expected = v;
        if (!expected)
            return;
        check("ISO", m_record.m_iso == static_cast<std::uint32_t>(*expected),
              m_record.m_iso ? std::to_string(*m_record.m_iso) : "(none)", formatNumber(*expected));
    }

    void compareFloat(const std::string& field, std::optional<float> ours, const json* theirs,
                      double relative, double absolute) {
        const std::optional<double> expected = number(theirs);
        if (!expected)
            return;
        const double tolerance = std::max(absolute, std::abs(*expected) * relative);
        check(field, ours && std::abs(*ours - *expected) <= tolerance, ours ? formatNumber(*ours) : "(none)",
              formatNumber(*expected));
    }

    void compareOrientation() {
        const std::optional<double> orientation = number(m_tool.exifFirst("Orientation", {"IFD0"}));
        if (!orientation)
            return;
        const int expected = rotationCode(static_cast<int>(*orientation));
        if (expected < 0) // out of range: the engine ignores it and keeps 0
            check("orientation", m_record.m_orientation == 0, std::to_string(m_record.m_orientation), "0");
        else
            check("orientation", m_record.m_orientation == expected, std::to_string(m_record.m_orientation),
                  std::to_string(expected) + " (EXIF " + formatNumber(*orientation) + ")");
    }

    // TIFF: IFD0's ImageWidth and ImageLength. A raw: the full-size image of the SubIFD marked as the
    // main image (SubfileType 0); for a Panasonic raw, the sensor area inside its borders (exiftool's
    // composite size); otherwise the pixel dimensions of the EXIF IFD (the raw size of a CR2 or IIQ,
    // whose IFD0 holds a preview or a placeholder); else IFD0. A raw turned a quarter is reported turned.
    void compareImageSize() {
        const std::string type = NRFFileTypeString(m_record.m_fileType);
        const bool raw = type != "TIFF";
        std::string mainSubIFD;
        for (const auto& [directory, subfileType] : m_tool.directories())
            if (mainSubIFD.empty() && directory.starts_with("SubIFD") && subfileType && *subfileType == 0 &&
                m_tool.exif(directory, "ImageWidth"))
                mainSubIFD = directory;
        std::string source = "IFD0";
        const json* width = m_tool.exif("IFD0", "ImageWidth");
        const json* height = m_tool.exif("IFD0", "ImageHeight");
        auto use = [&](const char* name, const json* w, const json* h) {
            source = name;
            width = w;
            height = h;
        };
        if (raw && !mainSubIFD.empty())
            use(mainSubIFD.c_str(), m_tool.exif(mainSubIFD, "ImageWidth"),
                m_tool.exif(mainSubIFD, "ImageHeight"));
        else if (raw && (type == "PRW2" || type == "PRAW" || type == "PRWL"))
            use("sensor borders", m_tool.value("Composite:ImageWidth"),
                m_tool.value("Composite:ImageHeight"));
        else if (raw && m_tool.exif("ExifIFD", "ExifImageWidth"))
            use("ExifIFD", m_tool.exif("ExifIFD", "ExifImageWidth"),
                m_tool.exif("ExifIFD", "ExifImageHeight"));
        std::optional<double> w = number(width), h = number(height);
        if (!w || !h)
            return;
        if (raw && (m_record.m_orientation & 1))
            std::swap(w, h);
        const auto expectedWidth = static_cast<std::uint32_t>(*w),
                   expectedHeight = static_cast<std::uint32_t>(*h);
        check("image size", m_record.m_width == expectedWidth && m_record.m_height == expectedHeight,
              std::to_string(m_record.m_width) + "x" + std::to_string(m_record.m_height),
              std::to_string(expectedWidth) + "x" + std::to_string(expectedHeight) + " (" + source + ")");
    }

    void compareGPS() {
        const auto latitude = number(m_tool.exif("GPS", "GPSLatitude"));
        const auto longitude = number(m_tool.exif("GPS", "GPSLongitude"));
        const auto altitude = number(m_tool.exif("GPS", "GPSAltitude"));
        auto reference = [&](const char* tag) {
            const json* value = m_tool.exif("GPS", tag);
            return value && value->is_string() ? value->get<std::string>() : std::string();
        };
        if (latitude) {
            const double expected = reference("GPSLatitudeRef") == "S" ? -*latitude : *latitude;
            check("GPS latitude", m_record.m_hasGPS && std::abs(m_record.m_latitude - expected) < 1e-6,
                  m_record.m_hasGPS ? formatNumber(m_record.m_latitude) : "(none)", formatNumber(expected));
        }
        if (longitude) {
            const double expected = reference("GPSLongitudeRef") == "W" ? -*longitude : *longitude;
            check("GPS longitude", m_record.m_hasGPS && std::abs(m_record.m_longitude - expected) < 1e-6,
                  m_record.m_hasGPS ? formatNumber(m_record.m_longitude) : "(none)", formatNumber(expected));
        }
        if (altitude) {
            const auto ref = number(m_tool.exif("GPS", "GPSAltitudeRef"));
            const double expected = ref && *ref == 1 ? -*altitude : *altitude;
            const bool agree = m_record.m_altitude && std::abs(*m_record.m_altitude - expected) < 0.01;
            check("GPS altitude", agree, m_record.m_altitude ? formatNumber(*m_record.m_altitude) : "(none)",
                  formatNumber(expected));
        }
    }

    const std::string& m_file;
    const NRFImageInfoRec& m_record;
    const ExiftoolFile& m_tool;
    Tally& m_tally;
    std::vector<const KnownDifference*>& m_used;
};

class TIFFCorpusTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_corpus = lumo::test::corpusFolderOrFail();
        if (m_corpus.empty())
            GTEST_SKIP() << "no corpus";
        m_files = corpusFiles(m_corpus);
        ASSERT_FALSE(m_files.empty()) << "no TIFF-structured file in " << m_corpus;
        ASSERT_EQ(NRFInit(""), kNRFErrNone);
        m_initialised = true;
    }
    void TearDown() override {
        if (m_initialised)
            NRFTerminate();
    }

    std::string m_corpus;
    std::vector<std::string> m_files;
    lumo::test::TempDir m_copies;
    bool m_initialised = false;
};

TEST_F(TIFFCorpusTest, EveryFileGivesAResultCode) {
    const std::vector<ReadResult> results = readAll(m_corpus, m_files, m_copies.path());
    std::map<NRFErr, int> byResult;
    std::ostringstream failed;
    for (const ReadResult& read : results) {
        ++byResult[read.result];
        if (read.result != kNRFErrNone)
            failed << " " << read.file << " (" << read.result << ")";
        // The record of a file that read is whole enough to describe.
        if (read.record) {
            std::vector<std::pair<std::string, CILA::VObject>> fields;
            describeImageInfo(*read.record, fields);
        }
    }
    std::ostringstream summary;
    for (const auto& [result, count] : byResult)
        summary << " " << count << " x " << result;
    std::printf("TIFF corpus: %zu files read, results:%s\n  not read:%s\n", results.size(),
                summary.str().c_str(), failed.str().c_str());
}

TEST_F(TIFFCorpusTest, ValuesAgreeWithExiftool) {
    const std::vector<ReadResult> results = readAll(m_corpus, m_files, m_copies.path());
    std::vector<const ReadResult*> compared;
    std::vector<std::string> args = {"-n", "-G0:1", "-a"};
    for (const char* tag : {"Make",
                            "Model",
                            "DateTimeOriginal",
                            "CreateDate",
                            "ModifyDate",
                            "ISO",
                            "SensitivityType",
                            "StandardOutputSensitivity",
                            "RecommendedExposureIndex",
                            "ISOSpeed",
                            "ExposureTime",
                            "FNumber",
                            "FocalLength",
                            "Orientation",
                            "SubfileType",
                            "ImageWidth",
                            "ImageHeight",
                            "ExifImageWidth",
                            "ExifImageHeight",
                            "GPSLatitude",
                            "GPSLatitudeRef",
                            "GPSLongitude",
                            "GPSLongitudeRef",
                            "GPSAltitude",
                            "GPSAltitudeRef"})
        args.push_back(std::string("-") + tag);
    for (const ReadResult& read : results)
        if (read.result == kNRFErrNone && isTIFFReaderType(read.record->m_fileType)) {
            compared.push_back(&read);
            args.push_back(m_corpus + "/" + read.file);
        }
    ASSERT_FALSE(compared.empty()) << "no corpus file read";

    const std::optional<json> exiftool = lumo::test::exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed (scripts/setup installs it)");
    const json& all = *exiftool;
    std::map<std::string, const json*> byPath;
    for (const json& file : all)
        if (file.contains("SourceFile"))
            byPath[file["SourceFile"].get<std::string>()] = &file;

    Comparison::Tally tally;
    std::vector<const KnownDifference*> used;
    for (const ReadResult* read : compared) {
        const auto it = byPath.find(m_corpus + "/" + read->file);
        if (it == byPath.end()) {
            ADD_FAILURE() << read->file << ": not in exiftool's output";
            continue;
        }
        const ExiftoolFile values(*it->second);
        Comparison(read->file, *read->record, values, tally, used).run();
    }
    for (const KnownDifference& known : kKnownDifferences)
        if (std::find(used.begin(), used.end(), &known) == used.end())
            ADD_FAILURE() << known.file << ": " << known.field
                          << ": listed as a known difference, but the engine and exiftool now agree or the "
                             "file is no longer compared: remove the entry";

    std::printf(
        "TIFF corpus against exiftool: %zu files (%zu read and compared), %d values compared, %d agreed, "
        "%d known differences\n",
        results.size(), compared.size(), tally.compared, tally.agreed, tally.excepted);
    for (const KnownDifference* known : used)
        std::printf("  known difference: %s: %s: %s\n", known->file, known->field, known->reason);
}

} // namespace
