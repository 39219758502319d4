#pragma once

// The engine's side of the movie-frame renderer: a separate program ("lumo-videorender") that decodes
// one frame of a movie into a file; the engine starts it, captures what it prints into the log and
// reads the frame back.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

class NRFBitmapBase;

using NRFErr = std::uint32_t;

// The renderer program: the LUMO_VIDEORENDER variable when set, else "lumo-videorender" beside the
// running program (or in ../lumo-videorender/ from it, as the build tree lays it out).
std::string NRFVideoRenderPath();

// Renders the frame at `seconds` of `moviePath` into `out` (8-bit RGB). 0 on success; 13 when the
// renderer is missing, cannot be started, times out or fails; 9 when its frame file is invalid or
// short; 7 when the memory for the bitmap cannot be had; 8 on an unexpected exception.
NRFErr NRFRenderMovieFrame(const std::string& moviePath, double seconds, NRFBitmapBase& out);
// The same with another limit on the renderer's time (kNRFVideoRenderTimeoutMs below).
NRFErr NRFRenderMovieFrame(const std::string& moviePath, double seconds, NRFBitmapBase& out,
                           std::chrono::milliseconds timeout);

// The frame file the renderer writes (all numbers little-endian, 32 bits):
//   magic "LVRF", version, width, height, row stride in bytes (at least width * 3), then height rows
//   of stride bytes, each starting with width RGB triples.
inline constexpr char kNRFVideoFrameMagic[4] = {'L', 'V', 'R', 'F'};
inline constexpr std::uint32_t kNRFVideoFrameVersion = 1;
inline constexpr std::size_t kNRFVideoFrameHeaderSize = 20;
// Neither side of a frame may be larger.
inline constexpr std::uint32_t kNRFVideoFrameMaxSide = 16384;
// Nor may a row carry more padding than this.
inline constexpr std::uint32_t kNRFVideoFrameMaxPadding = 64;

// How long the renderer may take before it is stopped.
inline constexpr int kNRFVideoRenderTimeoutMs = 30000;
