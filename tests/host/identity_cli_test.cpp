// Posture and identities by appearance through the program: small generated scenes run by the
// built ambrevo with the crowd procedure, their track files read back.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>

#include "cli_util.h"

namespace {

// A dark ellipse on the floor: where it is and how it lies at each frame it is drawn.
struct Body {
    std::function<cv::Point2d(int)> at;
    double half_length, half_width;
    std::function<double(int)> angle = [](int) { return 0.0; };  // degrees
    std::function<bool(int)> shown = [](int) { return true; };
};

// PNG frames 000.png ... of `bodies` on a light floor with a little noise, as an image sequence.
void drawScene(const TempDir& dir, int frames, const std::vector<Body>& bodies) {
    cv::RNG rng(7);
    for (int f = 0; f < frames; ++f) {
        cv::Mat frame(160, 240, CV_8UC1, cv::Scalar(190));
        cv::Mat noise(frame.size(), CV_8SC1);
        rng.fill(noise, cv::RNG::NORMAL, 0, 2);
        cv::add(frame, noise, frame, cv::noArray(), CV_8U);
        for (const Body& b : bodies) {
            if (!b.shown(f)) continue;
            const cv::Point2d c = b.at(f);
            cv::ellipse(frame, cv::Point(int(std::lround(c.x * 16)), int(std::lround(c.y * 16))),
                        cv::Size(int(b.half_length * 16), int(b.half_width * 16)), b.angle(f), 0, 360,
                        cv::Scalar(60), -1, cv::LINE_AA, 4);
        }
        char name[32];
        std::snprintf(name, sizeof name, "%03d.png", f);
        cv::imwrite(dir / name, frame);
    }
}

// Two animals of one look but their size, the small one from the left and the large one from
// the right: they meet, lie over each other, and each turns back the way it came, where their
// motion tells the wrong story. A third object, in a corner for a while, is no animal.
std::vector<Body> bounceScene() {
    auto along = [](double from, double speed, double y) {
        return [=](int f) { return cv::Point2d(from + speed * (f <= 28 ? f : 56 - f), y); };
    };
    Body small{along(50, 2.5, 78), 6, 6}, large{along(190, -2.5, 82), 10, 10};
    Body ghost{[](int f) { return cv::Point2d(25 + f, 22); }, 8, 8};
    ghost.shown = [](int f) { return f >= 10 && f < 26; };
    return {small, large, ghost};
}

// Each identity's area class (small or large) on the frames the two animals lie apart.
std::map<long long, std::set<bool>> sizesByIdentity(const Table& r) {
    std::map<long long, std::set<bool>> sizes;
    for (size_t i = 0; i < r.rows.size(); ++i) {
        const int frame = int(r.number(i, "frame"));
        if (r.cell(i, "missing") == "1" || std::abs(frame - 28) < 12 || r.number(i, "y") < 50) continue;
        sizes[std::stoll(r.cell(i, "track"))].insert(r.number(i, "area") > 200);
    }
    return sizes;
}

}  // namespace

