#include "transfer/FTPConnSettings.h"

std::string FTPConnSettingsStruct::loginUser() const {
    return anonymousEnabled ? "anonymous" : username;
}
bool FTPConnSettingsStruct::validProtocolType() const {
    return protocolType == kProtocolFTP;
}
std::string FTPConnSettingsStruct::destinationFolder() const {
    return uploadPath;
}
CILA::VObject FTPConnSettingsStruct::toVObject() const {
    return CILA::VObject::makeHash();
}
std::optional<FTPConnSettingsStruct> FTPConnSettingsStruct::fromVObject(const CILA::VObject&) {
    return std::nullopt;
}

namespace FTPConnSettingsList {
bool save(const FTPConnSettingsStruct&) {
    return false;
}
std::optional<FTPConnSettingsStruct> load(const std::string&) {
    return std::nullopt;
}
std::vector<FTPConnSettingsStruct> list() {
    return {};
}
bool remove(const std::string&) {
    return false;
}
} // namespace FTPConnSettingsList
