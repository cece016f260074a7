// Regions of interest: the arenas the animals live in.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace ambrevo {

// One region, as given on the command line:
//   rect:x,y,w,h          pixels x <= px < x+w, y <= py < y+h
//   circle:cx,cy,r        pixels with (px-cx)^2 + (py-cy)^2 <= r^2
//   polygon:x1,y1,x2,y2,...  (3 vertices or more) pixels whose centre lies inside (even-odd
//                         rule; a centre exactly on a left or top edge is inside, on a right or
//                         bottom edge outside, so that polygons sharing an edge do not overlap)
//   anything else         the path of a mask image, inside where any channel is non-zero
// Pixel (px, py) is the one whose centre has those coordinates, the convention of the
// module's object positions.
struct Arena {
    enum class Kind { rect, circle, polygon, mask } kind = Kind::rect;
    std::string given;
    std::vector<double> numbers;  // the shape's numbers as given
    cv::Mat mask;                 // CV_8U, non-zero inside; masks only
};

// Throws std::invalid_argument with a one-line message naming the region as given.
Arena parse_roi(const std::string& given);

// The arenas laid over frames of one size.
class ArenaMap {
public:
    ArenaMap() = default;
    // Throws std::invalid_argument when a mask image has another size than the frames or
    // when there are more than 255 arenas.
    ArenaMap(std::vector<Arena> arenas, cv::Size frame_size);

    // CV_8U, frame-sized: the arena's number 1..n for each pixel, 0 outside every arena.
    // Where arenas overlap, the first given wins, so that each position has one arena.
    const cv::Mat& labels() const { return labels_; }
    int count() const { return static_cast<int>(arenas_.size()); }
    const std::vector<Arena>& arenas() const { return arenas_; }
    cv::Size size() const { return labels_.size(); }

    // The arena of the pixel nearest to (x, y); 0 outside every arena or outside the frame.
    int arena_of(double x, double y) const;

    // Paints the pixels outside every arena with the frame's background brightness: per
    // channel, the median of the pixels inside the arenas in this frame (the lower median, so
    // it is one of their values). Dark objects are the few pixels far from the background, so
    // the median is the background, and a uniform field of it holds nothing to detect, while
    // the arenas' own pixels and the levels the detector compares them with are unchanged.
    // Painting black or white instead would be read as a huge object or change the global
    // levels some procedures take from the whole frame. The median is taken afresh each frame
    // so that it follows changes of lighting. Frames: 8-bit, 1 to 4 channels, frame-sized.
    void paint_outside(cv::Mat& frame) const;

    // Draws each arena's outline onto a frame-sized 8-bit BGR picture, with its number at the
    // top left of the outline when there are several arenas.
    void draw(cv::Mat& bgr, const cv::Scalar& colour, int thickness = 1) const;

    // A run of pixels of row `y`, [begin, end): the pixels inside the arenas and outside them are
    // kept as runs so that each frame's median is counted, and the outside painted, without
    // testing every pixel.
    struct Run {
        int y, begin, end;
    };

private:
    std::vector<Arena> arenas_;
    cv::Mat labels_;
    std::vector<Run> inside_;   // the pixels inside some arena
    std::vector<Run> outside_;  // and those outside every one, painted on every frame
};

}  // namespace ambrevo
