// Measuring a shaking camera's shift against the background, and reading the frame back.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "crowd/crowd_steady.h"
#include "lab_scene.h"

namespace {

dib_base plane(int w, int h) { return dib_base(dib_fmt(w, h, 1, 0, false), 0); }

// Fish under a flickering lamp, the camera shaking up to 2 px, measured against the empty
// floor seen at the first frame's place; with the outside of the arena painted over by the
// host as well (its edge stays where the frame is). Every shift within a tenth of a pixel.
TEST(CrowdSteady, ShiftOfAShakingCameraWithinATenthOfAPixel) {
    crowd_scene::lab_settings s = crowd_scene::preset(crowd_scene::kind::fish);
    s.seed = 3, s.shake = 2, s.light.flicker = 8;
    for (bool painted : {false, true}) {
        crowd_scene::lab_settings empty = s;
        empty.animals = 0;
        crowd_scene::lab_scene scene(s), floor(empty);
        dib_base reference = plane(s.width, s.height), frame = plane(s.width, s.height), out = plane(s.width, s.height);
        const crowd_scene::circle drawn = scene.drawn();
        const auto paint = [&](dib_base& image) {
            for (int y = 0; y < s.height && painted; ++y)
                for (int x = 0; x < s.width; ++x)
                    if (std::hypot(x - drawn.x, y - drawn.y) > drawn.r) image.row(y)[x] = 190;
        };
        floor.grey(reference.row(0), reference.row(1) - reference.row(0));
        paint(reference);
        const crowd_scene::point first = scene.shaken();
        crowd_steady steady;
        for (int i = 1; i <= 40; ++i) {
            scene.next();
            scene.grey(frame.row(0), frame.row(1) - frame.row(0));
            paint(frame);
            const crowd_scene::point moved{scene.shaken().x - first.x, scene.shaken().y - first.y};
            const bool steadied = steady.steady(frame, &reference, true, out);
            // The camera is taken to shake once a few frames jumped.
            EXPECT_TRUE(steadied || i <= 10 || std::hypot(moved.x, moved.y) < 0.35) << "frame " << i;
            if (!steadied) continue;
            EXPECT_NEAR(steady.shift().x, moved.x, 0.1) << "frame " << i << " painted " << painted;
            EXPECT_NEAR(steady.shift().y, moved.y, 0.1) << "frame " << i << " painted " << painted;
        }
    }
}

// A camera knocked aside once, then still: read back within a few frames of the knock, at the
// knock's shift, and, the outside of the arena painted over by the host where the frame is,
// the frame's own pixels kept up to two pixels from the paint (an animal along the wall stays).
TEST(CrowdSteady, KnockedCameraReadBackUpToThePaint) {
    crowd_scene::lab_settings s = crowd_scene::preset(crowd_scene::kind::fish);
    s.seed = 4, s.timeline.knockFrame = 10, s.timeline.knock = {2.5, -1.5};
    crowd_scene::lab_settings empty = s;
    empty.animals = 0;
    crowd_scene::lab_scene scene(s), floor(empty);
    dib_base reference = plane(s.width, s.height), frame = plane(s.width, s.height), out = plane(s.width, s.height),
             plain = plane(s.width, s.height);
    const crowd_scene::circle drawn = scene.drawn();
    const auto outside = [&](double x, double y) { return std::hypot(x - drawn.x, y - drawn.y) > drawn.r; };
    const auto paint = [&](dib_base& image) {
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x)
                if (outside(x, y)) image.row(y)[x] = 190;
    };
    floor.grey(reference.row(0), reference.row(1) - reference.row(0));
    paint(reference);
    crowd_steady steady;
    for (int i = 1; i <= 30; ++i) {
        scene.next();
        scene.grey(frame.row(0), frame.row(1) - frame.row(0));
        paint(frame);
        const bool steadied = steady.steady(frame, &reference, true, out);
        EXPECT_EQ(steadied, i >= 16) << "frame " << i;
        if (!steadied) continue;
        EXPECT_NEAR(steady.shift().x, 2.5, 0.1) << "frame " << i;
        EXPECT_NEAR(steady.shift().y, -1.5, 0.1) << "frame " << i;
        crowd_readShifted(frame, steady.shift(), plain);
        int64_t kept = 0, filled = 0;
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x) {
                const double fx = x + steady.shift().x, fy = y + steady.shift().y;
                if (outside(x, y) || std::hypot(fx - drawn.x, fy - drawn.y) > drawn.r - 3) continue;
                ++(out.row(y)[x] == plain.row(y)[x] ? kept : filled);
            }
        EXPECT_EQ(filled, 0) << "frame " << i << " of " << kept;
    }
}

// Nothing to measure by: a floor of noise alone, and discs that all moved alike on a plain
// floor. Neither is a camera's shake.
TEST(CrowdSteady, NoShiftWithoutStructure) {
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0, 3);
    dib_base reference = plane(200, 150), frame = plane(200, 150), out = plane(200, 150);
    const auto draw = [&](dib_base& image, int discsAt) {
        for (int y = 0; y < 150; ++y)
            for (int x = 0; x < 200; ++x) {
                const bool disc = discsAt >= 0 && std::hypot((x - discsAt) % 50 - 25, y % 50 - 25) < 8;
                image.row(y)[x] = uint8_t(std::lround((disc ? 60 : 180) + noise(random)));
            }
    };
    draw(reference, -1);
    crowd_steady steady;
    for (int i = 0; i < 20; ++i) {
        draw(frame, i % 2 ? -1 : 3 * i);
        EXPECT_FALSE(steady.steady(frame, &reference, true, out)) << "frame " << i;
    }
}

// Read back by whole and by part pixels: a ramp moved by (1.5, -2) reads as the ramp at the
// reference's place, the frame's border repeated beyond it.
TEST(CrowdSteady, ReadBackBetweenPixels) {
    dib_base frame = plane(40, 30), out = plane(40, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) frame.row(y)[x] = uint8_t(4 * x + 2 * y);
    crowd_readShifted(frame, {1.5, -2}, out);
    for (int y = 2; y < 30; ++y)
        for (int x = 0; x < 38; ++x) EXPECT_EQ(out.row(y)[x], 4 * x + 6 + 2 * (y - 2)) << x << "," << y;
    for (int x = 0; x < 38; ++x) EXPECT_EQ(out.row(0)[x], 4 * x + 6);
    EXPECT_EQ(out.row(10)[39], 4 * 39 + 2 * 8);
}

}  // namespace
