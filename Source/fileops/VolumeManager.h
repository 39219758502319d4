#pragma once

// The mounted volumes: listing them, unmounting one and erasing a camera card. The program asks the one
// installed instance (the system's, unless a test installed its own).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct MountedVolume {
    std::string device;     // "/dev/sdb1"
    std::string mountPoint; // "/media/user/EOS_DIGITAL"
    std::string label;      // the file system's label, empty when it has none
    std::string fileSystem; // "vfat", "exfat" ...
    std::uint64_t totalBytes = 0;
    std::uint64_t usedBytes = 0;
    std::uint64_t freeBytes = 0; // available to the user
    bool removable = false;
    bool readOnly = false;
};

class VolumeManager {
public:
    virtual ~VolumeManager() = default;

    // The mounted volumes backed by a block device, in mount order.
    virtual std::vector<MountedVolume> listVolumes() = 0;
    // Unmounts the volume of `device`. False with the reason in `error` ("udisksctl" missing is said so).
    virtual bool unmount(const std::string& device, std::string* error) = 0;
    // Deletes the camera's files and folders below the card's root (never the root itself). False with
    // the reason when one or more of them could not be deleted.
    virtual bool erase(const std::string& mountPoint, std::string* error) = 0;

    // The volume whose mount point holds `path` (the longest matching mount point); false when none.
    bool volumeOf(const std::string& path, MountedVolume* out);

    // The installed instance (the system's by default); tests install their own and put back null.
    static std::shared_ptr<VolumeManager> instance();
    static void install(std::shared_ptr<VolumeManager> manager);
};

// A size for people: "512 bytes", "1.23 KB", "12.3 MB", "123 GB" (units of 1024, three figures).
std::string FormatByteSize(std::uint64_t bytes);

// Erases a camera card: deletes the camera's folders ("DCIM", "MISC", the video folders ...) below
// `root` with everything in them; the root, its other files and the ingest marker stay. False with the
// first failure in `error` when anything could not be deleted.
bool EraseCameraCardFiles(const std::string& root, std::string* error);

// The real one: /proc/self/mountinfo, statvfs and /sys/block/*/removable; unmounts through
// "udisksctl unmount -b DEV".
class SystemVolumeManager : public VolumeManager {
public:
    std::vector<MountedVolume> listVolumes() override;
    bool unmount(const std::string& device, std::string* error) override;
    bool erase(const std::string& mountPoint, std::string* error) override;

    // Parses the text of /proc/self/mountinfo into the volumes backed by "/dev/..." devices (sizes and
    // removability not filled in).
    static std::vector<MountedVolume> ParseMountInfo(const std::string& text);
    // Whether the block device (a disk or one of its partitions) is removable, from /sys.
    static bool IsRemovableDevice(const std::string& device);
};

// For tests: answers with the volumes it was given and records every call.
class FakeVolumeManager : public VolumeManager {
public:
    struct Call {
        std::string what; // "unmount" or "erase"
        std::string target;
    };

    std::vector<MountedVolume> listVolumes() override;
    bool unmount(const std::string& device, std::string* error) override;
    // Records the call; with `eraseForReal`, erases the (test's own) folder through EraseCameraCardFiles.
    bool erase(const std::string& mountPoint, std::string* error) override;

    void setVolumes(std::vector<MountedVolume> volumes);
    std::vector<Call> calls() const;

    bool failUnmount = false;
    bool failErase = false;
    bool eraseForReal = false;

private:
    mutable std::mutex m_mutex;
    std::vector<MountedVolume> m_volumes;
    std::vector<Call> m_calls;
};
