// The metadata record in XMP: reading packets by precedence, writing and merging packets, GPS,
// orientation and crop, extended XMP, and what exiftool makes of the packets written.

#include "NRF/NRFImageInfo.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTC_XMP_Utils.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::size_t slot(IPTCFieldID id, int item = 1) {
    return static_cast<std::size_t>(IPTCFieldIndexOf(IPTCStorageFieldID(id), item));
}

bool isPlainText(const IPTCCatalogueEntry& e) {
    return e.list != IPTCListKind::StructList && e.fieldId != 0 && e.fieldId != IPTC_DATE_CREATED &&
           e.fieldId != XMP_LOCATION_CREATED && e.fieldId != XMP_MAX_IMAGE_DIMENSIONS &&
           !(e.fieldId >= XMP_MODEL_AGE_DISCLOSURE && e.fieldId <= XMP_MODEL_AGE_DISCLOSURE) &&
           e.fieldId != XMP_MODEL_RELEASE_STATUS && e.fieldId != XMP_PROPERTY_RELEASE_STATUS &&
           e.fieldId != XMP_DIGITAL_SOURCE_TYPE && e.fieldId != XMP_COMPOSITION &&
           e.fieldId != XMP_IMAGE_RANK && e.fieldId != XMP_CALL_FOR_IMAGE &&
           e.fieldId != XMP_EXCLUSIVE_COVERAGE;
}

// A record with every catalogue field, every coded field and every structure member set.
IPTCRec fullRecord() {
    IPTCRec r;
    for (const IPTCCatalogueEntry& e : IPTCCatalogue()) {
        if (!isPlainText(e))
            continue;
        std::string value = std::string("V ") + e.label;
        if (e.list == IPTCListKind::List && e.xmpForm != IPTCXMPForm::Simple && e.xmpForm != IPTCXMPForm::Alt)
            value += " 1,V " + std::string(e.label) + " 2";
        if (e.fieldId == IPTC_COUNTRY_CODE)
            value = "FRA";
        if (e.fieldId == IPTC_URGENCY)
            value = "3";
        r.m_fields[slot(e.fieldId, e.item ? e.item : 1)] = value;
    }
    r.m_fields[slot(IPTC_KEYWORDS)] = "plain,Places | France | Paris";
    r.m_dateYear = 2024, r.m_dateMonth = 5, r.m_dateDay = 17, r.m_noDate = false;
    r.m_timeHour = 13, r.m_timeMinute = 45, r.m_timeSecond = 9, r.m_noTime = false;
    r.m_hasZone = true, r.m_zoneHours = -5, r.m_zoneMinutes = 30;
    r.m_modelAgeDisclosure = 13, r.m_modelReleaseStatus = 4, r.m_propertyReleaseStatus = 2;
    r.m_digitalSourceType = 14, r.m_composition = 15, r.m_imageRank = 3, r.m_callForImage = 1,
    r.m_exclusiveCoverage = 2;
    r.m_colorClass = "3", r.m_rating = "4", r.m_tagged = "1", r.m_imageNumber = 42;
    r.m_locationCreated = {{"Sub", "Paris", "IDF", "France", "FRA", "Europe", {"id:1", "id:2"}}};
    r.m_locationShown = {{"S1", "Lyon", "ARA", "France", "FRA", "Europe", {"a"}},
                         {"", "Rome", "", "Italy", "ITA", "", {}}};
    r.m_imageCreators = {{"Ann", "ann-1"}, {"Bob", ""}};
    r.m_copyrightOwners = {{"Owner", "own-1"}};
    r.m_licensors = {{"L-ID", "Lic Name", "1 Street", "Suite 2", "Town", "Region", "12345", "Country",
                      "http://ns.useplus.org/ldf/vocab/work", "555-1", "http://ns.useplus.org/ldf/vocab/cell",
                      "555-2", "lic@example.com", "http://example.com/lic"}};
    r.m_artworkOrObjects = {{"Mona",
                             {"Leonardo", "Workshop"},
                             {"ulan:1", "ulan:2"},
                             "1503-01-01",
                             "c. 1503",
                             {"Renaissance"},
                             "Louvre",
                             "INV 779",
                             "http://louvre.fr/779",
                             "PD",
                             "State",
                             "st-1",
                             "RMN",
                             "rmn-1",
                             "A woman",
                             "Painted",
                             "Oil on poplar"}};
    r.m_productsShown = {{"0123456789012", "Widget", "A widget"}};
    r.m_registryEntries = {{"org", "item", "role"}};
    r.m_maxImageDimensions = {6000, 4000};
    return r;
}

IPTCRec load(const std::string& packet, const IPTCEncodingSettings& settings = {},
             bool templateMode = false) {
    IPTCRec record;
    EXPECT_TRUE(LoadXMPMetadata(settings, packet.data(), packet.size(), nullptr, templateMode, &record));
    return record;
}

std::string packet(const std::string& description, const std::string& body = {}) {
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\" "
           "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
           "xmlns:xmpRights=\"http://ns.adobe.com/xap/1.0/rights/\" "
           "xmlns:plus=\"http://ns.useplus.org/ldf/xmp/1.0/\" " +
           description + ">" + body + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

} // namespace

TEST(IPTCXMP, EveryFieldAndStructureRoundTripsThroughAPacket) {
    const IPTCRec full = fullRecord();
    std::string out;
    ASSERT_TRUE(XMPUpdateIPTC({}, nullptr, full, nullptr, {}, out));
    EXPECT_NE(out.find("id=\"W5M0MpCehiHzreSzNTczkc9d\""), std::string::npos);
    EXPECT_NE(out.find("begin=\"\xEF\xBB\xBF\""), std::string::npos);
    EXPECT_NE(out.find("<?xpacket end=\"w\"?>"), std::string::npos);
    IPTCRec back = load(out);
    EXPECT_EQ(back.m_lumoVersion, "Lumo6");
    back.m_lumoVersion.clear();
    for (std::size_t i = 0; i < full.m_fields.size(); ++i)
        EXPECT_EQ(back.m_fields[i], full.m_fields[i])
            << IPTCDataSetName(IPTCFieldIDAtIndex(static_cast<int>(i)));
    EXPECT_EQ(back, full);
}

TEST(IPTCXMP, ReadingFollowsThePrecedenceAndFallbacks) {
    // two creators, the caption's fallback, an unknown model release URI
    const IPTCRec r = load(packet(
        "photoshop:Caption=\"from photoshop\" "
        "plus:ModelReleaseStatus=\"http://ns.useplus.org/ldf/vocab/MR-XXX\"",
        "<dc:creator><rdf:Seq><rdf:li>Ann</rdf:li><rdf:li>Bob</rdf:li></rdf:Seq></dc:creator>"
        "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\"></rdf:li></rdf:Alt></dc:description>"));
    EXPECT_EQ(r.m_fields[slot(IPTC_BYLINE)], "Ann,Bob");
    EXPECT_EQ(r.m_fields[slot(IPTC_CAPTION)], "from photoshop");
    EXPECT_EQ(r.m_modelReleaseStatus, 0u);
}
