// The metadata record in XMP: reading packets by precedence, writing and merging packets, GPS,
// orientation and crop, extended XMP, and what exiftool makes of the packets written.

#include "NRF/NRFImageInfo.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCRecFields.h"
#include "metadata/IPTC_XMP_Utils.h"
#include "support/PathDigest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

using lumo::test::exiftoolJson;

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

std::string write(const IPTCRec& record, const std::string* existing = nullptr,
                  const IPTCEncodingSettings& settings = {}, const NRFImageInfoRec* info = nullptr) {
    std::string out;
    EXPECT_TRUE(XMPUpdateIPTC(settings, existing, record, info, {}, out));
    return out;
}

bool has(const std::string& packet, const char* prefix, const char* path) {
    return PropertyExistsInXMP(packet, IPTCXMPNamespaceURI(prefix).c_str(), path);
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

TEST(IPTCXMP, EveryFieldRoundTripsThroughItsTextForm) {
    const IPTCRec full = fullRecord();
    const IPTCEncodingSettings settings;
    IPTCRec rebuilt;
    for (const IPTCCatalogueEntry& e : IPTCCatalogue()) {
        std::string text, error, again;
        ASSERT_TRUE(IPTCGetFieldText(full, e, settings, text)) << e.label;
        EXPECT_FALSE(text.empty()) << e.label;
        ASSERT_TRUE(IPTCSetFieldText(rebuilt, e, settings, text, false, error)) << e.label << ": " << error;
        ASSERT_TRUE(IPTCGetFieldText(rebuilt, e, settings, again));
        EXPECT_EQ(again, text) << e.label;
    }
    rebuilt.m_tagged = full.m_tagged;
    rebuilt.m_imageNumber = full.m_imageNumber;
    EXPECT_EQ(rebuilt, full);

    // escapes, appending, coded fields by stored form, refusals that leave the record alone
    const IPTCCatalogueEntry& shown = *IPTCFindCatalogueEntry("Location Shown");
    std::string error, text;
    ASSERT_TRUE(IPTCSetFieldText(rebuilt, shown, settings, "City=A\\;B\\|C | City=Lyon", false, error));
    ASSERT_TRUE(IPTCSetFieldText(rebuilt, shown, settings, "City=Lyon | CountryName=X", true, error));
    ASSERT_EQ(rebuilt.m_locationShown.size(), 3u);
    EXPECT_EQ(rebuilt.m_locationShown[0].m_city, "A;B|C");
    const IPTCRec before = rebuilt;
    EXPECT_FALSE(IPTCSetFieldText(rebuilt, shown, settings, "Town=Paris", false, error));
    EXPECT_NE(error.find("unknown member 'Town'"), std::string::npos);
    EXPECT_FALSE(IPTCSetFieldText(rebuilt, *IPTCFindCatalogueEntry("Location Created"), settings,
                                  "City=A | City=B", false, error));
    EXPECT_FALSE(IPTCSetFieldText(rebuilt, *IPTCFindCatalogueEntry("Time and Date"), settings, "2024-13-01",
                                  false, error));
    EXPECT_FALSE(IPTCSetFieldText(rebuilt, *IPTCFindCatalogueEntry("Model Release Status"), settings, "Maybe",
                                  false, error));
    EXPECT_EQ(rebuilt, before);
    ASSERT_TRUE(IPTCSetFieldText(rebuilt, *IPTCFindCatalogueEntry("Model Release Status"), settings,
                                 "http://ns.useplus.org/ldf/vocab/MR-UMR", false, error));
    EXPECT_EQ(rebuilt.m_modelReleaseStatus, 3u);
    const IPTCCatalogueEntry& keywords = *IPTCFindCatalogueEntry("Keywords");
    ASSERT_TRUE(IPTCSetFieldText(rebuilt, keywords, settings, "a, b", false, error));
    ASSERT_TRUE(IPTCSetFieldText(rebuilt, keywords, settings, "b,c|d", true, error));
    ASSERT_TRUE(IPTCGetFieldText(rebuilt, keywords, settings, text));
    EXPECT_EQ(text, "a,b,c | d");
    ASSERT_TRUE(IPTCSetFieldText(rebuilt, keywords, settings, "", false, error));
    EXPECT_TRUE(rebuilt.m_fields[slot(IPTC_KEYWORDS)].empty());
}

TEST(IPTCXMP, WritingRulesForCopyrightLabelsAndKeywords) {
    IPTCRec r;
    r.m_fields[slot(IPTC_COPYRIGHT)] = "(c) Ann";
    std::string out = write(r);
    std::string marked;
    EXPECT_TRUE(has(out, "xmpRights", "Marked"));
    EXPECT_NE(out.find("<xmpRights:Marked>True</xmpRights:Marked>"), std::string::npos);
    r.m_fields[slot(IPTC_COPYRIGHT)].clear();
    EXPECT_FALSE(has(write(r), "xmpRights", "Marked"));
    EXPECT_FALSE(has(write(r, &out), "xmpRights", "Marked")); // and an old one goes

    // the label follows the colour class; the urgency too when asked
    IPTCEncodingSettings settings;
    settings.m_colorClassNames = {"Red", "Green", "Blue", "", "", "", "", ""};
    settings.m_colorClassAsLabel = true;
    settings.m_colorClassAsUrgency = true;
    r.m_colorClass = "2";
    r.m_fields[slot(XMP_LABEL)] = "ignored";
    r.m_fields[slot(IPTC_URGENCY)] = "5";
    const IPTCRec back = load(write(r, nullptr, settings));
    EXPECT_EQ(back.m_fields[slot(XMP_LABEL)], "Green");
    EXPECT_EQ(back.m_fields[slot(IPTC_URGENCY)], "2");
    EXPECT_EQ(back.m_colorClass, "2");

    // hierarchical keywords: normalised, in both properties, or only in lr: when asked
    r = IPTCRec();
    r.m_fields[slot(IPTC_KEYWORDS)] = "flat, A |B| C ";
    out = write(r);
    EXPECT_NE(out.find("<rdf:li>A|B|C</rdf:li>"), std::string::npos);
    EXPECT_TRUE(has(out, "lr", "hierarchicalSubject[1]"));
    EXPECT_TRUE(has(out, "dc", "subject[2]"));
    settings.m_structuredKeywordsHierarchicalOnly = true;
    out = write(r, nullptr, settings);
    EXPECT_TRUE(has(out, "dc", "subject[1]"));
    EXPECT_FALSE(has(out, "dc", "subject[2]"));
    EXPECT_EQ(load(out).m_fields[slot(IPTC_KEYWORDS)], "flat,A | B | C");
}

TEST(IPTCXMP, MergingKeepsForeignPropertiesDropsAppleAndEmptiedFields) {
    const std::string existing = packet(
        "xmlns:crs=\"http://ns.adobe.com/camera-raw-settings/1.0/\" xmlns:my=\"http://example.com/my/\" "
        "xmlns:HDRGainMap=\"http://ns.apple.com/HDRGainMap/1.0/\" "
        "xmlns:apdi=\"http://ns.apple.com/pixeldatainfo/1.0/\" "
        "xmlns:portraitLightingEffect=\"http://ns.apple.com/portraitLightingEffect/2.0/\" "
        "crs:Exposure2012=\"+0.50\" my:Thing=\"kept\" HDRGainMap:HDRGainMapVersion=\"65536\" "
        "apdi:AuxiliaryImageType=\"urn:x\" portraitLightingEffect:EffectStrength=\"1\" "
        "photoshop:City=\"Old City\" photoshop:Headline=\"Old headline\"",
        "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">Old caption</rdf:li>"
        "<rdf:li xml:lang=\"fr\">Vieille légende</rdf:li></rdf:Alt></dc:description>"
        "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Old</rdf:li><rdf:li xml:lang=\"fr\">Vieux</rdf:li>"
        "<rdf:li xml:lang=\"de\">Alt</rdf:li></rdf:Alt></dc:title>"
        "<dc:creator><rdf:Seq><rdf:li>Smith, John</rdf:li><rdf:li>Bob</rdf:li></rdf:Seq></dc:creator>"
        "<Iptc4xmpExt:LocationShown "
        "xmlns:Iptc4xmpExt=\"http://iptc.org/std/Iptc4xmpExt/2008-02-29/\"><rdf:Bag>"
        "<rdf:li "
        "rdf:parseType=\"Resource\"><Iptc4xmpExt:City>Lyon</Iptc4xmpExt:City><Iptc4xmpExt:LocationName>"
        "<rdf:Alt><rdf:li xml:lang=\"x-default\">Vieux "
        "Lyon</rdf:li></rdf:Alt></Iptc4xmpExt:LocationName></rdf:li>"
        "</rdf:Bag></Iptc4xmpExt:LocationShown>");
    IPTCRec r = load(existing);
    r.m_fields[slot(IPTC_CAPTION)].clear();
    r.m_fields[slot(IPTC_CITY)] = "New City";
    r.m_fields[slot(IPTC_OBJECT_NAME)] = "New";
    const std::string out = write(r, &existing);
    // unchanged fields keep their form: two creators, a structure member the record does not know;
    // a changed language alternative keeps its other languages
    EXPECT_TRUE(has(out, "dc", "creator[2]"));
    EXPECT_NE(out.find("<rdf:li>Smith, John</rdf:li>"), std::string::npos);
    EXPECT_TRUE(has(out, "Iptc4xmpExt", "LocationShown[1]/Iptc4xmpExt:LocationName"));
    EXPECT_NE(out.find("<rdf:li xml:lang=\"fr\">Vieux</rdf:li>"), std::string::npos);
    EXPECT_NE(out.find("<rdf:li xml:lang=\"x-default\">New</rdf:li>"), std::string::npos);
    EXPECT_TRUE(PropertyExistsInXMP(out, "http://ns.adobe.com/camera-raw-settings/1.0/", "Exposure2012"));
    EXPECT_TRUE(PropertyExistsInXMP(out, "http://example.com/my/", "Thing"));
    EXPECT_FALSE(PropertyExistsInXMP(out, "http://ns.apple.com/HDRGainMap/1.0/", "HDRGainMapVersion"));
    EXPECT_FALSE(PropertyExistsInXMP(out, "http://ns.apple.com/pixeldatainfo/1.0/", "AuxiliaryImageType"));
    EXPECT_FALSE(
        PropertyExistsInXMP(out, "http://ns.apple.com/portraitLightingEffect/2.0/", "EffectStrength"));
    EXPECT_FALSE(has(out, "dc", "description"));
    const IPTCRec back = load(out);
    EXPECT_EQ(back.m_fields[slot(IPTC_CITY)], "New City");
    EXPECT_EQ(back.m_fields[slot(IPTC_HEADLINE)], "Old headline");
    EXPECT_TRUE(back.m_fields[slot(IPTC_CAPTION)].empty());
}

TEST(IPTCXMP, TemplatesKeepTheirFlagsAndEmptyAppliedFields) {
    IPTCRec t;
    const auto flag = [&](IPTCFieldID id) {
        t.m_applyFlags[static_cast<std::size_t>(IPTCFieldIndexOf(id))] = 1;
    };
    t.m_fields[slot(IPTC_CITY)] = "Paris";
    flag(IPTC_CITY);
    flag(IPTC_HEADLINE); // applied and empty: clears the photo's headline
    flag(IPTC_KEYWORDS);
    t.m_mergeFlags[static_cast<std::size_t>(IPTCFieldIndexOf(IPTC_KEYWORDS))] = 1;
    t.m_fields[slot(IPTC_CREDIT)] = "not applied";
    t.m_colorClassEval = "4", t.m_colorClassApply = true, t.m_ratingEval = "{rating}";
    t.m_captionMergeStyle = 2, t.m_applyDateType = 1;
    t.m_reverseGeocodingApply[0] = t.m_reverseGeocodingApply[11] = true;
    const std::string out = BuildIPTCRecordAsXMP({}, t, true);
    EXPECT_FALSE(has(out, "lumograph", "Prefs"));
    EXPECT_FALSE(has(out, "photoshop", "Credit"));
    const IPTCRec back = load(out, {}, true);
    IPTCRec expected = t;
    expected.m_fields[slot(IPTC_CREDIT)].clear();
    expected.m_lumoVersion = "Lumo6";
    EXPECT_EQ(back, expected);
    EXPECT_TRUE(has(out, "photoshop", "Headline"));
}

TEST(IPTCXMP, GPSOrientationCropAndPhotoState) {
    NRFImageInfoRec info;
    info.m_hasGPS = true;
    info.m_latitude = 48.858222, info.m_longitude = -2.2945;
    info.m_altitude = -12.34;
    info.m_gpsTime = 1715950000.0; // 2024-05-17T12:46:40Z
    info.m_orientation = 1;        // EXIF 6
    info.m_crop = {0.1, 0.2, 0.9, 0.8, 1.5, 3.0, 2.0, true};
    info.m_tag = true, info.m_colorClass = 5, info.m_rating = 3, info.m_imageNumber = 7;
    info.m_width = 6000, info.m_height = 4000;
    const std::string foreign = packet("xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:GPSSpeed=\"5/1\"");
    std::string out;
    ASSERT_TRUE(XMPUpdateXMP({}, &foreign, info,
                             kXMPUpdateGPS | kXMPUpdateOrientation | kXMPUpdateCrop | kXMPUpdateImageState,
                             {}, out));
    EXPECT_NE(out.find("<exif:GPSLatitude>48,51.493N</exif:GPSLatitude>"), std::string::npos);
    EXPECT_NE(out.find("<exif:GPSLongitude>2,17.670W</exif:GPSLongitude>"), std::string::npos);
    EXPECT_NE(out.find("<exif:GPSAltitude>123/10</exif:GPSAltitude>"), std::string::npos);
    EXPECT_NE(out.find("<exif:GPSTimeStamp>2024-05-17T12:46:40Z</exif:GPSTimeStamp>"), std::string::npos);
    EXPECT_NE(out.find("<crs:CropLeft>0.100000</crs:CropLeft>"), std::string::npos);
    EXPECT_NE(out.find("<lumograph:Prefs>1:5:3:000007</lumograph:Prefs>"), std::string::npos);
    EXPECT_FALSE(PropertyExistsInXMP(out, "http://ns.adobe.com/exif/1.0/", "GPSSpeed")); // replaced together
    EXPECT_EQ(GetACRSettingsDigest(out),
              "crs:AlreadyApplied=False\ncrs:CropAngle=1.500000\ncrs:CropBottom=0.800000\n"
              "crs:CropConstrainToWarp=0\ncrs:CropLeft=0.100000\ncrs:CropRight=0.900000\n"
              "crs:CropTop=0.200000\ncrs:HasCrop=True");

    NRFImageInfoRec state;
    ASSERT_TRUE(XMPReadImageState(out, state));
    EXPECT_EQ(state.m_orientation, 1);
    EXPECT_EQ(state.m_crop, info.m_crop);
    EXPECT_TRUE(state.m_tag);
    EXPECT_EQ(state.m_colorClass, 5);
    EXPECT_EQ(state.m_rating, 3);
    EXPECT_EQ(state.m_imageNumber, 7u);
    NRFImageInfoRec loaded;
    IPTCRec record;
    ASSERT_TRUE(LoadXMPMetadata({}, out.data(), out.size(), &loaded, false, &record));
    EXPECT_TRUE(loaded.m_hasGPS);
    EXPECT_NEAR(loaded.m_latitude, 48.858222, 1e-5);
    EXPECT_NEAR(loaded.m_longitude, -2.2945, 1e-5);
    EXPECT_NEAR(*loaded.m_altitude, -12.3, 1e-9);
    EXPECT_EQ(*loaded.m_gpsTime, 1715950000.0);
    EXPECT_EQ(record.m_colorClass, "5");

    // no crop: HasCrop False and the coordinates gone
    info.m_crop = NRFNormalizedCrop();
    ASSERT_TRUE(XMPUpdateXMP({}, &out, info, kXMPUpdateCrop, {}, out));
    EXPECT_EQ(GetACRSettingsDigest(out), "crs:HasCrop=False");
}

TEST(IPTCXMP, ExtendedXMPSplitsAndJoinsBack) {
    IPTCRec big = fullRecord();
    big.m_fields[slot(IPTC_CAPTION)] = std::string(70000, 'c');
    const std::string full = write(big);
    std::string main, extended, guid;
    ASSERT_TRUE(XMPSplitForJPEG(full, main, extended, guid));
    EXPECT_LE(main.size(), 65502u);
    ASSERT_FALSE(extended.empty());
    std::string upper = lumo::pathDigest(extended);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(guid, upper);
    EXPECT_NE(main.find("xmpNote:HasExtendedXMP=\"" + guid + "\""), std::string::npos);
    ASSERT_TRUE(XMPJoinExtended(main, extended));
    EXPECT_FALSE(PropertyExistsInXMP(main, "http://ns.adobe.com/xmp/note/", "HasExtendedXMP"));
    EXPECT_EQ(load(main), load(full));

    const std::string small = write(fullRecord());
    ASSERT_TRUE(XMPSplitForJPEG(small, main, extended, guid));
    EXPECT_EQ(main, small);
    EXPECT_TRUE(extended.empty() && guid.empty());
}

TEST(IPTCXMP, BadInputIsRefused) {
    IPTCRec r;
    const std::string garbage = "<x:xmpmeta><rdf:RDF";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(LoadXMPMetadata({}, garbage.data(), garbage.size(), nullptr, false, &r));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); // the toolkit's complaint goes to the log
    const std::string huge(kXMPMaxPacketSize + 1, ' ');
    EXPECT_FALSE(LoadXMPMetadata({}, huge.data(), huge.size(), nullptr, false, &r));
    std::string out;
    EXPECT_FALSE(XMPUpdateIPTC({}, &garbage, r, nullptr, {}, out));
    EXPECT_TRUE(IPTCIsBlankIPTC(&r));
}

