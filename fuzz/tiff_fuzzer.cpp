// The TIFF structure reader over any bytes: once as each TIFF-structured reader takes a file (their
// header magics, standard IFD0 places and raw rules differ), and the IFD parser alone as the JPEG
// reader runs it over the TIFF block of an EXIF segment.

#include "FuzzSupport.h"
#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTIFFReaders.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();

    NRFMemoryByteSource source(data, size);
    NRFContext context;
    for (const char* code : {"TIFF", "NNEF", "CCR2", "ADNG", "PRW2", "OORF"}) {
        NRFImageInfoRec record("", NRFMakeFileType(code));
        (void)NRFReadTIFFStructure(context, record, source, false);
    }
    // Strict checking stops at the first malformed entry: another way through the same code.
    context.strictExif = true;
    NRFImageInfoRec strict("", NRFMakeFileType("NNEF"));
    (void)NRFReadTIFFStructure(context, strict, source, false);

    // As inside a JPEG: the whole input is the EXIF segment, each step runs whatever the one before
    // answered.
    NRFBasicTIFF tiff(source);
    if (tiff.ReadHeader()) {
        NRFImageInfoRec record("", kNRFTypeJPEG);
        EXIFParseOptions options;
        options.fileType = kNRFTypeJPEG;
        options.segmentStart = 0;
        options.segmentEnd = size;
        EXIFParser parser(record, tiff, options);
        (void)parser.ParseIFD0();
        (void)parser.ParseExifIFD();
        (void)parser.ParseIFD1();
        (void)parser.ParseSubIFDs();
    }
    (void)EXIFWalkPhotoshopResources(std::string(reinterpret_cast<const char*>(data), size),
                                     [](std::uint16_t, std::size_t, std::size_t) { return true; });
    return 0;
}
