#pragma once

// The IPTC field ids and what is fixed about each: whether it is a known (text) field or a list, its
// diagnostic name, its position in the template's flag arrays (the field index) and its IIM maximum
// length.
//
// A field with an IIM dataset has the id record * 256 + dataset; a field that exists only in XMP has an
// id from 0x8001 to 0x8032 (0x8027 and 0x8029 are unassigned and behave like unknown ids). Two XMP ids
// are aliases of IIM fields and share their storage: 0x8002 with 2:12 and 0x8003 with 2:04. The three
// Supplemental Category fields share dataset 2:20 and are told apart by an item number 1 to 3.
//
// None of these functions throws.

#include <cstdint>
#include <optional>
#include <string>

using IPTCFieldID = std::uint16_t;

constexpr IPTCFieldID IPTCMakeFieldID(unsigned record, unsigned dataset) {
    return static_cast<IPTCFieldID>(((record & 0xFFu) << 8) | (dataset & 0xFFu));
}
constexpr unsigned IPTCFieldRecord(IPTCFieldID id) {
    return id >> 8;
}
constexpr unsigned IPTCFieldDataSet(IPTCFieldID id) {
    return id & 0xFFu;
}

// Record 1 and the record versions: carried through, never edited.
inline constexpr IPTCFieldID IPTC_ENVELOPE_RECORD_VERSION = 0x0100;
inline constexpr IPTCFieldID IPTC_CODED_CHARACTER_SET = 0x015A; // 1:90
inline constexpr IPTCFieldID IPTC_RECORD_VERSION = 0x0200;

// Record 2 fields.
inline constexpr IPTCFieldID IPTC_INTELLECTUAL_GENRE = 0x0204; // shares storage with XMP_INTELLECTUAL_GENRE
inline constexpr IPTCFieldID IPTC_OBJECT_NAME = 0x0205;
inline constexpr IPTCFieldID IPTC_EDIT_STATUS = 0x0207;
inline constexpr IPTCFieldID IPTC_URGENCY = 0x020A;
inline constexpr IPTCFieldID IPTC_SUBJECT_CODE = 0x020C; // shares storage with XMP_IPTC_SUBJECT_CODE
inline constexpr IPTCFieldID IPTC_CATEGORY = 0x020F;
inline constexpr IPTCFieldID IPTC_SUPP_CATEGORIES = 0x0214; // items 1 to 3
inline constexpr IPTCFieldID IPTC_KEYWORDS = 0x0219;
inline constexpr IPTCFieldID IPTC_SPECIAL_INSTRUCTIONS = 0x0228;
inline constexpr IPTCFieldID IPTC_DATE_CREATED = 0x0237;
inline constexpr IPTCFieldID IPTC_TIME_CREATED = 0x023C;
inline constexpr IPTCFieldID IPTC_BYLINE = 0x0250;
inline constexpr IPTCFieldID IPTC_BYLINE_TITLE = 0x0255;
inline constexpr IPTCFieldID IPTC_CITY = 0x025A;
inline constexpr IPTCFieldID IPTC_SUB_LOCATION = 0x025C;
inline constexpr IPTCFieldID IPTC_PROVINCE_STATE = 0x025F;
inline constexpr IPTCFieldID IPTC_COUNTRY_CODE = 0x0264;
inline constexpr IPTCFieldID IPTC_COUNTRY_NAME = 0x0265;
inline constexpr IPTCFieldID IPTC_ORIG_TRANS_REF = 0x0267;
inline constexpr IPTCFieldID IPTC_HEADLINE = 0x0269;
inline constexpr IPTCFieldID IPTC_CREDIT = 0x026E;
inline constexpr IPTCFieldID IPTC_SOURCE = 0x0273;
inline constexpr IPTCFieldID IPTC_COPYRIGHT = 0x0274;
inline constexpr IPTCFieldID IPTC_CAPTION = 0x0278;
inline constexpr IPTCFieldID IPTC_CAPTION_WRITERS = 0x027A;
inline constexpr IPTCFieldID IPTC_CUSTOM_199 = 0x02C7; // a known field without storage
inline constexpr IPTCFieldID IPTC_LUMO_PREFS = 0x02DD; // 2:221: tagged, colour class, rating, image number
// A record-0 dataset 0 starting "SCCU" is kept under this id.
inline constexpr IPTCFieldID IPTC_SCCU_DATASET = 0x02F3;

