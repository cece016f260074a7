// What makes a pixel an object in the crowd tracker: a wall rim, a dim corner and a stain
// are background however they were marked while it was learned; a light animal's shadow
// leaves no trail and a dark animal's is left out of it; flashes, white frames and a dimmed
// lamp are recovered from and counted; a resting animal stays found; objects are found from
// the first frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "crowd/crowd_background.h"
#include "crowd/crowd_shadow.h"
#include "crowd/crowd_still.h"
#include "crowd/ip_crowd.h"
#include "crowd_support.h"
#include "image/dib_access.h"
#include "ops/do_contrast.h"
#include "ops/reference.h"

namespace {

constexpr int kW = 240, kH = 180;

// A disc moving in a straight line, bouncing off the frame's edges (a margin of `r` + 4).
struct mover {
    double x, y, vx, vy, r;
    int value;
    double shadowX = 0, shadowY = 0;  // offset of a soft dark shadow drawn under it (0, 0: none)
    double shadowDepth = 28;          // how much it darkens the floor

    void step() {
        const double lo = r + 14, hiX = kW - r - 14, hiY = kH - r - 14;
        x += vx, y += vy;
        if (x < lo || x > hiX) vx = -vx, x = std::clamp(x, lo, hiX);
        if (y < lo || y > hiY) vy = -vy, y = std::clamp(y, lo, hiY);
    }
};

using floor_fn = std::function<double(int x, int y)>;

// Calls f(x, y) for the pixels within `reach` of (cx, cy), those in the frame.
template <class F>
void around(double cx, double cy, double reach, F&& f) {
    for (int y = std::max(0, int(cy - reach)); y <= std::min(kH - 1, int(cy + reach) + 1); ++y)
        for (int x = std::max(0, int(cx - reach)); x <= std::min(kW - 1, int(cx + reach) + 1); ++x) f(x, y);
}

// The floor, then each mover's shadow (darkening the floor over a soft edge), then the
// movers with anti-aliased rims, then noise of +-2 that repeats every 7 frames; all of it
// times `scale`, a lamp's brightness.
dib_base picture(const floor_fn& floor, const std::vector<mover>& movers, int frame, double scale = 1.0) {
    std::vector<double> v(size_t(kW * kH));
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) v[size_t(y * kW + x)] = floor(x, y);
    for (const mover& m : movers) {
        if (m.shadowX == 0 && m.shadowY == 0) continue;
        const double sx = m.x + m.shadowX, sy = m.y + m.shadowY;
        around(sx, sy, m.r + 4, [&](int x, int y) {
            v[size_t(y * kW + x)] -= m.shadowDepth * std::clamp((m.r + 3 - std::hypot(x - sx, y - sy)) / 4, 0.0, 1.0);
        });
    }
    for (const mover& m : movers)
        around(m.x, m.y, m.r + 2, [&](int x, int y) {
            const double c = std::clamp(m.r + 0.5 - std::hypot(x - m.x, y - m.y), 0.0, 1.0);
            v[size_t(y * kW + x)] = v[size_t(y * kW + x)] * (1 - c) + m.value * c;
        });
    dib_base f(dib_fmt(kW, kH, 1, 0, false), 0);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            f.row(y)[x] = uint8_t(std::clamp(
                std::lround(v[size_t(y * kW + x)] * scale + ((x * 5 + y * 3 + frame) % 7 - 3) * 0.7), 0l, 255l));
    return f;
}

// A floor beyond white: its pictures are white whatever the noise.
const floor_fn glare = [](int, int) { return 300.0; };

// `n` animals, each walking to and fro along a lane of its own at its own speed, so that
// none ever touches another.
std::vector<mover> walkers(int n, int value, double r = 6) {
    std::vector<mover> m;
    for (int i = 0; i < n; ++i)
        m.push_back({30.0 + 41 * i % 170, 30.0 + (kH - 60.0) * i / std::max(1, n - 1), 1.3 + 0.45 * i, 0, r, value});
    return m;
}

std::unique_ptr<ip_crowd> crowd(std::vector<std::pair<const char*, double>> values) {
    return crowd_test::crowd(dib_fmt(kW, kH, 1, 0, false), std::move(values));
}

using crowd_test::found;

std::map<std::string, int64_t> counters(const ip_crowd& p) {
    std::vector<ip_counterRecord> c(size_t(ip_writeCounters(p, nullptr, 0, sizeof(ip_counterRecord))));
    ip_writeCounters(p, c.data(), int(c.size()), sizeof c[0]);
    std::map<std::string, int64_t> out;
    for (const auto& r : c) out[r.name] = r.value;
    return out;
}

// Whether every mover has an object within 2 px of its centre, and nothing else was found.
bool exactly(const std::vector<ip_objectDetails>& objects, const std::vector<mover>& movers) {
    return objects.size() == movers.size() && std::all_of(movers.begin(), movers.end(), [&](const mover& m) {
               return std::any_of(objects.begin(), objects.end(),
                                  [&](const ip_objectDetails& o) { return std::hypot(o.x - m.x, o.y - m.y) < 2; });
           });
}

