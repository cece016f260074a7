#include <cmath>
#include <cstring>

#include "adaptor/scene.h"
#include "flowtrack/flowtrack_impl.h"
#include "flowtrack/ip_flowtrack.h"
#include "framework/ip_counters.h"
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
    return console.written.substr(console.written.rfind("The new values are:\n") + 20);  // (all of it when absent)
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
    // initialised, the number of regions, and the first one's centre.
    static std::string state(ip_flowtrack& t) {
        const int n = t.impl().regions.count;
        const MRegion* r = ft::regionAt(t.impl().regions, 0);
        return std::to_string(t.impl().initialised) + " " + std::to_string(n) +
               (n ? " " + std::to_string(r->cx) + "," + std::to_string(r->cy) : "");
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
    // SearchWindow 151 is accepted here and refused by the search; the window's cost grows
    // with its area, so 20 is the largest taken.
    const std::vector<std::tuple<std::string, std::string, std::vector<int>>> replies{
        {"30 x 5", "", {30, 24, 30, 2, 1, 0, 1, 1, 2, 1}},
        {"100 36 20 3 2", "1 0 0 1 1", {100, 36, 20, 3, 2, 1, 0, 0, 1, 1}},
        {"-5 145 151 -1 0", "0 0 1 7 6", {-5, 36, 151, 3, 2, 0, 0, 1, 7, 1}},
        {"7 0 0 0 1", "1 2 0", {7, 36, 151, 0, 1, 1, 0, 1, 7, 1}},
        {"99999999999 10", "0 1 1 2 5", {7, 36, 151, 0, 1, 0, 1, 1, 2, 5}},
        {"7 36 151 20 1", "", {7, 36, 151, 20, 1, 0, 1, 1, 2, 5}},
        {"7 36 151 21 1", "", {7, 36, 151, 20, 1, 0, 1, 1, 2, 5}},
    };
    for (auto& [first, second, values] : replies)
        EXPECT_EQ(dialogue(tracker, first, second), block(values)) << first << " / " << second;
}

