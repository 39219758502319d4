#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "Interrupts.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFResample.h"
#include "TerminalProgress.h"
#include "support/FileIO.h"

#include <nlohmann/json.hpp>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

struct PreviewOptions {
    std::vector<std::string> files;
    std::string output;       // -o: the one output file
    std::string folder = "."; // --dir
    bool thumbnail = false;   // preview: the thumbnail's own bytes instead of the preview
    bool withExif = false;    // preview: insert an EXIF segment built from the photo
    bool force = false;       // replace outputs that exist
    std::uint32_t size = 0;   // thumb: the long side
    int quality = 90;         // thumb: the JPEG quality, 1 to 100
};

// What happened to one input: the output written, or why not.
struct FileResult {
    std::string output;
    NRFErr result = kNRFErrNone;
    std::string error;
    std::uint32_t width = 0, height = 0;
};

// Our outputs carry this mark, so that --force can tell an output of an earlier run (which it may
// replace) from a photo (which it never replaces). A file system without extended attributes keeps no
// mark: its outputs count as photos and a new name is found instead.
constexpr char kOutputMark[] = "user.lumograph.output";

void markOutput(const std::string& path) {
    ::setxattr(path.c_str(), kOutputMark, "1", 1, 0);
}

bool isMarkedOutput(const std::string& path) {
    return ::getxattr(path.c_str(), kOutputMark, nullptr, 0) >= 0;
}

// A file the engine reads as an image, raw or movie.
bool isPhoto(const std::string& path) {
    NRFFileType type = 0;
    return NRFGetType(path.c_str(), &type, false) == kNRFErrNone;
}

// Where one output may go: the names this run has written, and the rule that a photo is never replaced.
class OutputNames {
public:
    explicit OutputNames(const PreviewOptions& options) : m_options(options) {}

    // The output for `input`: -o as given, else DIR/<name>.jpg, or, when that name is taken by a photo
    // or by an earlier output of this run, the first free one of <name>A.jpg .. <name>Z.jpg (the
    // program's unique-name rule). `error` says why there is none.
    std::string choose(const std::string& input, std::string& error) {
        if (!m_options.output.empty())
            return checkGiven(input, m_options.output, error);
        const std::string wanted = usual(input);
        const std::string base = wanted.substr(0, wanted.size() - 4);
        for (int letter = 0; letter <= 26; ++letter) {
            const std::string candidate =
                letter == 0 ? wanted : base + static_cast<char>('A' + letter - 1) + ".jpg";
            if (blocked(input, candidate))
                continue;
            std::error_code ec;
            if (!m_options.force && std::filesystem::exists(candidate, ec)) {
                error = candidate + " exists (--force replaces it)";
                return {};
            }
            return candidate;
        }
        error = "there were too many files with the name of " + wanted + " at the destination";
        return {};
    }

    // The name the output gets when nothing is in its way: -o, or photo.NEF -> DIR/photo.jpg.
    std::string usual(const std::string& input) const {
        if (!m_options.output.empty())
            return m_options.output;
        return (std::filesystem::path(m_options.folder) / std::filesystem::path(input).stem()).string() +
               ".jpg";
    }

    // The output is written: no later input of this run may replace it.
    void written(const std::string& output) {
        markOutput(output);
        m_written.insert(key(output));
    }

private:
    static std::string key(const std::string& path) {
        std::error_code ec;
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
        return ec ? path : canonical.string();
    }

    bool writtenByThisRun(const std::string& path) const { return m_written.count(key(path)) != 0; }

    // A name that must not be written: an output of this run, the input itself, or a photo (a file the
    // engine reads that no run of ours wrote).
    bool blocked(const std::string& input, const std::string& candidate) const {
        if (writtenByThisRun(candidate))
            return true;
        std::error_code ec;
        if (!std::filesystem::exists(candidate, ec))
            return false;
        return std::filesystem::equivalent(input, candidate, ec) ||
               (isPhoto(candidate) && !isMarkedOutput(candidate));
    }

    std::string checkGiven(const std::string& input, const std::string& output, std::string& error) const {
        std::error_code ec;
        if (std::filesystem::equivalent(input, output, ec))
            error = "the output would replace the photo itself";
        else if (writtenByThisRun(output))
            error = "the output would replace " + output + ", written a moment ago";
        else if (std::filesystem::exists(output, ec) && isPhoto(output) && !isMarkedOutput(output))
            error = "the output would replace the photo " + output;
        else if (!m_options.force && std::filesystem::exists(output, ec))
            error = output + " exists (--force replaces it)";
        return error.empty() ? output : std::string();
    }

    const PreviewOptions& m_options;
    std::set<std::string> m_written;
};

// The item failed with `result`, for the reason `error`.
void fail(FileResult& item, NRFErr result, std::string error) {
    item.result = result;
    item.error = std::move(error);
}

// The record of a file read through the engine, or the reason it could not be read.
NRFImageInfoRef openRecord(const std::string& path, FileResult& result) {
    NRFImageInfoRef record;
    NRFErr err = NRFOpenImage(path.c_str(), 0, &record);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(record.get());
    if (err != kNRFErrNone) {
        std::string description;
        if (record)
            NRFGetDescription(record->m_fileType, &description);
        fail(result, err, engineFailureText(err, path, description));
        NRFCloseImage(&record);
    }
    return record;
}

