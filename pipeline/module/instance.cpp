#include "module/instance.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

Instance::Instance(Module& module, const Options& o, const ProcedureTraits& traits, RunStatus& status)
    : module_(module), o_(o), traits_(traits), status_(status) {
    windows_.configure(o.windowsDir, o.show);
}

Instance::~Instance() {
    if (created()) module_.destroy(procedure_);
}

// Done for AMBREVO_OK when nothing the module called back failed; otherwise a module failure
// with the module's message, or the failure of what it called.
Outcome Instance::call(ambrevo_status status) {
    std::string failed = overlay_.takeFailure();
    if (failed.empty()) failed = windows_.takeFailure();
    if (status == AMBREVO_OK && failed.empty()) return {};
    return Failure{RunError::module, status == AMBREVO_OK ? failed : module_.failure()};
}

Outcome Instance::loadReplies(const std::vector<std::string>& builtIn, const StopToken& stop) {
    if (!o_.configFile.empty())
        if (const Outcome loaded = console_.loadScript(o_.configFile, stop); !loaded) return loaded;
    if (!builtIn.empty()) console_.setReplies(builtIn);
    replies_ = !o_.configFile.empty() || !builtIn.empty();
    return {};
}

bool Instance::create(const ip_fmtWords& format, const SettingsFile& saved, int64_t frame) {
    posture_ = Posture::unknown;
    // The module tells the default procedure's name; one that does not is refused by the module.
    Outcome made =
        call(module_.create(traits_.name.c_str(), format.width, std::abs(format.height), format.szPixel, &procedure_));
    if (made) made = call(module_.setDiagnostics(procedure_, heard, this));
    if (made) made = call(module_.setOverlay(procedure_, HostOverlay::draw, &overlay_));
    if (made) made = call(module_.setWindows(procedure_, WindowManager::event, &windows_));
    if (made) return applySettings(saved, std::max<int64_t>(frame, 0));
    const std::string at = frame >= 0 ? "frame " + std::to_string(frame) + ": " : "";
    status_.stop(RunError::module, at + "creating '" + traits_.name + "': " + made.error().message);
    return false;
}

void Instance::heard(void* instance, int kind, const char* text) {
    const Instance* self = static_cast<Instance*>(instance);
    if (!self->muted_) self->status_.observer().moduleSaid(kind == AMBREVO_NOTICE, text ? text : "");
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
            const Outcome applied = ::applySettings(module_, procedure_, {s});
            if (applied) continue;
            if (refused.empty()) first = applied.error().message;
            refused.push_back(s);
        }
        if (refused.size() == left.size()) {
            status_.stop(RunError::usage, what + refused[0].name + "=" + refused[0].value + ": " + first);
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
            status_.stop(RunError::usage, "--animals " + counts + " and --set " + name + "=" + value + " disagree (" +
                                        std::to_string(total) + " against " + value +
                                        " animals in all): give the count once, with --animals");
            return false;
        }
    std::vector<SettingInfo> known;
    describe(known);
    const bool used = !countSetting.empty() && std::any_of(known.begin(), known.end(), [&](const SettingInfo& s) {
        return s.name == countSetting;
    });
    if (used)
        if (const Outcome applied = ::applySettings(module_, procedure_, {{countSetting, std::to_string(total)}});
            !applied) {
            status_.stop(RunError::usage, "--animals " + std::to_string(total) + ": " + applied.error().message);
            return false;
        }
    if (!used && !(o_.linking && o_.linking->global)) {
        status_.stop(RunError::usage, "--animals: nothing would use the count (the procedure '" + traits_.name +
                                    "' has no animals setting, and --link is not ...,global)");
        return false;
    }
    return true;
}

bool Instance::configure(int64_t frame) {
    const Outcome conversed = call(module_.converse(procedure_, HostConsole::reply, HostConsole::written, &console_));
    if (conversed) return true;
    status_.stop(RunError::module,
                 "frame " + std::to_string(frame) + ": " + conversed.error().message + " (in the configuration dialogue)");
    return false;
}

// The objects of the frame the module has just processed; the buffer grows once when they do
// not fit.
Outcome Instance::readObjects(std::vector<ip_objectRecord>& objects) {
    const int32_t size = int32_t(sizeof(ip_objectRecord));
    int32_t count = 0;
    objects.resize(16);
    Outcome read = call(module_.objects(procedure_, objects.data(), int32_t(objects.size()), size, &count));
    if (read && count > int32_t(objects.size())) {
        objects.resize(size_t(count));
        int32_t again = 0;
        read = call(module_.objects(procedure_, objects.data(), count, size, &again));
        count = std::min(count, again);
    }
    objects.resize(read ? size_t(std::max(count, 0)) : 0);
    return read;
}

