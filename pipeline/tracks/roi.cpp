#include "ambrevo/pipeline/tracks/roi.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <span>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "ambrevo/pipeline/core/files.h"

namespace ambrevo {

namespace {

[[noreturn]] void fail(const std::string& given, const std::string& why) {
    throw std::invalid_argument("--roi '" + given + "': " + why);
}

std::vector<double> parse_numbers(const std::string& given, const std::string& list) {
    std::vector<double> numbers;
    size_t start = 0;
    while (true) {
        const size_t comma = list.find(',', start);
        const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        double v = 0;
        auto [p, ec] = std::from_chars(item.data(), item.data() + item.size(), v);
        if (item.empty() || ec != std::errc() || p != item.data() + item.size() || !std::isfinite(v))
            fail(given, "'" + item + "' is not a number");
        numbers.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return numbers;
}

// First index >= v, as a pixel coordinate clamped into [0, limit].
int first_at_or_after(double v, int limit) {
    return static_cast<int>(std::clamp(std::ceil(v), 0.0, static_cast<double>(limit)));
}

// Sets `label` on the pixels of row `y` in [x0, x1) that have no arena yet.
void fill_row(cv::Mat& labels, int y, int x0, int x1, uchar label) {
    uchar* row = labels.ptr<uchar>(y);
    for (int x = x0; x < x1; ++x)
        if (row[x] == 0) row[x] = label;
}

void rasterise(const Arena& a, cv::Mat& labels, uchar label) {
    const int w = labels.cols, h = labels.rows;
    const std::vector<double>& n = a.numbers;
    switch (a.kind) {
        case Arena::Kind::rect: {
            const int x0 = first_at_or_after(n[0], w), x1 = first_at_or_after(n[0] + n[2], w);
            const int y0 = first_at_or_after(n[1], h), y1 = first_at_or_after(n[1] + n[3], h);
            for (int y = y0; y < y1; ++y) fill_row(labels, y, x0, x1, label);
            break;
        }
        case Arena::Kind::circle: {
            const double cx = n[0], cy = n[1], r2 = n[2] * n[2];
            const int x0 = first_at_or_after(cx - n[2], w), x1 = first_at_or_after(std::floor(cx + n[2]) + 1, w);
            const int y0 = first_at_or_after(cy - n[2], h), y1 = first_at_or_after(std::floor(cy + n[2]) + 1, h);
            for (int y = y0; y < y1; ++y) {
                uchar* row = labels.ptr<uchar>(y);
                const double dy = y - cy;
                for (int x = x0; x < x1; ++x) {
                    const double dx = x - cx;
                    if (row[x] == 0 && dx * dx + dy * dy <= r2) row[x] = label;
                }
            }
            break;
        }
        case Arena::Kind::polygon: {
            // Scan lines through the pixel centres; an edge counts on a line when the line lies
            // in its half-open span of y, so a vertex on the line is crossed once.
            const size_t vertices = n.size() / 2;
            std::vector<double> crossings;
            for (int y = 0; y < h; ++y) {
                crossings.clear();
                for (size_t i = 0; i < vertices; ++i) {
                    const size_t j = (i + 1) % vertices;
                    const double xa = n[2 * i], ya = n[2 * i + 1], xb = n[2 * j], yb = n[2 * j + 1];
                    if ((ya <= y && y < yb) || (yb <= y && y < ya))
                        crossings.push_back(xa + (y - ya) / (yb - ya) * (xb - xa));
                }
                std::sort(crossings.begin(), crossings.end());
                for (size_t k = 0; k + 1 < crossings.size(); k += 2)
                    fill_row(labels, y, first_at_or_after(crossings[k], w), first_at_or_after(crossings[k + 1], w),
                             label);
            }
            break;
        }
        case Arena::Kind::mask:
            if (a.mask.size() != labels.size())
                throw std::invalid_argument("--roi '" + a.given + "': the mask is " + std::to_string(a.mask.cols) + "x" +
                                            std::to_string(a.mask.rows) + " but the frames are " + std::to_string(w) +
                                            "x" + std::to_string(h));
            for (int y = 0; y < h; ++y) {
                const uchar* m = a.mask.ptr<uchar>(y);
                uchar* row = labels.ptr<uchar>(y);
                for (int x = 0; x < w; ++x)
                    if (row[x] == 0 && m[x] != 0) row[x] = label;
            }
            break;
    }
}

}  // namespace

Arena parse_roi(const std::string& given) {
    Arena a;
    a.given = given;
    const size_t colon = given.find(':');
    const std::string kind = colon == std::string::npos ? "" : given.substr(0, colon);
    if (kind == "rect" || kind == "circle" || kind == "polygon") {
        a.numbers = parse_numbers(given, given.substr(colon + 1));
        const std::vector<double>& n = a.numbers;
        if (kind == "rect") {
            a.kind = Arena::Kind::rect;
            if (n.size() != 4) fail(given, "a rect takes 4 numbers x,y,w,h");
            if (!(n[2] > 0 && n[3] > 0)) fail(given, "a rect needs a positive width and height");
        } else if (kind == "circle") {
            a.kind = Arena::Kind::circle;
            if (n.size() != 3) fail(given, "a circle takes 3 numbers cx,cy,r");
            if (!(n[2] > 0)) fail(given, "a circle needs a positive radius");
        } else {
            a.kind = Arena::Kind::polygon;
            if (n.size() % 2 != 0) fail(given, "a polygon takes x,y pairs: the last y is missing");
            if (n.size() < 6) fail(given, "a polygon needs 3 vertices or more");
        }
        return a;
    }
    a.kind = Arena::Kind::mask;
    // Checked first so that a mistyped shape gets this message rather than the image
    // decoder's complaint about a missing file.
    std::error_code ec;
    if (const std::string kind = nonRegularKind(given); !kind.empty())
        fail(given, "it is " + kind + ", not a mask image file");
    if (!std::filesystem::is_regular_file(given, ec))
        fail(given, "not rect:x,y,w,h, circle:cx,cy,r or polygon:x1,y1,x2,y2,..., nor a mask image file");
    const cv::Mat image = cv::imread(given, cv::IMREAD_UNCHANGED);
    if (image.empty()) fail(given, "the mask image cannot be read");
    // A fourth channel is transparency, which says nothing about inside and outside.
    std::vector<cv::Mat> channels;
    cv::split(image, channels);
    if (channels.size() == 4) channels.pop_back();
    a.mask = cv::Mat::zeros(image.size(), CV_8U);
    for (const cv::Mat& c : channels) a.mask.setTo(255, c != 0);
    return a;
}

ArenaMap::ArenaMap(std::vector<Arena> arenas, cv::Size frame_size) : arenas_(std::move(arenas)) {
    if (arenas_.size() > 255) throw std::invalid_argument("--roi: at most 255 regions");
    labels_ = cv::Mat::zeros(frame_size, CV_8U);
    for (size_t i = 0; i < arenas_.size(); ++i) rasterise(arenas_[i], labels_, static_cast<uchar>(i + 1));
    for (int y = 0; y < labels_.rows; ++y) {
        const uchar* l = labels_.ptr<uchar>(y);
        for (int x = 0; x < labels_.cols;) {
            const bool in = l[x] != 0;
            const int begin = x;
            while (x < labels_.cols && (l[x] != 0) == in) ++x;
            (in ? inside_ : outside_).push_back({y, begin, x});
        }
    }
}

namespace {

using Histograms = std::array<std::array<long long, 256>, 4>;

// Counts the levels of each channel of the pixels in `runs` (the channels known at compile
// time, so that the inner loop is a plain walk along the row). Four pixels in a row go to four
// sets of counts: a floor of one grey would otherwise make every count wait for the last.
template <int channels>
long long countLevels(const cv::Mat& frame, std::span<const ArenaMap::Run> runs, Histograms& histogram) {
    constexpr int ways = 4;
    std::array<std::array<std::array<long long, 256>, channels>, ways> counts{};
    long long counted = 0;
    for (const ArenaMap::Run& run : runs) {
        const uchar* p = frame.ptr<uchar>(run.y) + size_t(run.begin) * channels;
        const uchar* const end = frame.ptr<uchar>(run.y) + size_t(run.end) * channels;
        for (; end - p >= ways * channels; p += ways * channels) {
#pragma GCC unroll 16
            for (int i = 0; i < ways * channels; ++i) ++counts[size_t(i / channels)][size_t(i % channels)][p[i]];
        }
        for (; p < end; p += channels)
            for (int c = 0; c < channels; ++c) ++counts[0][size_t(c)][p[c]];
        counted += run.end - run.begin;
    }
    for (int c = 0; c < channels; ++c)
        for (size_t v = 0; v < 256; ++v)
            for (int k = 0; k < ways; ++k) histogram[size_t(c)][v] += counts[size_t(k)][size_t(c)][v];
    return counted;
}

long long countLevels(const cv::Mat& frame, std::span<const ArenaMap::Run> runs, Histograms& histogram) {
    switch (frame.channels()) {
        case 1: return countLevels<1>(frame, runs, histogram);
        case 2: return countLevels<2>(frame, runs, histogram);
        case 3: return countLevels<3>(frame, runs, histogram);
        default: return countLevels<4>(frame, runs, histogram);
    }
}

// Sets every pixel of `runs` to `value`: a row of it made once, copied onto each run.
void paintRuns(cv::Mat& frame, std::span<const ArenaMap::Run> runs, const cv::Scalar& value) {
    const size_t channels = size_t(frame.channels());
    std::vector<uchar> row(size_t(frame.cols) * channels);
    for (size_t i = 0; i < row.size(); ++i) row[i] = cv::saturate_cast<uchar>(value[int(i % channels)]);
    for (const ArenaMap::Run& run : runs)
        std::copy_n(row.data(), size_t(run.end - run.begin) * channels,
                    frame.ptr<uchar>(run.y) + size_t(run.begin) * channels);
}

}  // namespace

int ArenaMap::arena_of(double x, double y) const {
    if (!(x > -0.5 && y > -0.5 && x < labels_.cols - 0.5 && y < labels_.rows - 0.5)) return 0;
    const int px = static_cast<int>(std::lround(x)), py = static_cast<int>(std::lround(y));
    return labels_.at<uchar>(std::min(py, labels_.rows - 1), std::min(px, labels_.cols - 1));
}

void ArenaMap::paint_outside(cv::Mat& frame) const {
    if (frame.depth() != CV_8U || frame.channels() > 4 || frame.size() != labels_.size())
        throw std::invalid_argument("paint_outside: an 8-bit frame of the arenas' size is needed");
    const int channels = frame.channels();
    Histograms histogram{};
    long long inside = countLevels(frame, inside_, histogram);
    if (inside == 0) {
        // Nothing of the frame is inside: a uniform frame has nothing to detect.
        for (int y = 0; y < frame.rows; ++y) {
            const uchar* p = frame.ptr<uchar>(y);
            for (int x = 0; x < frame.cols; ++x)
                for (int c = 0; c < channels; ++c) ++histogram[c][p[x * channels + c]];
        }
        inside = static_cast<long long>(frame.total());
    }
    cv::Scalar background;
    for (int c = 0; c < channels; ++c) {
        long long seen = 0;
        int v = 0;
        while (seen + histogram[c][v] <= (inside - 1) / 2) seen += histogram[c][v++];
        background[c] = v;
    }
    paintRuns(frame, outside_, background);
}

void ArenaMap::draw(cv::Mat& bgr, const cv::Scalar& colour, int thickness) const {
    if (bgr.type() != CV_8UC3 || bgr.size() != labels_.size())
        throw std::invalid_argument("draw: a BGR picture of the arenas' size is needed");
    for (int k = 1; k <= count(); ++k) {
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(labels_ == k, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
        cv::drawContours(bgr, contours, -1, colour, thickness, cv::LINE_AA);
        if (count() > 1 && !contours.empty()) {
            cv::Rect box = cv::boundingRect(contours[0]);
            for (const auto& c : contours) box |= cv::boundingRect(c);
            cv::putText(bgr, std::to_string(k), box.tl() + cv::Point(4, 16), cv::FONT_HERSHEY_SIMPLEX, 0.5, colour, 1,
                        cv::LINE_AA);
        }
    }
}

}  // namespace ambrevo
