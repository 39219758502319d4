#include "metadata/IPTCCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

TEST(IPTCCatalogueTest, EveryRowIsFoundByItsLabelAndItsIds) {
    std::set<std::string> labels;
    std::set<std::pair<int, int>> ids;
    for (const IPTCCatalogueEntry& row : IPTCCatalogue()) {
        EXPECT_TRUE(labels.insert(row.label).second) << row.label;
        EXPECT_EQ(IPTCFindCatalogueEntry(std::string_view(row.label)), &row);
        if (row.fieldId == 0)
            continue; // colour class and rating live inside 2:221
        EXPECT_TRUE(ids.insert({row.fieldId, row.item}).second) << row.label;
        EXPECT_EQ(IPTCFindCatalogueEntry(row.fieldId, row.item), &row) << row.label;
        if (row.secondFieldId != 0)
            EXPECT_EQ(IPTCFindCatalogueEntry(row.secondFieldId, row.item), &row) << row.label;
    }
    EXPECT_EQ(labels.size(), 74u);

    struct Case {
        std::uint16_t id;
        std::uint8_t item;
        const char* label; // null: no row
    };
    const Case cases[] = {
        {0x8002, 0, "IPTC Subject Code"},
        {0x020C, 0, "IPTC Subject Code"},
        {0x8003, 0, "Intellectual Genre"},
        {0x0204, 0, "Intellectual Genre"},
        {0x023C, 0, "Time and Date"},
        {0x0214, 3, "Supp Cat 3"},
        {0x0214, 0, nullptr},
        {0x0214, 4, nullptr},
        {0x8027, 0, nullptr},
        {0x8029, 0, nullptr},
        {0x0000, 0, nullptr},
        {0x02C7, 0, nullptr},
    };
    for (const Case& c : cases) {
        const IPTCCatalogueEntry* row = IPTCFindCatalogueEntry(c.id, c.item);
        EXPECT_EQ(row, c.label ? IPTCFindCatalogueEntry(std::string_view(c.label)) : nullptr)
            << std::hex << c.id;
    }
    // A list in XMP but a single IIM dataset, and the other way round.
    EXPECT_EQ(IPTCFindCatalogueEntry("Rights Usage Terms")->list, IPTCListKind::List);
    EXPECT_EQ(IPTCFindCatalogueEntry("Creator/Photographer")->list, IPTCListKind::Single);
    EXPECT_EQ(IPTCFindCatalogueEntry("Supp Cat 1")->list, IPTCListKind::Single);
    EXPECT_EQ(IPTCFindCatalogueEntry("Location Shown")->list, IPTCListKind::StructList);
    EXPECT_EQ(IPTCFindCatalogueEntry("caption"), nullptr);
}

// The rows agree with the field ids' own predicates, names, field indexes and IIM datasets.
TEST(IPTCCatalogueTest, RowsAgreeWithTheFieldPredicates) {
    std::set<int> indexes;
    for (const IPTCCatalogueEntry& row : IPTCCatalogue()) {
        if (row.fieldId == 0)
            continue;
        const std::string label = row.label;
        for (IPTCFieldID id : {row.fieldId, row.secondFieldId}) {
            if (id == 0)
                continue;
            EXPECT_TRUE(IPTCIsKnownField(id)) << label;
            // The Supplemental Category slots are single fields over the repeated dataset 2:20.
            EXPECT_EQ(IPTCIsListField(id), row.list == IPTCListKind::List || row.item != 0) << label;
            const int item = row.item != 0 ? row.item : 1;
            std::string name;
            const bool named = IPTCGetDataSetName(id, item, name);
            const std::string expected = id == IPTC_TIME_CREATED ? "IPTC_TIME_CREATED" : row.name;
            EXPECT_EQ(named, !expected.empty()) << label;
            EXPECT_EQ(name, named ? expected : "Unknown IPTC DataSet:" + std::to_string(id)) << label;
            const std::optional<int> index = IPTCFindFieldIndex(id, item);
            ASSERT_TRUE(index.has_value()) << label;
            EXPECT_EQ(IPTCFieldIDAtIndex(*index), id) << label;
            EXPECT_EQ(IPTCFieldItemAtIndex(*index), row.item) << label;
            indexes.insert(*index);
            if (!IPTCIsXMPOnlyField(id)) {
                char dataset[16];
                std::snprintf(dataset, sizeof dataset, "%u:%02u", IPTCFieldRecord(id), IPTCFieldDataSet(id));
                EXPECT_NE(std::string(row.iim).find(dataset), std::string::npos) << label;
            }
        }
        EXPECT_EQ(IPTCIsXMPOnlyField(row.fieldId), row.iim[0] == '\0') << label;
    }
    // Every field index but the three without storage (2:199 and the two unassigned ids) has its row;
    // the aliases share theirs with the IIM field.
    for (int index = 0; index < kIPTCFieldIndexCount; ++index)
        EXPECT_EQ(indexes.contains(index), index != 24 && index != 64 && index != 66) << index;
}

