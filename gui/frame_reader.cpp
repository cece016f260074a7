#include "frame_reader.h"

#include "ambrevo/pipeline/sources/input_kind.h"
#include "ambrevo/pipeline/sources/stream_input.h"

namespace {

// Enough for a preview's frames before the one on screen, and that one.
constexpr size_t framesKept = 8;

}  // namespace

bool FrameReader::open(const std::string& input, std::string& error) {
    input_ = input;
    if (!reopen(error)) return false;
    cv::Mat first;
    double time = 0;
    return read(0, first, time, error);
}

bool FrameReader::reopen(std::string& error) {
    next_ = 0;
    // Videos are read here, to seek; every other input as a run reads it.
    if (inputKind(input_) == InputKind::video) {
        source_.reset();
        if (!video_.open(input_, cv::CAP_FFMPEG)) {
            error = "cannot open or decode video '" + input_ + "'";
            return false;
        }
        const double n = video_.get(cv::CAP_PROP_FRAME_COUNT), f = video_.get(cv::CAP_PROP_FPS);
        count_ = n >= 1 && n < 1e12 ? int64_t(n) : -1;
        fps_ = f > 0.5 && f < 1000 ? f : 25.0;
        return true;
    }
    source_ = openSource(input_, error);
    if (!source_) return false;
    count_ = source_->total();
    fps_ = source_->fps();
    return true;
}

bool FrameReader::read(int64_t n, cv::Mat& bgr, double& time, std::string& error) {
    for (const Kept& k : kept_)
        if (k.frame == n && !live()) {
            bgr = k.bgr, time = k.time;
            return true;
        }
    cv::Mat fresh;  // never the buffer of a frame handed out before
    if (!decode(n, fresh, time, error)) return false;
    kept_.push_back({n, fresh, time});
    if (kept_.size() > framesKept) kept_.pop_front();
    bgr = fresh;
    return true;
}

bool FrameReader::decode(int64_t n, cv::Mat& bgr, double& time, std::string& error) {
    const bool seekable = count_ >= 0;
    if (seekable && (n < 0 || n >= count_)) {
        error = "frame " + std::to_string(n) + " is past the input's " + std::to_string(count_) + " frames";
        return false;
    }
    if (source_) {
        if (seekable && n < next_ && !reopen(error)) return false;
        if (seekable && n > next_ && source_->skip(n - next_, error) != FrameSource::frame) return false;
        const FrameSource::Result got = source_->read(bgr, error);
        if (got == FrameSource::end) error = "the input ended before frame " + std::to_string(n);
        next_ = n + 1;
        time = source_->time();
        return got == FrameSource::frame;
    }
    // A long way ahead or back, the decoder seeks; a few frames ahead it decodes its way there.
    if (n < next_ || n > next_ + 30)
        video_.set(cv::CAP_PROP_POS_FRAMES, double(n));
    else
        for (; next_ < n; ++next_) video_.grab();
    cv::Mat raw;
    next_ = n + 1;
    if (!video_.read(raw) || !toBgr8(raw, bgr)) {
        error = "cannot decode frame " + std::to_string(n) + " of '" + input_ + "'";
        return false;
    }
    time = captureSeconds(video_);
    return true;
}
