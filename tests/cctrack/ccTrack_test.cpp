#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "adaptor/ip_window.h"
#include "cctrack/ip_clfFeatures.h"
#include "ccTrack_scene.h"
#include "doubles/recording.h"
#include "framework/ip_factory.h"
#include "ops/ip_canny.h"

namespace {

using procedure = std::unique_ptr<ip_clfFeatures>;

std::string thrown(auto&& f) {
    try {
        f();
    } catch (const char* m) {
        return m;
    }
    return "";
}

struct CallbacksGuard {
    const ip_hostCallbacks* saved = ip_dllAdaptor_callbacks;
    CallbacksGuard() {
        doubles::windowLog().reset();
        ip_dllAdaptor_callbacks = doubles::recordingCallbacks();
    }
    ~CallbacksGuard() {
        ip_dllAdaptor_callbacks = saved;
        doubles::windowLog().reset();
    }
};

const int W = 320, H = 240;

const std::vector<scene::ellipse> threeObjects{
    {70, 70, 18, 18, 3.0, 1.0},
    {250, 70, 22, 15, -2.5, 2.0},
    {160, 190, 15, 20, 1.5, -2.0},
};

procedure make() {
    const dib_fmt fmt(W, H, 1, 0, true);
    return procedure(new ip_clfFeatures(&fmt));
}

// The aim position from the coordinates text "xxx:yyy", if drawn.
bool aim(const doubles::Overlay& o, int& x, int& y) {
    for (const std::string& t : o.texts)
        if (std::sscanf(t.c_str(), "%d:%d", &x, &y) == 2) return true;
    return false;
}

int nearestObject(const std::vector<scene::ellipse>& objects, int frame, int x, int y, double& distance) {
    int best = -1;
    distance = 1e9;
    for (size_t k = 0; k < objects.size(); ++k) {
        const double d = std::hypot(objects[k].x(frame) - x, objects[k].y(frame) - y);
        if (d < distance) {
            distance = d;
            best = int(k);
        }
    }
    return best;
}

const char* const header =
    "write:\nCurrent closed contours tracker configuration:\n"
    "  hasWindows: 0\n  drawsAim: 1\n  drawsCoordinates: 1\n  drawsContour: 0\n  drawsHistory: 0\n"
    "Please supply the new values for hasWindows, drawsAim, drawsCoordinates, drawsContour and drawsHistory: ";

TEST(CcTrack, FollowsTheAimedObject) {
    procedure p = make();
    int aimed = -1;
    for (int k = 0; k < 16; ++k) {
        const dib_base frame = scene::frame(W, H, threeObjects, k);
        doubles::EventList events;
        if (k == 9) {
            // Pick the third object by a click near its centre; a later click wins.
            events.click(int(threeObjects[0].x(k)), int(threeObjects[0].y(k)));
            events.add(3, 0, 10, 10);
            events.add(ip_event::selection, 1, 10, 10);
            events.click(int(threeObjects[2].x(k)) + 3, int(threeObjects[2].y(k)) - 2);
        }
        doubles::Overlay o;
        p->doProcess(&frame, &events, &o);
        EXPECT_EQ(p->extractor()->count(), 3) << k;
        EXPECT_EQ(o.acknowledges, k == 9 ? 1 : 0);

        int x = 0, y = 0;
        if (k < 3) {
            // No track has been seen often enough yet.
            EXPECT_FALSE(aim(o, x, y)) << k;
            continue;
        }
        ASSERT_TRUE(aim(o, x, y)) << k;
        double distance = 0;
        const int object = nearestObject(threeObjects, k, x, y, distance);
        EXPECT_LE(distance, 3.0) << k;
        if (k == 3) {
            aimed = object;
            EXPECT_NE(aimed, 2);  // so that the click below changes the aim
        }
        if (k >= 9) aimed = 2;
        EXPECT_EQ(object, aimed) << k;
        // Plain annotation: the aim, the coordinates and the one track's point.
        EXPECT_EQ(o.lines.size(), 4u);
        EXPECT_EQ(o.points.size(), 1u);
        EXPECT_EQ(o.calls.back(), k == 9 ? "acknowledge 25 500"
                                         : "point " + std::to_string(x) + "," + std::to_string(y) + " c=-8 l= 1");

        ip_objectRecord records[4];
        ASSERT_EQ(p->objects(records, 4), 3);
        EXPECT_EQ(p->objects(nullptr, 0), 3);
        int selected = 0;
        for (const ip_objectRecord& r : {records[0], records[1], records[2]}) {
            EXPECT_EQ(r.area, 0);
            EXPECT_EQ(r.rayCount, 0);
            EXPECT_GT(r.pointCount, 60);
            EXPECT_EQ(r.index, p->tracker()->currentFeature(r.index) ? r.index : -1);
            EXPECT_EQ(r.appearances, std::min(k + 1, 6));
            if (r.selected) {
                ++selected;
                EXPECT_EQ(r.x, x);
                EXPECT_EQ(r.y, y);
                EXPECT_EQ(r.index, p->tracker()->selected());
                EXPECT_NEAR(r.vx, threeObjects[size_t(object)].vx, 1.0);
                EXPECT_NEAR(r.vy, threeObjects[size_t(object)].vy, 1.0);
            }
        }
        EXPECT_EQ(selected, 1);
    }
}

TEST(CcTrack, RegisteredProcedurePassesFramesThrough) {
    ip_creator_base* entry = ip_registry_find("ccTrack");
    ASSERT_NE(entry, nullptr);
    const dib_fmt fmt(W, H, 3, 0, true);
    std::unique_ptr<ip_base> made(entry->create(&fmt));
    ASSERT_NE(dynamic_cast<ip_clfFeatures*>(made.get()), nullptr);
    EXPECT_STREQ(made->name(), "ccTrack");

    procedure p = make();
    EXPECT_TRUE(p->extractRegions());
    EXPECT_EQ(p->extractor()->border(), 5);  // the detector's border with its defaults
    EXPECT_EQ(p->objects(nullptr, 0), 0);

    // The destination is an exact copy of each frame, row order included.
    doubles::Overlay o;
    const dib_base top = scene::frame(W, H, threeObjects, 0, true);
    p->doProcess(&top, nullptr, &o);
    EXPECT_EQ(p->dstDib()->height, -H);
    ASSERT_EQ(p->dstDib()->byteSize(), top.byteSize());
    EXPECT_EQ(std::memcmp(p->dstDib()->bits, top.bits, size_t(top.byteSize())), 0);
    EXPECT_EQ(o.calls, std::vector<std::string>{"clear"});

    // Another size: the destination and the detector follow; the extractor keeps the size
    // it was made for until the next configuration.
    const dib_base wide = scene::frame(400, 200, threeObjects, 1, false, 4);
    p->doProcess(&wide, nullptr, &o);
    EXPECT_EQ(p->dstDib()->width, 400);
    EXPECT_EQ(p->dstDib()->height, 200);
    EXPECT_EQ(p->dstDib()->szPixel, 4);
    EXPECT_EQ(std::memcmp(p->dstDib()->bits, wide.bits, size_t(wide.byteSize())), 0);
    EXPECT_EQ(p->edgeDetector()->dstDib()->width, 400);
    EXPECT_EQ(p->extractor()->width(), W);
    doubles::Console console;
    p->config(&console);
    EXPECT_EQ(p->extractor()->width(), 400);
    EXPECT_EQ(p->extractor()->height(), 200);

    // A host image without pixels is refused before anything is read.
    dib_base empty(dib_fmt(400, 200, 4, 0, true), 1);
    EXPECT_EQ(thrown([&] { p->doProcess(&empty, nullptr, &o); }), "ip_clfFeatures::process - got null ptr on input");

    // Seven stage times, the edge stage under the detector's own name.
    doubles::Profiler profiler;
    p->profile(&profiler);
    EXPECT_EQ(profiler.labels(), (std::vector<std::string>{"time_filter", "canny_w0", "linking", "post-link filter",
                                                          "extracting features", "tracking features", "annotating"}));
    for (int i = 0; i < ip_clfFeatures::stageCount; ++i) EXPECT_EQ(profiler.reports[size_t(i)].second, p->stageTimes()[i]);
}

TEST(CcTrack, ConfigurationDialogue) {
    CallbacksGuard guard;
    procedure p = make();

    // An empty line keeps everything, still runs the detector's dialogue and re-creates the
    // extractor with the detector's current border (2 once smoothing is off).
    doubles::Console keep({"", "0"});
    p->config(&keep);
    ASSERT_EQ(keep.calls.size(), 6u);
    EXPECT_EQ(keep.calls[0], header);
    EXPECT_EQ(keep.calls[1], "readLine");
    EXPECT_EQ(keep.calls[2].rfind("write:Current Canny edge detector configuration:\n", 0), 0u);
    EXPECT_EQ(keep.calls[3], "readLine");
    EXPECT_EQ(keep.calls[4].rfind("write:\nThe new values are:\n  Sigma: 0\n", 0), 0u);
    EXPECT_EQ(keep.calls[5],
              "write:\nThe new values are:\n"
              "  hasWindows: 0\n  drawsAim: 1\n  drawsCoordinates: 1\n  drawsContour: 0\n  drawsHistory: 0\n");
    EXPECT_EQ(p->extractor()->border(), 2);
    EXPECT_STREQ(p->extractor()->kindName(), "loop");

    // Values are read in prompt order until one fails; that one and the rest stay.
    doubles::Console partly({"0 0 1 2 1", ""});
    p->config(&partly);
    EXPECT_FALSE(p->hasWindows());
    EXPECT_FALSE(p->drawsAim());
    EXPECT_TRUE(p->drawsCoordinates());
    EXPECT_FALSE(p->drawsContour());
    EXPECT_FALSE(p->drawsHistory());
    EXPECT_EQ(partly.calls.back(),
              "write:\nThe new values are:\n"
              "  hasWindows: 0\n  drawsAim: 0\n  drawsCoordinates: 1\n  drawsContour: 0\n  drawsHistory: 0\n");
    doubles::Console garbage({"x 1 1 1 1", ""});
    p->config(&garbage);
    EXPECT_FALSE(p->drawsAim());

    // Without a host that can open windows the switch fails and the old detector stays.
    ip_dllAdaptor_callbacks = nullptr;
    doubles::Console refused({"1", ""});
    EXPECT_EQ(thrown([&] { p->config(&refused); }),
              "ip_dllAdaptor_createWindow - the component was not properly initialized");
    EXPECT_FALSE(p->hasWindows());
    EXPECT_STREQ(p->edgeDetector()->name(), "canny_w0");
    doubles::Overlay o;
    const dib_base frame = scene::frame(W, H, threeObjects, 0);
    p->doProcess(&frame, nullptr, &o);
    ip_dllAdaptor_callbacks = doubles::recordingCallbacks();

    // Switching the windows on replaces the detector by one with windows, starting from its
    // defaults; the profile then names it "canny".
    doubles::Console on({"1 1 1 1 1", "1.5"});
    p->config(&on);
    EXPECT_TRUE(p->hasWindows());
    EXPECT_TRUE(p->drawsContour());
    EXPECT_TRUE(p->drawsHistory());
    ASSERT_NE(dynamic_cast<ip_canny*>(p->edgeDetector()), nullptr);
    EXPECT_EQ(on.calls[2].rfind("write:Current Canny edge detector configuration:\n  Sigma: 2\n", 0), 0u);
    EXPECT_EQ(p->edgeDetector()->sigma(), 1.5f);
    EXPECT_EQ(p->extractor()->border(), p->edgeDetector()->border());
    EXPECT_NE(p->extractor()->border(), 2);
    EXPECT_EQ(doubles::windowLog().events,
              (std::vector<std::string>{"create Gauss 320 240", "create Gradient 320 240", "create NMS mask 320 240",
                                        "create Edges 320 240"}));
    doubles::Profiler profiler;
    p->profile(&profiler);
    EXPECT_EQ(profiler.labels()[1], "canny");

    // And off again: the windows close, the new detector has the default sigma.
    doubles::Console off({"0", ""});
    p->config(&off);
    EXPECT_FALSE(p->hasWindows());
    EXPECT_EQ(dynamic_cast<ip_canny*>(p->edgeDetector()), nullptr);
    EXPECT_EQ(p->edgeDetector()->sigma(), 2.0f);
    EXPECT_EQ(doubles::windowLog().events.size(), 8u);
    EXPECT_EQ(doubles::windowLog().events[4], "destroy Gauss");
    EXPECT_TRUE(p->drawsHistory());
}

TEST(CcTrack, WindowsShowEachStageInOrder) {
    CallbacksGuard guard;
    procedure p = make();
    doubles::Console on({"1", ""});
    p->config(&on);
    ASSERT_TRUE(p->hasWindows());
    const std::vector<doubles::Window*> windows = doubles::windowLog().created;
    ASSERT_EQ(windows.size(), 4u);

    doubles::Overlay o;
    for (int k = 0; k < 4; ++k) {
        o = doubles::Overlay();
        const dib_base frame = scene::frame(W, H, threeObjects, k, false, 1, 215);
        p->doProcess(&frame, nullptr, &o);
    }

    // Five clears: linked chains, filtered chains, features, reference chain, tracks.
    std::vector<size_t> clears;
    for (size_t i = 0; i < o.calls.size(); ++i)
        if (o.calls[i] == "clear") clears.push_back(i);
    ASSERT_EQ(clears.size(), 5u);
    EXPECT_EQ(clears[0], 0u);
    for (int w = 0; w < 4; ++w) {
        // Each window got the overlay just before the next stage cleared it.
        ASSERT_FALSE(windows[size_t(w)]->calls.empty());
        EXPECT_EQ(windows[size_t(w)]->calls.back(), "overlay " + std::to_string(clears[size_t(w) + 1])) << w;
    }
    auto group = [&](int g) {
        return std::vector<std::string>(o.calls.begin() + long(clears[size_t(g)]) + 1,
                                        o.calls.begin() + long(clears[size_t(g) + 1]));
    };
    // Linked chains: colour = position, no label.
    const std::vector<std::string> linked = group(0);
    ASSERT_GE(linked.size(), 4u);  // three outlines and the horizon
    for (size_t i = 0; i < linked.size(); ++i)
        EXPECT_EQ(linked[i].rfind("poly c=" + std::to_string(i) + " l= 0 [", 0), 0u) << linked[i];
    // Filtered chains: labelled position:points.
    const std::vector<std::string> filtered = group(1);
    ASSERT_EQ(filtered.size(), linked.size());
    for (size_t i = 0; i < filtered.size(); ++i)
        EXPECT_EQ(filtered[i].rfind("poly c=" + std::to_string(i) + " l=" + std::to_string(i) + ":", 0), 0u);
    // Features, labelled by index.
    const std::vector<std::string> features = group(2);
    ASSERT_EQ(features.size(), size_t(p->extractor()->count()));
    ASSERT_EQ(features.size(), 3u);
    for (size_t j = 0; j < features.size(); ++j)
        EXPECT_EQ(features[j].rfind("poly c=" + std::to_string(j) + " l=" + std::to_string(j) + " 0 [", 0), 0u);
    // The reference chain along the horizon: one point per column.
    const std::vector<std::string> reference = group(3);
    ASSERT_EQ(reference.size(), 1u);
    EXPECT_EQ(reference[0].rfind("poly c=0 l=0:320 0 [0,", 0), 0u);
    // Tracks in the main overlay, not plain: every track seen four times gets its point.
    int trackPoints = 0;
    for (size_t i = clears[4] + 1; i < o.calls.size(); ++i)
        if (o.calls[i].find(" c=-8 ") != std::string::npos) ++trackPoints;
    EXPECT_EQ(trackPoints, 3);
    EXPECT_EQ(o.acknowledges, 0);
}

}  // namespace
