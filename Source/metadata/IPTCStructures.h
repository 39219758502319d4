#pragma once

// The structured values of the metadata record that exist only in XMP: locations, PLUS name/id pairs
// and licensors, artwork or objects, products, registry entries and the maximum image dimensions. Each
// compares, copies and clears itself; one with every member empty counts as absent and is not written.
// validateRoundTripEncoding tells whether every text survives conversion to an IIM write encoding, so
// that the user can be warned before a save in that encoding loses characters.

#include <cstdint>
#include <string>
#include <vector>

// True when `text` converts to `encoding` and back unchanged (always for UTF-8).
bool IPTCTextSurvivesEncoding(const std::string& text, const std::string& encoding);

// Iptc4xmpExt Location Created / Location Shown.
struct IPTCLocation {
    std::string m_sublocation, m_city, m_provinceState, m_countryName, m_countryCode, m_worldRegion;
    std::vector<std::string> m_locationId;

    bool operator==(const IPTCLocation&) const = default;
    bool compare(const IPTCLocation& other) const { return *this == other; }
    void copy(const IPTCLocation& other) { *this = other; }
    void clear() { *this = IPTCLocation(); }
    bool isEmpty() const;
    bool validateRoundTripEncoding(const std::string& encoding) const;
};

// PLUS Image Creator and Copyright Owner: a name and an identifier.
struct PLUSNameIDPair {
    std::string m_name, m_id;

    bool operator==(const PLUSNameIDPair&) const = default;
    bool compare(const PLUSNameIDPair& other) const { return *this == other; }
    void copy(const PLUSNameIDPair& other) { *this = other; }
    void clear() { *this = PLUSNameIDPair(); }
    bool isEmpty() const { return m_name.empty() && m_id.empty(); }
    bool validateRoundTripEncoding(const std::string& encoding) const;
};

// PLUS Licensor. The telephone types hold the PLUS vocabulary URI ending in work, cell, fax, home or
// pager (a bare word is accepted when setting and stored as the URI).
struct PLUSLicensor {
    std::string m_id, m_name, m_streetAddress, m_extendedAddress, m_city, m_region, m_postalCode, m_country,
        m_telephoneType1, m_telephone1, m_telephoneType2, m_telephone2, m_email, m_url;

    bool operator==(const PLUSLicensor&) const = default;
    bool compare(const PLUSLicensor& other) const { return *this == other; }
    void copy(const PLUSLicensor& other) { *this = other; }
    void clear() { *this = PLUSLicensor(); }
    bool isEmpty() const;
    bool validateRoundTripEncoding(const std::string& encoding) const;
};

// The PLUS telephone type URI of a word ("work", "cell", "fax", "home", "pager"); a value that already
// is a URI, or is none of the words, is given back unchanged.
std::string PLUSTelephoneTypeURI(const std::string& value);

// Iptc4xmpExt Artwork or Object. The title and the descriptions are written as language alternatives
// (x-default), the creators, their ids and the style periods as arrays.
struct IPTCArtworkOrObject {
    std::string m_title;
    std::vector<std::string> m_creator, m_creatorId;
    std::string m_dateCreated, m_circaDateCreated;
    std::vector<std::string> m_stylePeriod;
    std::string m_source, m_sourceInvNo, m_sourceInvURL, m_copyrightNotice, m_currentCopyrightOwnerName,
        m_currentCopyrightOwnerId, m_currentLicensorName, m_currentLicensorId, m_contentDescription,
        m_contributionDescription, m_physicalDescription;

    bool operator==(const IPTCArtworkOrObject&) const = default;
    bool compare(const IPTCArtworkOrObject& other) const { return *this == other; }
    void copy(const IPTCArtworkOrObject& other) { *this = other; }
    void clear() { *this = IPTCArtworkOrObject(); }
    bool isEmpty() const;
    bool validateRoundTripEncoding(const std::string& encoding) const;
};

// Iptc4xmpExt Product Shown.
struct IPTCProduct {
    std::string m_gtin, m_name, m_description;

    bool operator==(const IPTCProduct&) const = default;
    bool compare(const IPTCProduct& other) const { return *this == other; }
    void copy(const IPTCProduct& other) { *this = other; }
    void clear() { *this = IPTCProduct(); }
    bool isEmpty() const { return m_gtin.empty() && m_name.empty() && m_description.empty(); }
    bool validateRoundTripEncoding(const std::string& encoding) const;
};

// Iptc4xmpExt Registry Entry.
struct IPTCImageRegistry {
    std::string m_orgId, m_itemId, m_entryRole;

    bool operator==(const IPTCImageRegistry&) const = default;
    bool compare(const IPTCImageRegistry& other) const { return *this == other; }
    void copy(const IPTCImageRegistry& other) { *this = other; }
    void clear() { *this = IPTCImageRegistry(); }
    bool isEmpty() const { return m_orgId.empty() && m_itemId.empty() && m_entryRole.empty(); }
    bool validateRoundTripEncoding(const std::string& encoding) const;
};

// Iptc4xmpExt MaxAvailWidth and MaxAvailHeight in pixels; 0 is unset.
struct IPTCMaxImageDimensions {
    std::uint32_t m_width = 0, m_height = 0;

    bool operator==(const IPTCMaxImageDimensions&) const = default;
    bool compare(const IPTCMaxImageDimensions& other) const { return *this == other; }
    void copy(const IPTCMaxImageDimensions& other) { *this = other; }
    void clear() { *this = IPTCMaxImageDimensions(); }
    bool isEmpty() const { return m_width == 0 && m_height == 0; }
    bool validateRoundTripEncoding(const std::string&) const { return true; }
};

// Whether every structure of a list survives the encoding.
template <typename Structure>
bool validateRoundTripEncoding(const std::vector<Structure>& list, const std::string& encoding) {
    for (const Structure& s : list)
        if (!s.validateRoundTripEncoding(encoding))
            return false;
    return true;
}
