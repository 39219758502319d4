// Copy/move of selected photos: where each copy goes, the questions put to the user, a move across file
// systems that keeps the original until its copy is whole, and the template applied to copies only.

#include "fileops/CopyPhotosThread.h"

#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "background/ProgressDialogInterface.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/LumoCopyFile.h"
#include "metadata/IPTCFields.h"
#include "metadata/IPTCUtils.h"
#include "metadata/MetadataTemplate.h"
#include "support/AnsweringPhotoEngineTest.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "variables/VariableExpander.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using lumo::test::namesIn;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

class CopyPhotosTest : public lumo::test::AnsweringPhotoEngineTest {
protected:
    // A JPEG photo named `name` in `folder`, as an item of a contact sheet.
    DocumentItem::Ref photo(const std::string& folder, const std::string& name) {
        const std::string path = folder + "/" + name;
        writeWholeFile(path, lumo::test::encodeJpeg(32, 24));
        NRFFileType type = 0;
        EXPECT_EQ(NRFGetType(path.c_str(), &type, true), kNRFErrNone);
        return DocumentItem::ForFile(path, type, false);
    }

    // Runs a copy to its end, answering the questions with `m_answer`.
    std::unique_ptr<CopyPhotosThread> run(std::vector<DocumentItem::Ref> items, const CopyOptions& options,
                                          std::optional<IPTCRec> stationery = std::nullopt,
                                          std::vector<std::string>* opened = nullptr) {
        auto thread = std::make_unique<CopyPhotosThread>(std::move(items), options, &m_progress,
                                                         std::string(), std::move(stationery));
        if (opened)
            thread->m_openFolder = [opened](const std::string& folder) { opened->push_back(folder); };
        EXPECT_TRUE(thread->Start());
        thread->Join();
        EXPECT_TRUE(m_progress.IsFinished());
        return thread;
    }

    ProgressDialogInterface m_progress;
    TempDir m_src, m_dst;
};

} // namespace

TEST_F(CopyPhotosTest, DestinationFolderByType) {
    const DocumentItem::Ref item = photo(m_src.path(), "IMG_0001.JPG");
    const struct {
        int type;
        std::string predefined;
        std::string expected; // relative to m_dst, or "src" for the photo's own folder
    } cases[] = {
        {kCopyToPickedFolder, "", "picked"},
        {kCopyToOwnFolder, "", "src"},
        // Illegal characters become "-", a backslash is a separator, and values bring none in.
        {kCopyToSubfolder, "", "src/Sub-a/b/IMG_0001"},
        {kCopyToFolderUnderRoot, "", "root/Sub-a/b/IMG_0001"},
        {kCopyToOwnFolder, m_dst.file("dropped"), "dropped"}, // a drop onto a folder wins
    };
    for (const auto& c : cases) {
        CopyOptions options;
        options.m_destinationType = c.type;
        options.m_lastDestPath = m_dst.file("picked");
        options.m_createSubfolderPath = "Sub:a\\b/{filenamebase}";
        options.m_toParentFolderPath = m_dst.file("root");
        options.m_toFolderPath = options.m_createSubfolderPath;
        CopyPhotosThread thread({item}, options, &m_progress, c.predefined);
        const std::string expected = c.expected.compare(0, 3, "src") == 0
                                         ? m_src.path() + c.expected.substr(3)
                                         : m_dst.file(c.expected);
        EXPECT_EQ(thread.GetDestPathForCell(*item, VariableContext{}), expected) << c.type;
        EXPECT_TRUE(std::filesystem::is_directory(expected)) << expected;
    }
    // A folder that cannot be made fails the photo.
    writeWholeFile(m_dst.file("file"), "x");
    CopyOptions options;
    options.m_lastDestPath = m_dst.file("file/below");
    CopyPhotosThread thread({item}, options, &m_progress);
    EXPECT_EQ(thread.GetDestPathForCell(*item, VariableContext{}), "");
}

