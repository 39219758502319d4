#pragma once

// The catalogue of the metadata fields: one row per field the editor, the template, find/replace and
// the clear-fields tools know, tying its label (the identifier those tools store) to its field id, its
// diagnostic name, its IIM dataset, whether it holds a list and its XMP property. Also the vocabularies
// of the coded fields and the identifier lists of the field pickers.

#include "metadata/IPTCFields.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class IPTCListKind : std::uint8_t {
    Single,     // one value
    List,       // items joined by the repeating-field separator
    StructList, // a list of structures (XMP only)
};

// How the XMP property holds the value. A Bag or Seq of a list field holds one item per entry.
enum class IPTCXMPForm : std::uint8_t {
    Simple,       // a simple property, or a field of a structure (a path with "/")
    Alt,          // a language alternative written under "x-default"
    Bag,          // an unordered array
    Seq,          // an ordered array
    Struct,       // a structure
    BagOfStructs, // an unordered array of structures
    SeqOfStructs, // an ordered array of structures
};

struct IPTCCatalogueEntry {
    const char* label;         // the identifier; never empty
    IPTCFieldID fieldId;       // 0 for the fields kept inside 2:221 (colour class, rating)
    IPTCFieldID secondFieldId; // the time of "Time and Date", or the XMP alias of an IIM field; else 0
    std::uint8_t item;         // 1 to 3 for the Supplemental Category slots of 2:20, else 0
    const char* name;          // the diagnostic constant name; empty when the field has none
    const char* iim;           // "2:120", "inside 2:221" or empty
    IPTCListKind list;
    const char* xmp; // the XMP property, "prefix:Name", or a path below one
    IPTCXMPForm xmpForm;
    const char* xmpAlso; // further properties the field is written to, joined by ", "; usually empty
};

// The XMP namespaces the catalogue's prefixes stand for: pairs of prefix and URI.
struct IPTCXMPNamespace {
    const char* prefix;
    const char* uri;
};
std::span<const IPTCXMPNamespace> IPTCXMPNamespaces();
// The URI of a prefix; empty for one the catalogue does not use.
std::string IPTCXMPNamespaceURI(std::string_view prefix);

// Every row, grouped by topic (the order of the default editor layout).
std::span<const IPTCCatalogueEntry> IPTCCatalogue();
// The row with this label (compared exactly); null when there is none.
const IPTCCatalogueEntry* IPTCFindCatalogueEntry(std::string_view label);
// The row of a field id (either id of an aliased field or of "Time and Date") and item; null when there
// is none.
const IPTCCatalogueEntry* IPTCFindCatalogueEntry(IPTCFieldID fieldId, std::uint8_t item = 0);

// The identifier lists of the field pickers (find, find-and-replace, clear fields), all in one order:
// the 73 labels ("Products shown" is in none), the same with "Time and Date" named "Date", and the 61
// free-text labels (the coded fields, the date and the colour class and rating left out).
const std::vector<std::string>& IPTCFieldIdentifiers();
const std::vector<std::string>& IPTCFieldIdentifiersWithDate();
const std::vector<std::string>& IPTCFreeTextFieldIdentifiers();

// A field list setting ("IPTCFindFields" and the others) holds identifiers joined by ",": labels do not
// contain one. Reading keeps the known identifiers (catalogue labels and "Date") in the stored order,
// once each, and drops the rest.
std::string IPTCFormatFieldList(const std::vector<std::string>& identifiers);
std::vector<std::string> IPTCParseFieldList(std::string_view text);

// Coded fields: the record keeps a number, 0 for unset and 1 to N for the labels below in their menu
// order; the file keeps the stored form.
enum class IPTCVocabulary : std::uint8_t {
    ModelAgeDisclosure,    // 13 labels, PLUS URIs ending AG-UNK ... AG-A25
    ModelReleaseStatus,    // 4, PLUS URIs ending MR-NON ... MR-LMR
    PropertyReleaseStatus, // 4, PLUS URIs ending PR-NON ... PR-LPR
    DigitalSourceType,     // 14, IPTC NewsCodes URIs (the menu's "Undefined" is code 0)
    Composition,           // 15
    ImageRank,             // 3: "1", "2", "3"
    CallForImage,          // 2: "No", "Yes"
    ExclusiveCoverage,     // 2: "No", "Yes"
};

struct IPTCVocabularyTerm {
    const char* label;  // what the menu shows
    const char* stored; // what the file holds
};

// The terms of a vocabulary, code 1 first.
std::span<const IPTCVocabularyTerm> IPTCVocabularyTerms(IPTCVocabulary vocabulary);
// The stored form of a code; empty for 0 and for a code outside the vocabulary.
std::string IPTCVocabularyStoredForm(IPTCVocabulary vocabulary, unsigned code);
// The label of a code; "Undefined" for an unset Digital Source Type, otherwise empty for 0 and codes
// outside the vocabulary.
std::string IPTCVocabularyLabel(IPTCVocabulary vocabulary, unsigned code);
// The code of a stored value, 0 (unset) when it is none of the vocabulary's. Image Rank, Call for Image,
// Exclusive Coverage and Composition take exactly their stored forms; the URI vocabularies take any URI
// whose last path element is one of theirs (also the bare element).
unsigned IPTCVocabularyCode(IPTCVocabulary vocabulary, std::string_view stored);
