#include "gps/ReverseGeoCache.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "db/KLKeyValueDB.h"
#include "gps/ReverseGeoUtils.h"
#include "support/TextUtils.h"

#include <utility>

namespace {

std::mutex g_instanceMutex;
std::shared_ptr<ReverseGeoCache> g_instance;

// The value hash's entries, in the order of the place record.
constexpr std::pair<const char*, std::string IPTCLocation::*> kEntries[] = {
    {"lo", &IPTCLocation::m_sublocation},   {"ct", &IPTCLocation::m_city},
    {"st", &IPTCLocation::m_provinceState}, {"cy", &IPTCLocation::m_countryName},
    {"cc", &IPTCLocation::m_countryCode},
};

} // namespace

bool ReverseGeoCache::Initialize(const std::string& path) {
    const std::lock_guard lock(g_instanceMutex);
    if (g_instance)
        return true;
    LUMO_LOG("ReverseGeoCache::Initialize() creating ReverseGeoCache singleton.");
    std::string file = path;
    if (file.empty()) {
        const std::string folder = LumoPaths::imageCacheFolder();
        if (!folder.empty())
            file = folder + "/" + kFileName;
    }
    std::unique_ptr<KLKeyValueDB> db;
    if (!file.empty())
        db = KLKeyValueDB::create(file);
    if (!db || !db->isOpen()) {
        LUMO_LOG("ReverseGeoCache::Initialize() failed to create database.");
        return false;
    }
    g_instance = std::make_shared<ReverseGeoCache>(std::move(db));
    LUMO_LOG("ReverseGeoCache::Initialize() initialized successfully.");
    return true;
}

void ReverseGeoCache::Terminate() {
    std::shared_ptr<ReverseGeoCache> cache;
    {
        const std::lock_guard lock(g_instanceMutex);
        cache = std::move(g_instance);
    }
    if (!cache)
        return;
    cache->Commit();
    // The store closes when the last holder lets go of it.
    cache.reset();
    LUMO_LOG("ReverseGeoCache::Terminate() terminated successfully.");
}

std::shared_ptr<ReverseGeoCache> ReverseGeoCache::Get() {
    const std::lock_guard lock(g_instanceMutex);
    return g_instance;
}

std::string ReverseGeoCache::MakeKey(double latitude, double longitude, const std::string& context) {
    return lumo::formatString("%010.06f,%010.06f_%s", latitude, longitude, context.c_str());
}

bool ReverseGeoCache::Fetch(double latitude, double longitude, const std::string& context,
                            IPTCLocation& place) {
    const std::string key = MakeKey(latitude, longitude, context);
    CILA::VObject value;
    {
        const std::lock_guard lock(m_mutex);
        if (m_db->lookupKeyValue(key, value) != KLKeyValueDB::Outcome::Done)
            return false;
    }
    if (value.dataType() != CILA::VObject::DT_HASH)
        return false; // not a value this cache wrote: asked again and replaced
    IPTCLocation found;
    for (const auto& [name, member] : kEntries) {
        const CILA::VObject* entry = value.fetch(name);
        if (entry && entry->dataType() == CILA::VObject::DT_STR)
            found.*member = entry->getstr();
    }
    place = std::move(found);
    LUMO_LOG("ReverseGeoCache::Fetch() found cached location data for %s.", key.c_str());
    return true;
}

bool ReverseGeoCache::Store(double latitude, double longitude, const std::string& context,
                            const IPTCLocation& place) {
    const std::string key = MakeKey(latitude, longitude, context);
    CILA::VObject value = CILA::VObject::makeHash();
    for (const auto& [name, member] : kEntries)
        value.store(name, CILA::VObject(place.*member));
    LUMO_LOG("ReverseGeoCache::Store() storing location data for %s.", key.c_str());
    const std::lock_guard lock(m_mutex);
    return m_db->storeKeyValue(key, value);
}

bool ReverseGeoCache::Commit() {
    const std::lock_guard lock(m_mutex);
    return m_db->endTransaction();
}

ReverseGeoCache::ReverseGeoCache(std::unique_ptr<KLKeyValueDB> db) : m_db(std::move(db)) {}

ReverseGeoCache::~ReverseGeoCache() {
    if (m_db)
        m_db->endTransaction();
}

void addReverseGeoCacheService(CLumoApp& app) {
    app.startupSteps().add("ReverseGeoCache Initialize", [] {
        if (!ReverseGeoCache::Initialize())
            LUMO_LOG("Failed to initialize ReverseGeoCache");
        InstallReverseGeocoder();
        return true;
    });
    app.shutdownSteps().add("ReverseGeoCache::Terminate()", [] {
        RemoveReverseGeocoder();
        ReverseGeoCache::Terminate();
        return true;
    });
}
