// lumo rotate and lumo crop: each file is changed on the operation's own thread under the terminal
// progress window, one file a step; a file that fails is reported with the action's message and the
// others go on.

#include "EditCommand.h"

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFImagePrefs.h"
#include "NRF/NRFPlugin.h"
#include "PhotoOperation.h"
#include "TerminalProgressWindow.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "background/ThreadedWorker.h"
#include "metadata/PhotoMetadata.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

// What the user sees is the stored picture, mirrored when bit 2 is set, then turned clockwise by the
// low bits. Turning the view adds to the turns. Mirroring the view left-right reverses the turns made
// so far (a mirror image turned clockwise is the picture turned counter-clockwise, mirrored), and a
// top-bottom mirror is a left-right mirror followed by a half turn.
int rotatedCode(int code, RotateAction action) {
    const int turns = code & 3;
    const int mirrored = code & 4;
    switch (action) {
    case RotateAction::Clockwise:
        return mirrored | ((turns + 1) & 3);
    case RotateAction::CounterClockwise:
        return mirrored | ((turns + 3) & 3);
    case RotateAction::MirrorHorizontal:
        return (mirrored ^ 4) | ((4 - turns) & 3);
    case RotateAction::MirrorVertical:
        return (mirrored ^ 4) | ((6 - turns) & 3);
    }
    return code & 7;
}

int exifOrientationForCode(int code) {
    static constexpr int kOrientation[8] = {1, 6, 3, 8, 2, 7, 4, 5};
    return kOrientation[code & 7];
}

int codeForExifOrientation(int orientation) {
    static constexpr int kCode[8] = {0, 4, 2, 6, 7, 1, 5, 3};
    return orientation >= 1 && orientation <= 8 ? kCode[orientation - 1] : -1;
}

namespace {

enum class Edit {
    Clockwise,
    CounterClockwise,
    HalfTurn,
    SetRotation,
    MirrorHorizontal,
    MirrorVertical,
    SetCrop,
    RemoveCrop
};

const char* headingFor(Edit edit) {
    switch (edit) {
    case Edit::Clockwise:
        return "While rotating an image clockwise an error occurred:";
    case Edit::CounterClockwise:
        return "While rotating an image counter-clockwise an error occurred:";
    case Edit::HalfTurn:
        return "While rotating an image 180 degrees an error occurred:";
    case Edit::SetRotation:
        return "While setting rotation an error occurred:";
    case Edit::MirrorHorizontal:
        return "While mirroring an image horizontally an error occurred:";
    case Edit::MirrorVertical:
        return "While mirroring an image vertically an error occurred:";
    case Edit::SetCrop:
        return "While setting a crop an error occurred:";
    case Edit::RemoveCrop:
        return "While removing a crop an error occurred:";
    }
    return "An error occurred:";
}

bool isCrop(Edit edit) {
    return edit == Edit::SetCrop || edit == Edit::RemoveCrop;
}

struct EditOptions {
    FileArguments files;
    // rotate
    bool clockwise = false, counterClockwise = false, halfTurn = false, mirrorH = false, mirrorV = false;
    std::string set, orientation;
    // crop
    std::string rect, ratio;
    double angle = 0.0;
    bool remove = false;
};

// What is done to every file.
struct Request {
    Edit edit = Edit::Clockwise;
    int code = 0;           // SetRotation
    NRFNormalizedCrop crop; // SetCrop, RemoveCrop
};

struct ItemResult {
    std::string path;
    bool reached = false; // false for files a cancellation left untouched
    NRFErr result = kNRFErrNone;
    std::string error;
    int rotation = -1;
    NRFNormalizedCrop crop; // the crop kept
    bool draft = false;     // the crop went to the draft crop of a raw shown through its preview
    bool adjusted = false;  // the crop was narrowed to its ratio in this picture
    bool notAFile = false;  // an argument that stands for no file: `error` says why
};

// Raws shown through their embedded preview keep their crop apart, as the draft crop.
bool shownThroughPreview(NRFImageInfoRec& record) {
    const NRFFileTypeInfo* info = NRFGetFileTypeInfo(NRFFindFileType(record.m_fileType));
    if (info == nullptr || (info->capabilities & kNRFCapRawSidecar) == 0)
        return false;
    // A reader that cannot say (no such entry) does not render either.
    bool renders = false;
    NRFCanRender(&record, &renders);
    return !renders;
}

// `crop` with its shape made `crop.constraintWidth : constraintHeight` in a picture of `width` x `height`
// pixels (as stored), by narrowing the longer side about the crop's centre; false when it had that shape
// already (within half a percent) or the picture's size is not known.
bool fitCropToRatio(NRFNormalizedCrop& crop, std::uint32_t width, std::uint32_t height) {
    if (!crop.constrained || width == 0 || height == 0)
        return false;
    const double w = (crop.right - crop.left) * width, h = (crop.bottom - crop.top) * height;
    const double ratio = crop.constraintWidth / crop.constraintHeight;
    if (std::fabs(w / h - ratio) <= ratio * 0.005)
        return false;
    if (w / h > ratio) {
        const double centre = (crop.left + crop.right) / 2.0, half = h * ratio / width / 2.0;
        crop.left = centre - half;
        crop.right = centre + half;
    } else {
        const double centre = (crop.top + crop.bottom) / 2.0, half = w / ratio / height / 2.0;
        crop.top = centre - half;
        crop.bottom = centre + half;
    }
    return true;
}

class EditWorker : public CWorker {
public:
    // `filesDone` counts the files finished (changed, failed or skipped), for the progress shown.
    EditWorker(const Request& request, std::vector<ItemResult>& results,
               std::atomic<std::uint64_t>& filesDone)
        : m_request(request), m_results(results), m_filesDone(filesDone) {}

