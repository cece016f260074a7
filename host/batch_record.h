// What a batch keeps of each input's run in OUT/batch.json: the request its outputs were made
// with and which outputs they are, so that a resumed batch skips an input only when its
// recorded run answers the call, runs it again when only outputs are missing, and refuses to
// overwrite outputs made by another request unless --force.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "settings.h"

// The analysis a call asks for, as named values in order: procedure, module version, every
// setting, the pixels, the frame range, the arenas and animals, linking, units, time, clicks.
using Request = std::vector<std::pair<std::string, std::string>>;
Request batchRequest(const Options& o, const std::vector<SettingInfo>& settings, const std::string& version);

// The first value that differs, as "NAME: BEFORE before, NOW now"; empty when none does.
std::string requestDifference(const Request& before, const Request& now);

struct RecordedRun {
    Request request;
    std::map<std::string, std::string> outputs;  // option -> file or folder
};

class BatchRecord {
public:
    explicit BatchRecord(std::string file) : file_(std::move(file)) {}
    // A missing or unreadable file is an empty record: nothing is known of any input then.
    void load();
    const RecordedRun* find(const std::string& input) const;
    // The run of `input` just made these outputs; outputs of an earlier run of the same
    // request stay recorded beside them.
    void made(const std::string& input, const Request& request, const std::vector<std::pair<std::string, std::string>>& outputs);
    bool save(std::string& error) const;

private:
    std::string file_;
    std::map<std::string, RecordedRun> runs_;
};