TEST_F(CopyPhotosTest, RenamedCopiesNextToTheOriginals) {
    const DocumentItem::Ref first = photo(m_src.path(), "IMG_0001.JPG");
    const DocumentItem::Ref second = photo(m_src.path(), "IMG_0002.JPG");
    CopyOptions options;
    options.m_destinationType = kCopyToOwnFolder;
    options.m_renameCopiedFiles = true;
    options.m_renameString = "Copy";
    const auto thread = run({first, second}, options);
    EXPECT_EQ(m_progress.GetStatus(), 0u);
    EXPECT_EQ(namesIn(m_src.path()),
              (std::vector<std::string>{"Copy.JPG", "CopyA.JPG", "IMG_0001.JPG", "IMG_0002.JPG"}));
    ASSERT_EQ(thread->Results().size(), 2u);
    EXPECT_EQ(thread->Results()[1].destination, m_src.file("CopyA.JPG"));
    EXPECT_EQ(thread->DestinationFolders(), std::vector<std::string>{m_src.path()});
    EXPECT_TRUE(m_asked.empty());
}

TEST_F(CopyPhotosTest, OpeningMoreThanFiveFoldersAsksFirst) {
    for (const std::size_t count : {5u, 6u}) {
        for (const MessageBoxAnswer answer : {MessageBoxAnswer::Yes, MessageBoxAnswer::No}) {
            TempDir src, dst;
            std::vector<DocumentItem::Ref> items;
            for (std::size_t i = 0; i < count; ++i)
                items.push_back(photo(src.path(), "IMG_000" + std::to_string(i) + ".JPG"));
            CopyOptions options;
            options.m_destinationType = kCopyToFolderUnderRoot;
            options.m_toParentFolderPath = dst.path();
            options.m_toFolderPath = "{filenamebase}";
            options.m_openDestination = true;
            m_asked.clear();
            m_answer = answer;
            std::vector<std::string> opened;
            run(items, options, std::nullopt, &opened);
            const bool asks = count > CopyPhotosThread::kFoldersOpenedWithoutAsking;
            EXPECT_EQ(m_asked, asks ? std::vector<std::string>{"Warning: 6 folders were generated.  Do you "
                                                               "still want to open them?"}
                                    : std::vector<std::string>{});
            EXPECT_EQ(opened.size(), !asks || answer == MessageBoxAnswer::Yes ? count : 0u);
            EXPECT_EQ(namesIn(dst.path()).size(), count);
        }
    }
}

