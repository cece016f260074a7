#include "ambrevo/pipeline/sources/demo_scene.h"

#include <algorithm>
#include <cmath>

namespace {

const double pi = 3.14159265358979323846;

// Integer hash: deterministic per-pixel grain on every platform.
uint32_t hash(uint32_t x, uint32_t y) {
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

}  // namespace

DemoScene::DemoScene() : background_(height, width, CV_8UC3) {
    // Light paper: slow waves plus fine grain, grey levels about 170 to 235, far above
    // the discs' 40 so that nothing in the background reads as an object.
    for (int y = 0; y < height; ++y) {
        cv::Vec3b* row = background_.ptr<cv::Vec3b>(y);
        for (int x = 0; x < width; ++x) {
            double wave = 14.0 * std::sin(x * 0.045 + 0.7 * std::sin(y * 0.021)) * std::cos(y * 0.063) +
                          6.0 * std::sin((x + 2 * y) * 0.11);
            double grain = double(hash(uint32_t(x), uint32_t(y)) % 17) - 8.0;
            double g = 203.0 + wave + grain;
            row[x] = cv::Vec3b(cv::saturate_cast<uint8_t>(g + 6), cv::saturate_cast<uint8_t>(g),
                               cv::saturate_cast<uint8_t>(g - 9));
        }
    }
}

std::vector<DemoDisc> DemoScene::discs(int64_t frame) {
    // One lap of three loops in the 10 s of the scene: a wide ellipse, a tall ellipse run
    // the other way round, and a figure of eight. The phases put the closest approaches
    // (centres 44 to 45 px apart, a gap of about 14 px between the rims) near frames 53,
    // 86, 236 and 274. The fastest disc moves 7 px per frame.
    const double a = 2 * pi * double(frame) / double(frameCount);
    const double phaseTall = 5 * pi / 4;
    const double phaseEight = 5 * pi / 6;
    return {
        {320 + 220 * std::cos(a), 240 + 120 * std::sin(a)},
        {320 + 130 * std::cos(phaseTall - a), 240 + 185 * std::sin(phaseTall - a)},
        {320 + 250 * std::sin(a + phaseEight), 240 + 110 * std::sin(2 * (a + phaseEight))},
    };
}

cv::Mat DemoScene::frame(int64_t frame) const {
    cv::Mat out = background_.clone();
    const cv::Vec3d ink(38, 42, 46);
    const int samples = 4;  // 4 x 4 supersampling gives smooth, sub-pixel accurate rims
    for (const DemoDisc& d : discs(frame)) {
        int x0 = std::max(0, int(std::floor(d.x - radius - 1))), x1 = std::min(width - 1, int(std::ceil(d.x + radius + 1)));
        int y0 = std::max(0, int(std::floor(d.y - radius - 1))), y1 = std::min(height - 1, int(std::ceil(d.y + radius + 1)));
        for (int y = y0; y <= y1; ++y) {
            cv::Vec3b* row = out.ptr<cv::Vec3b>(y);
            for (int x = x0; x <= x1; ++x) {
                int inside = 0;
                for (int sy = 0; sy < samples; ++sy) {
                    for (int sx = 0; sx < samples; ++sx) {
                        double px = x - 0.5 + (sx + 0.5) / samples - d.x;
                        double py = y - 0.5 + (sy + 0.5) / samples - d.y;
                        if (px * px + py * py <= radius * radius) ++inside;
                    }
                }
                if (!inside) continue;
                double cover = double(inside) / (samples * samples);
                for (int c = 0; c < 3; ++c) row[x][c] = cv::saturate_cast<uint8_t>(row[x][c] * (1 - cover) + ink[c] * cover);
            }
        }
    }
    return out;
}
