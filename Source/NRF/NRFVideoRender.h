#pragma once

// The engine's side of the movie-frame renderer: a separate program ("lumo-videorender") that decodes
// one frame of a movie into a file; the engine starts it, captures what it prints into the log and
// reads the frame back.

#include <cstdint>
#include <string>

class NRFBitmapBase;

using NRFErr = std::uint32_t;

// The renderer program: the LUMO_VIDEORENDER variable when set, else "lumo-videorender" beside the
// running program (or in ../lumo-videorender/ from it, as the build tree lays it out).
std::string NRFVideoRenderPath();

// Renders the frame at `seconds` of `moviePath` into `out` (8-bit RGB). 0 on success.
NRFErr NRFRenderMovieFrame(const std::string& moviePath, double seconds, NRFBitmapBase& out);
