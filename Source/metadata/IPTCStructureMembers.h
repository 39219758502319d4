#pragma once

// Internal to the metadata library: the members of each structure with their XMP names and forms, shared
// by the XMP reader and writer and by the text form of IPTCRecFields.

#include "metadata/IPTCRec.h"

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
struct ListSpec {
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

const ListSpec<IPTCLocation>& locationCreatedSpec();
const ListSpec<IPTCLocation>& locationShownSpec();
const ListSpec<PLUSNameIDPair>& imageCreatorsSpec();
const ListSpec<PLUSNameIDPair>& copyrightOwnersSpec();
const ListSpec<PLUSLicensor>& licensorsSpec();
const ListSpec<IPTCArtworkOrObject>& artworkSpec();
const ListSpec<IPTCProduct>& productsSpec();
const ListSpec<IPTCImageRegistry>& registrySpec();

// Calls `f` with each structure list spec of the record.
template <typename F>
void forEachStructList(F&& f) {
    f(locationCreatedSpec());
    f(locationShownSpec());
    f(imageCreatorsSpec());
    f(copyrightOwnersSpec());
    f(licensorsSpec());
    f(artworkSpec());
    f(productsSpec());
    f(registrySpec());
}

} // namespace iptc_structs
