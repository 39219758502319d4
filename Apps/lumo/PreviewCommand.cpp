#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "Interrupts.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "TerminalProgress.h"
#include "cache/LumoCache.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "support/FolderListing.h"

#include <nlohmann/json.hpp>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

struct PreviewOptions {
    FileArguments files;
    std::string output;        // -o: the one output file ("-": standard output)
    std::string folder = ".";  // --dir
    bool thumbnail = false;    // preview: the thumbnail's own bytes instead of the preview
    bool withExif = false;     // preview: insert an EXIF segment built from the photo
    bool withMetadata = false; // preview: the photo's IPTC/XMP, prefs and colour profile on the preview
    bool force = false;        // replace outputs that exist
    std::uint32_t size = 0;    // thumb: the long side
    int quality = 90;          // thumb: the JPEG quality, 1 to 100
};

// What happened to one input: the output written, or why not.
struct FileResult {
    std::string output;
    NRFErr result = kNRFErrNone;
    std::string error;
    std::uint32_t width = 0, height = 0;
};

// What the workers make of one input: its picture's bytes, or why there are none.
struct Produced {
    FileResult result;
    std::string bytes;
};

// The document and cells of the cache's work orders for a run.
constexpr int kPreviewDocument = 1;

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
        if (m_options.output == "-")
            return m_options.output;
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

    // The output is being written: no later input of this run may take its name.
    void reserve(const std::string& output) {
        if (output != "-")
            m_written.insert(key(output));
    }
    // Writing it failed: the name is free again.
    void release(const std::string& output) { m_written.erase(key(output)); }

