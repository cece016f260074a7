#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

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
    } out[7];
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(ip_dllAdaptor_counters(crowd, out, 7, sizeof out[0]), 6);
    EXPECT_STREQ(out[3].record.name, "no_contrast");
    EXPECT_EQ(std::tuple(out[3].record.value, out[3].later, out[6].later), std::tuple(int64_t(1), 0, 0x55555555));
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_counters(crowd, out, 7, sizeof(ip_counterRecord) - 1); }),
              "ip_dllAdaptor_counters - record size below that of a counter");
    EXPECT_EQ(ip_dllAdaptor_counters(nop, out, 7, sizeof out[0]), 0);
    clearTable();
}

// Traits with the host's record size. Each procedure's are declared once and agree with what
// its instances do: exactly one is the default, the one the legacy create makes; a count setting
// is one of the procedure's settings; the counters declared are those an instance reports.
TEST(ProcedureTraits, DeclaredOnceAndTrueOfTheInstances) {
    clearTable();
    struct longer {
        ip_procedureTraits traits;
        int32_t later;
    } out;
    std::memset(&out, 0x55, sizeof out);
    ASSERT_EQ(ip_dllAdaptor_procedureTraits("crowd", &out, sizeof out), 1);
    EXPECT_EQ(out.later, 0);
    EXPECT_EQ(std::string(out.traits.name) + " " + out.traits.countSetting, "crowd animals");
    EXPECT_EQ(out.traits.flags, ip_traitShapes | ip_traitPosture | ip_traitLuma);
    EXPECT_EQ(thrown([&] { ip_dllAdaptor_procedureTraits("crowd", &out, sizeof(ip_procedureTraits) - 1); }),
              "ip_dllAdaptor_procedureTraits - record size below that of the traits");
    EXPECT_EQ(ip_dllAdaptor_procedureTraits("nonesuch", &out, sizeof out), 0);

    dib_fmt f(64, 48, 1, 0, true);
    const int made = ip_dllAdaptor_create(&f, nullptr);
    std::vector<std::string> defaults;
    for (int i = 0; const char* name = ip_dllAdaptor_procedureName(i); ++i) {
        ip_procedureTraits t{};
        ASSERT_EQ(ip_dllAdaptor_procedureTraits(name, &t, sizeof t), 1) << name;
        if (t.flags & ip_traitDefault) defaults.push_back(name);
        EXPECT_NE(t.columns & (ip_columnsArea | ip_columnsMotion), 0) << name;
        const int id = ip_dllAdaptor_createByName(name, &f, doubles::recordingCallbacks());
        std::set<std::string> settings;
        ip_paramRecord p{};
        for (int k = 0; ip_dllAdaptor_paramInfo(id, k, &p); ++k) settings.insert(p.name);
        EXPECT_TRUE(!t.countSetting || settings.count(t.countSetting) == 1u) << name;
        std::vector<ip_counterRecord> counted(8);
        ASSERT_EQ(ip_dllAdaptor_counters(id, counted.data(), 8, sizeof counted[0]), t.counterCount) << name;
        for (int k = 0; k < t.counterCount; ++k)
            EXPECT_EQ(std::string(counted[size_t(k)].name) + counted[size_t(k)].hint,
                      std::string(t.counters[k].name) + t.counters[k].hint) << name;
        ip_dllAdaptor_destroy(id);
    }
    EXPECT_EQ(defaults, std::vector<std::string>{ip_dllAdaptor::table()[size_t(made)]->name()});
    clearTable();
    doubles::windowLog().reset();
}

// A host that asks for them gets an instance's diagnostics through its function, each with its
// kind, and only that instance's; one that never asks, or asks no more, sees them on the streams.
TEST(ProcedureTraits, DiagnosticsThroughTheHostsFunction) {
    clearTable();
    dib_fmt f(200, 200, 1, 0, true);
    dib_base crowded(f, 0);
    dib_fill(crowded, 230);
    for (int i = 0; i < 140; ++i)
        for (int dy = 0; dy < 3; ++dy)
            std::memset(crowded.row(12 + 6 * (i / 28) + dy) + 12 + 6 * (i % 28), 20, 3);
    const int heard = ip_dllAdaptor_create(&f, nullptr), other = ip_dllAdaptor_create(&f, nullptr);
    std::string said;
    ip_dllAdaptor_setDiagnostics(heard, [](void* user, int kind, const char* text) {
        *static_cast<std::string*>(user) += std::to_string(kind) + ":" + text;
    }, &said);
    testing::internal::CaptureStderr();
    ip_dllAdaptor_process(heard, &crowded, nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::string once = std::to_string(ip_diagnosticNotice) + ":Prevelik broj podrucja: 128 \n";
    EXPECT_EQ(said, once);
    for (int id : {other, heard}) {
        if (id == heard) ip_dllAdaptor_setDiagnostics(heard, nullptr, nullptr);
        testing::internal::CaptureStderr();
        ip_dllAdaptor_process(id, &crowded, nullptr, nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Prevelik broj podrucja: 128 \n") << id;
    }
    EXPECT_EQ(said, once);
    EXPECT_EQ(thrown([] { ip_dllAdaptor_setDiagnostics(7, nullptr, nullptr); }), kCheckId);
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
                          "procedureName", "objects", "objectDetails", "counters", "procedureTraits", "setDiagnostics", "version",
                          "paramCount", "paramInfo", "setParam"})
        expected.insert(std::string("ip_dllAdaptor_") + n);
    for (const char* n : {"version", "interface_version", "last_error", "procedure_count", "procedure_name", "create",
                          "destroy", "name", "param_count", "param_describe", "param_get", "param_set", "param_set_text",
                          "process", "objects", "object_details", "counters", "destination", "profile", "dialogue", "set_output",
                          "procedure_traits", "set_diagnostics", "object_records", "set_overlay", "set_windows", "converse"})
        expected.insert(std::string("ambrevo_") + n);  // the plain C interface
    EXPECT_EQ(names, expected);
}
#endif

}  // namespace