// The EXIF thumbnail's bytes exactly as the file stores them.
void writeThumbnail(const NRFImageInfoRec& record, const std::string& output, FileResult& result) {
    const NRFEmbeddedImageLoc& thumbnail = record.m_thumbnail;
    if (!thumbnail.present() || !record.m_thumbnailIsJPEG)
        return fail(result, kNRFErrNoThumbnail, "No embedded JPEG thumbnail");
    std::string bytes;
    if (const NRFErr err = NRFReadEmbeddedBytes(record.m_path, thumbnail.offset, thumbnail.length, bytes);
        err != kNRFErrNone)
        return fail(result, err, "The thumbnail could not be read: " + engineFailureText(err, record.m_path));
    if (const int e = lumo::writeFileReplacing(output, bytes))
        return fail(result, kResultUnwritable, output + ": " + errnoText(e));
    result.output = output;
    result.width = thumbnail.width;
    result.height = thumbnail.height;
}

void writePreview(NRFImageInfoRec& record, const std::string& output, bool withExif, FileResult& result) {
    const NRFErr err = NRFExtractPreview(&record, output.c_str(), withExif);
    if (err == kNRFErrNoThumbnail || err == kNRFErrParam)
        return fail(result, kNRFErrNoThumbnail, "No embedded preview");
    if (err != kNRFErrNone)
        return fail(result, err, engineFailureText(err, record.m_path));
    result.output = output;
    result.width = record.m_preview.width;
    result.height = record.m_preview.height;
}

// `loaded` scaled to fit `size`. An embedded image can be a pixel or two off the picture's proportions
// (a 504 x 376 thumbnail of a 4032 x 3024 photo); when it is within 2% of them the result takes the
// picture's proportions, so every path gives the same size for the same photo.
bool scaleToPicture(const NRFImageInfoRec& record, const NRFBitmapBase& loaded, std::uint32_t size,
                    NRFBitmapBase& out) {
    std::uint64_t w = record.m_width, h = record.m_height;
    if ((w > h) != (loaded.Width() > loaded.Height()))
        std::swap(w, h); // the loaded image is upright, the record's size is as stored
    const std::uint64_t longSide = std::max(w, h);
    const bool close = NRFSimilarProportions(loaded.Width(), loaded.Height(), static_cast<std::uint32_t>(w),
                                             static_cast<std::uint32_t>(h));
    if (!close || std::max(loaded.Width(), loaded.Height()) <= size || longSide <= size)
        return loaded.ScaleToFit(size, out);
    const auto side = [&](std::uint64_t v) {
        return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (v * size + longSide / 2) / longSide));
    };
    return NRFResample(loaded, side(w), side(h), out);
}

// The best image for `size`, upright, fitting it and in sRGB, as a JPEG of `quality`: an embedded
// preview or thumbnail that covers the size, else the file's own pixels decoded at the smallest scale
// that still covers it.
void writeScaled(NRFImageInfoRec& record, std::uint32_t size, int quality, const std::string& output,
                 FileResult& result) {
    NRFBitmapBase loaded;
    const NRFErr err = NRFLoadFilePreview(&record, &loaded, size, kNRFLoadAllowEmbedded);
    if (err == kNRFErrNoThumbnail || err == kNRFErrParam || (err == kNRFErrNone && loaded.Empty()))
        return fail(result, kNRFErrNoThumbnail, "No embedded preview or thumbnail");
    if (err != kNRFErrNone)
        return fail(result, err,
                    "The picture could not be decoded: " + engineFailureText(err, record.m_path));
    NRFBitmapBase scaled;
    std::string jpeg;
    if (!scaleToPicture(record, loaded, size, scaled))
        return fail(result, kNRFErrMemory, resultText(kNRFErrMemory));
    // A profile that cannot be read or used leaves the colours as they are: the picture still shows.
    NRFICCConvertRecordBitmapToSRGB(record, scaled);
    if (const NRFErr encoded = NRFCompressJPEG(scaled, quality, jpeg); encoded != kNRFErrNone)
        return fail(result, encoded, "The JPEG could not be made: " + resultText(encoded));
    if (const int e = lumo::writeFileReplacing(output, jpeg))
        return fail(result, kResultUnwritable, output + ": " + errnoText(e));
    result.output = output;
    result.width = scaled.Width();
    result.height = scaled.Height();
}

enum class Kind { Preview, Thumb };