const floor_fn plainFloor = [](int x, int y) { return 182.0 + 6 * std::sin(x * 0.05) * std::cos(y * 0.04); };

// Over `frames` frames of `movers` on `floor`, those from `from` on where `p` found anything but
// exactly the movers and the `still` ones (the last `unseen` movers are drawn, never expected).
int misses(ip_crowd& p, const floor_fn& floor, std::vector<mover> movers, int frames, int from = 0,
           const std::vector<mover>& still = {}, size_t unseen = 0) {
    int wrong = 0;
    for (int frame = 0; frame < frames; ++frame, std::ranges::for_each(movers, &mover::step)) {
        std::vector<mover> expected(movers.begin(), movers.end() - ptrdiff_t(unseen));
        expected.insert(expected.end(), still.begin(), still.end());
        wrong += !exactly(found(p, picture(floor, movers, frame)), expected) && frame >= from;
    }
    return wrong;
}

// A dark rim of 3 px just inside the frame's edge, a dim corner of 60 x 60 that fades out,
// a speck and a stain of the size of one animal: every sample marks them as objects, and
// none is an object once the background is learned. Without the count of animals the stain
// cannot be told from an animal at rest, and is found as one.
TEST(CrowdDetect, RimCornerAndStainAreBackground) {
    const floor_fn walled = [](int x, int y) {
        const int edge = std::min({x, y, kW - 1 - x, kH - 1 - y});
        double v = plainFloor(x, y);
        if (edge >= 4 && edge < 7) v = 70;
        if (x > kW - 70 && y > kH - 70) v -= 55 * std::min(1.0, std::hypot(x - (kW - 70), y - (kH - 70)) / 40);
        if (std::hypot(x - 60, y - 130) < 5.5 || std::hypot(x - 200, y - 30) < 2.5) v = 95;
        return v;
    };
    for (int animals : {0, 5}) {
        auto p = crowd({{"animals", animals}});
        const std::vector<mover> stain = {{60, 130, 0, 0, 5.5, 95}}, none;
        EXPECT_EQ(misses(*p, walled, walkers(5, 40), 200, 90, animals ? none : stain), 0) << "animals " << animals;
        EXPECT_NE(p->background(), nullptr);
    }
}

// Animals with dark shadows beside them. Light ones on a dark floor: once learned, the floor
// where a shadow passed or lay never looks like a light object. Dark ones on a light floor, their
// shadows as deep as half their own contrast, and small ones whose shadows reach two thirds of
// it (a cut above the shadows alone leaves too little of their rims): once the shadows are
// seen, each animal is found on its body, within 2 px.
TEST(CrowdDetect, ShadowsAreLeftOut) {
    const floor_fn dark = [](int x, int y) { return 62.0 + 4 * std::sin(x * 0.07 + y * 0.03); };
    struct shaded {
        int polarity;
        double radius, depth;
    };
    for (const shaded s : {shaded{1, 7, 28}, shaded{0, 7, 70}, shaded{0, 3, 100}}) {
        auto p = crowd({{"polarity", s.polarity}, {"animals", 4}});
        std::vector<mover> movers = walkers(4, s.polarity ? 210 : 40, s.radius);
        for (mover& m : movers) m.shadowX = s.polarity ? 4 : 6, m.shadowY = 3, m.shadowDepth = s.depth;
        EXPECT_EQ(misses(*p, s.polarity ? dark : plainFloor, movers, 300, s.polarity ? 0 : 40), 0) << s.radius;
    }
    // A still shadow lies on the floor through the samples (a lid's or a hand's), then goes: the
    // floor where it lay is no light object, nor does it hide the animals (before: one for good).
    auto later = crowd({{"polarity", 1}});
    std::vector<mover> light = walkers(4, 110, 7);
    int ghosts = 0;
    for (int frame = 0; frame < 250; ++frame, std::ranges::for_each(light, &mover::step)) {
        const floor_fn shaded = [&](int x, int y) {
            return dark(x, y) - (frame < 120 && std::abs(x - 120) < 9 && std::abs(y - 130) < 6 ? 50 : 0);
        };
        ghosts += !exactly(found(*later, picture(shaded, light, frame)), light) && frame >= 125;
    }
    EXPECT_EQ(ghosts, 0);
    // Pairs swimming side by side, 3 px apart at their rims: one's deep shadow falls over the gap
    // and the other's rim, and joined there the two were one blob.
    auto p = crowd({{"animals", 6}});
    std::vector<mover> movers = walkers(2, 40, 7);
    for (int i = 0; i < 2; ++i) movers.push_back(movers[size_t(i)]), movers.back().y += 17;
    for (int i = 0; i < 2; ++i) movers.push_back(walkers(4, 40, 7)[size_t(i + 2)]), movers.back().y -= 15;
    for (mover& m : movers) m.shadowX = 6, m.shadowY = 3, m.shadowDepth = 80;
    EXPECT_EQ(misses(*p, plainFloor, movers, 300, 100), 0);
}

