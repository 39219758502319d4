#pragma once

// The one IFD parser of the engine. It reads IFD0, the EXIF, GPS and interoperability IFDs, IFD1 and
// the SubIFDs of a TIFF structure into an image information record: camera and capture values, and the
// locations of thumbnails, previews, ICC profile, XMP packet and IPTC block so that later operations
// can read or rewrite them in place.

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class NRFImageInfoRec;

// Where an IFD's image data goes: the full-size image, a preview or thumbnail, or neither (EXIF, GPS
// and interoperability IFDs).
enum class NRFIFDRole { Main, Reduced, Other };

// Entry limits of an IFD and of the GPS IFD; beyond them the IFD is error 8195.
inline constexpr unsigned kEXIFMaxIFDEntries = 1000;
inline constexpr unsigned kEXIFMaxGPSEntries = 100;
inline constexpr unsigned kEXIFMaxSubIFDs = 10;

enum : NRFErr {
    kEXIFErrBadStructure = 9,
    kEXIFErrMalformed = 10,
    kEXIFErrException = 8,
    kEXIFErrTooManyEntries = 8195,
};

struct EXIFParseOptions {
    // The record's file type decides the rules that differ by format (JPEG and Photoshop files keep
    // their XMP, IPTC and ICC elsewhere; DNG roles follow NewSubfileType).
    NRFFileType fileType = 0;
    // Stop at the first malformed entry with error 10 instead of skipping it.
    bool strictExif = false;
    // EXIF inside a JPEG: the APP1 segment's extent in the file; a thumbnail outside it is dropped.
    std::uint64_t segmentStart = 0, segmentEnd = 0;
    // The IFD0 of an enclosing structure gave the orientation already (the EXIF block of the JPEG a raw
    // embeds): no Orientation of this structure replaces it.
    bool outerOrientation = false;
};

class EXIFParser {
public:
    EXIFParser(NRFImageInfoRec& record, NRFBasicTIFF& tiff, EXIFParseOptions options);

    // IFD0 at the header's offset, in the main role. When IFD0's own table cannot be read (error 9 or
    // 8195; a child IFD that cannot be read costs only its own values) and `recoveryOffset` is not 0,
    // the record goes back to what it held before and IFD0 is read at `recoveryOffset` instead; a table
    // found there that names the camera (Make) is taken, and Recovered() says so. Logs "Failed to parse
    // EXIF IFD0 for file ..." on a failure, and both offsets when the table is taken elsewhere.
    //
    // IFD0's Orientation is the image's: it outranks any other IFD's, and its position is recorded
    // before theirs.
    NRFErr ParseIFD0(std::uint32_t recoveryOffset = 0, NRFIFDRole role = NRFIFDRole::Main);
    // The EXIF IFD that an earlier IFD pointed to (0 when there is none), with the colour-space
    // decision that follows it.
    NRFErr ParseExifIFD(NRFIFDRole role = NRFIFDRole::Main);
    // The EXIF IFD or the GPS IFD at `offset` when no IFD of the structure points at it (a container
    // that keeps each in a block of its own), read as if IFD0 had pointed there.
    NRFErr ParseExifIFDAt(std::uint32_t offset, NRFIFDRole role = NRFIFDRole::Main);
    NRFErr ParseGPSIFDAt(std::uint32_t offset);
    // The IFD after IFD0, in the reduced role; an Orientation there leaves the rotation alone.
    NRFErr ParseIFD1();
    // The SubIFDs that IFD0 listed: one is the main image; of several, the primary image (NewSubfileType
    // 0) is the main image and the largest of the others' previews is kept.
    NRFErr ParseSubIFDs();
    // Any IFD. An IFD read before (a loop in the structure) is not read again and answers 0.
    NRFErr ParseIFD(std::uint32_t offset, NRFIFDRole role);

    bool Recovered() const { return m_recovered; }
    // After a recovery: whether pointing the header at the recovered table is certain to lose nothing.
    // It is when the header's offset leads out of the file (no program can read a table there) and the
    // recovered table has no malformed entry; a table inside the file that this parser refuses (more
    // than 1000 entries) may still be what another program reads.
    bool RepairIsCertain() const { return m_recovered && m_repairCertain; }
    // The offset the header gave for IFD0 (where the table was not readable, after a recovery).
    std::uint32_t HeaderIFD0Offset() const { return m_tiff.IFD0Offset(); }
    // IFD0 had an Orientation of its own.
    bool IFD0HasOrientation() const { return m_ifd0Orientation; }
    std::uint32_t IFD0Offset() const { return m_ifd0Offset; }
    std::uint32_t IFD0Next() const { return m_ifd0Next; }
    std::uint32_t ExifIFDOffset() const { return m_exifOffset; }
    // IFD0's strips (CR2 keeps its preview there): file position and byte count, 0 when absent.
    std::uint64_t IFD0StripOffset() const { return m_ifd0StripOffset; }
    std::uint64_t IFD0StripLength() const { return m_ifd0StripLength; }

