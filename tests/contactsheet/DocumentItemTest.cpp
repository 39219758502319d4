// Document items (attributes, loading, the change operations and their signal) and the selection set.

#include "contactsheet/DocumentItem.h"
#include "NRF/NRF.h"
#include "app/LumoPaths.h"
#include "cache/CachedImage.h"
#include "contactsheet/DocumentMetadataPreload.h"
#include "contactsheet/DocumentSelection.h"
#include "db/LumoSortCache.h"
#include "fileops/LumoCopyFile.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include <sys/stat.h>

using lumo::test::JpegBuilder;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

class DocumentItemTest : public lumo::test::PhotoEngineTest {};

TEST_F(DocumentItemTest, ItemWithoutHandleOrRecordGivesEmptyValues) {
    DocumentItem empty(nullptr);
    EXPECT_EQ(NRFFileTypeString(empty.FileType()), "????");
    EXPECT_EQ(empty.FullPath(), "");
    EXPECT_EQ(empty.Rating(), 0);
    EXPECT_TRUE(empty.AllFiles().empty());
    EXPECT_NE(empty.Load(), 0u);
    EXPECT_FALSE(empty.SetRating(2));
    EXPECT_EQ(empty.DocumentNumber(), -1);

    // A scanned item before its record is read: the scan's type, no record, nothing read.
    const auto item = DocumentItem::ForFile("/nowhere/IMG_1.CR2", NRFMakeFileType("CCR2"), true);
    EXPECT_EQ(NRFFileTypeString(item->FileType()), "CCR2");
    EXPECT_TRUE(item->IsRaw());
    EXPECT_FALSE(item->IsLoaded());
    EXPECT_EQ(item->FileName(), "IMG_1.CR2");
    EXPECT_EQ(item->FileSize(), 0u);
    EXPECT_EQ(item->UniqueID().size(), 32u);
    EXPECT_NE(item->Load(), 0u); // no such file
}

TEST_F(DocumentItemTest, LoadPublishesTheRecordsOfPrimaryAndCompanion) {
    TempDir dir;
    writeWholeFile(dir.file("IMG_1.JPG"), JpegBuilder(32, 16).build());
    writeWholeFile(dir.file("IMG_1.jpeg"), JpegBuilder(16, 16).build());
    const auto item = DocumentItem::ForFile(dir.file("IMG_1.JPG"), kNRFTypeJPEG, false);
    item->SetCompanion(std::make_shared<CachedImage>(dir.file("IMG_1.jpeg")), kNRFTypeJPEG, false);
    EXPECT_EQ(item->Load(), 0u);
    ASSERT_NE(item->PrimaryRecord(), nullptr);
    EXPECT_EQ(item->PrimaryRecord(), item->Primary()->Record()); // the handle holds the published record
    EXPECT_EQ(item->FileSize(), std::filesystem::file_size(dir.file("IMG_1.JPG")));
    EXPECT_GT(item->ModificationTimeNs(), 0);
    EXPECT_EQ(item->FileType(), kNRFTypeJPEG);
    const NRFImageInfoRef before = item->PrimaryRecord();
    EXPECT_EQ(item->Load(), 0u); // unchanged files are not read again
    EXPECT_EQ(item->PrimaryRecord(), before);
    const std::vector<std::string> files = item->AllFiles();
    ASSERT_GE(files.size(), 2u);
    EXPECT_EQ(files[0], dir.file("IMG_1.JPG"));
    EXPECT_EQ(files[1], dir.file("IMG_1.jpeg"));
    EXPECT_TRUE(item->UpdateDocumentItem());
}

