#include "metadata/PhotoMetadata.h"

#include "NRF/NRF.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

IPTCSaveSettings IPTCSaveSettingsFromPreferences() {
    IPTCSaveSettings settings;
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return settings;
    settings.m_standardAddIPTC =
        preferences->getBool(kPrefIPTCStandardAddIPTC, kPrefIPTCStandardAddIPTCDefault);
    settings.m_rawAddXMPSidecar =
        preferences->getBool(kPrefIPTCRawAddXMPSidecar, kPrefIPTCRawAddXMPSidecarDefault);
    settings.m_rawDontUpdateEmbedded =
        preferences->getBool(kPrefIPTCRawDontUpdateEmbedded, kPrefIPTCRawDontUpdateEmbeddedDefault);
    settings.m_rawAddXMP = preferences->getBool(kPrefIPTCRawAddXMP, kPrefIPTCRawAddXMPDefault);
    settings.m_rawAddIPTC = preferences->getBool(kPrefIPTCRawAddIPTC, kPrefIPTCRawAddIPTCDefault);
    settings.m_allowRawModification =
        preferences->getBool(kPrefAllowRawModification, kPrefAllowRawModificationDefault);
    return settings;
}

// Stubs until the XMP reader and the container writers land.
IPTCSavePlan IPTCPlanSave(const NRFImageInfoRec&, const IPTCSaveSettings&) {
    return {};
}
NRFErr IPTCMetadataInitialize() {
    return 0;
}
NRFErr NRFLoadIPTC(NRFImageInfoRec*, IPTCRec*, IPTCXMPSource*) {
    return 1;
}
void mergeMissingFromIIM(IPTCRec&, const IPTCRec&) {}
bool IPTCDateTimeIsValid(const IPTCRec&) {
    return false;
}
NRFErr DoSaveIPTC(NRFImageInfoRec*, const IPTCRec&, NRFMetadataCommit*, IPTCSaveReport*) {
    return 1;
}
NRFErr DoSaveIPTC(NRFImageInfoRec*, const IPTCRec&, const IPTCSaveSettings&, const IPTCEncodingSettings&,
                  NRFMetadataCommit*, IPTCSaveReport*) {
    return 1;
}
NRFErr DoUndoSaveIPTC(NRFImageInfoRec*) {
    return 1;
}
NRFErr NRFSaveXMP(NRFImageInfoRec*, unsigned) {
    return 1;
}
NRFErr NRFDeleteMetadata(NRFImageInfoRec*) {
    return 1;
}
const char* IPTCPhotoOperationErrorText(IPTCPhotoOperation) {
    return "";
}
NRFErr IPTCSetPhotoTag(NRFImageInfoRec*, int) {
    return 1;
}
NRFErr IPTCSetPhotoRating(NRFImageInfoRec*, int) {
    return 1;
}
NRFErr IPTCSetPhotoColorClass(NRFImageInfoRec*, int) {
    return 1;
}
NRFErr IPTCSetPhotoRotation(NRFImageInfoRec*, int) {
    return 1;
}
NRFErr IPTCSetPhotoCrop(NRFImageInfoRec*, const NRFNormalizedCrop&) {
    return 1;
}
