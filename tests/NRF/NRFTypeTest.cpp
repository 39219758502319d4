// The engine's type table, type detection, attached files and the answers given from the table alone.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoPaths.h"
#include "db/Preferences.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

class NRFType : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NRFInit(""), kNRFErrNone); }
    void TearDown() override { NRFTerminate(); }

    // The type of a file holding `bytes` (or of a path that is not written when `bytes` is null).
    std::string typeOf(const std::string& name, const char* bytes, bool proxy, NRFErr* err = nullptr) {
        const std::string path = m_dir.file(name);
        if (bytes)
            writeWholeFile(path, bytes);
        NRFFileType type = 0;
        const NRFErr result = NRFGetType(path.c_str(), &type, proxy);
        if (err)
            *err = result;
        return result == kNRFErrNone ? NRFFileTypeString(type) : "????";
    }
    std::string typeOfBytes(const std::string& name, const std::string& bytes) {
        writeWholeFile(m_dir.file(name), bytes);
        return typeOf(name, nullptr, false);
    }

    TempDir m_dir;
};

// A little-endian TIFF: header, an optional word at offset 8, IFD0 at `ifd0`, then the values.
class TiffBuilder {
public:
    TiffBuilder(std::uint32_t ifd0, std::uint32_t wordAt8 = 0) : m_ifd0(ifd0) {
        m_bytes = std::string("II*\0", 4);
        put32(m_bytes, ifd0);
        put32(m_bytes, wordAt8);
    }
    void ascii(std::uint16_t tag, const std::string& text) { m_entries.push_back({tag, 2, text + '\0', 0}); }
    void number(std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
        m_entries.push_back({tag, type, {}, value});
    }
    void undefined(std::uint16_t tag, const std::string& data) { m_entries.push_back({tag, 7, data, 0}); }
    // A second IFD linked from tag 34665 of IFD0.
    void exifIFD(const TiffBuilder& exif) { m_exif = exif.m_entries; }
    TiffBuilder& withMagic(char magic) {
        m_bytes[2] = magic;
        return *this;
    }

    std::string bytes() const {
        std::string out = m_bytes;
        out.resize(m_ifd0, '\0');
        const std::uint32_t exifAt = m_ifd0 + ifdSize(m_entries.size() + (m_exif.empty() ? 0 : 1));
        const std::uint32_t valuesAt = exifAt + (m_exif.empty() ? 0 : ifdSize(m_exif.size()));
        std::string values;
        auto entries = m_entries;
        if (!m_exif.empty())
            entries.push_back({34665, 4, {}, exifAt});
        out += ifd(entries, valuesAt, values);
        if (!m_exif.empty())
            out += ifd(m_exif, valuesAt + static_cast<std::uint32_t>(values.size()), values);
        return out + values;
    }

private:
    struct Entry {
        std::uint16_t tag, type;
        std::string data;
        std::uint32_t value;
    };
    static std::uint32_t ifdSize(std::size_t n) { return static_cast<std::uint32_t>(2 + 12 * n + 4); }
    static void put16(std::string& s, std::uint16_t v) { s += {char(v & 0xFF), char(v >> 8)}; }
    static void put32(std::string& s, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s += char((v >> (8 * i)) & 0xFF);
    }
    static std::string ifd(std::vector<Entry> entries, std::uint32_t valuesAt, std::string& values) {
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
        std::string out;
        put16(out, static_cast<std::uint16_t>(entries.size()));
        for (const Entry& e : entries) {
            put16(out, e.tag);
            put16(out, e.type);
            put32(out, e.data.empty() ? 1 : static_cast<std::uint32_t>(e.data.size()));
            if (e.data.empty()) {
                put32(out, e.value);
            } else if (e.data.size() <= 4) {
                out += e.data + std::string(4 - e.data.size(), '\0');
            } else {
                put32(out, valuesAt + static_cast<std::uint32_t>(values.size()));
                values += e.data;
            }
        }
        put32(out, 0);
        return out;
    }