TEST_F(DocumentItemTest, ChangesFireChangedOnceAndAFailureLeavesTheItemAsItWas) {
    TempDir dir;
    TempDir cache;
    LumoSortCache::InitSortCache(cache.path());
    const std::string path = dir.file("photo.jpg");
    writeWholeFile(path, JpegBuilder(32, 16).build());
    const auto item = DocumentItem::ForFile(path, kNRFTypeJPEG, false);
    int changes = 0;
    item->keep(item->Changed.connect([&changes](DocumentItem&) { ++changes; }));

    LumoSortCache::setSortInfoFor(path, LumoSortCacheInfo{.Rating = 1});
    ASSERT_TRUE(item->SetRating(3)) << item->SetRating(3).message;
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(item->Rating(), 3);
    LumoSortCacheInfo info;
    EXPECT_FALSE(LumoSortCache::GetSortInfoFor(path, info)); // the row of the old state is gone

    const struct {
        const char* what;
        std::function<DocumentItem::Result()> run;
        std::function<bool()> check;
    } cases[] = {
        {"tag", [&] { return item->ToggleTag(); }, [&] { return item->Tag(); }},
        {"colour class", [&] { return item->SetColorClass(5); }, [&] { return item->ColorClass() == 5; }},
        {"clockwise", [&] { return item->RotateClockwise(); }, [&] { return item->Rotation() == 1; }},
        {"mirror", [&] { return item->MirrorHorizontally(); }, [&] { return item->Rotation() == 7; }},
        {"crop",
         [&] {
             return item->SetCrop(NRFNormalizedCrop{.left = 0.1, .top = 0.1, .right = 0.9, .bottom = 0.8});
         },
         [&] { return item->HasCrop(); }},
        {"remove crop", [&] { return item->RemoveCrop(); }, [&] { return !item->HasCrop(); }},
        {"clear tag", [&] { return item->ClearTag(); }, [&] { return !item->Tag(); }},
    };
    for (const auto& c : cases) {
        const int before = changes;
        const DocumentItem::Result result = c.run();
        EXPECT_TRUE(result) << c.what << ": " << result.message;
        EXPECT_TRUE(c.check()) << c.what;
        EXPECT_EQ(changes, before + 1) << c.what;
    }
    // What was written is what a new item reads.
    const auto reread = DocumentItem::ForFile(path, kNRFTypeJPEG, false);
    ASSERT_EQ(reread->Load(), 0u);
    EXPECT_EQ(reread->Rating(), 3);
    EXPECT_EQ(reread->ColorClass(), 5);

    // A file that cannot be written: the operation's text and the error, no signal, nothing changed.
    const NRFImageInfoRef record = item->PrimaryRecord();
    lumo::injectFileFault({.op = lumo::FileFault::Op::Write, .error = EROFS, .pathContains = dir.path()});
    lumo::injectFileFault({.op = lumo::FileFault::Op::Open, .error = EROFS, .pathContains = dir.path()});
    const DocumentItem::Result failed = item->SetRating(5);
    lumo::clearFileFaults();
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.message.rfind("While setting a rating an error occurred:\n", 0), 0u) << failed.message;
    EXPECT_GT(failed.message.size(), std::string("While setting a rating an error occurred:\n").size());
    EXPECT_EQ(changes, 1 + static_cast<int>(std::size(cases)));
    EXPECT_EQ(item->Rating(), 3);
    EXPECT_EQ(item->PrimaryRecord(), record);
    LumoSortCache::TerminateSortCache();
}

TEST_F(DocumentItemTest, PreloadReadsEveryItemOnAJobAndThenFilters) {
    TempDir dir;
    std::vector<DocumentItem::Ref> items;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
        writeWholeFile(dir.file(name), JpegBuilder(8, 8).build());
        items.push_back(DocumentItem::ForFile(dir.file(name), kNRFTypeJPEG, false));
    }
    std::vector<std::pair<std::size_t, std::size_t>> filtered;
    PreloadOptions options;
    options.batchSize = 2;
    options.applyFilter = [&](std::size_t first, std::size_t last) { filtered.push_back({first, last}); };
    EXPECT_TRUE(DocumentMetadataPreload::PreloadDocumentItems(nullptr, items, "test", options));
    for (const auto& item : items)
        EXPECT_TRUE(item->IsLoaded()) << item->FileName();
    EXPECT_EQ(filtered, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 3}}));

    // One item already loaded: no job, the filter at once.
    std::vector<DocumentItem::Ref> one = {items[0]};
    EXPECT_TRUE(DocumentMetadataPreload::PreloadDocumentItems(nullptr, one, "test", options));
    EXPECT_EQ(filtered.size(), 2u);
}

// A pair of files as one item: IMG_1.JPG with its companion IMG_1.jpeg.
DocumentItem::Ref pairIn(const TempDir& dir) {
    writeWholeFile(dir.file("IMG_1.JPG"), JpegBuilder(16, 16).build());
    writeWholeFile(dir.file("IMG_1.jpeg"), JpegBuilder(8, 8).build());
    const auto item = DocumentItem::ForFile(dir.file("IMG_1.JPG"), kNRFTypeJPEG, false);
    item->SetCompanion(std::make_shared<CachedImage>(dir.file("IMG_1.jpeg")), kNRFTypeJPEG, false);
    return item;
}

