// The EXIF blocks of every camera JPEG of the shared corpus read by the IFD parser and compared with
// what exiftool reads from the same files: the widest check the parser gets, since most cameras of the
// corpus are there as JPEGs only.

#include "NRF/EXIFUtils.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace lumo::test;

namespace {

std::vector<std::string> cameraJPEGs(const std::string& corpus) {
    std::vector<std::string> files;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(corpus + "/" + folder, ec)) {
            std::string ext = entry.path().extension().string();
            for (char& c : ext)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (entry.is_regular_file() && (ext == ".jpg" || ext == ".jpeg"))
                files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The EXIF block of a JPEG file read as the JPEG reader will read it: IFD0, the EXIF IFD, IFD1.
bool parseExif(const std::string& path, const std::string& bytes, NRFImageInfoRec& record) {
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    std::uint64_t tiffPos = 0, tiffLength = 0;
    if (!NRFFindJPEGExif(source, 0, 0, tiffPos, tiffLength))
        return false;
    record.m_path = path;
    NRFBasicTIFF tiff(source, tiffPos);
    if (!tiff.ReadHeader())
        return false;
    EXIFParseOptions options;
    options.fileType = kNRFTypeJPEG;
    options.segmentStart = tiffPos;
    options.segmentEnd = tiffPos + tiffLength;
    EXIFParser parser(record, tiff, options);
    if (parser.ParseIFD0() != 0)
        return false;
    parser.ParseExifIFD();
    parser.ParseIFD1();
    return true;
}

std::string dateText(const KLDateTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d:%02d:%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

} // namespace

TEST(EXIFCorpusTest, CameraJPEGsAgreeWithExiftool) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    const std::vector<std::string> files = cameraJPEGs(corpus);
    ASSERT_FALSE(files.empty());

    std::vector<std::string> args = {"-n", "-G1", "-q", "-q", "-m"};
    args.insert(args.end(), files.begin(), files.end());
    const std::optional<nlohmann::json> exiftool = exiftoolJson(args);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const nlohmann::json& reference = *exiftool;
    std::map<std::string, nlohmann::json> byFile;
    for (const auto& entry : reference)
        if (entry.contains("SourceFile"))
            byFile[entry["SourceFile"].get<std::string>()] = entry;

    int parsed = 0, compared = 0;
    std::vector<std::string> disagreements;
    for (const std::string& path : files) {
        const std::string bytes = readWholeFile(path);
        NRFImageInfoRec record;
        if (!parseExif(path, bytes, record))
            continue; // no EXIF block, or not a JPEG at all (the corpus has TIFF and .exv files named .jpg)
        ++parsed;
        const auto found = byFile.find(path);
        if (found == byFile.end())
            continue;
        const nlohmann::json& ref = found->second;
        // exiftool's value of a key, when it has one of the expected kind.
        const auto text = [&](const char* key, std::string& out) {
            if (!ref.contains(key) || !ref[key].is_string())
                return false;
            out = ref[key].get<std::string>();
            while (!out.empty() && out.back() == ' ')
                out.pop_back();
            return !out.empty();
        };
        const auto number = [&](const char* key, double& out) {
            if (!ref.contains(key) || !ref[key].is_number())
                return false;
            out = ref[key].get<double>();
            return true;
        };
        const auto disagree = [&](const char* field, const std::string& ours, const std::string& theirs) {
            disagreements.push_back(fs::path(path).filename().string() + ": " + field + " lumo=\"" + ours +
                                    "\" exiftool=\"" + theirs + "\"");
        };
        std::string s;
        double d = 0;
        // exiftool shows bytes that are not UTF-8 as '?', the engine reads them as Latin-1.
        if (text("IFD0:Make", s) && s.find('?') == std::string::npos && ++compared && s != record.m_make)
            disagree("make", record.m_make, s);
        if (text("IFD0:Model", s) && ++compared && s != record.m_model && record.m_model != "E-20")
            disagree("model", record.m_model, s);
        // The capture time: the original, else the digitized, else IFD0's DateTime.
        std::string expectedDate;
        if (text("ExifIFD:DateTimeOriginal", s) || text("ExifIFD:CreateDate", s) ||
            text("IFD0:ModifyDate", s))
            expectedDate = s;
        if (expectedDate.size() >= 19 && expectedDate.compare(0, 4, "0000") != 0 && expectedDate[0] != ' ') {
            ++compared;
            // Some writers use other separators ("2004-07-13T21:23:44Z"); the engine takes any.
            for (const std::size_t at : {4u, 7u})
                expectedDate[at] = ':';
            expectedDate[10] = ' ';
            for (const std::size_t at : {13u, 16u})
                expectedDate[at] = ':';
            if (!record.m_captureTime.isValid() ||
                dateText(record.m_captureTime) != expectedDate.substr(0, 19))
                disagree("captureTime", record.m_captureTime.isValid() ? dateText(record.m_captureTime) : "",
                         expectedDate);
        }
        const auto shown = [](const auto& value) { return value ? std::to_string(*value) : "(none)"; };
        // exiftool gives up on an EXIF IFD with an entry of an unknown type; the engine skips the entry.
        const bool exifIFDRead = !text("ExifTool:Warning", s) || s.find("ExifIFD") == std::string::npos;
        // A value where exiftool found it: the EXIF IFD, or IFD0 where some writers put it.
        const auto exifNumber = [&](const std::string& name, double& out) {
            return number(("ExifIFD:" + name).c_str(), out) || number(("IFD0:" + name).c_str(), out);
        };
        // The newer sensitivity values replace ISO by their own rule; compare the plain case.
        if (number("ExifIFD:ISO", d) && d >= 8 && !ref.contains("ExifIFD:SensitivityType") &&
            !ref.contains("ExifIFD:ISOSpeed") && ++compared && record.m_iso != static_cast<std::uint32_t>(d))
            disagree("iso", shown(record.m_iso), std::to_string(d));
        const std::tuple<const char*, const std::optional<float>*, double, double> reals[] = {
            {"ExifIFD:ExposureTime", &record.m_exposureTime, 1e-6, 1e-4},
            {"ExifIFD:FNumber", &record.m_fNumber, 0.01, 0},
            {"ExifIFD:FocalLength", &record.m_focalLength, 0.01, 0}};
        for (const auto& [key, ours, absolute, relative] : reals)
            if (number(key, d) && d > 0 && ++compared &&
                (!*ours || std::fabs(**ours - d) > absolute + d * relative))
                disagree(key, shown(*ours), std::to_string(d));
        // Coded values are there exactly when the file holds them: 0 is a value of its own (no flash,
        // auto white balance), never a stand-in for "not recorded".
        const std::pair<const char*, const std::optional<std::uint16_t>*> codes[] = {
            {"Flash", &record.m_flash},
            {"MeteringMode", &record.m_meteringMode},
            {"LightSource", &record.m_lightSource},
            {"WhiteBalance", &record.m_whiteBalance}};
        for (const auto& [key, ours] : codes) {
            if (!exifIFDRead)
                break;
            ++compared;
            const bool theirs = exifNumber(key, d);
            if (theirs ? *ours != static_cast<std::uint16_t>(d) : ours->has_value())
                disagree(key, shown(*ours), theirs ? std::to_string(d) : "(none)");
        }
        const bool hasBias = exifNumber("ExposureCompensation", d);
        const auto& bias = record.m_exposureBias;
        if (exifIFDRead && ++compared &&
            (hasBias ? !bias || std::fabs(*bias - d) > 0.01 + std::fabs(d) * 1e-6 : bias.has_value()))
            disagree("exposureBias", shown(bias), hasBias ? std::to_string(d) : "(none)");
        if (number("IFD0:Orientation", d) && d >= 1 && d <= 8 && ++compared &&
            record.m_orientation != EXIFOrientationToRotation(static_cast<unsigned>(d)))
            disagree("orientation", std::to_string(record.m_orientation), std::to_string(d));
        double lat = 0, lon = 0;
        if (number("Composite:GPSLatitude", lat) && number("Composite:GPSLongitude", lon)) {
            ++compared;
            if (!record.m_hasGPS || std::fabs(record.m_latitude - lat) > 1e-6 ||
                std::fabs(record.m_longitude - lon) > 1e-6)
                disagree("gps", std::to_string(record.m_latitude) + "," + std::to_string(record.m_longitude),
                         std::to_string(lat) + "," + std::to_string(lon));
        }
        if (number("Composite:GPSAltitude", d) && ref.contains("GPS:GPSAltitudeRef") && ++compared &&
            (!record.m_altitude || std::fabs(*record.m_altitude - d) > 1e-3))
            disagree("altitude", record.m_altitude ? std::to_string(*record.m_altitude) : "",
                     std::to_string(d));
    }
    std::printf("EXIF blocks of %zu JPEGs: %d parsed, %d values compared with exiftool, %zu disagree\n",
                files.size(), parsed, compared, disagreements.size());
    for (const std::string& line : disagreements)
        ADD_FAILURE() << line;
    EXPECT_GT(parsed, 100);
}
