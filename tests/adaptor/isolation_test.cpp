// Instances made through the exports never touch each other: not through settings, not
// when they run on different threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adaptor/ambrevo.h"
#include "interface/ip_host.h"
#include "adaptor/scene.h"
#include "doubles/recording.h"

namespace {

constexpr int W = 320, H = 240;
const dib_fmt kGrey(W, H, 1, 0, false);

dib_base frame(int index) {
    static const std::vector<scene::Disc> discs{{90, 120, 30, 20, 0.07, 0.05, 0.0, 18},
                                                {230, 110, 25, 35, 0.05, 0.08, 1.3, 22}};
    const std::vector<uint8_t> grey = scene::render(W, H, discs, index);
    dib_base image(kGrey, 0);
    for (int y = 0; y < H; ++y) std::memcpy(image.row(y), &grey[size_t(y) * W], W);
    return image;
}

// Each frame's objects as text: centre, area and every ray, bit for bit.
std::vector<std::string> track(int id, const std::vector<dib_base>& frames) {
    std::vector<std::string> tracks;
    for (const dib_base& f : frames) {
        ip_dllAdaptor_process(id, &f, nullptr, nullptr);
        ip_objectRecord records[8];
        tracks.push_back(std::to_string(ip_dllAdaptor_objects(id, records, 8)) + ":");
        for (int i = 0; i < std::min(ip_dllAdaptor_objects(id, nullptr, 0), 8); ++i)
            tracks.back() += std::to_string(records[i].x) + "," + std::to_string(records[i].y) + "," +
                             std::to_string(records[i].area) + ":" +
                             std::string(reinterpret_cast<const char*>(records[i].rays), size_t(records[i].rayCount) * 4);
    }
    return tracks;
}

// Two objects expected, with different detection threshold, ray count and search.
int flowtrack(int which) {
    const int id = ip_dllAdaptor_create(&kGrey, nullptr);
    doubles::Console console({which ? "100 36 20 3 2" : "120 24 30 2 1", "0 1 1 2 2"});
    ip_dllAdaptor_config(id, &console);
    return id;
}

TEST(Isolation, TwoTrackersOnTwoThreadsGiveWhatEachGivesAlone) {
    std::vector<dib_base> frames;
    for (int i = 0; i < 24; ++i) frames.push_back(frame(i));
    std::vector<std::string> alone[2];
    for (int t = 0; t < 2; ++t) {
        const int id = flowtrack(t);
        alone[t] = track(id, frames);
        ip_dllAdaptor_destroy(id);
    }
    ASSERT_NE(alone[0], alone[1]);
    EXPECT_EQ(alone[0].back().rfind("2:", 0), 0u);
    for (int round = 0; round < 2; ++round) {
        // Round 0: both made before either runs, so making the second must not reset the
        // first. Round 1: each thread makes and ends its own while the other runs.
        std::vector<std::string> together[2];
        const int ids[2] = {round ? -1 : flowtrack(0), round ? -1 : flowtrack(1)};
        auto run = [&](int t) {
            const int id = round ? flowtrack(t) : ids[t];
            together[t] = track(id, frames);
            ip_dllAdaptor_destroy(id);
        };
        std::thread first(run, 0), second(run, 1);
        first.join();
        second.join();
        for (int t = 0; t < 2; ++t) EXPECT_EQ(together[t], alone[t]) << "round " << round << " tracker " << t;
    }
}

// One handle of the C interface on two threads: the calls take turns, and a destroy on one
// thread makes the other's next calls fail cleanly instead of reading freed memory.
TEST(Isolation, OneCInterfaceHandleOnTwoThreadsTakesTurns) {
    std::vector<dib_base> frames;
    for (int i = 0; i < 16; ++i) frames.push_back(frame(i));
    ambrevo_procedure* p = nullptr;
    ASSERT_EQ(ambrevo_create("crowd", W, H, 1, &p), AMBREVO_OK);
    std::atomic<int> ok{0}, refused{0};
    auto run = [&](int t) {
        for (int i = 0; i < 16; ++i) {
            const dib_base& f = frames[size_t(i)];
            const ambrevo_frame c{f.bits, W, H, f.szRow, 1};
            int32_t count = 0;
            const bool done = ambrevo_process(p, &c, nullptr, 0) == AMBREVO_OK &&
                              ambrevo_objects(p, nullptr, 0, &count) == AMBREVO_OK &&
                              ambrevo_param_set(p, "minArea", 10 + t) == AMBREVO_OK;
            ++(done ? ok : refused);
        }
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    EXPECT_EQ(ok, 32);
    // A destroy while the other thread works: whatever comes after it is refused.
    std::thread working(run, 0);
    ambrevo_destroy(p);
    working.join();
    EXPECT_EQ(ok + refused, 48);
    const ambrevo_frame c{frames[0].bits, W, H, frames[0].szRow, 1};
    EXPECT_EQ(ambrevo_process(p, &c, nullptr, 0), AMBREVO_ERROR_ARGUMENT);
}

}  // namespace
