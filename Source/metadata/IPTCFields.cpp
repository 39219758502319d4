#include "metadata/IPTCFields.h"

#include "app/LumoLogger.h"
#include "support/TextUtils.h"

#include <array>
#include <cstdio>
#include <exception>

namespace {

// The field index of every field, fixed because templates store their flags by it. Note the two
// crossings: 0x801D comes before 0x801C, and 2:04 and 2:12 come after all XMP-only ids.
constexpr std::array<IPTCFieldID, kIPTCFieldIndexCount> kFieldIndexTable = {
    0x0237, 0x023C, 0x025A, 0x025F, 0x0265, 0x0264, 0x0205, 0x020F, 0x0214, 0x0214, 0x0214, 0x0219, 0x0207,
    0x0250, 0x0255, 0x026E, 0x0273, 0x027A, 0x0278, 0x0269, 0x0228, 0x0267, 0x020A, 0x0274, 0x02C7, 0x025C,
    0x8001, 0x8002, 0x8003, 0x8004, 0x8005, 0x8006, 0x8007, 0x8008, 0x8009, 0x800A, 0x800B, 0x800C, 0x800D,
    0x800E, 0x800F, 0x8010, 0x8011, 0x8012, 0x8013, 0x8014, 0x8015, 0x8016, 0x8017, 0x8018, 0x8019, 0x801A,
    0x801B, 0x801D, 0x801C, 0x801E, 0x801F, 0x8020, 0x8021, 0x8022, 0x8023, 0x8024, 0x8025, 0x8026, 0x8027,
    0x8028, 0x8029, 0x802A, 0x802B, 0x802C, 0x802D, 0x802E, 0x802F, 0x8030, 0x0204, 0x020C, 0x8031, 0x8032,
};
constexpr int kFirstSuppCategoryIndex = 8;

constexpr bool isUnassigned(IPTCFieldID id) {
    return id == XMP_UNASSIGNED_27 || id == XMP_UNASSIGNED_29;
}

struct NamedField {
    IPTCFieldID id;
    const char* name;
};

// Ids missing here (several XMP-only ones, 2:199) have no constant name.
constexpr NamedField kNames[] = {
    {IPTC_CAPTION, "IPTC_CAPTION"},
    {XMP_ALT_TEXT, "XMP_ALT_TEXT"},
    {XMP_EXTENDED_DESCRIPTION, "XMP_EXTENDED_DESCRIPTION"},
    {IPTC_CAPTION_WRITERS, "IPTC_CAPTION_WRITERS"},
    {IPTC_HEADLINE, "IPTC_HEADLINE"},
    {IPTC_KEYWORDS, "IPTC_KEYWORDS"},
    {IPTC_OBJECT_NAME, "IPTC_OBJECT_NAME"},
    {IPTC_ORIG_TRANS_REF, "IPTC_ORIG_TRANS_REF"},
    {IPTC_EDIT_STATUS, "IPTC_EDIT_STATUS"},
    {IPTC_CATEGORY, "IPTC_CATEGORY"},
    {XMP_IPTC_SCENE, "XMP_IPTC_SCENE"},
    {IPTC_SUBJECT_CODE, "XMP_IPTC_SUBJECT_CODE"},
    {XMP_IPTC_SUBJECT_CODE, "XMP_IPTC_SUBJECT_CODE"},
    {IPTC_INTELLECTUAL_GENRE, "XMP_INTELLECTUAL_GENRE"},
    {XMP_INTELLECTUAL_GENRE, "XMP_INTELLECTUAL_GENRE"},
    {XMP_RIGHTS_USAGE_TERMS, "XMP_RIGHTS_USAGE_TERMS"},
    {IPTC_SPECIAL_INSTRUCTIONS, "IPTC_SPECIAL_INSTRUCTIONS"},
    {IPTC_URGENCY, "IPTC_URGENCY"},
    {IPTC_CITY, "IPTC_CITY"},
    {IPTC_SUB_LOCATION, "IPTC_SUB_LOCATION"},
    {IPTC_PROVINCE_STATE, "IPTC_PROVINCE_STATE"},
    {IPTC_COUNTRY_NAME, "IPTC_COUNTRY_NAME"},
    {IPTC_COUNTRY_CODE, "IPTC_COUNTRY_CODE"},
    {IPTC_DATE_CREATED, "IPTC_DATE_CREATED"},
    {IPTC_TIME_CREATED, "IPTC_TIME_CREATED"},
    {IPTC_BYLINE, "IPTC_BYLINE"},
    {XMP_CREATOR_IDENTITY, "XMP_CREATOR_IDENTITY"},
    {IPTC_BYLINE_TITLE, "IPTC_BYLINE_TITLE"},
    {IPTC_CREDIT, "IPTC_CREDIT"},
    {IPTC_SOURCE, "IPTC_SOURCE"},
    {IPTC_COPYRIGHT, "IPTC_COPYRIGHT"},
    {XMP_COPYRIGHT_URL, "XMP_COPYRIGHT_URL"},
    {XMP_CONTACT_ADDRESS, "XMP_CONTACT_ADDRESS"},
    {XMP_CONTACT_CITY, "XMP_CONTACT_CITY"},
    {XMP_CONTACT_STATE, "XMP_CONTACT_STATE"},
    {XMP_CONTACT_ZIP, "XMP_CONTACT_ZIP"},
    {XMP_CONTACT_COUNTRY, "XMP_CONTACT_COUNTRY"},
    {XMP_CONTACT_EMAIL, "XMP_CONTACT_EMAIL"},
    {XMP_CONTACT_PHONE, "XMP_CONTACT_PHONE"},
    {XMP_CONTACT_WEB_URL, "XMP_CONTACT_WEB_URL"},
    {XMP_PERSONS_SHOWN, "XMP_PERSONS_SHOWN"},
    {XMP_FEATURED_ORG_NAME, "XMP_FEATURED_ORG_NAME"},
    {XMP_FEATURED_ORG_CODE, "XMP_FEATURED_ORG_CODE"},
    {XMP_EVENT, "XMP_EVENT"},
    {XMP_ADDL_MODEL_INFO, "XMP_ADDL_MODEL_INFO"},
    {XMP_MODEL_AGES, "XMP_MODEL_AGES"},
    {XMP_MODEL_RELEASE_ID, "XMP_MODEL_RELEASE_ID"},
    {XMP_PROPERTY_RELEASE_ID, "XMP_PROPERTY_RELEASE_ID"},
    {XMP_IMAGE_SUPPLIER_NAME, "XMP_IMAGE_SUPPLIER_NAME"},
    {XMP_IMAGE_SUPPLIER_ID, "XMP_IMAGE_SUPPLIER_ID"},
    {XMP_IMAGE_SUPPLIER_IMAGE_ID, "XMP_IMAGE_SUPPLIER_IMAGE_ID"},
    {XMP_LABEL, "XMP_LABEL"},
    {XMP_PRODUCTS_SHOWN, "XMP_PRODUCTS_SHOWN"},
};

// IIM maximum lengths of the record-2 datasets that have one.
constexpr std::array<std::uint16_t, 256> makeMaxLengths() {
    std::array<std::uint16_t, 256> t{};
    t[3] = 67, t[4] = 64, t[5] = 64, t[7] = 64, t[8] = 2, t[10] = 1, t[12] = 236, t[15] = 3, t[20] = 32;
    t[22] = 32, t[25] = 64, t[26] = 3, t[27] = 64, t[30] = 8, t[35] = 11, t[37] = 8, t[38] = 11, t[40] = 256;
    t[42] = 2, t[45] = 10, t[47] = 8, t[50] = 8, t[55] = 8, t[60] = 11, t[62] = 8, t[63] = 11, t[65] = 32;
    t[70] = 10, t[75] = 1, t[80] = 32, t[85] = 32, t[90] = 32, t[92] = 32, t[95] = 32, t[100] = 3;
    t[101] = 64, t[103] = 32, t[105] = 256, t[110] = 32, t[115] = 32, t[116] = 128, t[118] = 128;
    t[120] = 2000, t[122] = 32, t[125] = 7360, t[130] = 2, t[131] = 1, t[133] = 3, t[150] = 2, t[151] = 6;
    t[152] = 2, t[153] = 6, t[154] = 64, t[199] = 2048, t[200] = 2, t[201] = 2, t[221] = 256;
    return t;
}
constexpr std::array<std::uint16_t, 256> kMaxLengths = makeMaxLengths();

} // namespace

