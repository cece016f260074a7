#include "module/overlay.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "ambrevo/pipeline/module/module.h"

namespace {

struct PaletteEntry {
    const char* name;
    cv::Scalar bgr;
};

const PaletteEntry positive[12] = {
    {"red", {40, 40, 230}},      {"green", {40, 180, 40}},   {"blue", {230, 100, 20}},
    {"yellow", {0, 215, 235}},   {"magenta", {200, 40, 200}}, {"cyan", {215, 200, 0}},
    {"orange", {0, 140, 255}},   {"violet", {200, 80, 120}},  {"lime", {60, 230, 150}},
    {"pink", {180, 130, 255}},   {"teal", {130, 130, 0}},     {"brown", {40, 90, 150}},
};

// -1 .. -8.
const PaletteEntry negative[8] = {
    {"white", {255, 255, 255}},  {"black", {0, 0, 0}},          {"grey", {128, 128, 128}},
    {"amber", {60, 190, 255}},   {"dark grey", {64, 64, 64}},   {"bright magenta", {255, 0, 255}},
    {"sky blue", {255, 200, 120}}, {"cream", {200, 255, 255}},
};

const PaletteEntry& entry(int code) {
    if (code >= 0) return positive[code % 12];
    int64_t k = -int64_t(code) - 1;  // -1 -> 0; safe for INT_MIN
    return negative[k % 8];
}

const ip_dibWords* usable(const ip_dibWords* d) {
    if (!d || !d->bits || d->width <= 0 || d->height == 0 || d->szPixel < 1 || d->szPixel > 4) return nullptr;
    if (int64_t(d->szRow) < int64_t(d->width) * d->szPixel) return nullptr;
    return d;
}

}  // namespace

cv::Scalar paletteColour(int code) { return entry(code).bgr; }
const char* paletteName(int code) { return entry(code).name; }

bool HostOverlay::takeAcknowledge(int& a, int& b) {
    bool was = acknowledged_;
    a = ackA_;
    b = ackB_;
    acknowledged_ = false;
    return was;
}

DrawCommand drawCommand(const ambrevo_draw& c) {
    static const DrawCommand::Kind kinds[] = {DrawCommand::point, DrawCommand::line, DrawCommand::polyline,
                                               DrawCommand::text};
    DrawCommand out{kinds[std::clamp(c.kind - AMBREVO_DRAW_POINT, 0, 3)], c.colour, c.text ? c.text : "", c.arg,
                    c.kind == AMBREVO_DRAW_LINE ? c.style : 0, {}};
    out.points.reserve(size_t(std::max(c.point_count, 0)));
    for (int32_t i = 0; i < c.point_count && c.points; ++i) out.points.emplace_back(c.points[i].x, c.points[i].y);
    return out;
}

void HostOverlay::draw(void* overlay, const ambrevo_draw* command) {
    auto& o = *static_cast<HostOverlay*>(overlay);
    contained(o.failure_, [&] {
        if (command->kind == AMBREVO_DRAW_CLEAR) {
            o.commands_.clear();
        } else if (command->kind == AMBREVO_DRAW_ACKNOWLEDGE) {
            o.acknowledged_ = true;
            o.ackA_ = command->arg;
            o.ackB_ = command->style;
        } else if (command->kind >= AMBREVO_DRAW_POINT && command->kind <= AMBREVO_DRAW_TEXT) {
            o.commands_.push_back(drawCommand(*command));
        }
    });
}

namespace {

// Coordinates far outside the picture would make OpenCV's clipping do needless work.
cv::Point clampPoint(const cv::Point& p) {
    const int limit = 1 << 20;
    return {std::max(-limit, std::min(limit, p.x)), std::max(-limit, std::min(limit, p.y))};
}

void putLabel(cv::Mat& bgr, const std::string& text, cv::Point origin, const cv::Scalar& colour) {
    if (text.empty()) return;
    const int font = cv::FONT_HERSHEY_PLAIN;
    const double scale = 1.0;
    cv::putText(bgr, text, origin, font, scale, cv::Scalar(0, 0, 0), 3, cv::LINE_AA);
    cv::putText(bgr, text, origin, font, scale, colour, 1, cv::LINE_AA);
}

}  // namespace

