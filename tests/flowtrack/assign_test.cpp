#include <gtest/gtest.h>

#include <string>

#include "flowtrack/assign.h"
#include "support.h"

namespace {

MRegion* add(MList& list, int cx, int cy, uint32_t area = 500, float radius = 10.0f) {
    auto* r = new MRegion;
    r->cx = cx;
    r->cy = cy;
    r->area = area;
    for (int k = 0; k < MaxAngles; ++k) r->rays[k] = radius;
    list.append(r);
    return r;
}

// Runs f with both standard streams captured.
template <class F>
void captured(F&& f, std::string& out, std::string& err) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
}

TEST(FlowtrackCheckSingle, KeepsMovesOrLosesTheTrack) {
    ft::ParameterGuard guard;
    MList tracks, D;
    EXPECT_FALSE(checkSingle(tracks, D, 0));  // nothing to check
    MRegion* t = add(tracks, 100, 100);
    EXPECT_FALSE(checkSingle(tracks, D, 0));

    // Mean radius 10, the only detection 12 away with area 250: 200 > 144 and
    // 250 / 300 > 0.1, so the track stays as it is.
    MRegion* d = add(D, 112, 100, 250, 14.0f);
    EXPECT_FALSE(checkSingle(tracks, D, 0));  // a count of 0 is no detection
    EXPECT_TRUE(checkSingle(tracks, D, 1));
    EXPECT_EQ(t->cx, 100);
    EXPECT_EQ(t->rays[0], 10.0f);

    // The only detection 40 away with area 300: no distance limit with one detection,
    // the track jumps onto it and takes its rays.
    d->cx = 140;
    d->area = 300;
    d->rays[3] = 7.5f;
    EXPECT_TRUE(checkSingle(tracks, D, 1));
    EXPECT_EQ(t->cx, 140);
    EXPECT_EQ(t->cy, 100);
    EXPECT_EQ(t->rays[0], 14.0f);
    EXPECT_EQ(t->rays[3], 7.5f);
    EXPECT_EQ(t->rays[24], 10.0f);  // only DisAngles rays are copied

    // Agreement through the area ratio alone fails for a tiny blob at the centre; with
    // an area below 10 the track is lost.
    for (int k = 0; k < 24; ++k) t->rays[k] = 10.0f;
    d->cx = 140;
    d->area = 9;
    EXPECT_FALSE(checkSingle(tracks, D, 1));
    d->area = 10;
    EXPECT_TRUE(checkSingle(tracks, D, 1));  // 10 / 300 < 0.1, but big enough to jump to
    EXPECT_EQ(t->rays[0], 14.0f);
}

TEST(FlowtrackCheckSingle, SeveralDetectionsNeedOneWithin20) {
    ft::ParameterGuard guard;
    MList tracks, D;
    MRegion* t = add(tracks, 100, 100, 50, 5.0f);
    add(D, 200, 200, 500);
    add(D, 125, 100, 500);  // the nearer one, 25 away: lost
    EXPECT_FALSE(checkSingle(tracks, D, 2));
    add(D, 100, 115, 300, 9.0f);  // 15 away: 2 * 25 < 225, so the track jumps to it
    EXPECT_TRUE(checkSingle(tracks, D, 3));
    EXPECT_EQ(t->cy, 115);
    EXPECT_EQ(t->rays[5], 9.0f);
    t->cy = 100;
    ft::regionAt(D, 2)->cy = 120;  // exactly 20 away is too far
    EXPECT_FALSE(checkSingle(tracks, D, 3));
}