bool IPTCIsKnownField(IPTCFieldID id) {
    if (IPTCIsXMPOnlyField(id))
        return id >= XMP_FIRST_FIELD && id <= XMP_LAST_FIELD && !isUnassigned(id);
    switch (id) {
    case 0x0204:
    case 0x0205:
    case 0x0207:
    case 0x020A:
    case 0x020C:
    case 0x020F:
    case 0x0214:
    case 0x0219:
    case 0x0228:
    case 0x0237:
    case 0x023C:
    case 0x0250:
    case 0x0255:
    case 0x025A:
    case 0x025C:
    case 0x025F:
    case 0x0264:
    case 0x0265:
    case 0x0267:
    case 0x0269:
    case 0x026E:
    case 0x0273:
    case 0x0274:
    case 0x0278:
    case 0x027A:
    case 0x02C7:
        return true;
    default:
        return false;
    }
}

bool IPTCIsListField(IPTCFieldID id) {
    switch (id) {
    case 0x0105:
    case 0x0132:
    case 0x020C:
    case 0x0214:
    case 0x0219:
    case 0x021A:
    case 0x021B:
    case 0x022D:
    case 0x022F:
    case 0x0232:
    case 0x0276:
    case 0x027A:
    case 0x8001:
    case 0x8002:
    case 0x8004:
    case 0x800A:
    case 0x800B:
    case 0x800C:
    case 0x800E:
    case 0x8011:
    case 0x8012:
    case 0x8015:
    case 0x8017:
    case 0x801C:
    case 0x8025:
    case 0x8028:
    case 0x802A:
    case 0x802F:
        return true;
    default:
        return false;
    }
}