// The contrast of a dozen lone animals, each drawn by `contrast(i, dx, dy)` around its centre.
double faintPartsJudgedShadow(const std::function<double(int, double, double)>& contrast) {
    dib_base weight(dib_fmt(kW, kH, 1, 0, false), 0), grey(dib_fmt(kW, kH, 1, 0, false), 0);
    dib_fill(weight, 0), dib_fill(grey, 100);
    for (int i = 0; i < 12; ++i) {
        const double cx = 24 + 48 * (i % 4), cy = 30 + 55 * (i / 4);
        around(cx, cy, 14, [&](int x, int y) { weight.row(y)[x] = uint8_t(contrast(i, x - cx, y - cy)); });
    }
    std::vector<crowd_run> runs;
    std::vector<int32_t> rowStart;
    crowd_findRuns(weight, runs, rowStart);
    crowd_blobs blobs;
    blobs.label(weight, grey, runs, rowStart);
    crowd_shadow shadow;
    for (int frame = 0; frame < 40; ++frame) shadow.note(weight, blobs, runs, 20, 180);
    return shadow.cut();
}

// A dark head with a fainter body 8 px off it, the way `heading(i)` for animal i.
std::function<double(int, double, double)> headAndBody(const std::function<double(int)>& heading) {
    return [heading](int i, double dx, double dy) {
        const double a = heading(i), head = std::clamp(4.5 - std::hypot(dx, dy), 0.0, 1.0);
        return std::max(140 * head, 60 * std::clamp(6.5 - std::hypot(dx - 8 * std::cos(a), dy - 8 * std::sin(a)), 0.0, 1.0));
    };
}

// A shadow lies off every animal the same way. A paler body behind a darker head lies off it
// the way each animal swims: though their mean leans one way (most swim right), it is no
// shadow, and the bodies are not cut away. Nor are they where a shadow as dark as the bodies
// lies off each (darker still where it falls on the body, its soft edge beyond): a cut above it
// would leave only the animals' small dark cores.
TEST(CrowdDetect, PaleBodyBehindADarkHeadIsNoShadow) {
    EXPECT_GT(faintPartsJudgedShadow(headAndBody([](int) { return 0.5; })), 0) << "a shadow cast the same way for all";
    EXPECT_EQ(faintPartsJudgedShadow(headAndBody([](int i) { return i < 5 ? 0.3 : 0.3 + (i - 5) * 2 * std::numbers::pi / 7; })), 0);
    EXPECT_EQ(faintPartsJudgedShadow([](int, double dx, double dy) {
                  const double r = std::hypot(dx, dy);
                  return r < 2 ? 200 : r < 6.5 ? (dy > 0 ? 120 : 60) : r < 10 && dy > 1 ? 60 : r < 13 && dy > 2 ? 30 : 0;
              }),
              0);
}

// Without the count of animals, a speck a sixth of an animal's area moving alone on the floor is
// no animal (a grain, a shadow's ghost); two such specks moving together are the pieces of one,
// and are found.
TEST(CrowdDetect, WithoutTheCountALoneSpeckIsNoAnimalPiecesTogetherAre) {
    auto p = crowd({});
    std::vector<mover> movers = walkers(3, 40);
    movers.insert(movers.end(), {{20, 120, 1.5, 0, 2.75, 40}, {26.5, 120, 1.5, 0, 2.75, 40}, {20, 60, 1, 0, 2.5, 40}});
    // (Before the pieces reach the wall, where they would run into each other.)
    EXPECT_EQ(misses(*p, plainFloor, movers, 130, 40, {}, 1), 0);
}

// One animal rests for the whole run, through every sample, beside others that move: it is
// found on every frame, before the background is learned and after.
TEST(CrowdDetect, RestingAnimalStaysFound) {
    for (int animals : {0, 4}) {
        auto p = crowd({{"animals", animals}});
        std::vector<mover> movers = walkers(4, 40);
        movers[0].vx = movers[0].vy = 0;
        EXPECT_EQ(misses(*p, plainFloor, movers, 250), 0) << "animals " << animals;
    }
}

