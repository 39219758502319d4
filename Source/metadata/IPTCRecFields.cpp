#include "metadata/IPTCRecFields.h"

bool IPTCGetFieldText(const IPTCRec&, const IPTCCatalogueEntry&, const IPTCEncodingSettings&,
                      std::string& text) {
    text.clear();
    return false;
}

bool IPTCSetFieldText(IPTCRec&, const IPTCCatalogueEntry&, const IPTCEncodingSettings&, std::string_view,
                      bool, std::string& error) {
    error = "not available yet";
    return false;
}
