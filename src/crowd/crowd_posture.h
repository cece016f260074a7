// An animal's posture read from its pixels: the midline from one end to the other in a
// fixed number of points, how wide the body is along it, and how its grey runs along it
// (or, for a round animal, outward from its centre): what tells one animal from another.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// Points of a midline, ends included.
constexpr int crowd_stations = 11;

struct crowd_point {
    double x, y;
};

// One pixel of an object: where, its contrast (the weight its centre is taken with) and grey.
struct crowd_pixel {
    int32_t x, y, w, grey;
};

struct crowd_posture {
    bool elongated = false;                 // false: round or compact, no midline
    crowd_point midline[crowd_stations]{};  // end to end, equally spaced along it
    float halfWidth[crowd_stations]{};      // half the body's width at each point
    double length = 0;                      // along the midline, pixels
    double width = 0;                       // mean width across it: area over length
    double balance = 0;                     // how far along the midline its pixels' weight lies on average
};

// A small appearance descriptor, measured from the pixels alone.
struct crowd_looks {
    // Mean grey of each of crowd_stations slices across the midline, first end first; of a
    // round object, of rings of equal area from its centre outward.
    float profile[crowd_stations]{};
    float texture = 0;  // standard deviation of the grey values
};

// Elongated: length over mean width at least this. A disc's is 4/pi, an ellipse's
// 4/pi times its axes' ratio: this takes ellipses longer than about 1.4 to 1.
constexpr double crowd_elongatedRatio = 1.8;

// Length of the line through `count` points.
double crowd_arcLength(const crowd_point* line, int count);
// crowd_stations points on the line through `count` points, at arc lengths `first`,
// `first + step`, ...; those beyond either end on the straight continuation of its end.
void crowd_resample(const crowd_point* line, int count, double first, double step, crowd_point* out);

// The weight no pixel of an object weighs more than in its shape: its typical (median)
// one. Where animals lie over each other the contrast may add up, and a dark mark on one
// would pull its centre.
int32_t crowd_typicalWeight(const std::vector<crowd_pixel>& pixels);

// A model of one animal's body: the pixels within halfWidth of its midline (of its one
// point, for a round animal) are its body.
struct crowd_body {
    int32_t points = 1;  // 1 (round) or crowd_stations
    crowd_point midline[crowd_stations]{};
    float halfWidth[crowd_stations]{};
    double length = 0;  // of the midline, held while the body is fitted
    // How far along the midline from its first point the body's weight lies on average
    // (pixels); below 0: not known, taken from the half widths.
    double balance = -1;
    int32_t track = -1;  // index of the track whose prediction it is, or -1

    crowd_point centre() const;
};

// Where a pixel lies against a body: its distance from the midline (and its square), how
// far along it (in stations, below 0 or above crowd_stations - 1 beyond the ends), how far
// to the left of it, and the body's half width there.
struct crowd_place {
    double distance, along, across, half, squared;
};
crowd_place crowd_locate(const crowd_body& body, double x, double y);

// An elongated body's midline made ready for locating many pixels against it, segment by
// segment in arrays of their own, so that two segments are located at once.
constexpr int crowd_segments = crowd_stations - 1;
static_assert(crowd_segments % 2 == 0, "segments are located in pairs");
struct crowd_line {
    alignas(16) double x[crowd_segments], y[crowd_segments];  // each segment's first point
    alignas(16) double dx[crowd_segments], dy[crowd_segments];
    alignas(16) double inverse[crowd_segments];  // one over each segment's squared length (0 for none)
    double unit[crowd_segments];                 // one over each segment's length
    float halfWidth[crowd_stations];
};
crowd_line crowd_prepare(const crowd_body& body);

// The place of pixel (x, y) on `segment` of the line, `squared` from it, `along` the segment
// (its fraction, from its first point) and `at` that clamped to the segment.
inline crowd_place crowd_placeOn(const crowd_line& line, double x, double y, int segment, double squared, double along,
                                 double at) {
    const double ox = x - line.x[segment], oy = y - line.y[segment];
    const double across = (line.dx[segment] * oy - line.dy[segment] * ox) * line.unit[segment];
    const bool beyond = (segment == 0 && along < 0) || (segment == crowd_segments - 1 && along > 1);
    const double half = line.halfWidth[segment] + at * (line.halfWidth[segment + 1] - line.halfWidth[segment]);
    return {std::sqrt(squared), segment + (beyond ? along : at), across, half, squared};
}

// crowd_locate for an elongated body, its line prepared; of its segments only `first` to
// `end` (not included) when the pixel is known to lie by them. Two segments go through the
// same operations at once as each would alone (SSE2 holds two doubles, and every build has
// it); the nearest is then the first of the least distance, as one by one.
inline crowd_place crowd_locate(const crowd_line& line, double x, double y, int first = 0, int end = crowd_segments) {
    using pair = double __attribute__((vector_size(16)));
    auto load = [](const double* at) {
        pair v;
        __builtin_memcpy(&v, at, sizeof v);
        return v;
    };
    const pair px{x, x}, py{y, y}, zero{0, 0}, one{1, 1};
    alignas(16) double distance[crowd_segments], along[crowd_segments], at[crowd_segments];
    for (int j = first & ~1; j < end; j += 2) {
        const pair dx = load(line.dx + j), dy = load(line.dy + j);
        const pair ox = px - load(line.x + j), oy = py - load(line.y + j);
        const pair t = (ox * dx + oy * dy) * load(line.inverse + j);
        const pair clamped = t < zero ? zero : t > one ? one : t;
        const pair ex = ox - clamped * dx, ey = oy - clamped * dy, d = ex * ex + ey * ey;
        __builtin_memcpy(distance + j, &d, sizeof d);
        __builtin_memcpy(along + j, &t, sizeof t);
        __builtin_memcpy(at + j, &clamped, sizeof clamped);
    }
    double best = 1e300;
    int segment = first;
    for (int j = first; j < end; ++j)
        if (distance[j] < best) best = distance[j], segment = j;
    if (best == 1e300) return crowd_placeOn(line, x, y, segment, best, 0, 0);  // none nearer than that
    return crowd_placeOn(line, x, y, segment, best, along[segment], at[segment]);
}

