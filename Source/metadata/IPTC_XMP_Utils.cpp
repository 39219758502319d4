#include "metadata/IPTC_XMP_Utils.h"

#include "NRF/NRFImageInfo.h"

const char* const kLumographXMPNamespaceURI = "http://ns.kestrellabs.com/lumograph/1.0/";

bool IPTCXMPInitialize() {
    return false;
}

void IPTCXMPTerminate() {}

bool LoadXMPMetadata(const IPTCEncodingSettings&, const char*, std::size_t, NRFImageInfoRec*, bool,
                     IPTCRec*) {
    return false;
}

bool XMPReadImageState(const std::string&, NRFImageInfoRec&) {
    return false;
}

bool XMPJoinExtended(std::string&, const std::string&) {
    return false;
}

bool XMPSplitForJPEG(const std::string&, std::string&, std::string&, std::string&) {
    return false;
}

bool XMPUpdateIPTC(const IPTCEncodingSettings&, const std::string*, const IPTCRec&, const NRFImageInfoRec*,
                   const XMPSerializeOptions&, std::string&) {
    return false;
}

std::string BuildIPTCRecordAsXMP(const IPTCEncodingSettings&, const IPTCRec&, bool) {
    return {};
}

bool XMPUpdateXMP(const IPTCEncodingSettings&, const std::string*, const NRFImageInfoRec&, unsigned,
                  const XMPSerializeOptions&, std::string&) {
    return false;
}

bool PropertyExistsInXMP(const std::string&, const char*, const char*) {
    return false;
}

std::string GetACRSettingsDigest(const std::string&) {
    return {};
}
