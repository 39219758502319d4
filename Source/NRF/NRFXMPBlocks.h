#pragma once

// XMP packets inside their containers, and the one rewrite that replaces a file's IIM block and XMP
// packet together:
// - JPEG: the APP1 segment "http://ns.adobe.com/xap/1.0/" and, for a packet too large for one segment,
//   the extension segments "http://ns.adobe.com/xmp/extension/" (GUID, full length, offset, chunk);
// - TIFF and the TIFF-structured types: IFD0's tag 700;
// - Photoshop: image resource 0x0424;
// - PNG: the iTXt chunk "XML:com.adobe.xmp";
// - GIF: the application extension "XMP DataXMP" with its 258-byte magic trailer;
// - HEIF/HEIC: the XMP item.
// The packets are bytes here: their properties are the metadata layer's business. Sidecar ".XMP" files
// are read and written here too.

#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class NRFByteSource;
class NRFImageInfoRec;
struct NRFIPTCUndoData;
namespace lumo {
class PendingReplace;
}

// A file's XMP: the main packet, and for JPEG the extension joined in offset order with its GUID (the
// 32 upper-case hex digits the main packet names in xmpNote:HasExtendedXMP).
struct NRFXMPPackets {
    std::string main, extended, extendedGUID;
};

// The largest packet read or written (main and extension each), and a sidecar's largest size.
inline constexpr std::uint64_t kNRFMaxXMPPacket = 64u << 20;
// The payload of one JPEG segment: the main packet after its 29-byte signature, and one extension chunk
// after the 35-byte signature, the GUID and the two 32-bit numbers.
inline constexpr std::size_t kNRFMaxJPEGXMPMain = 65502;
inline constexpr std::size_t kNRFMaxJPEGXMPChunk = 65458;

// The embedded packet(s) of a file that NRFGetImageInfo filled; both empty when it holds none. 0, 5 when
// the file cannot be read, 9 on a damaged structure. An extension whose pieces are missing, overlap or
// disagree on the GUID or the length is dropped (the main packet stays).
NRFErr NRFLoadXMP(NRFImageInfoRec* record, NRFXMPPackets* out);

class NRFMetadataCommit;

// What NRFSaveMetadataBlocks writes: null keeps what the file has; an empty block or empty main packet
// removes it.
struct NRFMetadataWrite {
    const std::string* iim = nullptr;
    const NRFXMPPackets* xmp = nullptr;
    bool removeEOFPrefs = true; // drop a legacy end-of-file prefs block
};

// One rewrite of the file with both blocks, through a temporary file that is read back and checked
// before it takes the file's place; every other byte (pixels, other segments, chunks, resources) is
// kept. The record is read again afterwards. With a batch, the rename waits for the batch's commit.
// 0, 1 (the type cannot hold what was asked), 5 (unreadable), 9 (damaged or too large), 8 (writing
// failed; the file is as it was). The error text is set ("Error updating XMP in file '%s'.", ...).
NRFErr NRFSaveMetadataBlocks(NRFImageInfoRec* record, const NRFMetadataWrite& write,
                             NRFMetadataCommit* batch = nullptr);

// The same, also filling `undo` with what undoing needs (the IIM-only entries keep it in the record).
NRFErr NRFSaveMetadataBlocksWithUndo(NRFImageInfoRec* record, const NRFMetadataWrite& write,
                                     NRFMetadataCommit* batch, NRFIPTCUndoData* undo);

// New versions of many files, written and flushed together: no file takes its original's place before
// its content is on disk, and the whole batch pays about one flush. Files are renamed in the order they
// were added; a file whose new version failed is left as it was. Destroying a batch without commit()
// discards what it holds.
class NRFMetadataCommit {
public:
    NRFMetadataCommit();
    ~NRFMetadataCommit();
    NRFMetadataCommit(const NRFMetadataCommit&) = delete;
    NRFMetadataCommit& operator=(const NRFMetadataCommit&) = delete;

    // Writes the new version of `path` (not yet flushed). 0 or an errno value.
    int add(const std::string& path, const std::string& bytes);
    // Flushes every new version, renames each over its file, flushes each folder once. 0, or the first
    // errno value; `failed` (when given) receives the paths that were not replaced.
    int commit(std::vector<std::string>* failed = nullptr);
    void discard();
    std::size_t size() const;
    // Takes a new version that was prepared without flushing; `record` (when given) is read again after
    // its rename, so it must live until commit() or discard().
    int adopt(lumo::PendingReplace&& replace, NRFImageInfoRec* record);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Which containers hold what.
bool NRFContainerHoldsXMP(NRFFileType type);
bool NRFContainerHoldsIIM(NRFFileType type);

// ".XMP" sidecars. Reading: 0, or 5 with "Unable to load XMP sidecar file at '%s'." (missing, unreadable
// or larger than kNRFMaxXMPPacket). Writing through a temporary file (the existing sidecar's
// permissions and links kept): 0, or 8 with the text chosen by the failure.
NRFErr NRFReadXMPSidecar(const std::string& path, std::string& packet);
NRFErr NRFWriteXMPSidecar(const std::string& path, const std::string& packet,
                          NRFMetadataCommit* batch = nullptr);

// -- readers over any bytes (the fuzzer runs them); false when the structure is not readable, true with
// empty packets when it holds none.
bool NRFXMPReadJPEG(NRFByteSource& source, NRFXMPPackets& out);
bool NRFXMPReadTIFF(NRFByteSource& source, std::string& packet);
bool NRFXMPReadPSD(NRFByteSource& source, std::string& packet);
bool NRFXMPReadPNG(NRFByteSource& source, std::string& packet);
bool NRFXMPReadGIF(NRFByteSource& source, std::string& packet);
bool NRFXMPReadHEIF(NRFByteSource& source, std::string& packet);

// -- planners: the new file in memory from the old file's bytes. False when the structure cannot be
// rewritten safely.
bool NRFXMPPlanFile(NRFFileType type, const std::string& file, const NRFMetadataWrite& write,
                    std::string& out);

// -- engine entries
NRFErr NRFXMPLoadEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args);
NRFErr NRFXMPSaveEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args);
NRFErr NRFXMPDeleteMetadataEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args);
void NRFInstallXMPBlocks(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// Test hook: when the environment variable LUMO_TEST_PAUSE_BEFORE_RENAME names a file, a save that has
// written and checked its temporary file creates that file and waits (up to a minute) before renaming,
// so a test can kill the process at that point.
inline constexpr const char* kNRFPauseBeforeRenameVariable = "LUMO_TEST_PAUSE_BEFORE_RENAME";
