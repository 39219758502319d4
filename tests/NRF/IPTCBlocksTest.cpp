// The IIM block in JPEG, TIFF and Photoshop files: written into copies of real files and read back by
// the engine and by exiftool, with the pixels and every other structure kept; split JPEG segments;
// failed writes leaving the file untouched; undo; and the readers over the whole corpus.

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFIPTCBlocks.h"
#include "NRFTestSupport.h"
#include "support/BmpPsdBuilder.h"
#include "support/FileIO.h"
#include "support/IIMBlockBuilder.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

namespace lumo::test {
namespace {

std::string dataset(int record, int number, const std::string& value) {
    return IIMBlockBuilder().add(record, number, value).bytes();
}

// A UTF-8 block as a captioning program writes it.
std::string sampleBlock(const std::string& caption) {
    return dataset(1, 90, "\x1B%G") + dataset(2, 0, std::string("\0\3", 2)) + dataset(2, 25, "alpha") +
           dataset(2, 25, "beta") + dataset(2, 80, "Ann Lee") + dataset(2, 120, caption);
}

std::set<std::string> exiftoolWarnings(const std::string& path) {
    std::set<std::string> lines;
    std::istringstream out(runProcess("exiftool", {"-validate", "-warning", "-a", "-s", path}).out);
    for (std::string line; std::getline(out, line);)
        if (line.rfind("Warning", 0) == 0)
            lines.insert(line);
    return lines;
}

class IPTCBlocksTest : public NRFEngineTest {
protected:
    NRFImageInfoRef open(const std::string& path) {
        NRFImageInfoRef record;
        EXPECT_EQ(NRFOpenImage(path.c_str(), 0, &record), kNRFErrNone) << path;
        if (record)
            EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << path;
        return record;
    }
    std::string copyOf(const std::string& original) {
        const std::string path = m_dir.file(std::filesystem::path(original).filename().string());
        writeWholeFile(path, readWholeFile(original));
        return path;
    }
    static std::vector<std::uint8_t> pixels(NRFImageInfoRec& record, NRFErr& err) {
        NRFBitmapBase bitmap;
        err = NRFLoadFileAsBitmap(&record, &bitmap, 0);
        return err == kNRFErrNone ? samplesOf(bitmap) : std::vector<std::uint8_t>{};
    }
};

TEST_F(IPTCBlocksTest, RealFilesTakeANewBlockThatExiftoolReadsAndKeepTheirPixels) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    if (runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const std::string caption = "Gr\xC3\xBC\xC3\x9F"
                                "e aus K\xC3\xB6ln\r\nzweite Zeile";
    for (const char* name : {"exiv2/iptc-psAPP13-wIPTCmid.jpg", "exiftool/IPTC.jpg", "exiv2/Reagan.jpg",
                             "exiv2/iptc-noAPP13.jpg", "exiv2/iptc-psAPP13s-wIPTCs-psAPP13s-wIPTCs.jpg",
                             "exiv2/Reagan.tiff", "exiv2/test.tiff", "exiftool/ExifTool.tif",
                             "exiftool/Photoshop.psd", "exiv2/20110626_213900.psd"}) {
        SCOPED_TRACE(name);
        const std::string original = corpus + "/" + name;
        const std::string path = copyOf(original);
        const std::set<std::string> warningsBefore = exiftoolWarnings(path);
        NRFImageInfoRef record = open(path);
        ASSERT_TRUE(record);
        std::string oldBlock;
        ASSERT_EQ(NRFLoadIPTC(record.get(), &oldBlock), kNRFErrNone);
        NRFErr before = 0;
        const std::vector<std::uint8_t> pixelsBefore = pixels(*record, before);

        const std::string block = sampleBlock(caption);
        ASSERT_EQ(NRFSaveIPTC(record.get(), &block), kNRFErrNone);
        std::string stored;
        ASSERT_EQ(NRFLoadIPTC(record.get(), &stored), kNRFErrNone);
        EXPECT_EQ(stored.substr(0, block.size()), block);
        EXPECT_EQ(stored.find_first_not_of('\0', block.size()), std::string::npos); // TIFF: LONG padding
        bool have = false;
        EXPECT_EQ(NRFHaveIPTC(record.get(), true, &have), kNRFErrNone);
        EXPECT_TRUE(have);

        NRFErr after = 0;
        EXPECT_EQ(pixels(*record, after), pixelsBefore);
        EXPECT_EQ(after, before);
        const auto json = exiftoolJson({"-IPTC:all", path});
        ASSERT_TRUE(json && json->size() == 1);
        const auto& tags = (*json)[0];
        EXPECT_EQ(tags.value("Caption-Abstract", ""), caption);
        EXPECT_EQ(tags.value("By-line", ""), "Ann Lee");
        EXPECT_EQ(tags["Keywords"], nlohmann::json::array({"alpha", "beta"}));
        for (const std::string& warning : exiftoolWarnings(path))
            EXPECT_TRUE(warningsBefore.count(warning)) << warning;

        // Undo puts the old block back; a TIFF is its old self byte for byte.
        ASSERT_EQ(NRFUndoSaveIPTC(record.get()), kNRFErrNone);
        std::string undone;
        ASSERT_EQ(NRFLoadIPTC(record.get(), &undone), kNRFErrNone);
        EXPECT_EQ(undone, oldBlock);
        if (record->m_fileType == kNRFTypeTIFF)
            EXPECT_EQ(readWholeFile(path), readWholeFile(original));
        EXPECT_EQ(NRFUndoSaveIPTC(record.get()), kNRFErrParam); // nothing more to undo
    }
}

// A JPEG built with a resolution resource, an IPTC block and its digest in one Photoshop segment.
std::string jpegWithPhotoshop(const std::string& block) {
    JpegBuilder jpeg(16, 8);
    jpeg.addExif(std::string("MM\0\x2A\0\0\0\x08\0\0\0\0\0\0", 14));
    jpeg.addPhotoshop(psdResource(0x03ED, std::string(16, '\x01')) + psdResource(0x0404, block) +
                      psdResource(0x0425, std::string(16, '\x02')));
    return jpeg.build();
}

TEST_F(IPTCBlocksTest, JPEGBlocksSplitAcrossSegmentsAndOtherResourcesStay) {
    const std::string path = m_dir.file("split.jpg");
    const std::string original = jpegWithPhotoshop(sampleBlock("first"));
    writeWholeFile(path, original);
    NRFImageInfoRef record = open(path);
    ASSERT_TRUE(record);
    const std::size_t scan = original.find("\xFF\xDA");

    std::string big;
    std::size_t keywords = 0;
    for (; big.size() < 150000; ++keywords)
        big += dataset(2, 25, "keyword number " + std::to_string(keywords) + std::string(200, 'k'));
    ASSERT_EQ(NRFSaveIPTC(record.get(), &big), kNRFErrNone);
    const std::string bytes = readWholeFile(path);
    EXPECT_EQ(record->m_photoshopCount, 3u);
    EXPECT_EQ(bytes.substr(bytes.find("\xFF\xDA")), original.substr(scan)); // the scan untouched
    EXPECT_NE(bytes.find(original.substr(2, 24)), std::string::npos);       // the EXIF segment kept
    std::string read;
    ASSERT_EQ(NRFLoadIPTC(record.get(), &read), kNRFErrNone);
    EXPECT_EQ(read, big);
    {
        File file;
        ASSERT_EQ(file.open(path, File::Mode::Read), 0);
        NRFFileByteSource source(file);
        EXPECT_TRUE(NRFIPTCReadJPEGBlock(source, read));
        EXPECT_EQ(read, big);
    }
    EXPECT_NE(bytes.find(psdResource(0x03ED, std::string(16, '\x01'))), std::string::npos);
    EXPECT_EQ(bytes.find(std::string("8BIM\x04\x25", 6)), std::string::npos); // the stale digest is gone
    if (const auto json = exiftoolJson({"-IPTC:Keywords", path}))
        EXPECT_EQ((*json)[0]["Keywords"].size(), keywords);

    // Back to one segment, then no block at all: the segment keeps the other resource.
    const std::string small = sampleBlock("small");
    ASSERT_EQ(NRFSaveIPTC(record.get(), &small), kNRFErrNone);
    EXPECT_EQ(record->m_photoshopCount, 1u);
    const std::string none;
    ASSERT_EQ(NRFSaveIPTC(record.get(), &none), kNRFErrNone);
    ASSERT_EQ(NRFLoadIPTC(record.get(), &read), kNRFErrNone);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(record->m_photoshopCount, 1u);
    // Undo brings the small block back.
    ASSERT_EQ(NRFUndoSaveIPTC(record.get()), kNRFErrNone);
    ASSERT_EQ(NRFLoadIPTC(record.get(), &read), kNRFErrNone);
    EXPECT_EQ(read, small);

    // A stand-alone .IPT file is the block itself.
    const std::string ipt = m_dir.file("caption.IPT");
    ASSERT_EQ(NRFIPTCWriteIPTFile(ipt, small), kNRFErrNone);
    ASSERT_EQ(NRFIPTCReadIPTFile(ipt, read), kNRFErrNone);
    EXPECT_EQ(read, small);
}

TEST_F(IPTCBlocksTest, FailedOrUnsafeWritesLeaveTheFileUntouched) {
    // Damaged resources, a write that fails half way, a TIFF whose undo data no longer fits it.
    const std::string block = sampleBlock("new");
    const std::string jpegPath = m_dir.file("damaged.jpg");
    JpegBuilder damaged(8, 8);
    damaged.addPhotoshop(psdResource(0x03ED, "abcd", "", 4000)); // its size runs past the segment
    writeWholeFile(jpegPath, damaged.build());
    const std::string damagedBytes = readWholeFile(jpegPath);
    NRFImageInfoRef record = open(jpegPath);
    ASSERT_TRUE(record);
    EXPECT_EQ(NRFSaveIPTC(record.get(), &block), kNRFErrBadFormat);
    EXPECT_EQ(readWholeFile(jpegPath), damagedBytes);

    const std::string path = m_dir.file("full.jpg");
    writeWholeFile(path, jpegWithPhotoshop(sampleBlock("old")));
    const std::string before = readWholeFile(path);
    record = open(path);
    ASSERT_TRUE(record);
    injectFileFault({FileFault::Op::Write, ENOSPC, "full.jpg", 100});
    EXPECT_EQ(NRFSaveIPTC(record.get(), &block), 5u);
    clearFileFaults();
    EXPECT_EQ(readWholeFile(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.path()), {}), 2); // no temporary left

