#pragma once

// Writes matched positions into photos (a photo that keeps its own position is left as it is), one photo
// per step: the XMP exif:GPS* properties (in the file or
// its sidecar, by the type's policy) and, where the file already holds EXIF GPS latitude, longitude and
// altitude values, those values too (same sizes, rewritten through a temporary file). Then, when asked,
// looks the place up and applies it (reverse geocoding).

#include "NRF/NRF.h"
#include "background/ThreadedWorker.h"
#include "gps/GPSMatch.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

inline constexpr char kImportGPSExceptionText[] =
    "Unexpected exception in ImportGPSCoordinatesWorker->DoWork:";

// Puts a match's position into `image` (latitude, longitude, altitude, speed, course, the GPS time) and
// writes it: XMP, then the EXIF GPS values in place where the record has their positions. 0, or the
// engine's error with its text in NRFGetErrorText().
NRFErr GPSWritePosition(NRFImageInfoRec* image, const GPSMatch& match);

// Rewrites the EXIF GPS latitude, longitude (and altitude when the file holds it) values and their
// references at the positions the record holds; nothing grows. 0 when done or when the file has none.
NRFErr GPSWriteExifPosition(NRFImageInfoRec* image, double latitude, double longitude, double altitude);

class ImportGPSCoordinatesWorker : public CWorker {
public:
    struct Item {
        NRFImageInfoRef image;
        GPSMatch match;
    };
    // Looks up and applies the place of a photo whose position was just written; false with `error`.
    using Geocoder = std::function<bool(NRFImageInfoRec& image, std::string& error)>;

    ImportGPSCoordinatesWorker(std::vector<Item> items, bool reverseGeocode, Geocoder geocoder = {});

    bool DoStep() override;
    bool IsDone() override;
    unsigned GetPercent() override;
    void GetStatusText(std::string& text) override;

    std::size_t written() const { return m_written; }
    std::size_t failed() const { return m_failed; }
    std::size_t geocodeFailed() const { return m_geocodeFailed; }
    // Why the item failed (empty when it did not), and whether its position was written.
    const std::string& error(std::size_t item) const { return m_outcomes[item].error; }
    bool written(std::size_t item) const { return m_outcomes[item].written; }

private:
    struct Outcome {
        bool written = false;
        std::string error;
    };
    std::vector<Item> m_items;
    std::vector<Outcome> m_outcomes;
    bool m_reverseGeocode = false;
    Geocoder m_geocoder;
    std::size_t m_next = 0, m_written = 0, m_failed = 0, m_geocodeFailed = 0;
};
