#pragma once

// Decoding one frame of a movie and writing it as a frame file.

#include <cstdint>
#include <string>
#include <vector>

// The program's exit codes (see main.cpp).
enum : int {
    kExitOK = 0,
    kExitUsage = 1,
    kExitOpen = 2,
    kExitDecode = 3,
    kExitTooLarge = 4,
    kExitWrite = 5,
    kExitOther = 6,
};

// An 8-bit RGB frame, rows packed (width * 3 bytes each).
struct RenderedFrame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgb;
    double seconds = 0; // the frame's time from the start of its stream
};

// Decodes the frame of `moviePath` shown at `seconds` (the first frame at or after it, the last frame
// when the time is past the end) into `frame`. Answers an exit code; failures are told on stderr. With
// `memoryLimit` (bytes, 0 for none) the decoder refuses pictures whose decoding (reference pictures
// and the converted frame, taken as kBytesPerDecodedPixel a pixel) would need more: kExitTooLarge.
inline constexpr std::int64_t kBytesPerDecodedPixel = 12;
int renderMovieFrame(const std::string& moviePath, double seconds, RenderedFrame& frame,
                     std::int64_t memoryLimit = 0);

// Writes `frame` to `path` through a temporary file beside it ("path.part") and a rename. False with `error`
// set when that fails (nothing is left behind then).
bool writeFrameFile(const std::string& path, const RenderedFrame& frame, std::string& error);