    // Entries this parser does not know are handed here first (a reader's private tags); answering
    // true means the entry was used.
    using PrivateTagHandler = std::function<bool(NRFBasicTIFF&, const NRFTIFFEntry&, NRFIFDRole)>;
    void SetPrivateTagHandler(PrivateTagHandler handler) { m_privateTags = std::move(handler); }

private:
    struct IFDValues;
    void reset();
    bool tableOutsideSource(std::uint32_t offset);
    NRFErr parse(std::uint32_t offset, NRFIFDRole role, unsigned maxEntries, bool isIFD1, IFDValues& v,
                 std::uint32_t* next);
    NRFErr parseEntries(std::vector<NRFTIFFEntry>& entries, NRFIFDRole role, bool isIFD1, IFDValues& v);
    void dispatch(const NRFTIFFEntry& e, NRFIFDRole& role, bool isIFD1, IFDValues& v);
    void finishIFD(NRFIFDRole role, IFDValues& v);
    NRFErr parseGPS(std::uint32_t offset);
    void parseInterop(std::uint32_t offset);
    void decideColorSpace();
    bool visit(std::uint32_t offset);
    void makerNoteInPrivateData(const NRFTIFFEntry& e);
    bool recordJPEG(std::uint64_t pos, std::uint64_t length, bool thumbnail, std::uint32_t entryPos);
    bool isJPEGOrPhotoshop() const;
    bool isDNG() const;
    void takeOrientation(const NRFTIFFEntry& e, unsigned value, bool isIFD1);

    NRFImageInfoRec& m_record;
    NRFBasicTIFF& m_tiff;
    EXIFParseOptions m_options;
    std::vector<std::uint64_t> m_visited;
    std::uint32_t m_ifd0Offset = 0, m_ifd0Next = 0, m_exifOffset = 0, m_interopOffset = 0;
    std::uint64_t m_ifd0StripOffset = 0, m_ifd0StripLength = 0;
    bool m_recovered = false, m_repairCertain = false;
    bool m_inIFD0 = false;          // IFD0's own entries are being read
    bool m_ifd0Orientation = false; // IFD0 (or an enclosing structure's) gave the orientation
    std::uint32_t m_ifd0OrientationPositions = 0;
    bool m_dateFromOriginal = false, m_dateFromDigitized = false;
    bool m_subSecFromOriginal = false;
    bool m_haveDescription = false, m_haveArtist = false, m_haveCopyright = false, m_haveXmp = false;
    bool m_haveIptc = false;
    bool m_previewIFD = false; // a SubIFD other than the primary image is being read
    std::string m_interopIndex;
    int m_depth = 0;
    PrivateTagHandler m_privateTags;
};

// Walks Photoshop image resources ("8BIM", id, padded name, size, padded data) in `block`, calling
// `resource(id, offset of data in block, size)` for each until it answers false. A resource whose size
// runs past the block logs "RemovePSResources(): bad resource size (...)" and ends the walk with
// false.
bool EXIFWalkPhotoshopResources(const std::string& block,
                                const std::function<bool(std::uint16_t, std::size_t, std::size_t)>& resource);

// EXIF text as the record keeps it: trailing NULs and spaces dropped, and bytes that are not UTF-8 read
// as Latin-1 (what cameras that predate UTF-8 wrote).
std::string EXIFCleanText(const std::string& text);

// Text of the EXIF ExposureProgram 1..9 ("Manual" ... "Bulb"); empty for other values.
const char* EXIFExposureProgramText(unsigned program);
// EXIF Orientation 1..8 as the record's rotation code; -1 for other values.
int EXIFOrientationToRotation(unsigned orientation);
// Sub-second text ("5", "123456") in units of 1/10000 s; false unless it is 1 to 8 decimal digits.
bool EXIFParseSubSeconds(const std::string& text, std::uint32_t& out);