bool IPTCGetDataSetName(IPTCFieldID id, int item, std::string& name) {
    try {
        if (id == IPTC_SUPP_CATEGORIES) {
            if (item < kIPTCSuppCategoryFirstItem || item > kIPTCSuppCategoryLastItem) {
                name = "IPTC_SUPP_CATEGORIES [out of range]";
                return false;
            }
            name = "IPTC_SUPP_CATEGORIES " + std::to_string(item);
            return true;
        }
        for (const NamedField& field : kNames) {
            if (field.id == id) {
                name = field.name;
                return true;
            }
        }
        name = lumo::formatString("Unknown IPTC DataSet:%d", static_cast<int>(id));
        return false;
    } catch (const std::exception&) {
        lumoLogAt("IPTCUtils", __LINE__, "Unexpected exception in IPTCGetDataSetName()");
    } catch (...) {
        lumoLogAt("IPTCUtils", __LINE__, "Unexpected exception in IPTCGetDataSetName()");
    }
    name = "Exception in IPTCGetDataSetName()";
    return false;
}

std::string IPTCDataSetName(IPTCFieldID id, int item) {
    std::string name;
    IPTCGetDataSetName(id, item, name);
    return name;
}

std::optional<int> IPTCFindFieldIndex(IPTCFieldID id, int item) {
    if (isUnassigned(id))
        return std::nullopt;
    if (id == IPTC_SUPP_CATEGORIES) {
        if (item < kIPTCSuppCategoryFirstItem || item > kIPTCSuppCategoryLastItem)
            return std::nullopt;
        return kFirstSuppCategoryIndex + item - kIPTCSuppCategoryFirstItem;
    }
    for (int index = 0; index < kIPTCFieldIndexCount; ++index)
        if (kFieldIndexTable[static_cast<std::size_t>(index)] == id)
            return index;
    return std::nullopt;
}

int IPTCFieldIndexOf(IPTCFieldID id, int item) {
    return IPTCFindFieldIndex(id, item).value_or(0);
}

IPTCFieldID IPTCFieldIDAtIndex(int index) {
    if (index < 0 || index >= kIPTCFieldIndexCount)
        return 0;
    return kFieldIndexTable[static_cast<std::size_t>(index)];
}

int IPTCFieldItemAtIndex(int index) {
    if (index >= kFirstSuppCategoryIndex && index < kFirstSuppCategoryIndex + 3)
        return index - kFirstSuppCategoryIndex + kIPTCSuppCategoryFirstItem;
    return 0;
}

IPTCFieldID IPTCStorageFieldID(IPTCFieldID id) {
    if (id == XMP_IPTC_SUBJECT_CODE)
        return IPTC_SUBJECT_CODE;
    if (id == XMP_INTELLECTUAL_GENRE)
        return IPTC_INTELLECTUAL_GENRE;
    return id;
}

std::uint32_t IPTCMaxLength(IPTCFieldID id) {
    if (IPTCFieldRecord(id) != 2)
        return 65535;
    const std::uint16_t limit = kMaxLengths[IPTCFieldDataSet(id)];
    return limit == 0 ? 65535 : limit;
}
