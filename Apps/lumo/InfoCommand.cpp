#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFImagePrefs.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFXMPRating.h"
#include "metadata/PhotoMetadata.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct InfoOptions {
    FileArguments files;
    bool strictExif = false;
};

// Where the prefs shown for a file came from, beside what the record holds.
struct PrefsSources {
    std::string prefsFile;    // the ".XIP" sidecar that was read
    std::string prefsError;   // why it could not be read
    std::string rotationFrom; // "file", "prefs" or "xmp"; empty for the default
    std::string ratingFrom;   // "file", "prefs", "xmp" or "xmpSidecar"; empty for the default
};

// The prefs the program keeps for the file: its ".XIP" sidecar (every type but JPEG, whose prefs live in
// its XMP) and the rating of its XMP. A rotation the file holds itself stays: a sidecar may be shared
// with another photo of the same name and hold that one's.
PrefsSources loadPrefs(NRFImageInfoRec& record) {
    PrefsSources sources;
    const bool rotationInFile = record.m_rotationFromFile || record.m_orientationPosCount != 0;
    const std::int16_t fileRotation = record.m_orientation;
    if (rotationInFile)
        sources.rotationFrom = "file";
    if (record.m_rating != 0)
        sources.ratingFrom = "file"; // a movie's own rating
    if (record.m_fileType != kNRFTypeJPEG) {
        const std::int16_t rating = record.m_rating;
        const NRFErr err = NRFLoadXMLPrefs(&record);
        if (err == kNRFErrNone) {
            sources.prefsFile = NRFXIPSidecarPath(record.m_path, true);
            if (rotationInFile)
                record.m_orientation = fileRotation;
            else
                sources.rotationFrom = "prefs";
            if (record.m_rating != rating)
                sources.ratingFrom = "prefs";
        } else if (err != kNRFErrOpen) { // 5: there is none
            sources.prefsFile = NRFXIPSidecarPath(record.m_path, true);
            sources.prefsError = engineFailureText(err, sources.prefsFile);
        }
    }
    if (record.m_fileType == kNRFTypeJPEG) {
        // A JPEG's prefs live in its XMP (and IIM 2:221): tag, colour class, crop, and the rotation when
        // its EXIF has none.
        const std::int16_t orientation = record.m_orientation;
        if (IPTCLoadPhotoState(&record) == kNRFErrNone && !rotationInFile &&
            record.m_orientation != orientation)
            sources.rotationFrom = "xmp";
    }
    NRFXMPRating xmp;
    if (NRFReadXMPRating(record, xmp) == kNRFErrNone && xmp.rating) {
        record.m_rating = static_cast<std::int16_t>(*xmp.rating);
        sources.ratingFrom = xmp.sidecar.empty() ? "xmp" : "xmpSidecar";
    }
    return sources;
}

// One file's record as name/value pairs in output order, or the failure object. Answers the engine's
// result.
NRFErr describeFile(const std::string& path, nlohmann::ordered_json& out) {
    NRFImageInfoRef record;
    NRFErr err = NRFOpenImage(path.c_str(), 0, &record);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(record.get());
    std::string description;
    if (record)
        NRFGetDescription(record->m_fileType, &description);
    if (err != kNRFErrNone) {
        // What a failed reading left in the record is not the file's: only the failure is shown.
        out = failureJson(path, err, engineFailureText(err, path, description));
        NRFCloseImage(&record);
        return err;
    }
    const PrefsSources sources = loadPrefs(*record);
    out = nlohmann::ordered_json::object();
    out["path"] = path;
    out["type"] = NRFFileTypeString(record->m_fileType);
    out["typeDescription"] = description;
    std::vector<std::pair<std::string, CILA::VObject>> fields;
    describeImageInfo(*record, fields);
    for (const auto& [name, value] : fields) {
        if (name == "tag") {
            if (!sources.prefsFile.empty())
                out["prefsFile"] = sources.prefsFile;
            if (!sources.prefsError.empty())
                out["prefsError"] = sources.prefsError;
        }
        out[name] = toJson(value);
        if (name == "rotation" && !sources.rotationFrom.empty())
            out["rotationFrom"] = sources.rotationFrom;
        if (name == "rating" && !sources.ratingFrom.empty())
            out["ratingFrom"] = sources.ratingFrom;
    }
    NRFCloseImage(&record);
    return kNRFErrNone;
}

// ---- the readable form: "label: value", one field a line

