// The copy engine: a photo with its attached files, under a free name, never overwriting, and a failed
// copy leaving nothing behind.

#include "fileops/LumoCopyFile.h"

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoPaths.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCUtils.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/ScanLock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using lumo::test::namesIn;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

struct Listener : CopyListener {
    std::vector<std::pair<std::string, std::string>> told;
    bool scanLockFree = true;
    void willCopy(const std::string& source, const std::string& destination) override {
        // Folder scans are not held up while the bytes are copied.
        std::unique_lock lock(lumo::scanLock(), std::try_to_lock);
        scanLockFree = scanLockFree && lock.owns_lock();
        told.emplace_back(source, destination);
    }
};

class CopyFileTest : public lumo::test::PhotoEngineTest {
protected:
    NRFImageInfoRef open(const std::string& path) {
        NRFImageInfoRef record;
        EXPECT_EQ(NRFOpenImage(path.c_str(), 0, &record), kNRFErrNone) << path;
        return record;
    }

    // A raw with its sidecar and sound file in `src`; empty when the corpus is missing.
    std::string makeRaw() {
        const std::string corpus = lumo::test::corpusFolder();
        if (corpus.empty())
            return {};
        m_raw = readWholeFile(corpus + "/exiftool/Nikon.nef");
        writeWholeFile(m_src.file("DSC_0001.NEF"), m_raw);
        writeWholeFile(m_src.file("DSC_0001.XMP"), "<x:xmpmeta/>");
        writeWholeFile(m_src.file("DSC_0001.WAV"), "RIFF");
        return m_src.file("DSC_0001.NEF");
    }

    int copy(const std::string& source, std::uint16_t flags, std::string& name, const NRFImageInfoRec* image,
             CopyListener* listener = nullptr) {
        IPTCRec caller;
        IPTCSetDataSet(&caller, IPTC_CAPTION, 1, "caption");
        CopyFileRequest request;
        request.metadata = &caller;
        request.sourcePath = source;
        request.destinationFolder = m_dst.path();
        request.image = image;
        request.flags = flags;
        request.listener = listener;
        return CopyFile::FileCopyEx(request, name);
    }

    TempDir m_src, m_dst;
    std::string m_raw;
};

} // namespace

