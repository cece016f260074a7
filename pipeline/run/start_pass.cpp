#include "run/start_pass.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
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
    if (settling()) {
        job = frames_[next_++];
        return true;
    }
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

void StartPass::settle(Instance& backward, size_t usable, int64_t replaced, const StopToken& stop) {
    const FrameNeeds needs{.objects = true, .learning = byLearning_};
    for (size_t i = usable; i-- > 0;) {
        FrameJob job;
        job.frame = frames_[i].frame;
        job.image = frames_[i].image;
        if (!stop.stopRequested() && !quit_) backward.process(job, needs, {}, 0);
        if (!job.processed) {
            rows_.clear();
            return;
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
            return;
        }
    }
}

void StartPass::settleBehind(std::unique_ptr<Instance> backward, size_t usable, int64_t replaced,
                             const StopToken& stop) {
    settleEnd_ = replaced > 0 ? frames_[size_t(replaced - 1)].frame + 1 : 0;
    backward_ = std::move(backward);
    busy_ = true;
    const auto work = [this, usable, replaced, stop] {
        settle(*backward_, usable, replaced, stop);
        settled();
    };
    try {
        behind_ = std::thread(work);
        return;
    } catch (const std::system_error&) {
    }
    work();
}

void StartPass::settled() {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    done_.notify_all();
}

bool StartPass::settling() {
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_;
}

void StartPass::finish() {
    quit_ = true;
    if (behind_.joinable()) behind_.join();
    backward_.reset();
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
    if (job.frame >= settleEnd_) return;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return !busy_; });
    }
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

// Reads the frames of the pass after those kept until `wanted` are kept, the input ends, a frame
// fails or the run is to stop, handing each to `keep`.
void Run::readAhead(int64_t wanted, const std::function<void(FrameJob)>& keep) {
    const FrameJob& lastKept = start_.at(start_.kept() - 1);
    int64_t next = lastKept.frame + 1, kept = int64_t(start_.kept());
    for (bool ended = lastKept.last; !ended && kept < wanted && !stop_.stopRequested() && more(next, kept); ++kept) {
        FrameJob job;
        job.frame = next;
        readInput(job);
        next = job.frame + 1, ended = job.last;
        keep(std::move(job));
    }
}

// The frames of the pass read ahead on a thread of their own, while this one hands each to the
// forward instance as it comes; `read` is called here between two frames once all are read. False
// when the thread could not be started (nothing was read).
bool Run::followReading(int64_t wanted, const std::function<void()>& read) {
    std::mutex mutex;
    std::condition_variable arrived;
    size_t kept = start_.kept();
    bool done = false, told = false;
    start_.reserve(size_t(wanted));
    std::thread reader;
    try {
        reader = std::thread([&] {
            readAhead(wanted, [&](FrameJob job) {
                std::lock_guard<std::mutex> lock(mutex);
                start_.keep(std::move(job));
                kept = start_.kept();
                arrived.notify_one();
            });
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            arrived.notify_one();
        });
    } catch (const std::system_error&) {
        return false;
    }
    for (size_t i = 1; !stop_.stopRequested(); ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait(lock, [&] { return kept > i || done; });
        const bool last = kept <= i, tell = done && !told;
        lock.unlock();
        if (tell) reader.join(), read(), told = true;
        if (last) break;
        FrameJob& job = start_.at(i);
        if (job.last) break;
        processForward(job);
        if (!job.processed) break;
    }
    if (!told) reader.join(), read();
    return true;
}

// Processes the first frame as the run would; when its animals look round, that is all. Otherwise
// the frames of the pass are read ahead and kept, the forward instance going through them as they
// come, and once they are read an instance of the pass's own, made with the forward one's settings
// at the first frame and telling the run nothing, settles them behind the run: the frames after
// the pass go on through the forward instance meanwhile, and only their writing waits for it.
void Run::settleStart(FrameJob& first, const ip_fmtWords& format) {
    const StartSpan span = fittedSpan(startSpan(), frameBytes(first));
    if (span.replaced <= 0) return;
    if (countedAnimals() <= 0) start_.settleByLearning(first.frame + span.replaced);
    process(first);
    if (first.last || StartPass::round(first)) return;
    std::vector<SettingInfo> now;
    const bool described = instance_.describe(now);
    start_.keep(first);
    const int64_t wanted = span.replaced + span.warmUp;
    auto settle = [&] {
        if (described) settleBehind(span, format, first.frame, now);
    };
    // With the procedure's pictures asked for, processing the frames ahead would double what the
    // frames kept take: the loop processes them as they come.
    const bool follow = !needs_.annotated && !needs_.exact;
    if (follow && followReading(wanted, settle)) return;
    readAhead(wanted, [&](FrameJob job) { start_.keep(std::move(job)); });
    settle();
}

// The backward instance made and set to settle the frames kept, with the forward one's settings
// `now`. Separate instances never touch each other, and the frames' pictures are only read by
// both: what the forward instance writes into the frames is not what the backward one reads.
void Run::settleBehind(StartSpan span, const ip_fmtWords& format, int64_t firstFrame,
                       const std::vector<SettingInfo>& now) {
    // A short input settles the same share of its frames.
    const int64_t wanted = span.replaced + span.warmUp, usable = int64_t(start_.usable());
    const int64_t replaced = span.replaced * std::min(usable, wanted) / wanted;
    if (replaced <= 0 || stop_.stopRequested()) return;
    SettingsFile settings;
    for (const SettingInfo& s : now) settings.values.push_back({s.name, formatSetting(s.type, s.value)});
    auto backward = std::make_unique<Instance>(module_, o_, traits_, status_);
    backward->console().silence();
    backward->mute();
    if (!backward->create(format, settings, firstFrame)) return;
    start_.settleBehind(std::move(backward), size_t(usable), replaced, stop_);
}
