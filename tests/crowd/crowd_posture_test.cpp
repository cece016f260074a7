// The crowd tracker on elongated, tapered, bending animals drawn with their exact centres
// of mass: overlapping animals split along their bodies, chains of them, identities through
// crossings, the midline and the head.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>
#include <tuple>
#include <vector>

#include "crowd/crowd_assign.h"
#include "crowd/crowd_place.h"
#include "crowd/crowd_runs.h"
#include "crowd/crowd_split.h"
#include "crowd_support.h"

namespace {

// An animal: its midline's middle, where its head points, how fast it swims and turns, and
// how it is bent (radians per pixel along it, the head turned the way of positive turns).
struct swimmer {
    double x, y, heading, speed = 2, turn = 0, bend = 0;
    double length = 40, width = 8;
};

// A tapered body drawn along its midline: widest a third of the way from the head.
struct body {
    static constexpr int middle = 20;
    std::vector<double> x, y;  // the midline, head first, 2 * middle + 1 points

    explicit body(const swimmer& s) : x(2 * middle + 1), y(2 * middle + 1) {
        x[middle] = s.x, y[middle] = s.y;
        const double step = s.length / (2 * middle);
        for (int d = 1; d <= middle; ++d)
            for (int i : {middle + d, middle - d}) {
                const int from = i > middle ? i - 1 : i + 1;
                const double a = s.heading - s.bend * (i - middle) * step, along = i > middle ? -step : step;
                x[i] = x[size_t(from)] + along * std::cos(a), y[i] = y[size_t(from)] + along * std::sin(a);
            }
    }
    // How much of the pixel at (px, py) the body covers, for a body `width` wide at most.
    double cover(double px, double py, double width) const {
        double best = 1e300, along = 0;
        for (size_t i = 0; i + 1 < x.size(); ++i) {
            const double dx = x[i + 1] - x[i], dy = y[i + 1] - y[i], ox = px - x[i], oy = py - y[i];
            const double t = std::clamp((ox * dx + oy * dy) / (dx * dx + dy * dy), 0.0, 1.0);
            const double d = (ox - t * dx) * (ox - t * dx) + (oy - t * dy) * (oy - t * dy);
            if (d < best) best = d, along = (double(i) + t) / double(x.size() - 1);
        }
        const double u = (along - 0.3) / (along < 0.3 ? 0.34 : 0.72);
        return std::clamp(width / 2 * std::sqrt(std::max(0.0, 1 - u * u)) - std::sqrt(best) + 0.5, 0.0, 1.0);
    }
};

struct truth {
    double x, y;
    bool overlapping;  // sharing pixels with another animal
};

// The animals at 40 on a floor at 170..199; each one's centre of mass, and whether it
// lies over another.
dib_base draw(int w, int h, const std::vector<swimmer>& animals, std::vector<truth>& truths) {
    dib_base f(dib_fmt(w, h, 1, 0, false), 0);
    std::vector<double> cover(size_t(w) * size_t(h), 0.0);
    std::vector<int> owner(size_t(w) * size_t(h), -1);
    truths.assign(animals.size(), truth{0, 0, false});
    for (size_t k = 0; k < animals.size(); ++k) {
        const body b(animals[k]);
        double sum = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (std::hypot(x - animals[k].x, y - animals[k].y) > animals[k].length / 2 + 2) continue;
                const double c = b.cover(x, y, animals[k].width);
                if (c <= 0) continue;
                sum += c, truths[k].x += c * x, truths[k].y += c * y;
                const size_t i = size_t(y) * size_t(w) + size_t(x);
                if (owner[i] >= 0) truths[k].overlapping = truths[size_t(owner[i])].overlapping = true;
                owner[i] = int(k), cover[i] = std::max(cover[i], c);
            }
        truths[k].x /= sum, truths[k].y /= sum;
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double c = cover[size_t(y) * size_t(w) + size_t(x)];
            f.row(y)[x] = uint8_t(std::lround((170 + (x * 7 + y * 13) % 30) * (1 - c) + 40 * c));
        }
    return f;
}

