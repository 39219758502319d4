#include "cache/CachedImage.h"

#include "app/LumoLog.h"

std::string CachedImage::Filename() const {
    std::lock_guard lock(m_lock);
    return m_path;
}

bool CachedImage::SetFilename(const std::string& newPath) {
    std::lock_guard lock(m_lock);
    bool moved = true;
    try {
        if (LumoCache* cache = LumoCache::instance(); cache && newPath != m_path)
            cache->rename(m_path, newPath);
    } catch (...) {
        LUMO_LOG("Unexpected exception during file renaming in CachedImage::SetFilename()");
        moved = false;
    }
    m_path = newPath;
    return moved;
}

std::optional<LumoCachePicture> CachedImage::GetClosest(std::uint32_t width, std::uint32_t height) const {
    LumoCache* cache = LumoCache::instance();
    if (!cache)
        return std::nullopt;
    return cache->get_closest(Filename(), width, height);
}

NRFImageInfoRef CachedImage::Record() const {
    std::lock_guard lock(m_lock);
    return m_record;
}

void CachedImage::SetRecord(NRFImageInfoRef record) {
    std::lock_guard lock(m_lock);
    m_record = std::move(record);
}
