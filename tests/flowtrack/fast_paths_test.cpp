// The vector paths of the flow tracker against the plain code they replace: the same
// tables, centres, rays, drawings and messages, bit for bit.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adaptor/scene.h"
#include "doubles/recording.h"
#include "flowtrack/detect.h"
#include "flowtrack/ip_flowtrack.h"
#include "flowtrack/plane_ops.h"
#include "support.h"

namespace {

using ft::Plane;

// Sets or clears AMBREVO_SCALAR for the lifetime of the guard.
struct ScalarMode {
    explicit ScalarMode(bool on) {
        const char* v = std::getenv("AMBREVO_SCALAR");
        if (v) saved = v, had = true;
        if (on)
            setenv("AMBREVO_SCALAR", "1", 1);
        else
            unsetenv("AMBREVO_SCALAR");
    }
    ~ScalarMode() {
        if (had)
            setenv("AMBREVO_SCALAR", saved.c_str(), 1);
        else
            unsetenv("AMBREVO_SCALAR");
    }
    std::string saved;
    bool had = false;
};

// Noise with a little structure, so that wrong displacements cost something.
Plane noisy(int W, int H, uint32_t seed) {
    Plane p(W, H, 0);
    uint32_t s = seed * 2654435761u + 1;
    for (auto& v : p.px) {
        s = s * 1664525u + 1013904223u;
        v = uint8_t(s >> 24);
    }
    return p;
}

// Runs f once for each vector target the processor has (SSE4, AVX2, AVX-512), named in the trace.
template <class F>
void eachTarget(F f) {
    ScalarMode vector(false);
    const int64_t cpu = hwy::SupportedTargets();
    for (int64_t target : {int64_t(HWY_SSE4), int64_t(HWY_AVX2), int64_t(HWY_AVX3)}) {
        if (!(cpu & target)) continue;
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        f();
    }
    hwy::SetSupportedTargetsForTest(0);
}

struct SearchCase {
    int W, H, S, K, P, N;
};

// One region at (cx, cy) with rays of `radius`, some covered.
void addRegion(MList& list, int cx, int cy, float radius, int N, int covered) {
    MRegion* r = ft::add(list, cx, cy, 500, radius);
    for (int k = 0; k < N; ++k) r->occluded[k] = uint8_t(covered > 0 && k % covered == 0 ? 1 : 0);
    r->rays[N / 2] = -1.0f;  // one ray without a contour point
}

// Searches a single region both ways; every table entry and the new centre must agree.
void expectSameSearch(const SearchCase& c, const uint8_t* prev, const uint8_t* cur, int cx, int cy, float radius,
                      int covered) {
    SCOPED_TRACE(testing::Message() << "W=" << c.W << " H=" << c.H << " S=" << c.S << " K=" << c.K << " P=" << c.P
                                    << " N=" << c.N << " centre " << cx << "," << cy << " r=" << radius);
    // Kept across cases: a table is large to clear, and every search rewrites its whole range.
    static ft::Tracking fast, plain;
    for (ft::Tracking* t : {&fast, &plain}) {
        t->s.SearchWindow = c.S;
        t->s.CorrelationWindow = c.K;
        t->s.SearchStep = c.P;
        t->s.DisAngles = c.N;
    }
    auto region = [&](MList& list) {
        addRegion(list, cx, cy, radius, c.N, 3);
        if (!covered)
            for (int k = 0; k < c.N; ++k) ft::regionAt(list, 0)->occluded[k] = 0;
    };
    MList b;
    region(b);
    searchFlowPlain(plain.s, plain.table, c.W, c.H, prev, cur, b);
    eachTarget([&] {
        MList a;
        region(a);
        searchFlow(fast.s, fast.table, c.W, c.H, prev, cur, a);
        int differing = 0;
        for (int y = -c.S; y <= c.S; ++y)
            for (int x = -c.S; x <= c.S; ++x)
                if (fast.table.entry(x, y) != plain.table.entry(x, y) && differing++ < 3)
                    ADD_FAILURE() << "entry " << x << "," << y << ": " << fast.table.entry(x, y) << " against "
                                  << plain.table.entry(x, y);
        EXPECT_EQ(differing, 0);
        EXPECT_EQ(ft::regionAt(a, 0)->cx, ft::regionAt(b, 0)->cx);
        EXPECT_EQ(ft::regionAt(a, 0)->cy, ft::regionAt(b, 0)->cy);
    });
}

TEST(FlowtrackFastSearch, EveryWindowSizeStepAndBorderAgreesWithThePlainSearch) {
    std::vector<SearchCase> cases;
    // Every correlation window, the search ranges and steps rotating under it.
    const int ranges[] = {0, 1, 7, 30};
    const int steps[] = {1, 2, 3, 5, 4, 1, 7};
    for (int K = 0; K <= MaxCorrelationWindow; ++K)
        for (int i = 0; i < 4; ++i) cases.push_back({97 + 2 * (K % 3), 83, ranges[i], K, steps[(K + i) % 7], K > 8 ? 6 : 24});
    // The widest search, and steps that leave a ragged grid end.
    cases.push_back({331, 307, MaxSearchWindow, 0, 1, 3});
    cases.push_back({331, 307, MaxSearchWindow, 2, 13, 5});
    cases.push_back({67, 41, 30, 2, 4, 24});
    cases.push_back({1, 1, 5, 0, 1, 4});
    cases.push_back({23, 67, 9, 3, 2, 12});
    for (const SearchCase& c : cases) {
        const Plane prev = ft::textured(c.W, c.H, 0, 256);
        const Plane cur = ft::textured(c.W, c.H, 0, 256, 3, -2);
        Plane noise = noisy(c.W, c.H, uint32_t(c.K * 31 + c.S));
        // Centres in the middle, at every border and outside the plane; rays reaching past it.
        const int centres[][2] = {{c.W / 2, c.H / 2}, {2, c.H / 2}, {c.W - 3, 5}, {c.W / 3, c.H - 1}, {-4, c.H + 3}};
        for (const auto& at : centres) {
            const float radius = float((at[0] + at[1]) % 17 + 3);
            expectSameSearch(c, prev.px.data(), cur.px.data(), at[0], at[1], radius, 1);
            expectSameSearch(c, prev.px.data(), noise.px.data(), at[0], at[1], radius + 0.5f, 0);
        }
    }
}

// Several regions in one call: the table holds the last one, the centres move in turn.
TEST(FlowtrackFastSearch, ListsOfRegionsMoveAlike) {
    const Plane prev = ft::textured(160, 121, 10, 200);
    const Plane cur = ft::textured(160, 121, 10, 200, -2, 3);
    for (int S : {4, 30}) {
        ft::Tracking fast, plain;
        fast.s.SearchWindow = plain.s.SearchWindow = S;
        MList a, b;
        for (MList* l : {&a, &b}) {
            ft::add(*l, 40, 40, 500, 12.0f);
            ft::add(*l, 120, 60, 500, 25.0f);
            ft::add(*l, 80, 110, 500, 8.0f);
            markOcclusions(*l, 24);
        }
        {
            ScalarMode vector(false);
            searchFlow(fast.s, fast.table, 160, 121, prev.px.data(), cur.px.data(), a);
        }
        searchFlowPlain(plain.s, plain.table, 160, 121, prev.px.data(), cur.px.data(), b);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(ft::regionAt(a, i)->cx, ft::regionAt(b, i)->cx) << i;
            EXPECT_EQ(ft::regionAt(a, i)->cy, ft::regionAt(b, i)->cy) << i;
        }
        for (int y = -S; y <= S; ++y)
            for (int x = -S; x <= S; ++x) ASSERT_EQ(fast.table.entry(x, y), plain.table.entry(x, y)) << x << "," << y;
    }
}

