// The field ids, the field-index table with its crossings, the predicates, names and IIM lengths.

#include "metadata/IPTCFields.h"

#include <gtest/gtest.h>

#include <set>

TEST(IPTCFields, FieldIndexTableAndCrossings) {
    struct Case {
        IPTCFieldID id;
        int item;
        int index;
    };
    const Case cases[] = {
        {IPTC_DATE_CREATED, 1, 0},
        {IPTC_TIME_CREATED, 1, 1},
        {IPTC_OBJECT_NAME, 1, 6},
        {IPTC_SUPP_CATEGORIES, 1, 8},
        {IPTC_SUPP_CATEGORIES, 2, 9},
        {IPTC_SUPP_CATEGORIES, 3, 10},
        {IPTC_KEYWORDS, 7, 11},
        {IPTC_CAPTION, 1, 18},
        {IPTC_CUSTOM_199, 1, 24},
        {IPTC_SUB_LOCATION, 1, 25},
        {XMP_IPTC_SCENE, 1, 26},
        {XMP_IPTC_SUBJECT_CODE, 1, 27},
        {XMP_INTELLECTUAL_GENRE, 1, 28},
        {XMP_LICENSORS, 1, 52},
        {XMP_PROPERTY_RELEASE_STATUS, 1, 53},
        {XMP_PROPERTY_RELEASE_ID, 1, 54},
        {XMP_ROUTING_DESTINATIONS, 1, 65},
        {XMP_PRODUCTS_SHOWN, 1, 73},
        {IPTC_INTELLECTUAL_GENRE, 1, 74},
        {IPTC_SUBJECT_CODE, 1, 75},
        {XMP_ALT_TEXT, 1, 76},
        {XMP_EXTENDED_DESCRIPTION, 1, 77},
        // Outside the table: 0, and no index at all.
        {XMP_UNASSIGNED_27, 1, 0},
        {XMP_UNASSIGNED_29, 1, 0},
        {IPTC_SUPP_CATEGORIES, 4, 0},
        {IPTC_SUPP_CATEGORIES, 0, 0},
        {0x0216, 1, 0},
        {0x8033, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(IPTCFieldIndexOf(c.id, c.item), c.index);
        EXPECT_EQ(IPTCFindFieldIndex(c.id, c.item).has_value(), c.index != 0 || c.id == IPTC_DATE_CREATED);
    }
    EXPECT_EQ(IPTCFieldIDAtIndex(53), XMP_PROPERTY_RELEASE_STATUS);
    EXPECT_EQ(IPTCFieldIDAtIndex(54), XMP_PROPERTY_RELEASE_ID);
    EXPECT_EQ(IPTCFieldIDAtIndex(64), XMP_UNASSIGNED_27);
    EXPECT_EQ(IPTCFieldIDAtIndex(78), 0);
    EXPECT_EQ(IPTCFieldIDAtIndex(-1), 0);

    // Every index maps back to itself, except the two unassigned ids; every XMP-only id but those two
    // is in the table once.
    std::set<IPTCFieldID> xmpSeen;
    for (int index = 0; index < kIPTCFieldIndexCount; ++index) {
        const IPTCFieldID id = IPTCFieldIDAtIndex(index);
        const int item = IPTCFieldItemAtIndex(index);
        EXPECT_EQ(item != 0, index >= 8 && index <= 10);
        if (index == 64 || index == 66)
            EXPECT_EQ(IPTCFieldIndexOf(id, item), 0);
        else
            EXPECT_EQ(IPTCFieldIndexOf(id, item == 0 ? 1 : item), index) << index;
        if (IPTCIsXMPOnlyField(id))
            xmpSeen.insert(id);
    }
    EXPECT_EQ(xmpSeen.size(), 50u);
}

TEST(IPTCFields, PredicatesNamesAndAliases) {
    EXPECT_TRUE(IPTCIsKnownField(IPTC_INTELLECTUAL_GENRE));
    EXPECT_TRUE(IPTCIsKnownField(IPTC_CUSTOM_199));
    EXPECT_TRUE(IPTCIsKnownField(XMP_ROUTING_DESTINATIONS));
    EXPECT_TRUE(IPTCIsKnownField(XMP_EXTENDED_DESCRIPTION));
    for (IPTCFieldID id :
         {IPTCFieldID(0x0100), IPTC_CODED_CHARACTER_SET, IPTC_RECORD_VERSION, IPTCFieldID(0x0216),
          IPTC_LUMO_PREFS, XMP_UNASSIGNED_27, XMP_UNASSIGNED_29, IPTCFieldID(0x8000), IPTCFieldID(0x8033)})
        EXPECT_FALSE(IPTCIsKnownField(id)) << id;

    for (IPTCFieldID id : {IPTCFieldID(0x0105), IPTCFieldID(0x0132), IPTC_SUBJECT_CODE, IPTC_SUPP_CATEGORIES,
                           IPTC_KEYWORDS, IPTCFieldID(0x0276), IPTC_CAPTION_WRITERS, XMP_RIGHTS_USAGE_TERMS,
                           XMP_PROPERTY_RELEASE_ID, XMP_CREATOR_IDENTITY, XMP_ROUTING_EXCLUSIONS})
        EXPECT_TRUE(IPTCIsListField(id)) << id;
    for (IPTCFieldID id : {IPTC_BYLINE, IPTC_CAPTION, IPTC_INTELLECTUAL_GENRE, XMP_PROPERTY_RELEASE_STATUS})
        EXPECT_FALSE(IPTCIsListField(id)) << id;

    std::string name;
    EXPECT_TRUE(IPTCGetDataSetName(IPTC_CAPTION, 1, name));
    EXPECT_EQ(name, "IPTC_CAPTION");
    EXPECT_TRUE(IPTCGetDataSetName(IPTC_SUPP_CATEGORIES, 2, name));
    EXPECT_EQ(name, "IPTC_SUPP_CATEGORIES 2");
    EXPECT_FALSE(IPTCGetDataSetName(IPTC_SUPP_CATEGORIES, 4, name));
    EXPECT_EQ(name, "IPTC_SUPP_CATEGORIES [out of range]");
    EXPECT_FALSE(IPTCGetDataSetName(XMP_UNASSIGNED_27, 1, name));
    EXPECT_EQ(name, "Unknown IPTC DataSet:32807");
    EXPECT_EQ(IPTCDataSetName(XMP_UNASSIGNED_29), "Unknown IPTC DataSet:32809");
    EXPECT_EQ(IPTCDataSetName(XMP_LOCATION_CREATED), "Unknown IPTC DataSet:32783");
    EXPECT_EQ(IPTCDataSetName(XMP_IPTC_SUBJECT_CODE), IPTCDataSetName(IPTC_SUBJECT_CODE));
    EXPECT_EQ(IPTCDataSetName(IPTC_INTELLECTUAL_GENRE), "XMP_INTELLECTUAL_GENRE");

    EXPECT_EQ(IPTCStorageFieldID(XMP_IPTC_SUBJECT_CODE), IPTC_SUBJECT_CODE);
    EXPECT_EQ(IPTCStorageFieldID(XMP_INTELLECTUAL_GENRE), IPTC_INTELLECTUAL_GENRE);
    EXPECT_EQ(IPTCStorageFieldID(IPTC_CAPTION), IPTC_CAPTION);

    EXPECT_EQ(IPTCMaxLength(IPTC_CAPTION), 2000u);
    EXPECT_EQ(IPTCMaxLength(IPTC_URGENCY), 1u);
    EXPECT_EQ(IPTCMaxLength(IPTC_LUMO_PREFS), 256u);
    EXPECT_EQ(IPTCMaxLength(0x0216), 32u);
    EXPECT_EQ(IPTCMaxLength(0x0217), 65535u);
    EXPECT_EQ(IPTCMaxLength(0x0150), 65535u);
    EXPECT_EQ(IPTCMaxLength(XMP_LABEL), 65535u);
}