// Four animals curled up in a C (worms, larvae), at rest from the first frame to the last,
// two of them lying together, beside two that walk, all counted. The centre of a C lies off
// its body, where no still patch is: seen there, the lone Cs were counted as animals moving
// besides their patches, and the count's surplus took the pair's patch for structure. Every C
// is found on every frame (the pair as two, however it is cut).
TEST(CrowdDetect, CurledAnimalsAtRestStayFound) {
    struct curl {
        double x, y, turn, cx = 0, cy = 0;
        bool on(int px, int py) const {
            const double r = std::hypot(px - x, py - y),
                         a = std::remainder(std::atan2(py - y, px - x) - turn, 2 * std::numbers::pi);
            return r > 6 && r < 12 && a < 2.2;
        }
    };
    // Between the walkers' lanes (y 30 and 150).
    std::vector<curl> curls = {{40, 90, 0}, {200, 90, 1}, {100, 90, 0}, {118, 90, std::numbers::pi}};
    for (curl& c : curls) {
        int n = 0;
        around(c.x, c.y, 12, [&](int x, int y) { c.on(x, y) ? c.cx += x, c.cy += y, ++n : 0; });
        c.cx /= n, c.cy /= n;
    }
    const floor_fn curled = [&](int x, int y) {
        return std::ranges::any_of(curls, [&](const curl& c) { return c.on(x, y); }) ? 40.0 : plainFloor(x, y);
    };
    auto p = crowd({{"animals", 6}});
    std::vector<mover> movers = walkers(2, 40, 9);  // as large as a C
    int lost = 0;
    for (int frame = 0; frame < 200; ++frame, std::ranges::for_each(movers, &mover::step)) {
        const auto objects = found(*p, picture(curled, movers, frame));
        auto near = [&](double x, double y, double reach) {
            return std::ranges::count_if(
                objects, [&](const ip_objectDetails& o) { return std::hypot(o.x - x, o.y - y) < reach; });
        };
        lost += (near(curls[0].cx, curls[0].cy, 2) == 0) + (near(curls[1].cx, curls[1].cy, 2) == 0);
        lost += near((curls[2].cx + curls[3].cx) / 2, (curls[2].cy + curls[3].cy) / 2, 14) < 2;
    }
    EXPECT_EQ(lost, 0);
}

// A grainy floor, its dark grains more numerous than the animals, and one of four animals at
// rest from the first frame: with the count known it is told from the grains by its size, so
// that the floor guessed from the first frames does not take it in, and it is found in every
// frame after the first (which sees the grains too), before the background is learned and after.
TEST(CrowdDetect, AnimalAtRestOnAGrainyFloorStaysFound) {
    const floor_fn grainy = [](int x, int y) {
        const int cell = (x / 12) * 31 + (y / 12) * 17;
        return plainFloor(x, y) - (cell % 3 == 0 && x % 12 < 4 && y % 12 < 4 ? 60.0 : 0.0);
    };
    auto p = crowd({{"animals", 4}});
    std::vector<mover> movers = walkers(4, 40);
    movers[0].vx = movers[0].vy = 0;
    int lost = 0;
    for (int frame = 0; frame < 120; ++frame, std::ranges::for_each(movers, &mover::step)) {
        const auto objects = found(*p, picture(grainy, movers, frame));
        lost += frame > 0 && std::none_of(objects.begin(), objects.end(), [&](const ip_objectDetails& o) {
            return std::hypot(o.x - movers[0].x, o.y - movers[0].y) < 2;
        });
    }
    EXPECT_EQ(lost, 0);
    // Without the count, grains that outnumber the animals but hold fewer of the object pixels
    // are no animals, from the first frame on, and the animals are found whole.
    const floor_fn sparse = [](int x, int y) {
        const int cell = (x / 12) * 31 + (y / 12) * 17;
        return plainFloor(x, y) - (cell % 13 == 0 && x % 12 < 4 && y % 12 < 4 ? 60.0 : 0.0);
    };
    EXPECT_EQ(misses(*crowd({}), sparse, walkers(5, 40), 60), 0);
}

// A thin dark ring all round, as a dish's wall shows inside the arena a user draws: while
// the floor is guessed from the frames (until the third sample) it is no object, and the
// animals that cross it are found whole and alone, from the first frame on (there it is one
// blob larger than several animals).
TEST(CrowdDetect, WallRingIsNoObjectWhileTheFloorIsGuessed) {
    const floor_fn ring = [](int x, int y) {
        return std::fabs(std::hypot(x - kW / 2.0, y - kH / 2.0) - 70) < 1.5 ? 95.0 : plainFloor(x, y);
    };
    EXPECT_EQ(misses(*crowd({{"animals", 5}}), ring, walkers(5, 40), 20), 0);
    // Its soft edges move by a third of a pixel from frame to frame, as noise, compression and
    // blur under a flicker move them, and without the count nothing else tells the pieces the
    // moving edges leave from animals.
    auto p = crowd({});
    std::vector<mover> movers = walkers(5, 40);
    int wrong = 0;
    for (int frame = 0; frame < 20; ++frame, std::ranges::for_each(movers, &mover::step)) {
        const double radius = 70 + (frame * 3 % 5 - 2) / 6.0;
        const floor_fn moved = [&](int x, int y) {
            const double c = std::clamp(2 - std::fabs(std::hypot(x - kW / 2.0, y - kH / 2.0) - radius), 0.0, 1.0);
            return plainFloor(x, y) * (1 - c) + 95 * c;
        };
        wrong += !exactly(found(*p, picture(moved, movers, frame)), movers);
    }
    EXPECT_EQ(wrong, 0);
}

