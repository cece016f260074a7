#include "module/instance.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace {

using Clock = std::chrono::steady_clock;

class HostEvent final : public ip_event {
public:
    HostEvent(int x, int y) : x_(x), y_(y) {}
    int type() override { return ip_event::selection; }
    int code() override { return 0; }
    int x() override { return x_; }
    int y() override { return y_; }

private:
    int x_, y_;
};

}  // namespace

class HostEventList final : public ip_eventList {
public:
    void reset(const std::vector<cv::Point>& clicks) {
        events_.clear();
        for (const cv::Point& p : clicks) events_.emplace_back(p.x, p.y);
    }
    int count() override { return int(events_.size()); }
    ip_event* item(int index) override {
        return index >= 0 && size_t(index) < events_.size() ? &events_[size_t(index)] : nullptr;
    }

private:
    std::vector<HostEvent> events_;
};

Instance::Instance(Module& module, const Options& o, const ProcedureTraits& traits, RunStatus& status)
    : module_(module), o_(o), traits_(traits), status_(status), events_(std::make_unique<HostEventList>()) {
    windows_.configure(o.windowsDir, o.show);
}

Instance::~Instance() {
    if (!created()) return;
    WindowManager::Scope scope(windows_);
    std::string error;
    guarded([&] { module_.destroy(id_); }, error);
}

bool Instance::loadReplies(const std::vector<std::string>& builtIn, std::string& error, const StopToken& stop) {
    if (!o_.configFile.empty() && !console_.loadScript(o_.configFile, error, stop)) return false;
    if (!builtIn.empty()) console_.setReplies(builtIn);
    replies_ = !o_.configFile.empty() || !builtIn.empty();
    return true;
}

bool Instance::create(const ip_fmtWords& format, const SettingsFile& saved, int64_t frame) {
    WindowManager::Scope scope(windows_);
    std::string error;
    const ip_hostCallbacks* callbacks = windows_.callbacks();
    posture_ = Posture::unknown;
    const bool made = guarded(
        [&] {
            // The default procedure through the export every module has.
            id_ = traits_.isDefault ? module_.create(ip_asFmt(&format), callbacks)
                                    : module_.createByName(traits_.name.c_str(), ip_asFmt(&format), callbacks);
            if (module_.setDiagnostics) module_.setDiagnostics(id_, heard, this);
        },
        error);
    if (made) return applySettings(saved, std::max<int64_t>(frame, 0));
    const std::string at = frame >= 0 ? "frame " + std::to_string(frame) + ": " : "";
    status_.stop(exitModuleError, at + "creating '" + traits_.name + "': " + error);
    return false;
}

void Instance::heard(void* instance, int kind, const char* text) {
    static_cast<Instance*>(instance)->status_.observer().moduleSaid(kind == ip_diagnosticNotice, text ? text : "");
}

namespace {

// `settings` with only the last value of each name, in the order of those.
std::vector<Setting> lastOfEach(const std::vector<Setting>& settings) {
    std::vector<Setting> out;
    for (size_t i = 0; i < settings.size(); ++i) {
        bool later = false;
        for (size_t j = i + 1; j < settings.size() && !later; ++j) later = settings[j].name == settings[i].name;
        if (!later) out.push_back(settings[i]);
    }
    return out;
}

}  // namespace

bool Instance::applySettings(const SettingsFile& saved, int64_t frame) {
    if (!applyTogether(saved.values, "--settings '" + o_.settingsFile + "': ")) return false;
    if (replies_ && !configure(frame)) return false;
    if (!o_.animals.empty() && !applyAnimals()) return false;
    std::vector<Setting> sets;
    for (const auto& [name, value] : o_.sets) sets.push_back({name, value});
    return applyTogether(sets, "--set ");
}

// The module checks each value against the others as they are, so a value that agrees only
// with another one given beside it (minArea above the old maxArea, with the new maxArea) is
// tried again once the others are in, until no more go in: the values are checked together.
bool Instance::applyTogether(const std::vector<Setting>& given, const std::string& what) {
    std::vector<Setting> left = lastOfEach(given);
    while (!left.empty()) {
        std::vector<Setting> refused;
        std::string first;
        for (const Setting& s : left) {
            std::string error;
            bool ok = false;
            if (guarded([&] { ok = ::applySettings(module_, id_, {s}, error); }, error) && ok) continue;
            if (refused.empty()) first = error;
            refused.push_back(s);
        }
        if (refused.size() == left.size()) {
            status_.stop(exitUsage, what + refused[0].name + "=" + refused[0].value + ": " + first);
            return false;
        }
        left = std::move(refused);
    }
    return true;
}

