// The overlay: records the module's drawing commands and paints them with OpenCV.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo.h"
#include "ip_host.h"

struct DrawCommand {
    enum Kind { point, line, polyline, text } kind;
    int colour;
    std::string label;  // the text for `text`
    int arg;            // drawPoint: 1; drawPolyline: highlighted; drawText: size hint
    int style;          // drawLine only
    std::vector<cv::Point> points;
};

// A command as the module hands it out (point, line, polyline or text).
DrawCommand drawCommand(const ambrevo_draw& command);

class HostOverlay final {
public:
    // The module's drawing function (ambrevo_set_overlay) with an overlay as its pointer.
    static void draw(void* overlay, const ambrevo_draw* command);

    const std::vector<DrawCommand>& commands() const { return commands_; }
    // What failed while the module drew (memory), once; empty when nothing did.
    std::string takeFailure() { return std::exchange(failure_, {}); }
    // Whether acknowledge was called since the last call of this, and with what.
    bool takeAcknowledge(int& a, int& b);

private:
    std::vector<DrawCommand> commands_;
    std::string failure_;
    bool acknowledged_ = false;
    int ackA_ = 0, ackB_ = 0;
};

// The fixed palette: codes 0..11 repeat with period 12; -1..-8 are fixed, more negative
// codes repeat with period 8. Returns a BGR colour.
cv::Scalar paletteColour(int code);
// Name of the palette entry, for the documentation table and --help.
const char* paletteName(int code);

// Paints `commands` over a BGR picture. Points are dots of radius 2 with their label;
// lines are 1 px thick, 2 px for style 2 and above; polylines are open, 2 px when
// highlighted, labelled at their first point; texts hang below their position and texts
// at the same position stack line by line.
void renderCommands(cv::Mat& bgr, const std::vector<DrawCommand>& commands);

// The acknowledge mark: a ring of radius `radius` around each point, or a frame around
// the whole picture when there is no point.
void renderFlash(cv::Mat& bgr, const std::vector<cv::Point>& at, int radius);

// The image record of the module as a BGR picture for painting (rows in memory order,
// which is the order of the module's coordinates). 1-byte grey, 2-byte grey x 64,
// 3-byte BGR, 4-byte BGR plus an unused byte. Empty when the record is unusable.
cv::Mat dibToBgr(const ip_dibWords* image);
// The same from the exact pixels dibToExact gave (shared, not copied, when they are BGR already).
cv::Mat exactToBgr(const cv::Mat& exact);

// The exact pixel bytes of the record for a lossless PNG: 1 byte as 8-bit grey, 2 bytes
// as 16-bit grey holding the raw words, 3 bytes as BGR, 4 bytes as BGR (the fourth byte
// carries nothing). Empty when the record is unusable.
cv::Mat dibToExact(const ip_dibWords* image);

// An image the module hands out as the record dibToExact reads.
inline ip_dibWords dibWords(const ambrevo_image& image) {
    return {image.bytes_per_pixel, int32_t(image.stride), image.width, -image.height, const_cast<uint8_t*>(image.data)};
}
