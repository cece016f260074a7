// The pipeline takes what it knows of a procedure from the module's declaration alone: a module
// whose one procedure is called otherwise, counts otherwise and says other things gets the same
// treatment as the real one's.
#include <cstring>

#include "ambrevo/pipeline/module/traits.h"
#include "ambrevo/pipeline/run/request.h"
#include "cli_util.h"
#include "module/instance.h"
#include "options_util.h"
#include "run/run.h"

namespace {

// A module of one procedure, "herd", that counts its heads and the frames it lost.
namespace herd {

struct State {
    double heads = 0;
    int64_t lost = 0, kept = 0;
    bool countsHeads = true;
} state;
std::vector<uint8_t> pixels(size_t(640) * 480 * 3);
ambrevo_procedure* const one = reinterpret_cast<ambrevo_procedure*>(1);

const ambrevo_counter_trait counters[] = {
    {"lost", "frames it lost", AMBREVO_COUNTER_UNRECORDED,
     "; it lost {count} of {frames} frames with {setting:heads} heads", "lost {count} frames"},
    {"kept", "frames it kept", 0, nullptr, nullptr}};

ambrevo_status traits(const char* name, void* out, int32_t size) {
    if (std::strcmp(name, "herd") != 0 || size < int32_t(sizeof(ambrevo_traits))) return AMBREVO_ERROR_ARGUMENT;
    const ambrevo_traits t{"herd", AMBREVO_COLUMNS_AREA, AMBREVO_TRAIT_DEFAULT | AMBREVO_TRAIT_SHAPES,
                           state.countsHeads ? "heads" : nullptr, "; try more heads", counters, 2};
    std::memcpy(out, &t, sizeof t);
    return AMBREVO_OK;
}

// Fills `m` with the procedure's functions; every instance is the one herd.
void load(Module& m) {
    m.version = [] { return "0.0.1"; };
    m.lastError = [] { return "heads is the only setting"; };
    m.create = [](const char*, int32_t, int32_t, int32_t, ambrevo_procedure** out) { return *out = one, AMBREVO_OK; };
    m.destroy = [](ambrevo_procedure*) {};
    m.converse = [](ambrevo_procedure*, ambrevo_reply_fn, ambrevo_diagnostic_fn, void*) { return AMBREVO_OK; };
    m.setDiagnostics = [](ambrevo_procedure*, ambrevo_diagnostic_fn, void*) { return AMBREVO_OK; };
    m.setOverlay = [](ambrevo_procedure*, ambrevo_overlay_fn, void*) { return AMBREVO_OK; };
    m.setWindows = [](ambrevo_procedure*, ambrevo_window_fn, void*) { return AMBREVO_OK; };
    m.destination = [](ambrevo_procedure*, ambrevo_image* out) {
        return *out = {pixels.data(), 640, 480, 640 * 3, 3}, AMBREVO_OK;
    };
    m.process = [](ambrevo_procedure*, const ambrevo_frame*, const ambrevo_click*, int32_t) { return AMBREVO_OK; };
    m.procedureName = [](int32_t i) -> const char* { return i == 0 ? "herd" : nullptr; };
    m.objects = [](const ambrevo_procedure*, void*, int32_t, int32_t, int32_t* count) { return *count = 0, AMBREVO_OK; };
    m.counters = [](const ambrevo_procedure*, void* out, int32_t capacity, int32_t, int32_t* count) {
        const ambrevo_counter records[] = {{"lost", "frames it lost", state.lost}, {"kept", "frames it kept", state.kept}};
        if (out) std::memcpy(out, records, sizeof(ambrevo_counter) * size_t(std::min(capacity, 2)));
        return *count = 2, AMBREVO_OK;
    };
    m.procedureTraits = traits;
    m.paramCount = [](const ambrevo_procedure*) { return 1; };
    m.paramDescribe = [](const ambrevo_procedure*, int32_t index, ambrevo_param* out) {
        if (index != 0) return AMBREVO_ERROR_ARGUMENT;
        return *out = {"heads", AMBREVO_INTEGER, 0, 100, 0, "heads in view"}, AMBREVO_OK;
    };
    m.paramGet = [](const ambrevo_procedure*, const char*, double* value) { return *value = state.heads, AMBREVO_OK; };
    m.paramSetText = [](ambrevo_procedure*, const char* name, const char* text) {
        if (std::strcmp(name, "heads") != 0) return AMBREVO_ERROR_PARAMETER;
        state.heads = std::atof(text);
        return AMBREVO_OK;
    };
}

}  // namespace herd

struct Told final : RunObserver {
    std::vector<std::string> notices;
    std::string failure;
    void failed(const Failure& f) override { failure = f.message; }
    void notice(const std::string& text) override { notices.push_back(text); }
};

// The default and the count come from the declaration: --animals sets the count setting
// whatever it is called, the help names both, and a procedure without one refuses the count.
TEST(ProcedureTraits, TheCountSettingIsTheDeclaredOne) {
    Module module;
    herd::load(module);
    Options o = options({"demo", "--animals", "7"});
    SettingsFile saved;
    ASSERT_EQ(failure(checkRequest(module, o, saved)), "");
    EXPECT_EQ(o.procedure + " " + o.defaultProcedure, "herd herd");
    EXPECT_EQ(commandLine(o), "ambrevo demo --animals 7");
    const std::string help = usageText(moduleFacts(module));
    EXPECT_NE(help.find("(default herd)"), std::string::npos);
    EXPECT_NE(help.find("(one number without): the herd procedure's\n"), std::string::npos) << help;
    for (const bool counts : {true, false}) {
        herd::state = {};
        herd::state.countsHeads = counts;
        const Expected<ProcedureTraits> traits = readTraits(module, o.procedure);
        ASSERT_TRUE(traits);
        Told told;
        RunStatus run(told);
        Instance instance(module, o, *traits, run);
        EXPECT_EQ(instance.create({3, 640 * 3, 640, -480}, saved, 0), counts) << told.failure;
        EXPECT_EQ(herd::state.heads, counts ? 7 : 0);
        EXPECT_EQ(told.failure.find("nothing would use the count (the procedure 'herd'") != std::string::npos, !counts);
    }
}

// The remarks of a run that found nothing are the declared ones, filled with the run's numbers
// and settings: the counters' first, else what to try; a counter declared unrecorded stays out
// of the track file.
TEST(ProcedureTraits, RemarksAndRecordsFollowTheCounters) {
    TempDir dir;
    Module module;
    herd::load(module);
    for (const int64_t lost : {0, 3}) {
        herd::state = {};
        herd::state.lost = lost, herd::state.kept = lost ? 2 : 0;
        Options o = options({"demo", "--frames", "2", "--animals", "4", "--tracks", dir / "t.csv", "--quiet"});
        SettingsFile saved;
        ASSERT_EQ(failure(checkRequest(module, o, saved)), "");
        Told told;
        ::Run run(module, o, saved, told);
        EXPECT_TRUE(run.run()) << told.failure;
        const std::string nothing = "no objects were found on any of the 2 frames (640x480)";
        EXPECT_EQ(told.notices, std::vector<std::string>{nothing + (lost ? "; it lost 3 of 2 frames with 4 heads; 2 "
                                                                           "frames it kept"
                                                                         : "; try more heads")});
        const std::string file = readFile(dir / "t.csv");
        EXPECT_EQ(file.find("\n# count_kept: 2\n") != std::string::npos, lost != 0) << file;
        EXPECT_EQ(file.find("count_lost"), std::string::npos) << file;
        // Areas only, and no shapes without the motion fields: the columns of the declaration.
        EXPECT_NE(file.find("\nframe,object,x,y,area,time_s\n"), std::string::npos) << file;
    }
}

// A remark names a setting the run does not have: it is left unsaid rather than said wrong.
TEST(ProcedureTraits, RemarksFilledOrLeftOut) {
    const std::vector<std::pair<std::string, std::string>> settings = {{"heads", "4"}};
    EXPECT_EQ(fillRemark("{count} of {frames}, {setting:heads} heads", 3, 9, settings), "3 of 9, 4 heads");
    EXPECT_EQ(fillRemark("with {setting:tails} tails", 3, 9, settings), "");
    EXPECT_EQ(fillRemark("{unknown}", 3, 9, settings), "");
    EXPECT_EQ(fillRemark("an open {brace", 3, 9, settings), "an open {brace");
}

}  // namespace