TEST_F(DocumentItemTest, RenameMovesPrimaryAndCompanionTogetherOrNeither) {
    TempDir dir;
    const auto item = pairIn(dir);
    int changes = 0;
    item->keep(item->Changed.connect([&changes](DocumentItem&) { ++changes; }));
    ASSERT_TRUE(item->Rename("NEW")) << item->Rename("NEW").message;
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(item->FullPath(), dir.file("NEW.JPG"));
    EXPECT_EQ(item->CompanionPath(), dir.file("NEW.jpeg"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("NEW.jpeg")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("IMG_1.JPG")));

    // The companion's new name is taken: the primary keeps its name too.
    writeWholeFile(dir.file("B.jpeg"), "taken");
    const DocumentItem::Result failed = item->Rename("B");
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.message.rfind("While renaming an error occurred:\n", 0), 0u) << failed.message;
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(std::filesystem::exists(dir.file("NEW.JPG")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("B.JPG")));
    EXPECT_EQ(item->FullPath(), dir.file("NEW.JPG"));
    EXPECT_FALSE(item->Rename("a/b"));

    // A camera's raw with its sidecar, joined with its JPEG: every file follows, each with its extension.
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        return;
    std::filesystem::copy_file(corpus + "/exiftool/CanonRaw.cr2", dir.file("IMG_7.CR2"));
    writeWholeFile(dir.file("IMG_7.XMP"), "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
    writeWholeFile(dir.file("IMG_7.JPG"), JpegBuilder(8, 8).build());
    const auto raw = DocumentItem::ForFile(dir.file("IMG_7.CR2"), NRFMakeFileType("CCR2"), true);
    raw->SetCompanion(std::make_shared<CachedImage>(dir.file("IMG_7.JPG")), kNRFTypeJPEG, false);
    ASSERT_EQ(raw->Load(), 0u);
    EXPECT_EQ(raw->AllFiles(), (std::vector<std::string>{dir.file("IMG_7.CR2"), dir.file("IMG_7.XMP"),
                                                         dir.file("IMG_7.JPG")}));
    ASSERT_TRUE(raw->Rename("Wedding_001")) << raw->Rename("Wedding_001").message;
    EXPECT_EQ(raw->AllFiles(),
              (std::vector<std::string>{dir.file("Wedding_001.CR2"), dir.file("Wedding_001.XMP"),
                                        dir.file("Wedding_001.JPG")}));
    for (const char* name : {"Wedding_001.CR2", "Wedding_001.XMP", "Wedding_001.JPG"})
        EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
}

TEST_F(DocumentItemTest, ImageCopyTakesTheCompanionUnderThePrimarysResultingName) {
    TempDir dir, destination;
    const auto item = pairIn(dir);
    for (int round = 0; round < 2; ++round) {
        CopyFileRequest request;
        request.destinationFolder = destination.path();
        std::string name, error;
        ASSERT_EQ(item->ImageCopy(request, name, &error), 1) << error;
        const std::string base = name.substr(0, name.rfind('.'));
        EXPECT_EQ(round == 0, name == "IMG_1.JPG") << name; // the second copy finds the name taken
        EXPECT_TRUE(std::filesystem::exists(destination.file(base + ".jpeg"))) << base;
        EXPECT_TRUE(error.empty()) << error;
    }
    EXPECT_TRUE(std::filesystem::exists(dir.file("IMG_1.jpeg"))); // a copy leaves the sources
    DocumentItem empty(nullptr);
    CopyFileRequest request;
    request.destinationFolder = destination.path();
    std::string name;
    EXPECT_EQ(empty.ImageCopy(request, name), 0);
}

// ---- selection

TEST(DocumentSelectionTest, BlocksCountAndNextSelected) {
    DocumentSelection selection;
    EXPECT_EQ(selection.nextSelected(DocumentSelection::kNone), 0xFFFFFFFFu);
    selection.select(511);
    selection.select(512);
    selection.select(512); // counted once
    EXPECT_EQ(selection.blockCount(), 2u);
    EXPECT_EQ(selection.count(), 2u);
    EXPECT_EQ(selection.nextSelected(DocumentSelection::kNone), 511u);
    EXPECT_EQ(selection.nextSelected(511), 512u);
    EXPECT_EQ(selection.nextSelected(512), 0xFFFFFFFFu);
    selection.deselect(7); // not selected: the count stays
    EXPECT_EQ(selection.count(), 2u);
    selection.deselect(511);
    EXPECT_FALSE(selection.isSelected(511));
    EXPECT_FALSE(selection.isSelected(100000)); // no such block
    EXPECT_EQ(selection.count(), 1u);
    selection.setFromList({3, 2000, 1});
    EXPECT_EQ(selection.count(), 3u);
    EXPECT_EQ(selection.numbers(), (std::vector<std::uint32_t>{1, 3, 2000}));
    selection.clear();
    EXPECT_EQ(selection.count(), 0u);
    EXPECT_EQ(selection.nextSelected(DocumentSelection::kNone), 0xFFFFFFFFu);
}

} // namespace
