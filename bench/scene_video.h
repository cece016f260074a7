// Writes generated grey frames as a video the way lab cameras and their software do: H.264
// or Motion JPEG at a lossy quality, or losslessly (FFV1, PNG frames) for reference runs.
// H.264 and FFV1 go through Debian's `ffmpeg` program, fed raw frames through a pipe;
// Motion JPEG and PNG through OpenCV.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace crowd_scene {

enum class codec { h264, mjpeg, ffv1, png };

// "h264", "mjpeg", "ffv1", "png".
const char* codec_name(codec c);
bool codec_from_name(const std::string& name, codec& c);

class video_out {
public:
    // `quality`: H.264's constant rate factor (0 to 51, lower is better; 23 is FFmpeg's own
    // default), Motion JPEG's quality (1 to 100); ignored when lossless. Throws
    // std::runtime_error naming the file when it cannot be opened.
    video_out(const std::string& folder, codec c, int width, int height, double fps, int quality);
    ~video_out();

    // The path the program reads: scene.mp4, scene.avi, scene.mkv or frames/%06d.png.
    const std::string& path() const { return path_; }
    // One grey frame, `width` bytes a row.
    void write(const uint8_t* grey);
    // Finishes the file; throws std::runtime_error when any frame was not written.
    void close();

private:
    struct sink;
    std::unique_ptr<sink> sink_;
    std::string path_;
};

}  // namespace crowd_scene
