#include "run/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "ambrevo/pipeline/sources/stream_input.h"
#include "ambrevo/pipeline/tracks/link_option.h"
#include "sinks/sinks.h"

namespace {

const int maxSide = 32767;  // the module's operators address at most this many rows and columns

// The built-in scene answers the dialogue of the module's default procedure, the one it was
// made for: its second line asks for the scene's three objects.
std::vector<std::string> builtInReplies(const Options& o, const ProcedureTraits& procedure) {
    if (o.input == "demo" && o.configFile.empty() && procedure.isDefault) return {"", "0 1 1 2 3"};
    return {};
}

// What the run knows of its procedure when the module would not tell: the name alone.
ProcedureTraits namedOnly(const std::string& procedure) {
    ProcedureTraits traits;
    traits.name = procedure;
    return traits;
}

}  // namespace

Outcome fitsLimits(cv::Size size, int64_t maxPixels) {
    if (size.empty()) return {};
    if (size.width > maxSide || size.height > maxSide)
        return inputFailure("frames larger than 32767 pixels are not supported");
    if (int64_t(size.width) * size.height > maxPixels)
        return inputFailure("frames of " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                            " pixels exceed the limit of " + std::to_string(maxPixels) +
                            " pixels (--max-pixels raises it)");
    return {};
}

Run::Run(Module& module, const Options& options, const SettingsFile& saved, RunObserver& observer)
    : module_(module), o_(options), observer_(observer), status_(observer),
      traitsRead_(readTraits(module, o_.procedure)),
      traits_(traitsRead_ ? *traitsRead_ : namedOnly(o_.procedure)), saved_(saved),
      stop_([&observer] { return observer.stopRequested(); }), instance_(module, o_, traits_, status_) {}

Run::~Run() = default;

Outcome Run::run() {
    const auto start = std::chrono::steady_clock::now();
    Outcome status = runPhases();
    // Every phase counts: the outputs' closing (a global link) may take longer than the frames.
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status;
}

Outcome Run::runPhases() {
    auto refuse = [&](const Failure& failure) {
        status_.stop(failure);
        return Outcome(failure);
    };
    if (!traitsRead_) return refuse(traitsRead_.error());
    if (const Outcome chosen = chooseOutputs(); !chosen) return refuse(chosen.error());
    if (const Outcome loaded = instance_.loadReplies(builtInReplies(o_, traits_), stop_); !loaded) {
        // A stop ends the wait for a --config pipe: it is what ended the run then.
        status_.stop(stop_.stopRequested() ? stopError(stop_.request()) : RunError::input, loaded.error().message);
        return status_.outcome();
    }
    cv::Mat bgr;
    if (!openInput(bgr)) return status_.outcome();
    if (const Outcome opened = openRows(bgr.size()); !opened) return refuse(opened.error());
    if (!openOutputs()) return status_.outcome();
    try {
        loop(bgr);
    } catch (...) {
        status_.stop(RunError::library, describeFailure(std::current_exception()));
    }
    start_.finish();
    return finish();
}

// The outputs the options ask for and those added; what the frames must carry for them.
Outcome Run::chooseOutputs() {
    sinks_ = chooseSinks(o_);
    for (auto& sink : extraSinks_) sinks_.push_back(std::move(sink));
    extraSinks_.clear();
    SinkNeeds all;
    for (const auto& sink : sinks_) {
        const SinkNeeds n = sink->needs();
        all.objects |= n.objects, all.exact |= n.exact, all.annotated |= n.annotated;
        all.points |= n.points, all.background |= n.background;
    }
    if (all.objects)
        if (Outcome offered = module_.requireObjects(); !offered) return offered;
    needs_.objects = (all.objects || o_.input == "demo") && module_.objects;
    needs_.exact = all.exact;
    needs_.annotated = all.annotated || o_.show;
    needs_.profile = o_.profile || o_.show;
    tracks_.retain(all.points, all.background);
    background_ = all.background;
    return {};
}

