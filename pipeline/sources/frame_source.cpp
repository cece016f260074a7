#include "ambrevo/pipeline/sources/frame_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <system_error>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/sources/input_kind.h"
#include "ambrevo/pipeline/sources/stream_input.h"
#include "sources/av_decoding.h"
#include "sources/network_stream.h"
#include "sources/video_file.h"

namespace fs = std::filesystem;

namespace {

bool decoderChatter = false;

DecoderGuard decoderGuard;

// Held around each call into a decoder that may write past any log level.
class DecoderCall {
public:
    DecoderCall() : held_(decoderGuard && !decoderChatter ? decoderGuard() : nullptr) {}

private:
    std::shared_ptr<void> held_;
};

// Decoded images are turned into 8-bit BGR whatever their depth and channels.

class DemoSource final : public FrameSource {
public:
    Result read(cv::Mat& bgr) override {
        if (next_ >= DemoScene::frameCount) return Read{Read::end};
        bgr = scene_.frame(next_++);
        return Read{Read::frame};
    }
    Result skip(int64_t count) override {
        next_ = std::min<int64_t>(DemoScene::frameCount, next_ + count);
        return Read{next_ < DemoScene::frameCount ? Read::frame : Read::end};
    }
    int64_t total() const override { return DemoScene::frameCount; }
    cv::Size announcedSize() const override { return {DemoScene::width, DemoScene::height}; }
    double fps() const override { return DemoScene::fps; }
    double time() const override { return double(next_ - 1) / DemoScene::fps; }
    const DemoScene* demo() const override { return &scene_; }

private:
    DemoScene scene_;
    int64_t next_ = 0;
};

class FilesSource final : public FrameSource {
public:
    explicit FilesSource(std::vector<std::string> files) : files_(std::move(files)) {}
    // An image that cannot be decoded is passed by as a video's frame is; when none can be,
    // the input cannot be read.
    Result read(cv::Mat& bgr) override {
        if (next_ >= files_.size()) {
            if (decodedAny_ || firstRefused_.empty()) return Read{Read::end};
            return inputFailure("cannot decode image '" + firstRefused_ + "'");
        }
        const std::string& file = files_[next_++];
        cv::Mat decoded;
        DecoderCall quiet;
        try {
            decoded = cv::imread(file, cv::IMREAD_UNCHANGED);
        } catch (const cv::Exception&) {
            decoded.release();
        }
        if (!toBgr8(decoded, bgr)) {
            if (firstRefused_.empty()) firstRefused_ = file;
            return Read{Read::undecodable, "cannot decode image '" + file + "'"};
        }
        decodedAny_ = true;
        return Read{Read::frame};
    }
    Result skip(int64_t count) override {
        next_ = size_t(std::min<int64_t>(int64_t(files_.size()), int64_t(next_) + count));
        return Read{next_ < files_.size() ? Read::frame : Read::end};
    }
    int64_t total() const override { return int64_t(files_.size()); }

private:
    std::vector<std::string> files_;
    size_t next_ = 0;
    bool decodedAny_ = false;
    std::string firstRefused_;
};

class CaptureSource final : public CaptureFrames {
public:
    CaptureSource(std::string name, bool camera) : CaptureFrames(std::move(name)), camera_(camera) {}
    Outcome open(int cameraIndex) {
        DecoderCall quiet;
        try {
            // Cameras here are V4L2 devices. Left to choose, OpenCV tries every backend on the
            // index in turn, which is slow to fail and runs third-party probing code that leaks.
            // Other cameras are reached through gst: pipelines.
            if (camera_)
                capture_.open(cameraIndex, cv::CAP_V4L2);
            else
                capture_.open(name_, cv::CAP_FFMPEG);
        } catch (const cv::Exception&) {
        }
        if (!capture_.isOpened())
            return inputFailure(camera_ ? "cannot open camera '" + name_ + "'"
                                        : "cannot open or decode video '" + name_ + "'");
        takeAnnounced(!camera_);
        if (!camera_) skipUndecodable();
        return {};
    }
    Result read(cv::Mat& bgr) override {
        DecoderCall quiet;
        return CaptureFrames::read(bgr);
    }

private:
    bool camera_;
};

}  // namespace

