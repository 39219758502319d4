#pragma once

// Small movies with known pictures, encoded with FFmpeg's own encoders: every second of the movie
// shows one picture of flat colours, so a frame taken at a time can be checked pixel by pixel.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace lumo::test {

using Rgb = std::array<std::uint8_t, 3>;

struct MoviePlan {
    int width = 64;
    int height = 48;
    int framesPerSecond = 5;
    int keyFrameInterval = 12; // frames between key frames, so most frames depend on earlier ones
    // One picture per second: the top half in the first colour, the bottom half in the second.
    std::vector<std::array<Rgb, 2>> seconds;
    // The turn players give the picture, in degrees clockwise, written as a display matrix (0: none).
    double displayRotation = 0;
};

// Writes an MPEG-4 Part 2 movie to `path` (the container from the name: ".mov", ".mp4"). False with
// `error` set when that fails.
bool makeMovie(const std::string& path, const MoviePlan& plan, std::string& error);

} // namespace lumo::test
