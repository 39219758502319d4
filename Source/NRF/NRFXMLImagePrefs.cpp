#include "NRF/NRFXMLImagePrefs.h"

#include "NRF/NRFImageInfo.h"

NRFErr NRFXMLImagePrefsExporter::ExportImagePrefsToBuffer(const NRFImageInfoRec&, std::string& out, bool) {
    out.clear();
    return 1;
}
NRFErr NRFXMLImagePrefsExporter::ExportImagePrefsToFile(const NRFImageInfoRec&, const std::string&, bool) {
    return 1;
}
NRFErr NRFXMLImagePrefsImporter::ImportImagePrefsFromBuffer(NRFImageInfoRec&, const std::string&) {
    return 1;
}
NRFErr NRFXMLImagePrefsImporter::ImportImagePrefsFromFile(NRFImageInfoRec&, const std::string&) {
    return 1;
}
NRFErr NRFXMLImagePrefsExport(const NRFImageInfoRec& record, std::string& out, bool pad) {
    return NRFXMLImagePrefsExporter().ExportImagePrefsToBuffer(record, out, pad);
}
NRFErr NRFXMLImagePrefsImport(NRFImageInfoRec& record, const std::string& text) {
    return NRFXMLImagePrefsImporter().ImportImagePrefsFromBuffer(record, text);
}
