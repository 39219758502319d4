#include "fileops/VolumeManager.h"

bool VolumeManager::volumeOf(const std::string&, MountedVolume*) {
    return false;
}
VolumeManager& VolumeManager::instance() {
    static FakeVolumeManager none;
    return none;
}
void VolumeManager::install(std::shared_ptr<VolumeManager>) {}
bool EraseCameraCardFiles(const std::string&, std::string*) {
    return false;
}
std::vector<MountedVolume> SystemVolumeManager::listVolumes() {
    return {};
}
bool SystemVolumeManager::unmount(const std::string&, std::string*) {
    return false;
}
bool SystemVolumeManager::erase(const std::string&, std::string*) {
    return false;
}
std::vector<MountedVolume> SystemVolumeManager::ParseMountInfo(const std::string&) {
    return {};
}
bool SystemVolumeManager::IsRemovableDevice(const std::string&) {
    return false;
}
std::vector<MountedVolume> FakeVolumeManager::listVolumes() {
    return {};
}
bool FakeVolumeManager::unmount(const std::string&, std::string*) {
    return false;
}
bool FakeVolumeManager::erase(const std::string&, std::string*) {
    return false;
}
void FakeVolumeManager::setVolumes(std::vector<MountedVolume>) {}
std::vector<FakeVolumeManager::Call> FakeVolumeManager::calls() const {
    return {};
}
