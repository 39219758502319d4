#pragma once

// The IPTC-IIM block inside its containers: a JPEG's Photoshop APP13 segments (resource 0x0404), a
// TIFF-structured file's IPTC-NAA tag (33723), a Photoshop document's image resource 0x0404, and a
// stand-alone ".IPT" file that is nothing but the block. Blocks are raw IIM bytes; their datasets are
// the metadata layer's business.
//
// Writers never touch the file in place: the new file is written beside it, read back and checked, and
// only then renamed over it. Every byte outside the rewritten structure is copied unchanged.

#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <string>
#include <vector>

class NRFByteSource;
class NRFImageInfoRec;

// The pieces a new file is made of, in order: ranges of the old file and new bytes.
struct NRFIPTCSplice {
    struct Piece {
        std::uint64_t from = 0, length = 0; // a range of the old file, when `bytes` is empty
        std::string bytes;
    };
    std::vector<Piece> pieces;
    void copy(std::uint64_t from, std::uint64_t length) {
        if (length != 0)
            pieces.push_back({from, length, {}});
    }
    void add(std::string bytes) {
        if (!bytes.empty())
            pieces.push_back({0, 0, std::move(bytes)});
    }
};

// Bytes an IIM block may hold; a larger one is refused on reading and on writing.
inline constexpr std::uint64_t kNRFMaxIPTCBlock = 16u << 20;

// -- readers over any bytes (the fuzzer runs them); false when the structure is not readable, true with
// an empty block when it holds none.

// Every "Photoshop 3.0" APP13 segment before the scan, joined (a block larger than one segment is
// split across several), searched for resource 0x0404.
bool NRFIPTCReadJPEGBlock(NRFByteSource& source, std::string& block);
// IFD0's tag 33723 of a TIFF structure at the start of the source.
bool NRFIPTCReadTIFFBlock(NRFByteSource& source, std::string& block);
// The image resource 0x0404 of a Photoshop document.
bool NRFIPTCReadPSDBlock(NRFByteSource& source, std::string& block);

// -- planners: the new file with `block` in place of the old one (an empty block removes it). False
// with a log line when the structure cannot be rewritten safely.

// The Photoshop segments are replaced by new ones at the place of the first (or after the leading
// APPn segments), split at 65519 resource bytes; the other resources are kept in order, the IPTC
// digest (0x0425) is dropped because it describes the old block.
bool NRFIPTCPlanJPEG(NRFByteSource& source, const std::string& block, NRFIPTCSplice& plan);
// A new IFD0 (the old entries, 33723 replaced, added or removed) and the block appended at the end; the
// header points at it. `oldIFDOffset` receives the offset the header held.
bool NRFIPTCPlanTIFF(NRFByteSource& source, const std::string& block, NRFIPTCSplice& plan,
                     std::uint32_t& oldIFDOffset);
// The image resource section rebuilt with the new 0x0404 (digest 0x0425 dropped), the rest copied.
bool NRFIPTCPlanPSD(NRFByteSource& source, const std::string& block, NRFIPTCSplice& plan);

// The Photoshop wrapper of a block: "8BIM", 0x0404, an empty name, the length, the block padded even.
std::string NRFIPTCResource(const std::string& block);
std::string NRFPhotoshopResource(std::uint16_t id, const std::string& block);

// -- the same structures for any tag or resource (the XMP packet: tag 700, resource 0x0424)

// The largest value a rebuilt IFD0 takes.
inline constexpr std::uint64_t kNRFMaxTIFFTagValue = 64u << 20;
// IFD0's value of `tag` (empty when absent); false when IFD0 or the value cannot be read.
bool NRFTIFFReadIFD0Tag(NRFByteSource& source, std::uint16_t tag, std::uint64_t maxBytes, std::string& value);
struct NRFTIFFTagValue {
    std::uint16_t tag = 0, type = 0;    // type 4 (LONG: padded to whole words) or 1/7 (bytes)
    const std::string* value = nullptr; // null or empty: the entry is removed
};
// A new IFD0 with the given tags replaced, added or removed, appended after the first `keepLength`
// bytes of the file (the rest, such as a trailing block to drop, left out).
bool NRFTIFFPlanIFD0(NRFByteSource& source, std::uint64_t keepLength, const NRFTIFFTagValue* values,
                     std::size_t valueCount, NRFIPTCSplice& plan, std::uint32_t& oldIFDOffset);
// A Photoshop document's image resource `id` (empty when absent).
bool NRFPSDReadResource(NRFByteSource& source, std::uint16_t id, std::string& data);
// The image resource section rebuilt with a new IIM block (0x0404, its digest dropped) and XMP packet
// (0x0424); null keeps what the file has, empty removes it.
bool NRFPSDPlanResources(NRFByteSource& source, const std::string* iim, const std::string* xmp,
                         NRFIPTCSplice& plan);

// -- engine entries (installed for JPEG, TIFF, the TIFF-structured types and Photoshop)
NRFErr NRFIPTCHaveEntry(NRFContext&, NRFImageInfoRec& record, bool& yes);
NRFErr NRFIPTCLoadEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args);
NRFErr NRFIPTCSaveEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args);
NRFErr NRFIPTCUndoSaveEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args);
void NRFInstallIPTCBlocks(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// -- stand-alone ".IPT" files: the whole file is the block. Writing replaces the file through a
// temporary file that is read back first. 0, or an engine result (5 unreadable, 9 too large, 1 write).
NRFErr NRFIPTCReadIPTFile(const std::string& path, std::string& block);
NRFErr NRFIPTCWriteIPTFile(const std::string& path, const std::string& block);
