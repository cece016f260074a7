#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "adaptor/ip_dllAdaptor.h"
#include "adaptor/ip_host.h"
#include "framework/ip_window.h"
#include "adaptor/scene.h"
#include "doubles/recording.h"

namespace {

const char* kCheckId = "ip_dllAdaptor::checkId - got illegal object id";

using doubles::thrown;

// The table is module-wide: each test starts from an empty one and leaves it empty.
struct TableGuard {
    TableGuard() { clearTable(); }
    ~TableGuard() { clearTable(); }
    static void clearTable() {
        auto& t = ip_dllAdaptor::table();
        for (ip_base* p : t) delete p;
        t.clear();
        t.shrink_to_fit();
    }
};

TEST(InstanceTable, LowestFreeSlotAndDoublingGrowth) {
    TableGuard guard;
    dib_fmt f(64, 48, 3, 0, true);
    EXPECT_EQ(thrown([] { ip_dllAdaptor_dstDib(0); }), kCheckId);  // no storage yet
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    EXPECT_EQ(ip_dllAdaptor::table().capacity(), 1u);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 1);
    EXPECT_EQ(ip_dllAdaptor::table().capacity(), 2u);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 2);
    EXPECT_EQ(ip_dllAdaptor::table().capacity(), 4u);
    ip_dllAdaptor_destroy(0);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    ip_dllAdaptor_destroy(0);
    ip_dllAdaptor_destroy(1);
    ip_dllAdaptor_destroy(1);  // a free slot: nothing happens
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 1);
    EXPECT_EQ(ip_dllAdaptor::table().size(), 3u);
    EXPECT_STREQ(ip_dllAdaptor::table()[0]->name(), "flowtrack");
}

TEST(InstanceTable, IllegalAndFreeIdsAreRejected) {
    TableGuard guard;
    dib_fmt f(64, 48, 1, 0, true);
    doubles::Console console;
    doubles::Profiler profiler;
    dib_base frame(f, 0);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 1);
    ip_dllAdaptor_destroy(0);
    for (int id : {-1, 2, 0}) {
        EXPECT_EQ(thrown([&] { ip_dllAdaptor_dstDib(id); }), kCheckId) << id;
        EXPECT_EQ(thrown([&] { ip_dllAdaptor_config(id, &console); }), kCheckId);
        EXPECT_EQ(thrown([&] { ip_dllAdaptor_profile(id, &profiler); }), kCheckId);
        EXPECT_EQ(thrown([&] { ip_dllAdaptor_process(id, &frame, nullptr, nullptr); }), kCheckId);
        EXPECT_EQ(thrown([&] { ip_dllAdaptor_reformat(id, &f); }), kCheckId);
        EXPECT_EQ(thrown([&] { ip_dllAdaptor_objects(id, nullptr, 0); }), kCheckId);
    }
    EXPECT_EQ(thrown([] { ip_dllAdaptor_destroy(-1); }), kCheckId);
    EXPECT_EQ(thrown([] { ip_dllAdaptor_destroy(2); }), kCheckId);
    EXPECT_TRUE(console.calls.empty());
    EXPECT_TRUE(profiler.reports.empty());
}

TEST(InstanceTable, FailedConstructionLeavesTheTableAndTheThreadsRecord) {
    TableGuard guard;
    const ip_hostCallbacks* saved = ip_dllAdaptor_callbacks;
    dib_fmt bad(64, 48, 1, 0, true);
    bad.width = 0;
    ip_hostCallbacks record{nullptr, nullptr};
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_create(&bad, &record); }), "ip_base::ip_base - illegal image format");
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_createByName("canny", &bad, &record); }),
              "ip_base::ip_base - illegal image format");
    EXPECT_EQ(ip_dllAdaptor_callbacks, saved);
    EXPECT_TRUE(ip_dllAdaptor::table().empty());
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_createByName("nonesuch", &bad, nullptr); }),
              "ip_dllAdaptor_createByName - unknown procedure");
}

