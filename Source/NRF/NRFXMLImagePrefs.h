#pragma once

// The per-image prefs as a small XML document: written by the exporter (line for line, tab for tab, so
// that other programs and older versions read it), read back by the importer through XPath, including
// the crop elements of older versions (pixel rectangles of the image as shown).

#include <cstdint>
#include <string>

class NRFImageInfoRec;

using NRFErr = std::uint32_t;

// A prefs document exists but cannot be read (its permissions): not the same as none.
inline constexpr NRFErr kNRFErrPrefsUnreadable = 6;

class NRFXMLImagePrefsExporter {
public:
    // The document for the record's prefs; with `pad`, spaces up to 1024 characters. 0, or 8 when
    // anything throws.
    NRFErr ExportImagePrefsToBuffer(const NRFImageInfoRec& record, std::string& out, bool pad);
    // The same text written to `path` through a temporary file and a rename.
    NRFErr ExportImagePrefsToFile(const NRFImageInfoRec& record, const std::string& path, bool pad);
};

class NRFXMLImagePrefsImporter {
public:
    // Takes the values present in `text` into the record; text that is not well-formed XML imports
    // nothing. 0, 9 for text that is not an image prefs document, 8 when anything throws.
    NRFErr ImportImagePrefsFromBuffer(NRFImageInfoRec& record, const std::string& text);
    // As above; 5 when there is no such file, 6 when it cannot be read.
    NRFErr ImportImagePrefsFromFile(NRFImageInfoRec& record, const std::string& path);
};

NRFErr NRFXMLImagePrefsExport(const NRFImageInfoRec& record, std::string& out, bool pad);
NRFErr NRFXMLImagePrefsImport(NRFImageInfoRec& record, const std::string& text);

// The record's document with every element of `existing` (the document already beside the file) that
// the record does not write itself kept after its own: elements of other versions and programs, and the
// groups of the other file that shares the sidecar (a raw's draft crop when a JPEG or HEIF partner is
// saved, the final crop a raw shown through its preview does not write). Empty or blank `existing`
// gives the record's own document. 0, 9 when `existing` is not an image prefs document, 8 when anything
// throws.
NRFErr NRFXMLImagePrefsMerge(const NRFImageInfoRec& record, const std::string& existing, std::string& out);
