// Renaming photos: the names, the refusals before anything is touched, the all-or-nothing passes and
// the journal that rolls back a rename cut short.

#include "fileops/RenamePhotosThread.h"
#include "fileops/RenamePhotosLogic.h"

#include "app/LumoPaths.h"
#include "background/ProgressDialogInterface.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "dyn_platform/DynPlatform.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestSupport.h"
#include "variables/VariableSequence.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include <unistd.h>

using lumo::test::namesIn;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

// A progress window with no user: a retry question is declined; `onMessage` sees every status text.
struct QuietProgress : ProgressDialogInterface {
    std::function<void(const std::string&, QuietProgress&)> onMessage;
    void SetMessage(const std::string& message) override {
        ProgressDialogInterface::SetMessage(message);
        if (onMessage)
            onMessage(message, *this);
    }
    std::uint32_t AskRetry(std::uint64_t) override { return kReplyCancel; }
};

class RenamePhotosThreadTest : public lumo::test::PhotoEngineTest {
protected:
    void SetUp() override {
        PhotoEngineTest::SetUp();
        ASSERT_TRUE(CPreferences::GetPreferences());
        setPreference(kPrefUseUppercaseExtensions, 2);
        setPreference(kPrefRenameResolutionStyle, 0);
    }
    void TearDown() override {
        CPreferences::ClosePreferences();
        PhotoEngineTest::TearDown();
    }
    static void setPreference(const char* key, std::int64_t value) {
        CPreferences::instance()->setInt(key, value);
    }

    // JPEG items for `names` in the folder.
    std::vector<DocumentItem::Ref> photos(const std::vector<std::string>& names) {
        std::vector<DocumentItem::Ref> items;
        for (const std::string& name : names) {
            writeWholeFile(m_folder + "/" + name, lumo::test::encodeJpeg(16, 16));
            items.push_back(DocumentItem::ForFile(m_folder + "/" + name, kNRFTypeJPEG, false));
        }
        return items;
    }
    std::vector<DocumentItem::Ref> numbered(int count) {
        std::vector<std::string> names;
        for (int i = 1; i <= count; ++i)
            names.push_back("IMG_000" + std::to_string(i) + ".JPG");
        return photos(names);
    }
    std::uint32_t rename(std::vector<DocumentItem::Ref> items, const std::string& namingTemplate,
                         QuietProgress& progress, std::string* shown = nullptr) {
        RenamePhotosThread thread(&progress, std::move(items), namingTemplate);
        thread.Run();
        EXPECT_TRUE(progress.IsFinished());
        if (shown)
            *shown = thread.ShownMessage();
        return progress.GetStatus();
    }

    // A fresh folder for the next photos.
    void freshFolder() {
        m_folder = m_dir.path() + "/" + std::to_string(++m_folders);
        lumo::createDirectories(m_folder);
    }

    TempDir m_dir;
    std::string m_folder = m_dir.path();
    int m_folders = 0;
};

} // namespace

TEST_F(RenamePhotosThreadTest, NewNames) {
    struct Case {
        std::string file, namingTemplate;
        int extensionCase;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"a.JPG", "new", 0, "new.jpg"},
        {"b.jpg", "new", 1, "new.JPG"},
        {"c.Jpg", "new", 2, "new.JPG"},
        {"d.jpg", "new", 3, "new.jpg"},
        {"e.JPG", "x/y:z*?\"<>|\\w", 2, "x-y-z-------w.JPG"},
        {"f", " spaced. ", 2, "spaced"},
        {"g", "dots...", 2, "dots"},
    };
    for (const Case& c : cases) {
        setPreference(kPrefUseUppercaseExtensions, c.extensionCase);
        auto item = photos({c.file})[0];
        VariableContext context;
        std::string error;
        EXPECT_EQ(ComputeRenamedFileName(c.namingTemplate, *item, context, error), c.expected) << c.file;
        EXPECT_EQ(error, "") << c.file;
    }
    setPreference(kPrefRenameResolutionStyle, 4);
    VariableContext context;
    std::string error;
    EXPECT_EQ(ComputeRenamedFileName("new", *photos({"h.JPG"})[0], context, error, true), "new01.JPG");
}

