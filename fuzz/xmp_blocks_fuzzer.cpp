// The XMP packet readers of every container (JPEG with its extension segments, TIFF, Photoshop, PNG,
// GIF, HEIF) and the planners of the one rewrite over any bytes. Every new file a planner makes must
// give back exactly the packets and the IIM block it was asked to write.

#include "FuzzSupport.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFIPTCBlocks.h"
#include "NRF/NRFXMPBlocks.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

const std::string kPacket = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta "
                            "xmlns:x=\"adobe:ns:meta/\"/>\n<?xpacket end=\"w\"?>";
const std::string kBlock("\x1C\x02\x00\x00\x02\x00\x03\x1C\x02\x78\x00\x05hello", 17);

void readAll(NRFByteSource& source) {
    NRFXMPPackets packets;
    std::string packet;
    (void)NRFXMPReadJPEG(source, packets);
    (void)NRFXMPReadTIFF(source, packet);
    (void)NRFXMPReadPSD(source, packet);
    (void)NRFXMPReadPNG(source, packet);
    (void)NRFXMPReadGIF(source, packet);
    (void)NRFXMPReadHEIF(source, packet);
}

// The packet the new bytes hold, read as `type` stores it.
bool readBack(NRFFileType type, const std::string& bytes, NRFXMPPackets& out, std::string& iim) {
    NRFMemoryByteSource source(bytes.data(), bytes.size());
    out = NRFXMPPackets{};
    iim.clear();
    if (type == kNRFTypeJPEG)
        return NRFXMPReadJPEG(source, out) && NRFIPTCReadJPEGBlock(source, iim);
    if (type == kNRFTypeTIFF)
        return NRFXMPReadTIFF(source, out.main) && NRFIPTCReadTIFFBlock(source, iim);
    if (type == NRFMakeFileType("APSD"))
        return NRFXMPReadPSD(source, out.main) && NRFIPTCReadPSDBlock(source, iim);
    if (type == NRFMakeFileType("PNGf"))
        return NRFXMPReadPNG(source, out.main);
    if (type == NRFMakeFileType("GIFf"))
        return NRFXMPReadGIF(source, out.main);
    return NRFXMPReadHEIF(source, out.main);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    readAll(source);

    const std::string file(reinterpret_cast<const char*>(data), size);
    NRFXMPPackets split;
    split.extended = std::string(70000, 'e');
    split.extendedGUID = std::string(32, 'A');
    split.main = kPacket;
    split.main.insert(split.main.find("/>"), " xmpNote:HasExtendedXMP=\"" + split.extendedGUID + "\"");
    const NRFXMPPackets plain{kPacket, "", ""};
    const NRFXMPPackets none;
    const std::string noBlock;
    for (const NRFFileType type : {kNRFTypeJPEG, kNRFTypeTIFF, NRFMakeFileType("APSD"),
                                   NRFMakeFileType("PNGf"), NRFMakeFileType("GIFf"), kNRFTypeHEIC}) {
        const bool holdsIIM = type == kNRFTypeJPEG || type == kNRFTypeTIFF || type == NRFMakeFileType("APSD");
        for (const NRFXMPPackets* xmp : {&plain, &none, type == kNRFTypeJPEG ? &split : &plain}) {
            NRFMetadataWrite write;
            write.xmp = xmp;
            write.iim = holdsIIM ? (xmp == &none ? &noBlock : &kBlock) : nullptr;
            std::string made;
            if (!NRFXMPPlanFile(type, file, write, made))
                continue;
            NRFXMPPackets back;
            std::string iim;
            if (!readBack(type, made, back, iim))
                __builtin_trap();
            // A HEIF packet is padded; its placement checks itself.
            if (type != kNRFTypeHEIC && (back.main != xmp->main || back.extended != xmp->extended))
                __builtin_trap();
            std::string expected = write.iim ? *write.iim : std::string();
            if (type == kNRFTypeTIFF && expected.size() % 4 != 0)
                expected.append(4 - expected.size() % 4, '\0');
            if (write.iim && iim != expected)
                __builtin_trap();
        }
    }
    return 0;
}
