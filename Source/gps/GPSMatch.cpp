#include "gps/GPSMatch.h"

std::int64_t GPSOffset::totalSeconds() const {
    return 0;
}
void GPSOffset::stepSeconds(int) {}
void GPSOffset::stepMinutes(int) {}
void GPSOffset::stepHours(int) {}
bool GPSOffset::parse(const std::string&, GPSOffset&) {
    return false;
}
GPSMatchSettings GPSMatchSettings::Load(const CPreferences&) {
    return {};
}
bool GPSMatchSettings::Save(CPreferences&) const {
    return false;
}
GPSMatch GPSMatchPhoto(const GPSLogMap&, std::int64_t, const GPSMatchSettings&,
                       const std::optional<GPSOwnPosition>&) {
    return {};
}
GPSMatch GPSMatchPhoto(const GPSLogMap&, const NRFImageInfoRec&, const GPSMatchSettings&) {
    return {};
}
double GPSVincentyDistanceKm(double, double, double, double) {
    return -1.0;
}
std::string GPSMatchSummary(std::size_t, std::size_t) {
    return kGPSNoMatchesText;
}