TEST_F(RenamePhotosThreadTest, RefusedBeforeAnythingIsTouched) {
    struct Case {
        int photos;
        std::string namingTemplate, expectedText;
    };
    const std::vector<Case> cases = {
        {9, "same", "many photos are being renamed to the exact same name, same.JPG."},
        {2, "{headline}",
         "while preparing to rename photo \"IMG_0001.JPG\".\n\nError: Renamed file name is empty.\n"},
    };
    for (const Case& c : cases) {
        freshFolder();
        auto items = numbered(c.photos);
        const auto before = namesIn(m_folder);
        QuietProgress progress;
        std::string shown;
        EXPECT_EQ(rename(items, c.namingTemplate, progress, &shown), ProgressDialogInterface::kStatusError);
        EXPECT_NE(shown.find("Renaming error:\nUnable to rename, because "), std::string::npos) << shown;
        EXPECT_NE(shown.find(c.expectedText), std::string::npos) << shown;
        EXPECT_NE(shown.find("with all photos retaining their original filenames."), std::string::npos);
        EXPECT_EQ(namesIn(m_folder), before);
    }
}

TEST_F(RenamePhotosThreadTest, EightToOneNameAndOneToItsOwn) {
    auto items = numbered(8);
    QuietProgress progress;
    ASSERT_EQ(rename(items, "same", progress), 0u);
    EXPECT_EQ(namesIn(m_folder),
              (std::vector<std::string>{"same.JPG", "sameA.JPG", "sameB.JPG", "sameC.JPG", "sameD.JPG",
                                        "sameE.JPG", "sameF.JPG", "sameG.JPG"}));
    EXPECT_EQ(items[7]->FileName(), "sameG.JPG");

    QuietProgress again;
    std::vector<std::string> seen;
    again.onMessage = [&](const std::string& m, QuietProgress&) { seen.push_back(m); };
    ASSERT_EQ(rename({items[0]}, "same", again), 0u);
    EXPECT_EQ(items[0]->FileName(), "same.JPG");
    EXPECT_NE(std::find(seen.begin(), seen.end(), "Preparing same.JPG for rename"), seen.end());
}

// A cancel or a failure in the second pass puts every photo back under its original name.
TEST_F(RenamePhotosThreadTest, SecondPassStoppedRestoresEveryName) {
    for (const bool cancel : {true, false}) {
        freshFolder();
        auto items = numbered(4);
        const auto before = namesIn(m_folder);
        QuietProgress progress;
        if (cancel)
            progress.onMessage = [](const std::string& m, QuietProgress& p) {
                if (m.rfind("Renaming IMG_0003", 0) == 0)
                    p.SetCancelled(true);
            };
        else // another program takes the name first
            progress.onMessage = [this](const std::string& m, QuietProgress&) {
                if (m.rfind("Renaming IMG_0003", 0) == 0)
                    writeWholeFile(m_folder + "/new_003.JPG", "taken");
            };
        SetSequence(SequenceKind::Sequence, {1, 3});
        std::string shown;
        const std::uint32_t status = rename(items, "new_{seqn}", progress, &shown);
        if (!cancel)
            lumo::removeFile(m_folder + "/new_003.JPG");
        EXPECT_EQ(status,
                  cancel ? ProgressDialogInterface::kStatusCancelled : ProgressDialogInterface::kStatusError);
        EXPECT_EQ(shown,
                  cancel ? "Rename Photos:\nOperation cancelled.  The original filenames will be restored."
                         : "Renaming error:\nAn error occurred while renaming photo \"IMG_0003.JPG\".\nThe "
                           "operation will be cancelled, and the original filenames will be restored.");
        EXPECT_EQ(namesIn(m_folder), before);
        EXPECT_EQ(items[0]->FileName(), "IMG_0001.JPG");
        // The numbers the rename took go back: the next photo gets 1 again.
        EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).next, 1);
        EXPECT_EQ(ListedRenameJournalFolders(), std::vector<std::string>{});
    }
}