// Specks of a pixel or two, 14 levels dark, flicker all over the floor, as compression
// leaves them: the contrast an object needs stays well above them once the background is
// learned (chosen from the specks it would sink to them and stay there).
TEST(CrowdDetect, ContrastStaysAboveSpecks) {
    auto p = crowd({{"animals", 5}});
    std::vector<mover> movers = walkers(5, 40);
    std::mt19937 random(5);
    for (int frame = 0; frame < 160; ++frame, std::ranges::for_each(movers, &mover::step)) {
        dib_base f = picture(plainFloor, movers, frame);
        for (int k = 0; k < 300; ++k) {
            const int x = int(random() % (kW - 1)), y = int(random() % kH);
            f.row(y)[x] = uint8_t(f.row(y)[x] - 14), f.row(y)[x + 1] = uint8_t(f.row(y)[x + 1] - 14 * (k % 2));
        }
        found(*p, f);
        EXPECT_TRUE(frame < 80 || p->contrastInUse() >= 30) << "frame " << frame << ": " << p->contrastInUse();
    }
}

// A 64 x 48 background that takes a sample from every frame, nine of them. until(n, paint)
// feeds it frames up to n, each a floor at 180 with nothing marked and no shadow, drawn over by
// `paint(i, grey, weight, shadow)`; the shadow image is told to it when `shaded`.
struct sampledBackground {
    const dib_fmt format{64, 48, 1, 0, true};
    crowd_background background;
    crowd_frameFacts facts;
    bool shaded = false;
    int frame = 0;
    sampledBackground() { background.restart(format, 9, 1); }
    template <class Paint>
    void until(int last, Paint&& paint) {
        for (; frame < last; ++frame) {
            dib_base grey(format, 0), weight(format, 0), shadow(format, 0);
            dib_fill(grey, 180), dib_fill(weight, 0), dib_fill(shadow, 0);
            paint(frame, grey, weight, shadow);
            facts.shaded = shaded ? &shadow : nullptr;
            if (frame == 0) background.start(grey, 0);
            background.learn(grey, weight, facts, false);
        }
    }
};

// A patch that most samples marked and that is taken for structure, but that some samples
// saw free (an animal that moved about it, or left it): the floor those samples saw is the
// background there; a patch no sample saw free keeps the samples' median.
TEST(CrowdDetect, StructureSeenFreeTakesTheFloor) {
    sampledBackground b;
    b.facts.still.singleArea = 20;  // both patches are larger than six animals: structure
    b.until(9, [](int i, dib_base& grey, dib_base& weight, dib_base&) {
        for (int y = 10; y < 30; ++y)
            for (int x = 4; x < 60; ++x) {
                const bool there = x < 30 || i < 6;  // the left half stays, the right leaves
                grey.row(y)[x] = there ? 60 : 180, weight.row(y)[x] = there ? 120 : 0;
            }
    });
    ASSERT_TRUE(b.background.learned());
    EXPECT_EQ(std::make_pair(b.background.image()->row(20)[10], b.background.image()->row(20)[50]),
              std::make_pair(uint8_t(60), uint8_t(180)));
}

// An animal lay in six of nine samples but was marked in only four (the background held it in
// between, as the floor guessed from the first frames may): the median keeps it. Once it has
// walked off, the floor it leaves stands out brighter at two steps in a row, away from any
// object, and is taken at once; a glint that drifts on from step to step only draws the
// background a level towards it.
TEST(CrowdDetect, FloorAnAnimalLeftIsTakenAtOnceAGlintIsNot) {
    sampledBackground b;
    const auto paint = [](int i, dib_base& grey, dib_base& weight, dib_base&) {
        for (int y = 20; y < 26; ++y)
            for (int x = 20; x < 30; ++x)
                if (i < 6) grey.row(y)[x] = 60, weight.row(y)[x] = i < 3 || i == 5 ? 120 : 0;
        for (int y = 6; y < 9 && i >= 9; ++y)
            for (int x = 4 * i + 6; x < 4 * i + 9; ++x) grey.row(y)[x] = 250;
    };
    b.until(9, paint);
    ASSERT_EQ(b.background.image()->row(22)[24], 60);
    b.until(12, paint);
    EXPECT_EQ(b.background.image()->row(22)[24], 180);
    for (int x = 40; x < 53; ++x) EXPECT_LE(b.background.image()->row(7)[x], 181) << x;
}