TEST_F(CopyFileTest, RawWithSidecarAndSoundUnderFreeNames) {
    const std::string raw = makeRaw();
    if (raw.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    NRFImageInfoRef record = open(raw);
    ASSERT_TRUE(record);
    Listener listener;
    std::string name;
    ASSERT_EQ(copy(raw, 0, name, record.get(), &listener), 1) << CopyFile::ErrorText();
    EXPECT_EQ(name, "DSC_0001.NEF");
    EXPECT_EQ(namesIn(m_dst.path()), (std::vector<std::string>{"DSC_0001.NEF", "DSC_0001.XMP"}));
    EXPECT_EQ(readWholeFile(m_dst.file("DSC_0001.NEF")), m_raw);
    EXPECT_EQ(readWholeFile(m_dst.file("DSC_0001.XMP")), "<x:xmpmeta/>");
    EXPECT_TRUE(listener.scanLockFree);
    ASSERT_EQ(listener.told.size(), 1u);
    EXPECT_EQ(listener.told[0], std::make_pair(raw, m_dst.file("DSC_0001.NEF")));

    // Again, with the sound file: the taken names get a letter, the sound file follows. The sidecar
    // alone being taken is enough to number the raw.
    ::unlink(m_dst.file("DSC_0001.NEF").c_str());
    name.clear();
    ASSERT_EQ(copy(raw, kCopySoundFile, name, record.get()), 1) << CopyFile::ErrorText();
    EXPECT_EQ(name, "DSC_0001A.NEF");
    EXPECT_EQ(namesIn(m_dst.path()),
              (std::vector<std::string>{"DSC_0001.XMP", "DSC_0001A.NEF", "DSC_0001A.WAV", "DSC_0001A.XMP"}));
    // The source is untouched.
    EXPECT_EQ(namesIn(m_src.path()),
              (std::vector<std::string>{"DSC_0001.NEF", "DSC_0001.WAV", "DSC_0001.XMP"}));
}

TEST_F(CopyFileTest, InterruptedCopyLeavesNothingAndNeverOverwrites) {
    const std::string raw = makeRaw();
    if (raw.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    NRFImageInfoRef record = open(raw);
    ASSERT_TRUE(record);
    struct Fault {
        const char* what;
        lumo::FileFault fault;
        std::uint16_t flags;
    };
    const std::vector<Fault> faults = {
        {"photo write fails half-way",
         {.op = lumo::FileFault::Op::Write, .error = ENOSPC, .pathContains = ".NEF.tmp-", .afterBytes = 4096},
         0},
        {"sidecar write fails after the photo arrived",
         {.op = lumo::FileFault::Op::Write, .error = EIO, .pathContains = ".XMP.tmp-"},
         0},
        {"a move whose metadata cannot be written",
         {.op = lumo::FileFault::Op::Write, .error = EIO, .pathContains = "tmp.{"},
         kCopyMove | kCopyApplyMetadata},
        {"read-only destination",
         {.op = lumo::FileFault::Op::Open, .error = EROFS, .pathContains = "__TMP__XXYYZZQ__"},
         0},
    };
    for (const Fault& f : faults) {
        lumo::injectFileFault(f.fault);
        std::string name;
        EXPECT_EQ(copy(raw, f.flags, name, record.get()), 0) << f.what;
        lumo::clearFileFaults();
        EXPECT_TRUE(namesIn(m_dst.path()).empty()) << f.what;
        EXPECT_EQ(namesIn(m_src.path()),
                  (std::vector<std::string>{"DSC_0001.NEF", "DSC_0001.WAV", "DSC_0001.XMP"}))
            << f.what;
        if (f.fault.op == lumo::FileFault::Op::Open)
            EXPECT_EQ(CopyFile::ErrorText(), "Destination path is read-only: '" + m_dst.path() + "/'.");
    }
    // The engine's own answer for a read-only destination.
    lumo::injectFileFault(faults.back().fault);
    EXPECT_EQ(DoCopyFile(record.get(), m_dst.file("x.NEF").c_str(), 0), kNRFErrWrite);
    lumo::clearFileFaults();
    NRFImageInfoRec unknown(raw, NRFMakeFileType("ZZZZ"));
    EXPECT_EQ(DoCopyFile(&unknown, m_dst.file("x.NEF").c_str(), 0), kNRFErrUnknownType);
    EXPECT_EQ(NRFGetErrorText(), "No plugin available to handle '" + raw + "'");
    EXPECT_TRUE(namesIn(m_dst.path()).empty());

    // A file of the wanted name is replaced only with kCopyOverwrite.
    writeWholeFile(m_dst.file("keep.NEF"), "old");
    std::string name = "keep.NEF";
    ASSERT_EQ(copy(raw, 0, name, record.get()), 1) << CopyFile::ErrorText();
    EXPECT_EQ(name, "keepA.NEF");
    EXPECT_EQ(readWholeFile(m_dst.file("keep.NEF")), "old");
    name = "keep.NEF";
    ASSERT_EQ(copy(raw, kCopyOverwrite, name, record.get()), 1) << CopyFile::ErrorText();
    EXPECT_EQ(name, "keep.NEF");
    EXPECT_EQ(readWholeFile(m_dst.file("keep.NEF")), m_raw);
    for (const std::string& file : namesIn(m_dst.path()))
        EXPECT_NE(file.rfind("tmp.", 0), 0u) << file;
}

TEST_F(CopyFileTest, MoveNamingAndLengthRules) {
    TempDir dir;
    const std::string jpeg = m_src.file("src.JPG");
    writeWholeFile(jpeg, lumo::test::encodeJpeg(16, 16));
    NRFImageInfoRef record = open(jpeg);
    ASSERT_TRUE(record);

    // The wanted name taken under every letter: the wanted base + "-" + the source's name.
    writeWholeFile(m_dst.file("A.JPG"), "x");
    for (char c = 'A'; c <= 'Z'; ++c)
        writeWholeFile(m_dst.file(std::string("A") + c + ".JPG"), "x");
    std::string name = "A.JPG";
    ASSERT_EQ(copy(jpeg, 0, name, record.get()), 1) << CopyFile::ErrorText();
    EXPECT_EQ(name, "A-src.JPG");
    // ... and when that is taken too, the copy fails with the message.
    for (char c = 'A'; c <= 'Z'; ++c)
        writeWholeFile(m_dst.file(std::string("A-src") + c + ".JPG"), "x");
    name = "A.JPG";
    EXPECT_EQ(copy(jpeg, 0, name, record.get()), 0);
    EXPECT_EQ(CopyFile::ErrorText().find(
                  "There were too many files with the same name at the destination.\n\n'tmp.{"),
              0u);

    // 257 characters are refused before anything is written; 256 pass the rule (this file system's own
    // limit of 255 bytes then answers).
    for (const std::size_t length : {256u, 257u}) {
        name = std::string(length - 4, 'n') + ".JPG";
        EXPECT_EQ(copy(jpeg, 0, name, record.get()), 0);
        EXPECT_EQ(CopyFile::ErrorText().find("is too long") != std::string::npos, length == 257) << length;
    }

    // A template-built name gets the always styles; a move leaves no source.
    CopyFileRequest request;
    request.sourcePath = jpeg;
    request.destinationFolder = m_dst.path();
    request.image = record.get();
    request.flags = kCopyRenameTemplate | kCopyMove;
    request.namingTemplate = "Holiday";
    name.clear();
    ASSERT_EQ(CopyFile::FileCopyEx(request, name), 1) << CopyFile::ErrorText();
    EXPECT_EQ(name, "Holiday.JPG");
    EXPECT_FALSE(std::filesystem::exists(jpeg));
    EXPECT_EQ(readWholeFile(m_dst.file("Holiday.JPG")).size(),
              std::filesystem::file_size(m_dst.file("Holiday.JPG")));

    // No image information: the plain copy, also never replacing.
    writeWholeFile(m_src.file("notes.txt"), "text");
    name.clear();
    ASSERT_EQ(copy(m_src.file("notes.txt"), 0, name, nullptr), 1);
    name.clear();
    ASSERT_EQ(copy(m_src.file("notes.txt"), 0, name, nullptr), 1);
    EXPECT_EQ(name, "notesA.txt");
}

TEST_F(CopyFileTest, MoveAcrossVolumesLetsGoOfSourcesLast) {
    struct stat shm, here;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(m_dst.path().c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second volume";
    const std::string folder = "/dev/shm/lumo-copy-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    const std::string jpeg = folder + "/IMG_0001.JPG", bytes = lumo::test::encodeJpeg(16, 16);
    writeWholeFile(jpeg, bytes);
    writeWholeFile(folder + "/IMG_0001.WAV", "RIFF");
    NRFImageInfoRef record = open(jpeg);
    ASSERT_TRUE(record);
    // The sound file cannot be written: the photo that arrived goes again and both sources stay.
    lumo::injectFileFault({.op = lumo::FileFault::Op::Write, .error = ENOSPC, .pathContains = ".WAV.tmp-"});
    std::string name;
    EXPECT_EQ(copy(jpeg, kCopyMove | kCopySoundFile, name, record.get()), 0);
    lumo::clearFileFaults();
    EXPECT_TRUE(namesIn(m_dst.path()).empty());
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0001.WAV"}));
    name.clear();
    ASSERT_EQ(copy(jpeg, kCopyMove | kCopySoundFile, name, record.get()), 1) << CopyFile::ErrorText();
    EXPECT_EQ(namesIn(m_dst.path()), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0001.WAV"}));
    EXPECT_EQ(readWholeFile(m_dst.file("IMG_0001.JPG")), bytes);
    EXPECT_TRUE(namesIn(folder).empty());
    std::filesystem::remove_all(folder);
}

TEST_F(CopyFileTest, CallerMetadataGoesIntoTheCopyOnly) {
    const std::string jpeg = m_src.file("meta.JPG");
    writeWholeFile(jpeg, lumo::test::encodeJpeg(16, 16));
    NRFImageInfoRef record = open(jpeg);
    ASSERT_TRUE(record);
    // The photo's colour class and rating go with the copy: the caller's record sets neither.
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    record->m_colorClass = 3, record->m_rating = 2;
    ASSERT_EQ(DoSaveIPTC(record.get(), IPTCRec{}), kNRFErrNone);
    const std::string original = readWholeFile(jpeg);
    IPTCRec caller;
    ASSERT_TRUE(IPTCSetDataSet(&caller, IPTC_CAPTION, 1, "Copied with a caption"));
    CopyFileRequest request;
    request.sourcePath = jpeg;
    request.destinationFolder = m_dst.path();
    request.image = record.get();
    request.metadata = &caller;
    request.flags = kCopyApplyMetadata;
    std::string name;
    ASSERT_EQ(CopyFile::FileCopyEx(request, name), 1) << CopyFile::ErrorText();
    auto captionOf = [&](const std::string& path, int colorClass = 3, int rating = 2) {
        NRFImageInfoRef image = open(path);
        IPTCRec read;
        std::string text;
        if (image && NRFGetImageInfo(image.get()) == kNRFErrNone &&
            NRFLoadIPTC(image.get(), &read) == kNRFErrNone)
            IPTCGetDataSet(&read, IPTC_CAPTION, 1, true, text);
        EXPECT_EQ(image->m_colorClass, colorClass) << path;
        EXPECT_EQ(image->m_rating, rating) << path;
        return text;
    };
    EXPECT_EQ(captionOf(m_dst.file(name)), "Copied with a caption");
    EXPECT_EQ(captionOf(jpeg), "");
    EXPECT_EQ(readWholeFile(jpeg), original);
    // A record that holds a colour class gives it to the copy.
    caller.m_colorClass = "5";
    name.clear();
    ASSERT_EQ(CopyFile::FileCopyEx(request, name), 1) << CopyFile::ErrorText();
    EXPECT_EQ(captionOf(m_dst.file(name), 5), "Copied with a caption");
    EXPECT_EQ(namesIn(m_dst.path()).size(), 2u);
}

TEST_F(CopyFileTest, RenameTakesAttachedFilesAllOrNothing) {
    const std::string raw = makeRaw();
    if (raw.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    writeWholeFile(m_src.file("DSC_0001.NEF.NKS"), "settings");
    writeWholeFile(m_src.file("SND_0001.WAV"), "RIFF2");
    NRFImageInfoRef record = open(raw);
    ASSERT_TRUE(record);
    std::vector<std::string> names;
    ASSERT_EQ(NRFAttachedFileNamesFor(record.get(), m_src.file("Trip.NEF"), &names), kNRFErrNone);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{m_src.file("SND_Trip.WAV"), m_src.file("Trip.NEF.NKS"),
                                               m_src.file("Trip.WAV"), m_src.file("Trip.XMP")}));

    // A taken name refuses the rename unless replacing; a replacing rename that fails half-way puts
    // everything back, the replaced file too.
    writeWholeFile(m_src.file("Trip.XMP"), "other");
    const std::vector<std::string> before = namesIn(m_src.path());
    EXPECT_EQ(NRFRenameFile(record.get(), m_src.file("Trip.NEF").c_str(), 0), kNRFErrWrite);
    EXPECT_EQ(namesIn(m_src.path()), before);
    lumo::injectFileFault(
        {.op = lumo::FileFault::Op::Rename, .error = EIO, .pathContains = "SND_", .times = 1});
    EXPECT_EQ(NRFRenameFile(record.get(), m_src.file("Trip.NEF").c_str(), kNRFRenameReplace), kNRFErrWrite);
    lumo::clearFileFaults();
    EXPECT_EQ(namesIn(m_src.path()), before);
    EXPECT_EQ(readWholeFile(m_src.file("Trip.XMP")), "other");
    EXPECT_EQ(record->m_path, raw);

    ASSERT_EQ(NRFRenameFile(record.get(), m_src.file("Trip.NEF").c_str(), kNRFRenameReplace), kNRFErrNone);
    EXPECT_EQ(namesIn(m_src.path()),
              (std::vector<std::string>{"SND_Trip.WAV", "Trip.NEF", "Trip.NEF.NKS", "Trip.WAV", "Trip.XMP"}));
    EXPECT_EQ(readWholeFile(m_src.file("Trip.XMP")), "<x:xmpmeta/>");
    EXPECT_EQ(record->m_path, m_src.file("Trip.NEF"));
    EXPECT_EQ(record->m_attachedFiles.size(), 4u);
}

TEST_F(CopyFileTest, CorpusFilesArriveByteForByte) {
    const std::vector<std::string> files = lumo::test::corpusFiles(
        {".jpg", ".nef", ".cr2", ".cr3", ".dng", ".raf", ".rw2", ".heic", ".tif", ".png"});
    if (files.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    for (const std::string& file : files) {
        NRFImageInfoRef record;
        if (NRFOpenImage(file.c_str(), 0, &record) != kNRFErrNone)
            continue; // a malformed file the engine refuses
        std::string name;
        ASSERT_EQ(copy(file, 0, name, record.get()), 1) << file << ": " << CopyFile::ErrorText();
        EXPECT_EQ(readWholeFile(m_dst.file(name)), readWholeFile(file)) << file;
    }
}

TEST_F(CopyFileTest, VerifiedCopyFailsWhenTheCopyReadsBackDifferently) {
    const std::string raw = makeRaw();
    if (raw.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    NRFImageInfoRef record = open(raw);
    ASSERT_TRUE(record);
    // The digest is XXH3-128 written high half first, as xxhsum -H2 writes it.
    writeWholeFile(m_src.file("empty"), "");
    FileDigest digest;
    ASSERT_EQ(DigestOfFile(m_src.file("empty"), digest), 0);
    EXPECT_EQ(digest.hex(), "99aa06d3014798d86001c324468d497f");
    FileDigest parsed;
    EXPECT_TRUE(FileDigest::fromHex(digest.hex(), parsed) && parsed == digest);
    EXPECT_FALSE(FileDigest::fromHex("99aa06d3014798d86001c324468d497", parsed));
    ::unlink(m_src.file("empty").c_str());

    auto flipByte = [](const std::string& path) {
        std::string bytes = readWholeFile(path);
        bytes[bytes.size() / 2] ^= 0x01;
        writeWholeFile(path, bytes);
    };
    struct Case {
        const char* what;
        const char* fileEnding; // the temporary the hook spoils
        std::function<void(const std::string&)> spoil;
        bool plainCopy;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"a corrupted byte of the photo", ".NEF.tmp-", flipByte, false, "did not match it when read back"},
        {"a corrupted byte of its sidecar", ".XMP.tmp-", flipByte, false, "did not match it when read back"},
        {"a copy cut short", ".NEF.tmp-", [](const std::string& path) { ::truncate(path.c_str(), 100); },
         false, "did not match it when read back"},
        {"a copy that cannot be read back", ".NEF.tmp-",
         [](const std::string& path) { ::unlink(path.c_str()); }, false,
         "could not be read back to verify it"},
        {"a corrupted plain file copy", ".NEF.tmp-", flipByte, true, "did not match it when read back"},
        {"nothing spoilt", "never", {}, false, nullptr},
    };
    for (const Case& c : cases) {
        CopyFile::SetVerifyHookForTesting([&](const std::string& temporary) {
            if (temporary.find(c.fileEnding) != std::string::npos)
                c.spoil(temporary);
        });
        CopyOutcome outcome;
        CopyFileRequest request;
        request.sourcePath = raw;
        request.destinationFolder = m_dst.path();
        request.image = c.plainCopy ? nullptr : record.get();
        request.flags = kCopyVerify | kCopySoundFile;
        request.outcome = &outcome;
        std::string name;
        const int copied = CopyFile::FileCopyEx(request, name);
        CopyFile::SetVerifyHookForTesting({});
        EXPECT_EQ(namesIn(m_src.path()),
                  (std::vector<std::string>{"DSC_0001.NEF", "DSC_0001.WAV", "DSC_0001.XMP"}))
            << c.what;
        if (c.error) {
            EXPECT_EQ(copied, 0) << c.what;
            EXPECT_NE(CopyFile::ErrorText().find(c.error), std::string::npos)
                << c.what << CopyFile::ErrorText();
            EXPECT_TRUE(namesIn(m_dst.path()).empty()) << c.what;
            continue;
        }
        ASSERT_EQ(copied, 1) << CopyFile::ErrorText();
        EXPECT_EQ(namesIn(m_dst.path()),
                  (std::vector<std::string>{"DSC_0001.NEF", "DSC_0001.WAV", "DSC_0001.XMP"}));
        ASSERT_EQ(DigestOfFile(raw, digest), 0);
        EXPECT_TRUE(outcome.verified);
        EXPECT_FALSE(outcome.arrived);
        EXPECT_EQ(outcome.digest, digest);
        EXPECT_EQ(outcome.size, m_raw.size());
        EXPECT_EQ(outcome.path, m_dst.file("DSC_0001.NEF"));
        EXPECT_EQ(readWholeFile(m_dst.file("DSC_0001.NEF")), m_raw);
    }
}

TEST_F(CopyFileTest, InterruptedRunIsCleanedUpAndWhatArrivedIsKept) {
    const std::string raw = makeRaw();
    if (raw.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    NRFImageInfoRef record = open(raw);
    ASSERT_TRUE(record);
    // What a killed run leaves: the copy engine's temporaries and the byte copy's temporary of a process
    // that has ended. A live process's temporaries and other files stay.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const std::string guid = "{0a1b2c3d-0000-4000-8000-00000000abcd}";
    const std::string ended = std::to_string(child), alive = std::to_string(::getpid());
    for (const std::string& leftover :
         std::vector<std::string>{"tmp." + guid + ".NEF", "tmp." + guid + ".XMP", "SND_tmp." + guid + ".WAV",
                                  "tmp." + guid + ".NEF.tmp-" + ended + "-3", "__TMP__XXYYZZQ__.tmp",
                                  "DSC_0002.NEF.tmp-" + alive + "-0", "tmp.{nope}.NEF", "notes.tmp"})
        writeWholeFile(m_dst.file(leftover), "partial");
    const std::vector<std::string> kept = {"DSC_0002.NEF.tmp-" + alive + "-0", "notes.tmp", "tmp.{nope}.NEF"};

    // A copy under way keeps the clean-up from its folder (the temporaries may be that copy's).
    int removedDuringCopy = -1;
    CopyFile::SetVerifyHookForTesting([&](const std::string&) {
        if (removedDuringCopy < 0)
            removedDuringCopy = CopyFile::RemoveLeftoverTemporaries(m_dst.path());
    });
    std::string name;
    ASSERT_EQ(copy(raw, kCopyVerify, name, record.get()), 1) << CopyFile::ErrorText();
    CopyFile::SetVerifyHookForTesting({});
    EXPECT_EQ(removedDuringCopy, 1); // only the ended process's file
    EXPECT_EQ(CopyFile::RemoveLeftoverTemporaries(m_dst.path()), 4);
    std::vector<std::string> expected = kept;
    expected.insert(expected.end(), {"DSC_0001.NEF", "DSC_0001.XMP"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(m_dst.path()), expected);

    // Run again: the photo that arrived is taken as copied (its sidecar, lost before its rename, is
    // copied); a file of the name with other bytes is not, and the copy takes a free name.
    ::unlink(m_dst.file("DSC_0001.XMP").c_str());
    for (const std::uint16_t flags : {kCopyKeepArrived | kCopyVerify, int{kCopyKeepArrived}}) {
        CopyOutcome outcome;
        CopyFileRequest request;
        request.sourcePath = raw;
        request.destinationFolder = m_dst.path();
        request.image = record.get();
        request.flags = flags;
        request.outcome = &outcome;
        name.clear();
        ASSERT_EQ(CopyFile::FileCopyEx(request, name), 1) << CopyFile::ErrorText();
        EXPECT_EQ(name, "DSC_0001.NEF");
        EXPECT_TRUE(outcome.arrived && outcome.verified);
        EXPECT_EQ(outcome.size, m_raw.size());
        EXPECT_EQ(readWholeFile(m_dst.file("DSC_0001.XMP")), "<x:xmpmeta/>");
        EXPECT_EQ(namesIn(m_dst.path()), expected);
    }
    std::string other = m_raw;
    other[other.size() / 2] ^= 0x01;
    writeWholeFile(m_dst.file("DSC_0001.NEF"), other);
    name.clear();
    ASSERT_EQ(copy(raw, kCopyKeepArrived | kCopyVerify, name, record.get()), 1) << CopyFile::ErrorText();
    EXPECT_EQ(name, "DSC_0001A.NEF");
    // A copy the caller's metadata changed is known by the mark of its source.
    const std::string jpeg = m_src.file("IMG_0001.JPG");
    writeWholeFile(jpeg, lumo::test::encodeJpeg(16, 16));
    NRFImageInfoRef photo = open(jpeg);
    ASSERT_TRUE(photo);
    const std::uint16_t withMetadata = kCopyApplyMetadata | kCopyKeepArrived | kCopyVerify;
    std::string first, again;
    ASSERT_EQ(copy(jpeg, withMetadata, first, photo.get()), 1) << CopyFile::ErrorText();
    EXPECT_NE(readWholeFile(m_dst.file(first)), readWholeFile(jpeg));
    writeWholeFile(m_src.file("probe"), "");
    if (::setxattr(m_src.file("probe").c_str(), "user.probe", "1", 1, 0) == 0) {
        EXPECT_GT(::getxattr(m_dst.file(first).c_str(), "user.lumo.source", nullptr, 0), 0);
        ASSERT_EQ(copy(jpeg, withMetadata, again, photo.get()), 1) << CopyFile::ErrorText();
        EXPECT_EQ(again, first);
    }
    // A plain file copy the same way.
    name.clear();
    ASSERT_EQ(copy(m_src.file("DSC_0001.WAV"), kCopyKeepArrived, name, nullptr), 1);
    name.clear();
    ASSERT_EQ(copy(m_src.file("DSC_0001.WAV"), kCopyKeepArrived, name, nullptr), 1);
    EXPECT_EQ(name, "DSC_0001.WAV");
}
