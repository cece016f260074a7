#include "ambrevo/pipeline/tracks/link_option.h"

#include <exception>

#include "ambrevo/pipeline/tracks/track_link.h"

Expected<ambrevo::LinkSettings> parseLinkOption(const std::string& text) {
    std::string given = text;
    // The words after the numbers, in any order, each once.
    bool predicting = false, global = false;
    for (size_t comma = given.rfind(','); comma != std::string::npos && comma > 0; comma = given.rfind(',')) {
        const std::string word = given.substr(comma + 1);
        bool* flag = word == "predict" ? &predicting : word == "global" ? &global : nullptr;
        if (!flag || *flag) break;
        *flag = true;
        given.resize(comma);
    }
    ambrevo::LinkSettings settings;
    try {
        settings = ambrevo::parse_link_option(given);
    } catch (const std::exception& e) {
        return Failure{RunError::usage, e.what()};
    }
    settings.predict = predicting;
    settings.global = global;
    return settings;
}
