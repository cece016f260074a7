#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "framework/ip_window.h"
#include "cc_util.h"
#include "cctrack/ip_clfFeatures.h"
#include "framework/ip_factory.h"
#include "ops/ip_canny.h"

using namespace cc;

namespace {

using procedure = std::unique_ptr<ip_clfFeatures>;

const int W = 320, H = 240;

// Dark ellipses {centre x, centre y, radius x, radius y, velocity x, velocity y} moving over a plain background.
struct ellipse {
    double cx, cy, rx, ry, vx, vy;
    double x(int frame) const { return cx + vx * frame; }
    double y(int frame) const { return cy + vy * frame; }
};
const std::vector<ellipse> objects{
    {70, 70, 18, 18, 3.0, 1.0}, {250, 70, 22, 15, -2.5, 2.0}, {160, 190, 15, 20, 1.5, -2.0}};

// Frame `index` (bottom-up unless topDown): background 200, ellipses 40; rows from `horizon` - x / 40 on (when it
// is not negative) are 120, giving one edge across the image, rising a row every 40 columns.
dib_base frame(int index, bool topDown = false, int width = W, int szPixel = 1, int horizon = -1) {
    dib_base image(dib_fmt(width, H, szPixel, 0, !topDown), 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t v = horizon >= 0 && y >= horizon - x / 40 ? 120 : 200;
            for (const ellipse& e : objects)
                if (std::pow((x - e.x(index)) / e.rx, 2) + std::pow((y - e.y(index)) / e.ry, 2) <= 1.0) v = 40;
            std::memset(image.row(y) + x * szPixel, v, size_t(szPixel));
        }
    return image;
}

}  // namespace

TEST(CcTrack, FollowsTheAimedObjectAndPassesFramesThrough) {
    const dib_fmt fmt(W, H, 1, 0, true);
    procedure p(dynamic_cast<ip_clfFeatures*>(ip_registry_find("ccTrack")->create(&fmt)));
    ASSERT_TRUE(p && p->extractRegions());
    int aimed = -1;
    for (int k = 0; k < 16; ++k) {
        const dib_base image = frame(k);
        doubles::EventList events;
        if (k == 9) {
            // Pick the third object by a click near its centre; a later click wins.
            events.click(int(objects[0].x(k)), int(objects[0].y(k)));
            events.click(int(objects[2].x(k)) + 3, int(objects[2].y(k)) - 2);
        }
        doubles::Overlay o;
        p->doProcess(&image, &events, &o);
        EXPECT_EQ(p->extractor()->count(), 3) << k;
        // The aim position from the coordinates text "xxx:yyy"; no track has been seen often enough before frame 3.
        int x = 0, y = 0;
        const bool drawn = !o.texts.empty() && std::sscanf(o.texts[0].c_str(), "%d:%d", &x, &y) == 2;
        ASSERT_EQ(drawn, k >= 3) << k;
        if (k < 3) continue;
        int object = -1;
        for (int j = 0; j < 3; ++j)
            if (std::hypot(objects[size_t(j)].x(k) - x, objects[size_t(j)].y(k) - y) <= 3.0) object = j;
        if (k == 3) aimed = object;
        EXPECT_NE(aimed, 2);  // so that the click changes the aim
        EXPECT_EQ(object, k >= 9 ? 2 : aimed) << k;
        // Plain annotation: the aim, the coordinates and the one track's point; the objects report every track,
        // the aimed one with its position and about its object's velocity.
        EXPECT_EQ(std::make_pair(o.lines.size(), o.points.size()), std::make_pair(size_t(4), size_t(1)));
        EXPECT_EQ(o.calls.back(), k == 9 ? "acknowledge 25 500"
                                         : "point " + std::to_string(x) + "," + std::to_string(y) + " c=-8 l= 1");
        ip_objectRecord r[4];
        ASSERT_EQ(p->objects(r, 4), 3);
        const int s = r[0].selected ? 0 : r[1].selected ? 1 : 2;
        EXPECT_EQ(r[0].selected + r[1].selected + r[2].selected, 1);
        EXPECT_EQ((std::array<int, 4>{r[s].x, r[s].y, r[s].index, r[s].appearances}),
                  (std::array<int, 4>{x, y, p->tracker()->selected(), std::min(k + 1, 6)}));
        EXPECT_GT(r[s].pointCount, 60);
        EXPECT_NEAR(r[s].vx, objects[size_t(std::max(object, 0))].vx, 1.0);
        EXPECT_NEAR(r[s].vy, objects[size_t(std::max(object, 0))].vy, 1.0);
    }
    // Seven stage times, the edge stage under the detector's own name.
    doubles::Profiler profiler;
    p->profile(&profiler);
    EXPECT_EQ(profiler.labels(), (std::vector<std::string>{"time_filter", "canny_w0", "linking", "post-link filter",
                                                           "extracting features", "tracking features", "annotating"}));

    // The destination is an exact copy of the frame, even of another size and row order. A host image without
    // pixels is refused.
    const dib_base image = frame(1, true, 400, 4);
    p->doProcess(&image, nullptr, nullptr);
    ASSERT_TRUE(*p->dstDib() == image && p->dstDib()->height == image.height);
    EXPECT_EQ(std::memcmp(p->dstDib()->bits, image.bits, size_t(image.byteSize())), 0);
    dib_base empty(dib_fmt(400, H, 4, 0, true), 1);
    EXPECT_EQ(thrown([&] { p->doProcess(&empty, nullptr, nullptr); }),
              "ip_clfFeatures::process - got null ptr on input");
}