TEST_F(RenamePhotosThreadTest, RawJpegPairAndSidecarRenamedTogether) {
    if (lumo::test::corpusFolder().empty())
        GTEST_SKIP() << "no corpus";
    const std::string dng = readWholeFile(lumo::test::corpusFolder() + "/exiftool/Nikon.nef");
    setPreference(kPrefUseUppercaseExtensions, 0);
    writeWholeFile(m_dir.file("P1.NEF"), dng);
    writeWholeFile(m_dir.file("P1.JPG"), lumo::test::encodeJpeg(16, 16));
    writeWholeFile(m_dir.file("P1.xmp"), "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
    auto item = DocumentItem::ForFile(m_dir.file("P1.NEF"), kNRFTypeADNG, true);
    item->SetCompanion(DocumentItem::ForFile(m_dir.file("P1.JPG"), kNRFTypeJPEG, false)->Primary(),
                       kNRFTypeJPEG, false);
    QuietProgress progress;
    ASSERT_EQ(rename({item}, "Trip", progress), 0u);
    EXPECT_EQ(namesIn(m_folder), (std::vector<std::string>{"Trip.jpg", "Trip.nef", "Trip.xmp"}));
}

// With the catalog service running, it hears of every renamed file, [old path, new path], in one call.
TEST_F(RenamePhotosThreadTest, CatalogServiceHearsOfTheRename) {
    auto items = numbered(2);
    auto& catalog = DynPlatform::instance();
    ASSERT_TRUE(DynPlatform::setup_dyn_platform_environment());
    ASSERT_TRUE(catalog.launch_dyn_platform({LUMO_CATALOGD, std::chrono::seconds(30), {}}))
        << catalog.lastError();
    QuietProgress progress;
    const std::uint32_t status = rename(items, "Trip_{seqn}", progress);
    ASSERT_TRUE(catalog.request("ping").ok); // the service handles its messages in order
    EXPECT_TRUE(catalog.dyn_platform_shutdown());
    ASSERT_EQ(status, 0u);
    const std::string log = readWholeFile(LumoPaths::logFolder() + "/dyn.log");
    for (const char* renamed : {"/IMG_0001.JPG -> ", "/IMG_0002.JPG -> "})
        EXPECT_NE(log.find(m_folder + renamed + m_folder + "/Trip_"), std::string::npos) << log;
}

// A rename killed in its second pass is rolled back from its journal.
TEST_F(RenamePhotosThreadTest, KilledRenameRecovered) {
    // The process that is killed is this test run again (the death test): it works in the same folder.
    // and lists its journal in the same cache folder.
    if (const char* folder = std::getenv("LUMO_TEST_RENAME_FOLDER")) {
        m_folder = folder;
        LumoPaths::initialise(LocationInputs{{}, std::getenv("LUMO_TEST_RENAME_CACHE"), {}});
    } else {
        ::setenv("LUMO_TEST_RENAME_FOLDER", m_folder.c_str(), 1);
        ::setenv("LUMO_TEST_RENAME_CACHE", LumoPaths::logFolder().c_str(), 1);
    }
    auto items = numbered(5);
    const auto before = namesIn(m_folder);
    // The kill: the process ends in the middle of the second pass, as a power cut would end it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            QuietProgress progress;
            progress.onMessage = [](const std::string& m, QuietProgress&) {
                if (m.rfind("Renaming IMG_0004", 0) == 0)
                    ::_exit(0);
            };
            RenamePhotosThread thread(&progress, items, "new_{seqn}");
            thread.Run();
            ::_exit(1);
        },
        ::testing::ExitedWithCode(0), "");
    ::unsetenv("LUMO_TEST_RENAME_FOLDER");
    ::unsetenv("LUMO_TEST_RENAME_CACHE");
    ASSERT_NE(namesIn(m_folder), before);
    // Start-up finds the folder in the cache folder's list, puts every file back and forgets it; a
    // listed folder that is gone is dropped.
    EXPECT_EQ(ListedRenameJournalFolders(), std::vector<std::string>{m_folder + "/"});
    ASSERT_TRUE(ListRenameJournalFolder(m_dir.path() + "/gone"));
    EXPECT_EQ(RecoverListedRenames(), 5);
    EXPECT_EQ(namesIn(m_folder), before);
    EXPECT_EQ(ListedRenameJournalFolders(), std::vector<std::string>{});
    EXPECT_EQ(RecoverInterruptedRename(m_folder), 0);
}