// crowd_locate of many pixels (x[i], y[i]) against one line, each by its own segments first[i]
// to end[i] (not included): several pixels at a time where the processor has the vectors
// (crowd/crowd_locate_many.cpp), the same places to the bit.
void crowd_locateMany(const crowd_line& line, const double* x, const double* y, const double* first, const double* end,
                      size_t n, crowd_place* places);

crowd_body crowd_roundBody(double x, double y, double radius);
// The area a body covers: a disc's, or an elongated body's along its midline.
double crowd_bodyArea(const crowd_body& body);
// An elongated body of these half widths, length and balance, straight along the x axis
// from the origin.
crowd_body crowd_straightBody(const float* halfWidth, double length, double balance);
// The body of `posture` (elongated) moved by (dx, dy).
crowd_body crowd_longBody(const crowd_posture& posture, double dx, double dy);

// Reverses a midline with all that runs along it.
void crowd_reverse(crowd_posture& posture, crowd_looks& looks);

// The looks of a round object: its grey in rings of equal area around (cx, cy) out to the
// disc of its `area`, and the texture, its pixels added one by one.
class crowd_rings {
public:
    crowd_rings(double cx, double cy, double area);
    void add(int32_t x, int32_t y, int grey) {
        const double dx = x - cx_, dy = y - cy_;
        const int ring = std::min(crowd_stations - 1, int((dx * dx + dy * dy) * scale_));
        sum_[ring] += grey, ++count_[ring];
        all_ += grey, squares_ += double(grey) * grey, ++n_;
    }
    void finish(crowd_looks& looks) const;

private:
    double cx_, cy_, scale_;
    double sum_[crowd_stations] = {}, count_[crowd_stations] = {}, all_ = 0, squares_ = 0, n_ = 0;
};

// Measures one body from its pixels (8-connected; pixels cut off from the first are left
// out). The midline follows the body however it bends: the pixels are ordered by their
// distance within the body from its two ends (the two pixels farthest apart inside it),
// and the midline joins the centres of the slices that order cuts it into.
class crowd_midliner {
public:
    void measure(const std::vector<crowd_pixel>& pixels, crowd_posture& posture, crowd_looks& looks);
    // The distance inside the body between its two ends, as measure() finds them.
    double length(const std::vector<crowd_pixel>& pixels);

private:
    // Rounds of moving the first midline to the middle of the body's slices across it.
    static constexpr int kRounds = 1;
    // Distances inside the body from pixel `from` (5 a step across, 7 a diagonal one);
    // returns the farthest pixel reached.
    int32_t sweep(int32_t from, std::vector<int32_t>& distance);
    void index(const std::vector<crowd_pixel>& pixels);
    // Finds the two ends of the pixels centred on (cx, cy), their distances from both kept;
    // returns the distance between them.
    double ends(const std::vector<crowd_pixel>& pixels, double cx, double cy);
    // The pixel farthest out along the pixels' long axis.
    int32_t outermost(const std::vector<crowd_pixel>& pixels, double cx, double cy) const;
    // The first midline, through the centres of the slices the distances from both ends
    // cut the body into; false when the body is too short for two slices.
    bool outline(const std::vector<crowd_pixel>& pixels, double length, crowd_posture& posture);
    // The segments each pixel is looked for by, as its distance from the ends points to them
    // along a midline of `length`; the midline's points move, its length stays.
    void searchWindows(const std::vector<crowd_pixel>& pixels, double length);
    // Where each pixel lies against the line (places_), looked for by its segments.
    void locateAll(const crowd_line& line);
    // Moves the midline to the middle of the slices across it.
    void centre(const std::vector<crowd_pixel>& pixels, crowd_posture& posture);
    // Widths, balance, profile and texture along the midline; whether the body is elongated.
    void describe(const std::vector<crowd_pixel>& pixels, crowd_posture& posture, crowd_looks& looks);

    int32_t x0_ = 0, y0_ = 0, w_ = 0, h_ = 0;
    std::vector<int32_t> cell_;    // per box cell, its pixel or -1
    std::vector<int32_t> blank_;   // per box cell, INT_MAX on the body, INT_MIN off it
    std::vector<int32_t> reach_;   // per box cell, the distance a sweep reached it at
    std::vector<int32_t> cellOf_;  // per pixel, its cell
    std::vector<int32_t> fromA_, fromB_;
    std::vector<int32_t> buckets_[8];
    std::vector<double> along_;  // per pixel, distance from the first end
    std::vector<double> x_, y_, first_, end_;
    std::vector<crowd_place> places_;
};
