#pragma once

#include "NRF/NRFBitmapBase.h"

#include <QImage>

#include <memory>
#include <string>

// The screen's colour: the cache's pictures are sRGB, and a screen with a profile of its own gets them
// converted to it (Little CMS). Without one they are shown as they are. Conversions run where the
// pictures arrive (a cache worker), never while painting.
class CDisplayColorTransform {
public:
    // The profile the preferences name for the screen (an ICC file), read again when the preferences
    // change; null when none is set, or when the file is no RGB or grey profile (logged).
    static std::shared_ptr<const CDisplayColorTransform> forScreen();
    // From a profile's bytes; null when Little CMS cannot use them for a screen.
    static std::shared_ptr<const CDisplayColorTransform> fromProfile(std::string profile);

    // The profile's description ("sRGB" for none).
    const std::string& name() const { return m_name; }

    // The bitmap as an image for the screen, converted when there is a transform.
    static QImage toScreenImage(const NRFBitmapBase& bitmap, const CDisplayColorTransform* transform);

private:
    CDisplayColorTransform(std::string profile, std::string name)
        : m_profile(std::move(profile)), m_name(std::move(name)) {}

    std::string m_profile;
    std::string m_name;
};
