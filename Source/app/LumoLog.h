#pragma once

// The logging call of every call site: printf-style, checked by the compiler, formatted into a
// 4096-byte buffer and logged with the calling file's name and line.
//
//   LUMO_LOG("Changing locale to %s", name);
//   LUMO_CHANNEL_LOG(DebugFlag::SORT_CACHE_LOGGING, "purged %d entries", count);

#include "app/DebugFlags.h"
#include "app/LumoLogger.h"

#define LUMO_LOG(...) ::lumoLogAt(__FILE__, __LINE__, __VA_ARGS__)

// Logs only when the channel's debug flag is on; the arguments are not evaluated otherwise.
#define LUMO_CHANNEL_LOG(flag, ...)                                                                          \
    do {                                                                                                     \
        if (::isDebugFlagOn(flag))                                                                           \
            LUMO_LOG(__VA_ARGS__);                                                                           \
    } while (0)