// Every mode on generated scenes of dark textured discs over a fixed bright texture. Per
// frame: '.' the background alone, 'd' with the discs, 'l' with the discs and all 30 brighter;
// the number of tracks expected after it; and, where `onDiscs`, every contour segment must
// start near the rim of the disc its track began on. The vector paths must give what the
// plain ones give, bit for bit: drawings, objects, rays and messages.
TEST_F(FlowtrackProcedure, EveryModeOnGeneratedScenesInEveryPath) {
    const scene::Disc a{90, 70, 25, 15, .11, .07, 0, 17}, b{220, 90, 30, 20, .09, .13, 1, 16},
        c{150, 170, 40, 12, .08, .1, 2, 18}, d{270, 190, 10, 10, .1, .1, 0, 15};
    // Faster, and on a picture of odd width and height.
    const scene::Disc fa{103, 78, 31, 21, .15, .12, 0, 15}, fb{233, 88, 36, 26, .13, .15, 1.3, 14},
        fc{165, 176, 52, 16, .12, .18, 2.1, 16};
    struct Row {
        const char* what;
        std::string first, second;
        std::vector<scene::Disc> discs;
        std::string shown, tracks;
        bool onDiscs;
        int W = 320, H = 240;
    };
    const Row rows[] = {
        {"one object", "", "0 1 1 1 1", {b}, "ddd..dddddddddd", "111001111111111", true},
        {"three objects", "", "0 1 1 2 3", {a, b, c}, std::string(40, 'd'), std::string(40, '3'), true},
        {"three fast objects at an odd size", "", "0 1 1 2 3", {fa, fb, fc}, std::string(14, 'd'), std::string(14, '3'),
         true, 331, 257},
        {"three objects, two shown", "", "0 1 1 2 3", {a, b}, "dddd", "0000", false},
        {"three objects, four shown", "", "0 1 1 2 3", {a, b, c, d}, "dddd", "0000", false},
        {"background", "60", "0 1 1 4 3", {a, b, c}, "." + std::string(20, 'd') + std::string(10, 'l'),
         "0" + std::string(30, '3'), true},
        // Frame difference: nothing while nothing moves, then where the disc came and where it left.
        {"frame difference", "77", "0 1 1 3 1", {b}, "..dd", "0012", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto play = [&] {
            const dib_fmt format(row.W, row.H, 1, 0, false);
            ip_flowtrack tracker(&format);
            dialogue(tracker, row.first, row.second);
            std::vector<int> discOf(5, -1);
            std::vector<std::string> trace;
            for (size_t f = 0; f < row.shown.size() && !HasFailure(); ++f) {
                std::vector<uint8_t> g = scene::render(
                    row.W, row.H, row.shown[f] == '.' ? std::vector<scene::Disc>{} : row.discs, int(f));
                if (row.shown[f] == 'l')
                    for (uint8_t& v : g) v = uint8_t(std::min(255, v + 30));
                const dib_base frame = ft::frameOf(row.W, row.H, g);
                const ft::Streams s = ft::captured([&] { run(tracker, frame); });
                std::string line = s.out + s.err + "|";
                for (const std::string& call : overlay.calls) line += call + ";";
                ip_objectRecord records[5];
                for (int i = 0; i < tracker.objects(records, 5); ++i) {
                    EXPECT_EQ(records[i].index, i);
                    line += std::to_string(records[i].x) + "," + std::to_string(records[i].y) + "," +
                            std::to_string(records[i].area) + ":" +
                            std::string(reinterpret_cast<const char*>(records[i].rays), size_t(records[i].rayCount) * 4);
                }
                trace.push_back(line);
                EXPECT_EQ(s.out + s.err, "") << "frame " << f;
                EXPECT_EQ(tracker.impl().regions.count, row.tracks[f] - '0') << "frame " << f;
                EXPECT_EQ(std::memcmp(tracker.dstDib()->bits, frame.bits, size_t(frame.byteSize())), 0);
                if (!row.onDiscs) continue;
                EXPECT_EQ(overlay.lines.size(), 24u * size_t(tracker.impl().regions.count)) << f;
                // Detection modes number their regions afresh each frame: only tracks keep their disc.
                const bool tracking = tracker.impl().Algoritam <= 2;
                int astray = 0;
                for (size_t i = 0; i < overlay.lines.size(); ++i) {
                    std::vector<double> dist;
                    for (const scene::Disc& disc : row.discs) {
                        double x, y;
                        scene::centre(disc, int(f), x, y);
                        dist.push_back(std::hypot(overlay.lines[i].from.x - x, overlay.lines[i].from.y - y) - disc.radius);
                    }
                    const int nearest = int(std::min_element(dist.begin(), dist.end()) - dist.begin()), track = int(i / 24);
                    if (discOf[size_t(track)] < 0 || !tracking) discOf[size_t(track)] = nearest;
                    astray += discOf[size_t(track)] != nearest || dist[size_t(nearest)] > 2.5 || dist[size_t(nearest)] < -6.0 ||
                              overlay.lineColours[i] != (tracking ? track : 2);
                }
                EXPECT_EQ(astray, 0) << "segments off their disc or colour in frame " << f;
            }
            // A change of lighting is never learned; frame differences have their own threshold.
            EXPECT_TRUE(row.second != "0 1 1 4 3" || tracker.impl().bgPlane == scene::render(row.W, row.H, {}, 0));
            EXPECT_TRUE(row.second != "0 1 1 3 1" || tracker.impl().BinThreshold == 20);
            return trace;
        };
        std::vector<std::string> plain;
        {
            ft::ScalarMode scalar(true);
            plain = play();
        }
        ft::eachVectorTarget([&] { EXPECT_EQ(play(), plain); });
    }
}

TEST_F(FlowtrackProcedure, ClicksReformatsNullPixelsAndAimMarks) {
    dib_base blank = discs({}), two = discs({{100, 100}, {205, 57}});
    ip_flowtrack tracker(&blank.format());
    // Clicks outside the picture, other events and selections with another code start nothing.
    for (auto [x, y] : {std::pair(-1, 80), std::pair(320, 80), std::pair(120, 240), std::pair(INT32_MAX, 10)}) {
        doubles::EventList outside;
        outside.click(x, y);
        outside.add(2, 0, 5, 5);
        outside.add(4, 1, 6, 6);
        run(tracker, blank, &outside);
        ASSERT_EQ(state(tracker) + " " + std::to_string(overlay.acknowledges), "0 0 0") << x << "," << y;
    }
    doubles::EventList click;
    click.click(120, 80);
    run(tracker, blank, &click);
    ASSERT_EQ(state(tracker) + " " + std::to_string(overlay.calls.size()), "1 1 120,80 26");  // 24 rays of 10
    EXPECT_EQ(overlay.calls[1] + overlay.calls.back(), "line 130,80-129,82 c=0 l= 0 s=2acknowledge 25 500");
    // While tracking every click restarts the track: the last one of a frame wins.
    doubles::EventList clicks;
    clicks.click(100, 100);
    clicks.click(205, 57);
    run(tracker, two, &clicks);
    const MRegion& r = *ft::regionAt(tracker.impl().regions, 0);
    EXPECT_TRUE(tracker.impl().regions.count == 1 && std::abs(r.cx - 205) <= 1 && std::abs(r.cy - 57) <= 1);
    // A frame in a new format resets the tracker first, settings kept; an explicit reformat
    // empties the tracks.
    run(tracker, discs({{70, 90}}, 200, 160));
    EXPECT_EQ(state(tracker) + " frame " + std::to_string(tracker.impl().frameCount), "1 1 70,90 frame 1");
    tracker.doReformat(&blank.format());
    EXPECT_EQ(state(tracker) + " width " + std::to_string(tracker.dstDib()->width), "0 0 width 320");
    dib_base empty(blank.format(), 1);  // no pixel memory: refused before anything is read
    EXPECT_EQ(ft::thrown([&] { run(tracker, empty); }), "ip_flowtrack::process - got null ptr on input");

    // Per region in scan order: the centre point, four aim segments, the text at (5, 0).
    dialogue(tracker, "", "1 0 1 2 2");
    run(tracker, two);
    ASSERT_EQ(overlay.calls.size(), 13u);
    EXPECT_EQ(overlay.calls[1] + overlay.calls[2] + overlay.calls[6] + overlay.calls[12],
              "point 205,57 c=2 l= 1line 205,65-205,77 c=2 l= 0 s=1text 5,0 c=0 '205: 57' 4text 5,0 c=0 '100:100' 4");
}

// A frame with more dark regions than the labels go round is counted, in both labelling paths,
// whether the objects are being looked for or tracked; its line on standard error stays.
TEST_F(FlowtrackProcedure, FramesOverTheRegionLimitAreCounted) {
    Plane dots(200, 200, 230);
    for (int i = 0; i < 140; ++i) ft::rect(dots, 12 + 6 * (i % 28), 12 + 6 * (i / 28), 3, 3, 20);
    const dib_base crowded = ft::frameOf(dots), one = discs({{100, 100}}, 200, 200);
    auto counted = [](const ip_flowtrack& t) {
        ip_counterRecord r{};
        EXPECT_EQ(ip_writeCounters(t, &r, 1, sizeof r), 1);
        EXPECT_STREQ(r.name, "over_region_limit");
        return r.value;
    };
    for (bool scalar : {false, true}) {
        ft::ScalarMode mode(scalar);
        ip_flowtrack tracker(&crowded.format());
        dialogue(tracker, "", "0 1 1 2 2");  // two objects: never initialised on these frames
        const auto first = ft::captured([&] { run(tracker, crowded); });
        EXPECT_EQ(first.err, "Prevelik broj podrucja: 128 \n") << scalar;
        EXPECT_EQ(state(tracker) + " " + std::to_string(counted(tracker)), "0 0 1") << scalar;
        ft::captured([&] { run(tracker, one); });
        EXPECT_EQ(counted(tracker), 1) << scalar;
        // Initialised on one disc, then smart tracking meets the crowd: one more frame.
        dialogue(tracker, "", "0 1 1 2 1");
        ft::captured([&] { run(tracker, one), run(tracker, crowded); });
        EXPECT_EQ(counted(tracker), 2) << scalar;
    }
}

}  // namespace
