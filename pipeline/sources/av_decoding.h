// What the readers on FFmpeg's libraries share: the video files read for their luma and the
// live streams. A decoder whose pictures come out as OpenCV's reader gives them, what a
// container announces worked out as OpenCV's reader does, the frames' times, and FFmpeg's
// messages kept off standard error unless --verbose.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <mutex>
#include <opencv2/core.hpp>
#include <vector>

// Sends FFmpeg's messages where the other readers' go; set once, before the first open.
void quietFFmpeg();
// Marks this thread as one that reads for us while it lives: FFmpeg's messages of the
// containers it opens are ours, and dropped unless --verbose.
struct ReadingScope {
    bool was;
    ReadingScope();
    ~ReadingScope();
};

// Frame buffers used again once every frame made in them has been let go, so that a frame
// costs no fresh pages of memory.
class FramePool {
public:
    // A buffer of `rows` rows of `rowBytes` bytes.
    cv::Mat take(int rows, int rowBytes);

private:
    static constexpr size_t kept = 32;  // more than the frames a run holds at once
    std::mutex mutex_;
    std::vector<cv::Mat> buffers_;
};

// A decoded picture, with the timestamps its time comes from.
struct Picture {
    cv::Mat image;
    int64_t pts = AV_NOPTS_VALUE, packetDts = AV_NOPTS_VALUE;
};

// One decoder of a video stream. Its pictures come out grey (the decoder's own luma, or its
// BGR conversion made grey where it has no 8-bit luma plane) or BGR as OpenCV's reader makes
// it: bicubic swscale into a buffer of the decoder's coded size, rows 32-byte aligned, of
// which the frame is the top left corner at the stream's size.
class Decoder {
public:
    enum class Pixels { grey, bgr };
    explicit Decoder(Pixels pixels = Pixels::grey) : pixels_(pixels) {}
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder();
    // False when the stream's decoder cannot be made or opened.
    bool open(const AVStream* stream, const AVCodec* codec, int threads);
    int send(const AVPacket* packet) { return avcodec_send_packet(context_, packet); }
    // Whether the frame last received was decoded with faults.
    bool marred() const { return frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT); }
    // A frame when the decoder has one (> 0), none yet (0), or its error (< 0);
    // `unconverted` when only counting.
    enum { none = 0, frame = 1, unconverted = 2 };
    int receive(FramePool& pool, Picture& out, bool convert = true);

private:
    bool toBgr(FramePool& pool, cv::Mat& out);

    Pixels pixels_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    struct SwsContext* sws_ = nullptr;
    int width_ = 0, height_ = 0;
};

// What a container announces of its video stream, worked out as OpenCV's reader does.
struct Announced {
    double fps = 25.0;
    int64_t total = -1;
    cv::Size size;
};
Announced announced(AVFormatContext* format, AVStream* stream);

// The first video stream with a decoder, as OpenCV's reader takes; null when none.
AVStream* firstVideoStream(AVFormatContext* format, const AVCodec*& codec);

// A picture's time as OpenCV's reader tells it: from its timestamp (its decoding time when it
// has none, or 0), counted from the stream's start; -1 when unknown.
double pictureSeconds(const Picture& picture, const AVStream* stream);
