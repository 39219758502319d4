#pragma once

// The local cache of reverse-geocoding answers: a key-value store "GeocodeCache.db" in the cache folder,
// one entry per position and source, so that the same position is never asked twice of the same
// source.

#include "metadata/IPTCStructures.h"

#include <memory>
#include <mutex>
#include <string>

class CLumoApp;
class KLKeyValueDB;

class ReverseGeoCache {
public:
    // The store's file name in the cache folder.
    static constexpr char kFileName[] = "GeocodeCache.db";

    // Creates the process's cache over `path` (default: "GeocodeCache.db" in the cache folder), logging
    // "ReverseGeoCache::Initialize() creating ReverseGeoCache singleton." and then "...initialized
    // successfully." or "...failed to create database.". True when the store is open; true at once when
    // the cache already exists.
    static bool Initialize(const std::string& path = {});
    // Commits and closes the cache ("ReverseGeoCache::Terminate() terminated successfully.").
    static void Terminate();
    // The process's cache, or null before Initialize() and after Terminate(). Keep it for the work at
    // hand only.
    static std::shared_ptr<ReverseGeoCache> Get();

    // "%010.06f,%010.06f_%s": latitude and longitude with six decimals, zero-padded to ten characters,
    // and the context text naming the source after the underscore.
    static std::string MakeKey(double latitude, double longitude, const std::string& context);

    // The place cached for the position and source: the five strings (sublocation, city, state,
    // country, country code; a missing entry reads as empty). Logs "ReverseGeoCache::Fetch() found
    // cached location data for %s." with the key. False when the cache holds nothing for it.
    bool Fetch(double latitude, double longitude, const std::string& context, IPTCLocation& place);
    // Stores the five strings as the hash "lo", "ct", "st", "cy", "cc" ("ReverseGeoCache::Store() storing
    // location data for %s."). Stores stay in an open transaction until Commit() (or Terminate()): a
    // process that dies loses them, and asks again next time. False when the store refuses it.
    bool Store(double latitude, double longitude, const std::string& context, const IPTCLocation& place);
    // Commits what was stored.
    bool Commit();

    explicit ReverseGeoCache(std::unique_ptr<KLKeyValueDB> db);
    ~ReverseGeoCache();
    ReverseGeoCache(const ReverseGeoCache&) = delete;
    ReverseGeoCache& operator=(const ReverseGeoCache&) = delete;

private:
    std::mutex m_mutex;
    std::unique_ptr<KLKeyValueDB> m_db;
};

// The start-up step "ReverseGeoCache Initialize" (a cache that cannot open logs "Failed to initialize
// ReverseGeoCache" and start-up goes on without it) with the template's geocoder installed, and the
// shutdown step "ReverseGeoCache::Terminate()".
void addReverseGeoCacheService(CLumoApp& app);
