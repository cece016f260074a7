#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cctrack/feature_track.h"
#include "doubles/recording.h"
#include "feature_shapes.h"

namespace {

using loops = std::vector<alg::feature_loop>;
using tracker = feature_track_t<alg::feature_loop>;

std::string thrown(auto&& f) {
    try {
        f();
    } catch (const char* m) {
        return m;
    }
    return "";
}

// An extractor that hands out a fixed list of features.
class listed final : public alg::feature_extract {
public:
    explicit listed(loops f = {}) : f_(std::move(f)) {}
    void draw(ip_overlay*) const override {}
    void drawDetailed(ip_overlay*) const override {}
    const char* kindName() const override { return "loop"; }
    int count() const override { return int(f_.size()); }
    const alg::feature& feature(int j) const override { return f_[size_t(j)]; }

private:
    loops f_;
};

// A small square of four points round (x, y), 40 strength each.
alg::feature_loop square(int x, int y, int strength = 40) {
    const shapes::points p{{strength, x - 1, y - 1}, {strength, x + 1, y - 1}, {strength, x + 1, y + 1},
                           {strength, x - 1, y + 1}};
    return alg::feature_loop(p.data(), p.data() + p.size(), 0, 4);
}

chain absentReference(int width) {
    chain r;
    r.points.assign(size_t(width), chain_point{0, -1, -1});
    return r;
}

chain flatReference(int width, int y) {
    chain r;
    for (int x = 0; x < width; ++x) r.points.push_back({0, x, y});
    return r;
}

void step(tracker& t, loops f, int width = 320) { t.track(listed(std::move(f)), absentReference(width)); }

TEST(FeatureTrack, MatchesWithinTwentyPixelsOfThePrediction) {
    std::unique_ptr<alg::feature_track> made(tracker::create(nullptr));
    EXPECT_STREQ(made->kindName(), "loop");
    EXPECT_EQ(made->slotCount(), 40);
    made.reset(tracker::create("loop"));
    EXPECT_EQ(thrown([] { delete tracker::create("blob"); }), "feature_track_t::create - got unknown id");

    tracker t;
    step(t, {square(100, 100)});
    EXPECT_NE(t.currentFeature(0), nullptr);
    EXPECT_EQ(t.at(0, 0).x(), 100);

    // 20 pixels on: the same track, with half the step as its velocity.
    step(t, {square(120, 100)});
    ASSERT_NE(t.currentFeature(0), nullptr);
    EXPECT_EQ(t.at(0, 0).x(), 120);
    EXPECT_EQ(t.at(0, 0).vx(), 10.0f);
    EXPECT_EQ(t.at(0, 0).vy(), 0.0f);
    EXPECT_EQ(t.currentFeature(1), nullptr);

    // The prediction is now 130: 150 is still in reach. vx = (10 + 30) / 2.
    step(t, {square(150, 100)});
    EXPECT_EQ(t.at(0, 0).x(), 150);
    EXPECT_EQ(t.at(0, 0).vx(), 20.0f);

    // Predicted 170: 191 is too far, whatever the shape; it starts a new track.
    step(t, {square(191, 100)});
    EXPECT_EQ(t.currentFeature(0), nullptr);
    ASSERT_NE(t.currentFeature(1), nullptr);
    EXPECT_EQ(t.at(0, 1).x(), 191);
    EXPECT_EQ(t.at(0, 1).vx(), 0.0f);

    // A track last seen two frames ago predicts twice its velocity and halves the step.
    step(t, {square(190, 100)});
    EXPECT_EQ(t.at(0, 0).x(), 190);  // predicted 150 + 40
    EXPECT_EQ(t.at(0, 0).vx(), 20.0f);  // (20 + 40 / 2) / 2
    EXPECT_EQ(t.at(0, 1).isEmpty(), true);
}

TEST(FeatureTrack, GreedyAssignmentAndTies) {
    // Equal cost for two new features: the lower index wins, the other starts a track.
    tracker t;
    step(t, {square(100, 100)});
    step(t, {square(110, 100), square(90, 100)});
    EXPECT_EQ(t.at(0, 0).x(), 110);
    EXPECT_EQ(t.at(0, 1).x(), 90);

    // The cheapest pair goes first, even where swapping would cost less in total: track 0
    // takes the feature 4 pixels away, leaving track 1 the one 20 pixels away.
    tracker u;
    step(u, {square(100, 100), square(110, 100)});
    step(u, {square(104, 100), square(90, 100)});
    EXPECT_EQ(u.at(0, 0).x(), 104);
    EXPECT_EQ(u.at(0, 1).x(), 90);

    // A very different shape still matches when it is near: the shape term only adds to
    // the position cost.
    tracker w;
    step(w, {shapes::loopAt(100, 100, 10)});
    step(w, {shapes::loopAt(102, 100, 600)});
    EXPECT_EQ(w.at(0, 0).pointCount(), 600);

    // Features of another kind are refused.
    class otherList final : public alg::feature_extract {
    public:
        void draw(ip_overlay*) const override {}
        void drawDetailed(ip_overlay*) const override {}
        const char* kindName() const override { return "blob"; }
        int count() const override { return 1; }
        const alg::feature& feature(int) const override { return f; }
        shapes::blob f;
    };
    EXPECT_EQ(thrown([&] { w.track(otherList(), absentReference(320)); }),
              "alg::feature_loop::cast - got incompatible parameter");
}

TEST(FeatureTrack, SlotsAreFreedAfterFiveAbsentFrames) {
    for (int absent : {4, 5}) {
        tracker t;
        step(t, {square(100, 100)});
        for (int k = 0; k < absent; ++k) step(t, {});
        // A far feature cannot continue the track; it takes the first free slot.
        step(t, {square(300, 300)});
        const int slot = absent == 5 ? 0 : 1;
        ASSERT_NE(t.currentFeature(slot), nullptr) << absent;
        EXPECT_EQ(t.at(0, slot).x(), 300);
        EXPECT_EQ(t.appearances(slot), 1);
    }
    // Still alive after 4 absent frames: the track is matched again and keeps its slot.
    tracker t;
    step(t, {square(100, 100)});
    for (int k = 0; k < 4; ++k) step(t, {});
    step(t, {square(104, 100)});
    EXPECT_EQ(t.at(0, 0).x(), 104);
    EXPECT_FLOAT_EQ(t.at(0, 0).vx(), 0.4f);  // (0 + 4 / 5) / 2
    EXPECT_EQ(t.appearances(0), 2);

    t.reset();
    for (int i = 0; i < 40; ++i) EXPECT_EQ(t.appearances(i), 0);
}

TEST(FeatureTrack, NewTracksFromTheFirstTwentyFeatures) {
    loops many;
    for (int j = 0; j < 50; ++j) many.push_back(square(20 + 50 * (j % 10), 20 + 50 * (j / 10)));
    tracker t;
    step(t, many, 600);
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(t.currentFeature(i), nullptr);
        EXPECT_EQ(t.at(0, i).x(), many[size_t(i)].x());
        EXPECT_EQ(t.at(0, i).y(), many[size_t(i)].y());
    }
    for (int i = 20; i < 40; ++i) EXPECT_EQ(t.currentFeature(i), nullptr);

