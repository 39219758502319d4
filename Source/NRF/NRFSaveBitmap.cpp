// Saving bitmaps as JPEG, TIFF and Photoshop files. The file is encoded in memory first and then
// written beside its destination and renamed over it, so a failure never leaves half a file.

#include "NRF/NRFSaveBitmap.h"

#include "NRF/NRF.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <jerror.h>
#include <jpeglib.h>

namespace {

constexpr std::uint32_t kMaxJPEGSide = 65500; // the largest side the JPEG format can hold

// The library reports a fatal error through error_exit, which jumps back to the frame that called
// setjmp; that frame then frees what the library holds and answers a code.
struct ErrorManager {
    jpeg_error_mgr library;
    std::jmp_buf jump;
};

void errorExit(j_common_ptr info) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    char message[JMSG_LENGTH_MAX];
    (*info->err->format_message)(info, message);
    LUMO_LOG("NRFEncodeJPEG: %s", message);
    std::longjmp(manager->jump, 1);
}

void quietMessage(j_common_ptr) {}

// The compressed stream goes into a string through a buffer of the library's. A string that cannot
// grow is reported to the library as its own out-of-memory error, so no exception crosses its frames.
struct StringDestination {
    jpeg_destination_mgr library;
    std::string* out;
    JOCTET buffer[1 << 16];
};

void flushInto(j_compress_ptr info, std::size_t count) {
    auto* destination = reinterpret_cast<StringDestination*>(info->dest);
    bool failed = false;
    try {
        destination->out->append(reinterpret_cast<const char*>(destination->buffer), count);
    } catch (...) {
        failed = true;
    }
    if (failed)
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    destination->library.next_output_byte = destination->buffer;
    destination->library.free_in_buffer = sizeof destination->buffer;
}

void initDestination(j_compress_ptr info) {
    flushInto(info, 0);
}
boolean emptyDestination(j_compress_ptr info) {
    flushInto(info, sizeof reinterpret_cast<StringDestination*>(info->dest)->buffer);
    return TRUE;
}
void termDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<StringDestination*>(info->dest);
    flushInto(info, sizeof destination->buffer - destination->library.free_in_buffer);
}

// Everything the encoding needs and gives back, kept outside the frame that calls setjmp so that no
// local with a destructor is live across the jump.
struct EncodeJob {
    const NRFBitmapBase* bitmap;
    int quality;
    int hSampling, vSampling;
    unsigned density; // dots per inch; 0 for none
    const unsigned char* profile;
    unsigned profileSize;
    StringDestination* destination;
    NRFErr result;
};

void runEncode(EncodeJob* job) {
    jpeg_compress_struct info;
    ErrorManager manager;
    jpeg_std_error(&manager.library);
    manager.library.error_exit = &errorExit;
    manager.library.output_message = &quietMessage;
    info.err = &manager.library;
    if (setjmp(manager.jump)) {
        job->result = manager.library.msg_code == JERR_OUT_OF_MEMORY ? 7 : 9;
        jpeg_destroy_compress(&info);
        return;
    }
    jpeg_create_compress(&info);
    info.dest = &job->destination->library;
    const NRFBitmapBase& bitmap = *job->bitmap;
    info.image_width = bitmap.Width();
    info.image_height = bitmap.Height();
    info.input_components = bitmap.Channels();
    info.in_color_space = bitmap.Channels() == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, job->quality, TRUE);
    if (bitmap.Channels() == 3) {
        info.comp_info[0].h_samp_factor = job->hSampling;
        info.comp_info[0].v_samp_factor = job->vSampling;
    }
    if (job->density != 0) {
        info.write_JFIF_header = TRUE;
        info.density_unit = 1;
        info.X_density = static_cast<UINT16>(job->density);
        info.Y_density = static_cast<UINT16>(job->density);
    }
    jpeg_start_compress(&info, TRUE);
    if (job->profileSize != 0)
        jpeg_write_icc_profile(&info, job->profile, job->profileSize);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(bitmap.Row(info.next_scanline));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    job->result = 0;
}

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

NRFErr NRFEncodeJPEG(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::string& out) {
    out.clear();
    if (bitmap.Empty() || (bitmap.Channels() != 1 && bitmap.Channels() != 3))
        return 1;
    if (bitmap.Width() > kMaxJPEGSide || bitmap.Height() > kMaxJPEGSide)
        return 9;
    EncodeJob job{};
    job.bitmap = &bitmap;
    job.quality = std::clamp(options.quality, 1, 100);
    switch (options.chromaSubsampling) {
    case 444:
        job.hSampling = job.vSampling = 1;
        break;
    case 422:
        job.hSampling = 2;
        job.vSampling = 1;
        break;
    case 420:
        job.hSampling = job.vSampling = 2;
        break;
    default:
        return 1;
    }
    if (!std::isfinite(options.dpi) || options.dpi < 0.0)
        return 1;
    if (options.dpi > 0.0)
        job.density = static_cast<unsigned>(std::clamp(std::lround(options.dpi), 1L, 65535L));
    // APP2 chunks carry at most 255 x 65519 bytes of profile.
    if (options.iccProfile.size() > 255u * 65519u)
        return 1;
    job.profile = reinterpret_cast<const unsigned char*>(options.iccProfile.data());
    job.profileSize = static_cast<unsigned>(options.iccProfile.size());
    auto* destination = new (std::nothrow) StringDestination;
    if (!destination)
        return 7;
    destination->library.init_destination = &initDestination;
    destination->library.empty_output_buffer = &emptyDestination;
    destination->library.term_destination = &termDestination;
    destination->out = &out;
    job.destination = destination;
    job.result = 9;
    runEncode(&job);
    delete destination;
    if (job.result != 0)
        out.clear();
    return job.result;
}
