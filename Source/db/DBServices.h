#pragma once

class CLumoApp;

// The database services' start-up and shutdown steps.
// The preferences: "CPreferences::GetPreferences" and "Closing preferences".
void addPreferencesService(CLumoApp& app);
// The sort cache: "LumoSortCache::InitSortCache()" (with the start-up purge the preferences ask for)
// and "LumoSortCache::TerminateSortCache".
void addSortCacheService(CLumoApp& app);
