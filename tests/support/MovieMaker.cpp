#include "support/MovieMaker.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <memory>

namespace lumo::test {

namespace {

struct Output {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVFrame* rgb = nullptr;
    AVFrame* yuv = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;
    ~Output() {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&yuv);
        av_frame_free(&rgb);
        avcodec_free_context(&codec);
        if (format) {
            if (format->pb)
                avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }
};

std::string text(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

// Sends a frame (or the end, for null) and writes every packet that comes out.
int encode(Output& o, AVStream* stream, AVFrame* frame) {
    int r = avcodec_send_frame(o.codec, frame);
    if (r < 0)
        return r;
    while ((r = avcodec_receive_packet(o.codec, o.packet)) >= 0) {
        av_packet_rescale_ts(o.packet, o.codec->time_base, stream->time_base);
        o.packet->stream_index = stream->index;
        if ((r = av_interleaved_write_frame(o.format, o.packet)) < 0)
            return r;
    }
    return r == AVERROR(EAGAIN) || r == AVERROR_EOF ? 0 : r;
}

} // namespace

bool makeMovie(const std::string& path, const MoviePlan& plan, std::string& error) {
    av_log_set_level(AV_LOG_ERROR);
    Output o;
    auto fail = [&](const std::string& what, int code) {
        error = what + ": " + text(code);
        return false;
    };
    int r = avformat_alloc_output_context2(&o.format, nullptr, nullptr, path.c_str());
    if (r < 0 || !o.format)
        return fail("no container for " + path, r);
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!encoder)
        return fail("no MPEG-4 encoder", AVERROR_ENCODER_NOT_FOUND);
    AVStream* stream = avformat_new_stream(o.format, nullptr);
    o.codec = avcodec_alloc_context3(encoder);
    if (!stream || !o.codec)
        return fail("allocation", AVERROR(ENOMEM));
    o.codec->width = plan.width;
    o.codec->height = plan.height;
    o.codec->time_base = AVRational{1, plan.framesPerSecond};
    o.codec->framerate = AVRational{plan.framesPerSecond, 1};
    o.codec->pix_fmt = AV_PIX_FMT_YUV420P;
    o.codec->gop_size = plan.keyFrameInterval;
    o.codec->max_b_frames = 0;
    o.codec->flags |= AV_CODEC_FLAG_QSCALE;
    o.codec->global_quality = FF_QP2LAMBDA * 2;
    if (o.format->oformat->flags & AVFMT_GLOBALHEADER)
        o.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((r = avcodec_open2(o.codec, encoder, nullptr)) < 0)
        return fail("opening the encoder", r);
    stream->time_base = o.codec->time_base;
    if ((r = avcodec_parameters_from_context(stream->codecpar, o.codec)) < 0)
        return fail("stream parameters", r);
    if (plan.displayRotation != 0) {
        auto* matrix = reinterpret_cast<std::int32_t*>(
            av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
        if (!matrix)
            return fail("display matrix", AVERROR(ENOMEM));
        av_display_rotation_set(matrix, plan.displayRotation);
    }
    if ((r = avio_open(&o.format->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
        return fail("creating " + path, r);
    if ((r = avformat_write_header(o.format, nullptr)) < 0)
        return fail("writing the header", r);

    o.rgb = av_frame_alloc();
    o.yuv = av_frame_alloc();
    o.packet = av_packet_alloc();
    if (!o.rgb || !o.yuv || !o.packet)
        return fail("allocation", AVERROR(ENOMEM));
    o.rgb->format = AV_PIX_FMT_RGB24;
    o.yuv->format = AV_PIX_FMT_YUV420P;
    for (AVFrame* f : {o.rgb, o.yuv}) {
        f->width = plan.width;
        f->height = plan.height;
        if ((r = av_frame_get_buffer(f, 0)) < 0)
            return fail("frame buffer", r);
    }
    o.scaler = sws_getContext(plan.width, plan.height, AV_PIX_FMT_RGB24, plan.width, plan.height,
                              AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!o.scaler)
        return fail("colour conversion", AVERROR(EINVAL));

    std::int64_t pts = 0;
    for (const auto& picture : plan.seconds) {
        for (int y = 0; y < plan.height; ++y) {
            const Rgb& colour = picture[y < plan.height / 2 ? 0 : 1];
            std::uint8_t* row = o.rgb->data[0] + std::ptrdiff_t{y} * o.rgb->linesize[0];
            for (int x = 0; x < plan.width; ++x)
                std::memcpy(row + 3 * x, colour.data(), 3);
        }
        for (int i = 0; i < plan.framesPerSecond; ++i) {
            if ((r = av_frame_make_writable(o.yuv)) < 0)
                return fail("frame buffer", r);
            sws_scale(o.scaler, o.rgb->data, o.rgb->linesize, 0, plan.height, o.yuv->data, o.yuv->linesize);
            o.yuv->pts = pts++;
            o.yuv->quality = o.codec->global_quality;
            if ((r = encode(o, stream, o.yuv)) < 0)
                return fail("encoding", r);
        }
    }
    if ((r = encode(o, stream, nullptr)) < 0)
        return fail("encoding", r);
    if ((r = av_write_trailer(o.format)) < 0)
        return fail("finishing the file", r);
    return true;
}

} // namespace lumo::test