bool toBgr8(const cv::Mat& in, cv::Mat& out) {
    if (in.empty()) return false;
    cv::Mat eight = in;
    if (in.depth() == CV_16U)
        in.convertTo(eight, CV_8U, 1.0 / 257.0);
    else if (in.depth() != CV_8U)
        in.convertTo(eight, CV_8U);
    switch (eight.channels()) {
        case 1:
            cv::cvtColor(eight, out, cv::COLOR_GRAY2BGR);
            return true;
        case 3:
            out = eight;
            return true;
        case 4:
            cv::cvtColor(eight, out, cv::COLOR_BGRA2BGR);
            return true;
        default:
            return false;
    }
}

double captureSeconds(cv::VideoCapture& capture) {
    try {
        const double ms = capture.get(cv::CAP_PROP_POS_MSEC);
        if (std::isfinite(ms) && ms >= 0) return ms / 1000.0;
    } catch (const cv::Exception&) {
    }
    return -1;
}

void CaptureFrames::takeAnnounced(bool counted) {
    const double f = capture_.get(cv::CAP_PROP_FPS);
    fps_ = f > 0.5 && f < 1000 ? f : 25.0;
    const double n = capture_.get(cv::CAP_PROP_FRAME_COUNT);
    total_ = counted && n >= 1 && n < 1e12 ? int64_t(n) : -1;
    const double w = capture_.get(cv::CAP_PROP_FRAME_WIDTH), h = capture_.get(cv::CAP_PROP_FRAME_HEIGHT);
    if (w >= 1 && h >= 1 && w < 1e9 && h < 1e9) size_ = cv::Size(int(w), int(h));
}

FrameSource::Result UndecodableAhead::next(const std::function<Got()>& fetch, bool any, const std::string& name) {
    using Read = FrameSource::Read;
    for (int failed = 0; ahead_ < 0 && !ended_;) {
        const Got got = fetch();
        if (got == picture) ahead_ = failed;
        ended_ = got == ended || (got == nothing && ++failed >= most_);
    }
    if (ahead_ > 0) {
        --ahead_;
        return Read{Read::undecodable, "the decoder refuses its data"};
    }
    if (ahead_ == 0) {
        ahead_ = -1;
        return Read{Read::frame};
    }
    if (any) return Read{Read::end};
    return inputFailure("cannot decode any frame of '" + name + "'");
}

CaptureFrames::CaptureFrames(std::string name) : name_(std::move(name)), pool_(std::make_shared<FramePool>()) {}

FrameSource::Result CaptureFrames::read(cv::Mat& bgr) {
    Result got = ahead_.next(
        [&] {
            // A buffer no frame handed out before lies in any more (they may still be in the run's
            // hands), of the last frame's size: the reader copies into it as it is.
            const cv::Size last = held_.size();
            const bool colour = held_.type() == CV_8UC3;
            held_.release();
            if (colour && !last.empty()) held_ = pool_->take(last.height, last.width * 3).reshape(3);
            bool ok = false;
            try {
                ok = capture_.read(held_);
            } catch (const cv::Exception&) {
                ok = false;
            }
            if (!ok || held_.empty()) return UndecodableAhead::nothing;
            heldTime_ = captureSeconds(capture_);
            return UndecodableAhead::picture;
        },
        frames_ > 0, name_);
    if (!isFrame(got)) return got;
    if (!toBgr8(held_, bgr)) return inputFailure("unsupported pixel layout in '" + name_ + "'");
    ++frames_;
    time_ = heldTime_;
    return got;
}

void showDecoderChatter(bool show) { decoderChatter = show; }

bool decoderChatterShown() { return decoderChatter; }

void guardDecoders(DecoderGuard guard) { decoderGuard = std::move(guard); }

FrameSource::Result FrameSource::skip(int64_t count) {
    cv::Mat unused;
    for (int64_t i = 0; i < count; ++i) {
        Result got = read(unused);
        if (!got || got->kind == Read::end) return got;
    }
    return Read{Read::frame};
}

