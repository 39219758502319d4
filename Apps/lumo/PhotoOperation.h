#pragma once

// A change made to many photos as one background operation: each file is worked on by the operation's
// own thread, one file a step, under the terminal progress window, which shows the files done, answers
// the retry question a file that could not be written puts, and turns Ctrl-C into a cancellation. A
// file that fails is reported with the operation's heading ("While setting a rating an error
// occurred:") and the others go on.

#include "FileArguments.h"
#include "LumoCli.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

using NRFErr = std::uint32_t;
class NRFImageInfoRec;
class NRFMetadataCommit;

// What became of one file.
struct PhotoOutcome {
    NRFErr result = 0;      // 0 when the file was changed
    std::string error;      // why it failed, in the user's words
    bool retryable = false; // a file or sidecar that could not be written: the user may fix it and retry
    std::string line;       // the text output after "PATH: " ("rating 3")
    std::string sidecar;    // the sidecar written, when the change wrote one
    nlohmann::ordered_json json = nlohmann::ordered_json::object(); // members beside "path"
};

struct PhotoOperation {
    std::string label;   // the progress line's name: "Rating"
    std::string heading; // the failure's opening words: "While setting a rating an error occurred:"
    // Changes one photo, whose record the engine has filled (NRFGetImageInfo). With a batch, the file's
    // new content may wait in it: the operation commits the batch every so many files and at the end.
    std::function<PhotoOutcome(NRFImageInfoRec& image, NRFMetadataCommit* batch)> change;
    bool batched = false; // hand `change` a batch
    // Runs once the session has started (the preferences are open), before any file: answers 0 to go
    // on, or the exit status to end with (after saying why).
    std::function<int()> prepare;
    // The services the command needs besides the image engine and the preferences.
    unsigned services = 0;
};

// Runs `operation` over `files` and reports each file (text or JSON, as `common` says); answers the
// exit status: 0 all changed, 1 some failed, 3 cancelled.
int runPhotoOperation(const CommonOptions& common, const FileArguments& files,
                      const PhotoOperation& operation);

// Opens `path` and fills its record; false (with `outcome` saying why) when it cannot be read or is
// no kind of photo the engine reads (2).
bool openPhoto(const std::string& path, std::shared_ptr<NRFImageInfoRec>& image, PhotoOutcome& outcome);

// The end of a command that ran a background operation over photos: prints `all` when `common` asks for
// JSON, then answers the exit status: 3 (with "lumo: cancelled") when the operation was cancelled, 1 when
// it ended in an error or an exception, `status` otherwise.
int finishPhotoCommand(const CommonOptions& common, const nlohmann::ordered_json& all,
                       std::uint32_t progressStatus, int status);

// A failed engine call on `path`: the engine's text (or the file system's). A write that failed (6: the
// file or its sidecar could not be written; 8: the new version could not be made or put in place, the
// file left as it was) may succeed once the user has fixed the cause: `writing` makes it retryable.
PhotoOutcome engineFailure(NRFErr result, const std::string& path, bool writing = false);