// A journal is only ever followed inside its folder, and never while the rename that wrote it runs.
TEST_F(RenamePhotosThreadTest, JournalRecoveryStaysSafe) {
    writeWholeFile(m_dir.file("keep.jpg"), "k");
    writeWholeFile(m_dir.file("_###_TMP_00000_a.jpg"), "a");
    RenameJournal journal;
    journal.entries = {{"../escape", "_###_TMP_00000_keep", "", {".jpg"}},
                       {"x", "..", "", {""}},
                       {"a", "_###_TMP_00000_a", "", {".jpg"}}};
    RenameJournal parsed;
    ASSERT_TRUE(ParseRenameJournal(RenameJournalText(journal), parsed));
    ASSERT_EQ(parsed.entries.size(), 1u);
    EXPECT_EQ(parsed.entries[0], journal.entries[2]);

    journal.owner = CurrentRenameJournalOwner(); // this process: still running
    EXPECT_TRUE(RenameJournalOwnerRuns(journal.owner));
    writeWholeFile(m_dir.file(kRenameJournalName), RenameJournalText(journal));
    EXPECT_EQ(RecoverInterruptedRename(m_dir.path()), 0);
    EXPECT_TRUE(lumo::fileExists(m_dir.file("_###_TMP_00000_a.jpg")));
    // Nor does a new rename in that folder overwrite it.
    QuietProgress progress;
    std::string shown;
    EXPECT_EQ(rename(photos({"b.jpg"}), "c", progress, &shown), ProgressDialogInterface::kStatusError);
    EXPECT_NE(shown.find("holds the journal of another rename"), std::string::npos) << shown;

    journal.owner.startTime += 1; // an earlier process of the same id
    writeWholeFile(m_dir.file(kRenameJournalName), RenameJournalText(journal));
    EXPECT_EQ(RecoverInterruptedRename(m_dir.path()), 1);
    EXPECT_EQ(namesIn(m_folder), (std::vector<std::string>{"a.jpg", "b.jpg", "keep.jpg"}));
}

TEST_F(RenamePhotosThreadTest, DialogLogic) {
    SetSequence(SequenceKind::Sequence, {12, 3});
    RenamePhotosLogic five(numbered(5));
    EXPECT_FALSE(five.NamesStayApart());
    EXPECT_EQ(
        five.Examples("trip_{seqn}"),
        (std::vector<std::string>{"5 photos to rename:", "1.  \"IMG_0001.JPG\" will become \"trip_012.JPG\"",
                                  "2.  \"IMG_0002.JPG\" will become \"trip_013.JPG\"", " ...",
                                  "5.  \"IMG_0005.JPG\" will become \"trip_016.JPG\""}));
    EXPECT_EQ(five.Examples(".x").back(), "Filenames cannot begin with a period ( . )");
    const auto sequenced = five.Refresh("trip_{seqn}");
    EXPECT_TRUE(sequenced.sequenceTicked && sequenced.renameEnabled);
    EXPECT_EQ(sequenced.label, "seqn = 12");
    const auto apart = five.Refresh("trip");
    EXPECT_FALSE(apart.renameEnabled);
    EXPECT_EQ(apart.label, "Please sequence or use another renaming variable.");
    EXPECT_FALSE(five.Refresh(".trip_{seqn}").renameEnabled);

    freshFolder();
    RenamePhotosLogic mixed(photos({"a.JPG", "b.TIF"}));
    EXPECT_TRUE(mixed.NamesStayApart());
    EXPECT_TRUE(mixed.Refresh("trip").renameEnabled);

    EXPECT_EQ(RenamePhotosLogic::InsertSequence("trip_", 5), "trip_{seqn}");
    EXPECT_EQ(RenamePhotosLogic::InsertSequence("a_b", 1), "a{seqn}_b");
    EXPECT_EQ(RenamePhotosLogic::RemoveSequence("{seqn}x{sequence}y{auto}"), "xy");
}
