#pragma once

#include <string>

class CLumoApp;

// The disk cache's start-up steps "CThumbfileCache::GetThumbfileCache()" (the cache opened in the image
// cache folder, which must be made or written: otherwise start-up ends) and "Check for valid thumbfile
// cache" (with the LUMOCACHE_LOGGING channel on, the entries are counted and logged), and its shutdown
// step "Closing Thumbfile cache".
void addThumbfileCacheService(CLumoApp& app);

// Why the last start-up could not open the disk cache, as the sentence to show the user; empty when
// it could.
std::string thumbfileCacheStartupError();