// --animals is the procedure's own count when it has one: the total over the arenas.
bool Instance::applyAnimals() {
    const std::string& countSetting = traits_.countSetting;
    const int64_t total = std::accumulate(o_.animals.begin(), o_.animals.end(), int64_t(0));
    std::string counts;
    for (int64_t n : o_.animals) counts += (counts.empty() ? "" : ",") + std::to_string(n);
    for (const auto& [name, value] : o_.sets)
        if (name == countSetting && std::strtod(value.c_str(), nullptr) != double(total)) {
            status_.stop(exitUsage, "--animals " + counts + " and --set " + name + "=" + value + " disagree (" +
                                        std::to_string(total) + " against " + value +
                                        " animals in all): give the count once, with --animals");
            return false;
        }
    std::vector<SettingInfo> known;
    describe(known);
    const bool used = !countSetting.empty() && std::any_of(known.begin(), known.end(), [&](const SettingInfo& s) {
        return s.name == countSetting;
    });
    std::string error;
    bool ok = false;
    if (used && !(guarded([&] { ok = ::applySettings(module_, id_, {{countSetting, std::to_string(total)}}, error); }, error) && ok)) {
        status_.stop(exitUsage, "--animals " + std::to_string(total) + ": " + error);
        return false;
    }
    if (!used && !(o_.linking && o_.linking->global)) {
        status_.stop(exitUsage, "--animals: nothing would use the count (the procedure '" + traits_.name +
                                    "' has no animals setting, and --link is not ...,global)");
        return false;
    }
    return true;
}

bool Instance::configure(int64_t frame) {
    WindowManager::Scope scope(windows_);
    std::string error;
    if (guarded([&] { module_.config(id_, &console_); }, error)) return true;
    status_.stop(exitModuleError, "frame " + std::to_string(frame) + ": " + error + " (in the configuration dialogue)");
    return false;
}

// The objects of the frame the module has just processed; the buffer grows once when they do
// not fit. False with `error` when the module fails.
bool Instance::readObjects(std::vector<ip_objectRecord>& objects, std::string& error) {
    int count = 0;
    const bool ok = guarded(
        [&] {
            objects.resize(16);
            count = module_.objects(id_, objects.data(), int(objects.size()));
            if (count > int(objects.size())) {
                objects.resize(size_t(count));
                count = std::min(count, module_.objects(id_, objects.data(), count));
            }
        },
        error);
    objects.resize(size_t(std::max(count, 0)));
    return ok;
}

// The centres and shapes of the `count` objects just read, for a procedure that measures them,
// and their postures, for one that reports them (decided on the first frame with objects); none
// when the module does not tell them or tells another number of objects.
bool Instance::readDetails(size_t count, FrameJob& job, std::string& error) {
    job.shapes.clear(), job.postures.clear();
    const bool shaped = traits_.shapes;
    if ((!shaped && posture_ == Posture::no) || !module_.objectDetails || count == 0) return true;
    std::vector<ip_objectDetails> details(count);
    int told = 0;
    if (!guarded([&] { told = module_.objectDetails(id_, details.data(), int(count), int(sizeof details[0])); }, error))
        return false;
    if (told != int(count)) return true;
    if (posture_ == Posture::unknown) posture_ = reportsPosture(details) ? Posture::yes : Posture::no;
    for (const ip_objectDetails& d : details) {
        if (shaped)
            job.shapes.push_back({toDecimals(d.x, centreDecimals), toDecimals(d.y, centreDecimals), d.intensity,
                                  d.orientation, d.elongation});
        if (posture_ == Posture::yes) job.postures.push_back(postureOf(d));
    }
    return true;
}