    // Matched features are skipped; the free slots take the next ones in order.
    tracker u;
    step(u, {square(100, 100)});
    step(u, {square(300, 300), square(101, 100), square(500, 300)});
    EXPECT_EQ(u.at(0, 0).x(), 101);
    EXPECT_EQ(u.at(0, 1).x(), 300);
    EXPECT_EQ(u.at(0, 2).x(), 500);
}

TEST(FeatureTrack, AutomaticAimAndSelection) {
    // Without a reference chain a track needs 4 appearances to be aimed at.
    tracker t;
    for (int k = 0; k < 3; ++k) step(t, {square(100, 100), square(200, 200)});
    EXPECT_EQ(t.selected(), -1);
    step(t, {square(100, 100), square(200, 200)});
    EXPECT_EQ(t.selected(), 0);  // the lowest index of equals

    // A click picks the nearest present track and keeps it.
    t.select(190, 190);
    EXPECT_EQ(t.selected(), 1);
    step(t, {square(100, 100), square(200, 200)});
    EXPECT_EQ(t.selected(), 1);
    t.select(5000, 5000);  // nothing within reach: unchanged
    EXPECT_EQ(t.selected(), 1);
    t.select(150, 150);  // equally far from both: the lower index
    EXPECT_EQ(t.selected(), 0);

    // When the aimed track disappears, the one with the most appearances is chosen.
    step(t, {square(200, 200), square(400, 400)});
    EXPECT_EQ(t.selected(), 1);

    // With a reference chain, tracks below it (greater y) need only 3 appearances.
    tracker r;
    const chain ref = flatReference(320, 150);
    for (int k = 0; k < 3; ++k) r.track(listed({square(100, 100), square(200, 200)}), ref);
    EXPECT_EQ(r.selected(), 1);

    // A track outside the reference chain's columns is not compared with it, but it can
    // still be chosen by its appearances.
    tracker o;
    const chain narrow = flatReference(50, 10);
    for (int k = 0; k < 3; ++k) o.track(listed({square(100, 100)}), narrow);
    EXPECT_EQ(o.selected(), -1);
    o.track(listed({square(100, 100)}), narrow);
    EXPECT_EQ(o.selected(), 0);
    tracker n;
    for (int k = 0; k < 4; ++k) n.track(listed({square(-30, 100)}), narrow);
    EXPECT_EQ(n.selected(), 0);
}