using checker = std::function<void(int, const std::vector<swimmer>&, const std::vector<truth>&,
                                   const std::vector<ip_objectDetails>&)>;

// Runs the animals for `frames` frames, each moving on after being drawn (`steer`, when
// given, sets their turns first), and hands each frame's animals, truths and objects, the
// objects ordered to match the truths by least total distance, to `check`.
void swim(std::vector<swimmer> animals, int frames, int w, int h, const checker& check,
          const std::function<void(int, std::vector<swimmer>&)>& steer = nullptr) {
    auto p = crowd_test::crowd(dib_fmt(w, h, 1, 0, false),
                               {{"background", 1}, {"threshold", 185}, {"animals", double(animals.size())}});
    for (int f = 0; f < frames; ++f) {
        if (steer) steer(f, animals);
        std::vector<truth> truths;
        const dib_base picture = draw(w, h, animals, truths);
        const std::vector<ip_objectDetails> found = crowd_test::found(*p, picture);
        ASSERT_EQ(found.size(), animals.size()) << "frame " << f;
        std::vector<double> cost;
        for (const truth& t : truths)
            for (const ip_objectDetails& o : found) cost.push_back(std::hypot(o.x - t.x, o.y - t.y));
        std::vector<int> best;
        crowd_assign(cost, int(truths.size()), int(found.size()), best);
        std::vector<ip_objectDetails> matched;
        for (int k : best) matched.push_back(found[size_t(k)]);
        check(f, animals, truths, matched);
        for (swimmer& a : animals)
            a.x += a.speed * std::cos(a.heading), a.y += a.speed * std::sin(a.heading), a.heading += a.turn;
    }
}

// Every centre within `within` pixels of the animal's centre of mass, and every animal under
// one identity throughout.
void expectFollowed(const std::vector<swimmer>& animals, int frames, int w, int h, double within) {
    std::vector<int32_t> ids;
    int overlapping = 0;
    swim(animals, frames, w, h,
         [&](int f, const std::vector<swimmer>&, const std::vector<truth>& truths,
             const std::vector<ip_objectDetails>& o) {
             for (size_t k = 0; k < truths.size(); ++k) {
                 EXPECT_LT(std::hypot(o[k].x - truths[k].x, o[k].y - truths[k].y), within)
                     << "frame " << f << ", animal " << k;
                 EXPECT_TRUE(o[k].posture & ip_postureMidline) << "frame " << f << ", animal " << k;
                 if (f == 0) ids.push_back(o[k].index);
                 EXPECT_EQ(o[k].index, ids[k]) << "frame " << f << ", animal " << k;
                 overlapping += truths[k].overlapping;
             }
         });
    EXPECT_GT(overlapping, frames / 2);  // the animals did lie over each other
}

// Two look-alike fish swim over each other at a narrow and a right angle, or side by side
// half a body width apart while one overtakes the other: each is split out along its own
// body, its centre within 2 px of its centre of mass, and keeps its identity.
TEST(CrowdBodies, OverlappingPairsSplitAlongTheirBodies) {
    for (double angle : {30.0, 90.0}) {
        SCOPED_TRACE(testing::Message() << "crossing at " << angle << " degrees");
        const double a = angle * std::numbers::pi / 180;
        expectFollowed({{80, 120, 0}, {160 - 80 * std::cos(a), 120 - 80 * std::sin(a), a, 2, 0, 0.02}}, 80, 320, 240,
                       2);
    }
    SCOPED_TRACE("crossing while one turns");
    expectFollowed({{80, 120, 0, 2, 0.02, 0.01}, {160, 65, std::numbers::pi / 2, 2, 0, 0}}, 80, 320, 240, 2);
    SCOPED_TRACE("side by side");
    expectFollowed({{40, 120, 0, 2.0}, {110, 124, 0, 1.0}}, 100, 320, 240, 2);
}

