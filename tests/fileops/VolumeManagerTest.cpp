// The mounted volumes: the mount table read, a camera card erased down to its root, the installed
// instance, and udisksctl missing said plainly.

#include "fileops/VolumeManager.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using lumo::test::namesIn;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

TEST(VolumeManagerTest, MountInfoKeepsWholeBlockDeviceFileSystems) {
    const std::string text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "30 22 0:25 / /tmp rw - tmpfs tmpfs rw\n"
        "41 22 8:17 / /media/me/EOS\\040DIGITAL rw,nosuid master:3 - vfat /dev/sdb1 rw,uid=1000\n"
        "42 22 8:1 /home/me/bind /mnt/bind rw - ext4 /dev/sda1 rw\n"
        "43 22 179:1 / /media/me/CARD ro,nosuid - exfat /dev/mmcblk0p1 ro\n"
        "44 22 8:33 / media/me/CARD2 rw - vfat /dev/sdc1 rw\n" // a damaged line: no absolute mount point
        "garbage line\n";
    const std::vector<MountedVolume> volumes = SystemVolumeManager::ParseMountInfo(text);
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].mountPoint, "/");
    EXPECT_EQ(volumes[1].device, "/dev/sdb1");
    EXPECT_EQ(volumes[1].mountPoint, "/media/me/EOS DIGITAL");
    EXPECT_EQ(volumes[1].fileSystem, "vfat");
    EXPECT_FALSE(volumes[1].readOnly);
    EXPECT_EQ(volumes[2].mountPoint, "/media/me/CARD");
    EXPECT_TRUE(volumes[2].readOnly);

    // The machine's own table: every volume has a mount point and sizes that add up.
    for (const MountedVolume& volume : SystemVolumeManager().listVolumes()) {
        EXPECT_FALSE(volume.mountPoint.empty());
        EXPECT_LE(volume.usedBytes, volume.totalBytes) << volume.mountPoint;
    }
}

TEST(VolumeManagerTest, EraseTakesTheCameraFoldersOnly) {
    TempDir card;
    for (const char* file : {"DCIM/100CANON/IMG_0001.JPG", "MISC/AUTPRINT.MRK",
                             "PRIVATE/AVCHD/BDMV/STREAM/0.MTS", "Keep/notes.txt"}) {
        std::filesystem::create_directories(std::filesystem::path(card.file(file)).parent_path());
        writeWholeFile(card.file(file), "x");
    }
    writeWholeFile(card.file(".lumoingest.dat"), "{00000000-0000-4000-8000-000000000000}\n");
    std::string error;
    EXPECT_TRUE(EraseCameraCardFiles(card.path(), &error)) << error;
    EXPECT_EQ(namesIn(card.path()), (std::vector<std::string>{".lumoingest.dat", "Keep"}));

    // A folder that is no camera card is left alone.
    TempDir folder;
    writeWholeFile(folder.file("photo.JPG"), "x");
    EXPECT_FALSE(EraseCameraCardFiles(folder.path(), &error));
    EXPECT_NE(error.find("not a camera card"), std::string::npos);
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"photo.JPG"});
    EXPECT_FALSE(EraseCameraCardFiles("/", &error));
}

TEST(VolumeManagerTest, FakeAnswersWithItsVolumesAndRecordsCalls) {
    auto fake = std::make_shared<FakeVolumeManager>();
    fake->setVolumes({{"/dev/sdb1", "/media/card", "EOS", "vfat", 100, 40, 60, true, false},
                      {"/dev/sda1", "/", "", "ext4", 1000, 500, 500, false, false}});
    VolumeManager::install(fake);
    EXPECT_EQ(VolumeManager::instance().get(), fake.get());
    MountedVolume volume;
    ASSERT_TRUE(VolumeManager::instance()->volumeOf("/media/card/DCIM/100CANON", &volume));
    EXPECT_EQ(volume.device, "/dev/sdb1");
    ASSERT_TRUE(fake->volumeOf("/media/cards/x", &volume));
    EXPECT_EQ(volume.device, "/dev/sda1");
    std::string error;
    EXPECT_TRUE(fake->erase("/media/card", &error));
    EXPECT_TRUE(fake->unmount("/dev/sdb1", &error));
    fake->failUnmount = true;
    EXPECT_FALSE(fake->unmount("/dev/sda1", &error));
    const std::vector<FakeVolumeManager::Call> calls = fake->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].what + " " + calls[0].target, "erase /media/card");
    EXPECT_EQ(calls[1].what + " " + calls[1].target, "unmount /dev/sdb1");
    EXPECT_EQ(fake->listVolumes().size(), 1u);
    VolumeManager::install(nullptr);
    EXPECT_NE(dynamic_cast<SystemVolumeManager*>(VolumeManager::instance().get()), nullptr);
}

TEST(VolumeManagerTest, ByteSizesForPeople) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 bytes"},
        {1023, "1023 bytes"},
        {1024, "1.00 KB"},
        {12u << 20, "12.0 MB"},
        {std::uint64_t{123} << 30, "123 GB"},
        {std::uint64_t{1000} << 30, "0.98 TB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(FormatByteSize(bytes), text) << bytes;
}

TEST(VolumeManagerTest, UnmountWithoutUdisksctlSaysSo) {
    TempDir empty;
    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    ::setenv("PATH", empty.path().c_str(), 1);
    std::string error;
    EXPECT_FALSE(SystemVolumeManager().unmount("/dev/nonexistent1", &error));
    ::setenv("PATH", saved.c_str(), 1);
    EXPECT_NE(error.find("udisksctl (udisks2) is not installed"), std::string::npos) << error;
}

} // namespace