TEST_F(CopyPhotosTest, GeocodingThroughTheInstalledGeocoderOrAskedAboutWithoutOne) {
    const DocumentItem::Ref item = photo(m_src.path(), "IMG_0001.JPG");
    IPTCRec stationery;
    stationery.m_reverseGeocodingApply[kGeocodeCity] = true;
    CopyOptions options;
    options.m_lastDestPath = m_dst.path();
    options.m_applyIPTC = true;
    m_answer = MessageBoxAnswer::No;
    run({item}, options, stationery);
    EXPECT_EQ(m_asked, std::vector<std::string>{CopyPhotosText::kGeocodingFailed});
    EXPECT_EQ(m_progress.GetStatus(), ProgressDialogInterface::kStatusCancelled);
    EXPECT_TRUE(namesIn(m_dst.path()).empty());

    // With a geocoder the copy of a photo with a position takes its place, and nothing is asked.
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    const std::string located = m_src.file("GPS.jpg");
    std::filesystem::copy_file(corpus + "/exiftool/GPS.jpg", located);
    std::filesystem::permissions(located, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    NRFFileType type = 0;
    ASSERT_EQ(NRFGetType(located.c_str(), &type, true), kNRFErrNone);
    IPTCSetReverseGeocoder([](const NRFImageInfoRec& image) -> std::optional<IPTCLocation> {
        IPTCLocation place;
        place.m_city = image.m_latitude > 54 ? "Hexham" : "elsewhere";
        return place;
    });
    m_asked.clear();
    run({DocumentItem::ForFile(located, type, false)}, options, stationery);
    IPTCSetReverseGeocoder(nullptr);
    EXPECT_TRUE(m_asked.empty());
    NRFImageInfoRef copy;
    ASSERT_EQ(NRFOpenImage(m_dst.file("GPS.jpg").c_str(), 0, &copy), kNRFErrNone);
    ASSERT_EQ(NRFGetImageInfo(copy.get()), kNRFErrNone);
    IPTCRec record;
    ASSERT_EQ(NRFLoadIPTC(copy.get(), &record), kNRFErrNone);
    std::string city;
    IPTCGetDataSet(&record, IPTC_CITY, 1, true, city);
    EXPECT_EQ(city, "Hexham");
}

TEST_F(CopyPhotosTest, MoveAcrossFileSystemsKeepsTheOriginalUntilTheCopyIsWhole) {
    // A folder on another file system: a tmpfs mounted here (as root), else /dev/shm, else no test.
    std::error_code ec;
    TempDir mountPoint;
    std::string tmpfs = mountPoint.path();
    const bool mounted = ::mount("tmpfs", tmpfs.c_str(), "tmpfs", 0, "size=16m") == 0;
    if (!mounted) {
        const int mountError = errno;
        tmpfs = "/dev/shm/lumo-copy-test-" + std::to_string(::getpid());
        struct stat source {
        }, target{};
        std::filesystem::create_directories(tmpfs, ec);
        if (ec || ::stat(tmpfs.c_str(), &target) != 0 || ::stat(m_src.path().c_str(), &source) != 0 ||
            source.st_dev == target.st_dev) {
            std::filesystem::remove_all(tmpfs, ec);
            GTEST_SKIP() << "no other file system: a tmpfs cannot be mounted (" << std::strerror(mountError)
                         << ") and /dev/shm is not one";
        }
    }
    const std::string original = m_src.file("IMG_0001.JPG");
    const DocumentItem::Ref item = photo(m_src.path(), "IMG_0001.JPG");
    const std::string bytes = readWholeFile(original);
    CopyOptions options;
    options.m_lastDestPath = tmpfs;
    options.m_moveFiles = true;
    options.m_clearMoveSetting = true;

    // The copy's bytes fail half way: the original stays, nothing is left at the destination, the user
    // hears of it once, and the photo counts as failed.
    lumo::injectFileFault({.op = lumo::FileFault::Op::Write,
                           .error = ENOSPC,
                           .pathContains = tmpfs,
                           .afterBytes = bytes.size() / 2});
    run({item}, options);
    lumo::clearFileFaults();
    EXPECT_EQ(m_progress.GetStatus(), ProgressDialogInterface::kStatusFailed);
    EXPECT_EQ(m_asked, std::vector<std::string>{CopyPhotosText::kErrors});
    EXPECT_EQ(readWholeFile(original), bytes);
    EXPECT_TRUE(namesIn(tmpfs).empty());

    // Without the fault the photo moves whole.
    ProgressDialogInterface again;
    CopyPhotosThread thread({item}, options, &again);
    ASSERT_TRUE(thread.Start());
    thread.Join();
    EXPECT_EQ(again.GetStatus(), 0u);
    EXPECT_FALSE(std::filesystem::exists(original));
    EXPECT_EQ(readWholeFile(tmpfs + "/IMG_0001.JPG"), bytes);
    if (mounted)
        ::umount2(tmpfs.c_str(), MNT_DETACH);
    else
        std::filesystem::remove_all(tmpfs, ec);
}

TEST_F(CopyPhotosTest, TemplateGoesIntoTheCopiesOnly) {
    const std::string original = m_src.file("IMG_0001.JPG");
    const DocumentItem::Ref item = photo(m_src.path(), "IMG_0001.JPG");
    {
        NRFImageInfoRef record;
        ASSERT_EQ(NRFOpenImage(original.c_str(), 0, &record), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
        IPTCRec own;
        IPTCSetDataSet(&own, IPTC_CAPTION, 1, "own caption");
        IPTCSetDataSet(&own, IPTC_CITY, 1, "Paris");
        ASSERT_EQ(DoSaveIPTC(record.get(), own), kNRFErrNone);
    }
    const std::string before = readWholeFile(original);
    // Headline set, City flagged but empty: the copy's city is cleared.
    IPTCRec stationery;
    IPTCSetDataSet(&stationery, IPTC_HEADLINE, 1, "From the template");
    stationery.m_applyFlags[IPTCFieldIndexOf(IPTC_HEADLINE)] = 1;
    stationery.m_applyFlags[IPTCFieldIndexOf(IPTC_CITY)] = 1;
    CopyOptions options;
    options.m_lastDestPath = m_dst.path();
    options.m_applyIPTC = true;
    run({item}, options, stationery);
    EXPECT_EQ(m_progress.GetStatus(), 0u);
    EXPECT_EQ(readWholeFile(original), before);

    NRFImageInfoRef copy;
    ASSERT_EQ(NRFOpenImage(m_dst.file("IMG_0001.JPG").c_str(), 0, &copy), kNRFErrNone);
    ASSERT_EQ(NRFGetImageInfo(copy.get()), kNRFErrNone);
    IPTCRec written;
    ASSERT_EQ(NRFLoadIPTC(copy.get(), &written), kNRFErrNone);
    std::string text;
    EXPECT_TRUE(IPTCGetDataSet(&written, IPTC_HEADLINE, 1, true, text));
    EXPECT_EQ(text, "From the template");
    IPTCGetDataSet(&written, IPTC_CAPTION, 1, true, text);
    EXPECT_EQ(text, "own caption");
    text.clear();
    IPTCGetDataSet(&written, IPTC_CITY, 1, true, text);
    EXPECT_EQ(text, "");
}

TEST_F(CopyPhotosTest, OptionsLiveInTheSettingsAndMoveAndOverwriteClearAfterUse) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    CopyOptions options;
    options.m_destinationType = kCopyToFolderUnderRoot;
    options.m_toParentFolderPath = m_dst.path();
    options.m_toFolderPath = "{filenamebase}";
    options.m_renameString = "{seqn}";
    options.m_renameCopiedFiles = options.m_applyIPTC = options.m_waveFiles = true;
    options.m_moveFiles = options.m_overwriteFiles = options.m_clearMoveSetting = true;
    ASSERT_TRUE(options.Save());
    const CopyOptions loaded = CopyOptions::Load();
    EXPECT_EQ(loaded.m_destinationType, kCopyToFolderUnderRoot);
    EXPECT_EQ(loaded.m_toFolderPath, "{filenamebase}");
    EXPECT_EQ(loaded.m_renameString, "{seqn}");
    EXPECT_EQ(loaded.CopyFlags(),
              kCopyApplyMetadata | kCopySoundFile | kCopyRenameTemplate | kCopyMove | kCopyOverwrite);
    EXPECT_STREQ(loaded.DialogTitle(), "Move Options");

    // The dialog's snapshot keeps every option under its control's name; what it lacks stays.
    ASSERT_TRUE(loaded.SaveSettingsSnapshot());
    CopyOptions fromSnapshot;
    fromSnapshot.m_lastDestPath = "/picked";
    ASSERT_TRUE(fromSnapshot.LoadSettingsSnapshot());
    EXPECT_EQ(fromSnapshot.ToSettingsSnapshot(), loaded.ToSettingsSnapshot());
    EXPECT_EQ(fromSnapshot.m_lastDestPath, "/picked");
    const CILA::VObject snapshot = loaded.ToSettingsSnapshot();
    ASSERT_NE(snapshot.fetch("MovePhotosCheckbox"), nullptr);
    EXPECT_TRUE(snapshot.fetch("MovePhotosCheckbox")->getbool());
    EXPECT_EQ(snapshot.fetch("DestinationType")->getint(), kCopyToFolderUnderRoot);
    EXPECT_EQ(snapshot.fetch("CopyToFolderRootPath")->getstr(), m_dst.path());

    // A run clears "move" (asked to) and keeps "overwrite" (not asked to).
    CopyOptions copying;
    copying.m_lastDestPath = m_dst.path();
    copying.m_clearMoveSetting = true;
    run({photo(m_src.path(), "IMG_0001.JPG")}, copying);
    const CopyOptions after = CopyOptions::Load();
    EXPECT_FALSE(after.m_moveFiles);
    EXPECT_TRUE(after.m_overwriteFiles);
    CPreferences::ClosePreferences();
}
