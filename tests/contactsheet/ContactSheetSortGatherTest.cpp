// The gather step of a sort job on real files: keys from the file, from a fresh sort-cache row, or
// read again when the row is stale.

#include "NRF/NRF.h"
#include "app/LumoPaths.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "db/LumoSortCache.h"
#include "metadata/PhotoMetadata.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>

using lumo::test::JpegBuilder;
using lumo::test::TempDir;
using lumo::test::TiffBuilder;
using lumo::test::writeWholeFile;

namespace {

// A JPEG whose EXIF says when it was taken ("" for none), padded to `padding` more bytes.
std::string photo(const std::string& taken, std::size_t padding = 0) {
    JpegBuilder jpeg(16, 16);
    if (!taken.empty()) {
        TiffBuilder tiff;
        tiff.ifd().add(0x010F, "Lumo Cam").subIfd(0x8769).add(0x9003, taken);
        jpeg.addExif(tiff.build());
    }
    std::string bytes = jpeg.build();
    return bytes + std::string(padding, '\0');
}

void setModificationTime(const std::string& path, std::int64_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class ContactSheetSortGatherTest : public lumo::test::PhotoEngineTest {
protected:
    void SetUp() override {
        PhotoEngineTest::SetUp();
        LumoSortCache::InitSortCache(m_cache.path());
    }
    void TearDown() override {
        LumoSortCache::TerminateSortCache();
        PhotoEngineTest::TearDown();
    }
    // Fresh items (records not read) for the files, in this order.
    std::vector<DocumentItem::Ref> items(std::initializer_list<const char*> names) const {
        std::vector<DocumentItem::Ref> out;
        for (const char* name : names)
            out.push_back(DocumentItem::ForFile(m_photos.file(name), kNRFTypeJPEG, false));
        return out;
    }
    std::vector<std::string> sortedNames(const std::vector<DocumentItem::Ref>& list,
                                         const ContactSheetSortSettings& settings) const {
        ContactSheetSortWork work;
        work.items = list;
        work.settings = settings;
        const auto result = RunContactSheetSort(work, {});
        std::vector<std::string> names;
        if (result)
            for (std::uint32_t index : result->order)
                names.push_back(list[index]->FileName());
        return names;
    }

    TempDir m_photos, m_cache;
};

} // namespace

TEST_F(ContactSheetSortGatherTest, KeysComeFromTheFileAndAreRemembered) {
    writeWholeFile(m_photos.file("IMG_10.JPG"), photo("2024:05:06 07:08:09", 300));
    writeWholeFile(m_photos.file("IMG_2.JPG"), photo("2023:01:02 03:04:05", 100));
    writeWholeFile(m_photos.file("IMG_3.JPG"), photo("", 200));
    setModificationTime(m_photos.file("IMG_10.JPG"), 1'700'000'000);
    setModificationTime(m_photos.file("IMG_2.JPG"), 1'700'000'300);
    setModificationTime(m_photos.file("IMG_3.JPG"), 1'700'000'200);

    const auto list = items({"IMG_10.JPG", "IMG_2.JPG", "IMG_3.JPG"});
    ContactSheetSortSettings settings;
    // No capture time orders first.
    EXPECT_EQ(sortedNames(list, settings),
              (std::vector<std::string>{"IMG_3.JPG", "IMG_2.JPG", "IMG_10.JPG"}));
    settings.reverse = true;
    EXPECT_EQ(sortedNames(list, settings),
              (std::vector<std::string>{"IMG_10.JPG", "IMG_2.JPG", "IMG_3.JPG"}));
    settings = {};
    settings.sortType = kSortModificationTime;
    EXPECT_EQ(sortedNames(items({"IMG_10.JPG", "IMG_2.JPG", "IMG_3.JPG"}), settings),
              (std::vector<std::string>{"IMG_10.JPG", "IMG_3.JPG", "IMG_2.JPG"}));

    // The rows the first gather stored, with the file's size and time (nanoseconds) and the capture time.
    LumoSortCacheInfo row;
    ASSERT_TRUE(LumoSortCache::GetSortInfoFor(m_photos.file("IMG_10.JPG"), row));
    EXPECT_EQ(row.CaptureTime, "2024:05:06 07:08:09");
    EXPECT_EQ(row.ModificationTime, 1'700'000'000'000'000'000ull);
    struct stat st {};
    ASSERT_EQ(::stat(m_photos.file("IMG_10.JPG").c_str(), &st), 0);
    EXPECT_EQ(row.FileSize, static_cast<std::uint64_t>(st.st_size));
    EXPECT_EQ(row.ExtraFileSize, 0u);

    // A custom sort by {type} (all equal), then by {filesize} against the direction: larger first.
    settings = {};
    settings.sortType = kSortCustomFirst;
    settings.custom = {"by size", "{type}", "{filesize}", true};
    EXPECT_EQ(sortedNames(items({"IMG_2.JPG", "IMG_3.JPG", "IMG_10.JPG"}), settings),
              (std::vector<std::string>{"IMG_10.JPG", "IMG_3.JPG", "IMG_2.JPG"}));
}

TEST_F(ContactSheetSortGatherTest, AFreshRowIsUsedWithoutReadingAndAStaleOneIsReadAgain) {
    const std::string path = m_photos.file("IMG_1.JPG");
    writeWholeFile(path, photo("2024:05:06 07:08:09"));
    writeWholeFile(m_photos.file("IMG_1.XMP"), "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
    setModificationTime(path, 1'700'000'000);
    setModificationTime(m_photos.file("IMG_1.XMP"), 1'700'000'100);
    struct stat st {
    }, xmp{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(::stat(m_photos.file("IMG_1.XMP").c_str(), &xmp), 0);

    // A row that matches the file and its sidecar, with values the file does not hold.
    LumoSortCacheInfo fresh{.ColorClass = 4,
                            .Rating = 5,
                            .Tag = 1,
                            .CaptureTime = "2020:01:01 00:00:00.5",
                            .ModificationTime = 1'700'000'000'000'000'000ull,
                            .FileSize = static_cast<std::uint64_t>(st.st_size),
                            .ExtraModificationTime = 1'700'000'100'000'000'000ull,
                            .ExtraFileSize = static_cast<std::uint64_t>(xmp.st_size)};
    LumoSortCache::setSortInfoFor(path, fresh);
    auto item = DocumentItem::ForFile(path, kNRFTypeJPEG, false);
    ContactSheetSortRecord record = GatherContactSheetSortRecord(*item, 0, {});
    EXPECT_FALSE(item->IsLoaded()); // the file was not read
    EXPECT_EQ(record.rating, 5);
    EXPECT_EQ(record.colorClass, 4);
    EXPECT_TRUE(record.tag);
    EXPECT_EQ(record.captureTime.year, 2020);
    EXPECT_EQ(record.captureSubSeconds, 5000u);
    EXPECT_EQ(record.modificationTimeKey, "17979CFE362A0000"); // 1.7e18 ns

    // The sidecar changed: the row is stale, the file is read and its values stored.
    setModificationTime(m_photos.file("IMG_1.XMP"), 1'700'000'200);
    record = GatherContactSheetSortRecord(*item, 0, {});
    EXPECT_TRUE(item->IsLoaded());
    EXPECT_EQ(record.rating, 0);
    EXPECT_EQ(record.captureTime.year, 2024);
    LumoSortCacheInfo stored;
    ASSERT_TRUE(LumoSortCache::GetSortInfoFor(path, stored));
    EXPECT_EQ(stored.Rating, 0);
    EXPECT_EQ(stored.CaptureTime, "2024:05:06 07:08:09");
    EXPECT_EQ(stored.ExtraModificationTime, 1'700'000'200'000'000'000ull);
    EXPECT_EQ(stored.ExtraFileSize, static_cast<std::uint64_t>(xmp.st_size));

    // A fresh item now finds the stored row fresh and reads nothing.
    item = DocumentItem::ForFile(path, kNRFTypeJPEG, false);
    EXPECT_EQ(GatherContactSheetSortRecord(*item, 0, {}).captureTime.year, 2024);
    EXPECT_FALSE(item->IsLoaded());
}

TEST_F(ContactSheetSortGatherTest, CorpusPhotosSortByTheCaptureTimeExiftoolReads) {
    const std::vector<std::string> files =
        lumo::test::corpusFiles({".jpg", ".cr2", ".nef", ".dng", ".arw", ".tif"});
    if (files.empty())
        GTEST_SKIP() << "no corpus";
    std::vector<DocumentItem::Ref> list;
    for (const std::string& file : files) {
        NRFFileType type = 0;
        if (NRFGetType(file.c_str(), &type, false) == kNRFErrNone && type != 0)
            list.push_back(DocumentItem::ForFile(file, type, false));
    }
    ContactSheetSortWork work;
    work.items = list;
    const auto result = RunContactSheetSort(work, {});
    ASSERT_TRUE(result);
    ASSERT_EQ(result->order.size(), list.size());
    for (std::size_t i = 1; i < result->order.size(); ++i) {
        const ContactSheetSortRecord& a = result->records[result->order[i - 1]];
        const ContactSheetSortRecord& b = result->records[result->order[i]];
        ASSERT_LT(ContactSheetCommonCompareCells(result->records, a.index, b.index, {}), 0) << a.fileName;
    }
    // The capture times stored in the sort cache are the EXIF ones exiftool reads (a file the engine
    // cannot read has no row).
    std::vector<std::string> args{"-ExifIFD:DateTimeOriginal", "-d", "%Y:%m:%d %H:%M:%S"};
    for (const auto& item : list)
        if (item->PrimaryRecord())
            args.push_back(item->FullPath());
    const auto checked = lumo::test::exiftoolJson(args);
    if (!checked)
        GTEST_SKIP() << "no exiftool";
    int compared = 0;
    for (const auto& entry : *checked) {
        if (!entry.contains("DateTimeOriginal") || !entry["DateTimeOriginal"].is_string())
            continue;
        LumoSortCacheInfo row;
        const std::string path = entry["SourceFile"];
        ASSERT_TRUE(LumoSortCache::GetSortInfoFor(path, row)) << path;
        EXPECT_EQ(row.CaptureTime.substr(0, 19), entry["DateTimeOriginal"].get<std::string>()) << path;
        ++compared;
    }
    EXPECT_GT(compared, 5);
}

TEST_F(ContactSheetSortGatherTest, TwoThousandItemsWithAWarmCacheSortQuickly) {
    constexpr int kCount = 2000;
    std::vector<DocumentItem::Ref> list;
    for (int i = 0; i < kCount; ++i) {
        const std::string path = m_photos.file("IMG_" + std::to_string(i) + ".JPG");
        writeWholeFile(path, "not read");
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        LumoSortCacheInfo row{.Rating = i % 6,
                              .CaptureTime = "2024:05:06 07:08:" + std::to_string(10 + (i * 7) % 50),
                              .ModificationTime =
                                  static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
                                  static_cast<std::uint64_t>(st.st_mtim.tv_nsec),
                              .FileSize = static_cast<std::uint64_t>(st.st_size)};
        LumoSortCache::setSortInfoFor(path, row);
        list.push_back(DocumentItem::ForFile(path, kNRFTypeJPEG, false));
    }
    LumoSortCacheInfo flushed; // the stores are done before the clock starts
    ASSERT_TRUE(LumoSortCache::GetSortInfoFor(m_photos.file("IMG_0.JPG"), flushed));
    ContactSheetSortWork work;
    work.items = list;
    const auto start = std::chrono::steady_clock::now();
    const auto result = RunContactSheetSort(work, {});
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    ASSERT_TRUE(result);
    ASSERT_EQ(result->order.size(), static_cast<std::size_t>(kCount));
    for (std::size_t i = 1; i < result->order.size(); ++i)
        ASSERT_LE(result->records[result->order[i - 1]].captureTime.second,
                  result->records[result->order[i]].captureTime.second);
    for (const auto& item : list)
        ASSERT_FALSE(item->IsLoaded()); // every key came from the cache
    RecordProperty("milliseconds", static_cast<int>(ms));
    std::printf("2000 items, warm sort cache: %lld ms\n", static_cast<long long>(ms));
}
