// The IPTC block readers and writers of the JPEG, TIFF and Photoshop containers over any bytes. Every
// new file a writer plans must give back exactly the block it was asked to write.

#include "FuzzSupport.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFIPTCBlocks.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

std::string apply(const NRFIPTCSplice& plan, const std::uint8_t* data) {
    std::string out;
    for (const NRFIPTCSplice::Piece& piece : plan.pieces)
        if (piece.bytes.empty())
            out.append(reinterpret_cast<const char*>(data) + piece.from, piece.length);
        else
            out += piece.bytes;
    return out;
}

void check(bool planned, const NRFIPTCSplice& plan, const std::uint8_t* data, const std::string& expected,
           bool (*read)(NRFByteSource&, std::string&)) {
    if (!planned)
        return;
    const std::string written = apply(plan, data);
    NRFMemoryByteSource source(reinterpret_cast<const unsigned char*>(written.data()), written.size());
    std::string block;
    if (!read(source, block) || block != expected)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    std::string block;
    (void)NRFIPTCReadJPEGBlock(source, block);
    (void)NRFIPTCReadTIFFBlock(source, block);
    (void)NRFIPTCReadPSDBlock(source, block);

    static const std::string kBlock("\x1C\x02\x00\x00\x02\x00\x03\x1C\x02\x78\x00\x05hello", 17);
    for (const std::string* newBlock : {&kBlock, static_cast<const std::string*>(nullptr)}) {
        const std::string wanted = newBlock ? *newBlock : std::string();
        NRFIPTCSplice plan;
        check(NRFIPTCPlanJPEG(source, wanted, plan), plan, data, wanted, &NRFIPTCReadJPEGBlock);
        check(NRFIPTCPlanPSD(source, wanted, plan), plan, data, wanted, &NRFIPTCReadPSDBlock);
        std::uint32_t oldOffset = 0;
        const std::string padded =
            wanted.size() % 4 ? wanted + std::string(4 - wanted.size() % 4, '\0') : wanted;
        check(NRFIPTCPlanTIFF(source, wanted, plan, oldOffset), plan, data, padded, &NRFIPTCReadTIFFBlock);
    }
    return 0;
}
