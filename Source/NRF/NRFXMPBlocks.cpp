#include "NRF/NRFXMPBlocks.h"

#include "NRF/NRFImageInfo.h"

#include <cerrno>

NRFErr NRFLoadXMP(NRFImageInfoRec* record, NRFXMPPackets* out) {
    if (record == nullptr || out == nullptr)
        return 1;
    return 1;
}

NRFErr NRFSaveMetadataBlocks(NRFImageInfoRec* record, const NRFMetadataWrite&, NRFMetadataCommit*) {
    if (record == nullptr)
        return 1;
    return 1;
}

struct NRFMetadataCommit::Impl {};
NRFMetadataCommit::NRFMetadataCommit() : m_impl(std::make_unique<Impl>()) {}
NRFMetadataCommit::~NRFMetadataCommit() = default;
int NRFMetadataCommit::add(const std::string&, const std::string&) {
    return ENOSYS;
}
int NRFMetadataCommit::commit(std::vector<std::string>*) {
    return 0;
}
void NRFMetadataCommit::discard() {}
std::size_t NRFMetadataCommit::size() const {
    return 0;
}

bool NRFContainerHoldsXMP(NRFFileType) {
    return false;
}
bool NRFContainerHoldsIIM(NRFFileType) {
    return false;
}
NRFErr NRFReadXMPSidecar(const std::string&, std::string&) {
    return 5;
}
NRFErr NRFWriteXMPSidecar(const std::string&, const std::string&, NRFMetadataCommit*) {
    return 8;
}