TEST(IPTCXMP, ExiftoolReadsWhatIsWrittenAndWeReadTheCorpusLikeExiftool) {
    lumo::test::TempDir dir;
    const std::string sidecar = dir.file("full.xmp");
    lumo::test::writeWholeFile(sidecar, write(fullRecord()));
    const std::optional<nlohmann::json> read = exiftoolJson({"-G1", "-struct", sidecar});
    if (!read)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const nlohmann::json& t = (*read)[0];
    EXPECT_EQ(t["XMP-dc:Description"], "V Description/Caption");
    EXPECT_EQ(t["XMP-dc:Subject"], nlohmann::json({"plain", "Places|France|Paris"}));
    EXPECT_EQ(t["XMP-dc:Creator"], nlohmann::json({"V Creator/Photographer"}));
    EXPECT_EQ(t["XMP-photoshop:City"], "V City");
    EXPECT_EQ(t["XMP-dc:Rights"], "V Copyright");
    EXPECT_EQ(t["XMP-xmpRights:Marked"], true);
    EXPECT_EQ(t["XMP-photoshop:DateCreated"], "2024:05:17 13:45:09-05:30");
    EXPECT_EQ(t["XMP-iptcExt:LocationShown"][1]["City"], "Rome");
    EXPECT_EQ(t["XMP-iptcExt:ArtworkOrObject"][0]["AOCreator"], nlohmann::json({"Leonardo", "Workshop"}));
    EXPECT_EQ(t["XMP-plus:Licensor"][0]["LicensorTelephoneType2"], "Cell");
    EXPECT_EQ(t["XMP-plus:ModelReleaseStatus"], "Limited or Incomplete Model Releases");
    EXPECT_EQ(t["XMP-xmp:Rating"], 4);
    EXPECT_EQ(t["XMP-lumograph:Prefs"], "1:3:4:000042");
    const std::optional<nlohmann::json> validate = exiftoolJson({"-validate", "-warning", "-a", sidecar});
    ASSERT_TRUE(validate);
    EXPECT_EQ((*validate)[0]["Validate"], "OK") << validate->dump();
    EXPECT_FALSE((*validate)[0].contains("Warning")) << validate->dump();

    // The corpus's sidecars: what we read matches exiftool's reading (caption, creators, keywords, title).
    for (const std::string& file : lumo::test::corpusFiles({".xmp"})) {
        const std::string bytes = lumo::test::readWholeFile(file);
        IPTCRec record;
        if (!LoadXMPMetadata({}, bytes.data(), bytes.size(), nullptr, false, &record))
            continue; // not for the toolkit (exiftool reads more leniently)
        const std::optional<nlohmann::json> e = exiftoolJson({"-G1", "-struct", "-XMP-dc:all", file});
        ASSERT_TRUE(e);
        const auto joined = [](const nlohmann::json& v) {
            if (!v.is_array())
                return v.is_string() ? v.get<std::string>() : v.dump();
            std::string s;
            for (const nlohmann::json& item : v)
                s += (s.empty() ? "" : ",") + (item.is_string() ? item.get<std::string>() : item.dump());
            return s;
        };
        const std::pair<const char*, IPTCFieldID> compared[] = {{"XMP-dc:Description", IPTC_CAPTION},
                                                                {"XMP-dc:Creator", IPTC_BYLINE},
                                                                {"XMP-dc:Subject", IPTC_KEYWORDS},
                                                                {"XMP-dc:Title", IPTC_OBJECT_NAME},
                                                                {"XMP-dc:Rights", IPTC_COPYRIGHT}};
        for (const auto& [tag, id] : compared)
            if ((*e)[0].contains(tag))
                EXPECT_EQ(record.m_fields[slot(id)], joined((*e)[0][tag])) << file << " " << tag;
    }
}