// A slow animal's shadow, left out of the objects, lay on one patch in six of nine samples:
// the floor the other three saw is the background there, not the shadow the median would keep.
TEST(CrowdDetect, ShadowInMostSamplesStaysOutOfTheBackground) {
    sampledBackground b;
    b.shaded = true;
    b.until(9, [](int i, dib_base& grey, dib_base&, dib_base& shadow) {
        for (int y = 20; y < 30; ++y)
            for (int x = 20; x < 40 && i < 6; ++x) grey.row(y)[x] = 90, shadow.row(y)[x] = 1;
    });
    ASSERT_TRUE(b.background.learned());
    EXPECT_EQ(b.background.image()->row(25)[30], 180);
}

// With the count known: a heap of three animals' area that lay in every sample; a patch as
// large that less than half of lay in every sample, and a small one that lay in all but where
// the animals seen moved: slow animals crossing, taken for animals (the floor around them),
// those seen on them counted as moving. With 4 animals the heap is structure; with 7, and the
// samples seeing 8 (one counted twice), three of them on the heap, it rests.
TEST(CrowdDetect, PatchCrossedBySlowAnimalsIsNoStructure) {
    for (int animals : {4, 7}) {
        dib_base median(dib_fmt(80, 40, 1, 0, true), 0), still(median.format(), 0);
        dib_fill(median, 180), dib_fill(still, 0);
        crowd_stillRules rules{.animals = animals, .singleArea = 100, .always = std::vector<uint8_t>(80 * 40)};
        for (int32_t k = 0; k < 3; ++k) {
            rules.seen.push_back({{40, 35, 1}, {56 + 3 * k, 17, 1}, {66 + 2 * k, 12, 1}, {29 + 2 * k, 32, 1}});
            if (animals == 7) rules.seen.back()[0].count = 2, rules.seen.back().push_back({15, 17, 3});
        }
        for (int y = 10; y < 35; ++y)
            for (int x = 5; x < 75; ++x)
                if (y < 25 ? x < 27 || x > 52 : y > 30 && x > 28 && x < 36)
                    median.row(y)[x] = 60, still.row(y)[x] = 1, rules.always[size_t(y * 80 + x)] = x < 36 || x > 70;
        EXPECT_EQ(crowd_keepStillAnimals(median, still, rules).structures, animals == 4) << animals;
        EXPECT_EQ(std::make_tuple(median.row(15)[10], median.row(15)[60], median.row(33)[30]),
                  std::make_tuple(uint8_t(animals == 4 ? 60 : 180), uint8_t(180), uint8_t(180)));
    }
}

// Four animals counted, one seen moving in every sample. Of the still patches, a large animal
// counted as two by its area and two a third of one: the count leaves room for one of these.
// The one every sample saw one animal on, in one place, rests (the first in line to go by its
// area); the other, where the samples saw one in a different place each time, is structure.
TEST(CrowdDetect, SmallAnimalSeenRestingInEverySampleOutlivesTheCountsSurplus) {
    dib_base median(dib_fmt(80, 40, 1, 0, true), 0), still(median.format(), 0);
    dib_fill(median, 180), dib_fill(still, 0);
    crowd_stillRules rules{.animals = 4, .singleArea = 100, .always = {}};
    auto patch = [&](int x0, int y0, int w, int h) {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) median.row(y)[x] = 60, still.row(y)[x] = 1;
    };
    patch(5, 5, 5, 7), patch(25, 5, 20, 10), patch(60, 5, 5, 7);
    for (int k = 0; k < 3; ++k)
        rules.seen.push_back({{7, 8, 1}, {35, 10, 1}, {20 + 5 * k, 30, 1}, {60 + 2 * k, 6 + 2 * k, 1}});
    EXPECT_EQ(crowd_keepStillAnimals(median, still, rules).structures, 1);
    EXPECT_EQ(std::make_tuple(median.row(8)[7], median.row(10)[35], median.row(8)[62]),
              std::make_tuple(uint8_t(180), uint8_t(180), uint8_t(60)));
}

// Without the count, no arena drawn: a patch of one animal's area across the dish's wall, where
// the floor changes level, is structure; one on the floor 8 px from the change, within its own
// radius, is an animal at rest, taking the floor.
TEST(CrowdDetect, PatchWhereTwoFloorsMeetIsStructure) {
    dib_base median(dib_fmt(80, 48, 1, 0, true), 0), still(median.format(), 0);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 80; ++x) {
            const bool wall = y >= 26 && y < 34 && x >= 5 && x < 30, animal = y >= 14 && y < 22 && x >= 45 && x < 70;
            median.row(y)[x] = wall ? 20 : animal ? 60 : y < 30 ? 180 : 110, still.row(y)[x] = wall || animal;
        }
    const auto r = crowd_keepStillAnimals(median, still, {.singleArea = 200, .animalContrast = 120, .always = {}});
    EXPECT_EQ(std::make_tuple(r.animals, r.structures, median.row(30)[10], median.row(18)[50]),
              std::make_tuple(1, 1, uint8_t(20), uint8_t(180)));
}

