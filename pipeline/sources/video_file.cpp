#include "sources/video_file.h"

extern "C" {
#include <libavutil/display.h>
}

#include <algorithm>
#include <cmath>
#include <deque>
#include <future>
#include <thread>

#include "core/bounded_queue.h"
#include "sources/av_decoding.h"
#include "sources/jpeg_state.h"

namespace {

// What one packet gave a decoder of its own: what sending it said, then receiving; `marred`
// when the decoder found faults in it, so that its picture may hold what the decoder's buffer
// held before, which one decoder taking every packet would have had otherwise.
struct Decoded {
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
    std::future<Decoded> submit(AVPacket* packet) {
        Task task{av_packet_alloc(), {}};
        av_packet_move_ref(task.packet, packet);
        std::future<Decoded> outcome = task.done.get_future();
        workers_[next_++ % workers_.size()]->tasks.push(std::move(task));
        return outcome;
    }

private:
    struct Task {
        AVPacket* packet;
        std::promise<Decoded> done;
    };
    struct Worker {
        Decoder decoder;
        BoundedQueue<Task> tasks{2};
        std::thread thread;
    };
    void serve(Worker& w) {
        for (Task task; w.tasks.pop(task);) {
            Decoded o;
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
    Result read(cv::Mat& out) override;
    int64_t total() const override { return announced_.total; }
    cv::Size announcedSize() const override { return announced_.size; }
    double fps() const override { return announced_.fps; }
    double time() const override { return time_; }

private:
    enum Packet { video, other, ended };
    // What a grab gave: a picture, a frame the decoder refused, or the end.
    enum class Grab { picture, undecodable, end };
    bool openContainer();
    bool openDecoders();
    Packet nextPacket();
    Grab grab(Picture& picture, bool convert = true);
    Grab grabInTurn(Picture& picture, bool convert);
    Grab grabAtOnce(Picture& picture);
    Grab decodeInTurnFromStart(Picture& picture);
    bool takeTurns();

    std::string name_;
    AVFormatContext* format_ = nullptr;
    AVStream* stream_ = nullptr;
    const AVCodec* codec_ = nullptr;
    AVPacket* packet_;
    FramePool pool_;
    std::unique_ptr<Decoder> decoder_;          // decoding in turn
    std::unique_ptr<DecoderThreads> threads_;   // or several at once
    std::deque<std::future<Decoded>> pending_;  // the packets handed to the threads, in order
    JpegState jpegState_;
    bool drained_ = false, carriesState_ = false;
    int64_t grabbed_ = 0;  // pictures grabbed
    int64_t grabs_ = 0;    // grabs that gave a picture or a refused frame
    UndecodableAhead ahead_;
    Picture held_;  // the picture grabbed ahead
    Announced announced_;
    double time_ = -1;
};

bool VideoFile::openContainer() {
    if (avformat_open_input(&format_, name_.c_str(), nullptr, nullptr) < 0) return false;
    if (avformat_find_stream_info(format_, nullptr) < 0) return false;
    stream_ = firstVideoStream(format_, codec_);
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

bool VideoFile::open() {
    ReadingScope scope;
    quietFFmpeg();
    if (!packet_ || !openContainer() || !openDecoders()) return false;
    announced_ = announced(format_, stream_);
    return announced_.size.width > 0 && announced_.size.height > 0;
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
// at the end the decoder drains. A packet the decoder refuses is a frame it cannot decode,
// and so are many failures in a row: the next grab goes on after them, as OpenCV's does.
VideoFile::Grab VideoFile::grabInTurn(Picture& picture, bool convert) {
    constexpr int mostOthers = 4096, mostFailures = 64;
    int others = 0, failures = 0;
    if (decoder_->receive(pool_, picture, convert) > 0) return Grab::picture;
    for (;;) {
        const Packet p = nextPacket();
        if (p == other) {
            if (++others > mostOthers) return Grab::undecodable;
            continue;
        }
        if (decoder_->send(p == ended ? nullptr : packet_) < 0) return p == ended ? Grab::end : Grab::undecodable;
        const int got = decoder_->receive(pool_, picture, convert);
        if (got > 0) return Grab::picture;
        if (got < 0 && ++failures > mostFailures) return Grab::undecodable;
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

VideoFile::Grab VideoFile::grabAtOnce(Picture& picture) {
    for (int failures = 0; takeTurns();) {
        Decoded o = pending_.front().get();
        pending_.pop_front();
        if (o.marred) {
            carriesState_ = true;
            break;
        }
        if (o.sent < 0) return Grab::undecodable;
        if (o.received > 0) return picture = std::move(o.picture), Grab::picture;
        if (o.received < 0 && ++failures > 64) return Grab::undecodable;
    }
    return carriesState_ ? decodeInTurnFromStart(picture) : Grab::end;
}

// From here on one decoder, which has seen every picture before: the file again from its
// start, the frames grabbed so far grabbed again, and passed by.
VideoFile::Grab VideoFile::decodeInTurnFromStart(Picture& picture) {
    pending_.clear();
    threads_.reset();
    avformat_close_input(&format_);
    stream_ = nullptr;
    if (!openContainer() || !openDecoders()) return Grab::end;
    Picture passed;
    for (int64_t i = 0; i < grabs_; ++i)
        if (grabInTurn(passed, false) == Grab::end) return Grab::end;
    return grabInTurn(picture, true);
}

VideoFile::Grab VideoFile::grab(Picture& picture, bool convert) {
    if (stream_->nb_frames > 0 && grabbed_ > stream_->nb_frames) return Grab::end;
    const Grab got = threads_ ? grabAtOnce(picture) : grabInTurn(picture, convert);
    if (got != Grab::end) ++grabs_;
    grabbed_ += got == Grab::picture;
    return got;
}

// Frames the decoder refuses are told apart from the end as OpenCV's reader tells them.
FrameSource::Result VideoFile::read(cv::Mat& out) {
    ReadingScope scope;
    const bool any = time_ >= 0 || grabbed_ > 0;
    Result got = ahead_.next(
        [&] {
            held_ = Picture{};
            const Grab g = grab(held_);
            if (g == Grab::picture && !held_.image.empty()) return UndecodableAhead::picture;
            return g == Grab::end ? UndecodableAhead::ended : UndecodableAhead::nothing;
        },
        any, name_);
    if (!isFrame(got)) return got;
    out = held_.image;
    time_ = pictureSeconds(held_, stream_);
    return got;
}

}  // namespace

std::unique_ptr<FrameSource> openLumaVideo(const std::string& file) {
    auto source = std::make_unique<VideoFile>(file);
    if (!source->open()) return nullptr;
    return source;
}
