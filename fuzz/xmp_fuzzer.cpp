// XMP packets over any bytes: read into a record (plain, template, with the photo state), merged with a
// record, the photo state and GPS/crop written into them, split for JPEG; what is written must read back.

#include "FuzzSupport.h"
#include "NRF/NRFImageInfo.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCRecFields.h"
#include "metadata/IPTC_XMP_Utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    static const bool started = IPTCXMPInitialize();
    if (!started)
        std::abort();
    const std::string packet(reinterpret_cast<const char*>(data), size);
    IPTCEncodingSettings settings;
    settings.m_colorClassAsLabel = size > 0 && (data[0] & 1);
    settings.m_structuredKeywordsHierarchicalOnly = size > 0 && (data[0] & 2);
    settings.m_colorClassNames[1] = "Green";

    IPTCRec templ;
    (void)LoadXMPMetadata(settings, packet.data(), packet.size(), nullptr, true, &templ);
    NRFImageInfoRec info;
    IPTCRec record;
    if (!LoadXMPMetadata(settings, packet.data(), packet.size(), &info, false, &record))
        return 0;
    (void)XMPReadImageState(packet, info);

    // the text form of one field, taken from the bytes
    const auto catalogue = IPTCCatalogue();
    const IPTCCatalogueEntry& entry = catalogue[size % catalogue.size()];
    std::string text, error;
    (void)IPTCGetFieldText(record, entry, settings, text);
    (void)IPTCSetFieldText(record, entry, settings, packet.substr(0, 4096), size & 4, error);

    std::string merged;
    if (!XMPUpdateIPTC(settings, &packet, record, &info, {}, merged))
        return 0;
    IPTCRec again;
    if (!LoadXMPMetadata(settings, merged.data(), merged.size(), nullptr, false, &again))
        std::abort(); // what is written must read
    std::string updated;
    if (XMPUpdateXMP(settings, &merged, info, kXMPUpdateGPS | kXMPUpdateOrientation | kXMPUpdateCrop, {},
                     updated)) {
        NRFImageInfoRec state;
        if (!XMPReadImageState(updated, state))
            std::abort();
    }
    const std::string templatePacket = BuildIPTCRecordAsXMP(settings, templ, true);
    IPTCRec templAgain;
    if (templatePacket.empty() ||
        !LoadXMPMetadata(settings, templatePacket.data(), templatePacket.size(), nullptr, true, &templAgain))
        std::abort();
    std::string main, extended, guid;
    if (XMPSplitForJPEG(merged, main, extended, guid) && !extended.empty() &&
        !XMPJoinExtended(main, extended))
        std::abort();
    std::string joined = merged; // the bytes as a JPEG's extended XMP
    if (XMPJoinExtended(joined, packet)) {
        IPTCRec joinedRecord;
        if (!LoadXMPMetadata(settings, joined.data(), joined.size(), nullptr, false, &joinedRecord))
            std::abort();
    }
    (void)GetACRSettingsDigest(packet);
    return 0;
}
