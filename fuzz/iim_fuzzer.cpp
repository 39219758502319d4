// The IIM codec over any bytes: listed, read in both modes, then pack what was read and read that again.

#include "FuzzSupport.h"
#include "metadata/IPTCUtils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    IPTCEncodingSettings settings;
    if (size > 0 && (data[0] & 1))
        settings.m_readEncoding = "UTF-8";
    std::vector<IPTCDataSetEntry> entries;
    std::string encoding;
    (void)IPTCListDataSets(settings, data, size, entries, encoding);
    for (const bool templateMode : {false, true}) {
        IPTCRec record;
        const IPTCStatus status = IPTCUnpackRecFromBinary(settings, data, size, templateMode, &record);
        if (status != kIPTCNoErr && status != kIPTCErrBadData)
            std::abort();
        std::unique_ptr<std::uint8_t[]> built;
        std::size_t builtSize = 0;
        if (IPTCPackRecToBinary(settings, &record, &built, &builtSize, templateMode) != kIPTCNoErr)
            continue;
        IPTCRec again;
        if (IPTCUnpackRecFromBinary(settings, built.get(), builtSize, templateMode, &again) != kIPTCNoErr)
            std::abort(); // what the codec writes it must read
    }
    return 0;
}
