#include "flowtrack/assign.h"
#include "support.h"

namespace {

struct Blob {
    int cx, cy;
    uint32_t area = 500;
    float radius = 10.0f;
};

// Tracks have rays of one length; detections' rays vary by direction so that a copy of
// them can be told from a copy of their mean.
struct Scene {
    MList tracks, D;
    Scene(const std::vector<Blob>& t, const std::vector<Blob>& d) {
        for (const Blob& b : t) ft::add(tracks, b.cx, b.cy, b.area, b.radius);
        for (const Blob& b : d) {
            MRegion* r = ft::add(D, b.cx, b.cy, b.area);
            for (int k = 0; k < MaxAngles; ++k) r->rays[k] = b.radius + 0.25f * float(k % 3);
        }
    }
};
constexpr int none = -1;

// Track j moved onto detection from[j] and took its first 24 rays, or (none) kept its place
// and rays. Returns how many moved.
int expectTracks(Scene& s, const std::vector<Blob>& before, const std::vector<int>& from) {
    int moved = 0;
    for (size_t j = 0; j < before.size(); ++j) {
        MRegion& t = *ft::regionAt(s.tracks, int(j));
        const MRegion* d = j < from.size() && from[j] != none ? ft::regionAt(s.D, from[j]) : nullptr;
        moved += d != nullptr;
        int wrong = d ? t.cx != d->cx || t.cy != d->cy : t.cx != before[j].cx || t.cy != before[j].cy;
        for (int k = 0; k < MaxAngles; ++k) wrong += t.rays[k] != (d && k < 24 ? d->rays[k] : before[j].radius);
        EXPECT_EQ(wrong, 0) << "track " << j;
    }
    return moved;
}

TEST(FlowtrackCheckSingle, KeepsMovesOrLosesTheTrack) {
    ft::Tracking ctx;
    MList noTracks, noDetections;
    EXPECT_FALSE(checkSingle(noTracks, noDetections, 0, ctx.N()));
    struct Case {
        Blob track;
        std::vector<Blob> D;
        int n;
        bool kept;
        int from;
    };
    const Blob t10{100, 100, 50, 10.0f}, t5{100, 100, 50, 5.0f};
    const Case cases[] = {
        {t10, {{112, 100, 250, 14}}, 0, false, none},  // a count of 0 is no detection
        // 12 away, area 250: 200 > 144 and 250 / 300 > 0.1, so the track stays as it is.
        {t10, {{112, 100, 250, 14}}, 1, true, none},
        // A single detection 40 away: no distance limit, the track jumps and takes its rays.
        {t10, {{140, 100, 300, 14}}, 1, true, 0},
        {t10, {{140, 100, 9, 14}}, 1, false, none},  // too small to jump to: lost
        {t10, {{140, 100, 10, 14}}, 1, true, 0},
        // Several detections: the nearest must lie closer than 20.
        {t5, {{200, 200}, {125, 100}}, 2, false, none},
        {t5, {{200, 200}, {125, 100}, {100, 115, 300, 9}}, 3, true, 2},
        {t5, {{200, 200}, {125, 100}, {100, 120, 300, 9}}, 3, false, none},
    };
    for (const Case& c : cases) {
        Scene s({c.track}, c.D);
        EXPECT_EQ(checkSingle(s.tracks, s.D, c.n, ctx.N()), c.kept) << "case " << &c - cases;
        EXPECT_EQ(expectTracks(s, {c.track}, {c.from}), c.from != none) << "case " << &c - cases;
    }
}

TEST(FlowtrackAssign, EveryCaseWithItsDiagnostics) {
    ft::Tracking ctx;
    const std::string lost0 = "Nisam nasao rjesenje za nepridijeljeni objekt 0 .\n ";
    const std::string unclaimed = " Nepridijeljeno podru\xE8je: ";
    struct Case {
        std::vector<Blob> tracks, D;
        int noP, noK, frame;
        std::string out, err;
        std::vector<int> from = {};  // empty: every track unchanged
    };
    auto row = [](int n) {  // n detections or tracks 40 apart
        std::vector<Blob> blobs;
        for (int i = 0; i < n; ++i) blobs.push_back({50 + 40 * i, 100});
        return blobs;
    };
    const std::vector<Case> cases{
        // Multiplicity: delta 1 gives the largest of 900 and 300 two tracks, so a track 40
        // from it claims it; ranked by area, equal areas keep list order.
        {{{300, 100}, {140, 100}, {320, 100}}, {{100, 100, 900}, {300, 100, 300}}, 3, 2, 1, "", ""},
        {{{300, 100}, {140, 100}, {320, 100}}, {{100, 100, 300}, {300, 100, 900}}, 3, 2, 1,
         "frame   1:" + unclaimed + "0 \n" + lost0, ""},
        {{{300, 100}, {140, 100}, {320, 100}}, {{100, 100, 500}, {300, 100, 500}}, 3, 2, 1, "", ""},
        // delta 2: more than twice the second gives 3 and 1 (60 and 70 away claim, 40 from the
        // smaller does not), otherwise 2 and 2.
        {{{100, 100}, {160, 100}, {100, 170}, {340, 100}}, {{100, 100, 1000}, {300, 100, 400}}, 4, 2, 2,
         "frame   2:" + unclaimed + "1 \nNisam nasao rjesenje za nepridijeljeni objekt 1 .\n ", ""},
        {{{100, 100}, {160, 100}, {100, 170}, {340, 100}}, {{100, 100, 800}, {300, 100, 400}}, 4, 2, 2, "", ""},
        // delta 3: the largest holds 4, claimed from 90 away; delta 2 with one detection: no rule.
        {{{100, 190}, {190, 100}, {100, 190}, {190, 100}}, {{100, 100}}, 4, 1, 3, "", ""},
        {{{100, 100}, {130, 100}, {100, 130}}, {{100, 100}}, 3, 1, 4, "", ""},
        // delta -3: the message, and unclaimed detections below 400 are ignored.
        {{{100, 100}, {200, 100}},
         {{100, 100}, {200, 100}, {300, 100, 100}, {100, 200}, {200, 200, 399}},
         2, 5, 12, "frame  12:" + unclaimed + "3 \nNisam nasao rjesenje za nepridijeljeni objekt 3 .\n ",
         "Nesto ne stima u provjeri uvisestrucenosti objekata : (noP-noK) = -3 \n"},
        // A collapsed track far from everything moves onto the free detection.
        {{{100, 100}, {250, 60, 50, 3}}, {{100, 100}, {200, 150, 600, 12}}, 2, 2, 7,
         "frame   7:" + unclaimed + "1 \nframe   7, Reinicijalizacija 1 s 1 \n ", "", {none, 1}},
        // Two tracks on one detection: the one nearer to the free detection moves over.
        {{{95, 100}, {120, 100}}, {{100, 100}, {160, 100}}, 2, 2, 123,
         "frame 123:" + unclaimed + "1 \nframe 123, Reinicijalizacija 1 s 1 \n ", "", {none, 1}},
        // Collapsed tracks used up, then a surplus detection without a track nearest to it.
        {{{122, 100, 50, 3}, {100, 122, 50, 3}, {330, 100}}, {{100, 100}, {300, 100}, {300, 200}, {100, 200}}, 3, 4, 5,
         "frame   5:" + unclaimed + "1 \nframe   5, Reinicijalizacija 0 s 1 \n frame   5:" + unclaimed +
             "2 \nframe   5, Reinicijalizacija 1 s 2 \n frame   5:" + unclaimed + "3 \n",
         "Nepredvidjeni dogadjaj !? \n ", {1, 2, none}},
        // At most five on each side.
        {row(5), row(6), 5, 6, 9, "", "Object overflow ! \n! noK != iK  : 6 5\n"},
        {row(6), row(5), 6, 5, 9, "", "Object overflow ! \n! noP != iP : 6 5 \n"},
        // No detection: nothing is claimed and no track changes, whatever delta is.
        {{{100, 100, 50, 3}, {200, 100, 50, 3}}, {}, 3, 0, 9, "", "! noP != iP : 3 2 \n"},
        {{{100, 100, 50, 3}, {200, 100, 50, 3}, {300, 100}, {300, 130}, {300, 160}}, {}, 5, 0, 9, "",
         "Nesto ne stima u provjeri uvisestrucenosti objekata : (noP-noK) = 5 \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - &cases[0]);
        Scene s(c.tracks, c.D);
        int moved = -1;
        const ft::Streams streams = ft::captured([&] { moved = assignObjects(s.tracks, s.D, c.noP, c.noK, c.frame, ctx.N()); });
        EXPECT_EQ(std::pair(streams.out, streams.err), std::pair(c.out, c.err));
        EXPECT_EQ(moved, expectTracks(s, c.tracks, c.from));
    }
}

}  // namespace
