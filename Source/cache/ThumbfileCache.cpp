// Placeholder until the disk cache lands: everything misses and nothing is stored.
#include "cache/ThumbfileCache.h"

namespace {
std::unique_ptr<CThumbfileCache> g_cache;
}

CThumbfileCache* CThumbfileCache::GetThumbfileCache() {
    return g_cache.get();
}
bool CThumbfileCache::OpenThumbfileCache(const std::string& folder, std::string&) {
    g_cache = std::make_unique<CThumbfileCache>(folder);
    return true;
}
void CThumbfileCache::CloseThumbfileCache() {
    g_cache.reset();
}
CThumbfileCache::CThumbfileCache(std::string folder) : m_folder(std::move(folder)) {}
CThumbfileCache::~CThumbfileCache() = default;
std::string CThumbfileCache::MakeKey(Kind, const std::string&) {
    return {};
}
std::string CThumbfileCache::MakeKey(Kind, const std::string&, std::uint64_t, std::int64_t) {
    return {};
}
std::string CThumbfileCache::VariantKey(const std::string&, const Variant&) {
    return {};
}
bool CThumbfileCache::validate_key(const std::string&) {
    return false;
}
std::vector<CThumbfileCache::Entry> CThumbfileCache::EntriesFor(const std::string&) const {
    return {};
}
bool CThumbfileCache::Exists(const std::string&) const {
    return false;
}
bool CThumbfileCache::LoadBytes(const std::string&, std::string&) const {
    return false;
}
bool CThumbfileCache::Load(const std::string&, NRFBitmapBase&) const {
    return false;
}
bool CThumbfileCache::Store(const std::string&, const NRFBitmapBase&, int) {
    return false;
}
bool CThumbfileCache::StoreBytes(const std::string&, const std::string&) {
    return false;
}
bool CThumbfileCache::Purge(const std::string&) {
    return false;
}
int CThumbfileCache::RenameImage(const std::string&, const std::string&) {
    return 0;
}
void CThumbfileCache::TouchByCacheKey(const std::string&) {}
CThumbfileCache::Counts CThumbfileCache::Count() const {
    return {};
}
std::size_t CThumbfileCache::Clear(bool, bool,
                                   const std::function<bool(const std::string&, std::size_t, std::size_t)>&) {
    return 0;
}
