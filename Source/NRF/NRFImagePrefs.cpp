#include "NRF/NRFImagePrefs.h"

#include "NRF/NRFImageInfo.h"

std::string NRFXIPSidecarPath(const std::string&, bool) {
    return {};
}
NRFErr NRFLoadXMLPrefs(NRFImageInfoRec*) {
    return 5;
}
NRFErr NRFWhackXMLPrefs(NRFImageInfoRec*) {
    return 0;
}
NRFErr NRFSaveImagePrefs(NRFImageInfoRec*) {
    return 1;
}
NRFErr NRFLoadEOFBlocks(const std::string&, NRFEOFBlock& out) {
    out = NRFEOFBlock{};
    return 0;
}
NRFErr NRFRemoveEOFPrefs(const std::string&, bool& removed) {
    removed = false;
    return 0;
}
NRFErr NRFRemoveEOFPrefs(std::string&, bool& removed) {
    removed = false;
    return 0;
}
