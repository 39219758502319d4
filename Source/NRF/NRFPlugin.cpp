#include "NRF/NRFPlugin.h"

#include "NRF/NRFICC.h"
#include "NRF/NRFIPTCBlocks.h"
#include "NRF/NRFSaveBitmap.h"
#include "NRF/NRFXMPBlocks.h"

#include "NRF/NRFBMP.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFCR3.h"
#include "NRF/NRFContainerReaders.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFEPS.h"
#include "NRF/NRFExtractPreview.h"
#include "NRF/NRFGIF.h"
#include "NRF/NRFHEIF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFJPEGReader.h"
#include "NRF/NRFMovie.h"
#include "NRF/NRFPNG.h"
#include "NRF/NRFPSD.h"
#include "NRF/NRFTIFFReaders.h"
#include "NRF/NRFThumbnails.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <array>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// How a reader's IsFileOfType recognises its files, from the bytes it needs.
enum class Check {
    Yes, // the shared check: every file is accepted
    JPEG,
    TIFF,
    PSD,
    BMP,
    GIF,
    PNG,
    EPS,
    HEIC,
    HEIF,
    QuickTime,
    AVI,
    MPEG,
    MP4,
    CR3,
    Canon1D,
    PhaseOneTIFF,
    KodakDCS,
    PanasonicRaw,
    Proxy,
};

struct RowDefinition {
    const char* code;
    const char* kind;
    const char* description;
    const char* extensions[kNRFExtensionCount];
    std::uint32_t priority;
    std::uint32_t capabilities;
    std::uint16_t storage;
    std::uint8_t check, flag, cache;
    Check isFileOfType;
};

