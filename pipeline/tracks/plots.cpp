#include "ambrevo/pipeline/tracks/plots.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

#include "ambrevo/pipeline/core/text/numbers.h"

namespace ambrevo {

namespace {

cv::Mat to_bgr(const cv::Mat& frame) {
    if (frame.type() == CV_8UC3) return frame;
    cv::Mat bgr;
    if (frame.type() == CV_8UC1)
        cv::cvtColor(frame, bgr, cv::COLOR_GRAY2BGR);
    else if (frame.type() == CV_8UC4)
        cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
    else
        throw std::invalid_argument("plots: frames must be 8-bit grey, BGR or BGRA");
    return bgr;
}

std::string format_length(double v) { return text::general(v); }

// A bar with its length written above it, on a light box at the bottom left.
void draw_scale_bar(cv::Mat& bgr, const PlotSettings& settings) {
    if (!(settings.pixels_per_unit > 0)) return;
    const double length = scale_bar_length(settings.pixels_per_unit, bgr.cols);
    const int bar = static_cast<int>(std::lround(length * settings.pixels_per_unit));
    if (bar < 1) return;
    const std::string label = format_length(length) + " " + settings.unit;
    int baseline = 0;
    const cv::Size text = cv::getTextSize(label, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
    const int margin = 10;
    const cv::Point origin(margin, bgr.rows - margin);
    const cv::Rect box(origin.x - 5, origin.y - text.height - 18, std::max(bar, text.width) + 10, text.height + 23);
    cv::Mat area = bgr(box & cv::Rect(0, 0, bgr.cols, bgr.rows));
    area = area * 0.3 + cv::Scalar(178, 178, 178);
    cv::line(bgr, origin + cv::Point(0, -4), origin + cv::Point(bar - 1, -4), cv::Scalar(0, 0, 0), 3);
    cv::putText(bgr, label, origin + cv::Point(0, -12), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(0, 0, 0), 1,
                cv::LINE_AA);
}

// The seen rows of each track, in frame order.
std::map<long long, std::vector<const TrackPoint*>> seen_by_track(std::span<const TrackPoint> rows) {
    std::map<long long, std::vector<const TrackPoint*>> tracks;
    for (const TrackPoint& p : rows)
        if (!p.missing && std::isfinite(p.x) && std::isfinite(p.y)) tracks[p.track].push_back(&p);
    for (auto& [id, points] : tracks)
        std::stable_sort(points.begin(), points.end(),
                         [](const TrackPoint* a, const TrackPoint* b) { return a->frame < b->frame; });
    return tracks;
}

// Positions drawn with 4 bits of sub-pixel precision.
constexpr int kShift = 4;
cv::Point fixed(const TrackPoint& p) {
    auto f = [](double v) { return static_cast<int>(std::lround(std::clamp(v, -1e6, 1e6) * (1 << kShift))); };
    return {f(p.x), f(p.y)};
}

}  // namespace

cv::Mat median_background(std::span<const cv::Mat> frames) {
    if (frames.empty()) throw std::invalid_argument("median_background: no frame");
    std::vector<cv::Mat> bgr;
    for (const cv::Mat& f : frames) {
        if (f.size() != frames[0].size()) throw std::invalid_argument("median_background: frames of different sizes");
        bgr.push_back(to_bgr(f));
    }
    cv::Mat out(frames[0].size(), CV_8UC3);
    const size_t n = bgr.size(), middle = (n - 1) / 2, width = size_t(out.cols) * 3;
    // A row of every frame at a time, sorted as far as the middle: each pass lets the smallest
    // values left sink one row down, a whole row at once (OpenCV's vector min and max into a
    // spare row, which then takes the lower one's place), so that the pictures at a run's end
    // take a fraction of a second.
    std::vector<uchar> buffer((n + 1) * width);
    std::vector<uchar*> row(n + 1);
    const int w = int(width);
    for (int y = 0; y < out.rows; ++y) {
        for (size_t k = 0; k <= n; ++k) row[k] = &buffer[k * width];
        for (size_t k = 0; k < n; ++k) std::memcpy(row[k], bgr[k].ptr<uchar>(y), width);
        uchar* spare = row[n];
        for (size_t pass = 0; pass <= middle; ++pass)
            for (size_t k = n - 1; k > pass; --k) {
                const cv::Mat low(1, w, CV_8U, row[k - 1]);
                cv::Mat high(1, w, CV_8U, row[k]), smaller(1, w, CV_8U, spare);
                cv::min(low, high, smaller);
                cv::max(low, high, high);
                spare = row[k - 1];
                row[k - 1] = smaller.data;
            }
        std::memcpy(out.ptr<uchar>(y), row[middle], width);
    }
    return out;
}

cv::Scalar track_colour(long long track) {
    // Hue in OpenCV's 0..180 range; full saturation, bright enough for a grey background.
    const double golden = 0.6180339887498949;
    const double turn = std::fmod(static_cast<double>(track < 0 ? -track : track) * golden, 1.0);
    cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(static_cast<int>(turn * 180) % 180, 255, 230)), bgr;
    cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
    const cv::Vec3b c = bgr.at<cv::Vec3b>(0, 0);
    return {double(c[0]), double(c[1]), double(c[2])};
}

double scale_bar_length(double pixels_per_unit, int width_px) {
    const double target = width_px / 5.0 / pixels_per_unit;  // in units
    double power = std::pow(10.0, std::floor(std::log10(target)));
    double best = power;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power <= target) best = m * power;
    return best;
}

