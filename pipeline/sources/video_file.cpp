#include "video_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <deque>
#include <future>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <string_view>
#include <thread>

#include "bounded_queue.h"
#include "jpeg_state.h"

namespace {

// The decoders' own messages go where the other readers' go: nowhere, unless --verbose.
// Messages of the container come on the thread that reads; those of a decoder on whatever
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

struct ReadingScope {
    bool was = readingHere;
    ReadingScope() { readingHere = true; }
    ~ReadingScope() { readingHere = was; }
};

double ratio(AVRational r) { return r.num == 0 || r.den == 0 ? 0. : double(r.num) / double(r.den); }

// Frame buffers used again once every frame made in them has been let go, so that a frame
// costs no fresh pages of memory.
class FramePool {
public:
    // A buffer of `rows` rows of `rowBytes` bytes, 64-byte aligned.
    cv::Mat take(int rows, int rowBytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (cv::Mat& m : buffers_)
            if (m.rows == rows && m.cols == rowBytes &&
                std::atomic_ref<int>(m.u->refcount).load(std::memory_order_acquire) == 1)
                return m;
        cv::Mat m(rows, rowBytes, CV_8UC1);
        if (buffers_.size() < kept) buffers_.push_back(m);
        return m;
    }

private:
    static constexpr size_t kept = 32;  // more than the frames a run holds at once
    std::mutex mutex_;
    std::vector<cv::Mat> buffers_;
};

// A decoded picture, grey, with the timestamps its time comes from.
struct Picture {
    cv::Mat image;
    int64_t pts = AV_NOPTS_VALUE, packetDts = AV_NOPTS_VALUE;
};

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

// One decoder of the video stream, with its conversion to BGR as OpenCV's reader makes it:
// bicubic swscale into a buffer of the decoder's coded size, rows 32-byte aligned, of which the
// frame is the top left corner at the stream's size.
class Decoder {
public:
    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() {
        sws_freeContext(sws_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }
    // False when the stream's decoder cannot be made or opened.
    bool open(const AVStream* stream, const AVCodec* codec, int threads) {
        context_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        if (!context_ || !frame_) return false;
        context_->thread_count = threads;
        context_->opaque = &ourDecoder;
        if (avcodec_parameters_to_context(context_, stream->codecpar) < 0 ||
            avcodec_open2(context_, codec, nullptr) < 0)
            return false;
        width_ = stream->codecpar->width ? stream->codecpar->width : context_->width;
        height_ = stream->codecpar->height ? stream->codecpar->height : context_->height;
        return true;
    }
    int send(const AVPacket* packet) { return avcodec_send_packet(context_, packet); }
    // Whether the frame last received was decoded with faults.
    bool marred() const { return frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT); }
    // A frame when the decoder has one (> 0), none yet (0), or its error (< 0);
    // `unconverted` when only counting. The picture is grey: the decoder's luma, or its
    // BGR conversion made grey where it has no 8-bit luma plane.
    enum { none = 0, frame = 1, unconverted = 2 };
    int receive(FramePool& pool, Picture& out, bool convert = true) {
        const int got = avcodec_receive_frame(context_, frame_);
        if (got == AVERROR(EAGAIN)) return none;
        if (got < 0) return got;
        out.pts = frame_->pts, out.packetDts = frame_->pkt_dts;
        if (!convert) return unconverted;
        if (lumaOf(frame_, width_, height_, pool, out.image)) return frame;
        if (!toBgr(pool, out.image)) return AVERROR(EINVAL);
        cv::cvtColor(out.image, out.image, cv::COLOR_BGR2GRAY);
        return frame;
    }

private:
    bool toBgr(FramePool& pool, cv::Mat& out) {
        const int codedWidth = std::max(context_->coded_width, width_);
        const int codedHeight = std::max(context_->coded_height, height_);
        sws_ = sws_getCachedContext(sws_, codedWidth, codedHeight, AVPixelFormat(frame_->format), codedWidth,
                                    codedHeight, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
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

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwsContext* sws_ = nullptr;
    int width_ = 0, height_ = 0;
};

// What one packet gave a decoder of its own: what sending it said, then receiving; `marred`
// when the decoder found faults in it, so that its picture may hold what the decoder's buffer
// held before, which one decoder taking every packet would have had otherwise.
struct Outcome {
    int sent = 0, received = 0;
    bool marred = false;
    Picture picture;
};

// Decoders on threads of their own, each given every n-th packet of a stream whose pictures
// stand alone, so that the pictures are decoded n at a time. The outcomes come back in the
// packets' order through their futures.
class DecoderThreads {
public:
    DecoderThreads(const AVStream* stream, const AVCodec* codec, int count, FramePool& pool) : pool_(pool) {
        for (int i = 0; i < count; ++i) {
            auto worker = std::make_unique<Worker>();
            if (!worker->decoder.open(stream, codec, 1)) return;
            workers_.push_back(std::move(worker));
        }
        for (auto& w : workers_) w->thread = std::thread([this, w = w.get()] { serve(*w); });
        ready_ = true;
    }
    ~DecoderThreads() {
        for (auto& w : workers_) w->tasks.close();
        for (auto& w : workers_)
            if (w->thread.joinable()) w->thread.join();
    }
    bool ready() const { return ready_; }
    // Takes the packet's data over.
    std::future<Outcome> submit(AVPacket* packet) {
        Task task{av_packet_alloc(), {}};
        av_packet_move_ref(task.packet, packet);
        std::future<Outcome> outcome = task.done.get_future();
        workers_[next_++ % workers_.size()]->tasks.push(std::move(task));
        return outcome;
    }

private:
    struct Task {
        AVPacket* packet;
        std::promise<Outcome> done;
    };
    struct Worker {
        Decoder decoder;
        BoundedQueue<Task> tasks{2};
        std::thread thread;
    };
    void serve(Worker& w) {
        for (Task task; w.tasks.pop(task);) {
            Outcome o;
            try {
                o.sent = w.decoder.send(task.packet);
                if (o.sent >= 0) o.received = w.decoder.receive(pool_, o.picture);
                o.marred = w.decoder.marred();
                task.done.set_value(std::move(o));
            } catch (...) {
                task.done.set_exception(std::current_exception());
            }
            av_packet_free(&task.packet);
        }
    }
    FramePool& pool_;
    std::vector<std::unique_ptr<Worker>> workers_;
    size_t next_ = 0;
    bool ready_ = false;
};

class VideoFile final : public FrameSource {
public:
    explicit VideoFile(std::string name) : name_(std::move(name)), packet_(av_packet_alloc()) {}
    ~VideoFile() override {
        threads_.reset();
        decoder_.reset();
        av_packet_free(&packet_);
        avformat_close_input(&format_);
    }
    bool open();
    Result read(cv::Mat& out, std::string& error) override;
    int64_t total() const override { return total_; }
    cv::Size announcedSize() const override { return size_; }
    double fps() const override { return fps_; }
    double time() const override { return time_; }

private:
    enum Packet { video, other, ended };
    bool openContainer();
    bool openDecoders();
    void announce();
    Packet nextPacket();
    bool grab(Picture& picture, bool convert = true);
    bool grabInTurn(Picture& picture, bool convert);
    bool grabAtOnce(Picture& picture);
    bool takeTurns();
    double seconds(const Picture& picture) const;

    std::string name_;
    AVFormatContext* format_ = nullptr;
    AVStream* stream_ = nullptr;
    const AVCodec* codec_ = nullptr;
    AVPacket* packet_;
    FramePool pool_;
    std::unique_ptr<Decoder> decoder_;          // decoding in turn
    std::unique_ptr<DecoderThreads> threads_;   // or several at once
    std::deque<std::future<Outcome>> pending_;  // the packets handed to the threads, in order
    JpegState jpegState_;
    bool drained_ = false, carriesState_ = false;
    int64_t grabbed_ = 0;
    int64_t total_ = -1;
    cv::Size size_;
    double fps_ = 25.0, time_ = -1;
};

bool VideoFile::openContainer() {
    if (avformat_open_input(&format_, name_.c_str(), nullptr, nullptr) < 0) return false;
    if (avformat_find_stream_info(format_, nullptr) < 0) return false;
    // The first video stream with a decoder, as OpenCV's reader takes.
    for (unsigned i = 0; i < format_->nb_streams && !stream_; ++i) {
        AVStream* s = format_->streams[i];
        if (s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        codec_ = avcodec_find_decoder(s->codecpar->codec_id);
        if (codec_) stream_ = s;
    }
    // A turned picture is left to OpenCV's reader, which turns it.
    const uint8_t* turn = stream_ ? av_stream_get_side_data(stream_, AV_PKT_DATA_DISPLAYMATRIX, nullptr) : nullptr;
    return stream_ && !(turn && std::lround(av_display_rotation_get(reinterpret_cast<const int32_t*>(turn))) != 0);
}

// Pictures that stand alone are decoded on as many threads as there are cores; others by one
// decoder with its own threads, as OpenCV's.
bool VideoFile::openDecoders() {
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    if (codec_->id == AV_CODEC_ID_MJPEG && cores > 1 && !carriesState_) {
        threads_ = std::make_unique<DecoderThreads>(stream_, codec_, std::min(cores, 8), pool_);
        if (threads_->ready()) return true;
        threads_.reset();
    }
    decoder_ = std::make_unique<Decoder>();
    return decoder_->open(stream_, codec_, std::min(cores, 16));
}

// What the container announces, worked out as OpenCV's reader does.
void VideoFile::announce() {
    const AVStream* s = stream_;
    const double rate = ratio(av_guess_frame_rate(format_, stream_, nullptr));
    double duration = double(format_->duration) / double(AV_TIME_BASE);
    if (duration < 0.000025) duration = double(s->duration) * ratio(s->time_base);
    const int64_t count = s->nb_frames != 0 ? s->nb_frames : int64_t(std::floor(duration * rate + 0.5));
    fps_ = rate > 0.5 && rate < 1000 ? rate : 25.0;
    total_ = count >= 1 && double(count) < 1e12 ? count : -1;
    size_ = cv::Size(s->codecpar->width, s->codecpar->height);
}

bool VideoFile::open() {
    ReadingScope scope;
    static std::once_flag logging;
    std::call_once(logging, [] { av_log_set_callback(filterLog); });
    av_log_set_level(AV_LOG_ERROR);
    if (!packet_ || !openContainer() || !openDecoders()) return false;
    announce();
    return size_.width > 0 && size_.height > 0;
}

VideoFile::Packet VideoFile::nextPacket() {
    av_packet_unref(packet_);
    const int got = av_read_frame(format_, packet_);
    if (got == AVERROR(EAGAIN)) return other;
    // A failed read leaves an empty packet of stream 0: for a video there, the decoder drains.
    if (got < 0) return got == AVERROR_EOF || stream_->index == 0 ? ended : other;
    return packet_->stream_index == stream_->index ? video : other;
}

// The next frame, as OpenCV's reader grabs it: leftovers of the decoder first, then packets;
// at the end the decoder drains. A packet it refuses ends the video.
bool VideoFile::grabInTurn(Picture& picture, bool convert) {
    constexpr int mostOthers = 4096, mostFailures = 64;
    int others = 0, failures = 0;
    if (decoder_->receive(pool_, picture, convert) > 0) return true;
    for (;;) {
        const Packet p = nextPacket();
        if (p == other) {
            if (++others > mostOthers) return false;
            continue;
        }
        if (decoder_->send(p == ended ? nullptr : packet_) < 0) return false;
        const int got = decoder_->receive(pool_, picture, convert);
        if (got > 0) return true;
        if (got < 0 && ++failures > mostFailures) return false;
    }
}

// Keeps the threads busy with the next packets, until the end or a picture that needs what
// an earlier one left in its decoder. False when nothing is left to hand over.
bool VideoFile::takeTurns() {
    int others = 0;
    while (!drained_ && pending_.size() < 2 * size_t(std::max(1u, std::thread::hardware_concurrency()))) {
        const Packet p = nextPacket();
        if (p == other && ++others <= 4096) continue;
        if (p != video) {
            drained_ = true;
            break;
        }
        if ((packet_->flags & AV_PKT_FLAG_CORRUPT) || !jpegState_.standsAlone(packet_->data, size_t(packet_->size))) {
            carriesState_ = drained_ = true;
            break;
        }
        pending_.push_back(threads_->submit(packet_));
    }
    return !pending_.empty();
}

bool VideoFile::grabAtOnce(Picture& picture) {
    for (int failures = 0; takeTurns();) {
        Outcome o = pending_.front().get();
        pending_.pop_front();
        if (o.marred) {
            carriesState_ = true;
            break;
        }
        if (o.sent < 0) return drained_ = true, pending_.clear(), false;
        if (o.received > 0) return picture = std::move(o.picture), true;
        if (o.received < 0 && ++failures > 64) return false;
    }
    if (!carriesState_) return false;
    // From here on one decoder, which has seen every picture before: the file again from its
    // start, the frames handed out decoded again as they were grabbed, and passed by.
    pending_.clear();
    threads_.reset();
    avformat_close_input(&format_);
    stream_ = nullptr;
    if (!openContainer() || !openDecoders()) return false;
    Picture passed;
    for (int64_t i = 0; i < grabbed_; ++i)
        if (!grabInTurn(passed, false)) return false;
    return grabInTurn(picture, true);
}

bool VideoFile::grab(Picture& picture, bool convert) {
    if (stream_->nb_frames > 0 && grabbed_ > stream_->nb_frames) return false;
    const bool got = threads_ ? grabAtOnce(picture) : grabInTurn(picture, convert);
    grabbed_ += got;
    return got;
}

// The frame's time as OpenCV's reader tells it: from its timestamp (its decoding time when it
// has none, or 0), counted from the stream's start.
double VideoFile::seconds(const Picture& p) const {
    const int64_t pts = p.pts != AV_NOPTS_VALUE && p.pts != 0 ? p.pts : p.packetDts;
    const double ms = pts == AV_NOPTS_VALUE ? 0 : double(pts - stream_->start_time) * ratio(stream_->time_base) * 1000;
    return std::isfinite(ms) && ms >= 0 ? ms / 1000.0 : -1;
}

FrameSource::Result VideoFile::read(cv::Mat& out, std::string& error) {
    ReadingScope scope;
    Picture picture;
    if (!grab(picture) || picture.image.empty()) {
        if (grabbed_ > 0) return end;
        error = "cannot decode any frame of '" + name_ + "'";
        return failed;
    }
    out = picture.image;
    time_ = seconds(picture);
    return frame;
}

}  // namespace

std::unique_ptr<FrameSource> openLumaVideo(const std::string& file) {
    auto source = std::make_unique<VideoFile>(file);
    if (!source->open()) return nullptr;
    return source;
}
