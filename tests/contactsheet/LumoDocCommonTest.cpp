// The contact sheet document: ids, rescans, the arrangement file, removing and deleting items, batch
// changes and selection from names.

#include "contactsheet/LumoDocCommon.h"
#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "background/ProgressDialogInterface.h"
#include "contactsheet/ArrangementFile.h"
#include "contactsheet/DirectoryCache.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

using lumo::test::JpegBuilder;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace fs = std::filesystem;

namespace {

class LumoDocCommonTest : public lumo::test::PhotoEngineTest {
protected:
    static void photo(const TempDir& dir, const std::string& name) {
        static const std::string jpeg = JpegBuilder(16, 16).build();
        writeWholeFile(dir.file(name), jpeg);
    }
    static std::vector<std::string> names(const LumoDocCommon& doc) {
        std::vector<std::string> out;
        for (const DocumentItem::Ref& item : doc.Items())
            out.push_back(item->FileName() + (item->HasCompanion()
                                                  ? "+" + fs::path(item->CompanionPath()).filename().string()
                                                  : ""));
        return out;
    }
    static std::set<std::string> selected(const LumoDocCommon& doc) {
        std::set<std::string> out;
        for (const DocumentItem::Ref& item : doc.SelectedItems())
            out.insert(item->FileName());
        return out;
    }
};

// Sets the file's modification time `seconds` after the epoch.
void touch(const std::string& path, long seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(LumoDocCommonTest, DocumentsHaveTheirOwnIdsAndFreeFunctionsRefuseNull) {
    LumoDocCommon a, b;
    EXPECT_NE(a.DocumentID(), 0u);
    EXPECT_GT(b.DocumentID(), a.DocumentID());
    EXPECT_EQ(DocumentGetDocumentID(&b), b.DocumentID());
    EXPECT_EQ(DocumentGetDocumentID(nullptr), 0u);
    EXPECT_EQ(DocumentGetItem(nullptr, 0), nullptr);
    EXPECT_EQ(DocumentGetItem(&a, 0), nullptr); // empty sheet: no cell 0
    EXPECT_EQ(a.GetDocumentItemAt(7), nullptr);
    EXPECT_EQ(PrivateDocumentLastRescanDigest(nullptr), "");
    DocumentRemoveItems(nullptr, {});
    EXPECT_TRUE(DocumentDeleteMarkedItems(nullptr, {}, false, nullptr).empty());
}

TEST_F(LumoDocCommonTest, RescanKeepsItemsAndSelectionByFileAndStopsAtAnUnchangedDigest) {
    TempDir dir;
    for (const char* name : {"b.jpg", "a.jpg", "c.jpg"})
        photo(dir, name);
    LumoDocCommon doc;
    int signals = 0;
    lumo::ScopedConnection connection = doc.ItemsChanged.connect([&] { ++signals; });
    ASSERT_TRUE(doc.OnOpenDocument(dir.path()));
    EXPECT_EQ(signals, 1);
    EXPECT_EQ(doc.PrimaryPath(), dir.path());
    ASSERT_EQ(names(doc), (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}));
    for (std::uint32_t n = 0; n < 3; ++n)
        EXPECT_EQ(doc.GetDocumentItemAt(n)->DocumentNumber(), static_cast<std::int32_t>(n));
    const std::vector<DocumentItem::Ref> before = doc.Items();
    const std::string digest = doc.LastRescanDigest();
    doc.WithSelection([](DocumentSelection& s) { s.select(2); }); // c.jpg
    doc.WithPreviewSelection([](DocumentSelection& s) { s.select(0); });

    // Unchanged: nothing fires, the same items, the preview selection kept too.
    ASSERT_TRUE(doc.Rescan());
    EXPECT_EQ(signals, 1);
    EXPECT_EQ(doc.Items(), before);
    EXPECT_EQ(doc.LastRescanDigest(), digest);
    doc.WithPreviewSelection([](DocumentSelection& s) { EXPECT_EQ(s.count(), 1u); });

    // A new file in front: the old items stay the same objects, renumbered, and
    // the selection follows c.jpg to its new number; the preview selection is cleared.
    // A touched file changes the digest: the rescan runs through, keeping the very same items.
    touch(dir.file("b.jpg"), 1000000000);
    ASSERT_TRUE(doc.Rescan());
    EXPECT_NE(doc.LastRescanDigest(), digest);
    EXPECT_EQ(doc.Items(), before);
    EXPECT_EQ(signals, 1);
    doc.WithPreviewSelection([](DocumentSelection& s) { s.select(0); });
    photo(dir, "0.jpg");
    ASSERT_TRUE(doc.Rescan());
    EXPECT_EQ(signals, 2);
    ASSERT_EQ(names(doc), (std::vector<std::string>{"0.jpg", "a.jpg", "b.jpg", "c.jpg"}));
    EXPECT_EQ(doc.GetDocumentItemAt(1), before[0]);
    EXPECT_EQ(doc.GetDocumentItemAt(3), before[2]);
    EXPECT_EQ(doc.GetDocumentItemAt(3)->DocumentNumber(), 3);
    EXPECT_EQ(selected(doc), (std::set<std::string>{"c.jpg"}));
    doc.WithPreviewSelection([](DocumentSelection& s) { EXPECT_EQ(s.count(), 0u); });

    // A vanished file leaves; removing an item leaves its file.
    fs::remove(dir.file("a.jpg"));
    ASSERT_TRUE(doc.Rescan());
    ASSERT_EQ(names(doc), (std::vector<std::string>{"0.jpg", "b.jpg", "c.jpg"}));
    doc.DocumentRemoveItems({doc.GetDocumentItemAt(0)});
    EXPECT_EQ(names(doc), (std::vector<std::string>{"b.jpg", "c.jpg"}));
    EXPECT_TRUE(fs::exists(dir.file("0.jpg")));
    EXPECT_EQ(selected(doc), (std::set<std::string>{"c.jpg"}));
    EXPECT_EQ(doc.GetDocumentItemAt(1)->DocumentNumber(), 1);

    // An unreadable folder keeps the items.
    fs::remove_all(dir.path());
    EXPECT_FALSE(doc.Rescan());
    EXPECT_EQ(doc.ItemCount(), 2u);
}

// What `run` logged with the debug flags of `flags` on; the cache folder stays where it was.
std::string logOf(const std::string& flags, const std::function<void()>& run) {
    TempDir settings;
    writeWholeFile(settings.file("LumoDebug.txt"), flags);
    LumoPaths::initialise(ResolvedLocations{settings.path(), LumoPaths::imageCacheFolder()});
    reloadDebugFlags();
    LumoLogger::instance().flush();
    std::uint64_t start = 0;
    lumo::fileSize(LumoPaths::logFilePath(), start);
    run();
    LumoLogger::instance().flush();
    const std::string log = lumo::test::readWholeFile(LumoPaths::logFilePath()).substr(start);
    LumoPaths::initialise(LocationInputs{});
    reloadDebugFlags();
    return log;
}

bool has(const std::string& log, const char* line) {
    return log.find(line) != std::string::npos;
}

TEST_F(LumoDocCommonTest, ASheetOpenedAgainStartsFromTheDirectoryCache) {
    TempDir dir;
    for (const char* name : {"a.jpg", "b.jpg", "IMG_1.JPG"})
        photo(dir, name);
    writeWholeFile(dir.file("IMG_1.CR2"), "typed by name");
    const std::string cacheFile = DirectoryCachePath({dir.path()});
    // The items' names, and each item's number, types and digest as a line.
    const auto open = [&](std::vector<std::string>& shown, std::vector<std::string>* detail = nullptr) {
        return logOf("SHOW_DIRSCAN_TIME yes\n", [&] {
            LumoDocCommon doc;
            ASSERT_TRUE(doc.OnOpenDocument(dir.path()));
            shown = names(doc);
            for (const DocumentItem::Ref& item : doc.Items()) {
                // Stamped as listed, without reading the file.
                EXPECT_FALSE(item->IsLoaded());
                EXPECT_EQ(item->FileSize(), fs::file_size(item->FullPath())) << item->FullPath();
                if (detail)
                    detail->push_back(item->FileName() + " " + std::to_string(item->DocumentNumber()) + " " +
                                      std::to_string(item->ScannedType()) + " " +
                                      std::to_string(item->IsRaw()) + " " +
                                      std::to_string(item->CompanionScannedType()) + " " +
                                      std::to_string(item->CompanionIsRaw()) + " " + doc.LastRescanDigest());
            }
        });
    };
    std::vector<std::string> first, again, detail1, detail2;
    std::string log = open(first, &detail1);
    EXPECT_TRUE(has(log, "RESCAN: INDUCT NEW ITEMS")) << log;
    EXPECT_FALSE(has(log, "RESCAN: DIRCACHE ADD ITEMS")) << log;
    ASSERT_TRUE(fs::exists(cacheFile));
    EXPECT_EQ(first, (std::vector<std::string>{"IMG_1.CR2+IMG_1.JPG", "a.jpg", "b.jpg"}));

    // Unchanged: the cached items stand, the scan stops at the digest.
    log = open(again, &detail2);
    EXPECT_TRUE(has(log, "RESCAN: DIRCACHE ADD ITEMS")) << log;
    EXPECT_TRUE(has(log, "No directory content changes detected")) << log;
    EXPECT_FALSE(has(log, "RESCAN: INDUCT NEW ITEMS")) << log;
    EXPECT_EQ(again, first);
    EXPECT_EQ(detail2, detail1);

    // Changed since: the scan goes on from the cached items, and keeps the new listing.
    touch(dir.file("b.jpg"), 1000000000);
    photo(dir, "0.jpg");
    fs::remove(dir.file("a.jpg"));
    log = open(again);
    EXPECT_TRUE(has(log, "RESCAN: DIRCACHE ADD ITEMS")) << log;
    EXPECT_TRUE(has(log, "RESCAN: INDUCT NEW ITEMS")) << log;
    EXPECT_EQ(again, (std::vector<std::string>{"0.jpg", "IMG_1.CR2+IMG_1.JPG", "b.jpg"}));
    EXPECT_TRUE(has(open(again), "No directory content changes detected"));

    // A cache file that is damaged, or kept for another folder, is no cache.
    TempDir other;
    photo(other, "x.jpg");
    LumoDocCommon().OnOpenDocument(other.path());
    const std::string good = lumo::test::readWholeFile(cacheFile);
    for (const std::string& bad : {good.substr(0, good.size() / 2), good.substr(0, good.size() - 1),
                                   good + "x", std::string("LUMODIRX") + good.substr(8),
                                   lumo::test::readWholeFile(DirectoryCachePath({other.path()}))}) {
        writeWholeFile(cacheFile, bad);
        log = open(again);
        EXPECT_TRUE(has(log, "DirectoryCache: ignoring")) << log;
        EXPECT_FALSE(has(log, "RESCAN: DIRCACHE ADD ITEMS")) << log;
        EXPECT_EQ(again, (std::vector<std::string>{"0.jpg", "IMG_1.CR2+IMG_1.JPG", "b.jpg"}));
        EXPECT_TRUE(has(open(again), "No directory content changes detected")); // written anew
    }

    // A folder that cannot be read shows nothing of what the cache remembers.
    fs::remove_all(dir.path());
    LumoDocCommon gone;
    EXPECT_FALSE(gone.OnOpenDocument(dir.path()));
    EXPECT_EQ(gone.ItemCount(), 0u);
}

TEST_F(LumoDocCommonTest, DirectoryCacheRefusesListingsTheScanNeverMakes) {
    const std::vector<std::string> folders{"/photos/a", "/photos/b"};
    const auto entry = [](const std::string& folder, const std::string& name) {
        FolderScanEntry e{folder, {}};
        e.entry.name = name;
        e.entry.size = 10;
        e.entry.lastWriteTime = -5;
        e.entry.fileType = kNRFTypeJPEG;
        return e;
    };
    FolderScanResult listing;
    listing.digest = std::string(32, 'a');
    listing.entries = {entry("/photos/a", "1.jpg"), entry("/photos/a", "2.jpg"), entry("/photos/b", "1.jpg")};
    listing.entries[2].entry.isRaw = true;
    listing.entries[2].entry.fileType = kNRFTypeProxy;
    FolderScanResult back;
    std::string why;
    ASSERT_TRUE(DirectoryCacheDecode(DirectoryCacheEncode(folders, true, listing), folders, true, back, &why))
        << why;
    ASSERT_EQ(back.entries.size(), 3u);
    EXPECT_EQ(back.digest, listing.digest);
    EXPECT_EQ(back.entries[2].path(), "/photos/b/1.jpg");
    EXPECT_EQ(back.entries[1].entry.lastWriteTime, -5);
    EXPECT_TRUE(back.entries[2].entry.isRaw);
    EXPECT_FALSE(DirectoryCacheDecode(DirectoryCacheEncode(folders, true, listing), folders, false, back));
    EXPECT_FALSE(
        DirectoryCacheDecode(DirectoryCacheEncode(folders, true, listing), {"/photos/a"}, true, back));

    const std::vector<std::function<void(FolderScanResult&)>> spoil = {
        [](FolderScanResult& l) { l.entries[0].entry.name = "x/1.jpg"; },
        [](FolderScanResult& l) { l.entries[0].entry.name = std::string("1\0.jpg", 6); },
        [](FolderScanResult& l) { l.entries[0].entry.name = ".."; },
        [](FolderScanResult& l) { l.entries[0].entry.name = ""; },
        [](FolderScanResult& l) { l.entries[1].entry.name = "1.jpg"; },     // twice
        [](FolderScanResult& l) { std::swap(l.entries[0], l.entries[1]); }, // out of order
        [](FolderScanResult& l) { std::swap(l.entries[0], l.entries[2]); }, // folders going back
        [](FolderScanResult& l) { l.entries[0].folder = "/elsewhere"; },    // no such folder
        [](FolderScanResult& l) { l.entries[0].entry.attributes = kEntryDirectory; },
        [](FolderScanResult& l) { l.entries[0].entry.fileType = NRFMakeFileType("ILGL"); },
        [](FolderScanResult& l) { l.entries[0].entry.size = ~std::uint64_t{0}; }, // negative when stored
        [](FolderScanResult& l) { l.digest = "not a digest"; },
    };
    for (std::size_t i = 0; i < spoil.size(); ++i) {
        FolderScanResult bad = listing;
        spoil[i](bad);
        EXPECT_FALSE(DirectoryCacheDecode(DirectoryCacheEncode(folders, true, bad), folders, true, back))
            << i;
        EXPECT_TRUE(back.entries.empty()) << i;
    }
}

TEST_F(LumoDocCommonTest, RawAndJpegJoinAndSeparateWithTheSelection) {
    TempDir dir;
    photo(dir, "IMG_1.JPG");
    writeWholeFile(dir.file("IMG_1.CR2"), "typed by name");
    photo(dir, "IMG_2.JPG");
    LumoDocCommon doc;
    doc.SetJoinRawPlusJpeg(false);
    ASSERT_TRUE(doc.OnOpenDocument(dir.path()));
    ASSERT_EQ(names(doc), (std::vector<std::string>{"IMG_1.CR2", "IMG_1.JPG", "IMG_2.JPG"}));
    doc.WithSelection([](DocumentSelection& s) { s.select(1); }); // IMG_1.JPG
    doc.SetJoinRawPlusJpeg(true);
    ASSERT_EQ(names(doc), (std::vector<std::string>{"IMG_1.CR2+IMG_1.JPG", "IMG_2.JPG"}));
    EXPECT_EQ(selected(doc), (std::set<std::string>{"IMG_1.CR2"}));
    doc.SetJoinRawPlusJpeg(false);
    ASSERT_EQ(names(doc), (std::vector<std::string>{"IMG_1.CR2", "IMG_1.JPG", "IMG_2.JPG"}));
    EXPECT_EQ(selected(doc), (std::set<std::string>{"IMG_1.CR2", "IMG_1.JPG"}));

    // Selecting from a list of names: by file name or without the extension.
    doc.WithSelection([](DocumentSelection& s) { s.clear(); });
    EXPECT_EQ(
        doc.SelectFromNames({"IMG_2.JPG", "/elsewhere/IMG_1"}),
        "There were 2 items in the selects file(s), all matched one or more files in the Contact Sheet.");
    EXPECT_EQ(selected(doc), (std::set<std::string>{"IMG_1.CR2", "IMG_1.JPG", "IMG_2.JPG"}));
    EXPECT_EQ(doc.SelectFromNames({"IMG_2.JPG", "IMG_9.JPG", "x"}),
              "There were 3 items in the selects file(s), 1 matches were found.");
}

TEST_F(LumoDocCommonTest, ArrangementSurvivesAReopenAndNewFilesFollowIt) {
    TempDir dir;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        photo(dir, name);
    {
        LumoDocCommon doc;
        ASSERT_TRUE(doc.OnOpenDocument(dir.path()));
        ASSERT_EQ(doc.SaveArrangement({"c.jpg", "a.jpg", "gone.jpg", "b.jpg"}), 0);
    }
    photo(dir, "0.jpg");
    LumoDocCommon doc;
    ASSERT_TRUE(doc.OnOpenDocument(dir.path()));
    ContactSheetSortSettings settings;
    settings.sortType = kSortArrangement;
    const std::optional<SortedSheet> sorted = doc.SortNow(settings);
    ASSERT_TRUE(sorted);
    std::vector<std::string> shown;
    for (const std::uint32_t index : sorted->result.order)
        shown.push_back(sorted->items[index]->FileName());
    EXPECT_EQ(shown, (std::vector<std::string>{"c.jpg", "a.jpg", "b.jpg", "0.jpg"}));

    // The file as written: indented XML, items in order, no temporary left beside it.
    const std::string text = lumo::test::readWholeFile(dir.file(kArrangementFileName));
    EXPECT_NE(text.find("<Arrangement>\n  <FilesArray>\n    <item_00000000>c.jpg</item_00000000>"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 5);

    // The window's saved state opens the same sheet again.
    const CILA::VObject state = doc.SavedState();
    EXPECT_EQ(state.fetch("document_paths")->at(0).getstr(), dir.path());
    EXPECT_TRUE(state.fetch("view_combined")->getbool());
    LumoDocCommon restored;
    ASSERT_TRUE(restored.RestoreState(state));
    EXPECT_EQ(names(restored), names(doc));
    EXPECT_FALSE(restored.RestoreState(CILA::VObject("not a state")));

    // The folder moves: the sheet follows it.
    doc.DocumentPathChangedFromTo(dir.path(), dir.path() + "-moved");
    EXPECT_EQ(doc.PrimaryPath(), dir.path() + "-moved");
}

TEST_F(LumoDocCommonTest, ArrangementFileFormsAndHostileInput) {
    // Multi-folder form round trip, with names XML cannot carry as text.
    ArrangementData multi;
    multi.multiFolder = true;
    multi.paths = {"/photos/a", "/photos/b & c"};
    multi.files = {"/photos/b & c/<x>.jpg", std::string("/photos/a/\xff\x01.jpg"),
                   "/photos/a/caf\xc3\xa9.jpg"};
    ArrangementData back;
    const std::string text = ArrangementToXML(multi);
    EXPECT_NE(text.find("<Multi-Folder>"), std::string::npos);
    EXPECT_NE(text.find("<PathsArray>"), std::string::npos);
    ASSERT_TRUE(ArrangementFromXML(text, back));
    EXPECT_TRUE(back.multiFolder);
    EXPECT_EQ(back.paths, multi.paths);
    EXPECT_EQ(back.files, multi.files);

    // The same folders in another order find the same file, in the cache folder.
    const std::string path = ArrangementFilePath({"/photos/a", "/photos/b"});
    EXPECT_EQ(path, ArrangementFilePath({"/photos/b", "/photos/a"}));
    EXPECT_EQ(path.find("/photos/"), std::string::npos);
    EXPECT_EQ(ArrangementFilePath({"/photos/a/"}), "/photos/a/.lumoarrangement.dat");

    const std::string entities = "<?xml version=\"1.0\"?><!DOCTYPE Arrangement [<!ENTITY a \"xxxxxxxx\">]>"
                                 "<Arrangement><FilesArray><item_00000000>&a;</item_00000000></FilesArray>"
                                 "</Arrangement>";
    const std::string external =
        "<?xml version=\"1.0\"?><!DOCTYPE Arrangement SYSTEM \"http://127.0.0.1:1/x\">"
        "<Arrangement><FilesArray/></Arrangement>";
    for (const std::string& bad : {entities, external, std::string("<Arrangement>"), std::string("<Other/>"),
                                   std::string("<Arrangement/>"), std::string()})
        EXPECT_FALSE(ArrangementFromXML(bad, back)) << bad;
    // Too many items is no arrangement.
    std::string many = "<Arrangement><FilesArray>";
    for (std::size_t i = 0; i <= kArrangementMaxItems; ++i)
        many += "<item_0/>";
    EXPECT_FALSE(ArrangementFromXML(many + "</FilesArray></Arrangement>", back));
}

struct TrashHome {
    TrashHome() : m_old(std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "") {
        ::setenv("XDG_DATA_HOME", m_dir.path().c_str(), 1);
    }
    ~TrashHome() {
        if (m_old.empty())
            ::unsetenv("XDG_DATA_HOME");
        else
            ::setenv("XDG_DATA_HOME", m_old.c_str(), 1);
    }
    std::string files(const std::string& name) const { return m_dir.file("Trash/files/" + name); }
    TempDir m_dir;
    std::string m_old;
};

TEST_F(LumoDocCommonTest, DeletedItemsGoToTheTrashWithEveryFileTheyOwn) {
    TrashHome trash;
    TempDir dir;
    photo(dir, "IMG_1.JPG");
    writeWholeFile(dir.file("IMG_1.NEF"), "typed by name");
    writeWholeFile(dir.file("IMG_1.XMP"), "<x:xmpmeta/>");
    photo(dir, "IMG_2.JPG");
    photo(dir, "IMG_3.JPG");
    LumoDocCommon doc;
    ASSERT_TRUE(doc.OnOpenDocument(dir.path()));
    ASSERT_EQ(names(doc), (std::vector<std::string>{"IMG_1.NEF+IMG_1.JPG", "IMG_2.JPG", "IMG_3.JPG"}));

    ProgressDialogInterface progress;
    const std::vector<std::string> failures =
        doc.DocumentDeleteMarkedItems({doc.GetDocumentItemAt(0), doc.GetDocumentItemAt(1)}, false, &progress);
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_EQ(progress.GetMessage(), "Preparing to move files to the Trash...");
    EXPECT_EQ(names(doc), (std::vector<std::string>{"IMG_3.JPG"}));
    for (const char* name : {"IMG_1.JPG", "IMG_1.NEF", "IMG_1.XMP", "IMG_2.JPG"}) {
        EXPECT_FALSE(fs::exists(dir.file(name))) << name;
        EXPECT_TRUE(fs::exists(trash.files(name))) << name;
    }

    // Permanently: gone, not in the Trash.
    EXPECT_TRUE(doc.DocumentDeleteMarkedItems(doc.Items(), true, &progress).empty());
    EXPECT_EQ(progress.GetMessage(), "Preparing to delete files...");
    EXPECT_EQ(doc.ItemCount(), 0u);
    EXPECT_FALSE(fs::exists(dir.file("IMG_3.JPG")));
    EXPECT_FALSE(fs::exists(trash.files("IMG_3.JPG")));
}

TEST_F(LumoDocCommonTest, BatchChangesReportEachItem) {
    TempDir dir;
    photo(dir, "a.jpg");
    photo(dir, "b.jpg");
    LumoDocCommon doc;
    ASSERT_TRUE(doc.OnOpenDocument(dir.path()));
    ProgressDialogInterface progress;
    BatchChange change;
    change.operation = BatchChange::SetRating;
    change.value = 4;
    const std::vector<std::string> failures = DocumentBatchChange(doc.Items(), change, &progress);
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_EQ(progress.GetMessage(), "Performing operation on 2 of 2 items...");
    for (const DocumentItem::Ref& item : doc.Items())
        EXPECT_EQ(item->Rating(), 4);
    // On a thread of its own, as the window runs it.
    change.operation = BatchChange::SetCrop;
    change.crop = {0.1, 0.1, 0.9, 0.9};
    ProgressDialogInterface window;
    CThreadedJob job(std::make_unique<BatchChangeJob>(doc.Items(), change), &window);
    ASSERT_TRUE(job.Start());
    job.Join();
    EXPECT_TRUE(window.IsFinished());
    EXPECT_EQ(window.GetStatus(), 0u);
    EXPECT_EQ(window.GetMessage(), "Setting Crop on 2 of 2");
    for (const DocumentItem::Ref& item : doc.Items())
        EXPECT_TRUE(item->HasCrop());
}

} // namespace
