// lumo-videorender: renders one frame of a movie into a file for the image engine.
//
//   lumo-videorender -t SECONDS -o OUTPUT [-g PLUGINFOLDER] MOVIE
//
// The movie is always the last argument, so a movie whose name starts with '-' is still a movie. The
// frame shown at SECONDS (the first frame at or after that time; the last frame when the time is past
// the end) is decoded, converted to 8-bit RGB (non-square pixels made square) and written to OUTPUT
// through a temporary file beside it ("OUTPUT.part") and a rename, so a reader never sees half a frame. The
// file's layout is the engine's (NRF/NRFVideoRender.h). The frame is written as stored: the track's
// turn (its display matrix) is the engine's business, which reads it with the movie's other values.
//
// Exit codes:
//   0  the frame was written
//   1  bad command line
//   2  the movie cannot be opened or holds no video stream
//   3  no frame could be decoded
//   4  the frame is larger than this program accepts
//   5  the output file cannot be written
//   6  out of memory or another unexpected failure
//
// Messages go to standard error; the engine copies them into its log.

#include "FrameRenderer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace {

void printUsage(std::FILE* to) {
    std::fputs("usage: lumo-videorender -t SECONDS -o OUTPUT [-g PLUGINFOLDER] [-m MIB] MOVIE\n"
               "\n"
               "Decodes the frame of MOVIE shown at SECONDS (the last frame when the time is past the\n"
               "end) and writes it to OUTPUT as 8-bit RGB, as stored (not turned by the track's\n"
               "display matrix).\n"
               "\n"
               "  -t SECONDS       time of the frame (default 0)\n"
               "  -o OUTPUT        the frame file to write\n"
               "  -g PLUGINFOLDER  accepted for compatibility and ignored: the decoders are built in,\n"
               "                   there is no plugin folder to search\n"
               "  -m MIB           the memory decoding may use; larger pictures are refused (exit 4)\n"
               "  -h, --help       this text\n"
               "\n"
               "Exit codes: 0 written, 1 bad command line, 2 cannot open the movie or no video stream,\n"
               "3 no frame decoded, 4 frame too large, 5 cannot write the output, 6 other failure.\n",
               to);
}

int usageError(const char* message) {
    std::fprintf(stderr, "lumo-videorender: %s\n", message);
    printUsage(stderr);
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usageError("no movie given");
    auto isHelp = [](const char* option) {
        return std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0;
    };
    if (argc == 2 && isHelp(argv[1])) {
        printUsage(stdout);
        return kExitOK;
    }

    // Everything before the last argument is options with their values; the last is the movie.
    double seconds = 0;
    std::int64_t memoryLimit = 0;
    std::string output;
    const int last = argc - 1;
    for (int i = 1; i < last; ++i) {
        const char* option = argv[i];
        if (isHelp(option)) {
            printUsage(stdout);
            return kExitOK;
        }
        if (i + 1 >= last && (std::strcmp(option, "-t") == 0 || std::strcmp(option, "-o") == 0 ||
                              std::strcmp(option, "-g") == 0 || std::strcmp(option, "-m") == 0))
            return usageError("an option lacks its value");
        if (std::strcmp(option, "-t") == 0) {
            const char* text = argv[++i];
            char* end = nullptr;
            seconds = std::strtod(text, &end);
            if (end == text || *end != '\0' || !std::isfinite(seconds))
                return usageError("-t wants a number of seconds");
            if (seconds < 0)
                seconds = 0;
        } else if (std::strcmp(option, "-o") == 0) {
            output = argv[++i];
        } else if (std::strcmp(option, "-m") == 0) {
            const char* text = argv[++i];
            char* end = nullptr;
            const long long mib = std::strtoll(text, &end, 10);
            if (end == text || *end != '\0' || mib < 1 || mib > (std::int64_t{1} << 30))
                return usageError("-m wants a number of MiB");
            memoryLimit = static_cast<std::int64_t>(mib) << 20;
        } else if (std::strcmp(option, "-g") == 0) {
            ++i; // no plugin folder to use
        } else {
            std::fprintf(stderr, "lumo-videorender: unknown option '%s'\n", option);
            printUsage(stderr);
            return kExitUsage;
        }
    }
    if (output.empty())
        return usageError("no output file given (-o)");
    const std::string movie = argv[last];

    try {
        RenderedFrame frame;
        const int rc = renderMovieFrame(movie, seconds, frame, memoryLimit);
        if (rc != kExitOK)
            return rc;
        std::string error;
        if (!writeFrameFile(output, frame, error)) {
            std::fprintf(stderr, "lumo-videorender: cannot write '%s': %s\n", output.c_str(), error.c_str());
            return kExitWrite;
        }
        std::fprintf(stdout, "rendered %ux%u frame at %.3f s of '%s'\n", frame.width, frame.height,
                     frame.seconds, movie.c_str());
        return kExitOK;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "lumo-videorender: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumo-videorender: unexpected failure: %s\n", e.what());
    }
    return kExitOther;
}