    bool DoStep() override {
        ItemResult& item = m_results[m_next];
        if (item.notAFile) {
            m_filesDone = ++m_next;
            return true;
        }
        item.reached = true;
        item.error.clear();
        item.result = kNRFErrNone;
        bool retryable = false;
        if (!editFile(item, retryable)) {
            ErrorReporter::Recorder::Record(headingFor(m_request.edit), item.error, item.path, retryable);
            return false;
        }
        m_filesDone = ++m_next;
        return true;
    }
    void SkipStep() override { m_filesDone = ++m_next; }
    bool IsDone() override { return m_next >= m_results.size(); }
    unsigned GetPercent() override {
        return m_results.empty() ? 100 : static_cast<unsigned>(m_next * 100 / m_results.size());
    }
    void GetStatusText(std::string& text) override {
        char line[96];
        std::snprintf(line, sizeof line, "Performing operation on %u of %u items...",
                      static_cast<unsigned>(m_next + 1), static_cast<unsigned>(m_results.size()));
        text = line;
    }

private:
    bool editFile(ItemResult& item, bool& retryable) {
        NRFImageInfoRef record;
        NRFErr err = NRFOpenImage(item.path.c_str(), 0, &record);
        if (err == kNRFErrNone)
            err = NRFGetImageInfo(record.get());
        bool done = false;
        if (err != kNRFErrNone)
            fail(item, err, engineFailureText(err, item.path));
        else
            done = isCrop(m_request.edit) ? crop(*record, item) : rotate(*record, item, retryable);
        NRFCloseImage(&record);
        return done;
    }

    // Brings in the prefs already kept beside the file, so that saving keeps what this edit leaves. A
    // sidecar that is there but cannot be read stops the edit: writing one would lose what it holds.
    static bool loadPrefs(NRFImageInfoRec& record, ItemResult& item) {
        const NRFErr err = NRFLoadXMLPrefs(&record);
        if (err == kNRFErrNone || err == kNRFErrOpen) // 5: there are none yet
            return true;
        return fail(item, err,
                    "the image prefs beside the file could not be read (" +
                        engineFailureText(err, NRFXIPSidecarPath(record.m_path, true)) +
                        "); they are left as they are");
    }

    // A JPEG's state (tag, rating, rotation, crop) as its XMP and IIM hold it, so that saving keeps it.
    static bool loadPhotoState(NRFImageInfoRec& record, ItemResult& item) {
        if (const NRFErr err = IPTCLoadPhotoState(&record); err != kNRFErrNone)
            return fail(item, err, engineFailureText(err, item.path));
        return true;
    }

    static bool savePrefs(NRFImageInfoRec& record, ItemResult& item) {
        if (const NRFErr err = NRFSaveImagePrefs(&record); err != kNRFErrNone)
            return fail(item, err, engineFailureText(err, item.path));
        return true;
    }

