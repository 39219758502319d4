#pragma once

// The engine's table of format readers: one row of type information and one table of 32 entry points
// per format, filled once by NRFLoadPlugins (in the fixed registration order, which is also the order of
// the type search) and read-only afterwards.

#include <cstdint>
#include <string>

namespace lumo {
class File;
}
class NRFImageInfoRec;

using NRFErr = std::uint32_t;
using NRFFileType = std::uint32_t;

// A four-character code held so that its big-endian spelling is the code: "JPEG" is 0x4A504547.
constexpr NRFFileType NRFMakeFileType(const char* code) { // four characters
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}
// The code's four characters ("????" never comes out of here: the code is spelled as stored).
std::string NRFFileTypeString(NRFFileType type);

inline constexpr NRFFileType kNRFTypeJPEG = NRFMakeFileType("JPEG");
inline constexpr NRFFileType kNRFTypeTIFF = NRFMakeFileType("TIFF");
inline constexpr NRFFileType kNRFTypeHEIC = NRFMakeFileType("HEIC");
inline constexpr NRFFileType kNRFTypeHEIF = NRFMakeFileType("HEIF");
inline constexpr NRFFileType kNRFTypeOORF = NRFMakeFileType("OORF");
inline constexpr NRFFileType kNRFTypeADNG = NRFMakeFileType("ADNG");
inline constexpr NRFFileType kNRFTypeProxy = NRFMakeFileType("PRXY");

inline constexpr std::uint32_t kNRFMediaStill = NRFMakeFileType("STIL");
inline constexpr std::uint32_t kNRFMediaVideo = NRFMakeFileType("VIDO");
inline constexpr std::uint32_t kNRFMediaAudio = NRFMakeFileType("AUDO");
inline constexpr std::uint32_t kNRFMediaMeta = NRFMakeFileType("META");
inline constexpr std::uint32_t kNRFMediaUnknown = NRFMakeFileType("UNKN");

// Capability bits of a row.
enum : std::uint32_t {
    kNRFCapCrop = 0x0002,            // the file can carry a crop
    kNRFCapSound = 0x0008,           // sound files may be attached
    kNRFCapIPTC = 0x0010,            // the format can hold IPTC
    kNRFCapThumbnail = 0x0020,       // the format may hold an embedded thumbnail
    kNRFCapAlwaysPreview = 0x0040,   // previewable without asking the reader
    kNRFCapRawPreview = 0x0080,      // raw: the reader's CanPreview decides
    kNRFCapAlwaysRender = 0x0100,    // renderable without asking the reader
    kNRFCapNeverRender = 0x0200,     // never renderable (checked after kNRFCapAlwaysRender)
    kNRFCapSaveBitmap = 0x0400,      // a bitmap can be saved in this format
    kNRFCapMovieSidecars = 0x0800,   // metadata in ".XMP" beside it; ".THM" and ".AAE" attached
    kNRFCapRawSidecar = 0x1000,      // metadata in ".XMP" beside it (DNG embeds)
    kNRFCapCopyRewritesMeta = 0x2000 // copying rewrites the metadata in the copy in one pass
};

// Where a format keeps its metadata (`metadataStorage`).
enum : std::uint16_t {
    kNRFStorageEmbedded = 1,
    kNRFStorageTIFFRaw = 2,
    kNRFStorageHEIF = 3,
    kNRFStorageBesideFile = 4, // the program keeps the metadata beside the file
    kNRFStorageNone = 5,
};

inline constexpr int kNRFMaxFileTypes = 38;
inline constexpr int kNRFExtensionCount = 4;

struct NRFFileTypeInfo {
    NRFFileType fileType;
    std::uint32_t mediaKind;
    char description[32];
    std::int32_t param1; // 100 (64 for the proxy); kept for its consumers
    std::int32_t param2; // -1
    // Entries 0 and 1 hold three-letter extensions (".jpg"), 2 and 3 four-letter ones (".jpeg").
    char extensions[kNRFExtensionCount][8];
    std::uint32_t priority; // among rows whose extension matches, the lower value wins
    std::uint32_t capabilities;
    std::uint16_t metadataStorage;
    std::uint8_t needsContentCheck; // an extension match must be confirmed by IsFileOfType
    std::uint8_t flag;
    std::uint8_t enabled;   // set by the reader's Initialize; detection skips rows without it
    std::uint8_t cacheFlag; // a cached bitmap of this type is never the finished full-size image
};

// What every entry point receives first: the engine's settings.
struct NRFContext {
    std::string pluginPath;
    bool renderRawWithoutPreview = false; // the engine-wide raw-render switch
    bool strictExif = false;              // a malformed EXIF entry fails the file (error 10)
    bool firstMetadataWins = false;       // a JPEG's later XMP or IPTC segment does not replace the first
};

class NRFBitmapBase;
struct NRFXMPPackets;
struct NRFMetadataWrite;
class NRFMetadataCommit;

// How SaveBitmapAsFile writes a bitmap. The record passed with it names the new file and its type.
struct NRFSaveOptions {
    int quality = 90;            // JPEG: 1..100
    int chromaSubsampling = 420; // JPEG: 444, 422 or 420
    double dpi = 0.0;            // the resolution written, dots per inch; 0 leaves it out
    std::string iccProfile;      // a profile to embed with the pixels; empty for none
};

// Request flags of the preview loaders.
enum : std::uint32_t {
    kNRFLoadAllowEmbedded = 1, // an embedded preview or thumbnail may answer
    kNRFLoadWantRendered = 2,  // a rendering of the raw data is wanted
    kNRFLoadRenderNow = 4,     // and may be started now
};

