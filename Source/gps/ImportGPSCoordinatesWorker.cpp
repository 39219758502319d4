#include "gps/ImportGPSCoordinatesWorker.h"

NRFErr GPSWritePosition(NRFImageInfoRec*, const GPSMatch&) {
    return kNRFErrParam;
}
NRFErr GPSWriteExifPosition(NRFImageInfoRec*, double, double, double) {
    return kNRFErrParam;
}

ImportGPSCoordinatesWorker::ImportGPSCoordinatesWorker(std::vector<Item> items, bool reverseGeocode,
                                                       Geocoder geocoder)
    : m_items(std::move(items)), m_reverseGeocode(reverseGeocode), m_geocoder(std::move(geocoder)) {}
bool ImportGPSCoordinatesWorker::DoStep() {
    ++m_next;
    return !m_reverseGeocode && false;
}
bool ImportGPSCoordinatesWorker::IsDone() {
    return m_next >= m_items.size();
}
unsigned ImportGPSCoordinatesWorker::GetPercent() {
    return 0;
}
void ImportGPSCoordinatesWorker::GetStatusText(std::string& text) {
    text.clear();
}
