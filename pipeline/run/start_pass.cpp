#include "run/start_pass.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <thread>
#include <utility>

#include "ambrevo/pipeline/sources/stream_input.h"
#include "run/run.h"

namespace {

// Fewer frames than this after scaling to the memory leave too little to settle on.
constexpr int64_t fewestKept = 20;

int64_t matBytes(const cv::Mat& m) { return int64_t(m.total() * m.elemSize()); }

// What keeping the frame costs: its picture and the module's copy of it when that is another.
int64_t frameBytes(const FrameJob& job) {
    return matBytes(job.bgr) + (job.holder.data && job.holder.data != job.bgr.data ? matBytes(job.holder) : 0);
}

}  // namespace

StartSpan fittedSpan(StartSpan span, int64_t frameBytes) {
    const int64_t wanted = span.replaced + span.warmUp;
    if (span.replaced <= 0 || wanted <= 0) return noStartPass;
    const int64_t fits = startPassBytes / std::max<int64_t>(1, frameBytes);
    if (fits >= wanted) return span;
    if (fits < fewestKept) return noStartPass;
    const int64_t replaced = span.replaced * fits / wanted;
    return {replaced, fits - replaced};
}

void turnForward(ip_objectRecord& object, ObjectPosture* posture) {
    object.vx = -object.vx, object.vy = -object.vy;
    if (!posture || std::isnan(posture->heading)) return;
    ObjectPosture& p = *posture;
    if (p.head != 1) {
        // A heading from the motion alone.
        p.heading = float(toDecimals(std::remainder(double(p.heading) + M_PI, 2 * M_PI), headingDecimals));
        return;
    }
    constexpr int n = ObjectPosture::points;
    for (int k = 0; k < n / 2; ++k) {
        std::swap(p.midline[size_t(2 * k)], p.midline[size_t(2 * (n - 1 - k))]);
        std::swap(p.midline[size_t(2 * k + 1)], p.midline[size_t(2 * (n - 1 - k) + 1)]);
    }
    std::reverse(p.grey.begin(), p.grey.end());
    // Where the head points, as the module tells it: from the midline's third point to its first.
    p.heading =
        float(toDecimals(std::atan2(p.midline[1] - p.midline[5], p.midline[0] - p.midline[4]), headingDecimals));
}

bool StartPass::take(FrameJob& job) {
    if (next_ >= frames_.size()) return false;
    job = std::move(frames_[next_++]);
    // The frame's memory goes with it.
    frames_[next_ - 1] = FrameJob{};
    if (next_ == frames_.size()) frames_.clear(), frames_.shrink_to_fit();
    return true;
}

size_t StartPass::usable() const {
    size_t usable = 0;
    while (usable < frames_.size() && !frames_[usable].last && !frames_[usable].failure) ++usable;
    return usable;
}

// Round animals have no heads to tell which instance knows them better.
bool StartPass::round(const FrameJob& job) {
    return !job.postures.empty() && std::none_of(job.postures.begin(), job.postures.end(),
                                                 [](const ObjectPosture& p) { return p.hasMidline(); });
}

bool StartPass::settle(Instance& backward, size_t usable, int64_t replaced, const StopToken& stop) {
    const FrameNeeds needs{.objects = true, .learning = byLearning_};
    for (size_t i = usable; i-- > 0;) {
        FrameJob job;
        job.frame = frames_[i].frame;
        job.image = frames_[i].image;
        if (!stop.stopRequested()) backward.process(job, needs, {}, 0);
        if (!job.processed) {
            rows_.clear();
            return false;
        }
        if (int64_t(i) >= replaced) continue;
        for (size_t k = 0; k < job.objects.size(); ++k)
            turnForward(job.objects[k], k < job.postures.size() ? &job.postures[k] : nullptr);
        // On its own thread a failure to keep the rows has no one to tell: the start stays as the
        // forward instance saw it.
        try {
            rows_[job.frame] = {std::move(job.objects), std::move(job.shapes), std::move(job.postures), job.provisional};
        } catch (const std::bad_alloc&) {
            rows_.clear();
            return false;
        }
    }
    return true;
}

namespace {

size_t headsKnown(const std::vector<ObjectPosture>& postures) {
    return size_t(std::count_if(postures.begin(), postures.end(), [](const ObjectPosture& p) { return p.head == 1; }));
}

}  // namespace

