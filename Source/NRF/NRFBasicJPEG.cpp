#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFDecode.h"

#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <mutex>
#include <new>

#include <jerror.h>
#include <jpeglib.h>

namespace {

constexpr std::uint32_t kMaxJPEGSide = 65500; // the largest side the JPEG format can hold

// Progressive files of real cameras and editors hold about ten scans; a file with thousands of tiny
// scans makes the library pass over the whole coefficient buffer for each one.
constexpr int kMaxScans = 500;

// The library reports a fatal error by calling error_exit, which must not return: it jumps back to
// the call that started the work, which then cleans up and answers a result code.
struct ErrorManager {
    jpeg_error_mgr library;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    NRFErr stopped; // non-zero when the decode was stopped here rather than by the library
};

// The library's text of the last failure of this thread, for callers that name the file.
thread_local char tLastMessage[JMSG_LENGTH_MAX];

[[noreturn]] void stop(j_common_ptr info, NRFErr result, const char* why) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    manager->stopped = result;
    std::snprintf(manager->message, sizeof manager->message, "%s", why);
    std::snprintf(tLastMessage, sizeof tLastMessage, "%s", why);
    LUMO_LOG("NRFJPEGErrorExit: %s", why);
    std::longjmp(manager->jump, 1);
}

void errorExit(j_common_ptr info) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::snprintf(tLastMessage, sizeof tLastMessage, "%s", manager->message);
    LUMO_LOG("NRFJPEGErrorExit: %s", manager->message);
    std::longjmp(manager->jump, 1);
}

// Warnings (a truncated scan and the like) are not failures: the decoded part is kept. Many of them
// mean a badly damaged stream, which is given up.
void countMessage(j_common_ptr info, int level) {
    if (level != -1)
        return;
    if (++info->err->num_warnings > kNRFDecodeMaxWarnings)
        stop(info, 9, "too many corrupt-data warnings");
}

void quietMessage(j_common_ptr) {}

void progressMonitor(j_common_ptr info) {
    if (info->is_decompressor && reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans)
        stop(info, 9, "too many scans");
}

void installErrorManager(ErrorManager& manager) {
    jpeg_std_error(&manager.library);
    manager.library.error_exit = &errorExit;
    manager.library.output_message = &quietMessage;
    manager.message[0] = '\0';
    manager.stopped = 0;
}

NRFErr failureCode(const ErrorManager& manager) {
    if (manager.stopped != 0)
        return manager.stopped;
    return manager.library.msg_code == JERR_OUT_OF_MEMORY || manager.library.msg_code == JERR_NO_BACKING_STORE
               ? 7
               : 9;
}

// The smallest of the library's scales n/8 (n = 1..8) whose long side still reaches `wantedSize`.
void chooseScale(jpeg_decompress_struct& info, std::uint32_t wantedSize) {
    info.scale_denom = 8;
    for (unsigned n = 1; n <= 8; ++n) {
        info.scale_num = n;
        jpeg_calc_output_dimensions(&info);
        if (n == 8 || std::max(info.output_width, info.output_height) >= wantedSize)
            return;
    }
}

// CMYK and YCCK streams come out of the library as CMYK; files written with an Adobe marker store the
// inks inverted (255 = no ink).
void cmykRowToRgb(const JSAMPLE* cmyk, std::uint8_t* rgb, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        const unsigned k = inverted ? cmyk[3] : 255u - cmyk[3];
        for (int c = 0; c < 3; ++c) {
            const unsigned ink = inverted ? cmyk[c] : 255u - cmyk[c];
            rgb[c] = static_cast<std::uint8_t>((ink * k + 127) / 255);
        }
    }
}

// Everything touched after the jump lives here, outside the frame that calls setjmp.
struct DecodeJob {
    const unsigned char* data;
    unsigned long size;
    std::uint32_t wantedSize;
    std::uint64_t maxBytes;
    NRFBitmapBase* out;
    NRFErr result;
};

// What the decode holds at once: the output bitmap, the library's row buffers and, for streams of
// several scans (progressive ones), the coefficients of the whole image (64 two-byte values per block).
std::uint64_t decodeBytes(j_decompress_ptr info, int channels) {
    std::uint64_t bytes =
        std::uint64_t{info->output_width} * info->output_height * static_cast<unsigned>(channels);
    bytes +=
        std::uint64_t{info->output_width} * 4 * 2 * DCTSIZE * static_cast<unsigned>(info->max_v_samp_factor);
    if (jpeg_has_multiple_scans(info))
        for (int c = 0; c < info->num_components; ++c) {
            const jpeg_component_info& component = info->comp_info[c];
            const auto roundUp = [](std::uint64_t n, int to) {
                const auto step = static_cast<std::uint64_t>(std::max(to, 1));
                return (n + step - 1) / step * step;
            };
            bytes += roundUp(component.width_in_blocks, component.h_samp_factor) *
                     roundUp(component.height_in_blocks, component.v_samp_factor) * DCTSIZE2 * sizeof(JCOEF);
        }
    return bytes;
}