TEST(FlowtrackAssign, MultiplicityLetsABlobHoldSeveralTracks) {
    ft::ParameterGuard guard;
    std::string out, err;
    {  // three tracks, areas 900 and 300 (delta 1): a track 40 from the larger claims it
        MList tracks, D;
        add(D, 100, 100, 900);
        add(D, 300, 100, 300);
        add(tracks, 300, 100);
        add(tracks, 140, 100);
        add(tracks, 320, 100);
        int moved = -1;
        captured([&] { moved = assignObjects(tracks, D, 3, 2, 1); }, out, err);
        EXPECT_EQ(moved, 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "");
        // The same with the larger one second in the list (ranking by area).
        ft::regionAt(D, 0)->area = 300;
        ft::regionAt(D, 1)->area = 900;
        captured([&] { moved = assignObjects(tracks, D, 3, 2, 1); }, out, err);
        EXPECT_EQ(out, "frame   1: Nepridijeljeno podru\xE8je: 0 \nNisam nasao rjesenje za nepridijeljeni objekt 0 .\n ");
        // Equal areas keep list order: the first one is "the largest".
        ft::regionAt(D, 0)->area = 500;
        ft::regionAt(D, 1)->area = 500;
        captured([&] { moved = assignObjects(tracks, D, 3, 2, 1); }, out, err);
        EXPECT_EQ(out, "");
    }
    {  // delta 2: more than twice the second gives 3 and 1, otherwise 2 and 2
        MList tracks, D;
        add(D, 100, 100, 1000);
        add(D, 300, 100, 400);
        add(tracks, 100, 100);
        add(tracks, 160, 100);  // 60 from the larger: within 3 * 26
        add(tracks, 100, 170);  // 70
        add(tracks, 340, 100);  // 40 from the smaller: only with multiplicity 2
        captured([&] { assignObjects(tracks, D, 4, 2, 2); }, out, err);
        EXPECT_EQ(out, "frame   2: Nepridijeljeno podru\xE8je: 1 \nNisam nasao rjesenje za nepridijeljeni objekt 1 .\n ");
        ft::regionAt(D, 0)->area = 800;
        captured([&] { assignObjects(tracks, D, 4, 2, 2); }, out, err);
        EXPECT_EQ(out, "");
    }
    {  // delta 3: the largest gets 4, so tracks 90 away claim it
        MList tracks, D;
        add(D, 100, 100, 500);
        for (int i = 0; i < 4; ++i) add(tracks, 100 + (i % 2 ? 90 : 0), 100 + (i % 2 ? 0 : 90));
        int moved = -1;
        captured([&] { moved = assignObjects(tracks, D, 4, 1, 3); }, out, err);
        EXPECT_EQ(moved, 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "");
    }
    {  // delta 2 with a single detection: the rule has nothing to act on
        MList tracks, D;
        add(D, 100, 100, 500);
        add(tracks, 100, 100);
        add(tracks, 130, 100);
        add(tracks, 100, 130);
        int moved = -1;
        captured([&] { moved = assignObjects(tracks, D, 3, 1, 4); }, out, err);
        EXPECT_EQ(moved, 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "");
    }
}

TEST(FlowtrackAssign, UnexpectedDifferenceAndSmallUnclaimedDetections) {
    ft::ParameterGuard guard;
    std::string out, err;
    MList tracks, D;
    add(D, 100, 100, 500);
    add(D, 200, 100, 500);
    add(D, 300, 100, 100);  // small: ignored when there are more detections than tracks
    add(D, 100, 200, 500);
    add(D, 200, 200, 399);
    add(tracks, 100, 100);
    add(tracks, 200, 100);
    int moved = -1;
    captured([&] { moved = assignObjects(tracks, D, 2, 5, 12); }, out, err);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(err, "Nesto ne stima u provjeri uvisestrucenosti objekata : (noP-noK) = -3 \n");
    EXPECT_EQ(out, "frame  12: Nepridijeljeno podru\xE8je: 3 \nNisam nasao rjesenje za nepridijeljeni objekt 3 .\n ");
    EXPECT_EQ(ft::regionAt(tracks, 0)->cx, 100);
    EXPECT_EQ(ft::regionAt(tracks, 1)->cx, 200);
}

