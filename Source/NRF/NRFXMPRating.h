#pragma once

// The star rating a photo's XMP holds (xmp:Rating), read where the photo's type keeps its XMP: the
// packet inside the file, or the ".XMP" sidecar beside a raw or a movie. Only this one value is read
// here; the metadata record reads the rest of the XMP.

#include <cstdint>
#include <optional>
#include <string>

class NRFImageInfoRec;

using NRFErr = std::uint32_t;

struct NRFXMPRating {
    std::optional<int> rating; // -1 (rejected) to 5; absent when the XMP holds none
    std::string sidecar;       // the sidecar it was read from; empty for the file's own packet
};

// Reads the rating of a record that NRFGetImageInfo filled. A raw's sidecar is read when the file has
// no packet of its own or the sidecar is newer than the file; a movie's whenever there is one; other
// types use their packet only. 0 also when there is no XMP, or no rating in it; 5 when the packet or
// sidecar cannot be read. Text that is not XMP holds no rating.
NRFErr NRFReadXMPRating(const NRFImageInfoRec& record, NRFXMPRating& out);

// The rating in the XMP packet `packet` (a whole packet or sidecar file); absent when there is none or
// the text is not XML.
std::optional<int> NRFXMPRatingFromPacket(const std::string& packet);
