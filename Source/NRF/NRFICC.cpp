#include "NRF/NRFICC.h"

#include "NRF/NRFImageInfo.h"

NRFErr NRFICCInitProfiles() {
    return 0;
}
const std::string& NRFICCBuiltInProfile(std::uint16_t) {
    static const std::string none;
    return none;
}
NRFErr NRFICCReadEmbeddedProfile(const NRFImageInfoRec&, std::string&) {
    return 13;
}
NRFErr NRFICCLoadProfileEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->iccProfile)
        return 1;
    return NRFICCReadEmbeddedProfile(record, *args->iccProfile);
}
std::string NRFICCProfileName(const std::string&) {
    return {};
}
NRFErr NRFICCConvertToSRGB(const std::string&, NRFBitmapBase&) {
    return 0;
}
NRFErr NRFICCConvertRecordBitmapToSRGB(const NRFImageInfoRec&, NRFBitmapBase&) {
    return 0;
}