// Fields that exist only in XMP.
inline constexpr IPTCFieldID XMP_FIRST_FIELD = 0x8001;
inline constexpr IPTCFieldID XMP_IPTC_SCENE = 0x8001;
inline constexpr IPTCFieldID XMP_IPTC_SUBJECT_CODE = 0x8002;  // alias of 2:12
inline constexpr IPTCFieldID XMP_INTELLECTUAL_GENRE = 0x8003; // alias of 2:04
inline constexpr IPTCFieldID XMP_RIGHTS_USAGE_TERMS = 0x8004;
inline constexpr IPTCFieldID XMP_CONTACT_ADDRESS = 0x8005;
inline constexpr IPTCFieldID XMP_CONTACT_CITY = 0x8006;
inline constexpr IPTCFieldID XMP_CONTACT_STATE = 0x8007;
inline constexpr IPTCFieldID XMP_CONTACT_ZIP = 0x8008;
inline constexpr IPTCFieldID XMP_CONTACT_COUNTRY = 0x8009;
inline constexpr IPTCFieldID XMP_CONTACT_EMAIL = 0x800A;
inline constexpr IPTCFieldID XMP_CONTACT_PHONE = 0x800B;
inline constexpr IPTCFieldID XMP_CONTACT_WEB_URL = 0x800C;
inline constexpr IPTCFieldID XMP_COPYRIGHT_URL = 0x800D;
inline constexpr IPTCFieldID XMP_PERSONS_SHOWN = 0x800E;
inline constexpr IPTCFieldID XMP_LOCATION_CREATED = 0x800F;
inline constexpr IPTCFieldID XMP_LOCATION_SHOWN = 0x8010;
inline constexpr IPTCFieldID XMP_FEATURED_ORG_NAME = 0x8011;
inline constexpr IPTCFieldID XMP_FEATURED_ORG_CODE = 0x8012;
inline constexpr IPTCFieldID XMP_EVENT = 0x8013;
inline constexpr IPTCFieldID XMP_ADDL_MODEL_INFO = 0x8014;
inline constexpr IPTCFieldID XMP_MODEL_AGES = 0x8015;
inline constexpr IPTCFieldID XMP_MODEL_AGE_DISCLOSURE = 0x8016;
inline constexpr IPTCFieldID XMP_MODEL_RELEASE_ID = 0x8017;
inline constexpr IPTCFieldID XMP_MODEL_RELEASE_STATUS = 0x8018;
inline constexpr IPTCFieldID XMP_IMAGE_CREATORS = 0x8019;
inline constexpr IPTCFieldID XMP_COPYRIGHT_OWNERS = 0x801A;
inline constexpr IPTCFieldID XMP_LICENSORS = 0x801B;
inline constexpr IPTCFieldID XMP_PROPERTY_RELEASE_ID = 0x801C;
inline constexpr IPTCFieldID XMP_PROPERTY_RELEASE_STATUS = 0x801D;
inline constexpr IPTCFieldID XMP_IMAGE_SUPPLIER_NAME = 0x801E;
inline constexpr IPTCFieldID XMP_IMAGE_SUPPLIER_ID = 0x801F;
inline constexpr IPTCFieldID XMP_IMAGE_SUPPLIER_IMAGE_ID = 0x8020;
inline constexpr IPTCFieldID XMP_IMAGE_REGISTRY_ENTRIES = 0x8021;
inline constexpr IPTCFieldID XMP_MAX_IMAGE_DIMENSIONS = 0x8022;
inline constexpr IPTCFieldID XMP_DIGITAL_SOURCE_TYPE = 0x8023;
inline constexpr IPTCFieldID XMP_ARTWORK_OR_OBJECT = 0x8024;
inline constexpr IPTCFieldID XMP_PERSONALITY = 0x8025;
inline constexpr IPTCFieldID XMP_COMPOSITION = 0x8026;
inline constexpr IPTCFieldID XMP_UNASSIGNED_27 = 0x8027;
inline constexpr IPTCFieldID XMP_ROUTING_DESTINATIONS = 0x8028;
inline constexpr IPTCFieldID XMP_UNASSIGNED_29 = 0x8029;
inline constexpr IPTCFieldID XMP_ROUTING_EXCLUSIONS = 0x802A;
inline constexpr IPTCFieldID XMP_IMAGE_RANK = 0x802B;
inline constexpr IPTCFieldID XMP_CALL_FOR_IMAGE = 0x802C;
inline constexpr IPTCFieldID XMP_EXCLUSIVE_COVERAGE = 0x802D;
inline constexpr IPTCFieldID XMP_LABEL = 0x802E;
inline constexpr IPTCFieldID XMP_CREATOR_IDENTITY = 0x802F;
inline constexpr IPTCFieldID XMP_PRODUCTS_SHOWN = 0x8030;
inline constexpr IPTCFieldID XMP_ALT_TEXT = 0x8031;
inline constexpr IPTCFieldID XMP_EXTENDED_DESCRIPTION = 0x8032;
inline constexpr IPTCFieldID XMP_LAST_FIELD = 0x8032;

