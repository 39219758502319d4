#pragma once

// Maker notes: the camera maker's own block inside the EXIF IFD (and Leaf's catalogue in IFD0). The
// parser identifies the maker from the record's Make and reads the values EXIF lacks: lens, serial
// numbers, firmware, owner, shutter count, camera settings, and the locations of extra previews. A
// maker note never fails the image: what cannot be read is logged and left out.

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <string>
#include <vector>

class NRFImageInfoRec;

// Reads of a part of another source: positions stay those of the whole, and a read outside
// [start, end) fails. Size() is `end`, so that a value lying at or beyond the part's end counts as
// malformed.
class NRFBoundedByteSource : public NRFByteSource {
public:
    NRFBoundedByteSource(NRFByteSource& whole, std::uint64_t start, std::uint64_t end);
    std::uint64_t Size() const override { return m_end; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;
    std::uint64_t Start() const { return m_start; }
    std::uint64_t End() const { return m_end; }

private:
    NRFByteSource& m_whole;
    std::uint64_t m_start, m_end;
};

// Which of the record's embedded images a JPEG found through a maker note becomes.
enum class EXIFEmbeddedKind {
    Thumbnail,    // taken when the record has no thumbnail
    Preview,      // taken when its width or its height is at least the current preview's
    FuzzyPreview, // the small preview some raws carry besides the thumbnail
};

// One maker note being read.
class EXIFMakerNote {
public:
    EXIFMakerNote(NRFImageInfoRec& record, NRFByteSource& file, std::uint64_t pos, std::uint64_t length,
                  std::uint64_t tiffBase, bool tiffBigEndian, NRFFileType fileType);

    NRFImageInfoRec& record;
    // The whole file (or the EXIF block the note came in): embedded previews lie outside the note.
    NRFByteSource& file;
    // The note's own bytes at their file positions; reads outside the note fail.
    NRFBoundedByteSource note;
    std::uint64_t pos, length; // where the note lies in `file`
    std::uint64_t tiffBase;    // the TIFF header the note's EXIF IFD belongs to (some makers count from it)
    bool tiffBigEndian;        // that structure's byte order (most makers keep it)
    NRFFileType fileType;

    // An IFD inside the note: `tiff` carries the base its offsets count from and its byte order (make it
    // over `note`). 0, 8195 (more than 1000 entries) or 9 (unreadable); an IFD read before (a loop)
    // answers 9 and is not read again. Entries whose values lie outside the note are dropped.
    NRFErr ReadIFD(NRFBasicTIFF& tiff, std::uint32_t offset, std::vector<NRFTIFFEntry>& entries);
    // Whether the note's bytes at `at` (a file position) begin with `prefix` (`length` bytes).
    bool StartsWith(std::uint64_t at, const char* prefix, std::size_t length);
    // A JPEG stream at a file position becomes the record's image of `kind` when it lies inside the file
    // and its SOF can be read (which gives its size). False when it was not taken.
    bool TakeJPEG(std::uint64_t jpegPos, std::uint64_t jpegLength, EXIFEmbeddedKind kind);
    // Text of an ASCII (or UNDEFINED/BYTE text) value without trailing NULs and spaces, converted to
    // UTF-8 as the EXIF strings are.
    bool Text(NRFBasicTIFF& tiff, const NRFTIFFEntry& entry, std::string& out, std::size_t maxLength = 255);

private:
    std::vector<std::uint64_t> m_visited;
};

// A maker's code and its published text.
struct EXIFNamedValue {
    std::int64_t value;
    const char* text;
};

// The text of `value` in `table`, or null.
template <std::size_t N>
const char* EXIFLookup(const EXIFNamedValue (&table)[N], std::int64_t value) {
    for (const EXIFNamedValue& named : table)
        if (named.value == value)
            return named.text;
    return nullptr;
}

// Identifies the maker from the record's Make and reads the note at [pos, pos + length) of `file`. The
// note's offsets may count from `tiffBase`, the TIFF header of the EXIF IFD that held it. Logs
// "Unexpected exception in ...()" for anything thrown inside and never fails.
void EXIFParseMakerNote(NRFImageInfoRec& record, NRFByteSource& file, std::uint64_t pos, std::uint64_t length,
                        std::uint64_t tiffBase, bool tiffBigEndian, NRFFileType fileType);
// Leaf's catalogue of values (IFD0 tag 34310 of Leaf backs' raws).
void EXIFParseLeafData(NRFImageInfoRec& record, NRFByteSource& file, std::uint64_t pos, std::uint64_t length,
                       std::uint64_t tiffBase, bool tiffBigEndian, NRFFileType fileType);

// The makers, each in a source file of its own (EXIFMakerNote<Maker>.cpp). Each catches nothing:
// EXIFParseMakerNote catches and logs for all of them.
void EXIFParseCanonMakerNote(EXIFMakerNote& note);
void EXIFParseNikonMakerNote(EXIFMakerNote& note);
void EXIFParseOlympusMakerNote(EXIFMakerNote& note);
void EXIFParseSamsungMakerNote(EXIFMakerNote& note);
void EXIFParseLeicaMakerNote(EXIFMakerNote& note);
void EXIFParsePentaxMakerNote(EXIFMakerNote& note);
void EXIFParseSigmaMakerNote(EXIFMakerNote& note);
void EXIFParseSonyMakerNote(EXIFMakerNote& note);
void EXIFParseFujifilmMakerNote(EXIFMakerNote& note);
void EXIFParseLeafCatalogue(EXIFMakerNote& note);

// Olympus lens text from focal lengths and apertures: "%smm f/%s", "Zoom %s-%smm f/%s" or
// "Zoom %s-%smm f/%s-%s", each number "%.0f" when whole and "%.1f" otherwise.
std::string EXIFOlympusLensText(double minFocal, double maxFocal, double maxApertureAtMin,
                                double maxApertureAtMax);
