#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "doubles/recording.h"
#include "flowtrack/flowtrack_impl.h"
#include "flowtrack/ip_flowtrack.h"
#include "support.h"

namespace {

// A dark textured disc moving on a smooth path over a fixed bright texture.
struct MovingDisc {
    double x0, y0, ax, ay, wx, wy, radius;
    void centre(int frame, double& x, double& y) const {
        x = x0 + ax * std::sin(wx * frame);
        y = y0 + ay * std::cos(wy * frame) - ay;
    }
};

// 3-byte colour frame, top-down, so the grey conversion is on the path too.
dib_base render(const std::vector<MovingDisc>& discs, int frame, int W, int H) {
    dib_base image(dib_fmt(W, H, 3, 0, false), 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const uint8_t g = ft::texture(x, y, 170, 81);
            uint8_t* px = image.row(y) + 3 * x;
            px[0] = px[1] = px[2] = g;
        }
    for (const MovingDisc& d : discs) {
        double cx, cy;
        d.centre(frame, cx, cy);
        const int r = int(d.radius) + 1;
        for (int y = int(cy) - r; y <= int(cy) + r; ++y)
            for (int x = int(cx) - r; x <= int(cx) + r; ++x) {
                const double dx = x - cx, dy = y - cy;
                if (dx * dx + dy * dy > d.radius * d.radius) continue;
                // Texture that moves with the disc.
                const uint8_t g = ft::texture(int(std::floor(dx)) + 64, int(std::floor(dy)) + 64, 20, 41);
                uint8_t* px = image.row(y) + 3 * x;
                px[0] = uint8_t(g + 6);
                px[1] = g;
                px[2] = uint8_t(g - 6);
            }
    }
    return image;
}

TEST(FlowtrackTracking, ThreeMovingDiscsKeepTheirContours) {
    ft::ParameterGuard guard;
    const int W = 320, H = 240, frames = 40;
    const std::vector<MovingDisc> discs{
        {80, 70, 25, 15, 0.11, 0.07, 17},
        {220, 80, 30, 20, 0.09, 0.13, 16},
        {150, 170, 40, 12, 0.08, 0.10, 18},
    };
    dib_base first = render(discs, 0, W, H);
    ip_flowtrack tracker(&first.format());
    tracker.impl().BrojObjekata = 3;
    doubles::EventList events;
    doubles::Overlay overlay;
    std::vector<int> owner;  // the disc each track started on
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int worst = 0;
    for (int f = 0; f < frames; ++f) {
        dib_base frame = render(discs, f, W, H);
        tracker.doProcess(&frame, &events, &overlay);
        ASSERT_TRUE(tracker.impl().initialised) << f;
        ASSERT_EQ(tracker.impl().regions.count, 3) << f;
        ASSERT_EQ(overlay.lines.size(), 72u) << f;
        double cx[3], cy[3];
        for (int i = 0; i < 3; ++i) discs[size_t(i)].centre(f, cx[i], cy[i]);
        if (owner.empty()) {
            for (int k = 0; k < 3; ++k) {
                MRegion& r = *ft::regionAt(tracker.impl().regions, k);
                int best = 0;
                for (int i = 1; i < 3; ++i)
                    if (std::hypot(r.cx - cx[i], r.cy - cy[i]) < std::hypot(r.cx - cx[best], r.cy - cy[best]))
                        best = i;
                owner.push_back(best);
            }
        }
        // Every drawn contour point of track k lies on (or within a pixel or two of)
        // the disc it started on.
        for (size_t s = 0; s < 72; ++s) {
            const int k = int(s / 24);
            const MovingDisc& d = discs[size_t(owner[size_t(k)])];
            const ip_point p = overlay.lines[s].from;
            const double dist = std::hypot(p.x - cx[owner[size_t(k)]], p.y - cy[owner[size_t(k)]]);
            EXPECT_LE(dist, d.radius + 2.5) << "frame " << f << " track " << k << " point " << s % 24;
            EXPECT_GE(dist, d.radius - 6.0) << "frame " << f << " track " << k << " point " << s % 24;
            worst = std::max(worst, int(std::ceil(std::fabs(dist - d.radius))));
        }
        EXPECT_EQ(overlay.lineColours[0], 0);
        EXPECT_EQ(overlay.lineColours[71], 2);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
    RecordProperty("worstContourError", worst);
}

}  // namespace