TEST(IPTCCatalogueTest, XMPPropertiesUseKnownNamespaces) {
    std::set<std::string> uris;
    for (const IPTCXMPNamespace& ns : IPTCXMPNamespaces())
        EXPECT_TRUE(uris.insert(ns.uri).second) << ns.prefix;
    EXPECT_EQ(IPTCXMPNamespaceURI("Iptc4xmpExt"), "http://iptc.org/std/Iptc4xmpExt/2008-02-29/");
    EXPECT_EQ(IPTCXMPNamespaceURI("nope"), "");
    for (const IPTCCatalogueEntry& row : IPTCCatalogue()) {
        // Every "prefix:Name" step of every property the row writes.
        std::string paths = std::string(row.xmp) + ", " + row.xmpAlso;
        std::replace(paths.begin(), paths.end(), '/', ',');
        std::size_t colon = 0;
        while ((colon = paths.find(':', colon)) != std::string::npos) {
            const std::size_t start = paths.find_last_of(", ", colon) + 1;
            EXPECT_NE(IPTCXMPNamespaceURI(paths.substr(start, colon - start)), "") << row.label;
            ++colon;
        }
        EXPECT_NE(row.xmp[0], '\0') << row.label;
    }
    struct Case {
        const char* label;
        const char* xmp;
        IPTCXMPForm form;
        const char* also;
    };
    const Case cases[] = {
        {"Keywords", "dc:subject", IPTCXMPForm::Bag, "lr:hierarchicalSubject"},
        {"Description/Caption", "dc:description", IPTCXMPForm::Alt, ""},
        {"Creator/Photographer", "dc:creator", IPTCXMPForm::Seq, ""},
        {"Supp Cat 2", "photoshop:SupplementalCategories", IPTCXMPForm::Bag, ""},
        {"Location Shown", "Iptc4xmpExt:LocationShown", IPTCXMPForm::BagOfStructs, ""},
        {"Image Creators", "plus:ImageCreator", IPTCXMPForm::SeqOfStructs, ""},
        {"Location Created", "Iptc4xmpExt:LocationCreated", IPTCXMPForm::Struct, ""},
        {"Contact City", "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", IPTCXMPForm::Simple, ""},
        {"Time and Date", "photoshop:DateCreated", IPTCXMPForm::Simple,
         "xmp:CreateDate, exif:DateTimeOriginal"},
    };
    for (const Case& c : cases) {
        const IPTCCatalogueEntry* row = IPTCFindCatalogueEntry(std::string_view(c.label));
        ASSERT_NE(row, nullptr);
        EXPECT_STREQ(row->xmp, c.xmp);
        EXPECT_EQ(row->xmpForm, c.form) << c.label;
        EXPECT_STREQ(row->xmpAlso, c.also);
    }
}

TEST(IPTCCatalogueTest, PickerListsShareOneOrder) {
    const auto& all = IPTCFieldIdentifiers();
    const auto& withDate = IPTCFieldIdentifiersWithDate();
    const auto& freeText = IPTCFreeTextFieldIdentifiers();
    ASSERT_EQ(all.size(), 73u);
    ASSERT_EQ(withDate.size(), 73u);
    EXPECT_EQ(freeText.size(), 61u);
    EXPECT_EQ(all.front(), "Description/Caption");
    EXPECT_EQ(all.back(), "Licensors");
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_NE(IPTCFindCatalogueEntry(all[i]), nullptr) << all[i];
        EXPECT_EQ(withDate[i], all[i] == "Time and Date" ? "Date" : all[i]);
    }
    EXPECT_EQ(std::count(all.begin(), all.end(), "Products shown"), 0);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 73u);
    // The free-text list is the full list without the coded fields, in the same order.
    std::vector<std::string> expected;
    for (const std::string& label : all)
        if (std::find(freeText.begin(), freeText.end(), label) != freeText.end())
            expected.push_back(label);
    EXPECT_EQ(expected, freeText);
    for (const char* coded : {"Urgency", "Color Class", "Rating", "Time and Date", "Model Age Disclosure",
                              "Model Release Status", "Property Release Status", "Digital Source Type",
                              "Composition", "Image Rank", "Call for Image", "Exclusive Coverage"})
        EXPECT_EQ(std::count(freeText.begin(), freeText.end(), coded), 0) << coded;
}