// The rows in registration order, which is also the order of the type search. The proxy is last:
// detection falls back to it by position.
constexpr RowDefinition kRows[kNRFMaxFileTypes] = {
    {"JPEG", "STIL", "JPEG", {".jpg", ".jpe", ".jpeg", ""}, 2, 0x657F, 1, 0, 1, 0, Check::JPEG},
    {"TIFF", "STIL", "TIFF", {".tif", "", ".tiff", ""}, 2, 0x457F, 1, 0, 0, 1, Check::TIFF},
    {"APSD", "STIL", "Photoshop", {".psd", "", "", ""}, 2, 0x657F, 1, 0, 1, 1, Check::PSD},
    {"WBMP", "STIL", "Windows Bitmap", {".bmp", "", "", ""}, 2, 0x016F, 5, 0, 1, 1, Check::BMP},
    {"GIFf", "STIL", "GIF", {".gif", "", "", ""}, 2, 0x417F, 1, 0, 1, 1, Check::GIF},
    {"PNGf", "STIL", "Portable Network Graphic", {".png", "", "", ""}, 2, 0x417F, 1, 0, 1, 0, Check::PNG},
    {"EPSF", "STIL", "EPS-TIFF", {".eps", "", ".epsf", ""}, 2, 0x0260, 5, 0, 1, 0, Check::EPS},
    {"HEIC", "STIL", "HEIC", {".hic", "", ".heic", ""}, 2, 0x417F, 3, 0, 1, 1, Check::HEIC},
    {"HEIF", "STIL", "HEIF", {".hif", "", ".heif", ""}, 2, 0x417F, 3, 0, 1, 1, Check::HEIF},
    {"MooV", "VIDO", "QuickTime Movie", {".mov", "", "", ""}, 2, 0x0976, 4, 0, 1, 0, Check::QuickTime},
    {"WAVI", "VIDO", "AVI Movie", {".avi", "", "", ""}, 2, 0x0976, 4, 0, 1, 0, Check::AVI},
    {"MPEG", "VIDO", "MPEG1/MPEG2 Movie", {".mpg", "", ".mpeg", ""}, 2, 0x0976, 4, 0, 1, 0, Check::MPEG},
    {"MPG4", "VIDO", "MPEG4 Movie", {".mp4", ".mts", ".mpg4", ""}, 2, 0x0976, 4, 0, 1, 0, Check::MP4},
    {"NNEF", "STIL", "Nikon RAW", {".nef", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"NNRW", "STIL", "Nikon RAW", {".nrw", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"C1DT", "STIL", "Canon 1D TIFF RAW", {".tif", "", "", ""}, 1, 0x50BF, 2, 1, 0, 0, Check::Canon1D},
    {"P1RT",
     "STIL",
     "PhaseOne TIFF RAW",
     {".tif", "", ".tiff", ""},
     1,
     0x10BF,
     2,
     1,
     0,
     0,
     Check::PhaseOneTIFF},
    {"CCRW", "STIL", "Canon CRW RAW", {".crw", "", "", ""}, 2, 0x10BF, 4, 0, 1, 0, Check::Yes},
    {"CCR2", "STIL", "Canon CR2 RAW", {".cr2", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"CCR3", "STIL", "Canon CR3 RAW", {".cr3", "", "", ""}, 2, 0x50BF, 4, 0, 1, 0, Check::CR3},
    {"FRAF", "STIL", "Fuji RAW", {".raf", "", "", ""}, 2, 0x50BF, 4, 0, 1, 0, Check::Yes},
    {"OORF", "STIL", "Olympus RAW", {".orf", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"EERF", "STIL", "Epson RAW", {".erf", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"LMOS", "STIL", "Leaf RAW", {".mos", "", "", ""}, 2, 0x10BD, 2, 0, 1, 0, Check::Yes},
    {"PRAW", "STIL", "Panasonic/Leica RAW", {".raw", "", "", ""}, 2, 0x50BF, 2, 1, 1, 0, Check::PanasonicRaw},
    {"PRW2", "STIL", "Panasonic/Leica RAW", {".rw2", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"PRWL", "STIL", "Leica RAW", {".rwl", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"PPEF", "STIL", "Pentax RAW", {".pef", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"SSR2", "STIL", "Sony RAW", {".sr2", "", "", ""}, 2, 0x10BF, 4, 0, 1, 0, Check::Yes},
    {"SARW", "STIL", "Sony RAW", {".arw", ".arq", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"SSRF", "STIL", "Sony RAW", {".srf", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"SSTI", "STIL", "Sinar RAW", {".sti", "", "", ""}, 2, 0x10BF, 2, 0, 1, 0, Check::Yes},
    {"SSRW", "STIL", "Samsung RAW", {".srw", "", "", ""}, 2, 0x50BF, 2, 0, 1, 0, Check::Yes},
    {"P1IQ", "STIL", "PhaseOne RAW", {".iiq", "", "", ""}, 2, 0x50BF, 2, 1, 0, 0, Check::Yes},
    {"FX3F", "STIL", "Sigma RAW", {".x3f", "", "", ""}, 2, 0x10AF, 4, 0, 1, 0, Check::Yes},
    {"KDCS", "STIL", "Kodak DCS RAW", {".tif", "", "", ""}, 1, 0x50BF, 4, 1, 0, 0, Check::KodakDCS},
    {"ADNG", "STIL", "DNG RAW", {".dng", "", "", ""}, 2, 0x50BF, 1, 0, 1, 0, Check::Yes},
    {"PRXY", "UNKN", "Proxy for unsupported types", {"", "", "", ""}, 2, 0x0260, 5, 0, 0, 0, Check::Proxy},
};

constexpr NRFFileType codeOf(const char* code) {
    return NRFMakeFileType(code);
}

NRFContext gContext;
NRFFileTypeInfo gFileTypes[kNRFMaxFileTypes];
NRFPluginFunctions gPlugins[kNRFMaxFileTypes];
std::int16_t gFileTypeCount = 0;

// ---- Reading the few bytes a check needs --------------------------------------------------------

bool readExact(lumo::File& file, std::uint64_t offset, void* buffer, std::size_t size) {
    std::size_t got = 0;
    return file.isOpen() && file.readAt(buffer, size, offset, got) == 0 && got == size;
}

// TIFF structure as far as the content checks need it: the header, one IFD's entries, ASCII values.
class TIFFProbe {
public:
    using Entry = NRFTIFFEntry;
    static constexpr std::uint16_t kShort = kTIFFShort, kLong = kTIFFLong, kAscii = kTIFFAscii,
                                   kUndefined = kTIFFUndefined;

    explicit TIFFProbe(lumo::File& file) : m_source(file, 4096), m_tiff(m_source) {}

    // `magic` is 42 for TIFF, 85 for the Panasonic variant.
    bool readHeader(std::uint16_t magic) { return m_tiff.ReadHeader({magic}) && m_tiff.Magic() == magic; }
    std::uint32_t ifd0() const { return m_tiff.IFD0Offset(); }

    // False when the IFD cannot be read or its entry count is outside [minEntries, maxEntries].
    bool readIFD(std::uint32_t offset, unsigned minEntries, unsigned maxEntries, std::vector<Entry>& out) {
        return m_tiff.ReadIFD(offset, maxEntries, out) == 0 && out.size() >= minEntries;
    }

    static const Entry* find(const std::vector<Entry>& entries, std::uint16_t tag) {
        for (const Entry& e : entries)
            if (e.tag == tag)
                return &e;
        return nullptr;
    }
    // A SHORT or LONG entry of count 1.
    bool number(const Entry& e, std::uint32_t& value) {
        return e.count == 1 && (e.type == kShort || e.type == kLong) && m_tiff.Unsigned(e, 0, value);
    }
    std::uint32_t longValue(const Entry& e) const { return e.value; }
    // An ASCII value of at most `maxLength` characters, without its terminating NULs.
    bool ascii(const Entry& e, std::size_t maxLength, std::string& out) {
        return e.type == kAscii && e.count != 0 && e.count <= maxLength + 1 && m_tiff.Ascii(e, out, e.count);
    }

private:
    NRFFileByteSource m_source;
    NRFBasicTIFF m_tiff;
};

constexpr std::uint16_t kTagNewSubfileType = 254, kTagImageWidth = 256, kTagImageLength = 257, kTagMake = 271,
                        kTagModel = 272, kTagExifIFD = 34665, kTagMakerNote = 37500;

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && lumo::iequals(text.substr(0, prefix.size()), prefix);
}

bool containsNoCase(std::string_view text, std::string_view part) {
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i)
        if (lumo::iequals(text.substr(i, part.size()), part))
            return true;
    return false;
}

// ---- Magic numbers of the formats whose rows need no content check --------------------------------

bool hasBrand(const unsigned char* head, std::size_t got, std::initializer_list<const char*> brands) {
    if (got < 12 || std::memcmp(head + 4, "ftyp", 4) != 0)
        return false;
    for (const char* brand : brands)
        if (std::memcmp(head + 8, brand, 4) == 0)
            return true;
    return false;
}

bool magicMatches(Check check, lumo::File& file) {
    unsigned char h[16] = {};
    std::size_t got = 0;
    if (!file.isOpen() || file.readAt(h, sizeof h, 0, got) != 0)
        return false;
    const auto is = [&](const char* bytes, std::size_t n, std::size_t at = 0) {
        return got >= at + n && std::memcmp(h + at, bytes, n) == 0;
    };
    switch (check) {
    case Check::JPEG:
        return is("\xFF\xD8", 2);
    case Check::TIFF:
        return is("II*\0", 4) || is("MM\0*", 4);
    case Check::PSD:
        return is("8BPS", 4);
    case Check::BMP:
        return is("BM", 2);
    case Check::GIF:
        return is("GIF87a", 6) || is("GIF89a", 6);
    case Check::PNG:
        return is("\x89PNG\r\n\x1A\n", 8);
    case Check::EPS:
        return is("\xC5\xD0\xD3\xC6", 4) || is("%!PS", 4);
    case Check::HEIC:
        return hasBrand(h, got, {"heic", "heix", "heim", "heis", "hevc", "hevx"});
    case Check::HEIF:
        return hasBrand(h, got, {"mif1", "msf1", "heif", "avif"});
    case Check::CR3:
        return hasBrand(h, got, {"crx "});
    case Check::QuickTime:
        return hasBrand(h, got, {"qt  "}) || is("moov", 4, 4) || is("mdat", 4, 4) || is("wide", 4, 4) ||
               is("free", 4, 4) || is("skip", 4, 4) || is("pnot", 4, 4);
    case Check::AVI:
        return is("RIFF", 4) && is("AVI ", 4, 8);
    case Check::MPEG:
        return is("\0\0\1\xBA", 4) || is("\0\0\1\xB3", 4);
    case Check::MP4:
        return (got >= 12 && is("ftyp", 4, 4)) || is("\x47", 1) ||
               is("\x47", 1, 4); // ISO file or transport stream
    default:
        return false;
    }
}

bool checkFile(Check check, lumo::File& file, const std::string& path) {
    switch (check) {
    case Check::Yes:
        return true;
    case Check::Canon1D:
        return NRFIsCanon1DTIFFRaw(file);
    case Check::PhaseOneTIFF:
        return NRFIsPhaseOneTIFFRaw(file);
    case Check::KodakDCS:
        return NRFIsKodakDCSRaw(file);
    case Check::PanasonicRaw:
        return NRFIsPanasonicRaw(file);
    case Check::Proxy:
        return NRFProxyAccepts(path);
    default:
        return magicMatches(check, file);
    }
}

// ---- The shared entries -------------------------------------------------------------------------

NRFErr initializeEnables(NRFContext&, NRFFileTypeInfo& row) {
    row.enabled = 1;
    return 0;
}

template <int Index>
NRFErr isFileOfTypeRow(NRFContext&, lumo::File& file, const std::string& path, bool& yes) {
    yes = checkFile(kRows[Index].isFileOfType, file, path);
    return 0;
}

NRFErr answerYes(NRFContext&, NRFImageInfoRec&, bool& yes) {
    yes = true;
    return 0;
}

// The raw readers' shared answers, from the locations their GetImageInfo recorded.
// The TIFF reader also sends the TIFF library's warnings and errors to the log.
NRFErr initializeTIFF(NRFContext& context, NRFFileTypeInfo& row) {
    NRFTIFFInstallLibraryHandlers();
    return initializeEnables(context, row);
}

NRFErr rawHaveThumbnail(NRFContext&, NRFImageInfoRec& record, bool& yes) {
    const NRFEmbeddedImageLoc& strip = record.m_stripThumbnail;
    yes = record.m_thumbnail.present() || (record.m_previewIsJPEG && record.m_preview.present()) ||
          (strip.present() && strip.width != 0 && strip.height != 0);
    return 0;
}

NRFErr rawCanExtractPreview(NRFContext&, NRFImageInfoRec& record, bool& yes) {
    const NRFEmbeddedImageLoc& preview = record.m_preview;
    yes = preview.offset != 0 && preview.length != 0 && preview.width != 0 && preview.height != 0;
    return 0;
}

NRFErr rawCanPreview(NRFContext& context, NRFImageInfoRec& record, bool& yes) {
    rawCanExtractPreview(context, record, yes);
    yes = yes || context.renderRawWithoutPreview;
    return 0;
}

NRFErr closeImageDone(NRFContext&, NRFImageInfoRec&) {
    return 0;
}
NRFErr terminateDone(NRFContext&) {
    return 0;
}

template <std::size_t... I>
constexpr std::array<NRFIsFileOfTypeProc, sizeof...(I)> makeChecks(std::index_sequence<I...>) {
    return {&isFileOfTypeRow<static_cast<int>(I)>...};
}
constexpr auto kIsFileOfType = makeChecks(std::make_index_sequence<kNRFMaxFileTypes>{});

// The registration routine of one reader: fills the row and the entry table at `index`.
void registerReader(int index, NRFFileTypeInfo& row, NRFPluginFunctions& functions) {
    const RowDefinition& given = kRows[index];
    row = NRFFileTypeInfo{};
    row.fileType = codeOf(given.code);
    row.mediaKind = codeOf(given.kind);
    std::strncpy(row.description, given.description, sizeof row.description - 1);
    row.param1 = row.fileType == kNRFTypeProxy ? 64 : 100;
    row.param2 = -1;
    for (int i = 0; i < kNRFExtensionCount; ++i)
        std::strncpy(row.extensions[i], given.extensions[i], sizeof row.extensions[i] - 1);
    row.priority = given.priority;
    row.capabilities = given.capabilities;
    row.metadataStorage = given.storage;
    row.needsContentCheck = given.check;
    row.flag = given.flag;
    row.cacheFlag = given.cache;

    functions = NRFPluginFunctions{};
    functions.Initialize = &initializeEnables;
    functions.IsFileOfType = kIsFileOfType[static_cast<std::size_t>(index)];
    functions.GetImageInfo = row.fileType == kNRFTypeJPEG ? NRFJPEGReaderGetImageInfo()
                             : NRFTIFFReaderGetImageInfo(row.fileType)
                                 ? NRFTIFFReaderGetImageInfo(row.fileType)
                                 : NRFContainerReaderGetImageInfo(row.fileType);
    functions.CanUpdateIPTC = &answerYes;
    functions.CanUpdateXMP = &answerYes;
    functions.CloseImage = &closeImageDone;
    functions.Terminate = &terminateDone;
    if (given.capabilities & kNRFCapRawPreview) {
        functions.HaveThumbnail = &rawHaveThumbnail;
        functions.CanExtractPreview = &rawCanExtractPreview;
        functions.CanPreview = &rawCanPreview;
    }
    if (row.fileType == kNRFTypeJPEG) // a JPEG's own preview can be written out as a raw's can
        functions.CanExtractPreview = &rawCanExtractPreview;
    if (row.fileType == codeOf("CCR3"))
        functions.GetImageInfo = NRFCR3ReaderGetImageInfo();
    else if (row.fileType == codeOf("APSD"))
        functions.GetImageInfo = NRFPSDReaderGetImageInfo();
    else if (row.fileType == codeOf("WBMP"))
        functions.GetImageInfo = NRFBMPReaderGetImageInfo();
    else if (row.fileType == codeOf("PNGf"))
        functions.GetImageInfo = NRFPNGReaderGetImageInfo();
    else if (row.fileType == codeOf("GIFf"))
        functions.GetImageInfo = NRFGIFReaderGetImageInfo();
    else if (row.fileType == codeOf("EPSF"))
        functions.GetImageInfo = NRFEPSReaderGetImageInfo();
    NRFInstallThumbnailLoaders(row, functions);
    NRFInstallStillLoaders(row, functions);
    NRFInstallPreviewExtractor(row, functions);
    NRFInstallBitmapSaver(row, functions);
    NRFInstallIPTCBlocks(row, functions);
    NRFInstallXMPBlocks(row, functions);
    if (row.mediaKind == kNRFMediaStill && row.fileType != kNRFTypeProxy)
        functions.LoadICCProfile = &NRFICCLoadProfileEntry;
    if ((given.capabilities & kNRFCapThumbnail) && !functions.HaveThumbnail)
        functions.HaveThumbnail = &rawHaveThumbnail;
    if (row.fileType == kNRFTypeTIFF)
        functions.Initialize = &initializeTIFF;
    if (row.fileType == kNRFTypeHEIC || row.fileType == kNRFTypeHEIF)
        NRFInstallHEIFReader(row, functions);
    else if (row.mediaKind == kNRFMediaVideo)
        NRFInstallMovieReader(row, functions);
}

} // namespace

std::string NRFFileTypeString(NRFFileType type) {
    return {static_cast<char>(type >> 24), static_cast<char>(type >> 16), static_cast<char>(type >> 8),
            static_cast<char>(type)};
}

NRFErr NRFLoadPlugins() {
    NRFReadDecodeMemoryLimit();
    gFileTypeCount = 0;
    std::memset(static_cast<void*>(gFileTypes), 0, sizeof gFileTypes);
    std::memset(static_cast<void*>(gPlugins), 0, sizeof gPlugins);
    for (int index = 0; index < kNRFMaxFileTypes; ++index) {
        registerReader(index, gFileTypes[index], gPlugins[index]);
        gPlugins[index].runtimeState = 0;
        gPlugins[index].runtimeFlag = 0;
        if (const NRFErr err = gPlugins[index].Initialize(gContext, gFileTypes[index]); err != 0)
            return err;
        ++gFileTypeCount;
    }
    return 0;
}

void NRFTerminatePlugins() {
    for (int index = 0; index < gFileTypeCount; ++index)
        if (gPlugins[index].Terminate)
            gPlugins[index].Terminate(gContext);
}

NRFContext& NRFGetContext() {
    return gContext;
}
int NRFFileTypeCount() {
    return gFileTypeCount;
}

const NRFFileTypeInfo* NRFGetFileTypeInfo(int index) {
    return index >= 0 && index < gFileTypeCount ? &gFileTypes[index] : nullptr;
}

const NRFPluginFunctions* NRFGetPluginFunctions(int index) {
    return index >= 0 && index < gFileTypeCount ? &gPlugins[index] : nullptr;
}

NRFPluginFunctions* NRFPluginFunctionsForTesting(int index) {
    return index >= 0 && index < gFileTypeCount ? &gPlugins[index] : nullptr;
}

int NRFFindFileType(NRFFileType type) {
    for (int index = 0; index < gFileTypeCount; ++index)
        if (gFileTypes[index].fileType == type)
            return index;
    return -1;
}

bool NRFIsCanon1DTIFFRaw(lumo::File& file) {
    TIFFProbe tiff(file);
    if (!tiff.readHeader(42) || tiff.ifd0() < 16)
        return false;
    unsigned char mark[4];
    if (!readExact(file, 8, mark, sizeof mark))
        return false;
    const std::uint32_t le = mark[0] | (mark[1] << 8) | (mark[2] << 16) | (std::uint32_t{mark[3]} << 24);
    const std::uint32_t be = (std::uint32_t{mark[0]} << 24) | (mark[1] << 16) | (mark[2] << 8) | mark[3];
    if (le != 0xBAB0ACBB && be != 0xBAB0ACBB)
        return false;
    std::vector<TIFFProbe::Entry> ifd;
    if (!tiff.readIFD(tiff.ifd0(), 1, 30, ifd))
        return false;
    for (const std::uint16_t tag : {kTagImageWidth, kTagImageLength}) {
        std::uint32_t value = 0;
        if (const auto* e = TIFFProbe::find(ifd, tag);
            e && (!tiff.number(*e, value) || value < 120 || value > 288))
            return false;
    }
    if (const auto* e = TIFFProbe::find(ifd, kTagExifIFD); e && e->type != TIFFProbe::kLong)
        return false;
    const auto* make = TIFFProbe::find(ifd, kTagMake);
    const auto* model = TIFFProbe::find(ifd, kTagModel);
    std::string makeText, modelText;
    return make && model && tiff.ascii(*make, 255, makeText) && tiff.ascii(*model, 255, modelText) &&
           lumo::iequals(makeText, "Canon") &&
           (lumo::iequals(modelText, "Canon EOS-1D") || lumo::iequals(modelText, "Canon EOS-1DS"));
}

bool NRFIsPhaseOneTIFFRaw(lumo::File& file) {
    TIFFProbe tiff(file);
    std::vector<TIFFProbe::Entry> ifd;
    if (!tiff.readHeader(42) || tiff.ifd0() < 16 || !tiff.readIFD(tiff.ifd0(), 1, 30, ifd))
        return false;
    const auto* make = TIFFProbe::find(ifd, kTagMake);
    const auto* model = TIFFProbe::find(ifd, kTagModel);
    const auto* exif = TIFFProbe::find(ifd, kTagExifIFD);
    std::string makeText, modelText;
    if (!make || !model || !exif || exif->type != TIFFProbe::kLong || !tiff.ascii(*make, 255, makeText) ||
        !tiff.ascii(*model, 255, modelText) || !startsWithNoCase(makeText, "Phase One") ||
        !startsWithNoCase(modelText, "P"))
        return false;
    std::vector<TIFFProbe::Entry> exifIFD;
    if (!tiff.readIFD(tiff.longValue(*exif), 1, 30, exifIFD))
        return false;
    const auto* note = TIFFProbe::find(exifIFD, kTagMakerNote);
    return note && note->type == TIFFProbe::kUndefined;
}

bool NRFIsKodakDCSRaw(lumo::File& file) {
    // The professional Kodak bodies whose raw files carry a ".tif" extension.
    static constexpr std::string_view kModels[] = {
        "DCS315", "DCS330", "DCS420", "DCS460",     "DCS520",      "DCS560",      "DCS620",
        "DCS660", "DCS720", "DCS760", "DCS Pro 14", "DCS Pro SLR", "DCS Pro Back"};
    TIFFProbe tiff(file);
    std::vector<TIFFProbe::Entry> ifd;
    if (!tiff.readHeader(42) || tiff.ifd0() < 768 || !tiff.readIFD(tiff.ifd0(), 18, 50, ifd))
        return false;
    std::uint32_t subfile = 0;
    if (const auto* e = TIFFProbe::find(ifd, kTagNewSubfileType);
        e && (!tiff.number(*e, subfile) || subfile != 1))
        return false;
    const auto* model = TIFFProbe::find(ifd, kTagModel);
    std::string modelText;
    if (!model || !tiff.ascii(*model, 255, modelText) || modelText.size() < 5)
        return false;
    for (const std::string_view name : kModels)
        if (containsNoCase(modelText, name))
            return true;
    return false;
}

bool NRFIsPanasonicRaw(lumo::File& file) {
    TIFFProbe tiff(file);
    std::vector<TIFFProbe::Entry> ifd;
    return tiff.readHeader(85) && tiff.readIFD(tiff.ifd0(), 0, 0xFFFF, ifd);
}

bool NRFProxyAccepts(const std::string& path) {
    static constexpr std::string_view kWorkFiles[] = {".lumoarrangement.dat", ".LUMO_lock", "LUMO.lock",
                                                      ".lumoingest.dat"};
    const std::string_view name = lumo::baseName(path);
    for (const std::string_view workFile : kWorkFiles)
        if (lumo::iequals(name, workFile))
            return false;
    return true;
}
