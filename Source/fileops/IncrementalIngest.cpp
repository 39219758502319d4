#include "fileops/IncrementalIngest.h"

bool IncrementalIngest::open(const std::string&, std::string*, const std::string&) {
    return false;
}
bool IncrementalIngest::wasCopied(const std::string&, std::uint64_t, std::int64_t) const {
    return false;
}
const IncrementalIngest::Record* IncrementalIngest::find(const std::string&) const {
    return nullptr;
}
void IncrementalIngest::record(const std::string&, std::uint64_t, std::int64_t, const std::string&) {}
std::size_t IncrementalIngest::size() const {
    return 0;
}
bool IncrementalIngest::save(std::string*) {
    return false;
}
std::string IncrementalIngest::NewVolumeId() {
    return {};
}
bool IncrementalIngest::IsVolumeId(const std::string&) {
    return false;
}