void Instance::process(FrameJob& job, const FrameNeeds& needs, const std::vector<cv::Point>& clicks, double fps) {
    WindowManager::Scope scope(windows_);
    std::string error;
    Stage at = Stage::elsewhere;
    try {
        events_->reset(clicks);
        const Clock::time_point before = Clock::now();
        const dib_base* result = nullptr;
        const bool done =
            guarded([&] { module_.process(id_, ip_asDib(&job.image), events_.get(), &overlay_); }, error);
        if (!done) return job.fail(exitModuleError, error);
        profiler_.frameTime(1000.0 * std::chrono::duration<double>(Clock::now() - before).count());
        if (!guarded([&] { result = module_.dstDib(id_); }, error)) return job.fail(exitModuleError, error);
        if (needs.profile && !guarded([&] { module_.profile(id_, &profiler_); }, error))
            return job.fail(exitModuleError, error);
        if (needs.objects) {
            if (!readObjects(job.objects, error) || !readDetails(job.objects.size(), job, error))
                return job.fail(exitModuleError, error);
            job.ready = wallSeconds();
        }
        const ip_dibWords* produced = result ? ip_dibWordsOf(result) : nullptr;
        at = needs.exact ? Stage::writing : Stage::elsewhere;
        if (needs.exact || needs.annotated) job.exact = dibToExact(produced);
        at = Stage::elsewhere;
        markClicks(job, needs, clicks, fps);
        job.processed = true;
    } catch (...) {
        job.processed = false;
        job.fail(stageStatus(at), describeFailure(std::current_exception()));
    }
}

// A click the procedure acknowledged is ringed on the pictures for as long as it asked.
void Instance::markClicks(FrameJob& job, const FrameNeeds& needs, const std::vector<cv::Point>& clicks, double fps) {
    int radius = 0, ms = 0;
    if (overlay_.takeAcknowledge(radius, ms)) {
        flashRadius_ = radius;
        flashAt_ = clicks;
        flashFrames_ = std::max<int64_t>(1, int64_t(std::ceil(std::max(0, ms) * fps / 1000.0)));
    }
    if (!needs.annotated) return;
    job.commands = overlay_.commands();
    if (flashFrames_ <= 0) return;
    job.flash = true;
    job.flashAt = flashAt_;
    job.flashRadius = flashRadius_;
    --flashFrames_;
}

bool Instance::describe(std::vector<SettingInfo>& settings) const {
    std::string error;
    return guarded([&] { settings = readSettings(module_, id_); }, error);
}

namespace {

// The dialogue's listener: it keeps what the procedure asks and keeps every value.
class PromptRecorder final : public ip_console {
public:
    std::string asked;
    const char* readLine() override { return ""; }
    void write(const char* text) override { asked += text; }
    void message(const char*) override {}
};

}  // namespace

bool Instance::settingGroups(std::vector<std::vector<std::string>>& groups) {
    WindowManager::Scope scope(windows_);
    PromptRecorder prompts;
    std::string error;
    if (!module_.config || !guarded([&] { module_.config(id_, &prompts); }, error)) return false;
    groups = askedTogether(prompts.asked);
    return true;
}

// The procedure's counters as they stand; none when the module or the procedure keeps none.
void Instance::readCounters() {
    counters_.clear();
    if (!module_.counters) return;
    std::string error;
    std::vector<ip_counterRecord> records;
    guarded(
        [&] {
            const int n = module_.counters(id_, nullptr, 0, int(sizeof(ip_counterRecord)));
            records.resize(size_t(std::max(n, 0)));
            const int got = module_.counters(id_, records.data(), n, int(sizeof(ip_counterRecord)));
            records.resize(size_t(std::clamp(got, 0, n)));
        },
        error);
    for (const ip_counterRecord& r : records) {
        if (!r.name) continue;
        const auto declared = std::find_if(traits_.counters.begin(), traits_.counters.end(),
                                           [&](const CounterTraits& c) { return c.name == r.name; });
        CounterTraits traits = declared != traits_.counters.end() ? *declared : CounterTraits{r.name, "", "", "", true};
        traits.hint = r.hint ? r.hint : "";
        counters_.push_back({std::move(traits), r.value});
    }
}

void Instance::record(RunRecord& record) {
    readCounters();
    for (const ProcedureCounter& c : counters_)
        if (c.value != 0 && c.traits.recorded)
            record.extra.push_back({"count_" + c.traits.name, std::to_string(c.value), true});
    std::vector<SettingInfo> settings;
    if (!describe(settings)) return;
    record.settings.clear();
    for (const SettingInfo& s : settings) record.settings.emplace_back(s.name, formatSetting(s.type, s.value));
    record.settingsRead = true;
    std::string error;
    const char* version = nullptr;
    if (module_.version && guarded([&] { version = module_.version(); }, error) && version)
        record.moduleVersion = version;
}

void Instance::destroy() {
    if (!created()) return;
    WindowManager::Scope scope(windows_);
    std::string error;
    if (!guarded([&] { module_.destroy(id_); }, error))
        status_.stop(exitModuleError, "destroying the instance: " + error);
    id_ = -1;
}
