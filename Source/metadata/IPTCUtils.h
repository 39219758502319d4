#pragma once

// The IIM codec: reads a block of IPTC-IIM datasets into an IPTCRec and packs an IPTCRec back into a
// block, with the record's field accessors, the list helpers and the line-ending normaliser. The
// containers that carry a block (JPEG APP13, TIFF, PSD, .IPT) are the image engine's.

#include "metadata/IPTCRec.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using IPTCStatus = std::int32_t;
inline constexpr IPTCStatus kIPTCNoErr = 0;
inline constexpr IPTCStatus kIPTCErrBadParameters = 0x3001;
inline constexpr IPTCStatus kIPTCErrOutOfMemory = 0x3002;
inline constexpr IPTCStatus kIPTCErrNothingToApply = 0x3003;
// Reading: a dataset runs past the end of the data. Writing: a text cannot be put in the write
// encoding, or is longer than a dataset can hold.
inline constexpr IPTCStatus kIPTCErrBadData = 0x3005;
inline constexpr IPTCStatus kIPTCErrException = 0x3006;

// How texts are read and written. Encodings are character-set names ("CP1252", "ISO-8859-1", "UTF-8",
// "MacRoman"...).
struct IPTCEncodingSettings {
    std::string m_readEncoding = "CP1252";
    std::string m_writeEncoding = "CP1252";
    int m_lineEndings = 0; // FixLineEndings mode for single fields written
    char m_separator = ',';
    // Writes a colour class 0 to 8 as the urgency ("SynchColorClassAndUrgency"; XMP: only 1 to 8).
    bool m_colorClassAsUrgency = false;
    // The names of colour classes 1 to 8 ("ColorClass1Label".."ColorClass8Label"), matched when writing
    // a colour class given by name and written as xmp:Label when m_colorClassAsLabel is on.
    std::array<std::string, 8> m_colorClassNames;
    // XMP: writes xmp:Label as the name of the colour class ("SynchColorClassAndLabel").
    bool m_colorClassAsLabel = false;
    // XMP: keywords holding "|" go only to lr:hierarchicalSubject, not to dc:subject
    // ("IPTCAddStructuredKeywordsToXMPHierarchicalFieldOnly").
    bool m_structuredKeywordsHierarchicalOnly = false;
};

// The settings as the preferences hold them (defaults without preferences).
IPTCEncodingSettings IPTCEncodingSettingsFromPreferences();

// True when `encoding` names UTF-8.
bool IPTCIsUTF8Encoding(std::string_view encoding);
// Converts between a named character set and UTF-8; false when the converter is unknown or a
// character has no equivalent (nothing is substituted).
bool IPTCConvertToUTF8(std::string_view bytes, const std::string& encoding, std::string& utf8);
bool IPTCConvertFromUTF8(std::string_view utf8, const std::string& encoding, std::string& bytes);

// Stores a text. Item selects the 2:20 slot (1 to 3) and is ignored for other fields. The date (2:55)
// is read as "YYYYMMDD" and the time (2:60) as "HHMMSS+hhmm"; a date or time that does not parse
// leaves the stored one and still answers true; a zone of zero hours is not stored. False for an
// unknown id or a 2:20 item outside 1 to 3.
bool IPTCSetDataSet(IPTCRec* record, IPTCFieldID id, int item, const std::string& text);
// The stored text; false for an unknown id, a 2:20 item outside 1 to 3, and for XMP-only ids unless
// `includeXMP`. A time without a stored zone is given the computer's current offset from UTC. An unset
// date or time is empty.
bool IPTCGetDataSet(const IPTCRec* record, IPTCFieldID id, int item, bool includeXMP, std::string& text);

// List fields: items are split at the separator, trimmed of " \t\r\n", and empty items dropped.
std::vector<std::string> IPTCGetRepeatableItemsAsVector(std::string_view text, char separator);
// The items joined by the separator.
std::string IPTCGetRepeatableItemsAsString(const std::vector<std::string>& items, char separator);
// The items joined by the separator and a space, for showing.
std::string IPTCFormatVectorAsString(const std::vector<std::string>& items, char separator);
// Splits and joins again: trimmed items, none empty.
void IPTCCleanupItems(std::string& text, char separator);
std::size_t IPTCCountItems(std::string_view text, char separator);
bool IPTCItemExistsInVector(const std::vector<std::string>& items, std::string_view item);

// A hierarchical keyword's levels (parted by "|") trimmed and joined by `separator`, empty levels
// dropped: " | " gives the form shown ("a|b| c" shows as "a | b | c"), "|" the form written.
std::string IPTCJoinKeywordLevels(std::string_view keyword, std::string_view separator);
// The record's colour class 0 to 8, given as a digit or as a class name of the settings; -1 for none.
int IPTCRecordColorClass(const IPTCRec& record, const IPTCEncodingSettings& settings);

// Every line break (CR, LF, CR LF or LF CR, each one break) becomes CR for mode 0, LF for mode 1 and
// CR LF for mode 2.
std::string FixLineEndings(std::string_view text, int mode);

// Reads the datasets of `data` into `record` (added to what it holds). In template mode empty datasets
// are kept (they clear the field), every field read sets its apply flag, and unknown datasets are
// ignored. A reading error leaves the fields read before it in the record.
IPTCStatus IPTCUnpackRecFromBinary(const IPTCEncodingSettings& settings, const std::uint8_t* data,
                                   std::size_t length, bool templateMode, IPTCRec* record);
// Packs `iptcRec` into a new block of exactly the needed size, given to the caller in `builtIPTC`.
// In template mode only the fields whose apply flag is set are written (empty ones as empty datasets).
IPTCStatus IPTCPackRecToBinary(const IPTCEncodingSettings& settings, const IPTCRec* iptcRec,
                               std::unique_ptr<std::uint8_t[]>* builtIPTC, std::size_t* builtSize,
                               bool templateMode);

// One dataset of a block as a listing shows it.
struct IPTCDataSetEntry {
    int m_record = 0, m_dataSet = 0;
    std::string m_name;  // the field's name; "Unknown IPTC DataSet:%d" for the others
    std::string m_value; // as UTF-8 text
};

// The datasets of a block in its order (a repeated dataset once per occurrence), their texts read as
// IPTCUnpackRecFromBinary reads them (bytes of unknown datasets that are not text in the read encoding
// shown with replacement characters); `encoding` receives the character set the texts were read with.
// kIPTCErrBadData when a dataset runs past the end (the ones before it are listed).
IPTCStatus IPTCListDataSets(const IPTCEncodingSettings& settings, const std::uint8_t* data,
                            std::size_t length, std::vector<IPTCDataSetEntry>& entries,
                            std::string& encoding);
