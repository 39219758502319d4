// Maker notes over any bytes: the first byte picks the maker (by the Make a camera of it writes), the
// second the byte order of the EXIF structure around the note; the rest is the file, and the note is all
// of it after a few bytes, so that offsets counted from the TIFF header and from the note both land.

#include "FuzzSupport.h"
#include "NRF/EXIFMakerNotes.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kMakes[] = {"Canon",
                                  "NIKON CORPORATION",
                                  "OLYMPUS IMAGING CORP.",
                                  "SAMSUNG",
                                  "Leica Camera AG",
                                  "PENTAX Corporation",
                                  "SIGMA",
                                  "SONY",
                                  "FUJIFILM",
                                  "Leaf"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    if (size < 2)
        return 0;
    const char* make = kMakes[data[0] % std::size(kMakes)];
    const bool bigEndian = data[1] & 1;
    NRFMemoryByteSource file(data + 2, size - 2);
    const std::uint64_t length = size - 2;
    for (const std::uint64_t start : {std::uint64_t{0}, std::uint64_t{8}}) {
        if (start >= length)
            break;
        NRFImageInfoRec record("", NRFMakeFileType("NNEF"));
        record.m_make = make;
        EXIFParseMakerNote(record, file, start, length - start, 0, bigEndian, record.m_fileType);
        if (data[0] % std::size(kMakes) == std::size(kMakes) - 1)
            EXIFParseLeafData(record, file, start, length - start, 0, bigEndian, record.m_fileType);
    }
    return 0;
}
