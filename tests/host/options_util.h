// The options a command line gives, for the unit tests that build a run or read options back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ambrevo/pipeline/run/command_line.h"

// What a failed Outcome or Expected says; "" when it succeeded (a failure without words is
// still told, so that comparing with "" checks success).
inline std::string failure(const auto& result) {
    return result ? std::string() : result.error().message.empty() ? "(failed, no message)" : result.error().message;
}

// Parses `words` as the program's arguments after its name; whether they were taken.
inline bool parseWords(const std::vector<std::string>& words, Options& o, std::string& error) {
    std::vector<const char*> argv{"ambrevo"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    const Outcome parsed = parseOptions(int(argv.size()), argv.data(), o);
    if (!parsed) error = parsed.error().message;
    return bool(parsed);
}

// The options of `words`, which must be taken.
inline Options options(const std::vector<std::string>& words) {
    Options o;
    std::string error;
    EXPECT_TRUE(parseWords(words, o, error)) << error;
    return o;
}

// The options a command line written back for `o` gives: the same words again.
inline void expectWrittenBackAlike(const Options& o) {
    const std::vector<std::string> words = commandWords(o);
    EXPECT_EQ(commandWords(options({words.begin() + 1, words.end()})), words);
}