TEST(FlowtrackAssign, CollapsedAndSurplusTracksAreReinitialised) {
    ft::ParameterGuard guard;
    std::string out, err;
    {  // a track that shrank below radius 5 far from everything moves to the free blob
        MList tracks, D;
        add(D, 100, 100, 500);
        MRegion* target = add(D, 200, 150, 600, 12.0f);
        target->rays[2] = 3.25f;
        add(tracks, 100, 100);
        MRegion* lost = add(tracks, 250, 60, 50, 3.0f);
        int moved = -1;
        captured([&] { moved = assignObjects(tracks, D, 2, 2, 7); }, out, err);
        EXPECT_EQ(moved, 1);
        EXPECT_EQ(out, "frame   7: Nepridijeljeno podru\xE8je: 1 \nframe   7, Reinicijalizacija 1 s 1 \n ");
        EXPECT_EQ(err, "");
        EXPECT_EQ(lost->cx, 200);
        EXPECT_EQ(lost->cy, 150);
        EXPECT_EQ(lost->rays[0], 12.0f);
        EXPECT_EQ(lost->rays[2], 3.25f);
    }
    {  // two tracks on one blob: the one nearer to the free blob moves over
        MList tracks, D;
        add(D, 100, 100, 500);
        add(D, 160, 100, 500);
        MRegion* stay = add(tracks, 95, 100);
        MRegion* move = add(tracks, 120, 100);
        int moved = -1;
        captured([&] { moved = assignObjects(tracks, D, 2, 2, 123); }, out, err);
        EXPECT_EQ(moved, 1);
        EXPECT_EQ(out, "frame 123: Nepridijeljeno podru\xE8je: 1 \nframe 123, Reinicijalizacija 1 s 1 \n ");
        EXPECT_EQ(stay->cx, 95);
        EXPECT_EQ(move->cx, 160);
    }
    {  // collapsed tracks used up, then a surplus blob without a track nearest to it
        MList tracks, D;
        add(D, 100, 100, 500);
        add(D, 300, 100, 500);
        add(D, 300, 200, 500);
        add(D, 100, 200, 500);
        add(tracks, 122, 100, 50, 3.0f);  // both claim blob 0 from 22 pixels
        add(tracks, 100, 122, 50, 3.0f);
        add(tracks, 330, 100);            // nearest to blob 1 without claiming it
        int moved = -1;
        captured([&] { moved = assignObjects(tracks, D, 3, 4, 5); }, out, err);
        EXPECT_EQ(moved, 2);
        EXPECT_EQ(out,
                  "frame   5: Nepridijeljeno podru\xE8je: 1 \nframe   5, Reinicijalizacija 0 s 1 \n "
                  "frame   5: Nepridijeljeno podru\xE8je: 2 \nframe   5, Reinicijalizacija 1 s 2 \n "
                  "frame   5: Nepridijeljeno podru\xE8je: 3 \n");
        EXPECT_EQ(err, "Nepredvidjeni dogadjaj !? \n ");
    }
}

TEST(FlowtrackAssign, CountsAndOverflow) {
    ft::ParameterGuard guard;
    std::string out, err;
    {  // six detections: only the first five take part
        MList tracks, D;
        for (int i = 0; i < 6; ++i) add(D, 50 + 40 * i, 100, 500);
        for (int i = 0; i < 5; ++i) add(tracks, 50 + 40 * i, 100);
        captured([&] { assignObjects(tracks, D, 5, 6, 9); }, out, err);
        EXPECT_EQ(err, "Object overflow ! \n! noK != iK  : 6 5\n");
        EXPECT_EQ(out, "");
    }
    {  // six tracks
        MList tracks, D;
        for (int i = 0; i < 5; ++i) add(D, 50 + 40 * i, 100, 500);
        for (int i = 0; i < 6; ++i) add(tracks, 50 + 40 * i, 100);
        captured([&] { assignObjects(tracks, D, 6, 5, 9); }, out, err);
        EXPECT_EQ(err, "Object overflow ! \n! noP != iP : 6 5 \n");
    }
    {  // no detection: nothing changes, nothing is claimed
        MList tracks, D;
        MRegion* a = add(tracks, 100, 100, 50, 3.0f);
        add(tracks, 200, 100, 50, 3.0f);
        int moved = -1;
        captured([&] { moved = assignObjects(tracks, D, 3, 0, 9); }, out, err);
        EXPECT_EQ(moved, 0);
        EXPECT_EQ(err, "! noP != iP : 3 2 \n");
        EXPECT_EQ(out, "");
        EXPECT_EQ(a->cx, 100);
        EXPECT_EQ(a->rays[0], 3.0f);
        for (int i = 0; i < 3; ++i) add(tracks, 300, 100 + 30 * i);
        captured([&] { moved = assignObjects(tracks, D, 5, 0, 9); }, out, err);
        EXPECT_EQ(err, "Nesto ne stima u provjeri uvisestrucenosti objekata : (noP-noK) = 5 \n");
        EXPECT_EQ(moved, 0);
    }
}

}  // namespace