// Three fish swimming over one point from three directions, and three fish in file that
// close up head over tail, the rear ones faster: each animal its own object throughout.
TEST(CrowdBodies, ChainsSplitIntoTheirAnimals) {
    std::vector<swimmer> star;
    for (int i = 0; i < 3; ++i) {
        const double a = i * std::numbers::pi / 3;
        star.push_back({200 - 80 * std::cos(a), 120 - 80 * std::sin(a), a});
    }
    expectFollowed(star, 80, 400, 240, 2);
    std::vector<swimmer> file;
    for (int i = 0; i < 3; ++i) file.push_back({30.0 + 55 * i, 120.0 + 4 * (i % 2), 0, 2.4 - 0.6 * i});
    expectFollowed(file, 90, 400, 240, 2);
}

// Three larvae, short and thin, crawl into one heap: two side by side the opposite ways, a
// third across both where they meet. Each is cut out along its own body, its centre within
// 2.5 px of its centre of mass, under its own identity throughout.
TEST(CrowdBodies, HeapOfThreeLarvaeSplitIntoTheirBodies) {
    const double length = 24, width = 6;
    expectFollowed({{60, 100, 0, 1.2, 0, 0, length, width},
                    {180, 104, std::numbers::pi, 1.2, 0, 0, length, width},
                    {120, 46, std::numbers::pi / 2, 1.0, 0, 0.01, length, width}},
                   90, 240, 200, 2.5);
}

// A large larva and a small one of the same shape lie side by side from the first frame, a
// small one alone further off telling the typical animal: the pair is cut along both bodies,
// not into a front and a back half of the small one's length, each centre within 2 px.
TEST(CrowdBodies, SideBySideLarvaeOfTwoSizesSplitAlongTheirBodies) {
    expectFollowed({{100, 100, 0, 0.8, 0, 0, 30, 7.5}, {104, 105, 0, 0.9, 0, 0, 18, 4.5}, {60, 160, 0, 0.8, 0, 0, 18, 4.5}},
                   60, 240, 200, 2);
}