TEST(FlowtrackFastSearch, TooLargeSearchWindowStillRefused) {
    ft::Tracking t;
    t.s.SearchWindow = MaxSearchWindow + 1;
    Plane p(40, 40, 0);
    MList list;
    ft::add(list, 20, 20);
    ScalarMode vector(false);
    EXPECT_EQ(ft::thrown([&] { searchFlow(t.s, t.table, 40, 40, p.data(), p.data(), list); }),
              "Too large SearchWindow !");
    EXPECT_EQ(ft::regionAt(list, 0)->cx, 20);
}

void thresholdsAgree();

TEST(FlowtrackFastPlanes, ThresholdAndDifferenceAgreeAtEveryLengthAndLevel) {
    eachTarget([] { thresholdsAgree(); });
}

void thresholdsAgree() {
    const Plane a = noisy(1037, 1, 5), b = noisy(1037, 1, 9);
    for (size_t n : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17), size_t(31), size_t(33), size_t(63),
                     size_t(64), size_t(65), size_t(67), size_t(1037)})
        for (int t : {0, 1, 100, 127, 128, 200, 254, 255}) {
            std::vector<uint8_t> mask(n + 1, 7), diff(n + 1, 7), mask2(n + 1, 7);
            for (bool inverted : {false, true}) {
                flowtrack_threshold(a.px.data(), mask.data(), n, uint8_t(t), inverted);
                for (size_t p = 0; p < n; ++p)
                    ASSERT_EQ(mask[p], inverted ? a.px[p] <= t : a.px[p] > t) << n << " " << t << " " << p;
                ASSERT_EQ(mask[n], 7) << "wrote past the end";
            }
            flowtrack_differenceMask(a.px.data(), b.px.data(), diff.data(), mask2.data(), n, uint8_t(t));
            for (size_t p = 0; p < n; ++p) {
                const int d = a.px[p] > b.px[p] ? a.px[p] - b.px[p] : b.px[p] - a.px[p];
                ASSERT_EQ(diff[p], d) << n << " " << p;
                ASSERT_EQ(mask2[p], d <= t) << n << " " << t << " " << p;
            }
            ASSERT_EQ(diff[n], 7);
            ASSERT_EQ(mask2[n], 7);
        }
}

