#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "doubles/recording.h"
#include "flowtrack/flowtrack_impl.h"
#include "flowtrack/ip_flowtrack.h"
#include "framework/ip_factory.h"
#include "support.h"

namespace {

using ft::Plane;

const char* const defaultBlock =
    "BinThreshold: 120\nDisAngles: 24\nSearchWindow: 30\nCorrelationWindow: 2\nSearchStep: 1\n"
    "drawsAim: 0\ndrawsContour: 1\nsmartTracking: 1\nAlgoritam: 2\nBrojObjekata: 1\n";

std::string block(int bin, int angles, int window, int corr, int step, int aim, int contour, int smart, int mode,
                  int objects) {
    return "BinThreshold: " + std::to_string(bin) + "\nDisAngles: " + std::to_string(angles) +
           "\nSearchWindow: " + std::to_string(window) + "\nCorrelationWindow: " + std::to_string(corr) +
           "\nSearchStep: " + std::to_string(step) + "\ndrawsAim: " + std::to_string(aim) +
           "\ndrawsContour: " + std::to_string(contour) + "\nsmartTracking: " + std::to_string(smart) +
           "\nAlgoritam: " + std::to_string(mode) + "\nBrojObjekata: " + std::to_string(objects) + "\n";
}

// The text after "The new values are:\n".
std::string newValues(const doubles::Console& console) {
    const std::string marker = "The new values are:\n";
    const size_t at = console.written.rfind(marker);
    return at == std::string::npos ? "" : console.written.substr(at + marker.size());
}

Plane discs(const std::vector<std::pair<int, int>>& centres, int r = 15) {
    Plane p(320, 240, 230);
    for (auto& [x, y] : centres) ft::disc(p, x, y, r, 20);
    return p;
}

struct Session {
    ft::ParameterGuard guard;
    doubles::EventList noEvents;
    doubles::Overlay overlay;
};

TEST(FlowtrackProcedure, DialogueTextsAndReplies) {
    ft::ParameterGuard guard;
    Plane p(64, 48, 200);
    dib_base frame = ft::frameOf(p);
    ip_flowtrack tracker(&frame.format());
    EXPECT_STREQ(tracker.name(), "flowtrack");
    {  // empty replies keep everything
        doubles::Console console({"", ""});
        tracker.config(&console);
        const std::vector<std::string> expected{
            std::string("write:\nCurrent ip_flowtrack configuration:\n") + defaultBlock +
                "Please supply the new values for\n"
                "  BinThreshold, DisAngles, SearchWindow, CorrelationWindow and SearchStep:\n",
            "readLine",
            "write:\nPlease supply the new values for drawsAim, drawsContour,\nsmartTracking, Algoritam, "
            "BrojObjekata:\n",
            "readLine",
            std::string("write:The new values are:\n") + defaultBlock};
        EXPECT_EQ(console.calls, expected);
    }
    {  // reading stops at the first value that does not parse
        doubles::Console console({"30 x 5", ""});
        tracker.config(&console);
        EXPECT_EQ(newValues(console), block(30, 24, 30, 2, 1, 0, 1, 1, 2, 1));
    }
    {
        doubles::Console console({"100 36 20 3 2", "1 0 0 1 1"});
        tracker.config(&console);
        EXPECT_EQ(newValues(console), block(100, 36, 20, 3, 2, 1, 0, 0, 1, 1));
        EXPECT_EQ(DisAngles, 36);
    }
    {  // a value out of range keeps the old one and reading goes on; 151 is accepted
        doubles::Console console({"-5 145 151 -1 0", "0 1 1 7 6"});
        tracker.config(&console);
        EXPECT_EQ(newValues(console), block(-5, 36, 151, 3, 2, 0, 1, 1, 7, 1));
        doubles::Console again({"7 0 0 0 1", "1 2 0"});  // 2 is not a boolean: reading stops
        tracker.config(&again);
        EXPECT_EQ(newValues(again), block(7, 36, 151, 0, 1, 1, 1, 1, 7, 1));
        doubles::Console big({"99999999999 10", "0 1 1 2 5"});  // too big for an int: stop
        tracker.config(&big);
        EXPECT_EQ(newValues(big), block(7, 36, 151, 0, 1, 0, 1, 1, 2, 5));
    }
    {  // the four tracking parameters are shared; a new tracker resets them
        ip_flowtrack other(&frame.format());
        doubles::Console console({"", ""});
        tracker.config(&console);
        EXPECT_EQ(newValues(console), block(7, 24, 30, 2, 1, 0, 1, 1, 2, 5));
    }
}

TEST(FlowtrackProcedure, ProfileReportsFourStages) {
    Session run;
    Plane p = discs({{100, 100}});
    dib_base frame = ft::frameOf(p);
    ip_flowtrack tracker(&frame.format());
    for (int i = 0; i < 2; ++i) tracker.doProcess(&frame, &run.noEvents, &run.overlay);
    doubles::Profiler profiler;
    tracker.profile(&profiler);
    EXPECT_EQ(profiler.labels(), (std::vector<std::string>{"copying", "optical flow", "active rays", "annotating"}));
    for (auto& [label, ticks] : profiler.reports) EXPECT_GE(ticks, 0) << label;
}

TEST(FlowtrackProcedure, MultiObjectStartWaitsForTheExpectedCount) {
    Session run;
    Plane two = discs({{60, 60}, {160, 120}});
    Plane four = discs({{60, 60}, {160, 120}, {250, 180}, {250, 60}});
    Plane three = discs({{60, 60}, {160, 120}, {250, 180}});
    dib_base f2 = ft::frameOf(two), f3 = ft::frameOf(three), f4 = ft::frameOf(four);
    ip_flowtrack tracker(&f2.format());
    tracker.impl().BrojObjekata = 3;
    for (dib_base* f : {&f2, &f4}) {
        run.overlay.calls.clear();
        tracker.doProcess(f, &run.noEvents, &run.overlay);
        EXPECT_FALSE(tracker.impl().initialised);
        EXPECT_EQ(tracker.impl().regions.count, 0);
        EXPECT_EQ(run.overlay.calls, std::vector<std::string>{"clear"});
        EXPECT_EQ(std::memcmp(tracker.dstDib()->bits, f->bits, size_t(f->byteSize())), 0);
    }
    tracker.doProcess(&f3, &run.noEvents, &run.overlay);
    EXPECT_TRUE(tracker.impl().initialised);
    ASSERT_EQ(run.overlay.lines.size(), 72u);
    for (size_t i = 0; i < 72; ++i) EXPECT_EQ(run.overlay.lineColours[i], int(i / 24));

    // The objects reported are the regions, in list order.
    std::vector<ip_objectRecord> records(4);
    ASSERT_EQ(tracker.objects(records.data(), 4), 3);
    EXPECT_EQ(tracker.objects(nullptr, 0), 3);
    EXPECT_EQ(records[1].index, 1);
    EXPECT_EQ(records[1].x, 160);
    EXPECT_EQ(records[1].y, 120);
    EXPECT_EQ(records[1].rayCount, 24);
    EXPECT_GT(records[1].area, 600);
    EXPECT_NEAR(records[1].rays[5], 15.0f, 1.0f);
    EXPECT_EQ(records[1].selected, 0);

    // A frame with four regions while tracking keeps three tracks and says so.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    tracker.doProcess(&f4, &run.noEvents, &run.overlay);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(tracker.impl().regions.count, 3);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "frame   4: Nepridijeljeno podru\xE8je: 1 \nNisam nasao rjesenje za nepridijeljeni objekt 1 .\n ");
}

TEST(FlowtrackProcedure, ClickSeedsAndRestartsASingleTrack) {
    Session run;
    Plane blank(320, 240, 230);
    dib_base frame = ft::frameOf(blank);
    ip_flowtrack tracker(&frame.format());
    doubles::EventList click;
    click.add(2, 0, 5, 5);  // not a selection
    click.add(4, 1, 6, 6);  // a selection with another code
    click.click(120, 80);
    tracker.doProcess(&frame, &click, &run.overlay);
    ASSERT_TRUE(tracker.impl().initialised);
    ASSERT_EQ(tracker.impl().regions.count, 1);
    MRegion& r = *ft::regionAt(tracker.impl().regions, 0);
    EXPECT_EQ(r.cx, 120);
    EXPECT_EQ(r.cy, 80);
    for (int k = 0; k < 24; ++k) EXPECT_EQ(r.rays[k], 10.0f);
    ASSERT_EQ(run.overlay.calls.size(), 26u);
    EXPECT_EQ(run.overlay.calls.front(), "clear");
    EXPECT_EQ(run.overlay.calls[1], "line 130,80-129,82 c=0 l= 0 s=2");
    EXPECT_EQ(run.overlay.calls.back(), "acknowledge 25 500");
    tracker.doProcess(&frame, &run.noEvents, &run.overlay);  // drawn from then on
    EXPECT_EQ(run.overlay.lines.size(), 24u);
    EXPECT_EQ(run.overlay.calls.back().rfind("line", 0), 0u);

    // While tracking, every click restarts the track; the last one of a frame wins.
    Plane two = discs({{100, 100}, {220, 150}});
    dib_base f2 = ft::frameOf(two);
    tracker.impl().smartTracking = false;
    doubles::EventList clicks;
    clicks.click(100, 100);
    clicks.click(220, 150);
    tracker.doProcess(&f2, &clicks, &run.overlay);
    ASSERT_EQ(tracker.impl().regions.count, 1);
    EXPECT_NEAR(ft::regionAt(tracker.impl().regions, 0)->cx, 220, 1);
    EXPECT_NEAR(ft::regionAt(tracker.impl().regions, 0)->cy, 150, 1);
    EXPECT_EQ(run.overlay.acknowledges, 2);

    // With more than one object expected, clicks do nothing.
    ip_flowtrack several(&frame.format());
    several.impl().BrojObjekata = 2;
    doubles::Overlay overlay;
    several.doProcess(&frame, &click, &overlay);
    EXPECT_FALSE(several.impl().initialised);
    EXPECT_EQ(overlay.calls, std::vector<std::string>{"clear"});
}

TEST(FlowtrackProcedure, SingleObjectTrackIsLostAndFoundAgain) {
    Session run;
    Plane one = discs({{100, 100}});
    Plane moved = discs({{250, 180}});
    Plane none(320, 240, 230);
    dib_base f1 = ft::frameOf(one), fm = ft::frameOf(moved), f0 = ft::frameOf(none);
    ip_flowtrack tracker(&f1.format());
    tracker.impl().Algoritam = 1;
    tracker.doProcess(&f1, &run.noEvents, &run.overlay);
    ASSERT_TRUE(tracker.impl().initialised);
    tracker.doProcess(&f1, &run.noEvents, &run.overlay);
    EXPECT_TRUE(tracker.impl().initialised);
    EXPECT_NEAR(ft::regionAt(tracker.impl().regions, 0)->cx, 100, 1);
    tracker.doProcess(&f0, &run.noEvents, &run.overlay);  // nothing detected: lost
    EXPECT_FALSE(tracker.impl().initialised);
    EXPECT_EQ(tracker.impl().regions.count, 0);
    EXPECT_EQ(run.overlay.calls.back(), "clear");
    tracker.doProcess(&fm, &run.noEvents, &run.overlay);  // detection starts again
    ASSERT_TRUE(tracker.impl().initialised);
    EXPECT_EQ(ft::regionAt(tracker.impl().regions, 0)->cx, 250);
}

TEST(FlowtrackProcedure, FrameDifferenceMode) {
    Session run;
    Plane a = discs({{100, 100}}), b = discs({{140, 110}});
    dib_base fa = ft::frameOf(a), fb = ft::frameOf(b);
    ip_flowtrack tracker(&fa.format());
    tracker.impl().Algoritam = 3;
    tracker.impl().BinThreshold = 77;
    tracker.doProcess(&fa, &run.noEvents, &run.overlay);
    EXPECT_TRUE(tracker.impl().initialised);
    EXPECT_EQ(tracker.impl().BinThreshold, 77);
    tracker.doProcess(&fb, &run.noEvents, &run.overlay);
    EXPECT_EQ(tracker.impl().BinThreshold, 20);
    EXPECT_GE(tracker.impl().regions.count, 1);
    ASSERT_FALSE(run.overlay.lineColours.empty());
    for (int c : run.overlay.lineColours) EXPECT_EQ(c, 2);
    doubles::Console console({"", ""});
    tracker.config(&console);
    EXPECT_EQ(newValues(console).substr(0, 17), "BinThreshold: 20\n");
    tracker.doProcess(&fb, &run.noEvents, &run.overlay);  // no change: nothing found
    EXPECT_EQ(tracker.impl().regions.count, 0);
    EXPECT_EQ(run.overlay.calls.back(), "clear");
}

TEST(FlowtrackProcedure, BackgroundModeLearnsTheFirstFrameAfterReformat) {
    Session run;
    Plane bg(320, 240, 0);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) bg.at(x, y) = ft::texture(x, y, 150, 60);
    Plane withDisc = bg;
    ft::disc(withDisc, 150, 120, 15, 10);
    Plane lit = withDisc;
    for (auto& v : lit.px) v = uint8_t(v + 30);
    dib_base fbg = ft::frameOf(bg), fdisc = ft::frameOf(withDisc), flit = ft::frameOf(lit);
    ip_flowtrack tracker(&fbg.format());
    tracker.impl().Algoritam = 4;
    tracker.impl().BinThreshold = 60;
    tracker.doProcess(&fbg, &run.noEvents, &run.overlay);
    EXPECT_TRUE(tracker.impl().initialised);
    EXPECT_EQ(tracker.impl().bgPlane, bg.px);
    tracker.doProcess(&fdisc, &run.noEvents, &run.overlay);
    ASSERT_EQ(tracker.impl().regions.count, 1);
    EXPECT_NEAR(ft::regionAt(tracker.impl().regions, 0)->cx, 150, 1);
    EXPECT_EQ(run.overlay.lines.size(), 24u);
    for (int c : run.overlay.lineColours) EXPECT_EQ(c, 2);
    for (int i = 0; i < 3; ++i) tracker.doProcess(&flit, &run.noEvents, &run.overlay);
    EXPECT_EQ(tracker.impl().bgPlane, bg.px);  // the lighting change is never learned
    EXPECT_EQ(tracker.impl().regions.count, 1);

