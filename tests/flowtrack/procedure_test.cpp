#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "doubles/recording.h"
#include "flowtrack/flowtrack_impl.h"
#include "flowtrack/ip_flowtrack.h"
#include "support.h"

namespace {

using ft::Plane;

std::string block(const std::vector<int>& v) {
    static const char* const labels[] = {"BinThreshold", "DisAngles",     "SearchWindow", "CorrelationWindow",
                                         "SearchStep",   "drawsAim",      "drawsContour", "smartTracking",
                                         "Algoritam",    "BrojObjekata"};
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += std::string(labels[i]) + ": " + std::to_string(v[i]) + "\n";
    return s;
}

// Runs the dialogue with two replies; returns its closing block, after "The new values are:\n".
std::string dialogue(ip_flowtrack& tracker, const std::string& first, const std::string& second) {
    doubles::Console console({first, second});
    tracker.config(&console);
    const size_t at = console.written.rfind("The new values are:\n");
    return at == std::string::npos ? "" : console.written.substr(at + 20);
}

// Dark discs of radius 15 on a bright frame.
dib_base discs(const std::vector<std::pair<int, int>>& centres, int W = 320, int H = 240) {
    Plane p(W, H, 230);
    for (auto& [x, y] : centres) ft::disc(p, x, y, 15, 20);
    return ft::frameOf(p);
}

struct FlowtrackProcedure : testing::Test {
    doubles::EventList noEvents;
    doubles::Overlay overlay;
    void run(ip_flowtrack& t, const dib_base& frame, doubles::EventList* events = nullptr) {
        overlay.calls.clear();  // the calls of this frame only
        t.doProcess(&frame, events ? events : &noEvents, &overlay);
    }
    static MRegion& track(ip_flowtrack& t, int i) { return *ft::regionAt(t.impl().regions, i); }
    // initialised, the number of regions, and the first one's centre.
    static std::string state(ip_flowtrack& t) {
        const int n = t.impl().regions.count;
        return std::to_string(t.impl().initialised) + " " + std::to_string(n) +
               (n ? " " + std::to_string(track(t, 0).cx) + "," + std::to_string(track(t, 0).cy) : "");
    }
};

TEST_F(FlowtrackProcedure, DialogueTextsRepliesAndRanges) {
    dib_base frame = discs({});
    ip_flowtrack tracker(&frame.format());
    const std::string defaults = block({120, 24, 30, 2, 1, 0, 1, 1, 2, 1});
    doubles::Console empty({"", ""});  // empty replies keep everything
    tracker.config(&empty);
    EXPECT_EQ(empty.calls, (std::vector<std::string>{
                               "write:\nCurrent ip_flowtrack configuration:\n" + defaults +
                                   "Please supply the new values for\n"
                                   "  BinThreshold, DisAngles, SearchWindow, CorrelationWindow and SearchStep:\n",
                               "readLine",
                               "write:\nPlease supply the new values for drawsAim, drawsContour,\nsmartTracking, "
                               "Algoritam, BrojObjekata:\n",
                               "readLine", "write:The new values are:\n" + defaults}));
    // Reading stops at the first value that does not parse (a word, a non-boolean, a value
    // too big for an int); a value out of range keeps the old one and reading goes on.
    // SearchWindow 151 is accepted here and refused by the search.
    const std::vector<std::tuple<std::string, std::string, std::vector<int>>> replies{
        {"30 x 5", "", {30, 24, 30, 2, 1, 0, 1, 1, 2, 1}},
        {"100 36 20 3 2", "1 0 0 1 1", {100, 36, 20, 3, 2, 1, 0, 0, 1, 1}},
        {"-5 145 151 -1 0", "0 0 1 7 6", {-5, 36, 151, 3, 2, 0, 0, 1, 7, 1}},
        {"7 0 0 0 1", "1 2 0", {7, 36, 151, 0, 1, 1, 0, 1, 7, 1}},
        {"99999999999 10", "0 1 1 2 5", {7, 36, 151, 0, 1, 0, 1, 1, 2, 5}},
        // The window's cost grows with its area: 20 is the largest taken.
        {"7 36 151 20 1", "", {7, 36, 151, 20, 1, 0, 1, 1, 2, 5}},
        {"7 36 151 21 1", "", {7, 36, 151, 20, 1, 0, 1, 1, 2, 5}},
        {"7 36 151 1000000000 1", "", {7, 36, 151, 20, 1, 0, 1, 1, 2, 5}},
        {"7 36 151 0 1", "", {7, 36, 151, 0, 1, 0, 1, 1, 2, 5}},
    };
    for (auto& [first, second, values] : replies)
        EXPECT_EQ(dialogue(tracker, first, second), block(values)) << first << " / " << second;
    EXPECT_EQ(tracker.impl().settings.DisAngles, 36);
    // Each tracker has its own settings: a new one starts from the defaults and leaves the first alone.
    ip_flowtrack other(&frame.format());
    EXPECT_EQ(dialogue(other, "", ""), block({120, 24, 30, 2, 1, 0, 1, 1, 2, 1}));
    EXPECT_EQ(dialogue(tracker, "", ""), block({7, 36, 151, 0, 1, 0, 1, 1, 2, 5}));
}

TEST_F(FlowtrackProcedure, MultiObjectStartWaitsForExactlyThree) {
    dib_base f2 = discs({{60, 60}, {160, 120}}), f3 = discs({{60, 60}, {160, 120}, {250, 180}}),
             f4 = discs({{60, 60}, {160, 120}, {250, 180}, {250, 60}});
    ip_flowtrack tracker(&f2.format());
    tracker.impl().BrojObjekata = 3;
    for (dib_base* f : {&f2, &f4}) {
        run(tracker, *f);
        EXPECT_EQ(state(tracker), "0 0");
        EXPECT_EQ(overlay.calls, std::vector<std::string>{"clear"});
        EXPECT_EQ(std::memcmp(tracker.dstDib()->bits, f->bits, size_t(f->byteSize())), 0);
    }
    run(tracker, f3);
    EXPECT_EQ(state(tracker), "1 3 60,60");
    ASSERT_EQ(overlay.lines.size(), 72u);
    for (size_t i = 0; i < 72; ++i) EXPECT_EQ(overlay.lineColours[i], int(i / 24)) << i;

    // Four regions while tracking: three tracks stay, and the free one is reported.
    const ft::Streams s = ft::captured([&] { run(tracker, f4); });
    EXPECT_EQ(tracker.impl().regions.count, 3);
    EXPECT_EQ(s.err, "");
    EXPECT_EQ(s.out, "frame   4: Nepridijeljeno podru\xE8je: 1 \nNisam nasao rjesenje za nepridijeljeni objekt 1 .\n ");
}

TEST_F(FlowtrackProcedure, ClicksSeedOneTrackAndModeOneLosesIt) {
    dib_base blank = discs({}), one = discs({{100, 100}}), two = discs({{100, 100}, {220, 150}});
    ip_flowtrack tracker(&blank.format());
    doubles::EventList click;
    click.add(2, 0, 5, 5);  // not a selection
    click.add(4, 1, 6, 6);  // a selection with another code
    // Clicks outside the picture start nothing and are not acknowledged.
    for (auto [x, y] : {std::pair(-1, 80), std::pair(320, 80), std::pair(120, 240), std::pair(INT32_MAX, 10)}) {
        doubles::EventList outside;
        outside.click(x, y);
        run(tracker, blank, &outside);
        ASSERT_EQ(state(tracker), "0 0") << x << "," << y;
        EXPECT_EQ(overlay.acknowledges, 0);
    }
    click.click(120, 80);
    run(tracker, blank, &click);
    ASSERT_EQ(state(tracker), "1 1 120,80");
    for (int k = 0; k < 24; ++k) EXPECT_EQ(track(tracker, 0).rays[k], 10.0f) << k;
    ASSERT_EQ(overlay.calls.size(), 26u);  // clear, the 24 segments, the acknowledgement
    EXPECT_EQ(overlay.calls[1], "line 130,80-129,82 c=0 l= 0 s=2");
    EXPECT_EQ(overlay.calls.back(), "acknowledge 25 500");
    run(tracker, blank);
    EXPECT_EQ(std::pair(overlay.lines.size(), overlay.acknowledges), std::pair(size_t(24), 1));

    // While tracking every click restarts the track: the last one of a frame wins.
    tracker.impl().smartTracking = false;
    doubles::EventList clicks;
    clicks.click(100, 100);
    clicks.click(220, 150);
    run(tracker, two, &clicks);
    ASSERT_EQ(state(tracker).substr(0, 3), "1 1");
    EXPECT_NEAR(track(tracker, 0).cx, 220, 1);
    EXPECT_NEAR(track(tracker, 0).cy, 150, 1);
    EXPECT_EQ(overlay.acknowledges, 2);

    // Mode 1: a frame without detection loses the track, and detection starts again.
    dialogue(tracker, "", "0 1 1 1");
    run(tracker, blank);
    EXPECT_EQ(state(tracker), "0 0");
    EXPECT_EQ(overlay.calls, std::vector<std::string>{"clear"});
    run(tracker, one);
    EXPECT_EQ(state(tracker), "1 1 100,100");
}

TEST_F(FlowtrackProcedure, DifferenceModesAndReformat) {
    dib_base a = discs({{100, 100}}), b = discs({{140, 110}});
    ip_flowtrack diff(&a.format());
    dialogue(diff, "77", "0 1 1 3");
    run(diff, a);
    EXPECT_EQ(state(diff), "1 0");
    run(diff, b);
    EXPECT_GE(diff.impl().regions.count, 1);
    for (int c : overlay.lineColours) EXPECT_EQ(c, 2);
    EXPECT_EQ(dialogue(diff, "", "").substr(0, 17), "BinThreshold: 20\n");
    run(diff, b);  // no change: nothing found
    EXPECT_EQ(diff.impl().regions.count, 0);

    const Plane bg = ft::textured(320, 240, 150, 60);
    Plane scene = bg;
    ft::disc(scene, 150, 120, 15, 10);
    Plane lit = scene;
    for (auto& v : lit.px) v = uint8_t(v + 30);
    ip_flowtrack subtract(&a.format());
    dialogue(subtract, "60", "0 1 1 4");
    run(subtract, ft::frameOf(bg));
    EXPECT_EQ(state(subtract), "1 0");
    for (const Plane* p : {&scene, &lit, &lit}) {  // a change of lighting is never learned
        run(subtract, ft::frameOf(*p));
        EXPECT_EQ(state(subtract), "1 1 150,120");
        EXPECT_EQ(overlay.lines.size(), 24u);
        for (int c : overlay.lineColours) EXPECT_EQ(c, 2);
    }
    EXPECT_EQ(subtract.impl().bgPlane, bg.px);

    // A frame in a new format resets the tracker first: it becomes the new background, or
    // in mode 2 the frame detection starts again with. Settings survive.
    const Plane small = ft::textured(200, 160, 100, 50);
    run(subtract, ft::frameOf(small));
    EXPECT_EQ(std::tuple(subtract.impl().frameCount, subtract.impl().regions.count, subtract.impl().Algoritam),
              std::tuple(1, 0, 4));
    EXPECT_EQ(subtract.impl().bgPlane, small.px);
    ip_flowtrack tracker(&a.format());
    run(tracker, a);
    run(tracker, a);
    run(tracker, discs({{70, 90}}, 200, 160));
    EXPECT_EQ(state(tracker) + " frame " + std::to_string(tracker.impl().frameCount), "1 1 70,90 frame 1");
    tracker.doReformat(&a.format());  // an explicit reformat empties the tracks
    EXPECT_EQ(state(tracker) + " width " + std::to_string(tracker.dstDib()->width), "0 0 width 320");
}

TEST_F(FlowtrackProcedure, DoNothingModeNullPixelsAndAimMarks) {
    dib_base colour = doubles::makeImage(320, 240, 3, 7, true);
    ip_flowtrack idle(&colour.format());
    idle.impl().Algoritam = 0;
    run(idle, colour);
    EXPECT_EQ(overlay.calls, std::vector<std::string>{"clear"});
    EXPECT_EQ(state(idle), "0 0");
    ASSERT_EQ(idle.dstDib()->byteSize(), colour.byteSize());
    EXPECT_EQ(std::memcmp(idle.dstDib()->bits, colour.bits, size_t(colour.byteSize())), 0);
    dib_base empty(colour.format(), 1);  // no pixel memory: refused before anything is read
    EXPECT_EQ(ft::thrown([&] { run(idle, empty); }), "ip_flowtrack::process - got null ptr on input");

    // Per region in scan order: the centre point, four aim segments, the text at (5, 0).
    dib_base two = discs({{100, 100}, {205, 57}});
    ip_flowtrack aiming(&two.format());
    dialogue(aiming, "", "1 0 1 2 2");
    run(aiming, two);
    ASSERT_EQ(overlay.calls.size(), 13u);
    EXPECT_EQ(overlay.calls[1], "point 205,57 c=2 l= 1");
    EXPECT_EQ(overlay.calls[2], "line 205,65-205,77 c=2 l= 0 s=1");
    EXPECT_EQ(overlay.calls[6], "text 5,0 c=0 '205: 57' 4");
    EXPECT_EQ(overlay.calls[12], "text 5,0 c=0 '100:100' 4");
}

// Three dark textured discs moving on smooth paths over a fixed bright texture; each
// track must stay on the disc it started on (scan order: the topmost first).
TEST_F(FlowtrackProcedure, ThreeMovingDiscsKeepTheirContours) {
    struct Path {
        double x0, y0, ax, ay, wx, wy;
        int r;
        int x(int f) const { return int(std::lround(x0 + ax * std::sin(wx * f))); }
        int y(int f) const { return int(std::lround(y0 + ay * std::cos(wy * f) - ay)); }
    };
    const Path paths[] = {{80, 70, 25, 15, .11, .07, 17}, {220, 80, 30, 20, .09, .13, 16}, {150, 170, 40, 12, .08, .1, 18}};
    const Plane background = ft::textured(320, 240, 170, 81);
    const dib_fmt format(320, 240, 1, 0, false);
    ip_flowtrack tracker(&format);
    tracker.impl().BrojObjekata = 3;
    const ft::Streams s = ft::captured([&] {
        for (int f = 0; f < 40; ++f) {
            Plane p = background;
            for (const Path& d : paths)
                for (int y = -d.r; y <= d.r; ++y)
                    for (int x = -d.r; x <= d.r; ++x)
                        if (x * x + y * y <= d.r * d.r) p.at(d.x(f) + x, d.y(f) + y) = ft::texture(x + 64, y + 64, 20, 41);
            run(tracker, ft::frameOf(p));
            ASSERT_EQ(tracker.impl().regions.count, 3) << f;
            ASSERT_EQ(overlay.lines.size(), 72u) << f;
            for (size_t i = 0; i < 72; ++i) {
                const Path& d = paths[i / 24];
                const double dist = std::hypot(overlay.lines[i].from.x - d.x(f), overlay.lines[i].from.y - d.y(f));
                EXPECT_LE(dist, d.r + 2.5) << "frame " << f << " segment " << i;
                EXPECT_GE(dist, d.r - 6.0) << "frame " << f << " segment " << i;
            }
            EXPECT_EQ(std::pair(overlay.lineColours[0], overlay.lineColours[71]), std::pair(0, 2));
        }
    });
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.err, "");
}

}  // namespace