TEST(IPTCCatalogueTest, FieldListSettingsKeepKnownIdentifiersOnceInOrder) {
    const std::vector<std::string> fields = {"Keywords", "Date", "Supp Cat 2", "Creator's Identity"};
    const std::string text = IPTCFormatFieldList(fields);
    EXPECT_EQ(text, "Keywords,Date,Supp Cat 2,Creator's Identity");
    EXPECT_EQ(IPTCParseFieldList(text), fields);
    EXPECT_EQ(IPTCParseFieldList(" Headline ,Nope,,Headline,Time and Date,"),
              (std::vector<std::string>{"Headline", "Time and Date"}));
    EXPECT_TRUE(IPTCParseFieldList("").empty());
}

TEST(IPTCCatalogueTest, VocabulariesMapCodesToStoredForms) {
    struct Case {
        IPTCVocabulary vocabulary;
        std::size_t size;
        unsigned code;
        const char* label;
        const char* stored;
    };
    const Case cases[] = {
        {IPTCVocabulary::ModelAgeDisclosure, 13, 1, "Age Unknown", "http://ns.useplus.org/ldf/vocab/AG-UNK"},
        {IPTCVocabulary::ModelAgeDisclosure, 13, 13, "Age 25 or Over",
         "http://ns.useplus.org/ldf/vocab/AG-A25"},
        {IPTCVocabulary::ModelReleaseStatus, 4, 4, "Limited or Incomplete Model Releases",
         "http://ns.useplus.org/ldf/vocab/MR-LMR"},
        {IPTCVocabulary::PropertyReleaseStatus, 4, 3, "Unlimited Property Releases",
         "http://ns.useplus.org/ldf/vocab/PR-UPR"},
        {IPTCVocabulary::DigitalSourceType, 14, 14, "Algorithmically-enhanced media",
         "http://cv.iptc.org/newscodes/digitalsourcetype/algorithmicallyEnhanced"},
        {IPTCVocabulary::Composition, 15, 6, "Posed, Eye Contact", "Eye Contact;Posed"},
        {IPTCVocabulary::Composition, 15, 15, "Full Length, Posed, Eye Contact",
         "Full Length;Eye Contact;Posed"},
        {IPTCVocabulary::ImageRank, 3, 1, "1 - High", "1"},
        {IPTCVocabulary::CallForImage, 2, 2, "Yes", "Yes"},
        {IPTCVocabulary::ExclusiveCoverage, 2, 1, "No", "No"},
    };
    for (const Case& c : cases) {
        const auto terms = IPTCVocabularyTerms(c.vocabulary);
        EXPECT_EQ(terms.size(), c.size) << c.label;
        EXPECT_EQ(IPTCVocabularyLabel(c.vocabulary, c.code), c.label);
        EXPECT_EQ(IPTCVocabularyStoredForm(c.vocabulary, c.code), c.stored);
        for (unsigned code = 1; code <= terms.size(); ++code)
            EXPECT_EQ(IPTCVocabularyCode(c.vocabulary, IPTCVocabularyStoredForm(c.vocabulary, code)), code);
        EXPECT_EQ(IPTCVocabularyStoredForm(c.vocabulary, 0), "");
        EXPECT_EQ(IPTCVocabularyStoredForm(c.vocabulary, static_cast<unsigned>(c.size + 1)), "");
        EXPECT_EQ(IPTCVocabularyCode(c.vocabulary, ""), 0u);
    }
    EXPECT_EQ(IPTCVocabularyLabel(IPTCVocabulary::DigitalSourceType, 0), "Undefined");
    EXPECT_EQ(IPTCVocabularyLabel(IPTCVocabulary::ImageRank, 0), "");
    // Exact forms only for the plain vocabularies; URIs are known by their last path element.
    const std::pair<IPTCVocabulary, const char*> unset[] = {
        {IPTCVocabulary::ImageRank, " 1"},
        {IPTCVocabulary::ImageRank, "1 - High"},
        {IPTCVocabulary::CallForImage, "yes"},
        {IPTCVocabulary::ExclusiveCoverage, "No "},
        {IPTCVocabulary::Composition, "Posed;Eye Contact"},
        {IPTCVocabulary::ModelReleaseStatus, "http://x/"},
    };
    for (const auto& [vocabulary, stored] : unset)
        EXPECT_EQ(IPTCVocabularyCode(vocabulary, stored), 0u) << stored;
    EXPECT_EQ(IPTCVocabularyCode(IPTCVocabulary::ModelAgeDisclosure, "AG-A15"), 3u);
    EXPECT_EQ(IPTCVocabularyCode(IPTCVocabulary::DigitalSourceType,
                                 "http://cv.iptc.org/newscodes/digitalsourcetype/print"),
              4u);
}

} // namespace
