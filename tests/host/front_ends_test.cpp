// The front ends (the program, the pipeline, the desktop app, the Python package) know the
// module only by what it declares: no procedure's name, no setting's name and no text of the
// module's appears in their code.
#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ambrevo.h"
#include "ambrevo/pipeline/core/posture.h"
#include "ambrevo/pipeline/run/command_line.h"
#include "ambrevo/pipeline/sinks/track_rows.h"

namespace fs = std::filesystem;

namespace {

// A word the front ends must not hold, and how it may not stand in a literal (as
// scripts/front_end_words.py reads it).
struct Forbidden {
    std::string word;
    enum { whole, asWord, part } in;
    std::string what;
};

// What scripts/front_end_words.py lists for `forbidden` in `folders` (under the sources), and
// whether it found nothing.
std::pair<std::string, bool> hits(const std::vector<std::string>& folders, const std::vector<Forbidden>& forbidden,
                                  const fs::path& root = AMBREVO_SOURCE_DIR) {
    const fs::path words = fs::temp_directory_path() / ("front_end_words_" + std::to_string(getpid()));
    std::ofstream out(words);
    for (const Forbidden& f : forbidden)
        out << (f.in == Forbidden::whole ? "whole" : f.in == Forbidden::asWord ? "word" : "part") << '\t' << f.what
            << '\t' << f.word << '\n';
    out.close();
    std::string command = "python3 " + (fs::path(AMBREVO_SOURCE_DIR) / "scripts/front_end_words.py").string() + " " +
                          words.string();
    for (const std::string& folder : folders) command += " " + (root / folder).string();
    std::string listing;
    FILE* pipe = popen(command.c_str(), "r");
    for (char line[512]; pipe && fgets(line, sizeof line, pipe);) listing += line;
    const int status = pipe ? pclose(pipe) : -1;
    fs::remove(words);
    return {listing, status == 0};
}

// The telling pieces of a module's text, between its placeholders, number formats and escapes:
// what a front end that copied the text would hold. Pieces too short to tell are left out.
std::vector<std::string> pieces(const char* text) {
    std::vector<std::string> out;
    const std::string s = text ? text : "";
    for (size_t at = 0; at < s.size();) {
        const size_t cut = s.find_first_of("{%\\", at);
        std::string piece = s.substr(at, cut == std::string::npos ? std::string::npos : cut - at);
        const size_t first = piece.find_first_not_of(":;,.() \"");
        piece = first == std::string::npos ? "" : piece.substr(first, 32);
        while (!piece.empty() && std::string(":;,.() \"").find(piece.back()) != std::string::npos) piece.pop_back();
        if (piece.size() >= 16) out.push_back(piece);
        if (cut == std::string::npos) break;
        at = s.find_first_of("} \"", cut + 1);
        at = at == std::string::npos ? s.size() : at + 1;
    }
    return out;
}

// The words of the front ends' own interfaces: the program's options, the track file's columns
// (every one a run can give) and the parameters of the Python package's compiled part.
std::set<std::string> ownWords() {
    std::set<std::string> own;
    const auto add = [&](const std::string& text, const std::regex& word) {
        for (std::sregex_iterator i(text.begin(), text.end(), word), end; i != end; ++i) own.insert((*i)[1]);
    };
    add(usageText(ModuleFacts{}), std::regex("--([a-z][a-z-]*)"));
    ProcedureTraits everything;
    everything.shapes = true;
    const ip_objectRecord row{};
    const ObjectPosture posture;
    const double confidence = 1;
    FrameResult rows;
    rows.rows = {&row, 1}, rows.postures = {&posture, 1}, rows.confidence = {&confidence, 1};
    TrackRows file(everything, false,
                   {{"arena", PlaceColumn::arena}, {"track", PlaceColumn::track}, {"missing", PlaceColumn::missing}});
    file.fix(rows);
    std::ostringstream header;
    file.header(header, RunRecord{}, false, true);
    add(header.str(), std::regex("([a-z_0-9]+)"));
    std::stringstream stubs;
    stubs << std::ifstream(fs::path(AMBREVO_SOURCE_DIR) / "python/ambrevo/_ambrevo.pyi").rdbuf();
    add(stubs.str(), std::regex("[(,] *([a-z_]+):"));
    EXPECT_TRUE(own.count("split") && own.count("memory") && own.count("roi")) << "the lists are read";
    return own;
}

// What the module's procedures declare, asked through its C interface: their names, their
// settings' names, their counters' names and their texts. The front ends' own words are theirs,
// whatever a setting is called.
std::vector<Forbidden> moduleWords() {
    void* module = dlopen(AMBREVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(module, nullptr) << dlerror();
    if (!module) return {};
    const auto count = reinterpret_cast<decltype(&ambrevo_procedure_count)>(dlsym(module, "ambrevo_procedure_count"));
    const auto name = reinterpret_cast<decltype(&ambrevo_procedure_name)>(dlsym(module, "ambrevo_procedure_name"));
    const auto create = reinterpret_cast<decltype(&ambrevo_create)>(dlsym(module, "ambrevo_create"));
    const auto destroy = reinterpret_cast<decltype(&ambrevo_destroy)>(dlsym(module, "ambrevo_destroy"));
    const auto params = reinterpret_cast<decltype(&ambrevo_param_count)>(dlsym(module, "ambrevo_param_count"));
    const auto describe = reinterpret_cast<decltype(&ambrevo_param_describe)>(dlsym(module, "ambrevo_param_describe"));
    const auto traitsOf = reinterpret_cast<decltype(&ambrevo_procedure_traits)>(dlsym(module, "ambrevo_procedure_traits"));
    const std::set<std::string> own = ownWords();
    std::vector<Forbidden> words;
    auto text = [&](const char* s, const char* what) {
        for (const std::string& piece : pieces(s)) words.push_back({piece, Forbidden::part, what});
    };
    for (int i = 0; i < count(); ++i) {
        words.push_back({name(i), Forbidden::asWord, "procedure"});
        ambrevo_traits t{};
        EXPECT_EQ(traitsOf(name(i), &t, sizeof t), AMBREVO_OK) << name(i);
        text(t.nothing_found, "module text");
        for (int k = 0; k < t.counter_count; ++k) {
            words.push_back({t.counters[k].name, Forbidden::asWord, "counter"});
            for (const char* s : {t.counters[k].hint, t.counters[k].remark, t.counters[k].remark_found})
                text(s, "module text");
        }
        ambrevo_procedure* p = nullptr;
        EXPECT_EQ(create(name(i), 64, 48, 1, &p), AMBREVO_OK) << name(i);
        for (int k = 0; p && k < params(p); ++k) {
            ambrevo_param info{};
            describe(p, k, &info);
            const std::string setting = info.name;
            // A word of English (polarity, background) is the front ends' too: only as the
            // whole literal is it the setting's name, unless it names one of the program's options.
            const bool plain = std::all_of(setting.begin(), setting.end(), [](char c) { return c >= 'a' && c <= 'z'; });
            if (!own.count(setting)) words.push_back({setting, plain ? Forbidden::whole : Forbidden::asWord, "setting"});
        }
        destroy(p);
    }
    return words;
}

// The texts the module prints on its own: the literals of its diagnostics' calls.
std::vector<Forbidden> diagnosticTexts() {
    std::vector<Forbidden> out;
    const std::regex call(R"(ip_diag(Out|Err)\(\s*"((?:[^"\\]|\\.)*)\")");
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(AMBREVO_SOURCE_DIR) / "src")) {
        std::stringstream text;
        text << std::ifstream(entry.path()).rdbuf();
        const std::string s = text.str();
        for (std::sregex_iterator i(s.begin(), s.end(), call), end; i != end; ++i)
            for (const std::string& piece : pieces((*i)[2].str().c_str())) out.push_back({piece, Forbidden::part, "module text"});
    }
    return out;
}

const std::vector<std::string> frontEnds = {"pipeline", "include", "host", "gui", "python"};

TEST(FrontEnds, TheScannerFindsNamesInCodeAndNotInComments) {
    const fs::path dir = fs::temp_directory_path() / ("front_ends_" + std::to_string(getpid()));
    fs::create_directories(dir / "a");
    std::ofstream(dir / "a/x.cpp") << "// \"flowtrack\"\nif (p == \"flow\" \"track\") x = 'a';\n"
                                      "/* \"crowd\" */ f(R\"(BinThreshold=)\");\n";
    std::ofstream(dir / "a/y.py") << "def f(p='crowd'):\n    \"\"\"Runs \"nop\".\"\"\"\n    # \"nop\"\n    return 1\n";
    const auto [listing, clean] = hits({"a"},
                                       {{"flowtrack", Forbidden::asWord, "procedure"},
                                        {"crowd", Forbidden::asWord, "procedure"},
                                        {"nop", Forbidden::asWord, "procedure"},
                                        {"BinThreshold", Forbidden::asWord, "setting"},
                                        {"animals", Forbidden::whole, "setting"}},
                                       dir);
    fs::remove_all(dir);
    EXPECT_FALSE(clean);
    EXPECT_EQ(listing, (dir / "a/x.cpp").string() + ":2: procedure 'flowtrack'\n" + (dir / "a/x.cpp").string() +
                           ":3: setting 'BinThreshold'\n" + (dir / "a/y.py").string() + ":1: procedure 'crowd'\n");
    EXPECT_EQ(pieces(": the tracker follows at most {count} of them; %d frames over the labels"),
              (std::vector<std::string>{"the tracker follows at most", "frames over the labels"}));
}

// What the module declares is found wherever a front end would copy it from: the lists are
// those of the module, and a literal of one in a front end is a hit.
TEST(FrontEnds, NameNoProcedureSettingOrModuleText) {
    std::vector<Forbidden> forbidden = moduleWords();
    const std::vector<Forbidden> texts = diagnosticTexts();
    forbidden.insert(forbidden.end(), texts.begin(), texts.end());
    const auto has = [&](const std::string& word) {
        return std::any_of(forbidden.begin(), forbidden.end(), [&](const Forbidden& f) { return f.word == word; });
    };
    ASSERT_TRUE(has("crowd") && has("BinThreshold") && has("over_region_limit") && has("Prevelik broj podrucja"));
    ASSERT_FALSE(has("animals")) << "--animals is the program's own word";
    const auto [listing, clean] = hits(frontEnds, forbidden);
    EXPECT_EQ(listing, "");
    EXPECT_TRUE(clean);
}

// The lines of the files under `folders` (from the sources) that `pattern` finds, as
// "file:line"; each file's path relative to the sources.
std::vector<std::string> lines(const std::vector<std::string>& folders, const std::regex& pattern) {
    std::vector<std::string> found;
    for (const std::string& folder : folders)
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(AMBREVO_SOURCE_DIR) / folder)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h" && ext != ".py") continue;
            std::ifstream in(entry.path());
            int number = 0;
            for (std::string line; std::getline(in, line);)
                if (++number, std::regex_search(line, pattern))
                    found.push_back(fs::relative(entry.path(), AMBREVO_SOURCE_DIR).string() + ":" + std::to_string(number));
        }
    std::sort(found.begin(), found.end());
    return found;
}

// One error convention: a failure is a kind and a message handed back; only the program turns
// a kind into an exit status, and neither the pipeline nor the program hands error text back
// through a parameter.
TEST(FrontEnds, ExitStatusesOnlyInTheProgramAndNoErrorOutParameters) {
    const std::regex status(
        R"(\b(exit(Ok|ModuleError|Usage|Input|Output|ModuleLoad|Library|Interrupted|Terminated)|stopStatus)\b)");
    EXPECT_FALSE(lines({"host"}, status).empty()) << "the scan finds the program's own";
    EXPECT_EQ(lines({"pipeline", "include", "gui", "python"}, status), std::vector<std::string>{});
    const std::regex outParameter(R"((^|[(,])\s*std::string\s*&\s*(error|why)\b)");
    EXPECT_FALSE(lines({"tests/host"}, outParameter).empty()) << "the scan finds the tests' own";
    EXPECT_EQ(lines({"pipeline", "include/ambrevo/pipeline", "host", "gui", "python"}, outParameter),
              std::vector<std::string>{});
}

}  // namespace
