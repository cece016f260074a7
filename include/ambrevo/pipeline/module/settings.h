// Settings by name: reading and applying them, the table --params prints and the file
// --settings-out writes and --settings reads back, so that a run can be repeated exactly.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/stop.h"
#include "ambrevo/pipeline/module/module.h"

struct Setting {
    std::string name;
    std::string value;  // as text: "120", "0.5", "1"
};

// One setting of an instance as the module describes it.
struct SettingInfo {
    std::string name;
    int type = 0;  // 0 integer, 1 boolean, 2 real
    double lowest = 0, highest = 0, defaultValue = 0, value = 0;
    std::string help;
};

// A value as the module takes it back unchanged: integers and booleans without a fraction,
// reals in their shortest exact form.
std::string formatSetting(int type, double value);

// Every setting of the instance; a module failure with the module's reason when it fails.
Outcome readSettings(const Module& module, const ambrevo_procedure* procedure, std::vector<SettingInfo>& settings);

// Applies `settings` in order; the first refusal is a usage failure with the module's reason.
Outcome applySettings(const Module& module, ambrevo_procedure* procedure, const std::vector<Setting>& settings);

// The settings a procedure's configuration dialogue asks together, prompt by prompt, read from
// what it wrote: each "Please supply the new values for A, B and C:" one group, in order.
std::vector<std::vector<std::string>> askedTogether(const std::string& dialogue);

// The table --params prints: name, value, range and help, one setting a line.
std::string settingsTable(const std::vector<SettingInfo>& settings);

// The JSON object --settings-out writes.
std::string settingsJson(const std::string& version, const std::string& procedure,
                         const std::vector<SettingInfo>& settings);
// The same from each setting's name and its value as formatSetting writes it.
std::string settingsJson(const std::string& version, const std::string& procedure,
                         const std::vector<std::pair<std::string, std::string>>& values);

struct SettingsFile {
    std::string version;
    std::string procedure;
    std::vector<Setting> values;
    // The rest of a run's set-up, when the file tells it (the desktop app saves it): the
    // arenas as --roi takes them, the animals in each, the scale and the linking. A run takes
    // each unless its own options give it.
    std::vector<std::string> arenas;
    std::vector<int64_t> animals;
    double scale = 0;  // 0: none
    std::string unit;
    std::string link;
};

// The file as settingsJson writes it, with the set-up besides the settings after them.
std::string settingsFileJson(const SettingsFile& file);

// Reads a file written by --settings-out; an input failure when it cannot be read or is not
// such a file.
Outcome readSettingsFile(const std::string& file, SettingsFile& out, const StopToken& stop = StopToken());
