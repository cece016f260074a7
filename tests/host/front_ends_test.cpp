// The front ends (the program, the pipeline, the desktop app, the Python package) know the
// module only by what it declares: no procedure's name, no setting's name and no text of the
// module's appears in their code.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ambrevo.h"
#include "options.h"
#include "posture.h"
#include "track_rows.h"

namespace fs = std::filesystem;

namespace {

// One string literal of a source file: its text as written (escapes kept) and its line.
struct Literal {
    std::string text;
    int line = 0;
};

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Whether `word` stands in `text` as a whole word.
bool hasWord(const std::string& text, const std::string& word) {
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const size_t end = at + word.size();
        if ((at == 0 || !isWordChar(text[at - 1])) && (end == text.size() || !isWordChar(text[end]))) return true;
    }
    return false;
}

// The text from `at` (just past an opening quote) to the closing `quote`, escapes kept; `at`
// ends past the closing quote.
std::string quoted(const std::string& s, size_t& at, const std::string& quote, int& line) {
    std::string text;
    while (at < s.size() && s.compare(at, quote.size(), quote) != 0) {
        if (s[at] == '\n') ++line;
        if (s[at] == '\\' && at + 1 < s.size()) text += s[at++];
        text += s[at++];
    }
    at += quote.size();
    return text;
}

// The string literals of C++ code, comments and character literals left out; literals that
// only white space parts are one, as the compiler joins them.
std::vector<Literal> cppLiterals(const std::string& s) {
    std::vector<Literal> out;
    int line = 1;
    bool joinable = false;
    for (size_t at = 0; at < s.size();) {
        const char c = s[at];
        if (s.compare(at, 2, "//") == 0) {
            at = s.find('\n', at);
        } else if (s.compare(at, 2, "/*") == 0) {
            const size_t end = s.find("*/", at + 2);
            line += int(std::count(s.begin() + std::ptrdiff_t(at), s.begin() + std::ptrdiff_t(std::min(end, s.size())), '\n'));
            at = end == std::string::npos ? end : end + 2;
        } else if (c == '\'') {
            ++at;
            quoted(s, at, "'", line);
            joinable = false;
            continue;
        } else if (c == '"' || s.compare(at, 2, "R\"") == 0) {
            const bool raw = c == 'R';
            const size_t open = raw ? s.find('(', at) : at;
            const std::string close = raw ? ")" + s.substr(at + 2, open - at - 2) + "\"" : "\"";
            const int first = line;
            at = open + 1;
            const std::string text = quoted(s, at, close, line);
            if (joinable) out.back().text += text;
            else out.push_back({text, first});
            joinable = true;
            continue;
        } else {
            if (c == '\n') ++line;
            if (!std::isspace(static_cast<unsigned char>(c))) joinable = false;
            ++at;
            continue;
        }
        if (at == std::string::npos) break;
        joinable = false;
    }
    return out;
}

// The string literals of Python code, comments and docstrings (a triple-quoted string that
// starts its line) left out.
std::vector<Literal> pythonLiterals(const std::string& s) {
    std::vector<Literal> out;
    int line = 1;
    bool lineStart = true;
    for (size_t at = 0; at < s.size();) {
        const char c = s[at];
        if (c == '#') {
            at = s.find('\n', at);
            if (at == std::string::npos) break;
        } else if (c == '"' || c == '\'') {
            const std::string quote = s.compare(at, 3, std::string(3, c)) == 0 ? std::string(3, c) : std::string(1, c);
            const bool docstring = lineStart && quote.size() == 3;
            const int first = line;
            at += quote.size();
            const std::string text = quoted(s, at, quote, line);
            if (!docstring) out.push_back({text, first});
            lineStart = false;
        } else {
            if (c == '\n') ++line;
            lineStart = c == '\n' || (lineStart && std::isspace(static_cast<unsigned char>(c)));
            ++at;
        }
    }
    return out;
}

// A word the front ends must not hold, and how it may not stand in a literal.
struct Forbidden {
    std::string word;
    enum { whole, asWord, part } in;
    std::string what;
};

bool found(const Forbidden& f, const std::string& literal) {
    if (f.in == Forbidden::whole) return literal == f.word;
    if (f.in == Forbidden::asWord) return hasWord(literal, f.word);
    return literal.find(f.word) != std::string::npos;
}

// Every literal of the files under `folders` that holds a forbidden word, as "file:line: ...".
std::vector<std::string> hits(const std::vector<std::string>& folders, const std::vector<Forbidden>& forbidden) {
    std::vector<std::string> out;
    for (const std::string& folder : folders)
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(AMBREVO_SOURCE_DIR) / folder)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h" && ext != ".py") continue;
            std::stringstream text;
            text << std::ifstream(entry.path()).rdbuf();
            const auto literals = ext == ".py" ? pythonLiterals(text.str()) : cppLiterals(text.str());
            for (const Literal& l : literals)
                for (const Forbidden& f : forbidden)
                    if (found(f, l.text))
                        out.push_back(fs::relative(entry.path(), AMBREVO_SOURCE_DIR).string() + ":" +
                                      std::to_string(l.line) + ": " + f.what + " '" + f.word + "'");
        }
    return out;
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
    TrackRows file(everything, false, {"arena", "track", "missing"});
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

const std::vector<std::string> frontEnds = {"pipeline", "host", "gui", "python"};

TEST(FrontEnds, TheScannerFindsNamesInCodeAndNotInComments) {
    const std::string cpp = "// \"flowtrack\"\nif (p == \"flow\" \"track\") x = 'a';\n/* \"crowd\" */ f(R\"(BinThreshold=)\");\n";
    const auto literals = cppLiterals(cpp);
    ASSERT_EQ(literals.size(), 2u);
    EXPECT_EQ(literals[0].text + " " + std::to_string(literals[0].line), "flowtrack 2");
    EXPECT_EQ(literals[1].text + " " + std::to_string(literals[1].line), "BinThreshold= 3");
    const auto python = pythonLiterals("def f(p='crowd'):\n    \"\"\"Runs \"flowtrack\".\"\"\"\n    # \"nop\"\n    return \"a\\\"b\"\n");
    ASSERT_EQ(python.size(), 2u);
    EXPECT_EQ(python[0].text + " " + python[1].text + " " + std::to_string(python[1].line), "crowd a\\\"b 4");
    EXPECT_TRUE(found({"BinThreshold", Forbidden::asWord, ""}, "Try --set BinThreshold=N"));
    EXPECT_FALSE(found({"animals", Forbidden::whole, ""}, "the animals"));
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
    std::string listing;
    for (const std::string& hit : hits(frontEnds, forbidden)) listing += hit + "\n";
    EXPECT_EQ(listing, "");
}

}  // namespace
