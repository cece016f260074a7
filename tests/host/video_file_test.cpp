// The reader of video files for runs on the decoder's luma: frames in order whether decoded on
// several threads (Motion JPEG) or by one decoder, the same count and times as OpenCV's reader,
// and grey levels that are those of the BGR picture within the rounding of the two paths.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "ambrevo/pipeline/sources/frame_source.h"
#include "sources/jpeg_state.h"

namespace fs = std::filesystem;

namespace {

constexpr int frameCount = 40;

// Frame i: a flat level that tells its index, with a band of grey texture (the scenes are
// grey; colour edges part the two paths by the chroma's subsampling) so that the decoders'
// rounding is seen too.
cv::Mat numbered(int i) {
    cv::Mat bgr(120, 162, CV_8UC3, cv::Scalar::all(30 + 5 * i));
    for (int y = 80; y < 120; ++y)
        for (int x = 0; x < bgr.cols; ++x) bgr.at<cv::Vec3b>(y, x) = cv::Vec3b::all(uint8_t(x + 3 * y));
    return bgr;
}

fs::path writeVideo(const std::string& name, const char* fourcc) {
    const fs::path file = fs::temp_directory_path() / ("ambrevo_luma_" + std::to_string(::getpid()) + name);
    cv::VideoWriter out(file.string(), cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]), 25,
                        cv::Size(162, 120));
    EXPECT_TRUE(out.isOpened()) << fourcc;
    for (int i = 0; i < frameCount; ++i) out.write(numbered(i));
    return file;
}

struct Read {
    std::vector<cv::Mat> frames;
    std::vector<double> times;
};

Read readAll(const fs::path& file, bool luma) {
    Expected<std::unique_ptr<FrameSource>> source = openSource(file.string(), luma);
    EXPECT_TRUE(source) << source.error().message;
    Read r;
    for (cv::Mat m; source && isFrame((*source)->read(m));) {
        r.frames.push_back(m.clone());
        r.times.push_back((*source)->time());
    }
    return r;
}

}  // namespace

TEST(LumaVideo, FramesInOrderWithOpenCVsCountTimesAndGreyLevels) {
    for (const auto& [name, fourcc] : {std::pair{"mjpeg.avi", "MJPG"}, {"mpeg4.avi", "mp4v"}}) {
        const fs::path file = writeVideo(name, fourcc);
        const Read luma = readAll(file, true), bgr = readAll(file, false);
        ASSERT_EQ(luma.frames.size(), size_t(frameCount)) << name;
        ASSERT_EQ(bgr.frames.size(), luma.frames.size()) << name;
        EXPECT_EQ(luma.times, bgr.times) << name;
        for (size_t i = 0; i < luma.frames.size(); ++i) {
            ASSERT_EQ(luma.frames[i].type(), CV_8UC1) << name;
            EXPECT_NEAR(cv::mean(luma.frames[i](cv::Rect(0, 0, 162, 64)))[0], 30 + 5.0 * i, 2.0) << name << i;
            cv::Mat grey, difference;
            cv::cvtColor(bgr.frames[i], grey, cv::COLOR_BGR2GRAY);
            cv::absdiff(grey, luma.frames[i], difference);
            double worst = 0;
            cv::minMaxLoc(difference, nullptr, &worst);
            EXPECT_LE(worst, 2) << name << " frame " << i;
        }
        // Cut short: the frames before the cut, and no fault.
        fs::resize_file(file, fs::file_size(file) * 2 / 3);
        const Read cut = readAll(file, true);
        EXPECT_GT(cut.frames.size(), 0u);
        EXPECT_LT(cut.frames.size(), size_t(frameCount));
        fs::remove(file);
    }
    const fs::path notVideo = fs::temp_directory_path() / ("ambrevo_luma_" + std::to_string(::getpid()) + ".avi");
    std::ofstream(notVideo) << "not a video";
    const Expected<std::unique_ptr<FrameSource>> refused = openSource(notVideo.string(), true);
    EXPECT_TRUE(!refused && refused.error().kind == RunError::input && !refused.error().message.empty());
    fs::remove(notVideo);
}

// Pictures are decoded apart only when each sets again every table the earlier ones set.
TEST(LumaVideo, APictureStandsAloneOnlyWhenWholeAndSettingWhatCameBefore) {
    std::vector<uint8_t> jpeg;
    cv::imencode(".jpg", numbered(3), jpeg);
    JpegState state;
    EXPECT_TRUE(state.standsAlone(jpeg.data(), jpeg.size()));
    EXPECT_TRUE(state.standsAlone(jpeg.data(), jpeg.size()));
    EXPECT_FALSE(state.standsAlone(jpeg.data(), jpeg.size() - 10));
    const uint8_t garbage[] = {1, 2, 3, 4, 5};
    EXPECT_FALSE(state.standsAlone(garbage, sizeof garbage));
    // The same picture without its quantisation tables needs the ones seen before.
    std::vector<uint8_t> stripped(jpeg.begin(), jpeg.begin() + 2);
    for (size_t i = 2; i + 3 < jpeg.size() && jpeg[i] == 0xFF;) {
        const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        const bool scan = jpeg[i + 1] == 0xDA;
        if (jpeg[i + 1] != 0xDB || scan)
            stripped.insert(stripped.end(), jpeg.begin() + i, scan ? jpeg.end() : jpeg.begin() + i + 2 + length);
        if (scan) break;
        i += 2 + length;
    }
    ASSERT_LT(stripped.size(), jpeg.size());
    bool whole = false;
    EXPECT_EQ(JpegState::setBy(stripped.data(), stripped.size(), whole) & 0xF, 0u);
    EXPECT_TRUE(whole);
    EXPECT_FALSE(state.standsAlone(stripped.data(), stripped.size()));
}