// The Supplemental Category slots.
inline constexpr int kIPTCSuppCategoryFirstItem = 1;
inline constexpr int kIPTCSuppCategoryLastItem = 3;

// The template's flag arrays have one entry per field index.
inline constexpr int kIPTCFieldIndexCount = 78;

constexpr bool IPTCIsXMPOnlyField(IPTCFieldID id) {
    return id >= 0x8000;
}

// Known fields hold text that is converted between character sets; other datasets are raw bytes.
bool IPTCIsKnownField(IPTCFieldID id);
// List fields hold their items joined by the repeating-field separator.
bool IPTCIsListField(IPTCFieldID id);

// The diagnostic name ("IPTC_CAPTION", "IPTC_SUPP_CATEGORIES 2"). False, with "Unknown IPTC DataSet:%d"
// filled with the id, for an id without a name; false with "IPTC_SUPP_CATEGORIES [out of range]" for
// 2:20 with an item other than 1 to 3.
bool IPTCGetDataSetName(IPTCFieldID id, int item, std::string& name);
std::string IPTCDataSetName(IPTCFieldID id, int item = 1);

// The field index (0 to 77) of a field; 0 for an id outside the table (the unassigned ids included) and
// for 2:20 with an item other than 1 to 3. The item is looked at for 2:20 only.
int IPTCFieldIndexOf(IPTCFieldID id, int item = 1);
// The same, but empty instead of 0 for an id outside the table.
std::optional<int> IPTCFindFieldIndex(IPTCFieldID id, int item = 1);
// The field id at a field index (the two unassigned ids included); 0 outside 0 to 77.
IPTCFieldID IPTCFieldIDAtIndex(int index);
// The 2:20 item at a field index (1 to 3), 0 at any other index.
int IPTCFieldItemAtIndex(int index);

// The id whose storage a field uses: 2:12 for 0x8002, 2:04 for 0x8003, the id itself otherwise.
IPTCFieldID IPTCStorageFieldID(IPTCFieldID id);

// The IIM maximum length of a dataset in bytes (a guide for editors only: nothing is cut to it);
// 65535 for other records and for datasets without a limit.
std::uint32_t IPTCMaxLength(IPTCFieldID id);
