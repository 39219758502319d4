// XMP packets in JPEG (with its extension segments), TIFF, DNG, Photoshop, PNG, GIF and HEIF files:
// written into copies of real files and built ones, read back by the engine and by exiftool, with the
// pixels and every other structure kept; IIM and XMP in one rewrite; the batch commit; sidecars; and a
// write killed before its rename.

#include "NRF/NRF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImagePrefs.h"
#include "NRF/NRFXMPBlocks.h"
#include "NRFTestSupport.h"
#include "support/FileIO.h"
#include "support/FolderListing.h"
#include "support/IIMBlockBuilder.h"
#include "support/JpegBuilder.h"
#include "support/PathDigest.h"
#include "support/PngGifBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

namespace lumo::test {
namespace {

std::string xmpPacket(const std::string& body, const std::string& attributes = "") {
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:xmpNote=\"http://ns.adobe.com/xmp/note/\"" +
           attributes + ">" + body + "</rdf:Description></rdf:RDF></x:xmpmeta>\n<?xpacket end=\"w\"?>";
}

std::string captionPacket(const std::string& caption) {
    return xmpPacket("<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">" + caption +
                     "</rdf:li></rdf:Alt></dc:description>");
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A main packet and its extension as a writer splits them (the GUID is the extension's MD5).
NRFXMPPackets splitPackets(const std::string& title, const std::string& longCaption) {
    NRFXMPPackets p;
    p.extended = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                 "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
                 "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:description><rdf:Alt><rdf:li "
                 "xml:lang=\"x-default\">" +
                 longCaption + "</rdf:li></rdf:Alt></dc:description></rdf:Description></rdf:RDF></x:xmpmeta>";
    p.extendedGUID = upper(pathDigest(p.extended));
    p.main = xmpPacket("<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">" + title +
                           "</rdf:li></rdf:Alt></dc:title>",
                       " xmpNote:HasExtendedXMP=\"" + p.extendedGUID + "\"");
    return p;
}

std::string withoutPadding(const std::string& packet) {
    const std::size_t trailer = packet.rfind("\n<?xpacket end");
    const std::size_t body = packet.find_last_not_of(" \n", trailer);
    return trailer == std::string::npos ? packet : packet.substr(0, body + 1) + packet.substr(trailer);
}

std::set<std::string> exiftoolWarnings(const std::string& path) {
    std::set<std::string> lines;
    std::istringstream out(runProcess("exiftool", {"-validate", "-warning", "-a", "-s", path}).out);
    for (std::string line; std::getline(out, line);)
        if (line.rfind("Warning", 0) == 0)
            lines.insert(line);
    return lines;
}

// Every tag exiftool reads outside the XMP and the file system's own.
nlohmann::json tagsBesidesXMP(const std::string& path) {
    auto json = exiftoolJson({"-G1", "-a", "-s", "-n", path});
    if (!json || json->size() != 1)
        return {};
    nlohmann::json kept = nlohmann::json::object();
    for (const auto& [key, value] : (*json)[0].items())
        if (key.rfind("XMP", 0) != 0 && key.rfind("System:", 0) != 0 && key.rfind("File:", 0) != 0 &&
            key.rfind("ExifTool:", 0) != 0 && key.rfind("Composite:", 0) != 0 && key != "SourceFile")
            kept[key] = value;
    return kept;
}

std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

class XMPBlocksTest : public NRFEngineTest {
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
    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = m_dir.file(name);
        writeWholeFile(path, bytes);
        return path;
    }
    static std::vector<std::uint8_t> pixels(NRFImageInfoRec& record, NRFErr& err) {
        NRFBitmapBase bitmap;
        err = NRFLoadFileAsBitmap(&record, &bitmap, 0);
        return err == kNRFErrNone ? samplesOf(bitmap) : std::vector<std::uint8_t>{};
    }
    static NRFXMPPackets load(NRFImageInfoRec& record) {
        NRFXMPPackets packets;
        EXPECT_EQ(NRFLoadXMP(&record, &packets), kNRFErrNone);
        return packets;
    }
    static NRFErr save(NRFImageInfoRec& record, const NRFXMPPackets* xmp, const std::string* iim = nullptr) {
        NRFMetadataWrite write;
        write.xmp = xmp;
        write.iim = iim;
        return NRFSaveMetadataBlocks(&record, write);
    }
};

TEST_F(XMPBlocksTest, CorpusFilesOfEveryContainerTakeANewPacketAndKeepTheRest) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    if (runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    // A HEIF whose data lies in several "mdat" boxes is refused, and left as it was.
    const std::set<std::string> refused = {"exiv2/heic.heic", "exiftool/QuickTime.heic"};
    for (const char* name :
         {"exiv2/Reagan.jpg", "exiftool/XMP.jpg", "exiv2/Reagan.tiff", "exiftool/DNG.dng",
          "exiftool/Photoshop.psd", "exiftool/PNG.png", "exiv2/ReaganSmallPng.png", "exiftool/GIF.gif",
          "exiv2/heic.heic", "exiftool/QuickTime.heic", "exiv2/Stonehenge.heic"}) {
        SCOPED_TRACE(name);
        const std::string path = copyOf(corpus + "/" + name);
        NRFXMPPackets packets;
        packets.main = captionPacket("Gr\xC3\xBC\xC3\x9F"
                                     "e aus K\xC3\xB6ln");
        if (refused.count(name)) {
            NRFImageInfoRef record = open(path);
            ASSERT_TRUE(record);
            EXPECT_EQ(save(*record, &packets), kNRFErrBadFormat);
            EXPECT_EQ(NRFGetErrorText(), "Cannot update XMP with multiple 'mdat' in file '" + path + "'.");
            EXPECT_EQ(readWholeFile(path), readWholeFile(corpus + "/" + name));
            continue;
        }
        const std::set<std::string> warningsBefore = exiftoolWarnings(path);
        const nlohmann::json othersBefore = tagsBesidesXMP(path);
        NRFImageInfoRef record = open(path);
        ASSERT_TRUE(record);
        NRFErr before = 0;
        const std::vector<std::uint8_t> pixelsBefore = pixels(*record, before);

        const LogWatch log;
        ASSERT_EQ(save(*record, &packets), kNRFErrNone) << NRFGetErrorText() << log.text();
        // A HEIF packet comes padded for later updates in place.
        EXPECT_EQ(withoutPadding(load(*record).main), packets.main);
        EXPECT_EQ(withoutPadding(runProcess("exiftool", {"-b", "-XMP", path}).out), packets.main);
        for (const std::string& warning : exiftoolWarnings(path))
            EXPECT_TRUE(warningsBefore.count(warning)) << warning;
        EXPECT_EQ(tagsBesidesXMP(path), othersBefore);
        NRFErr after = 0;
        EXPECT_EQ(pixels(*record, after), pixelsBefore);
        EXPECT_EQ(after, before);
    }
}

TEST_F(XMPBlocksTest, CorpusPacketsReadTheSameThroughRecordsAndStructureWalks) {
    // Every corpus file of a container that holds XMP: where the engine read the file, loading through
    // the positions it recorded gives what a walk of the structure finds.
    const std::vector<std::string> files = corpusFiles(
        {".jpg", ".tif", ".tiff", ".psd", ".dng", ".nef", ".cr2", ".orf", ".rw2", ".png", ".gif", ".heic"});
    int compared = 0;
    for (const auto& [path, record] : readCopies(files)) {
        SCOPED_TRACE(path);
        File file;
        ASSERT_EQ(file.open(path, File::Mode::Read), 0);
        NRFFileByteSource source(file);
        NRFXMPPackets walked;
        const NRFFileType type = record->m_fileType;
        const bool walkedOK = type == kNRFTypeJPEG              ? NRFXMPReadJPEG(source, walked)
                              : type == NRFMakeFileType("APSD") ? NRFXMPReadPSD(source, walked.main)
                              : type == NRFMakeFileType("PNGf") ? NRFXMPReadPNG(source, walked.main)
                              : type == NRFMakeFileType("GIFf") ? NRFXMPReadGIF(source, walked.main)
                              : type == kNRFTypeHEIC || type == kNRFTypeHEIF
                                  ? NRFXMPReadHEIF(source, walked.main)
                                  : NRFXMPReadTIFF(source, walked.main);
        NRFXMPPackets loaded;
        const NRFErr err = NRFLoadXMP(record.get(), &loaded);
        if (err == kNRFErrNone && walkedOK && !loaded.main.empty()) {
            // The GIF reader ends the packet at its trailer; the walk takes the bytes up to the magic
            // trailer.
            EXPECT_EQ(loaded.main, walked.main.substr(0, loaded.main.size()));
            EXPECT_EQ(loaded.extended, walked.extended);
            ++compared;
        }
    }
    if (!files.empty())
        EXPECT_GT(compared, 10);
}

TEST_F(XMPBlocksTest, JPEGExtendedPacketsAreWrittenJoinedAndDroppedWhenBroken) {
    JpegBuilder builder(16, 8);
    builder.addJfif();
    builder.addExif(std::string("MM\0\x2A\0\0\0\x08\0\0\0\0\0\0", 14));
    builder.addXmp(captionPacket("old"));
    builder.addComment("kept");
    const std::string path = write("big.jpg", builder.build());
    NRFImageInfoRef record = open(path);
    ASSERT_TRUE(record);

    const bool exiftool = runProcess("exiftool", {"-ver"}).exitCode == 0;
    const std::set<std::string> warningsBefore = exiftool ? exiftoolWarnings(path) : std::set<std::string>{};
    const NRFXMPPackets big = splitPackets("Title", std::string(200 * 1024, 'x'));
    ASSERT_EQ(save(*record, &big), kNRFErrNone) << NRFGetErrorText();
    const NRFXMPPackets back = load(*record);
    EXPECT_EQ(back.main, big.main);
    EXPECT_EQ(back.extended, big.extended);
    EXPECT_EQ(back.extendedGUID, big.extendedGUID);
    std::string bytes = readWholeFile(path);
    EXPECT_EQ(countOf(bytes, "http://ns.adobe.com/xmp/extension/"), 4u); // 200 KiB in chunks of 65458
    EXPECT_EQ(countOf(bytes, "kept"), 1u);
    EXPECT_LT(bytes.find("Exif"), bytes.find("http://ns.adobe.com/xap/1.0/")); // EXIF stays first
    if (exiftool) {
        const auto json = exiftoolJson({"-XMP-dc:all", path});
        ASSERT_TRUE(json && json->size() == 1);
        EXPECT_EQ((*json)[0].value("Description", ""), std::string(200 * 1024, 'x'));
        EXPECT_EQ((*json)[0].value("Title", ""), "Title");
        EXPECT_EQ(runProcess("exiftool", {"-b", "-XMP", path}).out, big.main);
        for (const std::string& warning : exiftoolWarnings(path))
            EXPECT_TRUE(warningsBefore.count(warning)) << warning;
    }

    // Broken extensions: the main packet is read, the extension dropped.
    const std::string marker = "http://ns.adobe.com/xmp/extension/";
    struct Damage {
        const char* what;
        std::function<void(std::string&)> apply;
    };
    const std::size_t first = bytes.find(marker);
    const std::size_t second = bytes.find(marker, first + 1);
    const Damage damages[] = {
        {"a chunk missing", [&](std::string& b) { b[second + marker.size() + 1] = '0'; }}, // other GUID
        {"full length differs", [&](std::string& b) { b[second + marker.size() + 1 + 32 + 1] ^= 1; }},
        {"offset overlaps", [&](std::string& b) { b[second + marker.size() + 1 + 32 + 4 + 2] ^= 0x10; }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::string broken = bytes;
        damage.apply(broken);
        NRFImageInfoRef damaged;
        ASSERT_EQ(read("damaged.jpg", broken, damaged), kNRFErrNone);
        const NRFXMPPackets partial = load(*damaged);
        EXPECT_EQ(partial.main, big.main);
        EXPECT_TRUE(partial.extended.empty());
    }

    // A packet that fits one segment replaces the main one in place and removes the old extension.
    const NRFXMPPackets small{captionPacket("small"), "", ""};
    ASSERT_EQ(save(*record, &small), kNRFErrNone);
    bytes = readWholeFile(path);
    EXPECT_EQ(countOf(bytes, marker), 0u);
    EXPECT_EQ(load(*record).main, small.main);
    // Too large a main packet is refused with the size text; the file stays.
    const NRFXMPPackets huge{captionPacket(std::string(70000, 'y')), "", ""};
    EXPECT_EQ(save(*record, &huge), kNRFErrBadFormat);
    EXPECT_EQ(NRFGetErrorText(), "Error with XMP size for file '" + path + "' for update.");
    EXPECT_EQ(readWholeFile(path), bytes);
}

TEST_F(XMPBlocksTest, IIMAndXMPGoInOneRewriteAndEmptyBlocksRemoveThem) {
    const std::string block = IIMBlockBuilder().add(2, 120, "caption").bytes();
    const NRFXMPPackets packets{captionPacket("caption"), "", ""};
    const NRFXMPPackets none;
    const std::string noBlock;
    // A legacy prefs block at the end of the file.
    std::string eof(kNRFEOFPayloadLength, '\0');
    eof += std::string("\0\0\x08\0klipklbl", 12);
    JpegBuilder jpeg(16, 8);
    jpeg.addJfif();
    const std::string original = jpeg.build();
    const std::string path = write("both.jpg", original + eof);
    NRFImageInfoRef record = open(path);
    ASSERT_TRUE(record);
    {
        NRFMetadataWrite both;
        both.xmp = &packets;
        both.iim = &block;
        ASSERT_EQ(NRFSaveMetadataBlocks(record.get(), both), kNRFErrNone) << NRFGetErrorText();
    }
    std::string iim;
    ASSERT_EQ(NRFLoadIPTC(record.get(), &iim), kNRFErrNone);
    EXPECT_EQ(iim, block);
    EXPECT_EQ(load(*record).main, packets.main);
    const std::string written = readWholeFile(path);
    EXPECT_EQ(written.find("klbl"), std::string::npos);
    EXPECT_EQ(decodeJpeg(written).pixels, decodeJpeg(original).pixels);

    NRFMetadataWrite removal;
    removal.xmp = &none;
    removal.iim = &noBlock;
    ASSERT_EQ(NRFSaveMetadataBlocks(record.get(), removal), kNRFErrNone);
    EXPECT_EQ(readWholeFile(path), original);
    EXPECT_TRUE(load(*record).main.empty());

    // The IIM-only entry still saves and undoes through the same rewrite, keeping the XMP.
    ASSERT_EQ(save(*record, &packets), kNRFErrNone);
    ASSERT_EQ(NRFSaveIPTC(record.get(), &block), kNRFErrNone);
    EXPECT_EQ(load(*record).main, packets.main);
    ASSERT_EQ(NRFUndoSaveIPTC(record.get()), kNRFErrNone);
    ASSERT_EQ(NRFLoadIPTC(record.get(), &iim), kNRFErrNone);
    EXPECT_TRUE(iim.empty());
    EXPECT_EQ(load(*record).main, packets.main);
}

TEST_F(XMPBlocksTest, PNGAndGIFPacketsOfEveryFormRead) {
    const std::string packet = captionPacket("png");
    PngLayout layout;
    layout.width = 2;
    layout.height = 2;
    layout.pixels = std::string(12, '\x40');
    const std::string plain = buildPng(layout);
    // A compressed iTXt chunk holding `text`, before the image data.
    const auto withZippedXMP = [&plain](const std::string& text) {
        uLongf length = compressBound(static_cast<uLong>(text.size()));
        std::string zipped(length, '\0');
        compress(reinterpret_cast<Bytef*>(zipped.data()), &length,
                 reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()));
        zipped.resize(length);
        const std::size_t idat = plain.find("IDAT") - 4;
        return plain.substr(0, idat) +
               pngChunk("iTXt", std::string("XML:com.adobe.xmp\0\x01\0\0\0", 22) + zipped) +
               plain.substr(idat);
    };
    NRFImageInfoRef record;
    ASSERT_EQ(read("zipped.png", withZippedXMP(packet), record), kNRFErrNone);
    EXPECT_EQ(load(*record).main, packet);
    // A bomb: the inflated text is bounded, the packet refused.
    ASSERT_EQ(read("bomb.png", withZippedXMP(std::string(kNRFMaxXMPPacket + 1, 'a')), record), kNRFErrNone);
    NRFXMPPackets packets;
    EXPECT_EQ(NRFLoadXMP(record.get(), &packets), kNRFErrBadFormat);
    EXPECT_TRUE(packets.main.empty());

    // Written into a PNG and a GIF, read back by the engine and exiftool; written again, one packet.
    GifBuilder gif(4, 4, std::string("\0\0\0\xFF\xFF\xFF", 6));
    GifImageLayout image;
    image.width = 4;
    image.height = 4;
    image.indexes.assign(16, 1);
    gif.image(image);
    for (const auto& [name, bytes] :
         {std::pair<std::string, std::string>{"plain.png", plain}, {"plain.gif", gif.bytes()}}) {
        SCOPED_TRACE(name);
        NRFImageInfoRef written;
        ASSERT_EQ(read(name, bytes, written), kNRFErrNone);
        for (const char* caption : {"first", "second"}) {
            const NRFXMPPackets xmp{captionPacket(caption), "", ""};
            ASSERT_EQ(save(*written, &xmp), kNRFErrNone) << NRFGetErrorText();
            EXPECT_EQ(load(*written).main, xmp.main);
            if (runProcess("exiftool", {"-ver"}).exitCode == 0) {
                EXPECT_EQ(runProcess("exiftool", {"-b", "-XMP", written->m_path}).out, xmp.main);
                EXPECT_TRUE(exiftoolWarnings(written->m_path).empty());
            }
        }
        EXPECT_EQ(countOf(readWholeFile(written->m_path),
                          name == "plain.gif" ? "XMP DataXMP" : "XML:com.adobe.xmp"),
                  1u);
        const NRFXMPPackets none;
        ASSERT_EQ(save(*written, &none), kNRFErrNone);
        EXPECT_EQ(readWholeFile(written->m_path), bytes);
    }
}

TEST_F(XMPBlocksTest, ABatchRenamesNothingBeforeCommitAndSidecarsKeepTheirLinks) {
    JpegBuilder jpeg(16, 8);
    const std::string original = jpeg.build();
    std::vector<NRFImageInfoRef> records;
    std::vector<NRFXMPPackets> packets;
    for (int i = 0; i < 3; ++i)
        packets.push_back({captionPacket("batch " + std::to_string(i)), "", ""});
    const std::string sidecar = m_dir.file("raw.XMP");
    {
        NRFMetadataCommit batch;
        for (int i = 0; i < 3; ++i) {
            records.push_back(open(write("b" + std::to_string(i) + ".jpg", original)));
            NRFMetadataWrite w;
            w.xmp = &packets[static_cast<std::size_t>(i)];
            ASSERT_EQ(NRFSaveMetadataBlocks(records.back().get(), w, &batch), kNRFErrNone);
        }
        ASSERT_EQ(NRFWriteXMPSidecar(sidecar, packets[0].main, &batch), kNRFErrNone);
        EXPECT_EQ(batch.size(), 4u);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(readWholeFile(m_dir.file("b" + std::to_string(i) + ".jpg")), original);
        EXPECT_FALSE(fileExists(sidecar));
        ASSERT_EQ(batch.commit(), 0);
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(load(*records[static_cast<std::size_t>(i)]).main,
                  packets[static_cast<std::size_t>(i)].main);
    std::string text;
    ASSERT_EQ(NRFReadXMPSidecar(sidecar, text), kNRFErrNone);
    EXPECT_EQ(text, packets[0].main);
    // A file whose new version cannot be flushed keeps its old content; the others are replaced.
    {
        NRFMetadataCommit batch;
        for (int i = 0; i < 2; ++i) {
            NRFMetadataWrite w;
            w.xmp = &packets[2];
            ASSERT_EQ(NRFSaveMetadataBlocks(records[static_cast<std::size_t>(i)].get(), w, &batch),
                      kNRFErrNone);
        }
        FileFault fault;
        fault.op = FileFault::Op::Sync;
        fault.pathContains = "b0.jpg";
        injectFileFault(fault);
        std::vector<std::string> failed;
        EXPECT_EQ(batch.commit(&failed), EIO);
        clearFileFaults();
        EXPECT_EQ(failed, std::vector<std::string>{m_dir.file("b0.jpg")});
        EXPECT_EQ(load(*records[1]).main, packets[2].main);
    }
    EXPECT_EQ(load(*records[0]).main, packets[0].main);
    // A discarded batch leaves the files and no temporary file.
    {
        NRFMetadataCommit batch;
        NRFMetadataWrite w;
        w.xmp = &packets[2];
        ASSERT_EQ(NRFSaveMetadataBlocks(records[0].get(), w, &batch), kNRFErrNone);
    }
    EXPECT_EQ(load(*records[0]).main, packets[0].main);
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
        EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();

    // Sidecars: a link stays a link, the permissions stay; the error texts by cause.
    const std::string target = m_dir.file("target.xmp");
    writeWholeFile(target, "old");
    ::chmod(target.c_str(), 0640);
    const std::string link = m_dir.file("linked.XMP");
    std::filesystem::create_symlink(target, link);
    ASSERT_EQ(NRFWriteXMPSidecar(link, packets[1].main), kNRFErrNone);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readWholeFile(target), packets[1].main);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(NRFReadXMPSidecar(m_dir.file("missing.XMP"), text), kNRFErrOpen);
    EXPECT_EQ(NRFGetErrorText(), "Unable to load XMP sidecar file at '" + m_dir.file("missing.XMP") + "'.");
    if (::geteuid() != 0) {
        ::chmod(target.c_str(), 0440);
        EXPECT_NE(NRFWriteXMPSidecar(target, "new"), kNRFErrNone);
        EXPECT_EQ(NRFGetErrorText(),
                  "Unable to update XMP sidecar file at '" + target + "', file may not be writeable.");
        const std::string folder = m_dir.file("locked");
        std::filesystem::create_directory(folder);
        ::chmod(folder.c_str(), 0500);
        EXPECT_NE(NRFWriteXMPSidecar(folder + "/a.XMP", "new"), kNRFErrNone);
        EXPECT_EQ(NRFGetErrorText(), "Unable to create XMP sidecar file at '" + folder +
                                         "/a.XMP', folder may not be writeable.");
        ::chmod(folder.c_str(), 0700);
    }
    FileFault full;
    full.op = FileFault::Op::Write;
    full.error = ENOSPC;
    full.pathContains = "full.XMP";
    injectFileFault(full);
    EXPECT_NE(NRFWriteXMPSidecar(m_dir.file("full.XMP"), packets[1].main), kNRFErrNone);
    clearFileFaults();
    EXPECT_EQ(NRFGetErrorText(),
              "Unable to write to XMP sidecar file at '" + m_dir.file("full.XMP") + "', disk may be full.");
}

TEST_F(XMPBlocksTest, AWriteKilledBeforeItsRenameLeavesTheOriginal) {
    JpegBuilder jpeg(16, 8);
    jpeg.addXmp(captionPacket("before"));
    const std::string original = jpeg.build();
    const std::string path = write("killed.jpg", original);
    NRFImageInfoRef record = open(path);
    ASSERT_TRUE(record);
    const std::string marker = m_dir.file("waiting");
    const NRFXMPPackets packets{captionPacket("after"), "", ""};
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv(kNRFPauseBeforeRenameVariable, marker.c_str(), 1);
        save(*record, &packets);
        ::_exit(0);
    }
    for (int i = 0; i < 600 && !fileExists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fileExists(marker));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(readWholeFile(path), original);
    // The dead writer's temporary file is no photo to a scan, and goes with the next write of the file
    // (by the next process, which reads the folder afresh: the child shared this one's notifications).
    std::vector<std::string> leftovers;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
        if (entry.path().filename().string().rfind("killed.jpg.tmp-", 0) == 0)
            leftovers.push_back(entry.path().string());
    ASSERT_EQ(leftovers.size(), 1u);
    NRFFileType type = 0;
    EXPECT_NE(NRFGetType(leftovers[0].c_str(), &type, false), kNRFErrNone);
    bool known = true;
    EXPECT_EQ(NRFIsAKnownFileType(leftovers[0].c_str(), &known), kNRFErrNone);
    EXPECT_FALSE(known);
    FolderListing::forgetAll();
    removeFile(marker);
    ASSERT_EQ(save(*record, &packets), kNRFErrNone);
    EXPECT_EQ(load(*record).main, packets.main);
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
        EXPECT_EQ(entry.path().filename().string(), "killed.jpg");
}

} // namespace
} // namespace lumo::test
