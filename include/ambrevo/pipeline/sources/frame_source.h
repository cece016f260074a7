// Where frames come from: a video file, an image sequence, a single image, a camera or
// the built-in scene.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/stop.h"
#include "ambrevo/pipeline/sources/demo_scene.h"

class FramePool;

class FrameSource {
public:
    // A read that leaves the input readable. `undecodable`: the input's next frame is there but
    // cannot be decoded, `note` saying why; the frame after it may be read. No failure: a run
    // passes such a frame by and counts it.
    struct Read {
        enum Kind { frame, end, undecodable };
        Read(Kind kind, std::string note = {}) : kind(kind), note(std::move(note)) {}
        Kind kind;
        std::string note;
    };
    // A read, or the input failure (kind input) after which the input cannot be read on.
    using Result = Expected<Read>;
    virtual ~FrameSource() = default;
    // The next frame as 8-bit BGR.
    virtual Result read(cv::Mat& bgr) = 0;
    // Passes over `count` frames (undecodable ones too) without handing them out; `end` when
    // the input ends first.
    virtual Result skip(int64_t count);
    // Frames in the input, -1 when unknown (cameras, some streams).
    virtual int64_t total() const { return -1; }
    // The frame size the container announces before anything is decoded; empty when unknown.
    virtual cv::Size announcedSize() const { return {}; }
    // Frames per second for the written video and the on-screen pace.
    virtual double fps() const { return 25.0; }
    // The time of the frame last read, in seconds from the input's start, from the input's own
    // timestamps; negative when the input has none (image files).
    virtual double time() const { return -1; }
    // The built-in scene, for the tracking error summary; null for other inputs.
    virtual const DemoScene* demo() const { return nullptr; }
    // Times a broken live stream was opened again (--reconnect).
    virtual int64_t gaps() const { return 0; }
};

// Whether the read handed out a frame.
inline bool isFrame(const FrameSource::Result& got) { return got && got->kind == FrameSource::Read::frame; }

// How long a live stream (or a named pipe) may be waited for, and what ends a wait at once.
struct StreamWait {
    double timeout = 10;     // seconds it may send nothing before it counts as broken
    bool reconnect = false;  // a broken stream is opened again instead of ending the run
    StopToken stop;
};

// The frames a video reader cannot decode, told from the input's end as OpenCV's reader allows:
// a read that gives no frame counts as one undecodable frame once a frame follows it; after
// mostUndecodableInARow such reads, or at the reader's own end, the input has ended. Both
// readers of video files go by it, so that they skip and count the same frames.
constexpr int mostUndecodableInARow = 256;
class UndecodableAhead {
public:
    enum Got { picture, nothing, ended };
    // `most`: the failed reads in a row after which the input has ended (1: at the first).
    explicit UndecodableAhead(int most = mostUndecodableInARow) : most_(most) {}
    // `fetch` reads the next frame into the reader's hands. Gives `frame` when the reader is to
    // hand out that frame now, `undecodable` for a frame before it, else `end` (or the failure,
    // when nothing was ever read: `any` false).
    FrameSource::Result next(const std::function<Got()>& fetch, bool any, const std::string& name);

private:
    int most_;
    int ahead_ = -1;  // undecodable frames before the frame in hand; -1: none in hand
    bool ended_ = false;
};

// A source read through cv::VideoCapture (video files, cameras, streams): what the opened
// capture announces, and its frames as 8-bit BGR stamped with the capture's own clock.
class CaptureFrames : public FrameSource {
public:
    Result read(cv::Mat& bgr) override;
    int64_t total() const override { return total_; }
    cv::Size announcedSize() const override { return size_; }
    double fps() const override { return fps_; }
    double time() const override { return time_; }

protected:
    explicit CaptureFrames(std::string name);
    // Takes the frame rate, the frame size and, when `counted`, the frame count the opened
    // capture announces, each only when plausible.
    void takeAnnounced(bool counted);
    // Reads on past frames that cannot be decoded (video files; cameras and pipelines end at
    // the first failed read).
    void skipUndecodable() { ahead_ = UndecodableAhead(); }

    std::string name_;
    cv::VideoCapture capture_;

private:
    UndecodableAhead ahead_{1};
    cv::Mat held_;                     // the frame read ahead
    std::shared_ptr<FramePool> pool_;  // the buffers frames are read into
    double heldTime_ = -1;
    cv::Size size_;
    double fps_ = 25.0;
    int64_t total_ = -1;
    int64_t frames_ = 0;
    double time_ = -1;
};

// Whether the decoders may write their own warnings to standard error (--verbose); by
// default FFmpeg's are dropped by its log callback, and the others by the front end's guard.
void showDecoderChatter(bool show);
bool decoderChatterShown();
// What a front end does around each call into a decoder that writes to standard error past any
// log level (libpng's and libjpeg's warnings through OpenCV's readers, GStreamer's elements): a
// guard made before the call and dropped after it. None by default, so that a library's front
// ends keep their process's streams as they are; the program quiets standard error meanwhile
// (host/terminal.cpp). Set before any run starts.
using DecoderGuard = std::function<std::shared_ptr<void>()>;
void guardDecoders(DecoderGuard guard);

// Any decoded picture as 8-bit BGR (16-bit samples scaled down); false for an empty one or
// a channel count other than 1, 3 or 4.
bool toBgr8(const cv::Mat& in, cv::Mat& out);

// The capture's own clock at the frame just read, in seconds from its start; -1 when unknown.
double captureSeconds(cv::VideoCapture& capture);

// Opens `input`; an input failure when it is missing or cannot be opened. With `luma`, a
// video file's frames are one-channel grey from the decoder's own luma, decoded on every core:
// only for procedures whose results were never pinned to OpenCV's reader and conversion.
// Network streams and named pipes are waited for as `wait` allows.
Expected<std::unique_ptr<FrameSource>> openSource(const std::string& input, bool luma = false,
                                                  const StreamWait& wait = StreamWait());

// The files of a printf pattern such as frames/%04d.png, from the first existing index
// among 0 and 1 up to the first gap.
std::vector<std::string> patternFiles(const std::string& pattern);
// The image files of a folder, in name order.
std::vector<std::string> folderImages(const std::string& folder);