// Bodies laid for two animals lying side by side, touching, that no track expects, at any
// angle: one on each animal, not the first across both halves and the second on what is left.
TEST(CrowdBodies, BodiesLaidSideBySideEachOnItsAnimal) {
    const float half[crowd_stations] = {3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
    for (int step = 0; step < 16; ++step) {
        const double c = std::cos(step * std::numbers::pi / 16), s = std::sin(step * std::numbers::pi / 16);
        std::vector<crowd_pixel> pixels;  // the two bodies, 24 by 6 px: one band 12 px wide
        for (int y = 10; y <= 70; ++y)
            for (int x = 10; x <= 70; ++x)
                if (std::fabs((x - 40) * c + (y - 40) * s) <= 12 && std::fabs((y - 40) * c - (x - 40) * s - 3) <= 6)
                    pixels.push_back({x, y, 40, 40});
        std::vector<crowd_body> bodies;
        crowd_placer().place(pixels, 10, 10, 70, 70, 2, crowd_straightBody(half, 24, 12), bodies);
        ASSERT_EQ(bodies.size(), 2u);
        for (const crowd_point m : {crowd_point{40, 40}, crowd_point{40 - 6 * s, 40 + 6 * c}})
            EXPECT_LT(std::min(std::hypot(bodies[0].centre().x - m.x, bodies[0].centre().y - m.y),
                               std::hypot(bodies[1].centre().x - m.x, bodies[1].centre().y - m.y)),
                      1.5)
                << "direction " << step << " of 16";
    }
}

// Two look-alike fish cross at a shallow angle, lying over each other for a dozen frames:
// only their motion tells which is which. And two that swim in file from the first frame,
// the head of one over the tail of the other, are two from the start.
TEST(CrowdBodies, LookAlikesKeptApartByMotionAndShape) {
    const double a = 15 * std::numbers::pi / 180;
    expectFollowed({{60, 120, 0}, {60, 120 - 100 * std::tan(a), a}}, 90, 320, 240, 2);
    expectFollowed({{100, 120, 0, 1.5}, {138, 121, 0, 1.5}}, 40, 320, 240, 2.5);
}

// A fish swims, makes a U-turn, its body bent along its path, swims back and backs up a
// little: once told, the head stays the midline's first point, at the drawn head, through
// the turn and the step back; the midline lies along the drawn one.
TEST(CrowdBodies, HeadStaysHeadThroughATurn) {
    int told = 0;
    auto check = [&](int f, const std::vector<swimmer>& drawn, const std::vector<truth>&,
                     const std::vector<ip_objectDetails>& o) {
        const body b(drawn[0]);
        EXPECT_TRUE(o[0].posture & ip_postureMidline) << "frame " << f;
        if (!(o[0].posture & ip_postureHead)) return;
        ++told;
        EXPECT_LT(std::hypot(o[0].midline[0][0] - b.x[0], o[0].midline[0][1] - b.y[0]), 3) << "frame " << f;
        EXPECT_LT(std::hypot(o[0].midline[5][0] - b.x[body::middle], o[0].midline[5][1] - b.y[body::middle]), 1.5)
            << "frame " << f;
        const double heading = std::atan2(b.y[0] - b.y[8], b.x[0] - b.x[8]);
        EXPECT_LT(std::fabs(std::remainder(o[0].heading - heading, 2 * std::numbers::pi)), 0.35) << "frame " << f;
    };
    // Straight for 20 frames, then 9 degrees a frame for 20, bent along the path, then straight
    // back, backing up tail first for 6 frames on the way.
    swim({{60, 120, 0}}, 70, 260, 240, check, [](int f, std::vector<swimmer>& fish) {
        const bool turning = f >= 20 && f < 40;
        fish[0].turn = turning ? std::numbers::pi / 20 : 0;
        fish[0].bend = fish[0].turn / 2;
        fish[0].speed = f >= 50 && f < 56 ? -1.5 : 2;
    });
    EXPECT_GT(told, 50);
}

// A picture's blobs as the procedure labels them: a pixel darker than 150 weighs 185 less its grey.
struct labelled {
    dib_base weight, grey;
    std::vector<crowd_run> runs;
    std::vector<int32_t> rowStart;
    crowd_blobs blobs;
    explicit labelled(const dib_base& picture)
        : weight(dib_fmt(picture.width, picture.absHeight(), 1, 0, true), 0), grey(weight.format(), 0) {
        for (int y = 0; y < picture.absHeight(); ++y)
            for (int x = 0; x < picture.width; ++x) {
                const int g = picture.row(y)[x];
                weight.row(y)[x] = uint8_t(g < 150 ? 185 - g : 0), grey.row(y)[x] = uint8_t(g);
            }
        crowd_findRuns(weight, runs, rowStart);
        blobs.label(weight, grey, runs, rowStart);
    }
};

// The parts the one blob of `picture` is cut into: `k` of them, from the bodies expected there.
std::vector<crowd_part> cut(crowd_splitter& splitter, const dib_base& picture, int k,
                            const std::vector<crowd_body>& expected, const crowd_body& typical) {
    const labelled heap(picture);
    std::vector<crowd_part> parts;
    EXPECT_EQ(heap.blobs.blobs().size(), 1u);
    splitter.split(heap.blobs, 0, heap.runs, heap.weight, heap.grey, k, expected, typical, parts);
    return parts;
}

// A larva whose track expects it 3 px ahead of where it lies is fitted onto it by sliding
// its body along itself. Once the frame's fitting has used what the frame's pixels allow,
// a blob gets one round and no sliding, whatever its own bound; the next frame fits fully.
TEST(CrowdBodies, FrameFittingBoundedByTheFramesPixels) {
    dib_base picture(dib_fmt(64, 40, 1, 0, false), 0);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) picture.row(y)[x] = y >= 18 && y <= 23 && x >= 20 && x < 44 ? 120 : 200;
    const labelled heap(picture);
    ASSERT_EQ(heap.blobs.blobs().size(), 1u);
    const float half[crowd_stations] = {3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
    crowd_body ahead = crowd_straightBody(half, 23, 11.5);
    for (crowd_point& p : ahead.midline) p.x += 23.5, p.y += 20.5;
    ahead.track = 0;
    crowd_splitter splitter;
    std::vector<crowd_part> parts;
    for (const int64_t pixels : {int64_t(64 * 40), int64_t(1), int64_t(64 * 40)}) {
        splitter.startFrame(pixels);
        splitter.split(heap.blobs, 0, heap.runs, heap.weight, heap.grey, 1, {ahead}, ahead, parts);
        ASSERT_EQ(parts.size(), 1u);
        const double off = std::fabs(parts[0].body.centre().x - 31.5);
        if (pixels > 1)
            EXPECT_LT(off, 1) << "a frame of " << pixels << " pixels";
        else
            EXPECT_GT(off, 2);
    }
}

// A straight body of a drawn animal's shape, head at the origin.
crowd_body larvaShape(double length, double width) {
    float half[crowd_stations];
    for (int i = 0; i < crowd_stations; ++i) {
        const double along = i / 10.0, u = (along - 0.3) / (along < 0.3 ? 0.34 : 0.72);
        half[i] = float(width / 2 * std::sqrt(std::max(0.0, 1 - u * u)) + 0.5);
    }
    return crowd_straightBody(half, length, -1);
}

// Each animal with a part whose centre lies within 2 px of its centre of mass.
void expectEachNear(const std::vector<truth>& truths, const std::vector<crowd_part>& parts) {
    for (const truth& t : truths) {
        double nearest = 1e300;
        for (const crowd_part& p : parts) {
            const crowd_object o = crowd_describe(p.moments);
            nearest = std::min(nearest, std::hypot(o.x - t.x, o.y - t.y));
        }
        EXPECT_LT(nearest, 2) << "the animal at " << t.x << ", " << t.y;
    }
}

// A small larva lies against the head of a large one, in file: a blob no track expects, of a
// kind whose long animals were seen alone. Each animal gets a body on it, its centre within
// 2 px; the typical body stretched to the blob's length would lie over both, and the typical
// one on the large larva's middle.
TEST(CrowdBodies, FileOfTwoSizesLaidWithTheKindsLongShape) {
    std::vector<truth> truths;
    const dib_base picture = draw(
        100, 60, {{40, 25, 0, 0, 0, 0, 30, 7.5}, {62, 27, 0.3, 0, 0, 0, 18, 4.5}}, truths);
    crowd_splitter splitter;
    splitter.startFrame(100 * 60, larvaShape(30, 7.5));
    expectEachNear(truths, cut(splitter, picture, 2, {}, larvaShape(18, 4.5)));
}

// Two larvae cross as an X. One track's body was fitted along one larva's back half and up
// the other's front arm last frame, and is expected there again; the kind's larvae seen alone
// lie straight. Fitted as expected, the bent body would hold the cut: it is laid again along
// its own larva, whose pixels it leaves bare, and each larva gets a body along it, heading as
// its track's did (either way along the larva: laid straight, a body has no head of its own).
TEST(CrowdBodies, BodyBentAcrossACrossingLaidAgainOnItsAnimal) {
    for (const double side : {1.0, -1.0}) {
        auto x = [&](double v) { return 50 + side * (v - 50); };
        std::vector<truth> truths;
        const dib_base picture = draw(
            100, 60, {{50, 30, 0, 0, 0, 0, 40, 7}, {x(60), 30, std::numbers::pi / 2, 0, 0, 0, 40, 7}}, truths);
        crowd_body across = larvaShape(40, 7), upright = larvaShape(40, 7);
        for (int i = 0; i < crowd_stations; ++i) {
            across.midline[i] = i <= 5 ? crowd_point{x(40.0 + 4 * i), 30} : crowd_point{x(60), 30.0 - 4 * (i - 5)};
            upright.midline[i] = {x(60), 10.0 + 4 * i};
        }
        across.track = 0, upright.track = 1;
        crowd_splitter splitter;
        crowd_posture alone;
        alone.elongated = true;
        for (int i = 0; i < crowd_stations; ++i) alone.midline[i] = {4.0 * i, 0};
        for (int n = 0; n < 200; ++n) splitter.seeAlone(alone);
        splitter.startFrame(100 * 60);
        const std::vector<crowd_part> parts = cut(splitter, picture, 2, {across, upright}, across);
        ASSERT_EQ(parts.size(), 2u);
        for (const crowd_part& p : parts) {
            const crowd_point* m = p.body.midline;
            const bool lying = std::fabs(m[0].y - m[10].y) < 10;
            const truth& t = truths[lying ? 0 : 1];
            double off = std::hypot(p.body.centre().x - t.x, p.body.centre().y - t.y);
            for (int i = 0; i < crowd_stations; ++i)
                off = std::max(off, std::fabs(lying ? m[i].y - t.y : m[i].x - t.x));
            EXPECT_LT(off, 2) << "track " << p.body.track << ", side " << side;
            const double heading = lying ? side * (m[10].x - m[0].x) : m[10].y - m[0].y;
            EXPECT_GT(heading, 0) << "track " << p.body.track << ", side " << side;
        }
    }
}

// Two tracks followed one larva where another crossed it at a shallow angle: both bodies are
// predicted on the lying one, the other's pixels lie bare. One of them is laid on it.
TEST(CrowdBodies, TwoBodiesOnOneAnimalOneMovedToTheAnimalLeftBare) {
    std::vector<truth> truths;
    const dib_base picture = draw(100, 70, {{50, 30, 0, 0, 0, 0, 40, 7}, {73, 50, 1.4, 0, 0, 0, 40, 7}}, truths);
    crowd_body lying = larvaShape(40, 7);
    for (int i = 0; i < crowd_stations; ++i) lying.midline[i] = {30.0 + 4 * i, 30};
    crowd_body copy = lying;
    lying.track = 0, copy.track = 1;
    crowd_splitter splitter;
    splitter.startFrame(100 * 70);
    const std::vector<crowd_part> parts = cut(splitter, picture, 2, {lying, copy}, lying);
    ASSERT_EQ(parts.size(), 2u);
    expectEachNear(truths, parts);
}

// Bodies cut out of one blob, a copy of a track's among them: two on one larva repeat each
// other, as the first of two larvae and its copy do beside the second; two or three larvae side
// by side, in file or crossing are as many animals.
TEST(CrowdBodies, ACopyOfAnAnimalsBodyRepeatsItOtherAnimalsDoNot) {
    const swimmer at50{50, 30, 0, 0, 0, 0, 40, 7}, beside{52, 37, 0, 0, 0, 0, 40, 7}, across{50, 30, 0.6, 0, 0, 0, 40, 7},
        ahead{40, 30, 0, 0, 0, 0, 40, 7}, behind{78, 30, 0, 0, 0, 0, 40, 7};
    const std::vector<std::tuple<const char*, std::vector<swimmer>, size_t>> cases = {
        {"one larva", {at50}, 2},
        {"side by side", {at50, beside}, 2},
        {"in file", {ahead, behind}, 2},
        {"crossing", {at50, across}, 2},
        {"a copy, another side by side", {at50, beside}, 3},
        {"a copy, another in file", {ahead, behind}, 3},
        {"a copy, another crossing", {at50, across}, 3},
        {"three side by side", {at50, beside, {48, 44, 0, 0, 0, 0, 40, 7}}, 3},
        {"three crossing", {at50, across, {50, 30, -0.6, 0, 0, 0, 40, 7}}, 3}};
    for (const auto& [what, larvae, k] : cases) {
        std::vector<truth> truths;
        const dib_base picture = draw(120, 70, larvae, truths);
        std::vector<crowd_body> expected;
        for (size_t b = 0; b < k; ++b) {
            const swimmer& on = larvae[b % larvae.size()];
            expected.push_back(larvaShape(40, 7));
            for (int i = 0; i < crowd_stations; ++i)
                expected.back().midline[i] = {on.x + (20 - 4.0 * i) * std::cos(on.heading) + double(b / larvae.size()),
                                              on.y + (20 - 4.0 * i) * std::sin(on.heading)};
            expected.back().track = int32_t(b);
        }
        crowd_splitter splitter;
        splitter.startFrame(120 * 70);
        const std::vector<crowd_part> parts = cut(splitter, picture, int(k), expected, expected[0]);
        ASSERT_EQ(parts.size(), k) << what;
        if (k == 2) {
            const double area = double(labelled(picture).blobs.blobs()[0].moments.area);
            const bool repeats = crowd_repeats(crowd_describe(parts[0].moments), crowd_describe(parts[1].moments), area);
            EXPECT_EQ(repeats, larvae.size() == 1) << what;
            continue;
        }
        std::vector<double> shares;
        splitter.overlaps(shares);
        ASSERT_EQ(shares.size(), k) << what;
        const std::vector<char> repeated = crowd_repeatedParts(parts, shares);
        EXPECT_EQ(std::count(repeated.begin(), repeated.end(), 1), larvae.size() == 2 ? 1 : 0) << what;
        EXPECT_FALSE(repeated[1]) << what;
    }
}

// The pixel's place against a prepared line, one segment after another: what crowd_locate
// computes two segments at a time, and crowd_locateMany several pixels at a time, to the bit.
crowd_place locatedOneByOne(const crowd_line& line, double x, double y, int first, int end) {
    double best = 1e300, along = 0, at = 0;
    int segment = first;
    for (int j = first; j < end; ++j) {
        const double ox = x - line.x[j], oy = y - line.y[j];
        const double t = (ox * line.dx[j] + oy * line.dy[j]) * line.inverse[j];
        const double clamped = t < 0 ? 0 : t > 1 ? 1 : t;
        const double ex = ox - clamped * line.dx[j], ey = oy - clamped * line.dy[j], d = ex * ex + ey * ey;
        if (d < best) best = d, segment = j, along = t, at = clamped;
    }
    const double ox = x - line.x[segment], oy = y - line.y[segment];
    const double across = (line.dx[segment] * oy - line.dy[segment] * ox) * line.unit[segment];
    const bool beyond = (segment == 0 && along < 0) || (segment == crowd_segments - 1 && along > 1);
    const double half = line.halfWidth[segment] + at * (line.halfWidth[segment + 1] - line.halfWidth[segment]);
    return {std::sqrt(best), segment + (beyond ? along : at), across, half, best};
}

// Bent bodies, some with points on top of each other (segments of no length), and pixels
// around, beyond the ends and far off, against every window of segments.
TEST(CrowdBodies, PixelsLocatedInVectorsAsOneByOne) {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> step(-6, 6), around(-30, 60);
    for (int body = 0; body < 40; ++body) {
        crowd_body b = larvaShape(40, 7);
        for (int i = 1; i < crowd_stations; ++i)
            b.midline[i] = body % 5 == 0 && i % 3 == 0
                               ? b.midline[i - 1]
                               : crowd_point{b.midline[i - 1].x + step(random) + 3, b.midline[i - 1].y + step(random)};
        const crowd_line line = crowd_prepare(b);
        std::vector<double> xs, ys, firsts, ends;
        for (int n = 0; n < 200; ++n) {
            const double x = around(random), y = around(random);
            for (int first = 0; first < crowd_segments; ++first)
                for (int end = first + 1; end <= crowd_segments; ++end) {
                    const crowd_place got = crowd_locate(line, x, y, first, end);
                    const crowd_place want = locatedOneByOne(line, x, y, first, end);
                    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << body << " " << x << "," << y;
                    xs.push_back(x), ys.push_back(y), firsts.push_back(first), ends.push_back(end);
                }
        }
        // Many at a time, an odd count of them so that some are left over after the vectors.
        const size_t count = xs.size() - size_t(body % 7);
        std::vector<crowd_place> places(count);
        crowd_locateMany(line, xs.data(), ys.data(), firsts.data(), ends.data(), count, places.data());
        for (size_t i = 0; i < count; ++i) {
            const crowd_place want = locatedOneByOne(line, xs[i], ys[i], int(firsts[i]), int(ends[i]));
            ASSERT_EQ(std::memcmp(&places[i], &want, sizeof want), 0) << body << " " << i;
        }
    }
}

}  // namespace
