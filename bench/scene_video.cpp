#include "scene_video.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace crowd_scene {

namespace {

constexpr const char* kCodecs[] = {"h264", "mjpeg", "ffv1", "png"};

// The path in single quotes for the shell.
std::string shellQuoted(const std::string& path) {
    std::string q = "'";
    for (char ch : path) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

}  // namespace

const char* codec_name(codec c) { return kCodecs[int(c)]; }

bool codec_from_name(const std::string& name, codec& c) {
    for (int i = 0; i < 4; ++i)
        if (name == kCodecs[i]) return c = codec(i), true;
    return false;
}

struct video_out::sink {
    codec kind;
    int width, height, frames = 0;
    FILE* pipe = nullptr;
    cv::VideoWriter writer;
    std::string folder;
    bool failed = false;
};

video_out::video_out(const std::string& folder, codec c, int width, int height, double fps, int quality)
    : sink_(std::make_unique<sink>()) {
    sink& s = *sink_;
    s.kind = c, s.width = width, s.height = height, s.folder = folder;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::string encoder;
    if (c == codec::h264) {
        path_ = folder + "/scene.mp4";
        encoder = "-c:v libx264 -preset fast -crf " + std::to_string(quality) + " -pix_fmt yuv420p";
    } else if (c == codec::ffv1) {
        path_ = folder + "/scene.mkv";
        encoder = "-c:v ffv1 -level 3 -pix_fmt gray";
    } else if (c == codec::mjpeg) {
        path_ = folder + "/scene.avi";
        s.writer.open(path_, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, cv::Size(width, height), true);
        if (!s.writer.isOpened()) throw std::runtime_error("cannot write " + path_);
        s.writer.set(cv::VIDEOWRITER_PROP_QUALITY, quality);
        return;
    } else {
        std::filesystem::create_directories(folder + "/frames");
        path_ = folder + "/frames/%06d.png";
        return;
    }
    const std::string command = "ffmpeg -hide_banner -loglevel error -y -f rawvideo -pix_fmt gray -video_size " + size +
                                " -framerate " + std::to_string(fps) + " -i - -an " + encoder + " " + shellQuoted(path_);
    s.pipe = popen(command.c_str(), "w");
    if (!s.pipe) throw std::runtime_error("cannot start ffmpeg for " + path_);
}

video_out::~video_out() {
    if (sink_ && sink_->pipe) pclose(sink_->pipe);
}

void video_out::write(const uint8_t* grey) {
    sink& s = *sink_;
    const size_t bytes = size_t(s.width) * size_t(s.height);
    if (s.pipe) {
        s.failed = s.failed || std::fwrite(grey, 1, bytes, s.pipe) != bytes;
    } else {
        const cv::Mat frame(s.height, s.width, CV_8UC1, const_cast<uint8_t*>(grey));
        if (s.kind == codec::mjpeg) {
            cv::Mat bgr;
            cv::cvtColor(frame, bgr, cv::COLOR_GRAY2BGR);
            s.writer.write(bgr);
        } else {
            char name[32];
            std::snprintf(name, sizeof name, "/frames/%06d.png", s.frames);
            s.failed = s.failed || !cv::imwrite(s.folder + name, frame);
        }
    }
    ++s.frames;
}

void video_out::close() {
    sink& s = *sink_;
    if (s.pipe) {
        const int status = pclose(s.pipe);
        s.pipe = nullptr;
        s.failed = s.failed || status != 0;
    }
    if (s.writer.isOpened()) s.writer.release();
    if (s.failed) throw std::runtime_error("could not write every frame into " + path_);
}

}  // namespace crowd_scene
