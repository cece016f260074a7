#include "sources/network_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ambrevo/pipeline/core/text/numbers.h"
#include "sources/av_decoding.h"
#include "sources/jpeg_state.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double s) { return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)); }

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool isPipe(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// A picture that ended before its end: a Motion JPEG one without its end of image, or one the
// demuxer marks as short.
bool cutShort(const AVPacket* packet, AVCodecID codec) {
    if (packet->flags & AV_PKT_FLAG_CORRUPT) return true;
    if (codec != AV_CODEC_ID_MJPEG) return false;
    bool whole = false;
    JpegState::setBy(packet->data, size_t(std::max(packet->size, 0)), whole);
    return !whole;
}

class NetworkStream final : public FrameSource {
public:
    NetworkStream(std::string address, const StreamWait& wait)
        : address_(std::move(address)), wait_(wait), pipe_(isPipe(address_)), packet_(av_packet_alloc()) {}
    ~NetworkStream() override {
        disconnect();
        av_packet_free(&packet_);
    }
    Outcome open();
    Result read(cv::Mat& bgr) override;
    int64_t total() const override { return announced_.total; }
    cv::Size announcedSize() const override { return announced_.size; }
    double fps() const override { return announced_.fps; }
    double time() const override { return time_; }
    int64_t gaps() const override { return gaps_; }

private:
    // Why FFmpeg's last wait was cut short.
    enum class Cut { no, timeout, stop };
    static int interrupt(void* self);
    Outcome connect(Clock::time_point until);
    Outcome waitForWriter();
    void disconnect();
    Outcome reconnect();
    Result next(cv::Mat& bgr);
    Result deliver(Picture& picture, cv::Mat& bgr);
    Result broken(int got);
    std::string waited() const;

    std::string address_;
    StreamWait wait_;
    bool pipe_;
    int pipeFd_ = -1;
    AVFormatContext* format_ = nullptr;
    AVStream* stream_ = nullptr;
    const AVCodec* codec_ = nullptr;
    AVPacket* packet_;
    FramePool pool_;
    std::unique_ptr<Decoder> decoder_;
    Announced announced_;
    Clock::time_point deadline_;
    Cut cut_ = Cut::no;
    int brokenBy_ = 0;         // the read that broke the stream; its pictures are drained first
    bool lastCut_ = false;     // the picture read last was cut short
    bool delivered_ = false;   // a frame was handed out since the stream was opened
    int64_t gaps_ = 0;
    double time_ = -1, offset_ = 0;
    Clock::time_point brokeAt_;
};

int NetworkStream::interrupt(void* opaque) {
    auto* self = static_cast<NetworkStream*>(opaque);
    if (self->wait_.stop.stopRequested()) self->cut_ = Cut::stop;
    else if (Clock::now() > self->deadline_) self->cut_ = Cut::timeout;
    return self->cut_ != Cut::no;
}

std::string NetworkStream::waited() const {
    if (cut_ == Cut::stop) return stopCause(wait_.stop.request());
    return "nothing came for " + ambrevo::text::general(wait_.timeout) + " s (--timeout SECONDS waits longer)";
}

// A named pipe is opened without waiting for its writer, then waited for here, where the wait
// can end; FFmpeg reads it through the descriptor, never blocking in the read. Here and in
// connect, a failure's words say why, to follow the name of what could not be opened.
Outcome NetworkStream::waitForWriter() {
    pipeFd_ = ::open(address_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (pipeFd_ < 0) return inputFailure("cannot open it");
    for (cut_ = Cut::no;;) {
        pollfd ready{pipeFd_, POLLIN, 0};
        if (::poll(&ready, 1, 50) > 0 && (ready.revents & (POLLIN | POLLHUP))) return {};
        if (interrupt(this)) return inputFailure("its writer sent nothing: " + waited());
    }
}

Outcome NetworkStream::connect(Clock::time_point until) {
    deadline_ = until;
    cut_ = Cut::no;
    if (pipe_)
        if (Outcome waitedFor = waitForWriter(); !waitedFor) return waitedFor;
    const std::string url = pipe_ ? "pipe:" + std::to_string(pipeFd_) : address_;
    format_ = avformat_alloc_context();
    if (!format_) return inputFailure("out of memory");
    format_->interrupt_callback = {&NetworkStream::interrupt, this};
    // The options OpenCV's reader opens streams with: its variable's, else RTSP over TCP.
    AVDictionary* options = nullptr;
    if (const char* given = std::getenv("OPENCV_FFMPEG_CAPTURE_OPTIONS"))
        av_dict_parse_string(&options, given, ";", "|", 0);
    else
        av_dict_set(&options, "rtsp_transport", "tcp", 0);
    int got = avformat_open_input(&format_, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (got >= 0) got = avformat_find_stream_info(format_, nullptr);
    if (got < 0) return inputFailure(cut_ != Cut::no ? waited() : avError(got));
    stream_ = firstVideoStream(format_, codec_);
    decoder_ = std::make_unique<Decoder>(Decoder::Pixels::bgr);
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    if (!stream_ || !decoder_->open(stream_, codec_, std::min(cores, 16)))
        return inputFailure(stream_ ? "its video cannot be decoded" : "it holds no video");
    announced_ = announced(format_, stream_);
    delivered_ = false;
    brokenBy_ = 0;
    return {};
}

void NetworkStream::disconnect() {
    decoder_.reset();
    avformat_close_input(&format_);
    stream_ = nullptr;
    if (pipeFd_ >= 0) ::close(pipeFd_);
    pipeFd_ = -1;
}

Outcome NetworkStream::open() {
    ReadingScope scope;
    quietFFmpeg();
    // Without a packet nothing is opened, and nothing says why.
    const Outcome connected = packet_ ? connect(Clock::now() + seconds(wait_.timeout)) : inputFailure("");
    if (connected) return {};
    return inputFailure("cannot open " + std::string(pipe_ ? "named pipe '" : "stream '") + address_ +
                        "': " + connected.error().message);
}

}  // namespace

Expected<std::unique_ptr<FrameSource>> openNetworkStream(const std::string& address, const StreamWait& wait) {
    auto stream = std::make_unique<NetworkStream>(address, wait);
    if (const Outcome opened = stream->open(); !opened) return opened.error();
    return std::unique_ptr<FrameSource>(std::move(stream));
}

namespace {

// The pictures the decoder holds first, then the next packet's. A picture cut short or one the
// decoder refuses or decodes with faults is an undecodable frame, never handed out.
FrameSource::Result NetworkStream::next(cv::Mat& bgr) {
    for (Picture picture;;) {
        const int held = decoder_->receive(pool_, picture);
        if (held > 0) return deliver(picture, bgr);
        if (held < 0 && held != AVERROR_EOF) return Read{Read::undecodable, "the decoder refuses its data"};
        if (brokenBy_ != 0) return broken(brokenBy_);
        // A wait cut short left the connection unusable: cut_ stays as it was told.
        deadline_ = Clock::now() + seconds(wait_.timeout);
        av_packet_unref(packet_);
        const int got = av_read_frame(format_, packet_);
        if (got == AVERROR(EAGAIN)) continue;
        if (got < 0) {
            // What the decoder still holds goes out before the break is told.
            brokenBy_ = got;
            decoder_->send(nullptr);
            continue;
        }
        if (packet_->stream_index != stream_->index) continue;
        lastCut_ = cutShort(packet_, codec_->id);
        if (lastCut_) return Read{Read::undecodable, "the picture was cut short"};
        if (decoder_->send(packet_) < 0) return Read{Read::undecodable, "the decoder refuses its data"};
    }
}

FrameSource::Result NetworkStream::deliver(Picture& picture, cv::Mat& bgr) {
    if (decoder_->marred()) return Read{Read::undecodable, "the decoder found faults in it"};
    bgr = picture.image;
    const double at = pictureSeconds(picture, stream_);
    time_ = at >= 0 ? offset_ + at : -1;
    delivered_ = true;
    return Read{Read::frame};
}

// The end of the stream read last: its end, or why it broke.
FrameSource::Result NetworkStream::broken(int got) {
    brokeAt_ = Clock::now();
    if (cut_ == Cut::stop) return Read{Read::end};  // the run sees the stop itself
    const std::string inside = lastCut_ ? " inside a picture" : "";
    // The connection closed by the other end. FFmpeg tells an HTTP response of no announced
    // length that closes as ending early (EIO): no closing is told apart from a drop there.
    const AVIOContext* io = format_->pb;
    const bool closed =
        got == AVERROR_EOF || (io && io->eof_reached && (io->error == 0 || io->error == AVERROR(EIO)));
    if (closed && cut_ == Cut::no && inside.empty()) return Read{Read::end};
    const std::string what = pipe_ ? "named pipe '" + address_ + "'" : "stream '" + address_ + "'";
    if (cut_ == Cut::timeout) return inputFailure(what + " stalled" + inside + ": " + waited());
    if (closed) return inputFailure(what + " ended" + inside);
    return inputFailure(what + " broke" + inside + ": " + avError(got));
}

// Opens the stream again within the timeout, the time of its frames going on from before; the
// failure says why it could not be, unless a stop ended the attempts.
Outcome NetworkStream::reconnect() {
    const Clock::time_point giveUp = Clock::now() + seconds(wait_.timeout);
    Outcome connected = inputFailure("");
    while (!wait_.stop.stopRequested() && Clock::now() < giveUp) {
        disconnect();
        connected = connect(giveUp);
        if (connected) {
            ++gaps_;
            offset_ = std::max(time_, 0.0) + std::chrono::duration<double>(Clock::now() - brokeAt_).count();
            return {};
        }
        if (cut_ == Cut::stop) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (const int request = wait_.stop.request()) return Failure{stopError(request), stopCause(request)};
    return inputFailure("opening it again failed for " + ambrevo::text::general(wait_.timeout) + " s (" +
                        connected.error().message + ")");
}

FrameSource::Result NetworkStream::read(cv::Mat& bgr) {
    ReadingScope scope;
    for (;;) {
        Result got = next(bgr);
        const bool ended = got && got->kind == Read::end;
        // A file served over the network has an end; a live stream that ends has broken.
        const bool again = wait_.reconnect && !wait_.stop.stopRequested() && (!got || (ended && announced_.total < 0));
        if (!again) return got;
        const std::string broke = ended ? "stream '" + address_ + "' ended" : got.error().message;
        if (const Outcome opened = reconnect(); !opened)
            return wait_.stop.stopRequested() ? Result(Read{Read::end})
                                              : inputFailure(broke + "; " + opened.error().message);
    }
}

}  // namespace
