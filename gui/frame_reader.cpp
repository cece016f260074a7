#include "frame_reader.h"

#include "ambrevo/pipeline/sources/input_kind.h"
#include "ambrevo/pipeline/sources/stream_input.h"

namespace {

// Enough for a preview's frames before the one on screen, and that one.
constexpr size_t framesKept = 8;

}  // namespace

Outcome FrameReader::open(const std::string& input) {
    input_ = input;
    if (Outcome opened = reopen(); !opened) return opened;
    cv::Mat first;
    double time = 0;
    return read(0, first, time);
}

Outcome FrameReader::reopen() {
    next_ = 0;
    // Videos are read here, to seek; every other input as a run reads it.
    if (inputKind(input_) == InputKind::video) {
        source_.reset();
        if (!video_.open(input_, cv::CAP_FFMPEG)) return inputFailure("cannot open or decode video '" + input_ + "'");
        const double n = video_.get(cv::CAP_PROP_FRAME_COUNT), f = video_.get(cv::CAP_PROP_FPS);
        count_ = n >= 1 && n < 1e12 ? int64_t(n) : -1;
        fps_ = f > 0.5 && f < 1000 ? f : 25.0;
        return {};
    }
    Expected<std::unique_ptr<FrameSource>> opened = openSource(input_);
    if (!opened) return opened.error();
    source_ = std::move(*opened);
    count_ = source_->total();
    fps_ = source_->fps();
    return {};
}

Outcome FrameReader::read(int64_t n, cv::Mat& bgr, double& time) {
    for (const Kept& k : kept_)
        if (k.frame == n && !live()) {
            bgr = k.bgr, time = k.time;
            return {};
        }
    cv::Mat fresh;  // never the buffer of a frame handed out before
    if (Outcome decoded = decode(n, fresh, time); !decoded) return decoded;
    kept_.push_back({n, fresh, time});
    if (kept_.size() > framesKept) kept_.pop_front();
    bgr = fresh;
    return {};
}

Outcome FrameReader::decode(int64_t n, cv::Mat& bgr, double& time) {
    const bool seekable = count_ >= 0;
    if (seekable && (n < 0 || n >= count_))
        return inputFailure("frame " + std::to_string(n) + " is past the input's " + std::to_string(count_) +
                            " frames");
    if (source_) return decodeSource(n, bgr, time);
    // A long way ahead or back, the decoder seeks; a few frames ahead it decodes its way there.
    if (n < next_ || n > next_ + 30)
        video_.set(cv::CAP_PROP_POS_FRAMES, double(n));
    else
        for (; next_ < n; ++next_) video_.grab();
    cv::Mat raw;
    next_ = n + 1;
    if (!video_.read(raw) || !toBgr8(raw, bgr))
        return inputFailure("cannot decode frame " + std::to_string(n) + " of '" + input_ + "'");
    time = captureSeconds(video_);
    return {};
}

// Frame `n` of a pipeline source, which goes back by opening the input again.
Outcome FrameReader::decodeSource(int64_t n, cv::Mat& bgr, double& time) {
    using Read = FrameSource::Read;
    const bool seekable = count_ >= 0;
    const std::string ended = "the input ended before frame " + std::to_string(n);
    if (seekable && n < next_)
        if (Outcome opened = reopen(); !opened) return opened;
    if (seekable && n > next_) {
        const FrameSource::Result passed = source_->skip(n - next_);
        if (!passed) return passed.error();
        if (passed->kind == Read::end) return inputFailure(ended);
    }
    const FrameSource::Result got = source_->read(bgr);
    next_ = n + 1;
    time = source_->time();
    if (!got) return got.error();
    if (got->kind == Read::end) return inputFailure(ended);
    if (got->kind == Read::undecodable) return inputFailure(got->note);
    return {};
}