    // A frame in another format resets the tracker; that frame becomes the background.
    Plane small(200, 150, 0);
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 200; ++x) small.at(x, y) = ft::texture(x, y, 100, 50);
    dib_base fsmall = ft::frameOf(small);
    tracker.doProcess(&fsmall, &run.noEvents, &run.overlay);
    EXPECT_EQ(tracker.impl().frameCount, 1);
    EXPECT_EQ(tracker.impl().bgPlane, small.px);
    EXPECT_EQ(tracker.impl().regions.count, 0);
    EXPECT_EQ(tracker.impl().Algoritam, 4);  // settings survive a reformat
    EXPECT_EQ(tracker.dstDib()->width, 200);
}

TEST(FlowtrackProcedure, ReformatRestartsDetectionWithThatFrame) {
    Session run;
    Plane a = discs({{100, 100}});
    Plane b(200, 160, 230);
    ft::disc(b, 70, 90, 15, 20);
    dib_base fa = ft::frameOf(a), fb = ft::frameOf(b);
    ip_flowtrack tracker(&fa.format());
    tracker.doProcess(&fa, &run.noEvents, &run.overlay);
    tracker.doProcess(&fa, &run.noEvents, &run.overlay);
    EXPECT_EQ(tracker.impl().frameCount, 2);
    tracker.doProcess(&fb, &run.noEvents, &run.overlay);
    EXPECT_EQ(tracker.impl().frameCount, 1);
    ASSERT_TRUE(tracker.impl().initialised);
    EXPECT_EQ(ft::regionAt(tracker.impl().regions, 0)->cx, 70);
    EXPECT_EQ(tracker.impl().curPlane.size(), 200u * 160u);

    tracker.doReformat(&fa.format());  // the explicit reformat empties the tracks
    EXPECT_FALSE(tracker.impl().initialised);
    EXPECT_EQ(tracker.impl().regions.count, 0);
    EXPECT_EQ(tracker.dstDib()->width, 320);
}