TEST(IdentityCli, TwoLookAlikesThatTurnBackKeepTheirIdentitiesBySizeAndTheCountHolds) {
    TempDir dir;
    drawScene(dir, 60, bounceScene());
    const std::string run = "%03d.png --procedure crowd --quiet --link 15,5,predict,global";
    // By motion alone the tracks go on the way the animals came: a track takes both sizes, or
    // one goes on with a piece of the other animal and the two are followed by three tracks.
    ASSERT_EQ(cli::run(dir, run + " --tracks linked.csv").status, 0);
    const Table linked(dir / "linked.csv");
    EXPECT_FALSE(linked.has("confidence"));
    const auto byMotion = sizesByIdentity(linked);
    bool mixed = byMotion.size() > 2;
    for (const auto& [track, sizes] : byMotion) mixed = mixed || sizes.size() > 1;
    ASSERT_TRUE(mixed) << "the scene should mislead the linker";

    ASSERT_EQ(cli::run(dir, run + " --animals 2 --tracks t.csv").status, 0);
    const Table r(dir / "t.csv");
    const auto sizes = sizesByIdentity(r);
    ASSERT_EQ(sizes.size(), 2u);
    for (const auto& [identity, seen] : sizes) EXPECT_EQ(seen.size(), 1u) << "identity " << identity;

    // Exactly the two identities, each once a frame; the third object is none of them. An
    // identity not seen has a missing row on every frame between two sightings, and no
    // confidence there.
    std::map<long long, std::set<int>> frames;
    for (size_t i = 0; i < r.rows.size(); ++i) {
        const long long identity = std::stoll(r.cell(i, "track"));
        const bool missing = r.cell(i, "missing") == "1";
        EXPECT_TRUE(r.number(i, "y") >= 40 || missing || identity == -1) << "row " << i;
        if (identity < 0) continue;
        EXPECT_TRUE(frames[identity].insert(int(r.number(i, "frame"))).second) << "row " << i;
        EXPECT_EQ(r.cell(i, "confidence").empty(), missing) << "row " << i;
        EXPECT_TRUE(missing || (r.number(i, "confidence") >= 0 && r.number(i, "confidence") <= 1)) << "row " << i;
    }
    ASSERT_EQ(frames.size(), 2u);
    for (const auto& [identity, seen] : frames) EXPECT_EQ(*seen.rbegin() - *seen.begin() + 1, int(seen.size()));
    const Result scored = cli::run(dir, "score t.csv t.csv");
    EXPECT_EQ(scored.status, 0) << scored.err;  // the rows of no animal are no positions
}

TEST(IdentityCli, PostureColumnsTellTheMidlineOfLongBodiesAndNoneOfRoundOnes) {
    TempDir dir;
    Body rod{[](int f) { return cv::Point2d(60 + 1.5 * f, 60); }, 16, 4, [](int f) { return 10.0 + f; }};
    Body disc{[](int f) { return cv::Point2d(180, 40 + f); }, 7, 7};
    disc.shown = [](int f) { return f != 20 && f != 21; };
    drawScene(dir, 40, {rod, disc});
    const std::string run = "%03d.png --procedure crowd --quiet --link 15,5,predict --animals 2";
    ASSERT_EQ(cli::run(dir, run + " --tracks t.csv").status, 0);
    ASSERT_EQ(cli::run(dir, run + " --tracks t.json").status, 0);
    const Table r(dir / "t.csv");
    EXPECT_FALSE(r.has("confidence"));  // linked frame by frame: no identities by looks
    size_t rods = 0, discs = 0, missing = 0;
    for (size_t i = 0; i < r.rows.size(); ++i) {
        if (r.cell(i, "missing") == "1") {
            ++missing;
            for (const char* column : {"heading", "head", "length", "width", "split", "m0_x", "m10_y", "grey0"})
                EXPECT_EQ(r.cell(i, column), "") << column;
            continue;
        }
        const double x = r.number(i, "x"), y = r.number(i, "y");
        if (x > 150) {
            ++discs;
            for (const char* column : {"head", "length", "m0_x", "m5_y", "m10_y"}) EXPECT_EQ(r.cell(i, column), "");
            EXPECT_NEAR(r.number(i, "width"), 15, 3);  // the diameter, its soft edge half counted
            EXPECT_NE(r.cell(i, "grey10"), "");
            continue;
        }
        ++rods;
        EXPECT_NEAR(r.number(i, "length"), 32, 6) << "row " << i;
        EXPECT_TRUE(r.cell(i, "head") == "0" || r.cell(i, "head") == "1");
        // The ends lie about half a body from the centre, on opposite sides, the middle on it.
        const double endA = std::hypot(r.number(i, "m0_x") - x, r.number(i, "m0_y") - y);
        const double endB = std::hypot(r.number(i, "m10_x") - x, r.number(i, "m10_y") - y);
        EXPECT_NEAR(endA, 16, 4) << "row " << i;
        EXPECT_NEAR(endB, 16, 4) << "row " << i;
        EXPECT_LT(std::hypot(r.number(i, "m5_x") - x, r.number(i, "m5_y") - y), 2) << "row " << i;
    }
    EXPECT_EQ(rods, 40u);
    EXPECT_EQ(discs, 38u);
    EXPECT_EQ(missing, 2u);

    const std::string json = readFile(dir / "t.json");
    EXPECT_NE(json.find("\"head\": null, \"length\": null, \"width\": 1"), std::string::npos);
    EXPECT_NE(json.find("\"midline\": null, \"grey\": ["), std::string::npos);
    EXPECT_NE(json.find("\"midline\": [["), std::string::npos);
    EXPECT_HOLDS(json, "\"heading\": null, \"head\": null, \"length\": null, \"width\": null, \"texture\": null, "
                       "\"split\": null, \"midline\": null, \"grey\": null");
}