// Opens the input and reads its first frame (after --start), refusing frames too large.
bool Run::openInput(cv::Mat& bgr) {
    // A stop ends the wait for a stream's first frame: it is what ended the run then.
    auto refuse = [&](const std::string& text) {
        noteStop();
        status_.stop(RunError::input, text);
        return false;
    };
    if (!source_) {
        Expected<std::unique_ptr<FrameSource>> opened =
            openSource(o_.input, o_.grey && traits_.luma, {o_.timeout, o_.reconnect, stop_});
        if (!opened) return refuse(opened.error().message);
        source_ = std::move(*opened);
    }
    // Refused before anything is decoded when the container tells the size.
    if (const Outcome fits = fitsLimits(source_->announcedSize(), o_.maxPixels); !fits)
        return refuse("input '" + o_.input + "': " + fits.error().message);
    using Read = FrameSource::Read;
    FrameSource::Result got = o_.start > 0 ? source_->skip(o_.start) : Read{Read::frame};
    first_ = o_.start;
    if (got && got->kind == Read::frame) got = readFrame(bgr, first_);
    if (got && got->kind == Read::undecodable) return refuse("frame " + std::to_string(first_) + ": " + got->note);
    times_.captured();
    times_.enable(isLiveInput(o_.input));
    if (got && got->kind == Read::end)
        return refuse("input '" + o_.input + "' holds no frames" +
                      (o_.start > 0 ? " from --start " + std::to_string(o_.start) : std::string()));
    if (!got) return refuse(got.error().message);
    if (const Outcome fits = fitsLimits(bgr.size(), o_.maxPixels); !fits)
        return refuse("frame " + std::to_string(o_.start) + ": " + fits.error().message);

    // The frames the run is to process, as far as anything tells.
    const int64_t total = source_->total();
    expected_ = total >= 0 ? std::max<int64_t>(0, total - o_.start) : -1;
    for (int64_t limit : {o_.end >= 0 ? o_.end - o_.start : int64_t(-1), o_.frames})
        if (limit >= 0) expected_ = expected_ < 0 ? limit : std::min(expected_, limit);
    record_.source = o_.input;
    record_.procedure = traits_.name;
    record_.width = bgr.cols;
    record_.height = bgr.rows;
    record_.grey = o_.grey;
    record_.start = o_.start;
    record_.announced = total;
    return true;
}

// The input's frame numbered `frame`, or the first after it that can be decoded: the frames
// passed by are counted, `frame` moving on with them, unless --strict stops at the first: then
// the frame is undecodable, its note what the run says of it.
FrameSource::Result Run::readFrame(cv::Mat& bgr, int64_t& frame) {
    using Read = FrameSource::Read;
    for (;;) {
        FrameSource::Result got = source_->read(bgr);
        if (!got || got->kind != Read::undecodable) return got;
        if (o_.strict) {
            got->note = "cannot be decoded: " + got->note +
                        " (--strict stops at such a frame; without it the frame is skipped and counted)";
            return got;
        }
        if (skipped_++ == 0) firstSkipped_ = frame;
        if (++frame >= o_.end && o_.end >= 0) return Read{Read::end};
    }
}

// The arenas over frames of `frameSize`, the linking, and the outputs that take rows made to
// wait for the end of the run when the linking is over the whole run. A usage failure when
// they cannot be.
Outcome Run::openRows(cv::Size frameSize) {
    if (Outcome laid = layout_.open(o_, frameSize, source_->fps(), source_->time() >= 0); !laid) return laid;
    layout_.describe(record_);
    sampler_ = ambrevo::SampleTaker(expected_);
    // Options made by hand with a text that does not read: refused as the command line would.
    if (!o_.link.empty() && !o_.linking)
        if (const Expected<ambrevo::LinkSettings> read = parseLinkOption(o_.link); !read) return read.error();
    try {
        rows_.open(o_.linking);
        if (!o_.linking || !o_.linking->global) return {};
        kept_ = std::make_shared<KeptRows>(*o_.linking, o_.link, o_.animals, tracks_);
    } catch (const std::invalid_argument& e) {
        return Failure{RunError::usage, e.what()};
    }
    for (auto& sink : sinks_)
        if (sink->needs().objects) sink = std::make_unique<GlobalLinkSink>(std::move(sink), kept_);
    return {};
}

// Every output under its temporary name; the first that cannot be made refuses the run and
// takes the others with it.
bool Run::openOutputs() {
    const RunContext context{o_,       traits_,     times_.columns(layout_.columns(o_.linking.has_value())),
                             source_->fps(),      instance_.console(), instance_.windows(),
                             tracks_,  observer_};
    for (const auto& sink : sinks_)
        if (const Outcome opened = sink->open(context); !opened) {
            discardOutputs();
            status_.stop(opened.error());
            return false;
        }
    return true;
}

void Run::discardOutputs() {
    for (const auto& sink : sinks_) sink->discard();
}

