// Settings by name against each procedure's own dialogue.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "doubles/recording.h"
#include "framework/ip_factory.h"
#include "framework/ip_params.h"
#include "framework/ip_window.h"

namespace {

std::unique_ptr<ip_base> make(const char* name) {
    const dib_fmt format(40, 30, 3, 0, false);
    return std::unique_ptr<ip_base>(ip_createProcedure(*ip_registry_find(name), &format, doubles::recordingCallbacks()));
}

std::string dialogueText(ip_base& p) {
    doubles::Console console({"", "", ""});
    ip_callbackScope scope(p.hostCallbacks());
    p.config(&console);
    return console.written;
}

const char* const withSettings[] = {"canny", "canny_w0", "ccTrack", "flowtrack"};

}  // namespace

TEST(NamedSettings, DefaultsAreWhatAFreshInstanceHas) {
    for (const char* name : withSettings) {
        auto p = make(name);
        ip_parameters* params = ip_paramsOf(p.get());
        ASSERT_NE(params, nullptr) << name;
        for (int i = 0; i < params->paramCount(); ++i) {
            const ip_paramInfo& info = params->paramInfo(i);
            EXPECT_EQ(params->paramValue(i), info.defaultValue) << name << " " << info.name;
            EXPECT_LE(info.lowest, info.defaultValue) << info.name;
            EXPECT_GE(info.highest, info.defaultValue) << info.name;
        }
    }
    EXPECT_EQ(ip_paramsOf(make("nop").get()), nullptr);
}

// Both ends of every range are taken, and the dialogue then shows exactly what a reply
// giving the same values would have made it show.
TEST(NamedSettings, EveryValueTakesBothEndsOfItsRange) {
    for (const char* name : withSettings) {
        for (bool high : {false, true}) {
            auto byName = make(name);
            ip_parameters& params = *ip_paramsOf(byName.get());
            std::string why;
            // th_lo may not pass th_hi: downwards th_lo goes first, upwards th_hi.
            for (int k = 0; k < params.paramCount(); ++k) {
                const int i = high ? k : params.paramCount() - 1 - k;
                const ip_paramInfo& info = params.paramInfo(i);
                const double value = high ? info.highest : info.lowest;
                ASSERT_TRUE(ip_setParam(params, info.name, value, why)) << name << " " << info.name << ": " << why;
                EXPECT_EQ(params.paramValue(i), value) << name << " " << info.name;
            }
            EXPECT_NE(dialogueText(*byName), dialogueText(*make(name))) << name;
        }
    }
}

TEST(NamedSettings, RefusalsChangeNothingAndSayWhy) {
    auto p = make("flowtrack");
    ip_parameters& params = *ip_paramsOf(p.get());
    const std::string before = dialogueText(*p);
    struct Case {
        const char* name;
        const char* text;
        const char* why;
    } cases[] = {
        {"Nonsense", "1", "unknown setting 'Nonsense'"},
        {"BrojObjekata", "6", "BrojObjekata must lie in 1 to 5, got 6"},
        {"BrojObjekata", "2.5", "BrojObjekata must be an integer"},
        {"BrojObjekata", "3x", "BrojObjekata must be an integer, got '3x'"},
        {"BrojObjekata", "", "BrojObjekata must be an integer, got ''"},
        {"drawsAim", "2", "drawsAim must be 0 or 1"},
        {"CorrelationWindow", "1000000000", "CorrelationWindow must lie in 0 to 20, got 1000000000"},
        {"SearchWindow", "151", "SearchWindow must lie in 1 to 150, got 151"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_FALSE(ip_setParamText(params, c.name, c.text, why)) << c.name << "=" << c.text;
        EXPECT_EQ(why, c.why);
    }
    EXPECT_EQ(dialogueText(*p), before);

    auto canny = make("ccTrack");
    std::string why;
    EXPECT_FALSE(ip_setParam(*ip_paramsOf(canny.get()), "th_hi", 8, why));
    EXPECT_EQ(why, "th_hi must not be below th_lo (9)");

    EXPECT_TRUE(ip_setParamText(params, "drawsAim", "true", why));
    EXPECT_TRUE(ip_setParamText(params, "Algoritam", "4", why));
    EXPECT_EQ(params.paramValue(ip_findParam(params, "Algoritam")), 4);
}

// Switching ccTrack's windows builds a new edge detector; the detector's values set
// before must survive it.
TEST(NamedSettings, CcTrackWindowsKeepTheDetectorValues) {
    doubles::windowLog().reset();
    auto p = make("ccTrack");
    ip_parameters& params = *ip_paramsOf(p.get());
    std::string why;
    for (const auto& [name, value] : {std::pair{"sigma", 1.25}, {"th_hi", 40.0}, {"hasWindows", 1.0}})
        ASSERT_TRUE(ip_setParam(params, name, value, why)) << name << ": " << why;
    EXPECT_EQ(doubles::windowLog().created.size(), 4u);
    EXPECT_EQ(params.paramValue(ip_findParam(params, "sigma")), 1.25);
    EXPECT_EQ(params.paramValue(ip_findParam(params, "th_hi")), 40);
    p.reset();
    doubles::windowLog().reset();
}

// A value that passes its checks but makes the procedure fail as it rebuilds (here
// because the dialogue had already taken an unusable sigma) is not kept.
TEST(NamedSettings, AFailedRebuildKeepsTheValueBefore) {
    auto p = make("canny_w0");
    doubles::Console console({"1e20 10 9"});
    EXPECT_EQ(doubles::thrown([&] { p->config(&console); }), "do_gauss() - illegal sigma");
    ip_parameters& params = *ip_paramsOf(p.get());
    std::string why;
    EXPECT_EQ(doubles::thrown([&] { ip_setParam(params, "th_hi", 20, why); }), "do_gauss() - illegal sigma");
    EXPECT_EQ(params.paramValue(1), 10);
    EXPECT_TRUE(ip_setParam(params, "sigma", 1.5, why)) << why;
    EXPECT_TRUE(ip_setParam(params, "th_hi", 20, why)) << why;
}