// A rod swimming to the right and a disc missed on two of the first frames: with a count, the
// first frames' rows come from the instance run backwards, which knows the rod's head by then and
// tells it the forward way round; the later rows stay the forward instance's. Without a count, the
// backward instance's rows stand only where the forward one was still learning the background
// and it had learned it: the first five frames here (three samples two frames apart).
TEST(IdentityCli, TheStartSettledBackwardsKnowsHeadsFromTheFirstFrameAndLeavesTheRestAlone) {
    TempDir dir;
    Body rod{[](int f) { return cv::Point2d(50 + 1.5 * f, 60); }, 16, 4, [](int f) { return 10.0 + f; }};
    Body disc{[](int) { return cv::Point2d(180, 110); }, 7, 7};
    disc.shown = [](int f) { return f != 2 && f != 3; };
    drawScene(dir, 40, {rod, disc});
    const std::string run =
        "%03d.png --procedure crowd --quiet --link 15,5,predict --set samples=3 --set sampleEvery=2 --start-pass ";
    for (const char* tail :
         {"off --animals 2 --tracks off.csv", "10,10 --animals 2 --tracks on.csv", "off --tracks uncounted_off.csv",
          "10,10 --tracks uncounted.csv", "10,10 --animals 2 --tracks serial.csv --threads 1",
          "10,10 --animals 2 --tracks pictures.csv -o v.avi"})
        ASSERT_EQ(cli::run(dir, run + tail).status, 0) << tail;
    const Table off(dir / "off.csv"), on(dir / "on.csv");
    // The pass settles behind the run, which writes the frames it settles only once it is done:
    // one thread, or the pictures kept for an output, give the same rows.
    for (const char* other : {"serial.csv", "pictures.csv"}) {
        const Table t(dir / other);
        EXPECT_EQ(t.rows, on.rows) << other;
    }
    // The objects from frame `from` on, as a run tells them.
    auto later = [](const Table& t, int from = 10) {
        std::multiset<std::string> seen;
        for (size_t i = 0; i < t.rows.size(); ++i)
            if (t.number(i, "frame") >= from && t.cell(i, "missing") != "1")
                seen.insert(t.cell(i, "frame") + " " + t.cell(i, "x") + "," + t.cell(i, "y") + " " +
                            t.cell(i, "heading"));
        return seen;
    };
    auto headsBefore = [](const Table& t, int frame) {
        int heads = 0;
        for (size_t i = 0; i < t.rows.size(); ++i) heads += t.number(i, "frame") < frame && t.cell(i, "head") == "1";
        return heads;
    };
    const Table uncounted(dir / "uncounted.csv"), uncountedOff(dir / "uncounted_off.csv");
    EXPECT_EQ(later(uncounted, 5), later(uncountedOff, 5));
    EXPECT_EQ(std::make_pair(headsBefore(uncounted, 5), headsBefore(uncountedOff, 5)), std::make_pair(5, 0));
    EXPECT_EQ(later(on), later(off));
    size_t known = 0, unknownBefore = 0;
    for (const Table* t : {&off, &on})
        for (size_t i = 0; i < t->rows.size(); ++i) {
            const int frame = int(t->number(i, "frame"));
            if (frame >= 10 || t->cell(i, "missing") == "1" || t->number(i, "x") > 150) continue;
            if (t == &off) {
                unknownBefore += t->cell(i, "head") != "1";
                continue;
            }
            known += t->cell(i, "head") == "1";
            const double turn = t->number(i, "heading") - (10.0 + frame) * M_PI / 180;
            EXPECT_GT(std::cos(turn), 0.95) << "frame " << frame;
            EXPECT_GT(t->number(i, "m0_x"), t->number(i, "x") + 10) << "frame " << frame;
        }
    EXPECT_EQ(known, 10u);
    EXPECT_GT(unknownBefore, 0u);
}