TEST(InstanceTable, SignOnlyFormatChangeDoesNotReformat) {
    TableGuard guard;
    dib_fmt f(64, 48, 1, 0, true);
    int id = ip_dllAdaptor_createByName("nop", &f, nullptr);
    dib_base* dst = ip_dllAdaptor_dstDib(id);
    uint8_t* before = dst->bits;
    dib_base flipped = doubles::makeImage(64, 48, 1, 3, true);
    ip_dllAdaptor_process(id, &flipped, nullptr, nullptr);
    EXPECT_EQ(dst->bits, before);
    EXPECT_EQ(dst->height, 48);
    ip_dllAdaptor_reformat(id, &flipped);
    EXPECT_EQ(ip_dllAdaptor::table()[size_t(id)]->srcFmt()->height, -48);
    ip_dllAdaptor_destroy(id);
}

// ---- The built module, loaded as a host loads it --------------------------------

struct Module {
    void* handle = nullptr;
    ip_createFn create = nullptr;
    ip_destroyFn destroy = nullptr;
    ip_dstDibFn dstDib = nullptr;
    ip_configFn config = nullptr;
    ip_profileFn profile = nullptr;
    ip_processFn process = nullptr;
    ip_reformatFn reformat = nullptr;

    Module() {
        handle = dlopen(AMBREVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        create = reinterpret_cast<ip_createFn>(dlsym(handle, "ip_dllAdaptor_create"));
        destroy = reinterpret_cast<ip_destroyFn>(dlsym(handle, "ip_dllAdaptor_destroy"));
        dstDib = reinterpret_cast<ip_dstDibFn>(dlsym(handle, "ip_dllAdaptor_dstDib"));
        config = reinterpret_cast<ip_configFn>(dlsym(handle, "ip_dllAdaptor_config"));
        profile = reinterpret_cast<ip_profileFn>(dlsym(handle, "ip_dllAdaptor_profile"));
        process = reinterpret_cast<ip_processFn>(dlsym(handle, "ip_dllAdaptor_process"));
        reformat = reinterpret_cast<ip_reformatFn>(dlsym(handle, "ip_dllAdaptor_reformat"));
    }
    ~Module() {
        if (handle) dlclose(handle);
    }
};

TEST(Module, ListsTheRegisteredProcedures) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    auto name = reinterpret_cast<ip_procedureNameFn>(dlsym(m.handle, "ip_dllAdaptor_procedureName"));
    ASSERT_NE(name, nullptr);
    std::vector<std::string> names;
    for (int i = 0; name(i); ++i) names.push_back(name(i));
    EXPECT_EQ(names, (std::vector<std::string>{"canny", "canny_w0", "ccTrack", "nop", "flowtrack"}));
    EXPECT_EQ(name(-1), nullptr);
}

TEST(Module, ExportsExactlyTheAdaptorFunctions) {
    std::string cmd = std::string("nm -D --defined-only ") + AMBREVO_MODULE_PATH;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char type;
    char line[4096], name[4096];
    while (std::fgets(line, sizeof line, p)) {
        if (std::sscanf(line, "%*s %c %4095s", &type, name) == 2) names.insert(name);
    }
    ASSERT_EQ(pclose(p), 0);
    const std::set<std::string> expected = {
        "ip_dllAdaptor_create",        "ip_dllAdaptor_destroy",       "ip_dllAdaptor_dstDib",
        "ip_dllAdaptor_config",        "ip_dllAdaptor_profile",       "ip_dllAdaptor_process",
        "ip_dllAdaptor_reformat",      "ip_dllAdaptor_createByName",  "ip_dllAdaptor_procedureName",
        "ip_dllAdaptor_objects",       "ip_dllAdaptor_version",       "ip_dllAdaptor_paramCount",
        "ip_dllAdaptor_paramInfo",     "ip_dllAdaptor_setParam",
        // The plain C interface.
        "ambrevo_version", "ambrevo_interface_version", "ambrevo_last_error", "ambrevo_procedure_count",
        "ambrevo_procedure_name", "ambrevo_create", "ambrevo_destroy", "ambrevo_name", "ambrevo_param_count",
        "ambrevo_param_describe", "ambrevo_param_get", "ambrevo_param_set", "ambrevo_param_set_text",
        "ambrevo_process", "ambrevo_objects", "ambrevo_destination", "ambrevo_profile", "ambrevo_dialogue",
        "ambrevo_set_output"};
    EXPECT_EQ(names, expected);
}

struct Disc {
    double x, y;
};