    // The item failed with `result`, for the reason `error`; answers false.
    static bool fail(ItemResult& item, NRFErr result, std::string error) {
        item.result = result;
        item.error = std::move(error);
        return false;
    }

    bool rotate(NRFImageInfoRec& record, ItemResult& item, bool& retryable) {
        const bool jpeg = record.m_fileType == kNRFTypeJPEG;
        const bool inFile = record.m_orientationPosCount != 0;
        // A file that holds its own orientation starts from it: the sidecar may be shared with another
        // photo of the same name (a raw and its JPEG or HEIF) and hold that one's rotation.
        const int fromFile = record.m_orientation & 7;
        if (jpeg && !loadPhotoState(record, item))
            return false;
        if (!jpeg && !loadPrefs(record, item))
            return false;
        const int current = inFile ? fromFile : record.m_orientation & 7;
        int code = m_request.code;
        switch (m_request.edit) {
        case Edit::Clockwise:
            code = rotatedCode(current, RotateAction::Clockwise);
            break;
        case Edit::CounterClockwise:
            code = rotatedCode(current, RotateAction::CounterClockwise);
            break;
        case Edit::HalfTurn:
            code = rotatedCode(rotatedCode(current, RotateAction::Clockwise), RotateAction::Clockwise);
            break;
        case Edit::MirrorHorizontal:
            code = rotatedCode(current, RotateAction::MirrorHorizontal);
            break;
        case Edit::MirrorVertical:
            code = rotatedCode(current, RotateAction::MirrorVertical);
            break;
        default:
            break;
        }
        // A JPEG keeps its rotation in its own orientation values and its XMP; every other type keeps
        // it in its prefs as well, written together with the file so that a failure leaves both as
        // they were.
        const NRFErr err = IPTCSetPhotoRotation(&record, code);
        if (err != kNRFErrNone) {
            retryable = err == 6; // a file or sidecar could not be written: the user may fix that
            return fail(item, err, engineFailureText(err, item.path));
        }
        item.rotation = code;
        return true;
    }

    bool crop(NRFImageInfoRec& record, ItemResult& item) {
        bool canCrop = false;
        if (NRFCanCrop(&record, &canCrop) != kNRFErrNone || !canCrop)
            return fail(item, kResultNotPossible, "This type of file cannot carry a crop");
        // A JPEG keeps its crop in its XMP, the other types in a ".XIP" file beside them.
        if (record.m_fileType == kNRFTypeJPEG ? !loadPhotoState(record, item) : !loadPrefs(record, item))
            return false;
        item.draft = shownThroughPreview(record);
        item.crop = m_request.crop;
        // The crop is kept with its ratio, which the crop's editor holds it to: it must have that shape.
        item.adjusted = fitCropToRatio(item.crop, record.m_width, record.m_height);
        (item.draft ? record.m_draftCrop : record.m_crop) = item.crop;
        return savePrefs(record, item);
    }

