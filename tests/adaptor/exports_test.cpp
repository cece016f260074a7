#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "adaptor/ip_dllAdaptor.h"
#include "adaptor/ip_host.h"
#include "adaptor/scene.h"
#include "framework/ip_window.h"
#include "doubles/recording.h"

namespace {

const char* kCheckId = "ip_dllAdaptor::checkId - got illegal object id";

using doubles::thrown;

// The table is module-wide: each test starts from an empty one and leaves it empty.
struct TableGuard {
    TableGuard() { clearTable(); }
    ~TableGuard() { clearTable(); }
    static void clearTable() {
        for (ip_base* p : ip_dllAdaptor::table()) delete p;
        ip_dllAdaptor::table().clear();
    }
};

TEST(InstanceTable, LowestFreeSlotIllegalIdsAndFailedConstruction) {
    TableGuard guard;
    dib_fmt f(64, 48, 1, 0, true);
    EXPECT_EQ(thrown([] { ip_dllAdaptor_dstDib(0); }), kCheckId);  // no storage yet
    for (int expected : {0, 1, 2}) EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), expected);
    ip_dllAdaptor_destroy(0);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    ip_dllAdaptor_destroy(0);
    ip_dllAdaptor_destroy(1);
    ip_dllAdaptor_destroy(1);  // a free slot: nothing happens
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    EXPECT_STREQ(ip_dllAdaptor::table()[0]->name(), "flowtrack");
    ip_dllAdaptor_destroy(0);

    // Below the table, past it, and a free slot: every entry point refuses them alike.
    doubles::Console console;
    doubles::Profiler profiler;
    dib_base frame(f, 0);
    for (int id : {-1, 3, 1}) {
        EXPECT_EQ(thrown([&] { ip_dllAdaptor_config(id, &console); }) + thrown([&] { ip_dllAdaptor_profile(id, &profiler); }) +
                      thrown([&] { ip_dllAdaptor_process(id, &frame, nullptr, nullptr); }) +
                      thrown([&] { ip_dllAdaptor_reformat(id, &f); }) + thrown([&] { ip_dllAdaptor_objects(id, nullptr, 0); }) +
                      thrown([&] { ip_dllAdaptor_dstDib(id); }),
                  std::string(kCheckId) + kCheckId + kCheckId + kCheckId + kCheckId + kCheckId) << id;
        if (id != 1) {
            EXPECT_EQ(thrown([&] { ip_dllAdaptor_destroy(id); }), kCheckId);
        }
    }
    EXPECT_TRUE(console.calls.empty() && profiler.reports.empty());

    // A failed construction leaves the table and the thread's callback record as they were.
    const ip_hostCallbacks* saved = ip_dllAdaptor_callbacks;
    dib_fmt bad(64, 48, 1, 0, true);
    bad.width = 0;
    ip_hostCallbacks record{nullptr, nullptr};
    EXPECT_NE(thrown([&] { ip_dllAdaptor_create(&bad, &record); }), "");
    EXPECT_NE(thrown([&] { ip_dllAdaptor_createByName("canny", &bad, &record); }), "");
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_createByName("nonesuch", &f, nullptr); }),
              "ip_dllAdaptor_createByName - unknown procedure");
    EXPECT_EQ(ip_dllAdaptor_callbacks, saved);
    const auto& table = ip_dllAdaptor::table();
    EXPECT_EQ(std::pair(table.size(), std::count(table.begin(), table.end(), nullptr)), std::pair(size_t(3), 2l));
}

// ---- The built module, loaded as a host loads it --------------------------------

