#pragma once

#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"

#include <memory>

class NRFByteSource;

// What the Photoshop reader keeps beside the record: the resource thumbnail of files written before
// Photoshop 5 (resource 0x0409) holds its colours in blue, green, red order.
class PSDPluginPrivateInfo : public PluginPrivateInfo {
public:
    std::shared_ptr<PluginPrivateInfo> clone() const override {
        return std::make_shared<PSDPluginPrivateInfo>(*this);
    }
    bool m_thumbnailIsBGR = false;
};

NRFGetImageInfoProc NRFPSDReaderGetImageInfo();

// What the reader does with the bytes of `source`, without the table (the fuzzer calls it over any
// bytes). `record` must carry the path and type.
NRFErr NRFReadPSDStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);