// A head is known once a track has followed its animal's motion for a while: of the two instances,
// the one that knows more heads on the frame has lost fewer of its animals there, and its objects
// stand. Each frame comes once: its rows are handed over, or let go, either way.
void StartPass::replace(FrameJob& job) {
    const auto found = rows_.find(job.frame);
    if (found == rows_.end()) return;
    Rows back = std::move(found->second);
    rows_.erase(found);
    const bool better = byLearning_ ? job.provisional && !back.provisional
                                    : headsKnown(back.postures) > headsKnown(job.postures);
    if (!job.processed || !better) return;
    job.objects = std::move(back.objects);
    job.shapes = std::move(back.shapes);
    job.postures = std::move(back.postures);
}

// The animals the procedure counts, as its count setting holds them; 0 when it has no count.
int64_t Run::countedAnimals() const {
    std::vector<SettingInfo> settings;
    if (traits_.countSetting.empty() || !instance_.describe(settings)) return 0;
    for (const SettingInfo& s : settings)
        if (s.name == traits_.countSetting) return int64_t(std::max(0.0, s.value));
    return 0;
}

// The span of the run's start pass; none unless the procedure learns its animals as it goes (it
// reports their postures) and the count is given or the procedure tells when it has learned its
// scene, the input is a file (frames read ahead keep nobody waiting), nothing watches the
// instance's windows, and the rows are linked by position: the backward instance's own object
// numbers do not carry on into the forward's.
StartSpan Run::startSpan() const {
    if (o_.startPass.replaced == 0 || !traits_.posture) return noStartPass;
    if (!needs_.objects || !o_.linking || o_.show || !o_.windowsDir.empty()) return noStartPass;
    if (sourceHanded_ || o_.input == "demo" || isLiveInput(o_.input)) return noStartPass;
    const bool tellsLearning = std::any_of(traits_.counters.begin(), traits_.counters.end(),
                                           [](const CounterTraits& c) { return c.learning; });
    if (countedAnimals() <= 0 && !tellsLearning) return noStartPass;
    return o_.startPass.replaced < 0 ? defaultStartSpan : o_.startPass;
}

// Reads the next frame ahead for the start pass; false when there is none to read: the input
// ended, a frame failed or the run is to stop.
bool Run::readAhead() {
    const FrameJob& last = start_.at(start_.kept() - 1);
    if (last.last || stop_.stopRequested() || !more(last.frame + 1, int64_t(start_.kept()))) return false;
    FrameJob job;
    job.frame = last.frame + 1;
    readInput(job);
    start_.keep(std::move(job));
    return true;
}

// Processes the first frame as the run would; when its animals look round, that is all. Otherwise
// the frames of the pass are read ahead, and an instance of the pass's own, made with the forward
// one's settings and telling the run nothing, settles them.
void Run::settleStart(FrameJob& first, const ip_fmtWords& format) {
    const StartSpan span = fittedSpan(startSpan(), frameBytes(first));
    if (span.replaced <= 0) return;
    if (countedAnimals() <= 0) start_.settleByLearning(first.frame + span.replaced);
    process(first);
    if (first.last || StartPass::round(first)) return;
    start_.keep(first);
    const int64_t wanted = span.replaced + span.warmUp;
    for (bool read = true; read && int64_t(start_.kept()) < wanted;) read = readAhead();
    // A short input settles the same share of its frames.
    const int64_t usable = int64_t(start_.usable());
    const int64_t replaced = span.replaced * std::min(usable, wanted) / wanted;
    SettingsFile settings;
    std::vector<SettingInfo> now;
    if (replaced <= 0 || stop_.stopRequested() || !instance_.describe(now)) return;
    for (const SettingInfo& s : now) settings.values.push_back({s.name, formatSetting(s.type, s.value)});
    Instance backward(module_, o_, traits_, status_);
    backward.console().silence();
    backward.mute();
    if (!backward.create(format, settings, first.frame)) return;
    // Separate instances never touch each other: the backward one settles on a thread of its own
    // while the forward one goes through the frames read ahead, and the pass costs little more
    // than reading them. The frames' pictures are only read by both; what the forward instance
    // writes into the frames is not what the backward one reads from them.
    std::thread behind([&] { start_.settle(backward, size_t(usable), replaced, stop_); });
    processAhead(size_t(usable));
    behind.join();
}

// The forward instance's turn on the frames read ahead, in order, until one fails; the loop
// then only chooses their objects. With the procedure's pictures asked for, they would double
// what the frames kept take, and the loop processes the frames as they come.
void Run::processAhead(size_t usable) {
    if (needs_.annotated || needs_.exact) return;
    for (size_t i = 1; i < usable && !stop_.stopRequested(); ++i) {
        processForward(start_.at(i));
        if (!start_.at(i).processed) return;
    }
}