TEST(FeatureTrack, AnnotationDrawsTracksFromTheirFourthAppearance) {
    tracker t;
    doubles::Overlay o;
    for (int k = 0; k < 3; ++k) {
        step(t, {square(100 + 2 * k, 100)});
        t.annotate(&o, false, true, true, true, true);
    }
    EXPECT_TRUE(o.calls.empty());
    step(t, {square(106, 100)});
    ASSERT_EQ(t.selected(), 0);
    t.annotate(&o, false, true, true, true, true);
    EXPECT_EQ(o.calls, (std::vector<std::string>{
                           "point 100,100 c=-4 l= 1",
                           "poly c=0 l= 0 [99,99 101,99 101,101 99,101]",
                           "point 102,100 c=-4 l= 1",
                           "poly c=0 l= 0 [101,99 103,99 103,101 101,101]",
                           "line 100,100-102,100 c=-4 l= 0 s=1",
                           "point 104,100 c=-4 l= 1",
                           "poly c=0 l= 0 [103,99 105,99 105,101 103,101]",
                           "line 102,100-104,100 c=-4 l= 0 s=1",
                           "line 104,100-106,100 c=-4 l= 0 s=1",
                           "line 106,108-106,120 c=2 l= 0 s=1",
                           "line 106,92-106,80 c=2 l= 0 s=1",
                           "line 114,100-126,100 c=2 l= 0 s=1",
                           "line 98,100-86,100 c=2 l= 0 s=1",
                           "text 5,0 c=0 '106:100' 4",
                           "point 106,100 c=-8 l= 1",
                           "poly c=0 l=0 1 [105,99 107,99 107,101 105,101]",
                           "line 106,100-108,100 c=-6 l= 0 s=1",  // vx = 1.75
                       }));

    // Detailed labels; no history, aim or coordinates.
    doubles::Overlay d;
    t.annotateDetailed(&d, false, false, false, true, false);
    EXPECT_EQ(d.calls, (std::vector<std::string>{
                           "point 106,100 c=-8 l= 1",
                           "poly c=0 l=0  -4:160, 106, 100 1 [105,99 107,99 107,101 105,101]",
                           "line 106,100-108,100 c=-6 l= 0 s=1",
                       }));

    // Plain: only the aimed track, its contour unlabelled in colour 0 without history.
    tracker p;
    for (int k = 0; k < 4; ++k) step(p, {square(7, 42), square(200, 200)});
    ASSERT_EQ(p.selected(), 0);
    doubles::Overlay plain;
    p.annotate(&plain, true, false, true, true, false);
    EXPECT_EQ(plain.calls, (std::vector<std::string>{
                               "text 5,0 c=0 '  7: 42' 4",
                               "point 7,42 c=-8 l= 1",
                               "poly c=0 l= 0 [6,41 8,41 8,43 6,43]",
                               "line 7,42-7,42 c=-6 l= 0 s=1",
                           }));
    doubles::Overlay both;
    p.annotate(&both, false, false, false, false, false);
    EXPECT_EQ(both.calls, (std::vector<std::string>{"point 7,42 c=-8 l= 1", "point 200,200 c=-8 l= 1"}));

    // Nothing aimed at (the tracks with enough appearances are absent now): plain draws
    // nothing, the other mode still draws their history.
    step(p, {});
    ASSERT_EQ(p.selected(), -1);
    doubles::Overlay none;
    p.annotate(&none, true, true, true, true, true);
    EXPECT_TRUE(none.calls.empty());
    p.annotate(&none, false, true, true, false, true);
    EXPECT_EQ(none.points.size(), 8u);
}

TEST(FeatureTrack, AimColourMarksTrackTwoWithHistory) {
    tracker t;
    step(t, {square(20, 20), square(60, 20), square(100, 100)});
    for (int k = 0; k < 3; ++k) step(t, {square(100, 100)});
    ASSERT_EQ(t.selected(), 2);
    doubles::Overlay withHistory, without;
    t.annotate(&withHistory, true, true, false, false, true);
    t.annotate(&without, true, true, false, false, false);
    ASSERT_EQ(without.lineColours, (std::vector<int>{2, 2, 2, 2}));
    // The history lines come first, then the four aim lines in colour 1.
    ASSERT_GE(withHistory.lineColours.size(), 4u);
    EXPECT_EQ(std::vector<int>(withHistory.lineColours.end() - 4, withHistory.lineColours.end()),
              (std::vector<int>{1, 1, 1, 1}));
}

}  // namespace