TEST(FlowtrackProcedure, DoNothingModeAimMarksAndRefusals) {
    Session run;
    dib_base frame = doubles::makeImage(320, 240, 3, 7, true);
    ip_flowtrack tracker(&frame.format());
    tracker.impl().Algoritam = 0;
    tracker.doProcess(&frame, &run.noEvents, &run.overlay);
    EXPECT_EQ(run.overlay.calls, std::vector<std::string>{"clear"});
    EXPECT_FALSE(tracker.impl().initialised);
    ASSERT_EQ(tracker.dstDib()->byteSize(), frame.byteSize());
    EXPECT_EQ(std::memcmp(tracker.dstDib()->bits, frame.bits, size_t(frame.byteSize())), 0);

    // Aim marks: the centre point, four segments, the text at (5, 0) for every region.
    Plane two = discs({{100, 100}, {205, 17 + 40}});
    dib_base f2 = ft::frameOf(two);
    ip_flowtrack aiming(&f2.format());
    aiming.impl().drawsAim = true;
    aiming.impl().drawsContour = false;
    aiming.impl().BrojObjekata = 2;
    doubles::Overlay overlay;
    aiming.doProcess(&f2, &run.noEvents, &overlay);
    const std::vector<std::string> expected{
        "clear",  // regions in scan order: the upper one first
        "point 205,57 c=2 l= 1",
        "line 205,65-205,77 c=2 l= 0 s=1",
        "line 205,49-205,37 c=2 l= 0 s=1",
        "line 213,57-225,57 c=2 l= 0 s=1",
        "line 197,57-185,57 c=2 l= 0 s=1",
        "text 5,0 c=0 '205: 57' 4",
        "point 100,100 c=2 l= 1",
        "line 100,108-100,120 c=2 l= 0 s=1",
        "line 100,92-100,80 c=2 l= 0 s=1",
        "line 108,100-120,100 c=2 l= 0 s=1",
        "line 92,100-80,100 c=2 l= 0 s=1",
        "text 5,0 c=0 '100:100' 4"};
    EXPECT_EQ(overlay.calls, expected);

    // A host image without pixel memory is refused before anything is read.
    dib_base empty(frame.format(), 1);
    try {
        tracker.doProcess(&empty, &run.noEvents, &run.overlay);
        FAIL() << "no throw";
    } catch (const char* message) {
        EXPECT_STREQ(message, "ip_flowtrack::process - got null ptr on input");
    }
}