cv::Mat plot_trajectories(const cv::Mat& background, std::span<const TrackPoint> rows, const PlotSettings& settings) {
    cv::Mat grey, canvas;
    cv::cvtColor(to_bgr(background), grey, cv::COLOR_BGR2GRAY);
    grey.convertTo(grey, CV_8U, 0.5, 100);  // faded: half the contrast around a light grey
    cv::cvtColor(grey, canvas, cv::COLOR_GRAY2BGR);

    const auto tracks = seen_by_track(rows);
    const bool label = tracks.size() <= 60;
    const int thickness = std::max(2, std::min(canvas.cols, canvas.rows) / 300);
    for (const auto& [id, points] : tracks) {
        const cv::Scalar colour = track_colour(id);
        std::vector<cv::Point> line;
        for (const TrackPoint* p : points) line.push_back(fixed(*p));
        cv::polylines(canvas, line, false, colour, thickness, cv::LINE_AA, kShift);
        cv::circle(canvas, line.front(), (thickness + 2) << kShift, colour, cv::FILLED, cv::LINE_AA, kShift);
        if (label) {
            const cv::Point end(static_cast<int>(std::lround(points.back()->x)) + 4,
                                static_cast<int>(std::lround(points.back()->y)) - 4);
            cv::putText(canvas, std::to_string(id), end, cv::FONT_HERSHEY_SIMPLEX, 0.4, cv::Scalar(0, 0, 0), 3,
                        cv::LINE_AA);
            cv::putText(canvas, std::to_string(id), end, cv::FONT_HERSHEY_SIMPLEX, 0.4, colour, 1, cv::LINE_AA);
        }
    }
    draw_scale_bar(canvas, settings);
    return canvas;
}

cv::Mat plot_heatmap(const cv::Mat& background, std::span<const TrackPoint> rows, const PlotSettings& settings) {
    const cv::Mat bgr = to_bgr(background);
    cv::Mat counts = cv::Mat::zeros(bgr.size(), CV_32F);
    for (const TrackPoint& p : rows) {
        if (p.missing || !(p.x > -0.5 && p.y > -0.5 && p.x < bgr.cols - 0.5 && p.y < bgr.rows - 0.5)) continue;
        counts.at<float>(static_cast<int>(std::lround(p.y)), static_cast<int>(std::lround(p.x))) += 1.0f;
    }
    const double sigma = std::max(2.0, std::min(bgr.cols, bgr.rows) / 50.0);
    cv::GaussianBlur(counts, counts, cv::Size(0, 0), sigma);
    double peak = 0;
    cv::minMaxLoc(counts, nullptr, &peak);

    cv::Mat canvas = bgr.clone();
    if (peak > 0) {
        cv::Mat level, colours;
        counts.convertTo(level, CV_8U, 255.0 / peak);
        cv::applyColorMap(level, colours, cv::COLORMAP_TURBO);
        // Opacity grows as the square root of the density: faint visits stay visible.
        for (int y = 0; y < canvas.rows; ++y) {
            const float* d = counts.ptr<float>(y);
            const cv::Vec3b* c = colours.ptr<cv::Vec3b>(y);
            cv::Vec3b* o = canvas.ptr<cv::Vec3b>(y);
            for (int x = 0; x < canvas.cols; ++x) {
                const double a = 0.85 * std::sqrt(std::min(1.0, d[x] / peak));
                for (int k = 0; k < 3; ++k) o[x][k] = cv::saturate_cast<uchar>(o[x][k] * (1 - a) + c[x][k] * a);
            }
        }
    }

    // Legend: the colour ramp with its two ends named, at the top right.
    const int width = std::min(120, canvas.cols / 3), height = 10;
    if (width >= 20 && canvas.rows >= 60) {
        cv::Mat ramp(1, width, CV_8U);
        for (int x = 0; x < width; ++x) ramp.at<uchar>(0, x) = cv::saturate_cast<uchar>(255.0 * x / (width - 1));
        cv::Mat ramp_colours;
        cv::applyColorMap(ramp, ramp_colours, cv::COLORMAP_TURBO);
        const cv::Rect bar(canvas.cols - width - 10, 24, width, height);
        cv::Mat backing = canvas(cv::Rect(bar.x - 6, 4, width + 12, bar.y + height + 6 - 4));
        backing = backing * 0.3 + cv::Scalar(178, 178, 178);
        cv::Mat bar_area = canvas(bar);
        cv::resize(ramp_colours, bar_area, bar.size(), 0, 0, cv::INTER_NEAREST);
        cv::putText(canvas, "time: less", cv::Point(bar.x, 18), cv::FONT_HERSHEY_SIMPLEX, 0.35, cv::Scalar(0, 0, 0), 1,
                    cv::LINE_AA);
        int baseline = 0;
        const cv::Size more = cv::getTextSize("more", cv::FONT_HERSHEY_SIMPLEX, 0.35, 1, &baseline);
        cv::putText(canvas, "more", cv::Point(bar.x + width - more.width, 18), cv::FONT_HERSHEY_SIMPLEX, 0.35,
                    cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
    }
    draw_scale_bar(canvas, settings);
    return canvas;
}

}  // namespace ambrevo
