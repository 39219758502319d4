// The image prefs importer over any bytes, for a JPEG and for a raw with a sidecar (whose draft and
// older pixel crops take other paths), each turned by a rotation taken from the input; then the
// merge of the record's document with those bytes as the old sidecar, then the legacy end-of-file
// block over the same bytes in memory.

#include "FuzzSupport.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFImagePrefs.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFXMLImagePrefs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool started = [] {
        lumoFuzzScratchFolder();
        return NRFInit("") == kNRFErrNone;
    }();
    if (!started)
        std::abort();
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const NRFFileType type : {kNRFTypeJPEG, NRFMakeFileType("NNEF")}) {
        NRFImageInfoRec record("", type);
        record.m_width = 6000;
        record.m_height = 4000;
        record.m_orientation = static_cast<std::int16_t>(size % 8);
        (void)NRFXMLImagePrefsImport(record, text);
        // Whatever was taken is a valid crop.
        for (const NRFNormalizedCrop* crop : {&record.m_crop, &record.m_draftCrop})
            if (!(0 <= crop->left && crop->left < crop->right && crop->right <= 1 && 0 <= crop->top &&
                  crop->top < crop->bottom && crop->bottom <= 1))
                std::abort();
        std::string out;
        if (NRFXMLImagePrefsExport(record, out, true) != kNRFErrNone || out.size() < 1024)
            std::abort();
        // The same bytes as the document already beside the file: what is kept must leave a document
        // that reads back with the record's own values.
        std::string merged;
        if (NRFXMLImagePrefsMerge(record, text, merged) == kNRFErrNone) {
            NRFImageInfoRec back("", type);
            back.m_width = record.m_width;
            back.m_height = record.m_height;
            if (NRFXMLImagePrefsImport(back, merged) != kNRFErrNone ||
                back.m_orientation != record.m_orientation || back.m_tag != record.m_tag ||
                back.m_rating != record.m_rating)
                std::abort();
        }
    }
    std::string bytes = text;
    bool removed = false;
    (void)NRFRemoveEOFPrefs(bytes, removed);
    if (removed && bytes.size() != size - kNRFEOFBlockLength)
        std::abort();
    return 0;
}