// Without the count: beside an animal at rest (16 x 6), patches of its contrast shaped like
// lines: a half ring of a wall's rim 1.5 px wide (no more elongated than the animal, but
// nowhere thick), a straight seam 3 px wide and 40 long, and a wider rim's arc 3 px wide and
// twice the animal's area (a crescent to its moments, with a core, but three animals long).
// The floor painted beyond a drawn arena leaves no second floor to tell a rim by; only the
// animal rests, taking the floor, and the lines stay in the background.
TEST(CrowdDetect, LinesOfAnAnimalsAreaAreStructure) {
    dib_base median(dib_fmt(100, 80, 1, 0, true), 0), still(median.format(), 0);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 100; ++x) {
            const double r = std::hypot(x - 75, y - 30), wide = std::hypot(x - 55, y - 79);
            const bool animal = y >= 10 && y < 16 && x >= 10 && x < 26;
            const bool rim = r >= 12 && r < 13.5 && y < 30, seam = y >= 40 && y < 43 && x >= 5 && x < 45;
            const bool arc = wide >= 17 && wide < 20 && y < 79;
            median.row(y)[x] = animal || rim || seam || arc ? 80 : 180, still.row(y)[x] = animal || rim || seam || arc;
        }
    const crowd_stillRules rules{.singleArea = 96, .animalContrast = 100, .animalElongation = 2.7, .always = {}};
    const auto r = crowd_keepStillAnimals(median, still, rules);
    EXPECT_EQ(std::make_tuple(r.animals, r.structures, median.row(12)[15], median.row(41)[20], median.row(29)[62]),
              std::make_tuple(1, 3, uint8_t(180), uint8_t(80), uint8_t(80)));
    EXPECT_EQ(median.row(61)[55], 80) << "the wide arc stays in the background";
}

// An animal at rest with its shadow beside it, as deep as half the floor, at the shadows' known
// shift: its own shadow is no second floor around it, and it stays an animal, taking the floor.
TEST(CrowdDetect, RestingAnimalsOwnShadowIsNoOtherFloor) {
    dib_base median(dib_fmt(80, 48, 1, 0, true), 0), still(median.format(), 0);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 80; ++x) {
            const bool animal = y >= 16 && y < 24 && x >= 30 && x < 38;
            const bool shadow = y >= 20 && y < 30 && x >= 35 && x < 45;
            median.row(y)[x] = animal ? 60 : shadow ? 95 : 180, still.row(y)[x] = animal;
        }
    crowd_stillRules rules{.singleArea = 64, .animalContrast = 120, .always = {}};
    rules.shadowed = true, rules.shadowX = 6, rules.shadowY = 5;
    const auto r = crowd_keepStillAnimals(median, still, rules);
    EXPECT_EQ(std::make_tuple(r.animals, median.row(20)[33]), std::make_tuple(1, uint8_t(180)));
}

// A floor lit from one side (100 to 220 across the frame): the animals are found from the
// first frame on, against the floor guessed from the frames themselves; and one animal
// alone against the frame's own flat floor level (background 2).
TEST(CrowdDetect, FoundFromTheFirstFrame) {
    const floor_fn sloped = [](int x, int) { return 100.0 + 120.0 * x / kW; };
    auto p = crowd({});
    EXPECT_EQ(misses(*p, sloped, walkers(5, 30, 7), 30), 0);
    EXPECT_EQ(counters(*p)["provisional_background"], 30);
    EXPECT_EQ(misses(*crowd({{"background", 2}}), plainFloor, walkers(1, 60), 5), 0);
}

// A white frame on a sampled frame, five white frames in a row, and the lamp dimmed to 40%
// for good: the animals are found again within `samples` frames of each, every white frame
// gives nothing (not one frame-sized blob), and the frames are counted.
TEST(CrowdDetect, FlashesAndDimmingRecoverAndAreCounted) {
    auto p = crowd({{"animals", 5}});
    std::vector<mover> movers = walkers(5, 40);
    const int white[] = {40, 150, 151, 152, 153, 154};
    int wrong = 0;
    for (int frame = 0; frame < 320; ++frame, std::ranges::for_each(movers, &mover::step)) {
        const bool flash = std::find(std::begin(white), std::end(white), frame) != std::end(white);
        const auto objects =
            found(*p, flash ? picture(glare, {}, frame) : picture(plainFloor, movers, frame, frame >= 240 ? 0.4 : 1.0));
        EXPECT_TRUE(!flash || objects.empty()) << "frame " << frame;
        const bool settling =
            (frame > 40 && frame <= 49) || (frame > 154 && frame <= 163) || (frame >= 240 && frame < 249);
        if (!flash && !settling) wrong += !exactly(objects, movers);
    }
    EXPECT_EQ(wrong, 0);
    const auto counted = counters(*p);
    EXPECT_EQ(counted.at("lighting_events"), 6);
    EXPECT_GE(counted.at("brightness_jumps"), 1);
}