// Blobs, specks, border-touching shapes, rings and more components than labels.
Plane blobs(int W, int H, uint32_t seed, int count) {
    Plane p(W, H, 200);
    if (count < 0) {  // a grid of small dots: more components than there are labels
        for (int y = 14; y < H - 14; y += 7)
            for (int x = 14; x < W - 14; x += 7) ft::disc(p, x, y, 2, 10);
        return p;
    }
    uint32_t s = seed;
    auto next = [&] { return s = s * 1664525u + 1013904223u, s >> 8; };
    for (int i = 0; i < count; ++i) {
        const int x = int(next() % uint32_t(W)), y = int(next() % uint32_t(H)), r = int(next() % 9);
        ft::disc(p, x, y, r, uint8_t(next() % 100));
        if (i % 7 == 0 && r > 3) ft::disc(p, x, y, r - 2, 200);  // a ring
    }
    return p;
}

TEST(FlowtrackFastDetect, QuickLabellingGivesTheSameRegionsAndLabelImage) {
    struct Case {
        int W, H, count, threshold;
        bool inverted;
    };
    const Case cases[] = {{67, 53, 10, 120, false}, {101, 99, 40, 60, false}, {320, 240, 400, 120, false},
                          {33, 47, 5, 150, true},   {160, 121, 60, 120, true}, {1, 1, 1, 120, false},
                          {29, 23, 0, 120, false},  {203, 151, -1, 120, false}};
    int overflows = 0;
    for (const Case& c : cases) {
        const Plane src = blobs(c.W, c.H, uint32_t(c.W * 7 + c.count), c.count);
        std::vector<uint8_t> maskFast(src.px.size()), maskPlain(src.px.size());
        MList fast, plain;
        flowtrack_detectScratch scratch;
        ft::Streams outFast, outPlain;
        int nFast = 0, nPlain = 0;
        {
            ScalarMode vector(false);
            outFast = ft::captured([&] {
                nFast = detectRegions(src.px.data(), maskFast.data(), c.W, c.H, fast, c.inverted, c.threshold, &scratch);
            });
        }
        outPlain = ft::captured([&] {
            nPlain = detectRegions(src.px.data(), maskPlain.data(), c.W, c.H, plain, c.inverted, c.threshold);
        });
        SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " blobs " << c.count);
        overflows += outPlain.err.find("Prevelik") != std::string::npos;
        EXPECT_EQ(nFast, nPlain);
        EXPECT_EQ(outFast.out + outFast.err, outPlain.out + outPlain.err);
        EXPECT_TRUE(maskFast == maskPlain) << "label images differ";
        ASSERT_EQ(fast.count, plain.count);
        for (int i = 0; i < fast.count; ++i) {
            const MRegion &f = *ft::regionAt(fast, i), &p = *ft::regionAt(plain, i);
            EXPECT_EQ(std::vector<int64_t>({f.label, f.area, f.cx, f.cy, f.xmin, f.ymin, f.xmax, f.ymax, f.contourMark,
                                            f.contour ? f.contour->count : -1}),
                      std::vector<int64_t>({p.label, p.area, p.cx, p.cy, p.xmin, p.ymin, p.xmax, p.ymax, p.contourMark,
                                            p.contour ? p.contour->count : -1}))
                << "region " << i;
        }
    }
    EXPECT_EQ(overflows, 1) << "the scene with more components than labels";
}