TEST(FlowtrackProcedure, TooLargeSearchWindowFailsEveryTrackingFrame) {
    Session run;
    Plane one = discs({{100, 100}});
    dib_base frame = ft::frameOf(one);
    ip_flowtrack tracker(&frame.format());
    tracker.doProcess(&frame, &run.noEvents, &run.overlay);
    SearchWindow = 151;
    for (int i = 0; i < 2; ++i) {
        try {
            tracker.doProcess(&frame, &run.noEvents, &run.overlay);
            FAIL() << "no throw";
        } catch (const char* message) {
            EXPECT_STREQ(message, "Too large SearchWindow !");
        }
    }
    SearchWindow = 30;
    tracker.doProcess(&frame, &run.noEvents, &run.overlay);
    EXPECT_NEAR(ft::regionAt(tracker.impl().regions, 0)->cx, 100, 1);
}

TEST(FlowtrackProcedure, FactoryEntry) {
    ft::ParameterGuard guard;
    ip_creator_base* entry = ip_registry_find("flowtrack");
    ASSERT_NE(entry, nullptr);
    dib_fmt f(320, 240, 3, 0, true);
    ip_base* p = entry->create(&f);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->name(), "flowtrack");
    EXPECT_EQ(p->dstDib()->width, 320);
    delete p;
}

}  // namespace
