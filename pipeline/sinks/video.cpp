#include "ambrevo/pipeline/sinks/video.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <opencv2/imgproc.hpp>

#include "ambrevo/pipeline/core/options.h"

namespace fs = std::filesystem;

Outcome VideoSink::write(const cv::Mat& bgr, double fps) {
    auto failed = [&](const char* why = "") { return outputFailure("cannot write video '" + target_ + "'" + why); };
    if (!writer_.isOpened()) {
        first_ = bgr.size();
        // The encoders want even sizes: an odd first frame gets one more row or column.
        size_ = cv::Size(first_.width + first_.width % 2, first_.height + first_.height % 2);
        const bool avi = endsWithNoCase(target_, ".avi");
        const int fourcc =
            avi ? cv::VideoWriter::fourcc('M', 'J', 'P', 'G') : cv::VideoWriter::fourcc('m', 'p', '4', 'v');
        try {
            if (file_.active()) writer_.open(file_.path(), cv::CAP_FFMPEG, fourcc, fps, size_, true);
        } catch (const cv::Exception&) {
        }
        if (!writer_.isOpened()) return failed();
    }
    cv::Mat fitted;
    if (bgr.size() == size_) {
        fitted = bgr;
    } else if (bgr.size() == first_) {
        cv::copyMakeBorder(bgr, fitted, 0, size_.height - first_.height, 0, size_.width - first_.width,
                           cv::BORDER_REPLICATE);
    } else {
        cv::resize(bgr, fitted, size_);
    }
    try {
        writer_.write(fitted);
    } catch (const cv::Exception&) {
        return failed();
    }
    ++frames_;
    // The encoder reports no failed write. Once its file system has no free block left
    // the frames from here on are lost: the run stops now rather than hours later.
    struct statvfs disk {};
    const std::string folder = fs::path(file_.path()).parent_path().string();
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &disk) == 0 &&
        (::geteuid() == 0 ? disk.f_bfree : disk.f_bavail) == 0)
        return failed(": its disk is full");
    return {};
}

Outcome VideoSink::finish() {
    if (!file_.active()) return {};
    if (!writer_.isOpened()) {
        file_.discard();
        return {};
    }
    try {
        writer_.release();
    } catch (const cv::Exception&) {
    }
    // The encoder reports no failed write: read back what the container now says.
    int64_t announced = -1;
    try {
        cv::VideoCapture check(file_.path(), cv::CAP_FFMPEG);
        if (check.isOpened()) announced = int64_t(check.get(cv::CAP_PROP_FRAME_COUNT));
    } catch (const cv::Exception&) {
    }
    if (announced != frames_) {
        file_.discard();
        return outputFailure("cannot write video '" + target_ + "': the finished file does not hold the " +
                             std::to_string(frames_) + " frames written (is the disk full?)");
    }
    return file_.commit();
}

void VideoSink::discard() {
    try {
        if (writer_.isOpened()) writer_.release();
    } catch (const cv::Exception&) {
    }
    file_.discard();
}

std::unique_ptr<Sink> videoSink(const Options& o) {
    return o.videoOut.empty() ? nullptr : std::make_unique<VideoSink>(o.videoOut);
}