    std::uint32_t m_ifd0;
    std::string m_bytes;
    std::vector<Entry> m_entries, m_exif;
};

TiffBuilder canon1D(const std::string& model, std::uint32_t width) {
    TiffBuilder tiff(16, 0xBAB0ACBB);
    tiff.ascii(271, "Canon");
    tiff.ascii(272, model);
    tiff.number(256, 3, width);
    tiff.number(257, 4, 180);
    return tiff;
}

} // namespace

TEST_F(NRFType, TheTableHoldsEveryRowInRegistrationOrder) {
    const char* codes[] = {"JPEG", "TIFF", "APSD", "WBMP", "GIFf", "PNGf", "EPSF", "HEIC", "HEIF", "MooV",
                           "WAVI", "MPEG", "MPG4", "NNEF", "NNRW", "C1DT", "P1RT", "CCRW", "CCR2", "CCR3",
                           "FRAF", "OORF", "EERF", "LMOS", "PRAW", "PRW2", "PRWL", "PPEF", "SSR2", "SARW",
                           "SSRF", "SSTI", "SSRW", "P1IQ", "FX3F", "KDCS", "ADNG", "PRXY"};
    ASSERT_EQ(NRFFileTypeCount(), 38);
    for (int i = 0; i < 38; ++i) {
        const NRFFileTypeInfo& row = *NRFGetFileTypeInfo(i);
        EXPECT_EQ(NRFFileTypeString(row.fileType), codes[i]);
        EXPECT_EQ(row.enabled, 1) << codes[i];
        EXPECT_EQ(row.param1, i == 37 ? 64 : 100);
        EXPECT_EQ(row.param2, -1);
    }
    EXPECT_EQ(kNRFTypeJPEG, 0x4A504547u);
    const NRFFileTypeInfo& jpeg = *NRFGetFileTypeInfo(0);
    EXPECT_STREQ(jpeg.extensions[1], ".jpe");
    EXPECT_STREQ(jpeg.extensions[2], ".jpeg");
    EXPECT_EQ(jpeg.capabilities, 0x657Fu);
    const NRFFileTypeInfo& kodak = *NRFGetFileTypeInfo(35);
    EXPECT_EQ(kodak.priority, 1u);
    EXPECT_EQ(kodak.metadataStorage, 4);
    EXPECT_EQ(kodak.needsContentCheck, 1);
    EXPECT_EQ(NRFGetFileTypeInfo(7)->cacheFlag, 1); // HEIC

    std::string text;
    EXPECT_EQ(NRFGetDescription(NRFMakeFileType("PRAW"), &text), kNRFErrNone);
    EXPECT_EQ(text, "Panasonic/Leica RAW");
    NRFGetMediaType(NRFMakeFileType("MooV"), &text);
    EXPECT_EQ(text, "video");
    NRFGetMediaType(kNRFTypeProxy, &text);
    EXPECT_EQ(text, "unknown");
    EXPECT_EQ(NRFGetDescription(NRFMakeFileType("ABCD"), &text), kNRFErrParam);
    bool yes = false;
    EXPECT_EQ(NRFUsesRawSidecar(NRFMakeFileType("NNEF"), &yes), kNRFErrNone);
    EXPECT_TRUE(yes);
    NRFUsesMovieSidecars(kNRFTypeJPEG, &yes);
    EXPECT_FALSE(yes);
}

