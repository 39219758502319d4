#include "gps/ReverseGeoUtils.h"

ReverseGeocodeSettings ReverseGeocodeSettings::Load() {
    return {};
}
bool ReverseGeocodeSettings::Save() const {
    return false;
}
bool ReverseGeocodeSettings::appliesAny() const {
    return false;
}
std::string ReverseGeocodeContext(const std::string& server) {
    return server.empty() ? "offline" : server;
}
std::optional<GeoPosition> ReverseGeoPosition(const NRFImageInfoRec&) {
    return std::nullopt;
}
bool PreloadReverseGeocodeBatch(const std::vector<GeoPosition>&, const std::string&,
                                std::vector<ReverseGeoAnswer>&, std::string*) {
    return false;
}
bool PreloadSingleJob(const NRFImageInfoRec&, bool, const std::string&, std::optional<IPTCLocation>&,
                      std::string*) {
    return false;
}
void ApplyReverseGeoRecord(IPTCRec&, const IPTCLocation&, const ReverseGeocodeSettings&) {}
bool ApplyReverseGeoData(const std::string&, const IPTCLocation&, const ReverseGeocodeSettings&,
                         std::string*) {
    return false;
}
std::vector<ReverseGeoApplyResult> ApplyReverseGeoBatch(const std::vector<std::string>&,
                                                        const ReverseGeocodeSettings&, const std::string&,
                                                        bool,
                                                        const std::function<bool(const std::string&)>&) {
    return {};
}
std::string TranslateCountryCode(const std::string&) {
    return {};
}
void InstallReverseGeocoder() {}
void RemoveReverseGeocoder() {}
bool PreloadReverseGeocodeForPaths(const std::vector<std::string>&) {
    return false;
}
