// The files a run writes: the tracks (.csv / .json), the destination images (PNG per
// frame) and the annotated video. Each stays a valid file when a run stops early, as
// long as finish() is called.
#pragma once

#include <cstdint>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "ip_host.h"

class TracksWriter {
public:
    // `procedure` chooses the columns: the flow tracker reports areas and rays, the
    // closed-contour tracker velocities, point counts and the aimed-at track.
    bool open(const std::string& file, const std::string& procedure, std::string& error);
    void frame(int64_t frame, const std::vector<ip_objectRecord>& objects);
    // Closes the JSON document; false when anything failed to be written.
    bool finish(std::string& error);
    bool isOpen() const { return out_.is_open(); }

private:
    enum Columns { flow, contour, all };
    std::ofstream out_;
    std::string file_;
    bool json_ = false;
    bool firstFrame_ = true;
    Columns columns_ = all;
};

// Writes dst_000000.png, dst_000001.png, ... into a folder (created when missing).
class DstWriter {
public:
    bool open(const std::string& dir, std::string& error);
    bool write(int64_t frame, const cv::Mat& exact, std::string& error);

private:
    std::string dir_;
};

class VideoOut {
public:
    // Checks early that the file can be created; the encoder opens with the first frame.
    bool probe(const std::string& file, std::string& error);
    // Frames of another size are scaled to the first frame's size.
    bool write(const cv::Mat& bgr, double fps, std::string& error);
    void finish();
    bool isOpen() const { return writer_.isOpened(); }

private:
    std::string file_;
    cv::VideoWriter writer_;
    cv::Size first_;
    cv::Size size_;
};