    const std::string corpus = corpusFolder();
    if (corpus.empty())
        return;
    const std::string tiff = copyOf(corpus + "/exiv2/test.tiff");
    const std::string tiffBefore = readWholeFile(tiff);
    record = open(tiff);
    ASSERT_TRUE(record);
    ASSERT_EQ(NRFSaveIPTC(record.get(), &block), kNRFErrNone);
    const std::string saved = readWholeFile(tiff);
    const NRFIPTCUndoData good = record->m_iptcUndo;
    struct Case {
        std::uint32_t ifdOffset;
        std::uint64_t fileSize;
        const char* message;
    };
    const std::uint32_t ifdEntryPos = record->m_iptcIFDEntryPos; // inside the new IFD0, past the old end
    for (const Case& c :
         {Case{static_cast<std::uint32_t>(good.oldFileSize), good.oldFileSize,
               "Undo data: old IFDOffset is out of range for"},
          Case{good.oldIFDOffset, saved.size() + 1, "Undo data: old file size is out of range for"},
          Case{static_cast<std::uint32_t>(good.oldFileSize - 2), good.oldFileSize,
               "Undo data: old IFD table is not an IFD table for"},
          // test.tiff: IFD0 (23 entries) at 8, its values after it
          Case{good.oldIFDOffset, 300, "Undo data: old IFD table has bad offsets for"}}) {
        SCOPED_TRACE(c.message);
        LogWatch log;
        record->m_iptcUndo = good;
        record->m_iptcUndo.oldIFDOffset = c.ifdOffset;
        record->m_iptcUndo.oldFileSize = c.fileSize;
        EXPECT_EQ(NRFUndoSaveIPTC(record.get()), kNRFErrBadFormat);
        EXPECT_TRUE(log.has(c.message));
        EXPECT_EQ(readWholeFile(tiff), saved);
    }
    EXPECT_GT(ifdEntryPos, good.oldFileSize);
    record->m_iptcUndo = good;
    ASSERT_EQ(NRFUndoSaveIPTC(record.get()), kNRFErrNone);
    EXPECT_EQ(readWholeFile(tiff), tiffBefore);
}

TEST_F(IPTCBlocksTest, CorpusBlocksReadTheSameThroughRecordsAndStructureWalks) {
    // Every corpus file goes through the readers; where the engine recorded a block, the structure
    // walk finds the same bytes.
    const std::vector<std::string> files =
        corpusFiles({".jpg", ".tif", ".tiff", ".psd", ".dng", ".nef", ".cr2"});
    int compared = 0;
    for (const auto& [path, record] : readCopies(files)) {
        SCOPED_TRACE(path);
        File file;
        ASSERT_EQ(file.open(path, File::Mode::Read), 0);
        NRFFileByteSource source(file);
        std::string walked, loaded;
        const bool walkedOK = record->m_fileType == kNRFTypeJPEG ? NRFIPTCReadJPEGBlock(source, walked)
                              : record->m_fileType == NRFMakeFileType("APSD")
                                  ? NRFIPTCReadPSDBlock(source, walked)
                                  : NRFIPTCReadTIFFBlock(source, walked);
        // A JPEG with several Photoshop segments: the reader chose one of their blocks.
        if (NRFLoadIPTC(record.get(), &loaded) == kNRFErrNone && walkedOK && !loaded.empty() &&
            !walked.empty() && record->m_photoshopCount <= 1) {
            EXPECT_EQ(loaded, walked);
            ++compared;
        }
    }
    if (!files.empty())
        EXPECT_GT(compared, 10);
}

} // namespace
} // namespace lumo::test
