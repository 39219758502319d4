#include "FrameRenderer.h"

#include "NRF/NRFVideoRender.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

// Limits on the work one call may do.
constexpr int kDecodingThreads = 2;
constexpr int kMaxFramesDecoded = 3000; // while decoding forward from the key frame before the time
constexpr int kMaxBadPackets = 200;     // packets the decoder refused before we give up
constexpr std::int64_t kMaxPixels = std::int64_t{8192} * 8192; // 8K pictures have 33 million
constexpr auto kTimeLimit = std::chrono::seconds(25);          // the engine stops us a little later
constexpr double kMaxSeconds = 1e9;

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFreer>;

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Stops blocking reads of the demuxer once the time is up.
int interruptWhenLate(void* opaque) {
    const auto* deadline = static_cast<const Clock::time_point*>(opaque);
    return Clock::now() >= *deadline ? 1 : 0;
}

struct Decoding {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    int streamIndex = -1;
    std::int64_t target = 0; // in the stream's time base
    Clock::time_point deadline;
};

// Decodes from the demuxer's position until a frame at or after the target comes out, keeping in
// `kept` that frame or else the last one decoded. False only when nothing could be decoded at all;
// `reached` tells whether the target was met (else the movie ended or a limit was hit first).
bool decodeForward(const Decoding& d, AVFrame* kept, bool& reached) {
    reached = false;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame)
        throw std::bad_alloc();
    bool haveFrame = false, endOfInput = false, pending = false, drained = false;
    int decoded = 0, badPackets = 0;
    while (!reached && !drained) {
        if (decoded >= kMaxFramesDecoded) {
            std::fprintf(stderr, "lumo-videorender: stopped after %d frames without reaching the time\n",
                         decoded);
            break;
        }
        if (Clock::now() >= d.deadline) {
            std::fprintf(stderr, "lumo-videorender: out of time while decoding\n");
            break;
        }
        if (!pending && !endOfInput) {
            const int r = av_read_frame(d.format, packet.get());
            if (r < 0) {
                if (r != AVERROR_EOF)
                    std::fprintf(stderr, "lumo-videorender: reading stopped: %s\n", errorText(r).c_str());
                endOfInput = true;
            } else if (packet->stream_index != d.streamIndex) {
                av_packet_unref(packet.get());
                continue;
            } else {
                pending = true;
            }
        }
        if (pending || endOfInput) {
            const int r = avcodec_send_packet(d.codec, endOfInput ? nullptr : packet.get());
            if (r != AVERROR(EAGAIN)) {
                av_packet_unref(packet.get());
                pending = false;
                if (r < 0 && r != AVERROR_EOF && ++badPackets > kMaxBadPackets) {
                    std::fprintf(stderr, "lumo-videorender: too many undecodable packets: %s\n",
                                 errorText(r).c_str());
                    break;
                }
            }
        }
        while (true) {
            const int r = avcodec_receive_frame(d.codec, frame.get());
            if (r == AVERROR(EAGAIN))
                break;
            if (r == AVERROR_EOF) {
                drained = true;
                break;
            }
            if (r < 0) {
                if (endOfInput) // nothing more will come
                    drained = true;
                break;
            }
            ++decoded;
            av_frame_unref(kept);
            av_frame_move_ref(kept, frame.get());
            haveFrame = true;
            // Without timestamps there is no telling where we are: the first frame must do.
            const std::int64_t pts = kept->best_effort_timestamp;
            if (pts == AV_NOPTS_VALUE || pts >= d.target) {
                reached = true;
                break;
            }
        }
    }
    return haveFrame;
}

