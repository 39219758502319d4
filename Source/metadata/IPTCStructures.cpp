#include "metadata/IPTCStructures.h"

#include "metadata/IPTCUtils.h"

#include <initializer_list>

bool IPTCTextSurvivesEncoding(const std::string& text, const std::string& encoding) {
    if (text.empty() || IPTCIsUTF8Encoding(encoding))
        return true;
    std::string bytes, back;
    return IPTCConvertFromUTF8(text, encoding, bytes) && IPTCConvertToUTF8(bytes, encoding, back) &&
           back == text;
}

namespace {

bool allEmpty(std::initializer_list<const std::string*> texts) {
    for (const std::string* text : texts)
        if (!text->empty())
            return false;
    return true;
}

bool allSurvive(const std::string& encoding, std::initializer_list<const std::string*> texts) {
    for (const std::string* text : texts)
        if (!IPTCTextSurvivesEncoding(*text, encoding))
            return false;
    return true;
}

bool listSurvives(const std::string& encoding, const std::vector<std::string>& items) {
    for (const std::string& item : items)
        if (!IPTCTextSurvivesEncoding(item, encoding))
            return false;
    return true;
}

bool listEmpty(const std::vector<std::string>& items) {
    for (const std::string& item : items)
        if (!item.empty())
            return false;
    return true;
}

} // namespace

bool IPTCLocation::isEmpty() const {
    return allEmpty(
               {&m_sublocation, &m_city, &m_provinceState, &m_countryName, &m_countryCode, &m_worldRegion}) &&
           listEmpty(m_locationId);
}

bool IPTCLocation::validateRoundTripEncoding(const std::string& encoding) const {
    return allSurvive(encoding, {&m_sublocation, &m_city, &m_provinceState, &m_countryName, &m_countryCode,
                                 &m_worldRegion}) &&
           listSurvives(encoding, m_locationId);
}

bool PLUSNameIDPair::validateRoundTripEncoding(const std::string& encoding) const {
    return allSurvive(encoding, {&m_name, &m_id});
}

bool PLUSLicensor::isEmpty() const {
    return allEmpty({&m_id, &m_name, &m_streetAddress, &m_extendedAddress, &m_city, &m_region, &m_postalCode,
                     &m_country, &m_telephoneType1, &m_telephone1, &m_telephoneType2, &m_telephone2, &m_email,
                     &m_url});
}

bool PLUSLicensor::validateRoundTripEncoding(const std::string& encoding) const {
    return allSurvive(encoding, {&m_id, &m_name, &m_streetAddress, &m_extendedAddress, &m_city, &m_region,
                                 &m_postalCode, &m_country, &m_telephoneType1, &m_telephone1,
                                 &m_telephoneType2, &m_telephone2, &m_email, &m_url});
}

std::string PLUSTelephoneTypeURI(const std::string& value) {
    for (const char* word : {"work", "cell", "fax", "home", "pager"})
        if (value == word)
            return std::string("http://ns.useplus.org/ldf/vocab/") + word;
    return value;
}

bool IPTCArtworkOrObject::isEmpty() const {
    return allEmpty({&m_title, &m_dateCreated, &m_circaDateCreated, &m_source, &m_sourceInvNo,
                     &m_sourceInvURL, &m_copyrightNotice, &m_currentCopyrightOwnerName,
                     &m_currentCopyrightOwnerId, &m_currentLicensorName, &m_currentLicensorId,
                     &m_contentDescription, &m_contributionDescription, &m_physicalDescription}) &&
           listEmpty(m_creator) && listEmpty(m_creatorId) && listEmpty(m_stylePeriod);
}

bool IPTCArtworkOrObject::validateRoundTripEncoding(const std::string& encoding) const {
    return allSurvive(encoding,
                      {&m_title, &m_dateCreated, &m_circaDateCreated, &m_source, &m_sourceInvNo,
                       &m_sourceInvURL, &m_copyrightNotice, &m_currentCopyrightOwnerName,
                       &m_currentCopyrightOwnerId, &m_currentLicensorName, &m_currentLicensorId,
                       &m_contentDescription, &m_contributionDescription, &m_physicalDescription}) &&
           listSurvives(encoding, m_creator) && listSurvives(encoding, m_creatorId) &&
           listSurvives(encoding, m_stylePeriod);
}

bool IPTCProduct::validateRoundTripEncoding(const std::string& encoding) const {
    return allSurvive(encoding, {&m_gtin, &m_name, &m_description});
}

bool IPTCImageRegistry::validateRoundTripEncoding(const std::string& encoding) const {
    return allSurvive(encoding, {&m_orgId, &m_itemId, &m_entryRole});
}
