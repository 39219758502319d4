#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Every log channel of the program: a debug flag switched on in the debug-flags file.
// clang-format off
#define LUMO_DEBUG_FLAG_NAMES(X)                                                                           \
    X(ALWAYS_WRITE_TIME_ZONE) X(APP_TIMER_STARVATION_LOGGING) X(AUDIO_LOGGING) X(AUTOCOMPLETE_LOGGING)     \
    X(AUTOPATCH_IF_CORRUPT) X(AUTOSCROLL_TESTING) X(BITMAP_SCALING_LOGGING) X(BURN_TO_DISC_LOGGING)        \
    X(CACHE_WORKER_TIMING) X(CATALOG_DEBUG_LOGGING) X(KLFILE_IO_LOGGING) X(KLFILE_READ_CACHE_LOGGING)      \
    X(KLFILE_READ_CACHE_MISSES_LOGGING) X(COLOR_MANAGEMENT_LOGGING) X(CONTACT_SHEET_SORT_LOGGING)          \
    X(COPY_MOVE_LOGGING) X(CROPPING_LOGGING) X(DIR_SCAN_LOGGING) X(DRAG_DROP_LOGGING) X(DRAW_CELL_NUMBERS) \
    X(DROPLETS_LOGGING) X(DUMP_PRECACHE_ITEMS) X(DUMP_PRIORITY_ITEMS) X(EMAIL_LOGGING)                     \
    X(EMPTY_CACHE_LOGGING) X(EVENT_THREAD_DISPATCH_LOGGING) X(FAVORITES_LOGGING) X(FILESYS_NODE_LOGGING)   \
    X(FILESYSTEMCACHE_LOGGING) X(FIND_FILES_LOGGING) X(FIND_REPLACE_LOGGING)                               \
    X(FORCE_HUFFMAN_OPTIMIZATION_DISABLED) X(FTP_COMMANDS_AND_RESPONSES_LOGGING)                           \
    X(FTPIMAGEPROCESSING_LOGGING) X(HTTP_REQUEST_LOGGING) X(IMAGE_DRAWING_LOGGING)                         \
    X(INCREMENTAL_INGEST_LOGGING) X(INGEST_LOGGING) X(INGEST_SCAN_LOGGING) X(IPTC_LAYOUT_LOGGING)          \
    X(KEY_LOGGING) X(KEY_VIEW_LOGGING) X(LAST_CSHEET_LOGGING) X(LAUNCH_EDITOR_LOGGING)                     \
    X(LIVE_INGEST_LOGGING) X(LIVE_SLIDESHOW_LOGGING) X(METADATA_PRELOAD_LOGGING) X(NAVIGATOR_LOGGING)      \
    X(NAVIGATOR_VOLUME_LOGGING) X(PICKERS_LOGGING) X(LUMOCACHE_LOGGING) X(LUMOCACHE_VERBOSE_LOGGING)       \
    X(PREVIEW_LATENCY_LOGGING) X(PREVIEW_MOUSE_LOGGING) X(REMOTE_IMAGE_CACHING) X(RENAME_STRING_LOGGING)   \
    X(RENDER_CACHE_LOGGING) X(RENDER_REQUEST_LOGGING) X(RESCAN_LOGGING) X(REVERSE_GEOCODING_LOGGING)       \
    X(REVERSE_GEOCODING_SERVER) X(SAVEAS_LOGGING) X(SCRIPTING_STARTUP_LOGGING) X(SCROLL_WHEEL_LOGGING)     \
    X(SHOW_CSHEET_RESCAN) X(SHOW_DIRSCAN_FILTER) X(SHOW_DIRSCAN_TIME) X(SHOW_EMAIL_SCRIPTS)                \
    X(SHOW_NAV_FAV_DIRSCAN_FILTER) X(SHUTDOWN_LOGGING) X(SLIDESHOW_LOGGING)                                \
    X(SLIDESHOW_TRANSITIONS_LOGGING) X(SORT_CACHE_LOGGING) X(SORT_INFO_LOGGING) X(SORT_MANAGER_LOGGING)    \
    X(SPLITVIEW_LOGGING) X(SPOTLIGHT_LOGGING) X(STARTUP_LOGGING) X(STARTUP_PAUSING) X(TRASH_LOGGING)       \
    X(UPLOAD_STARTUP_LOGGING) X(USER_EVENTS_LOGGING) X(VIDEO_RENDER_LOGGING) X(VOLUME_LOGGING)             \
    X(PERCEPTUAL_HASH_TO_SEARCH) X(PERCEPTUAL_HASH_DISTANCE) X(CILA_RPC_MSG_LOGGING)
// clang-format on

namespace DebugFlag {
#define LUMO_DEBUG_FLAG_CONSTANT(name) inline constexpr std::string_view name = #name;
LUMO_DEBUG_FLAG_NAMES(LUMO_DEBUG_FLAG_CONSTANT)
#undef LUMO_DEBUG_FLAG_CONSTANT

#define LUMO_DEBUG_FLAG_ENTRY(name) #name,
inline constexpr std::string_view kAll[] = {LUMO_DEBUG_FLAG_NAMES(LUMO_DEBUG_FLAG_ENTRY)};
#undef LUMO_DEBUG_FLAG_ENTRY
} // namespace DebugFlag

// What one debug-flags file says: the flags that are on, and the other values given.
struct DebugFlagSettings {
    std::set<std::string, std::less<>> on;
    std::map<std::string, std::string, std::less<>> values;

    // Reads the file's text: lines end at "\r\n", "\n" or "\r"; a byte-order mark at the start of a line
    // is dropped; a line splits into white-space separated tokens, the first the name and the second the
    // value (further tokens are ignored). Lines of fewer than two tokens, and lines whose name starts
    // with "//", say nothing. ON, YES, TRUE or 1 in any case turn the flag on; any other value is kept as
    // the flag's value. A later line about the same name replaces an earlier one.
    static DebugFlagSettings parse(std::string_view text);
};

// The debug flags of one debug-flags file, read once, on the first question, and again after reload().
// A missing or unreadable file means every flag is off.
class DebugFlags {
public:
    using PathSource = std::function<std::string()>;

    explicit DebugFlags(PathSource pathSource);

    // The process's flags, read from "LumoDebug.txt" in the settings folder.
    static DebugFlags& instance();

    bool isOn(std::string_view name);
    // Empty when the file gives the name no value.
    std::string value(std::string_view name);
    void reload();
    // Everything the file switched on or gave a value.
    DebugFlagSettings settings();

private:
    void loadIfNeeded();

    std::mutex m_mutex;
    PathSource m_pathSource;
    bool m_loaded = false;
    DebugFlagSettings m_settings;
};

// The process's flags.
inline bool isDebugFlagOn(std::string_view name) {
    return DebugFlags::instance().isOn(name);
}
inline std::string getDebugFlagValue(std::string_view name) {
    return DebugFlags::instance().value(name);
}
inline void reloadDebugFlags() {
    DebugFlags::instance().reload();
}
