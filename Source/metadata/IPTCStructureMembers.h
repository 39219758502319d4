#pragma once

// Internal to the metadata library: the members of each structure with their XMP names and forms, shared
// by the XMP reader and writer and by the text form of IPTCRecFields.

#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCRec.h"

#include <optional>

#include <span>
#include <string>
#include <vector>

namespace iptc_structs {

enum class MemberForm { Text, Alt, Bag, Seq };

template <typename T>
struct Member {
    const char* name; // without prefix
    MemberForm form;
    std::string T::*text = nullptr;              // Text and Alt
    std::vector<std::string> T::*list = nullptr; // Bag and Seq
};

// One structure list of the record: the property holding it and its members.
template <typename T>
struct ListKind {
    const char* label;    // the catalogue label
    const char* prefix;   // of the property and of the members
    const char* property; // without prefix
    bool ordered;         // Seq (else Bag)
    bool single;          // one structure, written as a plain structure (no array)
    std::vector<T> IPTCRec::*list;
    std::span<const Member<T>> members;
};

std::span<const Member<IPTCLocation>> locationMembers();
std::span<const Member<PLUSNameIDPair>> imageCreatorMembers();
std::span<const Member<PLUSNameIDPair>> copyrightOwnerMembers();
std::span<const Member<PLUSLicensor>> licensorMembers();
std::span<const Member<IPTCArtworkOrObject>> artworkMembers();
std::span<const Member<IPTCProduct>> productMembers();
std::span<const Member<IPTCImageRegistry>> registryMembers();

const ListKind<IPTCLocation>& locationCreatedKind();
const ListKind<IPTCLocation>& locationShownKind();
const ListKind<PLUSNameIDPair>& imageCreatorsKind();
const ListKind<PLUSNameIDPair>& copyrightOwnersKind();
const ListKind<PLUSLicensor>& licensorsKind();
const ListKind<IPTCArtworkOrObject>& artworkKind();
const ListKind<IPTCProduct>& productsKind();
const ListKind<IPTCImageRegistry>& registryKind();

// The vocabulary of a coded field; empty for other fields.
inline std::optional<IPTCVocabulary> vocabularyOf(IPTCFieldID id) {
    switch (id) {
    case XMP_MODEL_AGE_DISCLOSURE:
        return IPTCVocabulary::ModelAgeDisclosure;
    case XMP_MODEL_RELEASE_STATUS:
        return IPTCVocabulary::ModelReleaseStatus;
    case XMP_PROPERTY_RELEASE_STATUS:
        return IPTCVocabulary::PropertyReleaseStatus;
    case XMP_DIGITAL_SOURCE_TYPE:
        return IPTCVocabulary::DigitalSourceType;
    case XMP_COMPOSITION:
        return IPTCVocabulary::Composition;
    case XMP_IMAGE_RANK:
        return IPTCVocabulary::ImageRank;
    case XMP_CALL_FOR_IMAGE:
        return IPTCVocabulary::CallForImage;
    case XMP_EXCLUSIVE_COVERAGE:
        return IPTCVocabulary::ExclusiveCoverage;
    default:
        return std::nullopt;
    }
}

// The record's code of a coded field (a field that vocabularyOf knows).
template <typename Rec>
auto* codeOf(Rec& r, IPTCFieldID id) {
    switch (id) {
    case XMP_MODEL_AGE_DISCLOSURE:
        return &r.m_modelAgeDisclosure;
    case XMP_MODEL_RELEASE_STATUS:
        return &r.m_modelReleaseStatus;
    case XMP_PROPERTY_RELEASE_STATUS:
        return &r.m_propertyReleaseStatus;
    case XMP_DIGITAL_SOURCE_TYPE:
        return &r.m_digitalSourceType;
    case XMP_COMPOSITION:
        return &r.m_composition;
    case XMP_IMAGE_RANK:
        return &r.m_imageRank;
    case XMP_CALL_FOR_IMAGE:
        return &r.m_callForImage;
    default:
        return &r.m_exclusiveCoverage;
    }
}

// Calls `f` with each structure list kind of the record.
template <typename F>
void forEachStructList(F&& f) {
    f(locationCreatedKind());
    f(locationShownKind());
    f(imageCreatorsKind());
    f(copyrightOwnersKind());
    f(licensorsKind());
    f(artworkKind());
    f(productsKind());
    f(registryKind());
}

} // namespace iptc_structs