// Each output goes into place on its own: a failing one does not take the others with it.
void Run::closeOutputs() {
    // The rows that waited for the end of the run (--link ...,global) go to the outputs that take rows.
    for (const auto& sink : sinks_)
        if (const Outcome flushed = sink->flush(stop_); !flushed) status_.stop(flushed.error());
    if (const int request = kept_ ? kept_->linkStopped() : 0) {
        status_.stop(stopError(request), stopCause(request) + " during the global linking after " +
                                             std::to_string(done_) + " frames; the outputs hold them");
        record_.complete = false;
        record_.reason = status_.reason() + "; their tracks are linked frame by frame, not over the whole run";
    }
    std::vector<Sink*> order;
    for (const auto& sink : sinks_) order.push_back(sink.get());
    std::stable_sort(order.begin(), order.end(), [](Sink* a, Sink* b) { return a->closeOrder() < b->closeOrder(); });
    // The remark on a run that found nothing comes before the console log closes.
    bool told = false;
    for (Sink* sink : order) {
        if (!told && sink->closeOrder() > 0) tellNothingFound(), told = true;
        noteStop();
        if (const Outcome closed = sink->close(record_); !closed) status_.stop(closed.error());
    }
    if (!told) tellNothingFound();
}

// A stop asked for ends the run with its signal's status, and the outputs not closed yet say
// partial and why; those closed before it (when it comes while they close) hold every frame.
void Run::noteStop() {
    const int request = stop_.request();
    if (!request || stopped_) return;
    stopped_ = true;
    status_.stop(stopError(request), stopCause(request) + " after " + std::to_string(done_) + " frames" +
                                         (done_ > 0 ? "; the outputs hold them" : "; nothing was written"));
    // A record already partial keeps its own reason.
    if (!record_.complete) return;
    record_.complete = false;
    record_.reason = status_.reason();
}

Outcome Run::finish() {
    if (instance_.created()) instance_.record(record_);
    instance_.destroy();
    record_.framesRead = done_;
    record_.skipped = skipped_;
    record_.gaps = source_ ? source_->gaps() : 0;
    record_.expected = expected_;
    if (skipped_ > 0)
        observer_.notice("passed by " + std::to_string(skipped_) + " frame" + (skipped_ > 1 ? "s" : "") + " of '" +
                         o_.input + "' that could not be decoded (the first: frame " + std::to_string(firstSkipped_) +
                         "); the track file counts them as skipped, and --strict stops at such a frame instead");
    record_.complete = status_.reason().empty();
    record_.reason = status_.reason();
    noteStop();
    // Nothing processed: nothing is left behind, and the files there before stay as they were.
    if (done_ > 0)
        closeOutputs();
    else
        discardOutputs();
    // A refused setting: nothing ran.
    reported_ = !status_.failure() || status_.failure()->kind != RunError::usage;
    return status_.outcome();
}

// A run whose outputs take objects and that found none says why it may have, rather than
// leave a file of no rows, whatever the procedure: in the procedure's own words when it gives a
// hint or its counters do, else from what the run saw and the settings it has. A run that found
// objects still hears of the frames a counter says it lost.
void Run::tellNothingFound() {
    if (!needs_.objects) return;
    if (rows_.objectsSeen() > 0) {
        for (const ProcedureCounter& c : instance_.counters())
            if (c.value > 0 && !c.traits.remarkFound.empty())
                if (const std::string text = remark(c.traits.remarkFound, c.value); !text.empty()) observer_.notice(text);
        return;
    }
    const std::string nothing = "no objects were found on any of the " + std::to_string(done_) + " frames (" +
                                std::to_string(record_.width) + "x" + std::to_string(record_.height) + ")";
    if (!record_.hint.empty()) return observer_.notice(nothing + ": " + record_.hint);
    // What the procedure counted tells why it found nothing, in its own words.
    std::string why;
    for (const ProcedureCounter& c : instance_.counters()) {
        if (c.value <= 0) continue;
        if (!c.traits.remark.empty())
            why += remark(c.traits.remark, c.value);
        else if (!c.traits.hint.empty())
            why += "; " + std::to_string(c.value) + " " + c.traits.hint;
    }
    if (!why.empty()) return observer_.notice(nothing + why);
    if (const std::string tried = remark(traits_.nothingFound, 0); !tried.empty())
        return observer_.notice(nothing + tried);
    // A procedure without settings has nothing to try; none of those reports objects.
    if (!record_.settings.empty())
        observer_.notice(nothing + "; --params lists the settings of '" + traits_.name +
                         "' that decide what it finds, and --roi leaves out what is not the arena");
}

std::string Run::remark(const std::string& text, int64_t count) const {
    return fillRemark(text, count, done_, record_.settings);
}

bool Run::configure() {
    instance_.console().useTerminal(true);
    return instance_.configure(nextFrame_);
}

void Run::printProfile(std::ostream& out) const { instance_.profiler().print(out); }
