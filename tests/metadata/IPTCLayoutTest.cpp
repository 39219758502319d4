#include "metadata/IPTCLayout.h"
#include "support/TestLog.h"

#include "app/LumoLogger.h"
#include "metadata/IPTCCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

using lumo::test::loggedSoFar;

namespace {

// Every catalogue label and every group label, each exactly once.
void expectComplete(const std::vector<CIPTCFieldInfo>& entries, const std::string& what) {
    std::map<std::string, int> count;
    for (const CIPTCFieldInfo& entry : entries)
        ++count[entry.m_Identifier];
    for (const IPTCCatalogueEntry& row : IPTCCatalogue())
        EXPECT_EQ(count[row.label], 1) << what << ": " << row.label;
    for (int n = 1; n <= 20; ++n)
        EXPECT_EQ(count["Group Label " + std::to_string(n)], 1) << what << ": group " << n;
    EXPECT_EQ(entries.size(), IPTCCatalogue().size() + 20) << what;
}

std::size_t catalogueOrder(const std::string& label) {
    const auto rows = IPTCCatalogue();
    return static_cast<std::size_t>(IPTCFindCatalogueEntry(label) - rows.data());
}

TEST(IPTCLayoutTest, DefaultLayoutGroupsTheCatalogueInOrder) {
    const std::vector<CIPTCFieldInfo> entries = IPTCDefaultLayout();
    expectComplete(entries, "default");
    const std::vector<CIPTCFieldCluster> clusters = IPTCClusterLayout(entries);
    ASSERT_EQ(clusters.size(), 20u);
    const char* titles[] = {"Image Content",
                            "Image Preferences",
                            "Image Rights",
                            "Event and Location",
                            "Locations Taken and Shown",
                            "Status",
                            "Models, Properties, and Artwork",
                            "Contact Info",
                            "Licensing",
                            "Media",
                            "Getty Images"};
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        const CIPTCFieldCluster& cluster = clusters[i];
        EXPECT_EQ(cluster.m_Group.m_Identifier, "Group Label " + std::to_string(i + 1));
        EXPECT_EQ(cluster.m_Group.m_FieldName, i < 11 ? titles[i] : "");
        EXPECT_EQ(cluster.m_Fields.empty(), i >= 11) << i;
        for (std::size_t f = 1; f < cluster.m_Fields.size(); ++f)
            EXPECT_LT(catalogueOrder(cluster.m_Fields[f - 1].m_Identifier),
                      catalogueOrder(cluster.m_Fields[f].m_Identifier));
    }
    EXPECT_EQ(IPTCBuiltInLayout("Lumo 4.4 - 4.6"), entries);
    // Fields before any heading still form a cluster.
    const auto loose = IPTCClusterLayout({{.m_Identifier = "Headline"}, {.m_Identifier = "Group Label 3"}});
    ASSERT_EQ(loose.size(), 2u);
    EXPECT_EQ(loose[0].m_Group.m_Identifier, "");
    EXPECT_EQ(loose[0].m_Fields.size(), 1u);
}

TEST(IPTCLayoutTest, BuiltInLayoutsAreCompleteAndMilitaryRenamesCaptions) {
    ASSERT_EQ(IPTCBuiltInLayoutNames(),
              (std::vector<std::string>{"Lumo 4.4 - 4.6", "Lumo Classic", "Lumo Classic+2", "USA Military"}));
    for (const std::string& name : IPTCBuiltInLayoutNames())
        expectComplete(IPTCBuiltInLayout(name), name);
    EXPECT_TRUE(IPTCBuiltInLayout("Lumo 4.7").empty());

    const auto caption = [](const std::vector<CIPTCFieldInfo>& entries, const char* id) {
        const auto found = std::find_if(entries.begin(), entries.end(),
                                        [&](const CIPTCFieldInfo& e) { return e.m_Identifier == id; });
        return found->m_Visible ? found->m_FieldName : "(hidden)";
    };
    const auto military = IPTCBuiltInLayout("USA Military");
    EXPECT_EQ(caption(military, "Title/Object Name"), "VIRIN:");
    EXPECT_EQ(caption(military, "Supp Cat 1"), "Classification:");
    EXPECT_EQ(caption(military, "Special Instructions"), "Public Release Inst.:");
    EXPECT_EQ(caption(IPTCBuiltInLayout("Lumo Classic"), "IPTC Scene"), "(hidden)");
    EXPECT_EQ(caption(IPTCBuiltInLayout("Lumo Classic+2"), "IPTC Scene"), "IPTC Scene");
}

