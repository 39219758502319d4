#pragma once

#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <memory>

class NRFByteSource;

// What the GIF reader keeps about a file beyond the record: where its XMP application extension sits
// and the shape of its image stream.
class GIFPluginPrivateInfo : public PluginPrivateInfo {
public:
    std::shared_ptr<PluginPrivateInfo> clone() const override {
        return std::make_shared<GIFPluginPrivateInfo>(*this);
    }

    // The XMP extension from its introducer (0x21) to its block terminator, and the packet inside it
    // ("<?xpacket begin" to the end of "<?xpacket end ...?>"); all 0 when the file has none.
    std::uint64_t m_xmpExtensionPos = 0, m_xmpExtensionLength = 0;
    std::uint64_t m_xmpPacketPos = 0, m_xmpPacketLength = 0;
    // The ICC profile's application extension (introducer to terminator); the profile is the data of
    // its sub-blocks after the identifier, m_iccProfileLength bytes in all.
    std::uint64_t m_iccExtensionPos = 0, m_iccExtensionLength = 0;
    std::uint64_t m_iccProfileLength = 0;
    // Image descriptors seen before the trailer (the count stops at the walk's limit).
    std::uint32_t m_frameCount = 0;
    std::uint16_t m_firstFrameWidth = 0, m_firstFrameHeight = 0;
    bool m_firstFrameInterlaced = false;
    bool m_hasGlobalColorTable = false;
    // The walk reached the trailer (0x3B); false for a truncated or malformed stream.
    bool m_complete = false;
};

NRFGetImageInfoProc NRFGIFReaderGetImageInfo();

// What the reader does with the bytes of `source`, without the table (the fuzzer calls it over any
// bytes). `record` must carry the path and type.
NRFErr NRFReadGIFStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);
