#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "adaptor/ip_dllAdaptor.h"
#include "interface/ip_host.h"
#include "framework/ip_window.h"
#include "doubles/recording.h"

namespace {

const char* kCheckId = "ip_dllAdaptor::checkId - got illegal object id";

using doubles::thrown;

// The table is module-wide: the test starts from one without storage and leaves it so.
void clearTable() {
    for (ip_base* p : ip_dllAdaptor::table()) delete p;
    std::vector<ip_base*>().swap(ip_dllAdaptor::table());
}

TEST(InstanceTable, LowestFreeSlotIllegalIdsAndFailedConstruction) {
    clearTable();
    dib_fmt f(64, 48, 1, 0, true);
    EXPECT_EQ(thrown([] { ip_dllAdaptor_dstDib(0); }), kCheckId);  // no storage yet
    for (int id : {0, 1, 2}) EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), id);
    ip_dllAdaptor_destroy(0);
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    ip_dllAdaptor_destroy(0);
    ip_dllAdaptor_destroy(1);
    ip_dllAdaptor_destroy(1);  // a free slot: nothing happens
    EXPECT_EQ(ip_dllAdaptor_create(&f, nullptr), 0);
    EXPECT_STREQ(ip_dllAdaptor::table()[0]->name(), "flowtrack");
    EXPECT_TRUE(!std::strcmp(ip_dllAdaptor_procedureName(4), "flowtrack") && !std::strcmp(ip_dllAdaptor_procedureName(5), "crowd") &&
                !ip_dllAdaptor_procedureName(6) &&
                !ip_dllAdaptor_procedureName(-1));
    const dib_fmt colour(32, 24, 3, 0, false);
    ip_dllAdaptor_reformat(0, &colour);
    EXPECT_EQ(std::pair(ip_dllAdaptor_dstDib(0)->szPixel, ip_dllAdaptor_dstDib(0)->width), std::pair(3, 32));
    ip_dllAdaptor_destroy(0);

    // Below the table, past it, and a free slot: every entry point refuses them alike.
    doubles::Console console;
    doubles::Profiler profiler;
    dib_base frame(f, 0);
    for (int id : {-1, 3, 1}) {
        for (const std::string& message :
             {thrown([&] { ip_dllAdaptor_config(id, &console); }), thrown([&] { ip_dllAdaptor_profile(id, &profiler); }),
              thrown([&] { ip_dllAdaptor_process(id, &frame, nullptr, nullptr); }),
              thrown([&] { ip_dllAdaptor_reformat(id, &f); }), thrown([&] { ip_dllAdaptor_objects(id, nullptr, 0); }),
              thrown([&] { ip_dllAdaptor_objectDetails(id, nullptr, 0, sizeof(ip_objectDetails)); }),
              thrown([&] { ip_dllAdaptor_counters(id, nullptr, 0, sizeof(ip_counterRecord)); }),
              thrown([&] { ip_dllAdaptor_dstDib(id); }), id == 1 ? kCheckId : thrown([&] { ip_dllAdaptor_destroy(id); })})
            EXPECT_EQ(message, kCheckId) << id;
    }
    EXPECT_TRUE(console.calls.empty() && profiler.reports.empty());

    // A failed construction leaves the table and the thread's callback record as they were.
    const ip_hostCallbacks* saved = ip_dllAdaptor_callbacks;
    dib_fmt bad(64, 48, 1, 0, true);
    bad.width = 0;
    ip_hostCallbacks record{nullptr, nullptr};
    EXPECT_NE(thrown([&] { ip_dllAdaptor_create(&bad, &record); }), "");
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_createByName("nonesuch", &f, nullptr); }),
              "ip_dllAdaptor_createByName - unknown procedure");
    EXPECT_EQ(ip_dllAdaptor_callbacks, saved);
    const auto& table = ip_dllAdaptor::table();
    EXPECT_EQ(std::pair(table.size(), std::count(table.begin(), table.end(), nullptr)), std::pair(size_t(3), std::ptrdiff_t(2)));
    clearTable();
}

// A host reads the counters with its own record size: a longer record gets zeros after the
// fields, a shorter one is refused, a procedure that counts nothing has none.
TEST(InstanceTable, CountersWithTheHostsRecordSize) {
    clearTable();
    dib_fmt f(64, 48, 1, 0, true);
    const int crowd = ip_dllAdaptor_createByName("crowd", &f, nullptr), nop = ip_dllAdaptor_createByName("nop", &f, nullptr);
    dib_base frame(f, 0);
    dib_fill(frame, 200);
    ip_dllAdaptor_process(crowd, &frame, nullptr, nullptr);
    struct longer {
        ip_counterRecord record;
        int32_t later;
    } out[6];
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(ip_dllAdaptor_counters(crowd, out, 6, sizeof out[0]), 5);
    EXPECT_STREQ(out[3].record.name, "no_contrast");
    EXPECT_EQ(std::pair(out[3].record.value, out[3].later), std::pair(int64_t(1), 0));
    EXPECT_EQ(out[5].later, 0x55555555);
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_counters(crowd, out, 6, sizeof(ip_counterRecord) - 1); }),
              "ip_dllAdaptor_counters - record size below that of a counter");
    EXPECT_EQ(ip_dllAdaptor_counters(nop, out, 6, sizeof out[0]), 0);
    clearTable();
}

#ifndef _WIN32  // the Windows builds read the DLL's export table with scripts/check_windows_dll.py
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
                          "procedureName", "objects", "objectDetails", "counters", "version", "paramCount", "paramInfo", "setParam"})
        expected.insert(std::string("ip_dllAdaptor_") + n);
    for (const char* n : {"version", "interface_version", "last_error", "procedure_count", "procedure_name", "create",
                          "destroy", "name", "param_count", "param_describe", "param_get", "param_set", "param_set_text",
                          "process", "objects", "object_details", "counters", "destination", "profile", "dialogue", "set_output"})
        expected.insert(std::string("ambrevo_") + n);  // the plain C interface
    EXPECT_EQ(names, expected);
}
#endif

}  // namespace