// A lamp that swings by a quarter either way every 40 frames, while the background is learned
// and after, under animals of a modest contrast: each frame is fitted, and the samples, taken
// at other brightnesses, agree (each sample's own light would leave the floor a patchwork
// that the contrast an object needs no longer clears).
TEST(CrowdDetect, FlickerIsFollowed) {
    for (int animals : {0, 5}) {
        auto p = crowd({{"animals", animals}});
        std::vector<mover> movers = walkers(5, 110);
        int wrong = 0;
        for (int frame = 0; frame < 200; ++frame, std::ranges::for_each(movers, &mover::step)) {
            const double lamp = 1 + 0.25 * std::sin(frame * 2 * std::numbers::pi / 40);
            wrong += !exactly(found(*p, picture(plainFloor, movers, frame, lamp)), movers);
        }
        EXPECT_EQ(wrong, 0) << "animals " << animals;
    }
}

// The counters as a host reads them: six, named and with a hint, in a fixed order.
TEST(CrowdDetect, CountersNamedWithHints) {
    auto p = crowd({{"contrast", 254}});
    for (int frame = 0; frame < 3; ++frame) found(*p, picture(plainFloor, walkers(2, 40), frame));
    std::vector<ip_counterRecord> c(6);
    ASSERT_EQ(ip_writeCounters(*p, c.data(), int(c.size()), sizeof c[0]), 6);
    for (const auto& r : c) EXPECT_GT(std::string(r.hint).size(), 40u) << r.name;
    EXPECT_EQ(counters(*p)["no_contrast"], 3);
}

// Four animals counted, and two faint blobs drifting by (out-of-focus debris, 14 levels under
// the floor where the animals lie 140 under it), found at a contrast set as low as 8: beyond
// the count the faint ones are no animals, once the background is learned.
TEST(CrowdDetect, FaintBlobsBeyondTheCountAreNoAnimals) {
    auto p = crowd({{"animals", 4}, {"contrast", 8}});
    std::vector<mover> movers = walkers(6, 40);
    movers[4].value = movers[5].value = 168;
    EXPECT_EQ(misses(*p, plainFloor, movers, 160, 100, {}, 2), 0);
}

// Five animals apart, counted as three: the frames past the guessed floor are counted as
// holding more than the count; counted right, none is.
TEST(CrowdDetect, MoreAnimalsApartThanCountedAreCounted) {
    for (int animals : {3, 5}) {
        auto p = crowd({{"animals", animals}});
        misses(*p, plainFloor, walkers(5, 40), 120);
        EXPECT_EQ(std::min<int64_t>(counters(*p)["more_than_counted"], 60), animals == 3 ? 60 : 0) << animals;
    }
}

// The contrast against a background under the frame's light, and the background's step
// towards the frame in the blocks not frozen, repaired at once only in the repairable ones:
// vectors or not, exactly what the plain code below gives.
TEST(CrowdDetectKernels, LightAndBlockMasksMatchThePlainCode) {
    ref::eachMode([] {
        for (int w : {1, 15, 16, 33, 64, 129, 200})
            for (int sz : {1, 3}) {
                SCOPED_TRACE(testing::Message() << w << " wide, " << sz << " bytes");
                const int h = 37;
                std::mt19937 random(unsigned(w * 7 + sz));
                const dib_base in = crowd_test::blocks(w, h, sz, random), bg = crowd_test::blocks(w, h, 1, random);
                dib_base weight(dib_fmt(w, h, 1, 0, true), 0), grey = weight;
                const contrast_light light{int(200 + 37 * w % 900), w % 2 ? -40 : 25};
                const int polarity = w % 3, cut = 9 + w % 30;
                do_contrast(in, &bg, 0, contrast_polarity(polarity), cut, weight, &grey, light);
                crowd_blockMask frozen, repairable;
                frozen.clear(w, h), repairable.clear(w, h);
                for (size_t i = 0; i < frozen.marked.size(); ++i)
                    frozen.marked[i] = i % 3 == 1, repairable.marked[i] = i % 2;
                dib_base followed = bg;
                crowd_follow(grey, weight, polarity, cut, followed, &frozen, &repairable);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const int g = grey.row(y)[x], b = bg.row(y)[x];
                        const int lit = std::clamp(((b * light.gain) >> 9) + light.offset, 0, 255);
                        const int d = polarity == 2 ? std::abs(g - lit) : std::max(polarity ? g - lit : lit - g, 0);
                        ASSERT_EQ(weight.row(y)[x], d > cut ? d : 0) << x << "," << y;
                        const bool still = weight.row(y)[x] || frozen.at(x, y);
                        const bool wrong =
                            repairable.at(x, y) && ((polarity == 0 && g > b + cut) || (polarity == 1 && g + cut < b));
                        ASSERT_EQ(followed.row(y)[x], still ? b : wrong ? g : b + (g > b) - (g < b)) << x << "," << y;
                    }
            }
    });
}

}  // namespace
