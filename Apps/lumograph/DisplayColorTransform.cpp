#include "DisplayColorTransform.h"

#include "NRF/NRFICC.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/FileIO.h"

#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>

namespace {

// A profile file bigger than this is no screen's.
constexpr std::size_t kMaxProfileBytes = 16 << 20;

bool readProfileFile(const std::string& path, std::string& bytes) {
    // Only a regular file: a named pipe or a device would never end, or never answer.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    return lumo::readFile(path, bytes, kMaxProfileBytes + 1) == 0 && !bytes.empty() &&
           bytes.size() <= kMaxProfileBytes;
}

} // namespace

std::shared_ptr<const CDisplayColorTransform> CDisplayColorTransform::fromProfile(std::string profile) {
    // A grey and an RGB pixel through the transform: Little CMS takes the profile, and it suits one of
    // the bitmaps the cache hands out.
    NRFBitmapBase probe;
    if (profile.empty() || !probe.Allocate(1, 1, 3))
        return nullptr;
    if (NRFICCConvertFromSRGB(profile, probe) != 0)
        return nullptr;
    std::string name = NRFICCProfileName(profile);
    if (name.empty())
        name = "(no name)";
    return std::shared_ptr<const CDisplayColorTransform>(
        new CDisplayColorTransform(std::move(profile), std::move(name)));
}

std::shared_ptr<const CDisplayColorTransform> CDisplayColorTransform::forScreen() {
    static std::mutex lock;
    static std::uint64_t readAt = ~std::uint64_t{0};
    static std::string readPath;
    static std::shared_ptr<const CDisplayColorTransform> current;

    const std::lock_guard guard(lock);
    const std::uint64_t changes = CPreferences::changeCount();
    if (changes == readAt)
        return current;
    std::string path;
    if (const std::shared_ptr<CPreferences> preferences = CPreferences::instance())
        path = preferences->getString(kPrefDisplayICCProfile, {});
    readAt = changes;
    if (path == readPath && (current || path.empty()))
        return current;
    readPath = path;
    current.reset();
    if (path.empty())
        return current;
    std::string bytes;
    if (!readProfileFile(path, bytes)) {
        LUMO_LOG("Preview: the screen profile '%s' cannot be read; showing sRGB", path.c_str());
        return current;
    }
    current = fromProfile(std::move(bytes));
    if (!current)
        LUMO_LOG("Preview: the screen profile '%s' is no RGB or grey profile; showing sRGB", path.c_str());
    return current;
}

QImage CDisplayColorTransform::toScreenImage(const NRFBitmapBase& bitmap,
                                             const CDisplayColorTransform* transform) {
    if (bitmap.Empty() || (bitmap.Channels() != 1 && bitmap.Channels() != 3))
        return {};
    const NRFBitmapBase* source = &bitmap;
    NRFBitmapBase converted;
    if (transform) {
        converted = bitmap;
        if (NRFICCConvertFromSRGB(transform->m_profile, converted) == 0)
            source = &converted;
    }
    QImage image(static_cast<int>(source->Width()), static_cast<int>(source->Height()),
                 source->Channels() == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    if (image.isNull())
        return {};
    for (std::uint32_t y = 0; y < source->Height(); ++y)
        std::memcpy(image.scanLine(static_cast<int>(y)), source->Row(y), source->Stride());
    return image;
}
