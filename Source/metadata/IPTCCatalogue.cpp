#include "metadata/IPTCCatalogue.h"

#include "support/TextUtils.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace {

constexpr IPTCListKind kOne = IPTCListKind::Single;
constexpr IPTCListKind kList = IPTCListKind::List;
constexpr IPTCListKind kStructs = IPTCListKind::StructList;
constexpr IPTCXMPForm kSimple = IPTCXMPForm::Simple;
constexpr IPTCXMPForm kAlt = IPTCXMPForm::Alt;
constexpr IPTCXMPForm kBag = IPTCXMPForm::Bag;
constexpr IPTCXMPForm kSeq = IPTCXMPForm::Seq;
constexpr IPTCXMPForm kStruct = IPTCXMPForm::Struct;
constexpr IPTCXMPForm kBagOfStructs = IPTCXMPForm::BagOfStructs;
constexpr IPTCXMPForm kSeqOfStructs = IPTCXMPForm::SeqOfStructs;

// Field ids are record * 256 + dataset for IIM fields and 0x8000 + n for the fields that exist only in
// XMP.
constexpr IPTCCatalogueEntry kCatalogue[] = {
    {"Description/Caption", IPTC_CAPTION, 0, 0, "IPTC_CAPTION", "2:120", kOne, "dc:description", kAlt, ""},
    {"Alt Text", XMP_ALT_TEXT, 0, 0, "XMP_ALT_TEXT", "", kOne, "Iptc4xmpCore:AltTextAccessibility", kAlt, ""},
    {"Extended Description", XMP_EXTENDED_DESCRIPTION, 0, 0, "XMP_EXTENDED_DESCRIPTION", "", kOne,
     "Iptc4xmpCore:ExtDescrAccessibility", kAlt, ""},
    {"Description Writers", IPTC_CAPTION_WRITERS, 0, 0, "IPTC_CAPTION_WRITERS", "2:122", kList,
     "photoshop:CaptionWriter", kSimple, ""},
    {"Headline", IPTC_HEADLINE, 0, 0, "IPTC_HEADLINE", "2:105", kOne, "photoshop:Headline", kSimple, ""},
    {"Keywords", IPTC_KEYWORDS, 0, 0, "IPTC_KEYWORDS", "2:25", kList, "dc:subject", kBag,
     "lr:hierarchicalSubject"},
    {"Title/Object Name", IPTC_OBJECT_NAME, 0, 0, "IPTC_OBJECT_NAME", "2:05", kOne, "dc:title", kAlt, ""},
    {"Job ID/Trans Ref", IPTC_ORIG_TRANS_REF, 0, 0, "IPTC_ORIG_TRANS_REF", "2:103", kOne,
     "photoshop:TransmissionReference", kSimple, ""},
    {"Edit Status", IPTC_EDIT_STATUS, 0, 0, "IPTC_EDIT_STATUS", "2:07", kOne, "lumograph:EditStatus", kSimple,
     ""},
    {"Category", IPTC_CATEGORY, 0, 0, "IPTC_CATEGORY", "2:15", kOne, "photoshop:Category", kSimple, ""},
    {"Supp Cat 1", IPTC_SUPP_CATEGORIES, 0, 1, "IPTC_SUPP_CATEGORIES 1", "2:20", kOne,
     "photoshop:SupplementalCategories", kBag, ""},
    {"Supp Cat 2", IPTC_SUPP_CATEGORIES, 0, 2, "IPTC_SUPP_CATEGORIES 2", "2:20", kOne,
     "photoshop:SupplementalCategories", kBag, ""},
    {"Supp Cat 3", IPTC_SUPP_CATEGORIES, 0, 3, "IPTC_SUPP_CATEGORIES 3", "2:20", kOne,
     "photoshop:SupplementalCategories", kBag, ""},
    {"IPTC Scene", XMP_IPTC_SCENE, 0, 0, "XMP_IPTC_SCENE", "", kList, "Iptc4xmpCore:Scene", kBag, ""},
    {"IPTC Subject Code", IPTC_SUBJECT_CODE, XMP_IPTC_SUBJECT_CODE, 0, "XMP_IPTC_SUBJECT_CODE", "2:12", kList,
     "Iptc4xmpCore:SubjectCode", kBag, ""},
    {"Intellectual Genre", IPTC_INTELLECTUAL_GENRE, XMP_INTELLECTUAL_GENRE, 0, "XMP_INTELLECTUAL_GENRE",
     "2:04", kOne, "Iptc4xmpCore:IntellectualGenre", kSimple, ""},
    {"Rights Usage Terms", XMP_RIGHTS_USAGE_TERMS, 0, 0, "XMP_RIGHTS_USAGE_TERMS", "", kList,
     "xmpRights:UsageTerms", kAlt, ""},
    {"Special Instructions", IPTC_SPECIAL_INSTRUCTIONS, 0, 0, "IPTC_SPECIAL_INSTRUCTIONS", "2:40", kOne,
     "photoshop:Instructions", kSimple, ""},
    {"Urgency", IPTC_URGENCY, 0, 0, "IPTC_URGENCY", "2:10", kOne, "photoshop:Urgency", kSimple, ""},
    {"Color Class", 0, 0, 0, "", "inside 2:221", kOne, "lumograph:ColorClass", kSimple, ""},
    {"Rating", 0, 0, 0, "", "inside 2:221", kOne, "xmp:Rating", kSimple, ""},
    {"City", IPTC_CITY, 0, 0, "IPTC_CITY", "2:90", kOne, "photoshop:City", kSimple, ""},
    {"Location", IPTC_SUB_LOCATION, 0, 0, "IPTC_SUB_LOCATION", "2:92", kOne, "Iptc4xmpCore:Location", kSimple,
     ""},
    {"State/Province", IPTC_PROVINCE_STATE, 0, 0, "IPTC_PROVINCE_STATE", "2:95", kOne, "photoshop:State",
     kSimple, ""},
    {"Country", IPTC_COUNTRY_NAME, 0, 0, "IPTC_COUNTRY_NAME", "2:101", kOne, "photoshop:Country", kSimple,
     ""},
    {"ISO Country Code", IPTC_COUNTRY_CODE, 0, 0, "IPTC_COUNTRY_CODE", "2:100", kOne,
     "Iptc4xmpCore:CountryCode", kSimple, ""},
    {"Time and Date", IPTC_DATE_CREATED, IPTC_TIME_CREATED, 0, "IPTC_DATE_CREATED", "2:55, 2:60", kOne,
     "photoshop:DateCreated", kSimple, "xmp:CreateDate, exif:DateTimeOriginal"},
    {"Creator/Photographer", IPTC_BYLINE, 0, 0, "IPTC_BYLINE", "2:80", kOne, "dc:creator", kSeq, ""},
    {"Creator's Identity", XMP_CREATOR_IDENTITY, 0, 0, "XMP_CREATOR_IDENTITY", "", kList,
     "lumograph:CreatorIdentity", kSeq, ""},
    {"Creator's Job Title", IPTC_BYLINE_TITLE, 0, 0, "IPTC_BYLINE_TITLE", "2:85", kOne,
     "photoshop:AuthorsPosition", kSimple, ""},
    {"Credit", IPTC_CREDIT, 0, 0, "IPTC_CREDIT", "2:110", kOne, "photoshop:Credit", kSimple, ""},
    {"Source", IPTC_SOURCE, 0, 0, "IPTC_SOURCE", "2:115", kOne, "photoshop:Source", kSimple, ""},
    {"Copyright", IPTC_COPYRIGHT, 0, 0, "IPTC_COPYRIGHT", "2:116", kOne, "dc:rights", kAlt, ""},
    {"Copyright URL", XMP_COPYRIGHT_URL, 0, 0, "XMP_COPYRIGHT_URL", "", kOne, "xmpRights:WebStatement",
     kSimple, ""},
    {"Contact Address", XMP_CONTACT_ADDRESS, 0, 0, "XMP_CONTACT_ADDRESS", "", kOne,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrExtadr", kSimple, ""},
    {"Contact City", XMP_CONTACT_CITY, 0, 0, "XMP_CONTACT_CITY", "", kOne,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", kSimple, ""},
    {"Contact State", XMP_CONTACT_STATE, 0, 0, "XMP_CONTACT_STATE", "", kOne,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrRegion", kSimple, ""},
    {"Contact Zip", XMP_CONTACT_ZIP, 0, 0, "XMP_CONTACT_ZIP", "", kOne,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrPcode", kSimple, ""},
    {"Contact Country", XMP_CONTACT_COUNTRY, 0, 0, "XMP_CONTACT_COUNTRY", "", kOne,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCtry", kSimple, ""},
    {"Contact Emails", XMP_CONTACT_EMAIL, 0, 0, "XMP_CONTACT_EMAIL", "", kList,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiEmailWork", kSimple, ""},
    {"Contact Phones", XMP_CONTACT_PHONE, 0, 0, "XMP_CONTACT_PHONE", "", kList,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiTelWork", kSimple, ""},
    {"Contact Web URLs", XMP_CONTACT_WEB_URL, 0, 0, "XMP_CONTACT_WEB_URL", "", kList,
     "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiUrlWork", kSimple, ""},
    {"Persons shown", XMP_PERSONS_SHOWN, 0, 0, "XMP_PERSONS_SHOWN", "", kList, "Iptc4xmpExt:PersonInImage",
     kBag, ""},
    {"Location Created", XMP_LOCATION_CREATED, 0, 0, "", "", kOne, "Iptc4xmpExt:LocationCreated", kStruct,
     ""},
    {"Location Shown", XMP_LOCATION_SHOWN, 0, 0, "", "", kStructs, "Iptc4xmpExt:LocationShown", kBagOfStructs,
     ""},
    {"Featured Org. Name", XMP_FEATURED_ORG_NAME, 0, 0, "XMP_FEATURED_ORG_NAME", "", kList,
     "Iptc4xmpExt:OrganisationInImageName", kBag, ""},
    {"Featured Org. Code", XMP_FEATURED_ORG_CODE, 0, 0, "XMP_FEATURED_ORG_CODE", "", kList,
     "Iptc4xmpExt:OrganisationInImageCode", kBag, ""},
    {"Event", XMP_EVENT, 0, 0, "XMP_EVENT", "", kOne, "Iptc4xmpExt:Event", kAlt, ""},
    {"Additional Model Info", XMP_ADDL_MODEL_INFO, 0, 0, "XMP_ADDL_MODEL_INFO", "", kOne,
     "Iptc4xmpExt:AddlModelInfo", kSimple, ""},
    {"Model Ages", XMP_MODEL_AGES, 0, 0, "XMP_MODEL_AGES", "", kList, "Iptc4xmpExt:ModelAge", kBag, ""},
    {"Model Age Disclosure", XMP_MODEL_AGE_DISCLOSURE, 0, 0, "", "", kOne, "plus:MinorModelAgeDisclosure",
     kSimple, ""},
    {"Model Release IDs", XMP_MODEL_RELEASE_ID, 0, 0, "XMP_MODEL_RELEASE_ID", "", kList,
     "plus:ModelReleaseID", kBag, ""},
    {"Model Release Status", XMP_MODEL_RELEASE_STATUS, 0, 0, "", "", kOne, "plus:ModelReleaseStatus", kSimple,
     ""},
    {"Image Creators", XMP_IMAGE_CREATORS, 0, 0, "", "", kStructs, "plus:ImageCreator", kSeqOfStructs, ""},
    {"Copyright Owners", XMP_COPYRIGHT_OWNERS, 0, 0, "", "", kStructs, "plus:CopyrightOwner", kSeqOfStructs,
     ""},
    {"Licensors", XMP_LICENSORS, 0, 0, "", "", kStructs, "plus:Licensor", kSeqOfStructs, ""},
    {"Property Release IDs", XMP_PROPERTY_RELEASE_ID, 0, 0, "XMP_PROPERTY_RELEASE_ID", "", kList,
     "plus:PropertyReleaseID", kBag, ""},
    {"Property Release Status", XMP_PROPERTY_RELEASE_STATUS, 0, 0, "", "", kOne, "plus:PropertyReleaseStatus",
     kSimple, ""},
    {"Image Supplier Name", XMP_IMAGE_SUPPLIER_NAME, 0, 0, "XMP_IMAGE_SUPPLIER_NAME", "", kOne,
     "plus:ImageSupplier[1]/plus:ImageSupplierName", kSimple, ""},
    {"Image Supplier ID", XMP_IMAGE_SUPPLIER_ID, 0, 0, "XMP_IMAGE_SUPPLIER_ID", "", kOne,
     "plus:ImageSupplier[1]/plus:ImageSupplierID", kSimple, ""},
    {"Supplier's Image ID", XMP_IMAGE_SUPPLIER_IMAGE_ID, 0, 0, "XMP_IMAGE_SUPPLIER_IMAGE_ID", "", kOne,
     "plus:ImageSupplierImageID", kSimple, ""},
    {"Image Registry Entries", XMP_IMAGE_REGISTRY_ENTRIES, 0, 0, "", "", kStructs, "Iptc4xmpExt:RegistryId",
     kBagOfStructs, ""},
    {"Max. Image Dimensions", XMP_MAX_IMAGE_DIMENSIONS, 0, 0, "", "", kOne, "Iptc4xmpExt:MaxAvailWidth",
     kSimple, "Iptc4xmpExt:MaxAvailHeight"},
    {"Digital Source Type", XMP_DIGITAL_SOURCE_TYPE, 0, 0, "", "", kOne, "Iptc4xmpExt:DigitalSourceType",
     kSimple, ""},
    {"Artwork or Object", XMP_ARTWORK_OR_OBJECT, 0, 0, "", "", kStructs, "Iptc4xmpExt:ArtworkOrObject",
     kBagOfStructs, ""},
    {"Personality", XMP_PERSONALITY, 0, 0, "", "", kList, "GettyImagesGIFT:Personality", kBag, ""},
    {"Composition", XMP_COMPOSITION, 0, 0, "", "", kOne, "GettyImagesGIFT:Composition", kSimple, ""},
    {"Routing Destinations", XMP_ROUTING_DESTINATIONS, 0, 0, "", "", kList,
     "GettyImagesGIFT:RoutingDestinations", kBag, ""},
    {"Routing Exclusions", XMP_ROUTING_EXCLUSIONS, 0, 0, "", "", kList, "GettyImagesGIFT:RoutingExclusions",
     kBag, ""},
    {"Image Rank", XMP_IMAGE_RANK, 0, 0, "", "", kOne, "GettyImagesGIFT:ImageRank", kSimple, ""},
    {"Call for Image", XMP_CALL_FOR_IMAGE, 0, 0, "", "", kOne, "GettyImagesGIFT:CallForImage", kSimple, ""},
    {"Exclusive Coverage", XMP_EXCLUSIVE_COVERAGE, 0, 0, "", "", kOne, "GettyImagesGIFT:ExclusiveCoverage",
     kSimple, ""},
    {"Label", XMP_LABEL, 0, 0, "XMP_LABEL", "", kOne, "xmp:Label", kSimple, ""},
    {"Products shown", XMP_PRODUCTS_SHOWN, 0, 0, "XMP_PRODUCTS_SHOWN", "", kStructs,
     "Iptc4xmpExt:ProductShown", kBagOfStructs, ""},
};

constexpr IPTCXMPNamespace kNamespaces[] = {
    {"photoshop", "http://ns.adobe.com/photoshop/1.0/"},
    {"dc", "http://purl.org/dc/elements/1.1/"},
    {"xmp", "http://ns.adobe.com/xap/1.0/"},
    {"xmpRights", "http://ns.adobe.com/xap/1.0/rights/"},
    {"exif", "http://ns.adobe.com/exif/1.0/"},
    {"aux", "http://ns.adobe.com/exif/1.0/aux/"},
    {"lr", "http://ns.adobe.com/lightroom/1.0/"},
    {"Iptc4xmpCore", "http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/"},
    {"Iptc4xmpExt", "http://iptc.org/std/Iptc4xmpExt/2008-02-29/"},
    {"plus", "http://ns.useplus.org/ldf/xmp/1.0/"},
    {"GettyImagesGIFT", "http://xmp.gettyimages.com/gift/1.0/"},
    // The program's own namespace: colour class, rating, tag, edit status, creator identity, template
    // settings.
    {"lumograph", "http://ns.kestrellabs.com/lumograph/1.0/"},
};

// The pickers' order, which differs from the catalogue's topic order in a few places.
constexpr std::array<const char*, 73> kPickerOrder = {
    "Description/Caption",
    "Alt Text",
    "Extended Description",
    "Description Writers",
    "Headline",
    "Keywords",
    "Title/Object Name",
    "Job ID/Trans Ref",
    "Edit Status",
    "Category",
    "Supp Cat 1",
    "Supp Cat 2",
    "Supp Cat 3",
    "IPTC Scene",
    "IPTC Subject Code",
    "Intellectual Genre",
    "Rights Usage Terms",
    "Special Instructions",
    "Urgency",
    "Color Class",
    "Rating",
    "City",
    "Location",
    "State/Province",
    "Country",
    "ISO Country Code",
    "Time and Date",
    "Creator/Photographer",
    "Creator's Identity",
    "Creator's Job Title",
    "Credit",
    "Source",
    "Copyright",
    "Copyright URL",
    "Contact Address",
    "Contact City",
    "Contact State",
    "Contact Zip",
    "Contact Country",
    "Contact Emails",
    "Contact Phones",
    "Contact Web URLs",
    "Persons shown",
    "Featured Org. Name",
    "Featured Org. Code",
    "Event",
    "Additional Model Info",
    "Model Ages",
    "Model Age Disclosure",
    "Model Release Status",
    "Model Release IDs",
    "Image Creators",
    "Copyright Owners",
    "Property Release Status",
    "Property Release IDs",
    "Image Supplier Name",
    "Image Supplier ID",
    "Supplier's Image ID",
    "Image Registry Entries",
    "Max. Image Dimensions",
    "Digital Source Type",
    "Location Created",
    "Location Shown",
    "Artwork or Object",
    "Label",
    "Personality",
    "Composition",
    "Image Rank",
    "Call for Image",
    "Exclusive Coverage",
    "Routing Destinations",
    "Routing Exclusions",
    "Licensors",
};

// The coded fields and the date, left out of the free-text list.
constexpr std::array<std::string_view, 12> kNotFreeText = {
    "Urgency",
    "Color Class",
    "Rating",
    "Time and Date",
    "Model Age Disclosure",
    "Model Release Status",
    "Property Release Status",
    "Digital Source Type",
    "Composition",
    "Image Rank",
    "Call for Image",
    "Exclusive Coverage",
};

constexpr std::array<IPTCVocabularyTerm, 13> kModelAges = {{
    {"Age Unknown", "http://ns.useplus.org/ldf/vocab/AG-UNK"},
    {"Age 14 or Under", "http://ns.useplus.org/ldf/vocab/AG-U14"},
    {"Age 15", "http://ns.useplus.org/ldf/vocab/AG-A15"},
    {"Age 16", "http://ns.useplus.org/ldf/vocab/AG-A16"},
    {"Age 17", "http://ns.useplus.org/ldf/vocab/AG-A17"},
    {"Age 18", "http://ns.useplus.org/ldf/vocab/AG-A18"},
    {"Age 19", "http://ns.useplus.org/ldf/vocab/AG-A19"},
    {"Age 20", "http://ns.useplus.org/ldf/vocab/AG-A20"},
    {"Age 21", "http://ns.useplus.org/ldf/vocab/AG-A21"},
    {"Age 22", "http://ns.useplus.org/ldf/vocab/AG-A22"},
    {"Age 23", "http://ns.useplus.org/ldf/vocab/AG-A23"},
    {"Age 24", "http://ns.useplus.org/ldf/vocab/AG-A24"},
    {"Age 25 or Over", "http://ns.useplus.org/ldf/vocab/AG-A25"},
}};

constexpr std::array<IPTCVocabularyTerm, 4> kModelReleases = {{
    {"None", "http://ns.useplus.org/ldf/vocab/MR-NON"},
    {"Not Applicable", "http://ns.useplus.org/ldf/vocab/MR-NAP"},
    {"Unlimited Model Releases", "http://ns.useplus.org/ldf/vocab/MR-UMR"},
    {"Limited or Incomplete Model Releases", "http://ns.useplus.org/ldf/vocab/MR-LMR"},
}};

constexpr std::array<IPTCVocabularyTerm, 4> kPropertyReleases = {{
    {"None", "http://ns.useplus.org/ldf/vocab/PR-NON"},
    {"Not Applicable", "http://ns.useplus.org/ldf/vocab/PR-NAP"},
    {"Unlimited Property Releases", "http://ns.useplus.org/ldf/vocab/PR-UPR"},
    {"Limited or Incomplete Property Releases", "http://ns.useplus.org/ldf/vocab/PR-LPR"},
}};

#define LUMO_DST "http://cv.iptc.org/newscodes/digitalsourcetype/"
constexpr std::array<IPTCVocabularyTerm, 14> kDigitalSourceTypes = {{
    {"Original digital capture of a real life scene", LUMO_DST "digitalCapture"},
    {"Digitized from a negative on film", LUMO_DST "negativeFilm"},
    {"Digitized from a positive on film", LUMO_DST "positiveFilm"},
    {"Digitized from a print on non-transparent medium", LUMO_DST "print"},
    {"Created by software", LUMO_DST "softwareImage"},
    {"Composite of captured elements", LUMO_DST "compositeCapture"},
    {"Original media with minor human edits", LUMO_DST "minorHumanEdits"},
    {"Data-driven media", LUMO_DST "dataDrivenMedia"},
    {"Digital art", LUMO_DST "digitalArt"},
    {"Virtual recording", LUMO_DST "virtualRecording"},
    {"Pure algorithmic media", LUMO_DST "algorithmicMedia"},
    {"Trained algorithmic media", LUMO_DST "trainedAlgorithmicMedia"},
    {"Composite including synthetic elements", LUMO_DST "compositeSynthetic"},
    {"Algorithmically-enhanced media", LUMO_DST "algorithmicallyEnhanced"},
}};
#undef LUMO_DST

// The stored form lists Eye Contact before Posed and joins with ";" without spaces.
constexpr std::array<IPTCVocabularyTerm, 15> kCompositions = {{
    {"Posed", "Posed"},
    {"Eye Contact", "Eye Contact"},
    {"Headshot", "Headshot"},
    {"Half Length", "Half Length"},
    {"Full Length", "Full Length"},
    {"Posed, Eye Contact", "Eye Contact;Posed"},
    {"Headshot, Posed", "Headshot;Posed"},
    {"Headshot, Eye Contact", "Headshot;Eye Contact"},
    {"Headshot, Posed, Eye Contact", "Headshot;Eye Contact;Posed"},
    {"Half Length, Posed", "Half Length;Posed"},
    {"Half Length, Eye Contact", "Half Length;Eye Contact"},
    {"Half Length, Posed, Eye Contact", "Half Length;Eye Contact;Posed"},
    {"Full Length, Posed", "Full Length;Posed"},
    {"Full Length, Eye Contact", "Full Length;Eye Contact"},
    {"Full Length, Posed, Eye Contact", "Full Length;Eye Contact;Posed"},
}};

constexpr std::array<IPTCVocabularyTerm, 3> kImageRanks = {{
    {"1 - High", "1"},
    {"2 - Medium", "2"},
    {"3 - Low", "3"},
}};

constexpr std::array<IPTCVocabularyTerm, 2> kNoYes = {{{"No", "No"}, {"Yes", "Yes"}}};

bool isUriVocabulary(IPTCVocabulary vocabulary) {
    return vocabulary == IPTCVocabulary::ModelAgeDisclosure ||
           vocabulary == IPTCVocabulary::ModelReleaseStatus ||
           vocabulary == IPTCVocabulary::PropertyReleaseStatus ||
           vocabulary == IPTCVocabulary::DigitalSourceType;
}

std::string_view lastPathElement(std::string_view uri) {
    const std::size_t slash = uri.rfind('/');
    return slash == std::string_view::npos ? uri : uri.substr(slash + 1);
}

std::vector<std::string> makeIdentifiers(bool dateNamedDate, bool freeTextOnly) {
    std::vector<std::string> labels;
    for (const char* label : kPickerOrder) {
        if (freeTextOnly && std::find(kNotFreeText.begin(), kNotFreeText.end(), label) != kNotFreeText.end())
            continue;
        labels.emplace_back(dateNamedDate && std::string_view(label) == "Time and Date" ? "Date" : label);
    }
    return labels;
}

} // namespace

std::span<const IPTCCatalogueEntry> IPTCCatalogue() {
    return kCatalogue;
}

const IPTCCatalogueEntry* IPTCFindCatalogueEntry(std::string_view label) {
    const auto found = std::find_if(std::begin(kCatalogue), std::end(kCatalogue),
                                    [&](const IPTCCatalogueEntry& e) { return label == e.label; });
    return found == std::end(kCatalogue) ? nullptr : &*found;
}

const IPTCCatalogueEntry* IPTCFindCatalogueEntry(IPTCFieldID fieldId, std::uint8_t item) {
    if (fieldId == 0)
        return nullptr;
    const auto found =
        std::find_if(std::begin(kCatalogue), std::end(kCatalogue), [&](const IPTCCatalogueEntry& e) {
            return (e.fieldId == fieldId || e.secondFieldId == fieldId) && e.item == item;
        });
    return found == std::end(kCatalogue) ? nullptr : &*found;
}

std::span<const IPTCXMPNamespace> IPTCXMPNamespaces() {
    return kNamespaces;
}

std::string IPTCXMPNamespaceURI(std::string_view prefix) {
    for (const IPTCXMPNamespace& ns : kNamespaces)
        if (prefix == ns.prefix)
            return ns.uri;
    return {};
}

const std::vector<std::string>& IPTCFieldIdentifiers() {
    static const std::vector<std::string> labels = makeIdentifiers(false, false);
    return labels;
}

const std::vector<std::string>& IPTCFieldIdentifiersWithDate() {
    static const std::vector<std::string> labels = makeIdentifiers(true, false);
    return labels;
}

const std::vector<std::string>& IPTCFreeTextFieldIdentifiers() {
    static const std::vector<std::string> labels = makeIdentifiers(false, true);
    return labels;
}

std::string IPTCFormatFieldList(const std::vector<std::string>& identifiers) {
    std::string text;
    for (const std::string& identifier : identifiers) {
        if (!text.empty())
            text += ',';
        text += identifier;
    }
    return text;
}

std::vector<std::string> IPTCParseFieldList(std::string_view text) {
    std::vector<std::string> identifiers;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view identifier = lumo::trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const bool known = identifier == "Date" || IPTCFindCatalogueEntry(identifier) != nullptr;
        if (known && std::find(identifiers.begin(), identifiers.end(), identifier) == identifiers.end())
            identifiers.emplace_back(identifier);
    }
    return identifiers;
}

std::span<const IPTCVocabularyTerm> IPTCVocabularyTerms(IPTCVocabulary vocabulary) {
    switch (vocabulary) {
    case IPTCVocabulary::ModelAgeDisclosure:
        return kModelAges;
    case IPTCVocabulary::ModelReleaseStatus:
        return kModelReleases;
    case IPTCVocabulary::PropertyReleaseStatus:
        return kPropertyReleases;
    case IPTCVocabulary::DigitalSourceType:
        return kDigitalSourceTypes;
    case IPTCVocabulary::Composition:
        return kCompositions;
    case IPTCVocabulary::ImageRank:
        return kImageRanks;
    case IPTCVocabulary::CallForImage:
    case IPTCVocabulary::ExclusiveCoverage:
        break;
    }
    return kNoYes;
}

std::string IPTCVocabularyStoredForm(IPTCVocabulary vocabulary, unsigned code) {
    const auto terms = IPTCVocabularyTerms(vocabulary);
    return code >= 1 && code <= terms.size() ? terms[code - 1].stored : std::string();
}

std::string IPTCVocabularyLabel(IPTCVocabulary vocabulary, unsigned code) {
    const auto terms = IPTCVocabularyTerms(vocabulary);
    if (code >= 1 && code <= terms.size())
        return terms[code - 1].label;
    return vocabulary == IPTCVocabulary::DigitalSourceType && code == 0 ? "Undefined" : "";
}

unsigned IPTCVocabularyCode(IPTCVocabulary vocabulary, std::string_view stored) {
    const auto terms = IPTCVocabularyTerms(vocabulary);
    const bool byElement = isUriVocabulary(vocabulary);
    const std::string_view wanted = byElement ? lastPathElement(stored) : stored;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        const std::string_view candidate = byElement ? lastPathElement(terms[i].stored) : terms[i].stored;
        if (!wanted.empty() && wanted == candidate)
            return static_cast<unsigned>(i + 1);
    }
    return 0;
}