bool isFullRangeFormat(int format) {
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// Converts the decoded picture to packed 8-bit RGB, widened or narrowed by its pixel aspect ratio.
int convert(const AVFrame* picture, RenderedFrame& out) {
    const int w = picture->width, h = picture->height;
    if (w <= 0 || h <= 0) {
        std::fprintf(stderr, "lumo-videorender: the decoded frame has no size\n");
        return kExitDecode;
    }
    int outW = w;
    const AVRational sar = picture->sample_aspect_ratio;
    if (sar.num > 0 && sar.den > 0 && sar.num != sar.den) {
        const double widened = std::round(double(w) * sar.num / sar.den);
        if (widened >= 1 && widened <= kNRFVideoFrameMaxSide)
            outW = static_cast<int>(widened);
    }
    if (std::uint32_t(outW) > kNRFVideoFrameMaxSide || std::uint32_t(h) > kNRFVideoFrameMaxSide ||
        std::int64_t{outW} * h > kMaxPixels) {
        std::fprintf(stderr, "lumo-videorender: frame of %dx%d is too large\n", outW, h);
        return kExitTooLarge;
    }
    const auto format = static_cast<AVPixelFormat>(picture->format);
    ScalerPtr scaler(sws_getContext(w, h, format, outW, h, AV_PIX_FMT_RGB24, SWS_BICUBIC | SWS_ACCURATE_RND,
                                    nullptr, nullptr, nullptr));
    if (!scaler) {
        const char* name = av_get_pix_fmt_name(format);
        std::fprintf(stderr, "lumo-videorender: cannot convert pixel format %s\n", name ? name : "(unknown)");
        return kExitDecode;
    }
    // The frame's own colour matrix and range (BT.709 for HD pictures that do not say).
    int colourSpace = picture->colorspace;
    if (colourSpace == AVCOL_SPC_UNSPECIFIED || colourSpace == AVCOL_SPC_RESERVED)
        colourSpace = h >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    const int fullRange = picture->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(format) ? 1 : 0;
    sws_setColorspaceDetails(scaler.get(), sws_getCoefficients(colourSpace), fullRange,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16,
                             1 << 16); // fails for RGB input: fine

    // The scaler wants aligned rows; the frame is then packed.
    const int stride = FFALIGN(outW * 3, 64);
    std::vector<std::uint8_t> aligned(std::size_t(stride) * std::size_t(h) + 64);
    std::uint8_t* base = aligned.data() + (64 - reinterpret_cast<std::uintptr_t>(aligned.data()) % 64) % 64;
    std::uint8_t* planes[4] = {base, nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    const int rows = sws_scale(scaler.get(), picture->data, picture->linesize, 0, h, planes, strides);
    if (rows != h) {
        std::fprintf(stderr, "lumo-videorender: conversion to RGB failed\n");
        return kExitDecode;
    }
    out.width = static_cast<std::uint32_t>(outW);
    out.height = static_cast<std::uint32_t>(h);
    const std::size_t packed = std::size_t(outW) * 3;
    out.rgb.resize(packed * std::size_t(h));
    for (int y = 0; y < h; ++y)
        std::memcpy(&out.rgb[packed * std::size_t(y)], base + std::size_t(stride) * std::size_t(y), packed);
    return kExitOK;
}

void putU32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, 1 << 20));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

// QuickTime and MPEG-4 (with their 3GPP and Motion JPEG 2000 relatives), AVI, MPEG program and
// transport streams and elementary MPEG video: what the engine recognises as a movie.
constexpr char kContainerFormats[] = "mov,mp4,m4a,3gp,3g2,mj2,avi,mpeg,mpegts,mpegvideo";

