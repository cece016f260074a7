#include "sources/av_decoding.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <opencv2/imgproc.hpp>
#include <string_view>

#include "ambrevo/pipeline/sources/frame_source.h"

namespace {

// Messages of a container come on the thread that reads; those of a decoder on whatever
// thread decodes, so its context is marked (the mark is copied into its threads' contexts).
thread_local bool readingHere = false;
char ourDecoder;

void filterLog(void* from, int level, const char* format, va_list args) {
    if (!decoderChatterShown()) {
        if (readingHere) return;
        const AVClass* kind = from ? *static_cast<const AVClass* const*>(from) : nullptr;
        if (kind == avcodec_get_class() && static_cast<AVCodecContext*>(from)->opaque == &ourDecoder) return;
    }
    av_log_default_callback(from, level, format, args);
}

double ratio(AVRational r) { return r.num == 0 || r.den == 0 ? 0. : double(r.num) / double(r.den); }

// The decoder's luma as grey levels 0 to 255 (video range stretched), for planar formats
// with an 8-bit luma plane; false for others.
bool lumaOf(const AVFrame* f, int width, int height, FramePool& pool, cv::Mat& out) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM)) ||
        !(d->flags & AV_PIX_FMT_FLAG_PLANAR || d->nb_components == 1) || d->comp[0].plane != 0 ||
        d->comp[0].depth != 8 || d->comp[0].step != 1 || f->width < width || f->height < height)
        return false;
    const bool full = f->color_range == AVCOL_RANGE_JPEG ||
                      (d->name && std::string_view(d->name).starts_with("yuvj")) || d->nb_components == 1;
    out = pool.take(height, width);
    const cv::Mat plane(height, width, CV_8UC1, f->data[0], size_t(f->linesize[0]));
    if (full) {
        plane.copyTo(out);
        return true;
    }
    static const cv::Mat stretch = [] {
        cv::Mat lut(1, 256, CV_8UC1);
        for (int v = 0; v < 256; ++v)
            lut.at<uint8_t>(v) = cv::saturate_cast<uint8_t>(std::lround((v - 16) * 255.0 / 219.0));
        return lut;
    }();
    cv::LUT(plane, stretch, out);
    return true;
}

}  // namespace

void quietFFmpeg() {
    static std::once_flag logging;
    std::call_once(logging, [] { av_log_set_callback(filterLog); });
    av_log_set_level(AV_LOG_ERROR);
}

ReadingScope::ReadingScope() : was(readingHere) { readingHere = true; }
ReadingScope::~ReadingScope() { readingHere = was; }

cv::Mat FramePool::take(int rows, int rowBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (cv::Mat& m : buffers_)
        if (m.rows == rows && m.cols == rowBytes &&
            std::atomic_ref<int>(m.u->refcount).load(std::memory_order_acquire) == 1)
            return m;
    cv::Mat m(rows, rowBytes, CV_8UC1);
    if (buffers_.size() < kept) buffers_.push_back(m);
    return m;
}

Decoder::~Decoder() {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

bool Decoder::open(const AVStream* stream, const AVCodec* codec, int threads) {
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    if (!context_ || !frame_) return false;
    context_->thread_count = threads;
    context_->opaque = &ourDecoder;
    if (avcodec_parameters_to_context(context_, stream->codecpar) < 0 || avcodec_open2(context_, codec, nullptr) < 0)
        return false;
    width_ = stream->codecpar->width ? stream->codecpar->width : context_->width;
    height_ = stream->codecpar->height ? stream->codecpar->height : context_->height;
    return true;
}

int Decoder::receive(FramePool& pool, Picture& out, bool convert) {
    const int got = avcodec_receive_frame(context_, frame_);
    if (got == AVERROR(EAGAIN)) return none;
    if (got < 0) return got;
    out.pts = frame_->pts, out.packetDts = frame_->pkt_dts;
    if (!convert) return unconverted;
    if (pixels_ == Pixels::grey && lumaOf(frame_, width_, height_, pool, out.image)) return frame;
    if (!toBgr(pool, out.image)) return AVERROR(EINVAL);
    if (pixels_ == Pixels::grey) cv::cvtColor(out.image, out.image, cv::COLOR_BGR2GRAY);
    return frame;
}

bool Decoder::toBgr(FramePool& pool, cv::Mat& out) {
    const int codedWidth = std::max(context_->coded_width, width_);
    const int codedHeight = std::max(context_->coded_height, height_);
    sws_ = sws_getCachedContext(sws_, codedWidth, codedHeight, AVPixelFormat(frame_->format), codedWidth, codedHeight,
                                AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!sws_ || frame_->height > codedHeight) return false;
    // The row length av_frame_get_buffer gives with 32-byte alignment.
    int rowBytes = 3 * codedWidth;
    for (int a = 1; a <= 32 && rowBytes % 32; a *= 2) rowBytes = 3 * ((codedWidth + a - 1) / a * a);
    cv::Mat buffer = pool.take(codedHeight, rowBytes);
    uint8_t* planes[4] = {buffer.data, nullptr, nullptr, nullptr};
    const int strides[4] = {rowBytes, 0, 0, 0};
    sws_scale(sws_, frame_->data, frame_->linesize, 0, frame_->height, planes, strides);
    out = buffer(cv::Rect(0, 0, 3 * width_, height_)).reshape(3);
    return true;
}

Announced announced(AVFormatContext* format, AVStream* stream) {
    const double rate = ratio(av_guess_frame_rate(format, stream, nullptr));
    double duration = double(format->duration) / double(AV_TIME_BASE);
    if (duration < 0.000025) duration = double(stream->duration) * ratio(stream->time_base);
    const int64_t count = stream->nb_frames != 0 ? stream->nb_frames : int64_t(std::floor(duration * rate + 0.5));
    Announced a;
    a.fps = rate > 0.5 && rate < 1000 ? rate : 25.0;
    a.total = count >= 1 && double(count) < 1e12 ? count : -1;
    a.size = cv::Size(stream->codecpar->width, stream->codecpar->height);
    return a;
}

AVStream* firstVideoStream(AVFormatContext* format, const AVCodec*& codec) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream* s = format->streams[i];
        if (s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        codec = avcodec_find_decoder(s->codecpar->codec_id);
        if (codec) return s;
    }
    return nullptr;
}

double pictureSeconds(const Picture& p, const AVStream* stream) {
    const int64_t pts = p.pts != AV_NOPTS_VALUE && p.pts != 0 ? p.pts : p.packetDts;
    // Wrapping as OpenCV's subtraction does where a stream has no start time (a live one), but
    // without overflowing a signed integer: such a time comes out negative, so unknown.
    const int64_t fromStart = int64_t(uint64_t(pts) - uint64_t(stream->start_time));
    const double ms = pts == AV_NOPTS_VALUE ? 0 : double(fromStart) * ratio(stream->time_base) * 1000;
    return std::isfinite(ms) && ms >= 0 ? ms / 1000.0 : -1;
}