TEST_F(NRFType, ExtensionsPickTheRowAndOnlyTheProxyTakesTheRest) {
    EXPECT_EQ(typeOf("photo.JPG", "x", false), "JPEG");
    EXPECT_EQ(typeOf("photo.jpeg", "x", false), "JPEG");
    EXPECT_EQ(typeOf("clip.MPG4", "x", false), "MPG4");
    EXPECT_EQ(typeOf("shot.arq", "x", false), "SARW");
    NRFErr err = 0;
    EXPECT_EQ(typeOf("photo.jp", "x", false, &err), "????");
    EXPECT_EQ(err, kNRFErrUnknownType);
    EXPECT_EQ(typeOf("photo.jp", "x", true), "PRXY");
    EXPECT_EQ(typeOf("archive.tar.gz", "x", false), "????");
    EXPECT_EQ(typeOf("archive.tar.gz", "x", true), "PRXY");
    EXPECT_EQ(typeOf(".lumoingest.dat", "x", true, &err), "????");
    EXPECT_EQ(err, kNRFErrUnknownType);
    EXPECT_EQ(typeOf(".LUMOARRANGEMENT.DAT", "x", true), "????");
    EXPECT_EQ(typeOf("notes.dat", "x", true), "PRXY");

    NRFFileType type = 0;
    EXPECT_EQ(NRFGetType(nullptr, &type, true), kNRFErrParam);
    EXPECT_EQ(NRFGetErrorText(), "Fatal error while getting file type");
    bool yes = false;
    NRFCouldRepresentWithProxy("/x/LUMO.lock", &yes);
    EXPECT_FALSE(yes);
    NRFCouldRepresentWithProxy("/x/notes.txt", &yes);
    EXPECT_TRUE(yes);
    for (const char* known : {"a.XMP", "a.wav", "a.ori", "b.Heic", "c.tiff", "d.mts"}) {
        NRFIsAKnownFileType(known, &yes);
        EXPECT_TRUE(yes) << known;
    }
    for (const char* unknown : {"a.jp", "a.txt", "archive.tar.gz", "xmp"}) {
        NRFIsAKnownFileType(unknown, &yes);
        EXPECT_FALSE(yes) << unknown;
    }
}

TEST_F(NRFType, ContentChecksTakeTiffStructuredRawsBeforeTheTiffRow) {
    EXPECT_EQ(typeOfBytes("a.tif", canon1D("Canon EOS-1D", 200).bytes()), "C1DT");
    EXPECT_EQ(typeOfBytes("b.tif", canon1D("canon eos-1ds", 288).bytes()), "C1DT");
    EXPECT_EQ(typeOfBytes("c.tif", canon1D("Canon EOS 5D", 200).bytes()), "TIFF");
    EXPECT_EQ(typeOfBytes("d.tif", canon1D("Canon EOS-1D", 1000).bytes()), "TIFF");
    TiffBuilder noMark(16); // the word at offset 8 is missing
    noMark.ascii(271, "Canon");
    noMark.ascii(272, "Canon EOS-1D");
    EXPECT_EQ(typeOfBytes("e.tif", noMark.bytes()), "TIFF");
    const std::string whole = canon1D("Canon EOS-1D", 200).bytes();
    EXPECT_EQ(typeOfBytes("f.tif", whole.substr(0, whole.size() - 8)), "TIFF"); // Model cut off

    TiffBuilder phaseOne(16), exif(0);
    phaseOne.ascii(271, "Phase One A/S");
    phaseOne.ascii(272, "P45+");
    exif.undefined(37500, "PhaseOneNote");
    phaseOne.exifIFD(exif);
    EXPECT_EQ(typeOfBytes("g.tiff", phaseOne.bytes()), "P1RT");
    EXPECT_EQ(typeOfBytes("g.tif", phaseOne.bytes()), "P1RT");

    TiffBuilder kodak(768);
    kodak.number(254, 4, 1);
    kodak.ascii(271, "Eastman Kodak Company");
    kodak.ascii(272, "DCS Pro 14N");
    for (std::uint16_t tag = 300; tag < 315; ++tag) // 18 entries in all
        kodak.number(tag, 3, 1);
    EXPECT_EQ(typeOfBytes("h.tif", kodak.bytes()), "KDCS");
    EXPECT_EQ(typeOfBytes("h.TIF", kodak.bytes()), "KDCS");

    TiffBuilder panasonic(8);
    panasonic.number(256, 3, 100);
    EXPECT_EQ(typeOfBytes("p.raw", panasonic.withMagic('U').bytes()), "PRAW");
    EXPECT_EQ(typeOfBytes("q.raw", TiffBuilder(8).bytes()), "????"); // a plain TIFF header
    EXPECT_EQ(typeOfBytes("r.raw", "IIU"), "????");
    EXPECT_EQ(typeOfBytes("any.iiq", "not a raw"), "P1IQ"); // the shared check takes every file
}

