// Incremental ingest: the volume's marker, the records kept in the cache folder with the one-hour
// tolerance, and a volume or cache that cannot be written.

#include "fileops/IncrementalIngest.h"

#include "support/FileIO.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

class IncrementalIngestTest : public ::testing::Test {
protected:
    void TearDown() override { lumo::clearFileFaults(); }
    TempDir volume, cache;
};

TEST_F(IncrementalIngestTest, MarkerAndRecordsSurviveAReopen) {
    IncrementalIngest first;
    std::string message;
    ASSERT_TRUE(first.open(volume.path(), &message, cache.path())) << message;
    const std::string marker = readWholeFile(volume.file(".lumoingest.dat"));
    EXPECT_EQ(marker, first.volumeId() + "\n");
    EXPECT_TRUE(IncrementalIngest::IsVolumeId(first.volumeId()));
    EXPECT_EQ(first.recordsPath(),
              cache.path() + "/ingest/incremental/" + first.volumeId().substr(1, 36) + ".dat");

    const std::string digest = "0123456789abcdef0123456789abcdef";
    first.record("DCIM/100 CANON/IMG 0001.JPG", 1000, 1700000000, digest);
    first.record("DCIM/100CANON/IMG_0002.CR2", 2000, 1700000100);
    first.record("DCIM/bad\nname.JPG", 5, 5); // cannot be a line: not recorded
    ASSERT_TRUE(first.save(&message)) << message;
    EXPECT_EQ(readWholeFile(first.recordsPath()), "DCIM/100 CANON/IMG 0001.JPG 1000 1700000000 " + digest +
                                                      "\nDCIM/100CANON/IMG_0002.CR2 2000 1700000100\n");

    // A line that is not a record (a hand edit) is passed over; the rest still loads.
    writeWholeFile(first.recordsPath(), readWholeFile(first.recordsPath()) + "garbage\nx 12 zz\n");
    IncrementalIngest again;
    ASSERT_TRUE(again.open(volume.path(), &message, cache.path())) << message;
    EXPECT_EQ(again.volumeId(), first.volumeId());
    EXPECT_EQ(again.size(), 2u);
    ASSERT_NE(again.find("DCIM/100 CANON/IMG 0001.JPG"), nullptr);
    EXPECT_EQ(again.find("DCIM/none.JPG"), nullptr);
    EXPECT_EQ(again.find("DCIM/100 CANON/IMG 0001.JPG")->digest, digest);

    struct Case {
        const char* path;
        std::uint64_t size;
        std::int64_t time;
        bool copied;
    } const cases[] = {
        {"DCIM/100CANON/IMG_0002.CR2", 2000, 1700000100, true},
        {"DCIM/100CANON/IMG_0002.CR2", 2000, 1700000100 + 3600, true},
        {"DCIM/100CANON/IMG_0002.CR2", 2000, 1700000100 - 3600, true},
        {"DCIM/100CANON/IMG_0002.CR2", 2000, 1700000100 + 1, false},
        {"DCIM/100CANON/IMG_0002.CR2", 2000, 1700000100 + 7200, false},
        {"DCIM/100CANON/IMG_0002.CR2", 2001, 1700000100, false},
        {"DCIM/100CANON/IMG_0003.CR2", 2000, 1700000100, false},
        {"DCIM/100 CANON/IMG 0001.JPG", 1000, 1700000000, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(again.wasCopied(c.path, c.size, c.time), c.copied) << c.path << " " << c.time;
}

TEST_F(IncrementalIngestTest, WhatCannotBeWrittenOrReadTurnsItOff) {
    const auto expectOff = [](IncrementalIngest& records) {
        EXPECT_FALSE(records.enabled());
        records.record("a.JPG", 1, 1);
        EXPECT_FALSE(records.wasCopied("a.JPG", 1, 1));
        EXPECT_FALSE(records.save(nullptr));
    };
    // A read-only volume: no marker can be written.
    lumo::injectFileFault({lumo::FileFault::Op::Open, EROFS, ".lumoingest.dat"});
    IncrementalIngest readOnly;
    std::string message;
    EXPECT_FALSE(readOnly.open(volume.path(), &message, cache.path()));
    EXPECT_EQ(message,
              "Warning: Incremental Ingest will not function on read-only volume " + volume.path() + ".");
    expectOff(readOnly);
    lumo::clearFileFaults();

    // A records file that cannot be read.
    IncrementalIngest records;
    ASSERT_TRUE(records.open(volume.path(), &message, cache.path()));
    std::filesystem::create_directories(records.recordsPath()); // a folder in its place
    IncrementalIngest unreadable;
    EXPECT_FALSE(unreadable.open(volume.path(), &message, cache.path()));
    EXPECT_EQ(message, "Incremental Ingest: Error loading from Incremental Ingest database " +
                           records.recordsPath() + ".  Incremental Ingest will not function for volume " +
                           volume.path() + ".");
    expectOff(unreadable);
    std::filesystem::remove(records.recordsPath());

    // A records file that cannot be saved keeps the old one whole.
    records.record("a.JPG", 1, 1);
    ASSERT_TRUE(records.save(&message));
    records.record("b.JPG", 2, 2);
    lumo::injectFileFault({lumo::FileFault::Op::Rename, ENOSPC, "/ingest/incremental/"});
    EXPECT_FALSE(records.save(&message));
    EXPECT_EQ(message, "Incremental Ingest: Error saving Incremental Ingest database " +
                           records.recordsPath() + ".  Incremental Ingest will not function for volume " +
                           volume.path() + ".");
    EXPECT_EQ(readWholeFile(records.recordsPath()), "a.JPG 1 1\n");
    EXPECT_EQ(lumo::test::namesIn(cache.path() + "/ingest/incremental").size(), 1u);
    lumo::clearFileFaults();

    // No cache folder can be made.
    writeWholeFile(cache.file("blocked"), "");
    IncrementalIngest noCache;
    EXPECT_FALSE(noCache.open(volume.path(), &message, cache.file("blocked")));
    EXPECT_NE(message.find("Incremental Ingest will not function"), std::string::npos);
    EXPECT_NE(message.find("Preferences"), std::string::npos);
}

} // namespace