// The centres and shapes of the `count` objects just read, for a procedure that measures them,
// and their postures, for one that reports them (decided on the first frame with objects); none
// when the module does not tell them or tells another number of objects.
Outcome Instance::readDetails(size_t count, FrameJob& job) {
    job.shapes.clear(), job.postures.clear();
    const bool shaped = traits_.shapes;
    if ((!shaped && posture_ == Posture::no) || count == 0) return {};
    std::vector<ip_objectDetails> details(count);
    int32_t told = 0;
    if (Outcome read =
            call(module_.objectDetails(procedure_, details.data(), int32_t(count), int32_t(sizeof details[0]), &told));
        !read)
        return read;
    if (told != int(count)) return {};
    if (posture_ == Posture::unknown) posture_ = reportsPosture(details) ? Posture::yes : Posture::no;
    for (const ip_objectDetails& d : details) {
        if (shaped)
            job.shapes.push_back({toDecimals(d.x, centreDecimals), toDecimals(d.y, centreDecimals), d.intensity,
                                  d.orientation, d.elongation});
        if (posture_ == Posture::yes) job.postures.push_back(postureOf(d));
    }
    return {};
}

void Instance::process(FrameJob& job, const FrameNeeds& needs, const std::vector<cv::Point>& clicks, double fps) {
    Stage at = Stage::elsewhere;
    auto fail = [&](const Outcome& failed) { job.fail(failed.error().kind, failed.error().message); };
    try {
        std::vector<ambrevo_click> taken;
        for (const cv::Point& p : clicks) taken.push_back({p.x, p.y});
        const ambrevo_frame frame{job.image.bits, job.image.width, std::abs(job.image.height), job.image.szRow,
                                  job.image.szPixel};
        const Clock::time_point before = Clock::now();
        if (Outcome done = call(module_.process(procedure_, &frame, taken.data(), int32_t(taken.size()))); !done)
            return fail(done);
        profiler_.frameTime(1000.0 * std::chrono::duration<double>(Clock::now() - before).count());
        job.provisional = needs.learning && stillLearning();
        if (needs.profile)
            if (Outcome read = readProfile(); !read) return fail(read);
        if (needs.objects) {
            Outcome read = readObjects(job.objects);
            if (read) read = readDetails(job.objects.size(), job);
            if (!read) return fail(read);
            job.ready = wallSeconds();
        }
        at = needs.exact ? Stage::writing : Stage::elsewhere;
        if (needs.exact || needs.annotated) {
            // A procedure without a destination image gives an empty picture.
            ambrevo_image produced{};
            const bool has = module_.destination(procedure_, &produced) == AMBREVO_OK;
            const ip_dibWords words = dibWords(produced);
            job.exact = dibToExact(has ? &words : nullptr);
        }
        at = Stage::elsewhere;
        markClicks(job, needs, clicks, fps);
        job.processed = true;
    } catch (...) {
        job.processed = false;
        job.fail(stageError(at), describeFailure(std::current_exception()));
    }
}

// The stage times of the frame just processed, into the profiler.
Outcome Instance::readProfile() {
    std::vector<ambrevo_stage> stages(16);
    int32_t count = 0;
    if (Outcome read = call(module_.profile(procedure_, stages.data(), int32_t(stages.size()), &count)); !read)
        return read;
    if (count > int32_t(stages.size())) {
        stages.resize(size_t(count));
        if (Outcome read = call(module_.profile(procedure_, stages.data(), count, &count)); !read) return read;
    }
    for (int32_t i = 0; i < count && i < int32_t(stages.size()); ++i) profiler_.report(stages[size_t(i)].name, stages[size_t(i)].ms);
    return {};
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
    return bool(readSettings(module_, procedure_, settings));
}

namespace {

// The dialogue's listener: it keeps what the procedure asks and keeps every value.
const char* keepEveryValue(void*) { return ""; }
void keepAsked(void* asked, int32_t kind, const char* text) {
    if (kind == AMBREVO_CONSOLE) *static_cast<std::string*>(asked) += text;
}

}  // namespace

bool Instance::settingGroups(std::vector<std::vector<std::string>>& groups) {
    std::string asked;
    if (!call(module_.converse(procedure_, keepEveryValue, keepAsked, &asked))) return false;
    groups = askedTogether(asked);
    return true;
}

// The procedure's counters as they stand; none when the module or the procedure keeps none.
void Instance::readCounters() {
    counters_.clear();
    const int32_t size = int32_t(sizeof(ambrevo_counter));
    int32_t n = 0, got = 0;
    if (module_.counters(procedure_, nullptr, 0, size, &n) != AMBREVO_OK) return;
    std::vector<ambrevo_counter> records(size_t(std::max(n, 0)));
    if (module_.counters(procedure_, records.data(), n, size, &got) != AMBREVO_OK) return;
    records.resize(size_t(std::clamp(got, 0, n)));
    for (const ambrevo_counter& r : records) {
        if (!r.name) continue;
        const auto declared = std::find_if(traits_.counters.begin(), traits_.counters.end(),
                                           [&](const CounterTraits& c) { return c.name == r.name; });
        CounterTraits traits = declared != traits_.counters.end() ? *declared : CounterTraits{r.name, "", "", "", true};
        traits.hint = r.hint ? r.hint : "";
        counters_.push_back({std::move(traits), r.value});
    }
}

bool Instance::stillLearning() {
    readCounters();
    const auto learning =
        std::find_if(counters_.begin(), counters_.end(), [](const ProcedureCounter& c) { return c.traits.learning; });
    if (learning == counters_.end()) return false;
    const bool grew = learning->value > learningFrames_;
    learningFrames_ = learning->value;
    return grew;
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
    if (const char* version = module_.version()) record.moduleVersion = version;
}

void Instance::destroy() {
    if (!created()) return;
    module_.destroy(procedure_);
    procedure_ = nullptr;
}