TEST(IPTCLayoutTest, XMLRoundTripsForEditorAndTemplate) {
    std::vector<CIPTCFieldInfo> entries = IPTCBuiltInLayout("USA Military");
    entries[1].m_FieldName = "Légende \"<&>\" ";
    entries[1].m_NumRows = 7;
    entries[1].m_Column = 1;
    entries[1].m_Enabled = false;
    for (IPTCLayoutKind kind : {IPTCLayoutKind::Editor, IPTCLayoutKind::Template}) {
        const std::string xml = IPTCLayoutToXML(entries, kind);
        const char* root = kind == IPTCLayoutKind::Editor ? "<CustomizedIPTCInfoSettings>"
                                                          : "<CustomizedIPTCStationerySettings>";
        EXPECT_NE(xml.find(root), std::string::npos);
        EXPECT_NE(xml.find("<Version>1.400000</Version>"), std::string::npos);
        EXPECT_NE(xml.find("<NumFields>" + std::to_string(entries.size()) + "</NumFields>"),
                  std::string::npos);
        EXPECT_NE(xml.find("<Field_0 Identifier=\"Group Label 1\" FieldName=\"Caption\" NumRows=\"0\" "
                           "Column=\"0\" Enabled=\"true\" Visible=\"true\"/>"),
                  std::string::npos)
            << xml.substr(0, 400);
        std::vector<CIPTCFieldInfo> back;
        ASSERT_TRUE(IPTCLayoutFromXML(xml, kind, back));
        EXPECT_EQ(back, entries);
        const IPTCLayoutKind other =
            kind == IPTCLayoutKind::Editor ? IPTCLayoutKind::Template : IPTCLayoutKind::Editor;
        EXPECT_FALSE(IPTCLayoutFromXML(xml, other, back));
        EXPECT_TRUE(back.empty());
    }
    std::vector<CIPTCFieldInfo> back;
    for (const char* broken : {"", "<CustomizedIPTCInfoSettings>", "not xml at all", "\xff\xfe<"})
        EXPECT_FALSE(IPTCLayoutFromXML(broken, IPTCLayoutKind::Editor, back)) << broken;
}

TEST(IPTCLayoutTest, StoredLayoutsAreReconciledWithTheCatalogue) {
    const std::string xml =
        "<CustomizedIPTCInfoSettings><NumFields>5</NumFields><Version>1.400000</Version>"
        "<Field_2 Identifier=\"Keywords\" NumRows=\"9999\" Column=\"7\" Visible=\"nope\"/>"
        "<Field_0 Identifier=\"Group Label 2\" FieldName=\"Mine\"/>"
        "<Field_1 Identifier=\"Shoe Size\" FieldName=\"Shoe\"/>"
        "<Field_3 Identifier=\"Keywords\" FieldName=\"again\"/>"
        "<Field_4 Identifier=\"Group Label 21\"/>"
        "<Field_5 Identifier=\"Headline\" FieldName=\"past NumFields\"/>"
        "<Field_x Identifier=\"Credit\"/></CustomizedIPTCInfoSettings>";
    std::vector<CIPTCFieldInfo> entries;
    ASSERT_TRUE(IPTCLayoutFromXML(xml, IPTCLayoutKind::Editor, entries));
    expectComplete(entries, "reconciled");
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[0], (CIPTCFieldInfo{.m_Identifier = "Group Label 2", .m_FieldName = "Mine"}));
    EXPECT_EQ(entries[1],
              (CIPTCFieldInfo{.m_Identifier = "Keywords", .m_FieldName = "Keywords", .m_NumRows = 100}));
    // What the stored layout lacked comes after it, hidden.
    EXPECT_EQ(entries[2].m_Identifier, "Description/Caption");
    EXPECT_FALSE(entries[2].m_Visible);
    EXPECT_EQ(
        std::count_if(entries.begin(), entries.end(), [](const CIPTCFieldInfo& e) { return e.m_Visible; }),
        2);
    const std::string log = loggedSoFar();
    EXPECT_NE(log.find("CIPTCFieldInfo::ValidateFieldIdentifiers() invalid identifier Shoe Size"),
              std::string::npos);
    EXPECT_NE(log.find("CIPTCFieldInfo::ValidateFieldIdentifiers() invalid identifier Group Label 21"),
              std::string::npos);

    for (const char* id : {"Group Label 1", "Group Label 20"})
        EXPECT_TRUE(CIPTCFieldInfo::IsGroupLabel(id)) << id;
    for (const char* id :
         {"Group Label 0", "Group Label 01", "Group Label 21", "Group Label ", "Group Label 1 "})
        EXPECT_FALSE(CIPTCFieldInfo::IsGroupLabel(id)) << id;
}

} // namespace
