// The set-up of an analysis besides its input and outputs: the procedure and its settings, the
// arenas with their animals, the scale and the linking. The user edits it, undoes and redoes
// its edits, and saves it as a settings file; the window applies it whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/module/settings.h"
#include "arena_shape.h"

struct Setup {
    std::string procedure;  // the window names the module's default when it loads
    // The --settings file the set-up starts from (empty: none) and what it holds.
    std::string settingsPath;
    std::shared_ptr<const SettingsFile> saved = std::make_shared<SettingsFile>();
    std::vector<std::pair<std::string, std::string>> sets;  // settings changed since, in order
    std::vector<ArenaShape> arenas;
    std::vector<int64_t> animals;  // per arena (one without arenas); 0: not given
    double scale = 0;              // pixels per unit; 0: none
    std::string unit;
    std::string link;

    bool operator==(const Setup&) const = default;
    // The value `name` is changed to, or null.
    const std::string* changed(const std::string& name) const {
        for (const auto& [n, v] : sets)
            if (n == name) return &v;
        return nullptr;
    }
};
