// The ingest's records over any bytes: a volume's marker and its incremental records file (split at the
// first "--" line) are read as ingest reads them, and what was read saves and reads back the same; the
// same bytes read as a mount table give only volumes of "/dev/" devices with absolute mount points.

#include "FuzzSupport.h"
#include "fileops/IncrementalIngest.h"
#include "fileops/VolumeManager.h"
#include "support/FileIO.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& scratch = lumoFuzzScratchFolder();
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (const MountedVolume& volume : SystemVolumeManager::ParseMountInfo(text))
        if (volume.device.rfind("/dev/", 0) != 0 || volume.mountPoint.empty() || volume.mountPoint[0] != '/')
            std::abort();

    const std::size_t split = text.find("\n--\n");
    const std::string marker = text.substr(0, split);
    const std::string records = split == std::string::npos ? std::string() : text.substr(split + 4);
    const std::string volume = scratch + "/volume", cache = scratch + "/cache";
    if (lumo::createDirectories(volume) != 0 ||
        lumo::writeFileReplacing(volume + "/.lumoingest.dat", marker) != 0)
        std::abort();
    IncrementalIngest first;
    std::string message;
    if (!first.open(volume, &message, cache))
        return 0;
    if (!IncrementalIngest::IsVolumeId(first.volumeId()))
        std::abort(); // the marker read, or a new one written
    if (lumo::writeFileReplacing(first.recordsPath(), records) != 0)
        std::abort();
    IncrementalIngest loaded;
    if (!loaded.open(volume, &message, cache) || loaded.volumeId() != first.volumeId())
        std::abort();
    if (!loaded.save(&message))
        return 0;
    IncrementalIngest again;
    if (!again.open(volume, &message, cache) || again.size() != loaded.size())
        std::abort(); // what was saved reads back whole
    return 0;
}
