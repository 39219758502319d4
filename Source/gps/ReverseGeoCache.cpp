#include "gps/ReverseGeoCache.h"

#include "db/KLKeyValueDB.h"

bool ReverseGeoCache::Initialize(const std::string&) {
    return false;
}
void ReverseGeoCache::Terminate() {}
std::shared_ptr<ReverseGeoCache> ReverseGeoCache::Get() {
    return nullptr;
}
std::string ReverseGeoCache::MakeKey(double, double, const std::string&) {
    return {};
}
bool ReverseGeoCache::Fetch(double, double, const std::string&, IPTCLocation&) {
    return false;
}
bool ReverseGeoCache::Store(double, double, const std::string&, const IPTCLocation&) {
    return false;
}
ReverseGeoCache::ReverseGeoCache(std::unique_ptr<KLKeyValueDB> db) : m_db(std::move(db)) {}
ReverseGeoCache::~ReverseGeoCache() = default;
void addReverseGeoCacheService(CLumoApp&) {}
