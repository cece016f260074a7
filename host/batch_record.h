// What a batch keeps of each input's run in OUT/batch.json: the request its outputs were made
// with and which outputs they are, so that a resumed batch skips an input only when its
// recorded run answers the call, runs it again when only outputs are missing, and refuses to
// overwrite outputs made by another request unless --force.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/module/settings.h"

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

// An input a batch has started a run of: what the run makes, and what the track file was
// before it, so that whoever finds the claim of a batch that died can tell whether the run
// replaced it.
struct Claim {
    std::string batch;   // the claiming batch's presence (batch_folder.h)
    RecordedRun run;     // the request and the outputs it makes
    std::string tracks;  // fileIdentity() of the track file when the run began
};

class BatchRecord {
public:
    explicit BatchRecord(std::string file) : file_(std::move(file)) {}
    // A missing file is an empty record, and so is one that holds no record (nothing is known
    // of any input then). An output failure when the file is no regular file or larger than
    // any record: it is neither read nor replaced.
    Outcome load();
    // Whether the file changed since this record last read or wrote it.
    bool changed() const;
    const RecordedRun* find(const std::string& input) const;
    const Claim* claim(const std::string& input) const;
    // The run of `input` just made these outputs; outputs of an earlier run of the same
    // request stay recorded beside them. Its claim ends.
    void made(const std::string& input, const Request& request, const std::vector<std::pair<std::string, std::string>>& outputs);
    // A run of `input` begins, or ended without making anything (released: as before it began).
    void begin(const std::string& input, const Claim& claim);
    void release(const std::string& input);
    // The claims of batches no longer running: the run made the track file when it is no
    // longer the one found when the run began, else the claim is released.
    void settle(const std::function<bool(const std::string& batch)>& alive,
                const std::function<std::string(const std::string& file)>& identity);
    Outcome save();

private:
    struct Entry {
        std::optional<RecordedRun> made;
        std::optional<Claim> claim;
    };
    std::string file_;
    std::map<std::string, Entry> runs_;
    std::string seen_;  // the file's identity when last read or written
};