TEST(CcTrack, DialogueAndWindows) {
    doubles::windowLog().reset();
    const dib_fmt fmt(W, H, 1, 0, true);
    procedure p(new ip_clfFeatures(&fmt));
    const std::string values =
        "  hasWindows: 0\n  drawsAim: 1\n  drawsCoordinates: 1\n  drawsContour: 0\n  drawsHistory: 0\n";
    // An empty line keeps everything, still runs the detector's dialogue and re-creates the extractor with the
    // detector's current border (2 once smoothing is off).
    doubles::Console keep({"", "0"});
    p->config(&keep);
    ASSERT_EQ(keep.calls.size(), 6u);
    EXPECT_EQ(keep.calls[0], "write:\nCurrent closed contours tracker configuration:\n" + values +
                                 "Please supply the new values for hasWindows, drawsAim, drawsCoordinates, "
                                 "drawsContour and drawsHistory: ");
    EXPECT_EQ(keep.calls[5], "write:\nThe new values are:\n" + values);
    EXPECT_EQ(p->extractor()->border(), 2);

    // Switching the windows on replaces the detector by one with its four windows, starting from its defaults
    // (the nested dialogue shows sigma 2). The reference chain along the horizon is drawn in its window.
    ip_dllAdaptor_callbacks = doubles::recordingCallbacks();
    doubles::Console on({"1 0 1 0 0", "1.5"}), off({"0", ""});
    p->config(&on);
    EXPECT_TRUE(p->hasWindows() && !p->drawsAim());
    EXPECT_EQ(on.calls[2].rfind("write:Current Canny edge detector configuration:\n  Sigma: 2\n", 0), 0u);
    EXPECT_EQ(p->edgeDetector()->sigma(), 1.5f);
    EXPECT_EQ(p->extractor()->border(), p->edgeDetector()->border());
    ASSERT_EQ(doubles::windowLog().created.size(), 4u);
    doubles::Overlay o;
    const dib_base image = frame(0, false, W, 1, 215);
    p->doProcess(&image, nullptr, &o);
    // The reference chain: one point per column, each on the edge where the horizon crosses that column.
    const auto found = std::find_if(o.calls.begin(), o.calls.end(),
                                    [](const std::string& c) { return c.rfind("poly c=0 l=0:320 0 [", 0) == 0; });
    ASSERT_NE(found, o.calls.end());
    std::istringstream points(found->substr(found->find('[') + 1));
    int column = 0, x = 0, y = 0;
    for (char comma = 0; points >> x >> comma >> y; ++column) {
        EXPECT_EQ(x, column);
        EXPECT_LE(std::abs(y - (215 - x / 40)), 1) << x;
    }
    EXPECT_EQ(column, 320);
    // Off again: the windows close and the new detector has the default sigma.
    p->config(&off);
    EXPECT_EQ(dynamic_cast<ip_canny*>(p->edgeDetector()), nullptr);
    EXPECT_EQ(p->edgeDetector()->sigma(), 2.0f);
    EXPECT_EQ(doubles::windowLog().events.size(), 8u);  // four created, four destroyed
    p.reset();
    ip_dllAdaptor_callbacks = nullptr;
}