void renderCommands(cv::Mat& bgr, const std::vector<DrawCommand>& commands) {
    std::map<std::pair<int, int>, int> textsAt;
    for (const DrawCommand& c : commands) {
        const cv::Scalar colour = paletteColour(c.colour);
        switch (c.kind) {
            case DrawCommand::point: {
                cv::Point p = clampPoint(c.points[0]);
                cv::circle(bgr, p, 3, cv::Scalar(0, 0, 0), cv::FILLED, cv::LINE_AA);
                cv::circle(bgr, p, 2, colour, cv::FILLED, cv::LINE_AA);
                putLabel(bgr, c.label, p + cv::Point(5, -4), colour);
                break;
            }
            case DrawCommand::line:
                cv::line(bgr, clampPoint(c.points[0]), clampPoint(c.points[1]), colour, c.style >= 2 ? 2 : 1,
                         cv::LINE_AA);
                putLabel(bgr, c.label, clampPoint(c.points[0]), colour);
                break;
            case DrawCommand::polyline: {
                if (c.points.empty()) break;
                std::vector<cv::Point> pts;
                pts.reserve(c.points.size());
                for (const cv::Point& p : c.points) pts.push_back(clampPoint(p));
                cv::polylines(bgr, pts, false, colour, c.arg ? 2 : 1, cv::LINE_AA);
                putLabel(bgr, c.label, pts[0] + cv::Point(4, -4), colour);
                break;
            }
            case DrawCommand::text: {
                cv::Point at = clampPoint(c.points[0]);
                int& stacked = textsAt[{at.x, at.y}];
                int baseline = 0;
                cv::Size size = cv::getTextSize("Ag", cv::FONT_HERSHEY_PLAIN, 1.0, 1, &baseline);
                const int lineHeight = size.height + baseline + 4;
                putLabel(bgr, c.label, at + cv::Point(2, size.height + 3 + stacked * lineHeight), colour);
                ++stacked;
                break;
            }
        }
    }
}

void renderFlash(cv::Mat& bgr, const std::vector<cv::Point>& at, int radius) {
    const int r = std::max(4, std::min(radius, 1000));
    if (at.empty()) {
        cv::rectangle(bgr, cv::Rect(0, 0, bgr.cols, bgr.rows), cv::Scalar(0, 0, 0), 6);
        cv::rectangle(bgr, cv::Rect(0, 0, bgr.cols, bgr.rows), paletteColour(-1), 3);
        return;
    }
    for (const cv::Point& p : at) {
        cv::circle(bgr, clampPoint(p), r, cv::Scalar(0, 0, 0), 5, cv::LINE_AA);
        cv::circle(bgr, clampPoint(p), r, paletteColour(-1), 2, cv::LINE_AA);
    }
}

cv::Mat dibToExact(const ip_dibWords* image) {
    const ip_dibWords* d = usable(image);
    if (!d) return {};
    const int rows = std::abs(d->height);
    const int w = d->width;
    switch (d->szPixel) {
        case 1: {
            cv::Mat m(rows, w, CV_8UC1);
            for (int y = 0; y < rows; ++y) std::memcpy(m.ptr(y), d->bits + int64_t(y) * d->szRow, size_t(w));
            return m;
        }
        case 2: {
            cv::Mat m(rows, w, CV_16UC1);
            for (int y = 0; y < rows; ++y) std::memcpy(m.ptr(y), d->bits + int64_t(y) * d->szRow, size_t(w) * 2);
            return m;
        }
        case 3: {
            cv::Mat m(rows, w, CV_8UC3);
            for (int y = 0; y < rows; ++y) std::memcpy(m.ptr(y), d->bits + int64_t(y) * d->szRow, size_t(w) * 3);
            return m;
        }
        default: {
            cv::Mat m(rows, w, CV_8UC3);
            for (int y = 0; y < rows; ++y) {
                const uint8_t* s = d->bits + int64_t(y) * d->szRow;
                uint8_t* o = m.ptr(y);
                for (int x = 0; x < w; ++x) {
                    o[3 * x] = s[4 * x];
                    o[3 * x + 1] = s[4 * x + 1];
                    o[3 * x + 2] = s[4 * x + 2];
                }
            }
            return m;
        }
    }
}

cv::Mat dibToBgr(const ip_dibWords* image) { return exactToBgr(dibToExact(image)); }

cv::Mat exactToBgr(const cv::Mat& exact) {
    if (exact.empty()) return exact;
    cv::Mat bgr;
    if (exact.type() == CV_8UC3) return exact;
    if (exact.type() == CV_8UC1) {
        cv::cvtColor(exact, bgr, cv::COLOR_GRAY2BGR);
        return bgr;
    }
    // 16-bit grey x 64: the module's grey value is |(v + 32) / 64|, clipped for display.
    cv::Mat grey(exact.rows, exact.cols, CV_8UC1);
    for (int y = 0; y < exact.rows; ++y) {
        const uint16_t* s = exact.ptr<uint16_t>(y);
        uint8_t* o = grey.ptr(y);
        for (int x = 0; x < exact.cols; ++x) {
            int v = std::abs((int(int16_t(s[x])) + 32) / 64);
            o[x] = uint8_t(std::min(v, 255));
        }
    }
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}