private:
    // The same for every spelling of the path and every case of the file's name.
    static std::string key(const std::string& path) {
        std::error_code ec;
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
        const std::filesystem::path& p = ec ? std::filesystem::path(path) : canonical;
        std::string name = p.filename().string();
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return (p.parent_path() / name).string();
    }

    // The names in the path's folder that differ from its own name in letter case only: on a card or a
    // share that ignores case (FAT, exFAT, SMB) they and the path are one file.
    static std::vector<std::string> caseTwins(const std::string& path) {
        const std::filesystem::path p(path);
        const std::string name = p.filename().string();
        std::vector<std::string> twins;
        lumo::FolderListing::namesEqualIgnoringCase(p.parent_path().empty() ? "." : p.parent_path().string(),
                                                    name, twins);
        std::erase(twins, name);
        for (std::string& twin : twins)
            twin = (p.parent_path() / twin).string();
        return twins;
    }

    bool writtenByThisRun(const std::string& path) const { return m_written.count(key(path)) != 0; }

    // A name that must not be written: an output of this run, the input itself, a photo (a file the
    // engine reads that no run of ours wrote), or the name of any file there in another letter case.
    bool blocked(const std::string& input, const std::string& candidate) const {
        if (writtenByThisRun(candidate) || !caseTwins(candidate).empty())
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
        else if (const std::string twin = photoCaseTwin(output); !twin.empty())
            error = "the output would replace the photo " + twin + " where letter case does not count";
        else if (!m_options.force && std::filesystem::exists(output, ec))
            error = output + " exists (--force replaces it)";
        return error.empty() ? output : std::string();
    }

    static std::string photoCaseTwin(const std::string& path) {
        for (const std::string& twin : caseTwins(path))
            if (isPhoto(twin) && !isMarkedOutput(twin))
                return twin;
        return {};
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
void readThumbnail(const NRFImageInfoRec& record, Produced& produced) {
    FileResult& result = produced.result;
    const NRFEmbeddedImageLoc& thumbnail = record.m_thumbnail;
    if (!thumbnail.present() || !record.m_thumbnailIsJPEG)
        return fail(result, kNRFErrNoThumbnail, "No embedded JPEG thumbnail");
    if (const NRFErr err =
            NRFReadEmbeddedBytes(record.m_path, thumbnail.offset, thumbnail.length, produced.bytes);
        err != kNRFErrNone)
        return fail(result, err, "The thumbnail could not be read: " + engineFailureText(err, record.m_path));
    result.width = thumbnail.width;
    result.height = thumbnail.height;
}

// The embedded preview as the engine extracts it (with an EXIF segment when asked), by way of a file in
// the run's own temporary folder.
// With `withMetadata` the preview also carries the photo's metadata record (from the file or its
// sidecar), its prefs (rotation, crop, tag, rating, colour class) and its colour profile.
void readPreview(NRFImageInfoRec& record, const std::string& scratch, bool withExif, bool withMetadata,
                 Produced& produced) {
    FileResult& result = produced.result;
    if (scratch.empty())
        return fail(result, kResultUnwritable, "no temporary file could be made for the preview");
    const NRFErr err = NRFExtractPreview(&record, scratch.c_str(), withExif);
    if (err == kNRFErrNoThumbnail || err == kNRFErrParam)
        return fail(result, kNRFErrNoThumbnail, "No embedded preview");
    if (err != kNRFErrNone)
        return fail(result, err, engineFailureText(err, record.m_path));
    if (withMetadata)
        if (const NRFErr copied = IPTCCopyMetadataToJPEG(&record, scratch, true); copied != kNRFErrNone)
            return fail(result, copied,
                        "The metadata could not be given to the preview: " +
                            engineFailureText(copied, record.m_path));
    const int e = lumo::readFile(scratch, produced.bytes, SIZE_MAX);
    std::error_code ec;
    std::filesystem::remove(scratch, ec);
    if (e)
        return fail(result, kResultUnwritable, scratch + ": " + errnoText(e));
    result.width = record.m_preview.width;
    result.height = record.m_preview.height;
}

// The best image for `size`, upright, fitting it and in sRGB, as a JPEG of `quality`, through the image
// cache: an entry of the disk cache of exactly that size and quality as it stands, else an embedded
// preview or thumbnail that covers the size, else the file's own pixels decoded at the smallest scale
// that still covers it.
void readScaled(LumoCache& cache, const std::string& path, std::uint32_t size, int quality, int cell,
                Produced& produced) {
    FileResult& result = produced.result;
    LumoCache::Request request;
    request.path = path;
    request.size = size;
    request.jpegQuality = quality;
    // Each file is asked for once, and only an entry of exactly this size and quality may answer from
    // disk: a bigger one would give a picture scaled twice and compressed twice.
    request.hints = LumoCache::kHintNoKeep;
    request.doc = kPreviewDocument;
    request.cell = cell;
    LumoCachePicture picture;
    if (std::optional<LumoCachePicture> stored = cache.disk_exact(request)) {
        picture = std::move(*stored);
    } else {
        request.record = openRecord(path, result);
        if (!request.record)
            return;
        request.hints |= LumoCache::kHintNoDiskRead;
        picture = cache.load_best_fastest(request);
        NRFCloseImage(&request.record);
    }
    if (picture.isError()) {
        const NRFErr err = picture.error;
        if (err == kNRFErrNoThumbnail || err == kNRFErrParam || err == 22)
            return fail(result, kNRFErrNoThumbnail, "No embedded preview or thumbnail");
        return fail(result, err, "The picture could not be decoded: " + engineFailureText(err, path));
    }
    if (picture.jpegError != kNRFErrNone || picture.jpeg.empty())
        return fail(result, picture.jpegError,
                    "The JPEG could not be made: " + resultText(picture.jpegError));
    produced.bytes = std::move(picture.jpeg);
    result.width = picture.width;
    result.height = picture.height;
}

enum class Kind { Preview, Thumb };

// A private temporary folder for the run, removed with everything in it when the last user lets go.
class ScratchFolder {
public:
    ScratchFolder() {
        std::error_code ec;
        std::string folder = (std::filesystem::temp_directory_path(ec) / "lumo-XXXXXX").string();
        if (::mkdtemp(folder.data()))
            m_folder = folder;
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Empty when no folder could be made.
    std::string file(std::size_t index) const {
        return m_folder.empty() ? std::string() : m_folder + "/" + std::to_string(index) + ".jpg";
    }

private:
    std::string m_folder;
};

// The pictures of a run, made by the cache's workers ahead of the loop that writes them in input order.
// At most `window` files are in hand at once, so memory stays bounded whatever the number of files.
class Producer {
public:
    Producer(LumoCache& cache, const PreviewOptions& options, Kind kind,
             const std::vector<FileArgument>& files)
        : m_cache(cache), m_state(std::make_shared<State>()), m_options(options), m_kind(kind),
          m_files(files), m_window(std::max<std::size_t>(4, 2 * std::size_t{cache.workerCount()})) {
        m_state->produced.resize(files.size());
    }
    // Orders still queued are dropped; those running finish on their own (they share the state).
    ~Producer() { m_cache.cancel_document(kPreviewDocument); }
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    // The picture of file `index`, waiting for it while it is being made.
    Produced take(std::size_t index) {
        while (m_submitted < m_files.size() && m_submitted < index + m_window)
            submit(m_submitted++);
        std::unique_lock lock(m_state->lock);
        m_state->ready.wait(lock, [&] { return m_state->produced[index].has_value(); });
        Produced produced = std::move(*m_state->produced[index]);
        m_state->produced[index].reset();
        return produced;
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable ready;
        std::vector<std::optional<Produced>> produced;
        ScratchFolder scratch;
    };

    void submit(std::size_t index) {
        const FileArgument& file = m_files[index];
        if (file.error) {
            deliver(*m_state, index, Produced{});
            return;
        }
        const int cell = static_cast<int>(index);
        auto task = [state = m_state, cache = &m_cache, path = file.path, options = m_options, kind = m_kind,
                     index, cell] {
            Produced produced;
            try {
                if (kind == Kind::Thumb) {
                    readScaled(*cache, path, options.size, options.quality, cell, produced);
                } else if (NRFImageInfoRef record = openRecord(path, produced.result)) {
                    if (options.thumbnail)
                        readThumbnail(*record, produced);
                    else
                        readPreview(*record, state->scratch.file(index), options.withExif,
                                    options.withMetadata, produced);
                    NRFCloseImage(&record);
                }
            } catch (const std::exception& e) {
                fail(produced.result, kNRFErrException, e.what());
            }
            deliver(*state, index, std::move(produced));
        };
        if (m_cache.submit_task(file.path, kPreviewDocument, cell, std::move(task)) == 0) {
            Produced refused;
            fail(refused.result, kResultUnexpected, "the image cache has stopped");
            deliver(*m_state, index, std::move(refused));
        }
    }

    static void deliver(State& state, std::size_t index, Produced produced) {
        {
            std::lock_guard lock(state.lock);
            state.produced[index] = std::move(produced);
        }
        state.ready.notify_all();
    }

    LumoCache& m_cache;
    std::shared_ptr<State> m_state;
    PreviewOptions m_options;
    Kind m_kind;
    const std::vector<FileArgument>& m_files;
    std::size_t m_window;
    std::size_t m_submitted = 0;
};

// One output on its way: written by a worker (aside, flushed, renamed into place and marked as ours)
// while the next pictures are made, or for standard output sent when its turn comes.
struct PendingOutput {
    std::size_t index = 0;
    std::string output;
    FileResult result;
    // 0 or an errno value, and the output's place in the order of renames
    std::optional<std::future<std::pair<int, std::uint64_t>>> written;
    std::string bytes; // standard output
};

// The outputs are renamed into their folder without flushing the folder each time: before an output is
// reported the folder is flushed once, which makes every rename done before it durable, so a run of
// many files flushes the folder a few times instead of once a file.
class OutputFolderSync {
public:
    std::uint64_t renamed() { return ++m_renamed; }
    void makeDurable(const std::string& output, std::uint64_t renamedAs) {
        std::lock_guard lock(m_lock);
        if (renamedAs <= m_synced)
            return;
        const std::uint64_t upTo = m_renamed.load();
        lumo::syncFolderOf(output);
        m_synced = upTo;
    }

private:
    std::atomic<std::uint64_t> m_renamed{0};
    std::mutex m_lock;
    std::uint64_t m_synced = 0;
};

// How many outputs may be written at once ahead of the one being reported.
constexpr std::size_t kWritesInFlight = 8;

std::future<std::pair<int, std::uint64_t>> writeInBackground(LumoCache& cache,
                                                             std::shared_ptr<OutputFolderSync> folder,
                                                             std::size_t index, const std::string& output,
                                                             std::string bytes) {
    auto promise = std::make_shared<std::promise<std::pair<int, std::uint64_t>>>();
    auto future = promise->get_future();
    auto write = std::make_shared<std::function<void()>>([promise, folder, output, bytes = std::move(bytes)] {
        const int e = lumo::writeFileReplacing(output, bytes, nullptr, false);
        std::uint64_t renamedAs = 0;
        if (e == 0) {
            renamedAs = folder->renamed();
            markOutput(output);
        }
        promise->set_value({e, renamedAs});
    });
    // Without the pool (it has stopped) the write is done here.
    if (cache.submit_task(output, kPreviewDocument, static_cast<int>(index), [write] { (*write)(); }) == 0)
        (*write)();
    return future;
}

int runPreview(const CommonOptions& common, const PreviewOptions& options, Kind kind) {
    const InterruptScope interrupts;
    if (options.files.empty())
        return noFilesGiven();
    if (options.output == "-" && common.json) {
        std::fprintf(stderr, "lumo: -o - sends the picture to standard output, where --json goes too\n");
        return kExitBadUsage;
    }
    if (options.output == "-" && ::isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "lumo: -o - would send a JPEG to the terminal: redirect standard output\n");
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
    AppSession session(common, kImageEngineService | kThumbfileCacheService | kImageCacheService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const std::vector<FileArgument> files = options.files.expand();
    if (!options.output.empty() && files.size() != 1) {
        std::fprintf(stderr, "lumo: -o names one output: give one file, or use --dir\n");
        return kExitBadUsage;
    }
    if (options.output.empty()) {
        if (const int e = lumo::createDirectories(options.folder))
            return commandFailed(common, kResultUnwritable, oneLine(options.folder) + ": " + errnoText(e));
    }
    // A bar on a terminal, plain lines elsewhere.
    std::optional<TerminalProgress> progress;
    if (files.size() > 1 && !common.quiet)
        progress.emplace(kind == Kind::Thumb ? "thumb" : "preview", files.size());

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    std::uint64_t done = 0;
    OutputNames names(options);
    bool cancelled = false;
    LumoCache* cache = LumoCache::instance();
    if (!cache)
        return commandFailed(common, kResultUnexpected, "the image cache could not be started");
    Producer producer(*cache, options, kind, files);
    const auto folderSync = std::make_shared<OutputFolderSync>();
    // The file's line and JSON entry, once its output is written.
    const auto report = [&](PendingOutput& item) {
        const std::string& path = files[item.index].path;
        FileResult& result = item.result;
        if (item.written) {
            const auto [e, renamedAs] = item.written->get();
            if (e != 0) {
                names.release(item.output);
                fail(result, kResultUnwritable, item.output + ": " + errnoText(e));
            } else {
                folderSync->makeDurable(item.output, renamedAs);
                result.output = item.output;
            }
        } else if (result.error.empty() && item.output == "-") {
            if (std::fwrite(item.bytes.data(), 1, item.bytes.size(), stdout) != item.bytes.size() ||
                std::fflush(stdout) != 0)
                fail(result, kResultUnwritable, std::string("standard output: ") + std::strerror(errno));
            else
                result.output = item.output;
        }
        nlohmann::ordered_json entry = {{"path", path}};
        // A line about the file starts on a line of its own, not on the bar's.
        if (progress && (!result.error.empty() || (!common.json && !common.quiet)))
            progress->clearLine();
        if (result.error.empty()) {
            entry["output"] = result.output;
            entry["width"] = result.width;
            entry["height"] = result.height;
            // A name of its own because the usual one was taken: say which.
            const std::string usual = names.usual(path);
            if (result.output != usual)
                entry["taken"] = usual;
            if (!common.json && !common.quiet && item.output != "-") {
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
    };
    std::deque<PendingOutput> pending;
    for (std::size_t index = 0; index < files.size(); ++index) {
        const FileArgument& file = files[index];
        const std::string& path = file.path;
        // Ctrl-C: the files in hand are finished; what was done is reported below.
        if ((cancelled = interrupted()))
            break;
        PendingOutput item;
        item.index = index;
        FileResult& result = item.result;
        item.output = file.error ? std::string() : names.choose(path, result.error);
        if (file.error) {
            result.result = file.result;
            result.error = errnoText(file.error);
        } else if (!result.error.empty()) {
            result.result = kResultUnwritable; // lumo never writes over a photo, nor over a file unasked
        }
        if (result.error.empty()) {
            Produced produced = producer.take(index);
            if (!produced.result.error.empty()) {
                result.result = produced.result.result;
                result.error = produced.result.error;
            } else {
                result.width = produced.result.width;
                result.height = produced.result.height;
                if (item.output == "-") {
                    item.bytes = std::move(produced.bytes);
                } else {
                    names.reserve(item.output);
                    item.written =
                        writeInBackground(*cache, folderSync, index, item.output, std::move(produced.bytes));
                }
            }
        }
        pending.push_back(std::move(item));
        // Reported in input order, a few files behind: the writes under way meanwhile each flush their
        // file, and the folder is flushed once for the renames done by the time one is reported.
        while (pending.size() > kWritesInFlight) {
            report(pending.front());
            pending.pop_front();
        }
    }
    while (!pending.empty()) {
        report(pending.front());
        pending.pop_front();
    }
    if (progress)
        progress->finish();
    if (common.json)
        std::cout << jsonText(all, 2) << '\n';
    std::fflush(stdout);
    if (cancelled) {
        std::fprintf(stderr, "lumo: cancelled after %zu of %zu files\n", all.size(), files.size());
        return kExitCancelled;
    }
    return status;
}

void addOutputOptions(CLI::App* command, PreviewOptions& options) {
    CLI::Option* output = command
                              ->add_option("-o,--output", options.output,
                                           "The output file (one input only; - for standard output)")
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
    preview->files.addTo(*previewCommand);
    addOutputOptions(previewCommand, *preview);
    CLI::Option* thumbnailFlag = previewCommand->add_flag(
        "--thumbnail", preview->thumbnail, "Write the embedded thumbnail's own JPEG bytes instead");
    previewCommand->add_flag(
        "--with-exif", preview->withExif,
        "Give the preview an EXIF segment with the photo's date, orientation and position");
    previewCommand
        ->add_flag("--with-metadata", preview->withMetadata,
                   "Give the preview the photo's IPTC/XMP metadata, its rotation and crop, and its "
                   "colour profile")
        ->excludes(thumbnailFlag);
    previewCommand->callback([&common, &action, preview] {
        action = [&common, preview] { return runPreview(common, *preview, Kind::Preview); };
    });

    auto thumb = std::make_shared<PreviewOptions>();
    CLI::App* thumbCommand = lumo.add_subcommand(
        "thumb", "Write each file's picture, upright, scaled to fit and in sRGB, as a JPEG");
    thumb->files.addTo(*thumbCommand);
    thumbCommand->add_option("--size", thumb->size, "The long side in pixels")->required()->type_name("N");
    thumbCommand->add_option("--quality", thumb->quality, "The JPEG quality, 1 to 100 (default 90)")
        ->type_name("Q");
    addOutputOptions(thumbCommand, *thumb);
    thumbCommand->callback([&common, &action, thumb] {
        action = [&common, thumb] { return runPreview(common, *thumb, Kind::Thumb); };
    });
}
