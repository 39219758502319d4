#include "metadata/IPTCRec.h"

#include <new>

IPTCRec* IPTCNewRecord() {
    return new (std::nothrow) IPTCRec();
}

void IPTCDisposeRecord(IPTCRec* record) {
    delete record;
}

void IPTCClearRecord(IPTCRec* record) {
    if (record)
        *record = IPTCRec();
}

void IPTCClearUnknownFields(IPTCRec* record) {
    if (record) {
        record->m_unknown.clear();
        record->m_unknown.shrink_to_fit();
    }
}

bool IPTCIsBlankIPTC(const IPTCRec* record) {
    if (!record)
        return true;
    for (const std::string& text : record->m_fields)
        if (!text.empty())
            return false;
    const IPTCRec& r = *record;
    const auto none = [](const auto& list) {
        for (const auto& s : list)
            if (!s.isEmpty())
                return false;
        return true;
    };
    return r.m_noDate && r.m_noTime && r.m_colorClass.empty() && r.m_rating.empty() && r.m_tagged.empty() &&
           r.m_imageNumber == 0 && r.m_unknown.empty() && r.m_modelAgeDisclosure == 0 &&
           r.m_modelReleaseStatus == 0 && r.m_propertyReleaseStatus == 0 && r.m_digitalSourceType == 0 &&
           r.m_composition == 0 && r.m_imageRank == 0 && r.m_callForImage == 0 &&
           r.m_exclusiveCoverage == 0 && none(r.m_locationCreated) && none(r.m_locationShown) &&
           none(r.m_imageCreators) && none(r.m_copyrightOwners) && none(r.m_licensors) &&
           none(r.m_artworkOrObjects) && none(r.m_productsShown) && none(r.m_registryEntries) &&
           r.m_maxImageDimensions.isEmpty();
}

bool IPTCStructuresSurviveEncoding(const IPTCRec& r, const std::string& encoding) {
    return validateRoundTripEncoding(r.m_locationCreated, encoding) &&
           validateRoundTripEncoding(r.m_locationShown, encoding) &&
           validateRoundTripEncoding(r.m_imageCreators, encoding) &&
           validateRoundTripEncoding(r.m_copyrightOwners, encoding) &&
           validateRoundTripEncoding(r.m_licensors, encoding) &&
           validateRoundTripEncoding(r.m_artworkOrObjects, encoding) &&
           validateRoundTripEncoding(r.m_productsShown, encoding) &&
           validateRoundTripEncoding(r.m_registryEntries, encoding);
}