int runPreview(const CommonOptions& common, const PreviewOptions& options, Kind kind) {
    const InterruptScope interrupts;
    if (!options.output.empty() && options.files.size() != 1) {
        std::fprintf(stderr, "lumo: -o names one output: give one file, or use --dir\n");
        return kExitBadUsage;
    }
    if (kind == Kind::Thumb && options.size == 0) {
        std::fprintf(stderr, "lumo: --size must be at least 1\n");
        return kExitBadUsage;
    }
    if (options.quality < 1 || options.quality > 100) {
        std::fprintf(stderr, "lumo: --quality takes a JPEG quality from 1 to 100\n");
        return kExitBadUsage;
    }
    if (options.output.empty() && options.folder.empty()) {
        std::fprintf(stderr, "lumo: --dir needs a folder (\".\" for the current one)\n");
        return kExitBadUsage;
    }
    AppSession session(common, kImageEngineService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    if (options.output.empty()) {
        if (const int e = lumo::createDirectories(options.folder))
            return commandFailed(common, kResultUnwritable, oneLine(options.folder) + ": " + errnoText(e));
    }
    // A bar on a terminal, plain lines elsewhere.
    std::optional<TerminalProgress> progress;
    if (options.files.size() > 1 && !common.quiet)
        progress.emplace(kind == Kind::Thumb ? "thumb" : "preview", options.files.size());

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    std::uint64_t done = 0;
    OutputNames names(options);
    bool cancelled = false;
    for (const std::string& path : options.files) {
        // Ctrl-C: the file in hand was finished; what was done is reported below.
        if ((cancelled = interrupted()))
            break;
        FileResult result;
        const std::string output = names.choose(path, result.error);
        if (!result.error.empty())
            result.result = kResultUnwritable; // lumo never writes over a photo, nor over a file unasked
        if (result.error.empty()) {
            if (NRFImageInfoRef record = openRecord(path, result)) {
                if (kind == Kind::Thumb)
                    writeScaled(*record, options.size, options.quality, output, result);
                else if (options.thumbnail)
                    writeThumbnail(*record, output, result);
                else
                    writePreview(*record, output, options.withExif, result);
                NRFCloseImage(&record);
            }
        }
        nlohmann::ordered_json entry = {{"path", path}};
        // A line about the file starts on a line of its own, not on the bar's.
        if (progress && (!result.error.empty() || (!common.json && !common.quiet)))
            progress->clearLine();
        if (result.error.empty()) {
            names.written(result.output);
            entry["output"] = result.output;
            entry["width"] = result.width;
            entry["height"] = result.height;
            // A name of its own because the usual one was taken: say which.
            const std::string usual = names.usual(path);
            if (result.output != usual)
                entry["taken"] = usual;
            if (!common.json && !common.quiet) {
                if (result.output != usual)
                    std::printf("%s -> %s (%s is taken)\n", path.c_str(), result.output.c_str(),
                                usual.c_str());
                else
                    std::printf("%s -> %s\n", path.c_str(), result.output.c_str());
            }
        } else {
            status = kExitSomeFailed;
            entry = failureJson(path, result.result, result.error);
            reportFailure(path, result.error);
        }
        all.push_back(std::move(entry));
        if (progress)
            progress->update(++done, path);
    }
    if (progress)
        progress->finish();
    if (common.json)
        std::cout << jsonText(all, 2) << '\n';
    std::fflush(stdout);
    if (cancelled) {
        std::fprintf(stderr, "lumo: cancelled after %zu of %zu files\n", all.size(), options.files.size());
        return kExitCancelled;
    }
    return status;
}

void addOutputOptions(CLI::App* command, PreviewOptions& options) {
    CLI::Option* output =
        command->add_option("-o,--output", options.output, "The output file (one input only)")
            ->type_name("FILE");
    command
        ->add_option("--dir", options.folder, "Folder for the outputs, named after each photo (default: .)")
        ->type_name("DIR")
        ->excludes(output);
    command->add_flag("--force", options.force, "Replace outputs that exist");
}

} // namespace

void addPreviewCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto preview = std::make_shared<PreviewOptions>();
    CLI::App* previewCommand =
        lumo.add_subcommand("preview", "Write each file's largest embedded preview as a JPEG file");
    previewCommand->add_option("files", preview->files, "Photos")->required()->type_name("FILE");
    addOutputOptions(previewCommand, *preview);
    previewCommand->add_flag("--thumbnail", preview->thumbnail,
                             "Write the embedded thumbnail's own JPEG bytes instead");
    previewCommand->add_flag(
        "--with-exif", preview->withExif,
        "Give the preview an EXIF segment with the photo's date, orientation and position");
    previewCommand->callback([&common, &action, preview] {
        action = [&common, preview] { return runPreview(common, *preview, Kind::Preview); };
    });

    auto thumb = std::make_shared<PreviewOptions>();
    CLI::App* thumbCommand = lumo.add_subcommand(
        "thumb", "Write each file's picture, upright, scaled to fit and in sRGB, as a JPEG");
    thumbCommand->add_option("files", thumb->files, "Photos")->required()->type_name("FILE");
    thumbCommand->add_option("--size", thumb->size, "The long side in pixels")->required()->type_name("N");
    thumbCommand->add_option("--quality", thumb->quality, "The JPEG quality, 1 to 100 (default 90)")
        ->type_name("Q");
    addOutputOptions(thumbCommand, *thumb);
    thumbCommand->callback([&common, &action, thumb] {
        action = [&common, thumb] { return runPreview(common, *thumb, Kind::Thumb); };
    });
}