TEST_F(NRFType, AttachedFilesFollowTheTypeAndTheTwoNamingRules) {
    const auto touch = [&](const char* name) { writeWholeFile(m_dir.file(name), "x"); };
    const auto attached = [&](const char* name, const char* code, int* sounds = nullptr) {
        std::vector<std::string> files;
        int count = 0;
        EXPECT_EQ(NRFFindAttachedFiles(m_dir.file(name), NRFMakeFileType(code), &files, &count), kNRFErrNone);
        for (std::string& f : files)
            f = f.substr(m_dir.path().size() + 1);
        if (sounds)
            *sounds = count;
        return files;
    };
    for (const char* name :
         {"DSC_0001.NEF", "DSC_0001.xmp", "DSC_0001.NEF.NKS", "DSC_0001.NKS", "DSC_0001.THM",
          "DSC_0001_ACR.xmp", "DSC_0001.WAV", "SND_0001.wav", "DSC_0001.XIP", "DSC_0001.dop", "DSC_0001.on1"})
        touch(name);
    int sounds = 0;
    EXPECT_EQ(
        attached("DSC_0001.NEF", "NNEF", &sounds),
        (std::vector<std::string>{"DSC_0001.xmp", "DSC_0001.THM", "DSC_0001.NEF.NKS", "DSC_0001_ACR.xmp",
                                  "DSC_0001.XIP", "DSC_0001.WAV", "SND_0001.wav", "DSC_0001.on1"}));
    EXPECT_EQ(sounds, 2);

    for (const char* name : {"IMG_1.jpg", "IMG_1.XIP", "IMG_1.AAE", "IMG_1.jpg.DOP", "IMG_1.XMP"})
        touch(name);
    EXPECT_EQ(attached("IMG_1.jpg", "JPEG"), (std::vector<std::string>{"IMG_1.jpg.DOP", "IMG_1.AAE"}));
    for (const char* name : {"clip.MOV", "clip.thm", "clip.XMP", "clip.AAE"})
        touch(name);
    EXPECT_EQ(attached("clip.MOV", "MooV"), (std::vector<std::string>{"clip.thm", "clip.AAE", "clip.XMP"}));
    for (const char* name : {"pic.dng", "pic.XMP"})
        touch(name);
    EXPECT_TRUE(attached("pic.dng", "ADNG").empty()); // DNG embeds its metadata

    // The user's switches, read from the preferences when they are open.
    LumoPaths::initialise(ResolvedLocations{m_dir.file("settings"), lumo::test::testRunFolder() + "/cache"});
    ASSERT_TRUE(CPreferences::GetPreferences());
    CPreferences::instance()->setBool("AttachedFiles/AAE", false);
    CPreferences::instance()->setBool("AttachedFiles/SND", false);
    EXPECT_EQ(attached("IMG_1.jpg", "JPEG"), (std::vector<std::string>{"IMG_1.jpg.DOP"}));
    EXPECT_EQ(attached("DSC_0001.NEF", "NNEF", &sounds).size(), 6u);
    EXPECT_EQ(sounds, 0);
    CPreferences::ClosePreferences();
    LumoPaths::reset();
}

