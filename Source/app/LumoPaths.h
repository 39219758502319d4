#pragma once

#include <functional>
#include <string>

// Where settings, caches and the log live.
//
// Settings folder: --settings, else $LUMO_SETTINGS_PATH, else "$XDG_CONFIG_HOME/Kestrel Labs, Inc/Lumograph"
// (XDG_CONFIG_HOME defaulting to ~/.config). Image cache folder: --cache, else $LUMO_CACHE_PATH, else the
// "CachePath" preference, else "$XDG_CACHE_HOME/Lumograph" (XDG_CACHE_HOME defaulting to ~/.cache). The
// log lives in the image cache folder as it is fixed before the preferences are open: when the
// "CachePath" preference later moves the image caches (useCachePathPreference), the log stays. Folders
// are created when first written to, not here.

inline constexpr char kSettingsSubfolder[] = "Kestrel Labs, Inc/Lumograph";
inline constexpr char kCacheSubfolder[] = "Lumograph";
inline constexpr char kLogFileName[] = "Lumo.log";
inline constexpr char kDebugFlagsFileName[] = "LumoDebug.txt";
inline constexpr char kSettingsPathVariable[] = "LUMO_SETTINGS_PATH";
inline constexpr char kCachePathVariable[] = "LUMO_CACHE_PATH";

struct LocationInputs {
    std::string settingsOption;      // --settings DIR
    std::string cacheOption;         // --cache DIR
    std::string cachePathPreference; // the "CachePath" preference, once the preferences are open
};

struct ResolvedLocations {
    std::string settingsFolder;
    std::string imageCacheFolder;
};

class LumoPaths {
public:
    using EnvLookup = std::function<const char*(const char*)>;

    // Pure resolution, for callers that bring their own environment. Relative folders are made
    // absolute against the current directory. Throws std::runtime_error when no home folder can be
    // found and nothing overrides it.
    static ResolvedLocations resolve(const LocationInputs& inputs, const EnvLookup& env);

    // Fixes the process's locations (from the real environment).
    static void initialise(const LocationInputs& inputs);
    static void initialise(const ResolvedLocations& locations);
    // Forgets them again: until the next initialise, the folders are unknown (empty).
    static void reset();
    // Moves the image cache folder to the "CachePath" preference's folder, unless --cache or
    // $LUMO_CACHE_PATH chose it (or the folders were given as they are). The log folder stays. True
    // when the folder changed.
    static bool useCachePathPreference(const std::string& folder);

    static std::string settingsFolder();
    static std::string imageCacheFolder();
    static std::string logFolder();
    static std::string logFilePath();
    static std::string debugFlagsFilePath();
};