// The label of a JSON key: its words ("displayWidth" -> "display width"), or the name photographers use.
std::string label(const std::string& key) {
    static const std::pair<const char*, const char*> kLabels[] = {
        {"fNumber", "f-number"},
        {"iso", "ISO"},
        {"focalLength35", "focal length (35 mm)"},
        {"meteringMode", "metering"},
        {"whiteMode", "white balance mode"},
        {"toneComp", "tone compensation"},
        {"kelvin", "colour temperature"},
        {"colorMode", "colour mode"},
        {"colorSpace", "colour space"},
        {"colorProfile", "colour profile"},
        {"colorClass", "colour class"},
        {"gps", "GPS"},
        {"iptc", "IPTC"},
        {"xmp", "XMP"},
        {"iccProfile", "ICC profile"},
        {"hasXmpSidecar", "XMP sidecar"},
        {"malformed", "malformed EXIF entries"},
    };
    for (const auto& [name, words] : kLabels)
        if (key == name)
            return words;
    std::string words;
    for (const char c : key) {
        if (std::isupper(static_cast<unsigned char>(c))) {
            words += ' ';
            words += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            words += c;
        }
    }
    return words;
}

// The name of a coded value in EXIF's words, or empty for a code without one.
std::string codeName(const std::string& key, std::int64_t code) {
    using Names = std::vector<std::pair<std::int64_t, const char*>>;
    static const std::vector<std::pair<const char*, Names>> kTables = {
        {"meteringMode",
         {{0, "unknown"},
          {1, "average"},
          {2, "centre-weighted average"},
          {3, "spot"},
          {4, "multi-spot"},
          {5, "pattern"},
          {6, "partial"},
          {255, "other"}}},
        {"lightSource",
         {{0, "unknown"},
          {1, "daylight"},
          {2, "fluorescent"},
          {3, "tungsten"},
          {4, "flash"},
          {9, "fine weather"},
          {10, "cloudy"},
          {11, "shade"},
          {12, "daylight fluorescent"},
          {13, "day white fluorescent"},
          {14, "cool white fluorescent"},
          {15, "white fluorescent"},
          {16, "warm white fluorescent"},
          {17, "standard light A"},
          {18, "standard light B"},
          {19, "standard light C"},
          {20, "D55"},
          {21, "D65"},
          {22, "D75"},
          {23, "D50"},
          {24, "ISO studio tungsten"},
          {255, "other"}}},
        {"whiteBalance", {{0, "auto"}, {1, "manual"}}},
        {"exposureProgram",
         {{0, "not defined"},
          {1, "manual"},
          {2, "normal program"},
          {3, "aperture priority"},
          {4, "shutter priority"},
          {5, "creative"},
          {6, "action"},
          {7, "portrait"},
          {8, "landscape"},
          {9, "bulb"}}},
        {"colorSpace", {{1, "sRGB"}, {2, "Adobe RGB"}, {0xFFFF, "uncalibrated"}}},
        {"orientation",
         {{1, "normal"},
          {2, "mirror horizontal"},
          {3, "rotate 180"},
          {4, "mirror vertical"},
          {5, "mirror horizontal and rotate 270 CW"},
          {6, "rotate 90 CW"},
          {7, "mirror horizontal and rotate 90 CW"},
          {8, "rotate 270 CW"}}},
    };
    if (key == "flash") {
        // Bit 0 fired, bits 1-2 the return light, bits 3-4 the mode, bit 5 no flash, bit 6 red-eye.
        if (code & 0x20)
            return "no flash function";
        static const char* const kModes[] = {"", "on, ", "off, ", "auto, "};
        std::string text = std::string(kModes[(code >> 3) & 3]) + (code & 1 ? "fired" : "did not fire");
        if (((code >> 1) & 3) == 2)
            text += ", return not detected";
        else if (((code >> 1) & 3) == 3)
            text += ", return detected";
        if (code & 0x40)
            text += ", red-eye reduction";
        return text;
    }
    if (key == "rotation" && code >= 0 && code <= 7) {
        // The stored picture is mirrored first (bit 2), then turned clockwise by the low bits.
        static const char* const kTurns[] = {"", "turned 90° clockwise", "turned 180°",
                                             "turned 90° counter-clockwise"};
        if (code == 0)
            return "none";
        if (code == 4)
            return "mirrored left to right";
        return std::string(code & 4 ? "mirrored left to right, then " : "") + kTurns[code & 3];
    }
    for (const auto& [table, names] : kTables)
        if (key == table)
            for (const auto& [value, name] : names)
                if (value == code)
                    return name;
    return {};
}

