#include "app/LumoPaths.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace {

std::mutex g_mutex;
ResolvedLocations g_locations;
// The log's folder: the image cache folder as start-up fixed it, before the preferences could move it.
std::string g_logFolder;
// Whether the image cache folder was chosen explicitly (--cache, $LUMO_CACHE_PATH, given folders), so
// that the "CachePath" preference does not move it.
bool g_cacheFixed = false;

std::string absoluteFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(folder, ec);
    if (ec)
        path = folder;
    return path.lexically_normal().string();
}

std::string nonEmpty(const char* value) {
    return value ? std::string(value) : std::string();
}

// An XDG base folder: the variable when it holds an absolute path, else $HOME joined with `fallback`.
std::string xdgFolder(const LumoPaths::EnvLookup& env, const char* variable, const char* fallback) {
    const std::string value = nonEmpty(env(variable));
    if (!value.empty() && value.front() == '/')
        return value;
    const std::string home = nonEmpty(env("HOME"));
    if (home.empty())
        throw std::runtime_error(std::string("neither ") + variable + " nor HOME is set: cannot place the " +
                                 "settings and cache folders (set LUMO_SETTINGS_PATH and LUMO_CACHE_PATH)");
    return (std::filesystem::path(home) / fallback).string();
}

std::string joined(const std::string& folder, const char* name) {
    if (folder.empty())
        return {};
    return (std::filesystem::path(folder) / name).string();
}

} // namespace

ResolvedLocations LumoPaths::resolve(const LocationInputs& inputs, const EnvLookup& env) {
    ResolvedLocations out;

    std::string settings = inputs.settingsOption;
    if (settings.empty())
        settings = nonEmpty(env(kSettingsPathVariable));
    if (settings.empty())
        settings = (std::filesystem::path(xdgFolder(env, "XDG_CONFIG_HOME", ".config")) / kSettingsSubfolder)
                       .string();
    out.settingsFolder = absoluteFolder(settings);

    std::string cache = inputs.cacheOption;
    if (cache.empty())
        cache = nonEmpty(env(kCachePathVariable));
    if (cache.empty())
        cache = inputs.cachePathPreference;
    if (cache.empty())
        cache =
            (std::filesystem::path(xdgFolder(env, "XDG_CACHE_HOME", ".cache")) / kCacheSubfolder).string();
    out.imageCacheFolder = absoluteFolder(cache);
    return out;
}

void LumoPaths::initialise(const LocationInputs& inputs) {
    initialise(resolve(inputs, [](const char* name) { return std::getenv(name); }));
    std::lock_guard lock(g_mutex);
    g_cacheFixed = !inputs.cacheOption.empty() || !nonEmpty(std::getenv(kCachePathVariable)).empty() ||
                   !inputs.cachePathPreference.empty();
}

void LumoPaths::initialise(const ResolvedLocations& locations) {
    std::lock_guard lock(g_mutex);
    g_locations = locations;
    g_logFolder = locations.imageCacheFolder;
    g_cacheFixed = true;
}

void LumoPaths::reset() {
    std::lock_guard lock(g_mutex);
    g_locations = {};
    g_logFolder.clear();
    g_cacheFixed = false;
}

bool LumoPaths::useCachePathPreference(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    if (g_cacheFixed || folder.empty() || g_locations.imageCacheFolder.empty())
        return false;
    const std::string moved = absoluteFolder(folder);
    if (moved == g_locations.imageCacheFolder)
        return false;
    g_locations.imageCacheFolder = moved;
    return true;
}

std::string LumoPaths::settingsFolder() {
    std::lock_guard lock(g_mutex);
    return g_locations.settingsFolder;
}

std::string LumoPaths::imageCacheFolder() {
    std::lock_guard lock(g_mutex);
    return g_locations.imageCacheFolder;
}

std::string LumoPaths::logFolder() {
    std::lock_guard lock(g_mutex);
    return g_logFolder;
}

std::string LumoPaths::logFilePath() {
    return joined(logFolder(), kLogFileName);
}

std::string LumoPaths::debugFlagsFilePath() {
    return joined(settingsFolder(), kDebugFlagsFileName);
}