// Arguments of the operations on bitmaps, previews and metadata blocks.
struct NRFOperationArgs {
    NRFBitmapBase* bitmap = nullptr;           // loaders: the result
    std::uint32_t size = 0;                    // loaders: the wanted long side, 0 for the full size
    std::uint32_t requestFlags = 0;            // LoadPreview / LoadFuzzyThumbnail / LoadImage: kNRFLoad...
    std::string destination;                   // ExtractPreview: the JPEG file to write
    bool withExif = false;                     // ExtractPreview: insert an EXIF segment built from the record
    std::string* iccProfile = nullptr;         // LoadICCProfile: the embedded profile's bytes
    const NRFBitmapBase* source = nullptr;     // SaveBitmapAsFile: the pixels to write
    std::string* iptcBlock = nullptr;          // LoadIPTC: the IIM block's bytes (empty: none)
    const std::string* newIptcBlock = nullptr; // SaveIPTC: the block to write (empty: remove it)
    const NRFSaveOptions* saveOptions = nullptr;     // SaveBitmapAsFile: how (null: the defaults)
    NRFXMPPackets* xmpPackets = nullptr;             // LoadXMP: the embedded packets (empty: none)
    const NRFMetadataWrite* metadataWrite = nullptr; // SaveXMP: the blocks to write
    NRFMetadataCommit* batch = nullptr;              // SaveIPTC / SaveXMP: commit with this batch
};

using NRFInitializeProc = NRFErr (*)(NRFContext&, NRFFileTypeInfo&);
// `file` is open for reading at offset 0 when the caller could open it; a check reads what it needs
// and answers no on any read failure.
using NRFIsFileOfTypeProc = NRFErr (*)(NRFContext&, lumo::File&, const std::string& path, bool& yes);
using NRFRecordProc = NRFErr (*)(NRFContext&, NRFImageInfoRec&);
using NRFGetImageInfoProc = NRFErr (*)(NRFContext&, NRFImageInfoRec&, lumo::File&);
using NRFQueryProc = NRFErr (*)(NRFContext&, NRFImageInfoRec&, bool& yes);
using NRFOperationProc = NRFErr (*)(NRFContext&, NRFImageInfoRec&, NRFOperationArgs*);
using NRFTerminateProc = NRFErr (*)(NRFContext&);

// One reader's entry points, in slot order. An empty entry makes the dispatcher answer 1 (or the
// operation's stated default).
struct NRFPluginFunctions {
    NRFInitializeProc Initialize;
    NRFIsFileOfTypeProc IsFileOfType;
    NRFRecordProc InitImageInfo;
    NRFGetImageInfoProc GetImageInfo;
    NRFRecordProc PrepareSavePrefs;
    NRFOperationProc LoadICCProfile;
    NRFOperationProc EmbedICCProfile;
    NRFQueryProc HaveThumbnail;
    NRFOperationProc LoadThumbnail;
    NRFOperationProc LoadFuzzyThumbnail;
    NRFQueryProc CanPreview;
    NRFQueryProc CanExtractPreview;
    NRFQueryProc CanRender;
    NRFOperationProc LoadImage;
    NRFOperationProc LoadPreview;
    NRFOperationProc ExtractPreview;
    NRFQueryProc HaveIPTC;
    NRFQueryProc CanUpdateIPTC;
    NRFQueryProc CanUpdateXMP;
    NRFOperationProc LoadIPTC;
    NRFOperationProc LoadXMP;
    NRFQueryProc CanMaskUnmask;
    NRFOperationProc MaskUnmask;
    NRFOperationProc SaveIPTC;
    NRFOperationProc UndoSaveIPTC;
    NRFOperationProc SaveXMP;
    NRFOperationProc DeleteMetadata;
    NRFOperationProc RenameFile;
    NRFOperationProc CopyFile;
    NRFOperationProc SaveBitmapAsFile;
    NRFRecordProc CloseImage;
    NRFTerminateProc Terminate;
    // Run-time state of the reader, cleared by loading before Initialize runs.
    std::uintptr_t runtimeState;
    std::uint8_t runtimeFlag;
};

// Fills both tables in registration order, calling each reader's Initialize; the first non-zero result
// stops loading and is returned.
NRFErr NRFLoadPlugins();
// Calls every loaded reader's Terminate.
void NRFTerminatePlugins();

NRFContext& NRFGetContext();
// The number of loaded rows (0 before loading).
int NRFFileTypeCount();
// Row `index` (0 <= index < NRFFileTypeCount()), or null.
const NRFFileTypeInfo* NRFGetFileTypeInfo(int index);
const NRFPluginFunctions* NRFGetPluginFunctions(int index);
// The index of the row with this code, or -1.
int NRFFindFileType(NRFFileType type);
// For tests that watch or replace a reader's entries; valid until the next load.
NRFPluginFunctions* NRFPluginFunctionsForTesting(int index);

// The readers' own type checks, usable without the table (the fuzzer runs each one over any bytes).
// Each answers no on any read failure.
bool NRFIsCanon1DTIFFRaw(lumo::File& file);
bool NRFIsPhaseOneTIFFRaw(lumo::File& file);
bool NRFIsKodakDCSRaw(lumo::File& file);
bool NRFIsPanasonicRaw(lumo::File& file);
// True unless the file's name (without folder) is one of the program's own work files.
bool NRFProxyAccepts(const std::string& path);