TEST_F(NRFType, CapabilityQuestionsAreAnsweredWithoutTheReaderWhereTheTableDecides) {
    static int readerCalls = 0;
    const auto countingQuery = [](NRFContext&, NRFImageInfoRec&, bool& yes) -> NRFErr {
        ++readerCalls;
        yes = true;
        return 0;
    };
    for (int i = 0; i < NRFFileTypeCount(); ++i) {
        NRFPluginFunctions& f = *NRFPluginFunctionsForTesting(i);
        f.CanUpdateIPTC = f.CanUpdateXMP = f.HaveIPTC = f.CanPreview = f.CanRender = f.HaveThumbnail =
            countingQuery;
    }
    const auto ask = [](NRFErr (*query)(NRFImageInfoRec*, bool*), const char* code) {
        NRFLocalImageInfoRec record("/nowhere/x", NRFMakeFileType(code));
        bool yes = false;
        EXPECT_EQ(query(&record, &yes), kNRFErrNone) << code;
        return yes;
    };
    EXPECT_TRUE(ask(NRFCanUpdateIPTC, "NNEF"));  // sidecar
    EXPECT_TRUE(ask(NRFCanUpdateXMP, "MooV"));   // movie sidecar
    EXPECT_FALSE(ask(NRFCanUpdateIPTC, "PRXY")); // the proxy never
    EXPECT_FALSE(ask(NRFCanUpdateIPTC, "EPSF")); // no IPTC
    EXPECT_TRUE(ask(NRFCanPreview, "JPEG"));     // always previewable
    EXPECT_TRUE(ask(NRFCanRender, "WBMP"));      // always renderable
    EXPECT_FALSE(ask(NRFCanRender, "EPSF"));     // never renderable
    EXPECT_EQ(readerCalls, 0);
    EXPECT_TRUE(ask(NRFCanUpdateIPTC, "JPEG")); // embedded: the reader decides
    EXPECT_TRUE(ask(NRFCanRender, "NNEF"));
    EXPECT_TRUE(ask(NRFCanPreview, "NNEF")); // raw: the reader's CanPreview
    EXPECT_EQ(readerCalls, 3);

    NRFLocalImageInfoRec record("/nowhere/x.jpg", kNRFTypeJPEG);
    record.m_hasXmpSidecar = true;
    bool yes = false;
    EXPECT_EQ(NRFHaveIPTC(&record, false, &yes), kNRFErrNone);
    EXPECT_TRUE(yes);
    EXPECT_EQ(readerCalls, 3);
    NRFHaveIPTC(&record, true, &yes); // only what is inside the file
    EXPECT_EQ(readerCalls, 4);

    EXPECT_EQ(NRFCanUpdateIPTC(nullptr, &yes), kNRFErrParam);
    EXPECT_EQ(NRFCanUpdateIPTC(&record, nullptr), kNRFErrParam);
    NRFImageInfoRec remote("/remote/x.jpg", kNRFTypeJPEG);
    EXPECT_EQ(NRFCanUpdateIPTC(&remote, &yes), kNRFErrNotLocal);
    NRFLocalImageInfoRec unknown("/x", NRFMakeFileType("ABCD"));
    EXPECT_EQ(NRFCanUpdateIPTC(&unknown, &yes), kNRFErrParam);

    NRFPluginFunctionsForTesting(0)->CanUpdateIPTC = [](NRFContext&, NRFImageInfoRec&, bool&) -> NRFErr {
        throw std::runtime_error("reader failed");
    };
    EXPECT_EQ(NRFCanUpdateIPTC(&record, &yes), kNRFErrException);
}

TEST_F(NRFType, ColourClassLabelsKeepOnlyClassesOneToEight) {
    NRFSetColorClassLabel(1, "Winner");
    NRFSetColorClassLabel(8, "Eighth");
    NRFSetColorClassLabel(0, "none");
    NRFSetColorClassLabel(9, "none");
    EXPECT_EQ(NRFGetColorClassLabel(1), "Winner");
    EXPECT_EQ(NRFGetColorClassLabel(8), "Eighth");
    EXPECT_EQ(NRFGetColorClassLabel(0), "");
    EXPECT_EQ(NRFGetColorClassLabel(9), "");
}