int renderMovieFrame(const std::string& moviePath, double seconds, RenderedFrame& out,
                     std::int64_t memoryLimit) {
    av_log_set_level(AV_LOG_ERROR);
    Clock::time_point deadline = Clock::now() + kTimeLimit;

    AVFormatContext* opened = avformat_alloc_context();
    if (!opened)
        throw std::bad_alloc();
    opened->interrupt_callback.callback = interruptWhenLate;
    opened->interrupt_callback.opaque = &deadline;
    // A file name is a file name, never a URL: "http:host?x.mov" or "file:other.mov" must not make the
    // library open a connection or another file. An absolute path has no protocol prefix, only the file
    // protocol may be opened (by the movie or by anything a demuxer would open from it), and only the
    // container formats of the movies the engine reads may be probed.
    std::error_code ec;
    const std::string path = std::filesystem::absolute(moviePath, ec).string();
    if (ec || path.empty() || path[0] != '/') {
        avformat_free_context(opened);
        std::fprintf(stderr, "lumo-videorender: cannot open '%s': %s\n", moviePath.c_str(),
                     ec.message().c_str());
        return kExitOpen;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kContainerFormats, 0);
    const int r = avformat_open_input(&opened, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (r < 0) {
        // avformat_open_input frees the context when it fails.
        std::fprintf(stderr, "lumo-videorender: cannot open '%s': %s\n", moviePath.c_str(),
                     errorText(r).c_str());
        return kExitOpen;
    }
    FormatPtr format(opened);
    if (const int r = avformat_find_stream_info(format.get(), nullptr); r < 0) {
        std::fprintf(stderr, "lumo-videorender: cannot read the streams of '%s': %s\n", moviePath.c_str(),
                     errorText(r).c_str());
        return kExitOpen;
    }
    const AVCodec* decoder = nullptr;
    const int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (streamIndex < 0 || !decoder) {
        std::fprintf(stderr, "lumo-videorender: '%s' has no video stream that can be decoded: %s\n",
                     moviePath.c_str(),
                     errorText(streamIndex < 0 ? streamIndex : AVERROR_DECODER_NOT_FOUND).c_str());
        return kExitOpen;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i)
        format->streams[i]->discard = int(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* stream = format->streams[streamIndex];
    const AVCodecParameters* parameters = stream->codecpar;
    if (std::uint32_t(parameters->width) > kNRFVideoFrameMaxSide ||
        std::uint32_t(parameters->height) > kNRFVideoFrameMaxSide) {
        std::fprintf(stderr, "lumo-videorender: frame of %dx%d is too large\n", parameters->width,
                     parameters->height);
        return kExitTooLarge;
    }

    CodecPtr codec(avcodec_alloc_context3(decoder));
    if (!codec)
        throw std::bad_alloc();
    if (const int r = avcodec_parameters_to_context(codec.get(), parameters); r < 0) {
        std::fprintf(stderr, "lumo-videorender: bad stream parameters: %s\n", errorText(r).c_str());
        return kExitOpen;
    }
    codec->thread_count = kDecodingThreads;
    codec->max_pixels = kMaxPixels;
    if (memoryLimit > 0)
        codec->max_pixels =
            std::max<std::int64_t>(1, std::min(kMaxPixels, memoryLimit / kBytesPerDecodedPixel));
    codec->pkt_timebase = stream->time_base;
    if (const int r = avcodec_open2(codec.get(), decoder, nullptr); r < 0) {
        std::fprintf(stderr, "lumo-videorender: cannot start the %s decoder: %s\n", decoder->name,
                     errorText(r).c_str());
        return kExitOpen;
    }

    // The time in the stream's own units, counted from its first frame.
    const AVRational timeBase = stream->time_base;
    if (timeBase.num <= 0 || timeBase.den <= 0) {
        std::fprintf(stderr, "lumo-videorender: the video stream has no time base\n");
        return kExitOpen;
    }
    const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    seconds = std::clamp(seconds, 0.0, kMaxSeconds);
    const std::int64_t offset =
        av_rescale_q(std::llround(seconds * AV_TIME_BASE), AVRational{1, AV_TIME_BASE}, timeBase);
    const std::int64_t target = start > 0 && offset > INT64_MAX - start ? INT64_MAX : start + offset;
    Decoding d{format.get(), codec.get(), streamIndex, target, deadline};

    FramePtr kept(av_frame_alloc());
    if (!kept)
        throw std::bad_alloc();
    bool reached = false, haveFrame = false, sought = false;
    if (offset > 0) {
        // To the key frame at or before the time; decoding goes forward from there.
        const int r = av_seek_frame(format.get(), streamIndex, d.target, AVSEEK_FLAG_BACKWARD);
        if (r < 0)
            std::fprintf(stderr, "lumo-videorender: cannot seek (%s): decoding from the start\n",
                         errorText(r).c_str());
        else
            sought = true;
    }
    haveFrame = decodeForward(d, kept.get(), reached);
    if (!haveFrame && sought) {
        // Some files seek to a place that yields nothing (past the last key frame of a broken index):
        // start over from the beginning.
        avcodec_flush_buffers(codec.get());
        if (av_seek_frame(format.get(), streamIndex, start, AVSEEK_FLAG_BACKWARD) >= 0 ||
            avformat_seek_file(format.get(), -1, INT64_MIN, 0, 0, 0) >= 0)
            haveFrame = decodeForward(d, kept.get(), reached);
    }
    if (!haveFrame) {
        std::fprintf(stderr, "lumo-videorender: no frame of '%s' could be decoded\n", moviePath.c_str());
        return kExitDecode;
    }
    if (!reached)
        std::fprintf(stdout, "the time is past the last frame decoded: using that frame\n");

    if (const int rc = convert(kept.get(), out); rc != kExitOK)
        return rc;
    const std::int64_t pts = kept->best_effort_timestamp;
    out.seconds = pts == AV_NOPTS_VALUE ? 0 : (double(pts) - double(start)) * timeBase.num / timeBase.den;
    return kExitOK;
}

bool writeFrameFile(const std::string& path, const RenderedFrame& frame, std::string& error) {
    // The engine removes "OUTPUT.part" too, should it have to stop us halfway.
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    std::uint8_t header[kNRFVideoFrameHeaderSize];
    std::memcpy(header, kNRFVideoFrameMagic, 4);
    putU32(header + 4, kNRFVideoFrameVersion);
    putU32(header + 8, frame.width);
    putU32(header + 12, frame.height);
    putU32(header + 16, frame.width * 3);
    bool ok = writeAll(fd, header, sizeof header) && writeAll(fd, frame.rgb.data(), frame.rgb.size());
    if (!ok)
        error = std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        error = std::strerror(errno);
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}
