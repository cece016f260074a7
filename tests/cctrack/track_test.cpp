#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <tuple>

#include "cc_util.h"
#include "cctrack/feature_track.h"

using namespace cc;

namespace {

using loops = std::vector<alg::feature_loop>;
using tracker = feature_track_t<alg::feature_loop>;

// An extractor that hands out a fixed list of features.
class listed final : public alg::feature_extract {
public:
    explicit listed(loops f) : f_(std::move(f)) {}
    void draw(ip_overlay*) const override {}
    void drawDetailed(ip_overlay*) const override {}
    const char* kindName() const override { return "loop"; }
    int count() const override { return int(f_.size()); }
    const alg::feature& feature(int j) const override { return f_[size_t(j)]; }
    const loops f_;
};

// Four points of strength 40 round (x, y).
alg::feature_loop square(int x, int y) {
    const points p{{40, x - 1, y - 1}, {40, x + 1, y - 1}, {40, x + 1, y + 1}, {40, x - 1, y + 1}};
    return alg::feature_loop(p.data(), p.data() + 4, 0, 4);
}

// One frame; the reference chain runs along row y over `width` columns, or is absent (x = -1) without y.
void step(tracker& t, loops f, int width = 320, int y = -1) {
    chain r;
    for (int x = 0; x < width; ++x) r.points.push_back({0, y < 0 ? -1 : x, y});
    t.track(listed(std::move(f)), r);
}

// Positions of the current features of tracks 0 .. n-1, (-1,-1) where absent.
xy_list current(const tracker& t, int n) {
    xy_list out;
    for (const alg::feature* f; int(out.size()) < n;)
        f = t.currentFeature(int(out.size())), out.emplace_back(f ? f->x() : -1, f ? f->y() : -1);
    return out;
}

}  // namespace

// {points a, strength a, points b, strength b, expected}: point counts 100 vs 160 give d1 = -60 / (640 div 5);
// mean strengths or point counts 10 vs 50 are exactly at the limit, 10 vs 51 beyond it; both differences add in
// squares; values too small for a fifth of them to be a whole number are no difference when equal rather than 0/0.
TEST(FeatureLoop, Dissimilarity) {
    const double d1 = 60.0 / 128.0, d2 = -10.0 / 32.0, no = 1000000.0, both = std::sqrt(d1 * d1 + d2 * d2);
    const std::tuple<int, int, int, int, double> cases[] = {
        {100, 30, 160, 30, d1}, {160, 30, 100, 30, d1}, {100, 30, 600, 30, no},   {100, 30, 100, 30, 0.0},
        {50, 10, 50, 50, 1.0},  {50, 10, 50, 51, no},   {100, 30, 160, 40, both}, {1, 0, 1, 0, 0.0},
        {1, 0, 1, 1, no},       {10, 30, 50, 30, 1.0},  {10, 30, 51, 30, no}};
    auto loop = [](int n, int strength) {
        const points p(size_t(n), chain_point{strength, 0, 0});
        return alg::feature_loop(p.data(), p.data() + n, 0, n);
    };
    for (auto [n1, s1, n2, s2, e] : cases) EXPECT_DOUBLE_EQ(loop(n1, s1).dissimilarity(loop(n2, s2)), e) << n1 << " " << n2;
}

TEST(FeatureTrack, MatchesWithinTwentyPixelsOfThePrediction) {
    // {x, slot 0 x, slot 0 vx, slot 1 x}: 20 pixels on is the same track with half the step as its velocity; then
    // predicted 130, 150 is in reach (vx = (10 + 30) / 2); predicted 170, 191 is too far whatever the shape and
    // starts a new track; a track last seen two frames ago predicts twice its velocity (150 + 40) and halves the
    // step: vx = (20 + 40 / 2) / 2.
    tracker t;
    for (auto [x, x0, vx, x1] : std::vector<std::array<int, 4>>{
             {100, 100, 0, -1}, {120, 120, 10, -1}, {150, 150, 20, -1}, {191, -1, 20, 191}, {190, 190, 20, -1}}) {
        step(t, {square(x, 100)});
        EXPECT_EQ(current(t, 2), (xy_list{{x0, x0 < 0 ? -1 : 100}, {x1, x1 < 0 ? -1 : 100}})) << x;
        EXPECT_EQ(t.at(x0 < 0 ? 1 : 0, 0).vx(), float(vx)) << x;
    }
    // Equal cost for two new features: the lower index wins, the other starts a track. The cheapest pair goes
    // first, even where swapping would cost less in total. New tracks come from the first 20 of 50 features.
    tracker u, n;
    step(u, {square(100, 100), square(110, 100)});
    step(u, {square(104, 100), square(90, 100), square(101, 300)});
    EXPECT_EQ(current(u, 3), (xy_list{{104, 100}, {90, 100}, {101, 300}}));
    loops many;
    xy_list expected(40, {-1, -1});
    for (int j = 0; j < 50; ++j) many.push_back(square(20 + 50 * (j % 10), 20 + 50 * (j / 10)));
    for (int j = 0; j < 20; ++j) expected[size_t(j)] = {many[size_t(j)].x(), many[size_t(j)].y()};
    step(n, many, 600);
    EXPECT_EQ(current(n, 40), expected);
}

TEST(FeatureTrack, SlotsAreFreedAfterFiveAbsentFrames) {
    // After 4 absent frames the track is alive: a far feature takes the next slot, a near one continues it with
    // vx = (0 + 4 / 5) / 2. After 5 the slot is free again. reset() forgets everything.
    for (auto [absent, x, slot, count] :
         std::vector<std::array<int, 4>>{{4, 300, 1, 1}, {5, 300, 0, 1}, {4, 104, 0, 2}}) {
        tracker t;
        step(t, {square(100, 100)});
        for (int k = 0; k < absent; ++k) step(t, {});
        step(t, {square(x, 100)});
        ASSERT_NE(t.currentFeature(slot), nullptr) << absent << " " << x;
        EXPECT_EQ(std::make_pair(t.at(0, slot).x(), t.appearances(slot)), std::make_pair(x, count));
        EXPECT_FLOAT_EQ(t.at(0, slot).vx(), x == 104 ? 0.4f : 0.0f);
        t.reset();
        EXPECT_EQ(t.appearances(slot), 0);
    }
}

TEST(FeatureTrack, AutomaticAimAndSelection) {
    // Without a reference chain a track needs 4 appearances to be aimed at; of equals the lowest index. With
    // one, tracks below it (greater y) need only 3; tracks outside its columns are not compared with it.
    tracker t, r, o;
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(t.selected() + 10 * o.selected(), -11) << k;
        step(t, {square(100, 100), square(200, 200)});
        step(o, {square(100, 100)}, 50, 10);
        if (k < 3) step(r, {square(100, 100), square(200, 200)}, 320, 150);
    }
    EXPECT_EQ(std::make_tuple(t.selected(), r.selected(), o.selected()), std::make_tuple(0, 1, 0));
    // A click picks the nearest present track and keeps it; nothing within reach leaves it; equally far from
    // both picks the lower index; a click far outside the frame must not overflow the squared distances.
    for (auto [x, y, want] :
         std::vector<std::array<int, 3>>{{190, 190, 1}, {5000, 5000, 1}, {INT_MIN, INT_MAX, 1}, {150, 150, 0}}) {
        t.select(x, y);
        EXPECT_EQ(t.selected(), want) << x << "," << y;
    }
    // When the aimed track disappears, the one with the most appearances is chosen.
    step(t, {square(200, 200), square(400, 400)});
    EXPECT_EQ(t.selected(), 1);
}
