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

// -- member tables

#include "metadata/IPTCStructureMembers.h"

namespace iptc_structs {

namespace {

using MF = MemberForm;

constexpr Member<IPTCLocation> kLocation[] = {
    {"Sublocation", MF::Text, &IPTCLocation::m_sublocation},
    {"City", MF::Text, &IPTCLocation::m_city},
    {"ProvinceState", MF::Text, &IPTCLocation::m_provinceState},
    {"CountryName", MF::Text, &IPTCLocation::m_countryName},
    {"CountryCode", MF::Text, &IPTCLocation::m_countryCode},
    {"WorldRegion", MF::Text, &IPTCLocation::m_worldRegion},
    {"LocationId", MF::Bag, nullptr, &IPTCLocation::m_locationId},
};

constexpr Member<PLUSNameIDPair> kImageCreator[] = {
    {"ImageCreatorName", MF::Text, &PLUSNameIDPair::m_name},
    {"ImageCreatorID", MF::Text, &PLUSNameIDPair::m_id},
};

constexpr Member<PLUSNameIDPair> kCopyrightOwner[] = {
    {"CopyrightOwnerName", MF::Text, &PLUSNameIDPair::m_name},
    {"CopyrightOwnerID", MF::Text, &PLUSNameIDPair::m_id},
};

constexpr Member<PLUSLicensor> kLicensor[] = {
    {"LicensorID", MF::Text, &PLUSLicensor::m_id},
    {"LicensorName", MF::Text, &PLUSLicensor::m_name},
    {"LicensorStreetAddress", MF::Text, &PLUSLicensor::m_streetAddress},
    {"LicensorExtendedAddress", MF::Text, &PLUSLicensor::m_extendedAddress},
    {"LicensorCity", MF::Text, &PLUSLicensor::m_city},
    {"LicensorRegion", MF::Text, &PLUSLicensor::m_region},
    {"LicensorPostalCode", MF::Text, &PLUSLicensor::m_postalCode},
    {"LicensorCountry", MF::Text, &PLUSLicensor::m_country},
    {"LicensorTelephoneType1", MF::Text, &PLUSLicensor::m_telephoneType1},
    {"LicensorTelephone1", MF::Text, &PLUSLicensor::m_telephone1},
    {"LicensorTelephoneType2", MF::Text, &PLUSLicensor::m_telephoneType2},
    {"LicensorTelephone2", MF::Text, &PLUSLicensor::m_telephone2},
    {"LicensorEmail", MF::Text, &PLUSLicensor::m_email},
    {"LicensorURL", MF::Text, &PLUSLicensor::m_url},
};

constexpr Member<IPTCArtworkOrObject> kArtwork[] = {
    {"AOTitle", MF::Alt, &IPTCArtworkOrObject::m_title},
    {"AOCreator", MF::Seq, nullptr, &IPTCArtworkOrObject::m_creator},
    {"AOCreatorId", MF::Seq, nullptr, &IPTCArtworkOrObject::m_creatorId},
    {"AODateCreated", MF::Text, &IPTCArtworkOrObject::m_dateCreated},
    {"AOCircaDateCreated", MF::Text, &IPTCArtworkOrObject::m_circaDateCreated},
    {"AOStylePeriod", MF::Bag, nullptr, &IPTCArtworkOrObject::m_stylePeriod},
    {"AOSource", MF::Text, &IPTCArtworkOrObject::m_source},
    {"AOSourceInvNo", MF::Text, &IPTCArtworkOrObject::m_sourceInvNo},
    {"AOSourceInvURL", MF::Text, &IPTCArtworkOrObject::m_sourceInvURL},
    {"AOCopyrightNotice", MF::Text, &IPTCArtworkOrObject::m_copyrightNotice},
    {"AOCurrentCopyrightOwnerName", MF::Text, &IPTCArtworkOrObject::m_currentCopyrightOwnerName},
    {"AOCurrentCopyrightOwnerId", MF::Text, &IPTCArtworkOrObject::m_currentCopyrightOwnerId},
    {"AOCurrentLicensorName", MF::Text, &IPTCArtworkOrObject::m_currentLicensorName},
    {"AOCurrentLicensorId", MF::Text, &IPTCArtworkOrObject::m_currentLicensorId},
    {"AOContentDescription", MF::Alt, &IPTCArtworkOrObject::m_contentDescription},
    {"AOContributionDescription", MF::Alt, &IPTCArtworkOrObject::m_contributionDescription},
    {"AOPhysicalDescription", MF::Alt, &IPTCArtworkOrObject::m_physicalDescription},
};

constexpr Member<IPTCProduct> kProduct[] = {
    {"ProductGTIN", MF::Text, &IPTCProduct::m_gtin},
    {"ProductName", MF::Alt, &IPTCProduct::m_name},
    {"ProductDescription", MF::Alt, &IPTCProduct::m_description},
};

constexpr Member<IPTCImageRegistry> kRegistry[] = {
    {"RegOrgId", MF::Text, &IPTCImageRegistry::m_orgId},
    {"RegItemId", MF::Text, &IPTCImageRegistry::m_itemId},
    {"RegEntryRole", MF::Text, &IPTCImageRegistry::m_entryRole},
};

} // namespace

std::span<const Member<IPTCLocation>> locationMembers() {
    return kLocation;
}
std::span<const Member<PLUSNameIDPair>> imageCreatorMembers() {
    return kImageCreator;
}
std::span<const Member<PLUSNameIDPair>> copyrightOwnerMembers() {
    return kCopyrightOwner;
}
std::span<const Member<PLUSLicensor>> licensorMembers() {
    return kLicensor;
}
std::span<const Member<IPTCArtworkOrObject>> artworkMembers() {
    return kArtwork;
}
std::span<const Member<IPTCProduct>> productMembers() {
    return kProduct;
}
std::span<const Member<IPTCImageRegistry>> registryMembers() {
    return kRegistry;
}

const ListKind<IPTCLocation>& locationCreatedKind() {
    static const ListKind<IPTCLocation> kind{
        "Location Created",          "Iptc4xmpExt", "LocationCreated", false, true,
        &IPTCRec::m_locationCreated, kLocation};
    return kind;
}
const ListKind<IPTCLocation>& locationShownKind() {
    static const ListKind<IPTCLocation> kind{
        "Location Shown", "Iptc4xmpExt", "LocationShown", false, false, &IPTCRec::m_locationShown, kLocation};
    return kind;
}
const ListKind<PLUSNameIDPair>& imageCreatorsKind() {
    static const ListKind<PLUSNameIDPair> kind{
        "Image Creators", "plus", "ImageCreator", true, false, &IPTCRec::m_imageCreators, kImageCreator};
    return kind;
}
const ListKind<PLUSNameIDPair>& copyrightOwnersKind() {
    static const ListKind<PLUSNameIDPair> kind{
        "Copyright Owners",          "plus",         "CopyrightOwner", true, false,
        &IPTCRec::m_copyrightOwners, kCopyrightOwner};
    return kind;
}
const ListKind<PLUSLicensor>& licensorsKind() {
    static const ListKind<PLUSLicensor> kind{"Licensors",           "plus",   "Licensor", true, false,
                                             &IPTCRec::m_licensors, kLicensor};
    return kind;
}
const ListKind<IPTCArtworkOrObject>& artworkKind() {
    static const ListKind<IPTCArtworkOrObject> kind{
        "Artwork or Object",          "Iptc4xmpExt", "ArtworkOrObject", false, false,
        &IPTCRec::m_artworkOrObjects, kArtwork};
    return kind;
}
const ListKind<IPTCProduct>& productsKind() {
    static const ListKind<IPTCProduct> kind{
        "Products shown", "Iptc4xmpExt", "ProductShown", false, false, &IPTCRec::m_productsShown, kProduct};
    return kind;
}
const ListKind<IPTCImageRegistry>& registryKind() {
    static const ListKind<IPTCImageRegistry> kind{
        "Image Registry Entries",    "Iptc4xmpExt", "RegistryId", false, false,
        &IPTCRec::m_registryEntries, kRegistry};
    return kind;
}

} // namespace iptc_structs
