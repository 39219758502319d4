// Type detection over any bytes: the bytes are written to a file under each extension of the table
// and detected (a row whose extension does not match never answers), then opened and its image
// information read; each content check reads them too.

#include "FuzzSupport.h"
#include "NRF/NRF.h"
#include "support/FileIO.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string folder = [] {
        const std::string& made = lumoFuzzScratchFolder();
        if (NRFInit(std::string()) != kNRFErrNone)
            std::abort();
        return made;
    }();
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    for (int index = 0; index < NRFFileTypeCount(); ++index) {
        const NRFFileTypeInfo& row = *NRFGetFileTypeInfo(index);
        for (const char* extension : row.extensions) {
            if (extension[0] == '\0')
                continue;
            const std::string path = folder + "/input" + extension;
            lumo::File out;
            if (out.open(path, lumo::File::Mode::Truncate) != 0 || out.write(bytes.data(), bytes.size()) != 0)
                std::abort();
            out.close();
            NRFFileType type = 0;
            const NRFErr err = NRFGetType(path.c_str(), &type, true);
            if (err != kNRFErrNone)
                std::abort(); // with the proxy allowed, every ordinary file name gets a type
            const int found = NRFFindFileType(type);
            if (found < 0)
                std::abort();
            bool matches = type == kNRFTypeProxy;
            for (const char* other : NRFGetFileTypeInfo(found)->extensions)
                matches = matches || std::string(other) == extension;
            if (!matches)
                std::abort();
            // The whole record, through the reader the type chose: any result code, never a crash.
            NRFImageInfoRef record;
            if (NRFOpenImage(path.c_str(), 0, &record) == kNRFErrNone) {
                (void)NRFGetImageInfo(record.get());
                (void)NRFCheckForAttachedFiles(record.get());
                NRFCloseImage(&record);
            }
        }
    }
    lumo::File in;
    const std::string path = folder + "/input" + NRFGetFileTypeInfo(0)->extensions[0];
    if (in.open(path, lumo::File::Mode::Read) == 0) {
        (void)NRFIsCanon1DTIFFRaw(in);
        (void)NRFIsPhaseOneTIFFRaw(in);
        (void)NRFIsKodakDCSRaw(in);
        (void)NRFIsPanasonicRaw(in);
    }
    return 0;
}
