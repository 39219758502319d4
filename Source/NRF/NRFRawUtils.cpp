#include "NRF/NRFRawUtils.h"

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

#include <utility>

bool NRFStartsWithJPEG(NRFByteSource& source) {
    unsigned char b[3];
    return source.ReadAt(0, b, 3) && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF;
}

bool NRFLocateJPEG(NRFByteSource& source, std::uint64_t pos, std::uint64_t length, NRFEmbeddedImageLoc& out) {
    std::uint32_t width = 0, height = 0;
    const std::uint64_t size = source.Size();
    if (pos < 8 || length == 0 || pos >= size || length > size - pos || pos + length > 0xFFFFFFFFull ||
        !NRFReadJPEGSize(source, pos, length, width, height))
        return false;
    out = NRFEmbeddedImageLoc{static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(length), width,
                              height};
    return true;
}

void NRFSetJPEGPreview(NRFImageInfoRec& record, const NRFEmbeddedImageLoc& preview) {
    record.m_preview = preview;
    record.m_previewIsJPEG = true;
    record.m_previewOffsetIsAbsolute = true;
}

void NRFSwapSizesForRotation(NRFImageInfoRec& record) {
    if ((record.m_orientation & 1) == 0)
        return;
    std::swap(record.m_preview.width, record.m_preview.height);
    std::swap(record.m_width, record.m_height);
}

void NRFSetDisplaySize(NRFImageInfoRec& record) {
    const NRFEmbeddedImageLoc& shown = record.m_preview.present() ? record.m_preview : record.m_thumbnail;
    record.m_displayWidth = shown.width;
    record.m_displayHeight = shown.height;
}
