// Saving bitmaps as JPEG, TIFF and Photoshop files. The file is encoded in memory first and then
// written beside its destination and renamed over it, so a failure never leaves half a file.

#include "NRF/NRFSaveBitmap.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <cstring>

namespace {

const char* reasonOf(NRFErr err) {
    switch (err) {
    case 1:
        return "the bitmap or the options cannot be saved";
    case 3:
        return "this format cannot be written yet";
    case 7:
        return "out of memory";
    default:
        return "the encoder refused the bitmap";
    }
}

using Encoder = NRFErr (*)(const NRFBitmapBase&, const NRFSaveOptions&, std::string&);

NRFErr saveWith(Encoder encode, const char* format, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->source) {
        NRFSetErrorText("Cannot save '%s': no bitmap was given.", record.m_path.c_str());
        return 1;
    }
    const NRFSaveOptions defaults;
    const NRFSaveOptions& options = args->saveOptions ? *args->saveOptions : defaults;
    std::string bytes;
    NRFErr err = 0;
    try {
        err = encode(*args->source, options, bytes);
    } catch (const std::bad_alloc&) {
        err = 7;
    }
    if (err != 0) {
        NRFSetErrorText("Cannot save '%s' as %s: %s.", record.m_path.c_str(), format, reasonOf(err));
        LUMO_LOG("NRFSaveBitmapAsFile: cannot encode '%s' as %s (%u)", record.m_path.c_str(), format,
                 static_cast<unsigned>(err));
        return err;
    }
    if (const int error = lumo::writeFileReplacing(record.m_path, bytes); error != 0) {
        NRFSetErrorText("Cannot write '%s': %s.", record.m_path.c_str(), std::strerror(error));
        LUMO_LOG("NRFSaveBitmapAsFile: cannot write '%s': %s", record.m_path.c_str(), std::strerror(error));
        return error == ENOMEM ? 7 : 5;
    }
    return 0;
}

NRFErr saveJPEG(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    return saveWith(&NRFEncodeJPEG, "JPEG", record, args);
}
NRFErr saveTIFF(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    return saveWith(&NRFEncodeTIFF, "TIFF", record, args);
}
NRFErr savePSD(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    return saveWith(&NRFEncodePSD, "Photoshop", record, args);
}

} // namespace

void NRFInstallBitmapSaver(const NRFFileTypeInfo& row, NRFPluginFunctions& functions) {
    if (!(row.capabilities & kNRFCapSaveBitmap))
        return;
    if (row.fileType == kNRFTypeJPEG)
        functions.SaveBitmapAsFile = &saveJPEG;
    else if (row.fileType == kNRFTypeTIFF)
        functions.SaveBitmapAsFile = &saveTIFF;
    else if (row.fileType == NRFMakeFileType("APSD"))
        functions.SaveBitmapAsFile = &savePSD;
}