std::string numberText(const nlohmann::ordered_json& value) {
    return jsonText(value);
}

std::string plainValue(const std::string& key, const nlohmann::ordered_json& value);

// Members in the order people read them (left before top, latitude before longitude), then the rest.
std::string plainObject(const nlohmann::ordered_json& object) {
    static const char* const kOrder[] = {"left",   "top",      "right",     "bottom",   "angle",
                                         "ratio",  "latitude", "longitude", "altitude", "offset",
                                         "length", "width",    "height"};
    std::vector<std::string> keys;
    for (const auto& [key, member] : object.items())
        keys.push_back(key);
    const auto rank = [](const std::string& key) {
        const auto at = std::find(std::begin(kOrder), std::end(kOrder), key);
        return static_cast<int>(at - std::begin(kOrder));
    };
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
    std::string text;
    for (const std::string& key : keys)
        text += (text.empty() ? "" : ", ") + label(key) + " " + plainValue(key, object[key]);
    return text;
}

// A value as the readable form shows it: texts on one line, coded values by their names, numbers with
// their units.
std::string plainValue(const std::string& key, const nlohmann::ordered_json& value) {
    if (value.is_string())
        return oneLine(value.get<std::string>());
    if (value.is_boolean())
        return value.get<bool>() ? "yes" : "no";
    if (value.is_object())
        return plainObject(value);
    if (value.is_array()) {
        if (key == "ratio" && value.size() == 2)
            return numberText(value[0]) + ":" + numberText(value[1]);
        std::string text;
        for (const auto& element : value)
            text += (text.empty() ? "" : ", ") + plainValue({}, element);
        return text;
    }
    if (value.is_number_integer() || value.is_number_unsigned()) {
        if (std::string name = codeName(key, value.get<std::int64_t>()); !name.empty())
            return name;
    }
    if (!value.is_number())
        return numberText(value);
    const double number = value.get<double>();
    // Short exposures as photographers write them: 1/250 s.
    if (key == "exposureTime" && number > 0 && number < 0.25001)
        return "1/" + std::to_string(std::lround(1 / number)) + " s";
    if (key == "exposureTime" || key == "duration")
        return numberText(value) + " s";
    if (key == "fNumber")
        return "f/" + numberText(value);
    if (key == "focalLength" || key == "focalLength35")
        return numberText(value) + " mm";
    if (key == "exposureBias")
        return (number > 0 ? "+" : "") + numberText(value) + " EV";
    if (key == "kelvin")
        return numberText(value) + " K";
    if (key == "fileSize")
        return numberText(value) + " bytes";
    return numberText(value);
}

void printReadable(const nlohmann::ordered_json& file) {
    for (const auto& [key, value] : file.items()) {
        if (key == "exposureProgramName")
            continue; // the exposure program's line names it
        std::printf("%s: %s\n", label(key).c_str(), plainValue(key, value).c_str());
    }
}

int runInfo(const CommonOptions& common, const InfoOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService); // the engine needs none of the other services
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    NRFGetContext().strictExif = options.strictExif;
    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    bool first = true;
    for (const FileArgument& argument : options.files.expand()) {
        const std::string& path = argument.path;
        nlohmann::ordered_json file;
        if (argument.error) { // a path that could not be looked at, a folder or a list not read
            file = failureJson(path, argument.result, errnoText(argument.error));
            status = kExitSomeFailed;
            reportFailure(path, file["error"].get<std::string>());
        } else if (describeFile(path, file) != kNRFErrNone) {
            status = kExitSomeFailed;
            reportFailure(path, file["error"].get<std::string>());
        } else if (!common.json) {
            if (!first)
                std::printf("\n");
            first = false;
            printReadable(file);
        }
        if (const auto prefsError = file.find("prefsError"); prefsError != file.end())
            reportFailure(path, "its prefs are not shown: " + prefsError->get<std::string>());
        if (common.json)
            all.push_back(std::move(file));
    }
    if (common.json)
        std::cout << jsonText(all, 2) << '\n';
    std::fflush(stdout);
    return status;
}

} // namespace

void addInfoCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<InfoOptions>();
    CLI::App* info = lumo.add_subcommand("info", "Show what the image engine reads from each file");
    options->files.addTo(*info);
    info->add_flag("--strict-exif", options->strictExif,
                   "Fail a file with a malformed EXIF entry (result 10) instead of skipping the entry");
    info->callback(
        [&common, &action, options] { action = [&common, options] { return runInfo(common, *options); }; });
}