// Huffman coding spends at least one bit on the DC value of every block of a component, so a stream
// must hold at least one bit per block of its smallest component. Damaged and cut files hold less, so
// a stream is only refused when it holds less than an eighth of that: it would decode to a picture of
// almost nothing but grey, at the cost of a full-size decode. Arithmetic coding has no such floor.
bool implausiblySmall(j_decompress_ptr info, unsigned long size) {
    if (info->arith_code || info->num_components < 1)
        return false;
    std::uint64_t fewest = UINT64_MAX;
    for (int c = 0; c < info->num_components; ++c)
        fewest = std::min(fewest, std::uint64_t{info->comp_info[c].width_in_blocks} *
                                      info->comp_info[c].height_in_blocks);
    return fewest > std::uint64_t{size} * 8 * 8;
}

void runDecode(DecodeJob* job) {
    jpeg_decompress_struct info;
    ErrorManager manager;
    info.err = &manager.library;
    installErrorManager(manager);
    if (setjmp(manager.jump)) {
        job->result = failureCode(manager);
        jpeg_destroy_decompress(&info);
        return;
    }
    jpeg_create_decompress(&info);
    manager.library.emit_message = &countMessage;
    manager.progress.progress_monitor = &progressMonitor;
    info.progress = &manager.progress;
    info.mem->max_memory_to_use = static_cast<long>(std::min<std::uint64_t>(job->maxBytes, LONG_MAX));
    jpeg_mem_src(&info, const_cast<unsigned char*>(job->data), job->size);
    jpeg_read_header(&info, TRUE);
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    if (info.jpeg_color_space == JCS_GRAYSCALE)
        info.out_color_space = JCS_GRAYSCALE;
    else if (cmyk)
        info.out_color_space = JCS_CMYK;
    else
        info.out_color_space = JCS_RGB;
    if (job->wantedSize != 0)
        chooseScale(info, job->wantedSize);
    else
        jpeg_calc_output_dimensions(&info);
    const int channels = info.out_color_space == JCS_GRAYSCALE ? 1 : 3;
    if (implausiblySmall(&info, job->size)) {
        LUMO_LOG("DecompressJPEG: %lu bytes cannot hold an image of %u x %u pixels", job->size,
                 info.image_width, info.image_height);
        std::snprintf(tLastMessage, sizeof tLastMessage, "the data is far too short for the image size");
        job->result = 9;
        jpeg_destroy_decompress(&info);
        return;
    }
    if (NRFCheckDecodeMemory("DecompressJPEG", decodeBytes(&info, channels), job->maxBytes) != 0) {
        std::snprintf(tLastMessage, sizeof tLastMessage, "the image needs more memory than decoding may use");
        job->result = 7;
        jpeg_destroy_decompress(&info);
        return;
    }
    jpeg_start_decompress(&info);
    if (!job->out->Allocate(info.output_width, info.output_height, channels)) {
        job->result = 7;
        jpeg_destroy_decompress(&info);
        return;
    }
    // The library's own pool holds the CMYK row, so it goes with the decompressor on any exit.
    JSAMPARRAY inkRow = cmyk ? (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                         info.output_width * 4, 1)
                             : nullptr;
    while (info.output_scanline < info.output_height) {
        const JDIMENSION y = info.output_scanline;
        if (cmyk) {
            jpeg_read_scanlines(&info, inkRow, 1);
            cmykRowToRgb(inkRow[0], job->out->Row(y), info.output_width, info.saw_Adobe_marker);
        } else {
            JSAMPROW row = job->out->Row(y);
            jpeg_read_scanlines(&info, &row, 1);
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    job->result = 0;
}

// A destination that appends to a string, 64 KiB at a time.
struct StringDestination {
    jpeg_destination_mgr library;
    std::string* out;
    JOCTET buffer[65536];
};

void initDestination(j_compress_ptr info) {
    auto* dest = reinterpret_cast<StringDestination*>(info->dest);
    dest->library.next_output_byte = dest->buffer;
    dest->library.free_in_buffer = sizeof dest->buffer;
}

bool appendBytes(StringDestination* dest, std::size_t count) {
    try {
        dest->out->append(reinterpret_cast<const char*>(dest->buffer), count);
        return true;
    } catch (...) {
        return false;
    }
}

boolean emptyDestination(j_compress_ptr info) {
    auto* dest = reinterpret_cast<StringDestination*>(info->dest);
    if (!appendBytes(dest, sizeof dest->buffer))
        ERREXIT(info, JERR_OUT_OF_MEMORY);
    initDestination(info);
    return TRUE;
}

void termDestination(j_compress_ptr info) {
    auto* dest = reinterpret_cast<StringDestination*>(info->dest);
    if (!appendBytes(dest, sizeof dest->buffer - dest->library.free_in_buffer))
        ERREXIT(info, JERR_OUT_OF_MEMORY);
}

// Everything the encoding needs and gives back, kept outside the frame that calls setjmp so that no
// local with a destructor is live across the jump.
struct EncodeJob {
    const NRFBitmapBase* bitmap;
    int quality;
    int hSampling, vSampling; // of the luma component
    unsigned density;         // dots per inch; 0 for none
    const unsigned char* profile;
    unsigned profileSize;
    StringDestination* destination;
    NRFErr result;
};

void runEncode(EncodeJob* job) {
    jpeg_compress_struct info;
    ErrorManager manager;
    info.err = &manager.library;
    installErrorManager(manager);
    if (setjmp(manager.jump)) {
        job->result = failureCode(manager);
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
        // The library only reads the rows it is given.
        JSAMPROW row = const_cast<JSAMPROW>(bitmap.Row(info.next_scanline));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    job->result = 0;
}

} // namespace

std::recursive_mutex& NRFEmbeddedReadLock() {
    static std::recursive_mutex lock;
    return lock;
}

NRFErr NRFDecompressJPEG(const void* data, std::size_t size, std::uint32_t wantedSize, NRFBitmapBase& out) {
    return NRFDecompressJPEG(data, size, wantedSize, NRFDecodeMemoryLimit(), out);
}

NRFErr NRFDecompressJPEG(const void* data, std::size_t size, std::uint32_t wantedSize, std::uint64_t maxBytes,
                         NRFBitmapBase& out) {
    out.Clear();
    tLastMessage[0] = '\0';
    if (!data || size == 0 || size > 0xFFFFFFFFu) {
        LUMO_LOG("DecompressJPEG error loading jpeg from data.");
        return 9;
    }
    DecodeJob job{static_cast<const unsigned char*>(data),
                  static_cast<unsigned long>(size),
                  wantedSize,
                  maxBytes,
                  &out,
                  9};
    runDecode(&job);
    if (job.result != 0) {
        out.Clear();
        LUMO_LOG("DecompressJPEG error loading jpeg from data.");
    }
    return job.result;
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

NRFErr NRFCompressJPEG(const NRFBitmapBase& bitmap, int quality, std::string& out) {
    NRFSaveOptions options;
    options.quality = quality;
    const NRFErr result = NRFEncodeJPEG(bitmap, options, out);
    return result == 1 ? 9 : result;
}

NRFErr NRFReadEmbeddedBytes(const std::string& path, std::uint64_t offset, std::uint64_t length,
                            std::string& bytes) {
    const std::lock_guard lock(NRFEmbeddedReadLock());
    lumo::File file;
    if (file.open(path, lumo::File::Mode::Read) != 0) {
        LUMO_LOG("NRFBasicJPEGLoadImage failed to open '%s' for reading", path.c_str());
        return 5;
    }
    std::uint64_t fileSize = 0;
    if (file.size(fileSize) != 0 || fileSize == 0) {
        LUMO_LOG("NRFBasicJPEGLoadImage filesize for '%s' is zero", path.c_str());
        return 5;
    }
    if (offset >= fileSize) {
        LUMO_LOG("NRFBasicJPEGLoadImage failed to seek to offset %lu in file '%s'",
                 static_cast<unsigned long>(offset), path.c_str());
        return 5;
    }
    if (length == 0)
        length = fileSize - offset;
    // A location recorded from a file that has since shrunk: nothing is allocated for bytes that are
    // not there.
    if (length > fileSize - offset) {
        LUMO_LOG("NRFBasicJPEGLoadImage failed to read %lu bytes of file '%s'",
                 static_cast<unsigned long>(length), path.c_str());
        return 5;
    }
    try {
        if (length > bytes.max_size())
            throw std::bad_alloc();
        bytes.resize(static_cast<std::size_t>(length));
    } catch (...) {
        LUMO_LOG("NRFBasicJPEGLoadImage failed to allocate %lu bytes to load file '%s'",
                 static_cast<unsigned long>(length), path.c_str());
        return 7;
    }
    std::size_t got = 0;
    if (file.readAt(bytes.data(), bytes.size(), offset, got) != 0 || got != bytes.size()) {
        LUMO_LOG("NRFBasicJPEGLoadImage failed to read %lu bytes of file '%s'",
                 static_cast<unsigned long>(length), path.c_str());
        bytes.clear();
        return 5;
    }
    return 0;
}

NRFErr NRFBasicJPEGLoadImage(const std::string& path, std::uint64_t offset, std::uint64_t length,
                             NRFBitmapBase& bitmap, std::uint32_t size) {
    std::string bytes;
    if (const NRFErr read = NRFReadEmbeddedBytes(path, offset, length, bytes); read != 0) {
        bitmap.Clear();
        return read;
    }
    const std::uint64_t limit = NRFDecodeMemoryLimit();
    const NRFErr result = NRFDecompressJPEG(bytes.data(), bytes.size(), size,
                                            limit - std::min<std::uint64_t>(limit, bytes.size()), bitmap);
    if (result != 0 && tLastMessage[0] != '\0')
        LUMO_LOG("While processing file: '%s', %s", path.c_str(), tLastMessage);
    return result;
}
