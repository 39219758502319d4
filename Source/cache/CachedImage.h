#pragma once

// The handle an item keeps on its image in the image cache. It follows the file through renames: the
// cache's in-memory and on-disk keys move with it.

#include "cache/LumoCache.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

class CachedImage {
public:
    explicit CachedImage(std::string path) : m_path(std::move(path)) {}
    CachedImage(const CachedImage&) = delete;
    CachedImage& operator=(const CachedImage&) = delete;

    std::string Filename() const;
    // The file now has this name: the cache's keys follow. False (logged) when moving them failed; the
    // handle takes the new name either way, since the file has it.
    bool SetFilename(const std::string& newPath);
    // The closest picture the process's cache holds for the image.
    std::optional<LumoCachePicture> GetClosest(std::uint32_t width, std::uint32_t height) const;

    // The image's information record, once it has been read (null before). A published record is never
    // changed: a writer changes a clone and publishes that, so a reader that copied the pointer reads a
    // record that stays whole.
    NRFImageInfoRef Record() const;
    void SetRecord(NRFImageInfoRef record);

private:
    mutable std::mutex m_lock;
    std::string m_path;
    NRFImageInfoRef m_record;
};
