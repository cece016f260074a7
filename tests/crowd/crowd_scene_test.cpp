// The generated lab scenes the crowd tracker is measured on: the same frames and truth for a
// seed, truth that is the centre of mass of what is drawn, contacts that agree with it, and
// the light's events where they were asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "lab_body.h"
#include "lab_scene.h"

namespace {

using crowd_scene::kind;

crowd_scene::lab_settings small(kind k, uint64_t seed) {
    crowd_scene::lab_settings s = crowd_scene::preset(k);
    s.width = 320, s.height = 240, s.seed = seed, s.animals = std::min(s.animals, 12);
    s.length = std::min(s.length, 30.0);
    return s;
}

// Every kind: the same seed gives the same frames and truth, another seed others; an animal
// alone shares nothing, one overlapping shares some of its body, and its group holds it and
// another.
TEST(LabScene, SameSeedSameFramesAndTruth) {
    for (kind k : {kind::fish, kind::flies, kind::light, kind::rim, kind::larvae}) {
        SCOPED_TRACE(crowd_scene::kind_name(k));
        crowd_scene::lab_scene a(small(k, 5)), b(small(k, 5)), other(small(k, 6));
        for (int f = 0; f < 6; ++f, a.next(), b.next(), other.next()) {
            ASSERT_EQ(a.grey(), b.grey()) << "frame " << f;
            ASSERT_NE(a.grey(), other.grey()) << "frame " << f;
            ASSERT_EQ(a.truth().size(), 12u);
            for (size_t i = 0; i < a.truth().size(); ++i) {
                const crowd_scene::animal_truth &t = a.truth()[i], &u = b.truth()[i];
                ASSERT_TRUE(t.centre.x == u.centre.x && t.centre.y == u.centre.y && t.heading == u.heading);
                EXPECT_EQ(t.contact == 0, t.shared == 0) << i;
                EXPECT_EQ(t.contact == 0, t.cluster == 1) << i;
            }
        }
    }
}

// A straight body with a profile symmetric end to end, at any angle and sub-pixel place: its
// centre of mass is its middle.
TEST(LabScene, StraightSymmetricBodyCentredOnItsMiddle) {
    for (double angle : {0.0, 0.3, 1.1, 2.5}) {
        const crowd_scene::point middle{40.37, 33.81};
        std::vector<crowd_scene::point> nodes;
        std::vector<double> radii;
        for (int k = 0; k < crowd_scene::body::kNodes; ++k) {
            const double along = 15.0 - 30.0 * k / (crowd_scene::body::kNodes - 1);
            nodes.push_back({middle.x + along * std::cos(angle), middle.y + along * std::sin(angle)});
            radii.push_back(crowd_scene::body::half_width(kind::larvae, double(k) / (crowd_scene::body::kNodes - 1), 7));
        }
        crowd_scene::body::patch p;
        crowd_scene::body::draw(nodes, radii, 1.0, 80, 70, p);
        const crowd_scene::point c = crowd_scene::body::centre_of_mass(p);
        EXPECT_NEAR(c.x, middle.x, 0.02) << angle;
        EXPECT_NEAR(c.y, middle.y, 0.02) << angle;
    }
}

// One animal, no noise, blur or light effects: the picture's difference from the empty floor,
// as a share of the body's contrast, weighs the pixels to a centre within half a pixel of the
// truth, for a body that tapers to a thin pale tail (fish) and a light one with a shadow; the
// midline runs inside the body.
TEST(LabScene, PictureAgreesWithTheTruth) {
    for (kind k : {kind::fish, kind::light}) {
        crowd_scene::lab_settings s = small(k, 3);
        s.animals = 0, s.noise = 0, s.blur = 0, s.marks = 0, s.light = {};
        const std::vector<uint8_t> floor = crowd_scene::lab_scene(s).grey();  // the empty floor
        s.animals = 1;
        crowd_scene::lab_scene scene(s);
        for (int f = 0; f < 40; ++f, scene.next()) {
            const std::vector<uint8_t> g = scene.grey();
            double n = 0, sx = 0, sy = 0;
            for (int y = 0; y < s.height; ++y)
                for (int x = 0; x < s.width; ++x) {
                    const size_t i = size_t(y * s.width + x);
                    const double w = std::clamp((double(g[i]) - floor[i]) / (s.body - s.floor), 0.0, 1.0);
                    n += w, sx += w * x, sy += w * y;
                }
            const crowd_scene::animal_truth& t = scene.truth()[0];
            EXPECT_LT(std::hypot(sx / n - t.centre.x, sy / n - t.centre.y), 0.5) << crowd_scene::kind_name(k) << f;
            const std::vector<float> cover = scene.coverage(0);
            for (size_t m = 1; m + 1 < t.midline.size(); ++m) {
                const crowd_scene::point p = t.midline[m];
                EXPECT_GT(cover[size_t(std::lround(p.y)) * size_t(s.width) + size_t(std::lround(p.x))], 0.3f);
            }
            EXPECT_NEAR(t.length, s.length, s.length * (s.lengthSpread + 0.08));
        }
    }
}

double mean(const std::vector<uint8_t>& g) { return std::accumulate(g.begin(), g.end(), 0.0) / double(g.size()); }

// White where asked and nowhere else; the floor dimmed from its level to the one asked from
// the frame asked on; the animals go on through both.
TEST(LabScene, FlashesAndDimmingWhereAsked) {
    crowd_scene::lab_settings s = small(kind::flies, 2);
    s.light = {}, s.timeline.flashes = {3, 4, 9}, s.timeline.dimFrame = 6, s.timeline.dimTo = 80;
    crowd_scene::lab_scene scene(s);
    std::vector<double> means;
    for (int f = 0; f < 11; ++f, scene.next()) {
        const std::vector<uint8_t> g = scene.grey();
        const bool white = std::all_of(g.begin(), g.end(), [](uint8_t v) { return v == 255; });
        EXPECT_EQ(white, f == 3 || f == 4 || f == 9) << f;
        EXPECT_EQ(scene.flash(), white) << f;
        EXPECT_EQ(scene.truth().size(), 12u);
        means.push_back(mean(g));
    }
    EXPECT_NEAR(means[7] / means[5], 80.0 / s.floor, 0.02);
    EXPECT_NEAR(means[10] / means[2], 80.0 / s.floor, 0.02);
    EXPECT_NEAR(means[2] / means[0], 1.0, 0.01);
}

}  // namespace