// Grey frames of a recording; empty when the file or the decoder is missing.
std::vector<Plane> recordingFrames(int count, int& W, int& H) {
    const char* named = std::getenv("AMBREVO_VTEST");
    const std::string path = named ? named : "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
    std::vector<Plane> frames;
    if (FILE* f = std::fopen(path.c_str(), "rb"))
        std::fclose(f);
    else
        return frames;
    W = 768, H = 576;
    const std::string command = "ffmpeg -v quiet -i '" + path + "' -frames:v " + std::to_string(count) +
                                " -f rawvideo -pix_fmt gray -s 768x576 - 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return frames;
    for (int i = 0; i < count; ++i) {
        Plane p(W, H, 0);
        if (std::fread(p.data(), 1, p.px.size(), pipe) != p.px.size()) break;
        frames.push_back(std::move(p));
    }
    pclose(pipe);
    return frames;
}

// Everything a tracker shows of a frame: drawings, reported objects, messages.
std::vector<std::string> trace(const std::vector<dib_base>& frames, int mode, int objects, int threshold) {
    ip_flowtrack t(&frames[0].format());
    t.storeParam(8, mode);
    t.storeParam(9, objects);
    t.storeParam(0, threshold);
    doubles::EventList events;
    doubles::Overlay overlay;
    std::vector<std::string> out;
    for (const dib_base& f : frames) {
        overlay.calls.clear();
        const ft::Streams s = ft::captured([&] { t.doProcess(&f, &events, &overlay); });
        std::string line = s.out + "|" + s.err + "|";
        for (const std::string& c : overlay.calls) line += c + ";";
        ip_objectRecord records[8];
        const int n = t.objects(records, 8);
        for (int i = 0; i < n && i < 8; ++i) {
            line += std::to_string(records[i].x) + "," + std::to_string(records[i].y) + "," +
                    std::to_string(records[i].area) + ":";
            for (int k = 0; k < records[i].rayCount; ++k) {
                uint32_t bits;
                std::memcpy(&bits, &records[i].rays[k], sizeof bits);
                line += std::to_string(bits) + " ";
            }
        }
        out.push_back(line);
    }
    return out;
}

void expectSameTrace(const std::vector<dib_base>& frames, int mode, int objects, int threshold) {
    std::vector<std::string> plain;
    {
        ScalarMode scalar(true);
        plain = trace(frames, mode, objects, threshold);
    }
    eachTarget([&] {
        const std::vector<std::string> fast = trace(frames, mode, objects, threshold);
        ASSERT_EQ(fast.size(), plain.size());
        for (size_t i = 0; i < fast.size(); ++i) EXPECT_EQ(fast[i], plain[i]) << "mode " << mode << " frame " << i;
    });
}

std::vector<dib_base> sceneFrames(int W, int H, int count) {
    const double s = W / 320.0;
    const std::vector<scene::Disc> discs = {
        {100 * s, 75 * s, 30 * s, 20 * s, 0.15, 0.12, 0.0, 15},
        {225 * s, 85 * s, 35 * s, 25 * s, 0.13, 0.15, 1.3, 14},
        {160 * s, 170 * s, 50 * s, 15 * s, 0.12, 0.18, 2.1, 16},
    };
    std::vector<dib_base> frames;
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t> g = scene::render(W, H, discs, i);
        Plane p(W, H, 0);
        p.px = g;
        frames.push_back(ft::frameOf(p));
    }
    return frames;
}

TEST(FlowtrackFastPaths, GeneratedScenesGiveTheSameFramesInEveryMode) {
    for (auto [W, H] : {std::pair{320, 240}, std::pair{331, 257}}) {
        const std::vector<dib_base> frames = sceneFrames(W, H, 14);
        for (int mode = 1; mode <= 4; ++mode) expectSameTrace(frames, mode, mode == 1 ? 1 : 3, mode == 4 ? 40 : 120);
    }
}

TEST(FlowtrackFastPaths, RecordedFramesGiveTheSameFrames) {
    int W = 0, H = 0;
    const std::vector<Plane> grey = recordingFrames(12, W, H);
    if (grey.empty()) GTEST_SKIP() << "vtest.avi or ffmpeg not available";
    std::vector<dib_base> frames;
    for (const Plane& p : grey) frames.push_back(ft::frameOf(p));
    expectSameTrace(frames, 4, 3, 30);
    expectSameTrace(frames, 2, 3, 70);
    expectSameTrace(frames, 3, 3, 120);
}

}  // namespace