std::vector<std::string> patternFiles(const std::string& pattern) {
    std::vector<std::string> files;
    char name[4096];
    auto fileAt = [&](int64_t i) {
        int n = std::snprintf(name, sizeof name, pattern.c_str(), static_cast<int>(i));
        return n > 0 && size_t(n) < sizeof name ? std::string(name) : std::string();
    };
    int64_t first = -1;
    for (int64_t i = 0; i <= 1 && first < 0; ++i) {
        std::error_code ec;
        std::string f = fileAt(i);
        if (!f.empty() && fs::is_regular_file(f, ec)) first = i;
    }
    if (first < 0) return files;
    for (int64_t i = first; i < INT32_MAX; ++i) {
        std::error_code ec;
        std::string f = fileAt(i);
        if (f.empty() || !fs::is_regular_file(f, ec)) break;
        files.push_back(f);
    }
    return files;
}

std::vector<std::string> folderImages(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), stop; !ec && it != stop; it.increment(ec)) {
        std::error_code ec2;
        if (it->is_regular_file(ec2) && isImageName(it->path().filename().string()))
            files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

namespace {
// A pattern holds exactly one integer conversion such as %d or %04d, and no other '%'
// except "%%"; anything else would make snprintf read arguments it was not given.
bool isPattern(const std::string& s) {
    int conversions = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (i + 1 < s.size() && s[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < s.size() && (s[j] == '0' || s[j] == '-' || s[j] == ' ')) ++j;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
        if (j >= s.size() || (s[j] != 'd' && s[j] != 'i' && s[j] != 'u')) return false;
        ++conversions;
        i = j;
    }
    return conversions == 1;
}
}  // namespace

namespace {

using Opened = Expected<std::unique_ptr<FrameSource>>;

Opened openCamera(const std::string& input) {
    std::string digits = input.substr(4);
    if (digits.empty() || digits.size() > 4 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return inputFailure("malformed camera '" + input + "' (expected cam:N)");
    auto source = std::make_unique<CaptureSource>(input, true);
    if (const Outcome opened = source->open(std::stoi(digits)); !opened) return opened.error();
    return Opened(std::move(source));
}

Opened openPattern(const std::string& input) {
    if (!isPattern(input))
        return inputFailure("malformed image sequence pattern '" + input + "' (expected one %d-style number)");
    std::vector<std::string> files = patternFiles(input);
    if (files.empty()) return inputFailure("no images match '" + input + "'");
    return Opened(std::make_unique<FilesSource>(std::move(files)));
}

Opened openFolder(const std::string& input) {
    std::vector<std::string> files = folderImages(input);
    if (files.empty())
        return inputFailure("input '" + input +
                            "' is a folder without image files (an image sequence is a folder of .png, "
                            ".jpg, .tif, ... files, or a pattern such as frames/%04d.png)");
    return Opened(std::make_unique<FilesSource>(std::move(files)));
}

Opened openVideo(const std::string& input, bool luma) {
    if (luma)
        if (std::unique_ptr<FrameSource> video = openLumaVideo(input)) return Opened(std::move(video));
    auto source = std::make_unique<CaptureSource>(input, false);
    if (const Outcome opened = source->open(0); !opened) return opened.error();
    return Opened(std::move(source));
}

}  // namespace

Expected<std::unique_ptr<FrameSource>> openSource(const std::string& input, bool luma, const StreamWait& wait) {
    switch (inputKind(input)) {
        case InputKind::demo:
            return Opened(std::make_unique<DemoSource>());
        case InputKind::stream:
            return input.starts_with("gst:") ? openStream(input) : openNetworkStream(input, wait);
        case InputKind::camera:
            return openCamera(input);
        case InputKind::pattern:
            return openPattern(input);
        case InputKind::folder:
            return openFolder(input);
        // A pipe delivers a stream: waited for as one.
        case InputKind::pipe:
            return openNetworkStream(input, wait);
        case InputKind::image:
            return Opened(std::make_unique<FilesSource>(std::vector<std::string>{input}));
        case InputKind::video:
            return openVideo(input, luma);
        case InputKind::missing:
            break;
        case InputKind::special: {
            const std::string kind = nonRegularKind(input);
            return inputFailure("input '" + input + "' is " + kind + ", not a video or image file" +
                                (kind == "a device" ? " (a camera is given as cam:N)" : ""));
        }
    }
    return inputFailure("input '" + input + "' not found");
}