struct Module {
    void* handle = dlopen(AMBREVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Module() {
        if (handle) dlclose(handle);
    }
    template <class Fn>
    Fn get(const char* name) {
        return reinterpret_cast<Fn>(handle ? dlsym(handle, name) : nullptr);
    }
};

TEST(Module, ExportsExactlyTheAdaptorFunctions) {
    FILE* p = popen((std::string("nm -D --defined-only ") + AMBREVO_MODULE_PATH).c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char type, line[4096], name[4096];
    while (std::fgets(line, sizeof line, p))
        if (std::sscanf(line, "%*s %c %4095s", &type, name) == 2) names.insert(name);
    ASSERT_EQ(pclose(p), 0);
    std::set<std::string> expected;
    for (const char* n : {"create", "destroy", "dstDib", "config", "profile", "process", "reformat", "createByName",
                          "procedureName", "objects", "version", "paramCount", "paramInfo", "setParam"})
        expected.insert(std::string("ip_dllAdaptor_") + n);
    for (const char* n : {"version", "interface_version", "last_error", "procedure_count", "procedure_name", "create",
                          "destroy", "name", "param_count", "param_describe", "param_get", "param_set", "param_set_text",
                          "process", "objects", "destination", "profile", "dialogue", "set_output"})
        expected.insert(std::string("ambrevo_") + n);  // the plain C interface
    EXPECT_EQ(names, expected);
}

// Three dark discs on a textured background in colour frames, tracked through the exports
// only: the frames passed through, the objects, the stages, the end.
TEST(Module, TracksThreeDiscsThroughTheExports) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    auto name = m.get<ip_procedureNameFn>("ip_dllAdaptor_procedureName");  // the registry's order is its own test's
    EXPECT_TRUE(std::string(name(4)) == "flowtrack" && name(5) == nullptr && name(-1) == nullptr);

    const int W = 320, H = 240;
    const std::vector<scene::Disc> discs = {{90, 80, 30, 20, 0.05, 0.04, 0.0, 15},
                                            {220, 90, 35, 25, 0.045, 0.05, 1.3, 15},
                                            {160, 170, 50, 15, 0.04, 0.06, 2.1, 15}};
    ip_fmtWords fmt{3, W * 3, W, -H};
    const int id = m.get<ip_createFn>("ip_dllAdaptor_create")(ip_asFmt(&fmt), nullptr);
    doubles::Console console({"", "0 1 1 2 3"});
    m.get<ip_configFn>("ip_dllAdaptor_config")(id, &console);
    std::vector<uint8_t> pixels(size_t(W) * 3 * H);
    const int frames = 30;
    for (int frame = 0; frame < frames; ++frame) {
        const std::vector<uint8_t> g = scene::render(W, H, discs, frame);
        for (size_t i = 0; i < g.size(); ++i) pixels[3 * i] = pixels[3 * i + 1] = pixels[3 * i + 2] = g[i];
        ip_dibWords src{3, W * 3, W, -H, pixels.data()};
        doubles::Overlay overlay;
        m.get<ip_processFn>("ip_dllAdaptor_process")(id, ip_asDib(&src), nullptr, &overlay);
        const ip_dibWords* dst = ip_dibWordsOf(m.get<ip_dstDibFn>("ip_dllAdaptor_dstDib")(id));
        ASSERT_EQ(std::memcmp(dst->bits, pixels.data(), pixels.size()), 0);
        ASSERT_EQ(overlay.lines.size(), 3u * 24u) << "frame " << frame;
    }
    auto objects = m.get<ip_objectsFn>("ip_dllAdaptor_objects");
    EXPECT_EQ(objects(id, nullptr, 0), 3);
    ip_objectRecord records[3];
    ASSERT_EQ(objects(id, records, 3), 3);
    std::set<int> found;  // each near a different disc
    for (int k = 0; k < 9; ++k) {
        double x, y;
        scene::centre(discs[size_t(k % 3)], frames - 1, x, y);
        const ip_objectRecord& r = records[k / 3];
        if (std::hypot(r.x - x, r.y - y) < 4.0 && r.index == k / 3 && r.rayCount == 24 && r.area > 500) found.insert(k % 3);
    }
    EXPECT_EQ(found.size(), 3u);
    doubles::Profiler profiler;
    m.get<ip_profileFn>("ip_dllAdaptor_profile")(id, &profiler);
    EXPECT_EQ(profiler.labels(), (std::vector<std::string>{"copying", "optical flow", "active rays", "annotating"}));
    ip_fmtWords grey{1, W, W, H};
    m.get<ip_reformatFn>("ip_dllAdaptor_reformat")(id, ip_asFmt(&grey));
    EXPECT_EQ(ip_dibWordsOf(m.get<ip_dstDibFn>("ip_dllAdaptor_dstDib")(id))->szPixel, 1);
    m.get<ip_destroyFn>("ip_dllAdaptor_destroy")(id);
    EXPECT_EQ(thrown([&] { m.get<ip_dstDibFn>("ip_dllAdaptor_dstDib")(id); }), kCheckId);
}

}  // namespace