// Three dark discs on a textured background, tracked for 100 frames through the exports
// only: every drawn contour must stay on the disc it started on.
TEST(Module, TracksThreeDiscsThroughTheExports) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    ASSERT_TRUE(m.create && m.destroy && m.dstDib && m.config && m.profile && m.process && m.reformat);

    const int W = 320, H = 240;
    std::vector<scene::Disc> discs = {
        {90, 80, 30, 20, 0.05, 0.04, 0.0, 15},
        {220, 90, 35, 25, 0.045, 0.05, 1.3, 15},
        {160, 170, 50, 15, 0.04, 0.06, 2.1, 15},
    };
    ip_fmtWords fmt{3, W * 3, W, -H};
    int id = m.create(ip_asFmt(&fmt), nullptr);
    EXPECT_EQ(id, 0);

    doubles::Console console({"", "0 1 1 2 3"});
    m.config(id, &console);
    EXPECT_NE(console.written.find("Algoritam: 2\nBrojObjekata: 3\n"), std::string::npos) << console.written;

    std::vector<uint8_t> pixels(size_t(W) * 3 * H);
    std::vector<int> discOf(3, -1);
    for (int frame = 0; frame < 100; ++frame) {
        std::vector<uint8_t> g = scene::render(W, H, discs, frame);
        for (size_t i = 0; i < g.size(); ++i) pixels[3 * i] = pixels[3 * i + 1] = pixels[3 * i + 2] = g[i];
        ip_dibWords src{3, W * 3, W, -H, pixels.data()};
        doubles::EventList events;
        doubles::Overlay overlay;
        m.process(id, ip_asDib(&src), &events, &overlay);
        const ip_dibWords* dst = ip_dibWordsOf(m.dstDib(id));
        ASSERT_EQ(dst->width, W);
        ASSERT_EQ(std::memcmp(dst->bits, pixels.data(), pixels.size()), 0);

        std::vector<Disc> truth;
        for (auto& d : discs) {
            double x, y;
            scene::centre(d, frame, x, y);
            truth.push_back({x, y});
        }
        ASSERT_EQ(overlay.lines.size(), 3u * 24u) << "frame " << frame;
        for (size_t i = 0; i < overlay.lines.size(); ++i) {
            int k = overlay.lineColours[i];
            ASSERT_GE(k, 0);
            ASSERT_LT(k, 3);
            const ip_point& p = overlay.lines[i].from;
            // The disc this point lies on: the nearest centre, within the radius and a margin.
            int nearest = -1;
            double best = 1e9;
            for (int j = 0; j < 3; ++j) {
                double d = std::hypot(p.x - truth[size_t(j)].x, p.y - truth[size_t(j)].y);
                if (d < best) best = d, nearest = j;
            }
            EXPECT_LT(best, 15 + 6) << "frame " << frame << " contour " << k;
            if (discOf[size_t(k)] < 0) discOf[size_t(k)] = nearest;
            EXPECT_EQ(discOf[size_t(k)], nearest) << "frame " << frame << " contour " << k << " changed disc";
        }
    }

    // The objects export reports the same regions, centre near each disc's last position.
    auto objects = reinterpret_cast<ip_objectsFn>(dlsym(m.handle, "ip_dllAdaptor_objects"));
    ASSERT_NE(objects, nullptr);
    EXPECT_EQ(objects(id, nullptr, 0), 3);
    ip_objectRecord records[3];
    ASSERT_EQ(objects(id, records, 3), 3);
    for (int k = 0; k < 3; ++k) {
        double x, y;
        scene::centre(discs[size_t(discOf[size_t(k)])], 99, x, y);
        EXPECT_EQ(records[k].index, k);
        EXPECT_LT(std::hypot(records[k].x - x, records[k].y - y), 4.0) << k;
        EXPECT_EQ(records[k].rayCount, 24);
        EXPECT_GT(records[k].area, 500);
    }

    doubles::Profiler profiler;
    m.profile(id, &profiler);
    EXPECT_EQ(profiler.labels(), (std::vector<std::string>{"copying", "optical flow", "active rays", "annotating"}));

    ip_fmtWords grey{1, W, W, H};
    m.reformat(id, ip_asFmt(&grey));
    EXPECT_EQ(ip_dibWordsOf(m.dstDib(id))->szPixel, 1);
    m.destroy(id);
    std::string error;
    try {
        m.dstDib(id);
    } catch (const char* msg) {
        error = msg;
    }
    EXPECT_EQ(error, kCheckId);
}

}  // namespace