TEST(IPTCXMP, BlankAndClearCoverTheXMPMembers) {
    IPTCRec r = fullRecord();
    EXPECT_FALSE(IPTCIsBlankIPTC(&r));
    IPTCClearRecord(&r);
    EXPECT_EQ(r, IPTCRec());
    EXPECT_TRUE(IPTCIsBlankIPTC(&r));
    r.m_locationShown.resize(2); // structures with every member empty count as absent
    r.m_maxImageDimensions.clear();
    EXPECT_TRUE(IPTCIsBlankIPTC(&r));
    r.m_locationShown[1].m_locationId = {"x"};
    EXPECT_FALSE(IPTCIsBlankIPTC(&r));
    r = IPTCRec();
    r.m_callForImage = 2;
    EXPECT_FALSE(IPTCIsBlankIPTC(&r));
    // structure texts that the IIM write encoding cannot hold are found before a save loses them
    r = fullRecord();
    EXPECT_TRUE(IPTCStructuresSurviveEncoding(r, "CP1252"));
    r.m_artworkOrObjects[0].m_creator.push_back("\xE6\x97\xA5\xE6\x9C\xAC"); // Japanese
    EXPECT_FALSE(IPTCStructuresSurviveEncoding(r, "CP1252"));
    EXPECT_TRUE(IPTCStructuresSurviveEncoding(r, "UTF-8"));
}