    const Request& m_request;
    std::vector<ItemResult>& m_results;
    std::atomic<std::uint64_t>& m_filesDone;
    std::size_t m_next = 0;
};

// A finite number filling all of `text`.
bool parseNumber(const std::string& text, double& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

// Numbers separated by `separator`, exactly `count` of them.
bool parseNumbers(const std::string& text, char separator, std::size_t count, std::vector<double>& values) {
    values.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        double value = 0.0;
        if (!parseNumber(text.substr(start, end == std::string::npos ? std::string::npos : end - start),
                         value))
            return false;
        values.push_back(value);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return values.size() == count;
}

int usage(const char* message) {
    std::fprintf(stderr, "lumo: %s\n", message);
    return kExitBadUsage;
}

// The request the options describe; false (after saying why) when they do not make one.
bool rotateRequest(const EditOptions& options, Request& request) {
    const int chosen = options.clockwise + options.counterClockwise + options.halfTurn + options.mirrorH +
                       options.mirrorV + !options.orientation.empty() + !options.set.empty();
    if (chosen != 1) {
        usage(
            "give exactly one of --cw, --ccw, --180, --mirror-h, --mirror-v, --orientation N and --set CODE");
        return false;
    }
    if (options.clockwise)
        request.edit = Edit::Clockwise;
    else if (options.counterClockwise)
        request.edit = Edit::CounterClockwise;
    else if (options.halfTurn)
        request.edit = Edit::HalfTurn;
    else if (!options.orientation.empty()) {
        const int code =
            options.orientation.size() == 1 ? codeForExifOrientation(options.orientation[0] - '0') : -1;
        if (code < 0) {
            usage("--orientation takes an EXIF orientation from 1 to 8: 1 upright, 6 turned a quarter "
                  "clockwise, 3 a half, 8 a quarter counter-clockwise; 2, 4, 7 and 5 are 1, 3, 6 and 8 "
                  "mirrored");
            return false;
        }
        request.edit = Edit::SetRotation;
        request.code = code;
    } else if (options.mirrorH)
        request.edit = Edit::MirrorHorizontal;
    else if (options.mirrorV)
        request.edit = Edit::MirrorVertical;
    else {
        if (options.set.size() != 1 || options.set[0] < '0' || options.set[0] > '7') {
            usage("--set takes a rotation code from 0 to 7 (quarter turns clockwise, plus 4 when mirrored)");
            return false;
        }
        request.edit = Edit::SetRotation;
        request.code = options.set[0] - '0';
    }
    return true;
}

bool cropRequest(const EditOptions& options, Request& request) {
    if (options.remove == !options.rect.empty()) {
        usage("give either --rect L,T,R,B or --remove");
        return false;
    }
    if (options.remove) {
        request.edit = Edit::RemoveCrop;
        request.crop = NRFNormalizedCrop{};
        return true;
    }
    std::vector<double> v;
    if (!parseNumbers(options.rect, ',', 4, v) || !(0.0 <= v[0] && v[0] < v[2] && v[2] <= 1.0) ||
        !(0.0 <= v[1] && v[1] < v[3] && v[3] <= 1.0)) {
        usage("--rect takes L,T,R,B as fractions of the unrotated image with 0 <= L < R <= 1 and "
              "0 <= T < B <= 1");
        return false;
    }
    if (!std::isfinite(options.angle) || options.angle < -45.0 || options.angle > 45.0) {
        usage("--angle takes degrees from -45 to 45");
        return false;
    }
    request.edit = Edit::SetCrop;
    NRFNormalizedCrop& crop = request.crop;
    crop.left = v[0];
    crop.top = v[1];
    crop.right = v[2];
    crop.bottom = v[3];
    crop.angle = options.angle;
    if (!options.ratio.empty()) {
        std::vector<double> ratio;
        if (!parseNumbers(options.ratio, ':', 2, ratio) || !(ratio[0] > 0.0) || !(ratio[1] > 0.0)) {
            usage("--ratio takes W:H, both positive");
            return false;
        }
        crop.constraintWidth = ratio[0];
        crop.constraintHeight = ratio[1];
        crop.constrained = true;
    }
    return true;
}

nlohmann::ordered_json cropJson(const NRFNormalizedCrop& crop, bool draft) {
    nlohmann::ordered_json out = {{"left", crop.left},     {"top", crop.top},     {"right", crop.right},
                                  {"bottom", crop.bottom}, {"angle", crop.angle}, {"draft", draft}};
    if (crop.constrained)
        out["ratio"] = {crop.constraintWidth, crop.constraintHeight};
    return out;
}

int runEdit(const CommonOptions& common, const EditOptions& options, bool cropping) {
    if (options.files.empty())
        return noFilesGiven();
    Request request;
    if (!(cropping ? cropRequest(options, request) : rotateRequest(options, request)))
        return kExitBadUsage;
    AppSession session(common, kImageEngineService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());

    const std::vector<FileArgument> files = options.files.expand();
    std::vector<ItemResult> results(files.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        results[i].path = files[i].path;
        if (files[i].error) {
            results[i].notAFile = results[i].reached = true;
            results[i].result = files[i].result;
            results[i].error = errnoText(files[i].error);
        }
    }
    // A file that cannot be written asks whether to retry: on a terminal the user may fix it first;
    // otherwise --yes skips it and --no-input (or no terminal) stops there.
    std::atomic<std::uint64_t> filesDone{0};
    ProgressDialogInterface progress;
    CThreadedWorker operation(std::make_unique<EditWorker>(request, results, filesDone), &progress);
    if (!operation.Start()) {
        std::fprintf(stderr, "lumo: the operation could not be started\n");
        return kExitSomeFailed;
    }
    // The window answers questions and Ctrl-C even when it shows nothing: --quiet, or a single file.
    TerminalProgressWindow(
        progress, cropping ? "Cropping" : "Rotating", results.size(),
        [&filesDone] { return filesDone.load(); }, common.quiet || results.size() < 2 ? nullptr : stderr)
        .run();
    operation.Join();

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const ItemResult& item : results) {
        if (!item.reached)
            continue;
        nlohmann::ordered_json entry = {{"path", item.path}};
        if (!item.error.empty()) {
            status = kExitSomeFailed;
            entry = failureJson(item.path, item.result, item.error);
            reportFailure(item.path, std::string(headingFor(request.edit)) + " " + item.error);
        } else if (cropping) {
            entry["crop"] = cropJson(item.crop, item.draft);
            if (item.adjusted) {
                entry["crop"]["adjusted"] = true;
                std::fprintf(stderr,
                             "lumo: %s: the crop was narrowed to the shape %g:%g in this picture: "
                             "%.6f,%.6f,%.6f,%.6f\n",
                             item.path.c_str(), item.crop.constraintWidth, item.crop.constraintHeight,
                             item.crop.left, item.crop.top, item.crop.right, item.crop.bottom);
            }
            if (!common.json && !common.quiet)
                std::printf("%s: %s\n", item.path.c_str(),
                            request.edit == Edit::RemoveCrop ? "crop removed" : "crop set");
        } else {
            entry["rotation"] = item.rotation;
            entry["orientation"] = exifOrientationForCode(item.rotation);
            if (!common.json && !common.quiet)
                std::printf("%s: rotation %d (orientation %d)\n", item.path.c_str(), item.rotation,
                            exifOrientationForCode(item.rotation));
        }
        all.push_back(std::move(entry));
    }
    return finishPhotoCommand(common, all, progress.GetStatus(), status);
}

} // namespace

void addEditCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto rotate = std::make_shared<EditOptions>();
    CLI::App* rotateCommand = lumo.add_subcommand(
        "rotate", "Turn or mirror how each photo is shown, in the file's own orientation and its prefs");
    rotate->files.addTo(*rotateCommand);
    rotateCommand->add_flag("--cw", rotate->clockwise, "A quarter turn clockwise");
    rotateCommand->add_flag("--ccw", rotate->counterClockwise, "A quarter turn counter-clockwise");
    rotateCommand->add_flag("--180", rotate->halfTurn, "A half turn");
    rotateCommand
        ->add_option(
            "--orientation", rotate->orientation,
            "Set the EXIF orientation: 1 upright, 6 turned a quarter clockwise, 3 a half, 8 a quarter "
            "counter-clockwise; 2, 4, 7 and 5 are 1, 3, 6 and 8 mirrored")
        ->type_name("N");
    rotateCommand
        ->add_option("--set", rotate->set,
                     "Set the rotation code: 0-3 quarter turns clockwise, +4 mirrored (not EXIF's numbers)")
        ->type_name("CODE");
    rotateCommand->add_flag("--mirror-h", rotate->mirrorH, "Mirror what is shown left to right");
    rotateCommand->add_flag("--mirror-v", rotate->mirrorV, "Mirror what is shown top to bottom");
    rotateCommand->callback([&common, &action, rotate] {
        action = [&common, rotate] { return runEdit(common, *rotate, false); };
    });

    auto crop = std::make_shared<EditOptions>();
    CLI::App* cropCommand =
        lumo.add_subcommand("crop", "Set or remove each photo's crop, kept in its prefs (the pixels stay)");
    crop->files.addTo(*cropCommand);
    CLI::Option* rect =
        cropCommand
            ->add_option("--rect", crop->rect, "Left, top, right, bottom as fractions of the unrotated image")
            ->type_name("L,T,R,B");
    CLI::Option* angle =
        cropCommand->add_option("--angle", crop->angle, "Degrees, -45 to 45")->type_name("A");
    CLI::Option* ratio =
        cropCommand
            ->add_option(
                "--ratio", crop->ratio,
                "Keep this aspect ratio of the unrotated picture; a crop of another shape is narrowed to it")
            ->type_name("W:H");
    cropCommand->add_flag("--remove", crop->remove, "Remove the crop")
        ->excludes(rect)
        ->excludes(angle)
        ->excludes(ratio);
    cropCommand->callback(
        [&common, &action, crop] { action = [&common, crop] { return runEdit(common, *crop, true); }; });
}
