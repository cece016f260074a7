// The one frame loop. A frame goes through three stages: read (the source, then the arenas'
// painting), process (the module) and write (linking and rows, then every output). With one
// thread each frame goes through the three in turn; otherwise each stage has a thread of its
// own, joined by short queues, and the module still gets every call in frame order. A failure
// travels with its frame and is told by the writing stage once the frames before it are
// written, so that both ways end with the same failure and outputs.
#include <opencv2/imgproc.hpp>
#include <thread>

#include "core/bounded_queue.h"
#include "run/run.h"

namespace {

// Frames queued between two stages: enough to ride out one slow frame, few enough to keep the
// memory of a run small.
constexpr size_t queuedFrames = 4;
// Frames without their pictures waiting to be written while the start pass settles: more than
// the module gets through meanwhile.
constexpr size_t settlingFrames = 4096;

void letPicturesGo(FrameJob& job) {
    job.bgr.release();
    job.holder.release();
    job.image = {};
}

// The frame as the image record the module reads: top-down rows (negative height). A source
// that hands the decoder's luma has made the grey frame already.
ip_dibWords toDib(const cv::Mat& bgr, bool grey, cv::Mat& holder) {
    if (grey && bgr.channels() == 3)
        cv::cvtColor(bgr, holder, cv::COLOR_BGR2GRAY);
    else
        holder = bgr;
    return {int32_t(holder.elemSize()), int32_t(holder.step[0]), holder.cols, -holder.rows, holder.data};
}

}  // namespace

void Run::loop(cv::Mat& first) {
    FrameJob job;
    job.frame = first_;
    job.bgr = first;
    job.time = source_->time();
    job.times = times_;
    prepare(job);
    // The instance is made for the first frame's format.
    const ip_fmtWords format{job.image.szPixel, job.image.szRow, job.image.width, job.image.height};
    if (!instance_.create(format, saved_, job.frame)) return;
    settleStart(job, format);
    // What looks at every stage at once (the window, the procedure's windows, the profile)
    // takes the frames in turn.
    const bool overlap = o_.threads != 1 && !o_.show && o_.windowsDir.empty() && !o_.profile;
    if (!overlap || !threaded(job)) serial(job);
}

void Run::serial(FrameJob& job) {
    for (int64_t handed = 1;; ++handed) {
        if (!job.last) {
            if (stop_.stopRequested()) return;
            process(job);
        }
        if (!write(job) || !more(job.frame + 1, handed)) return;
        FrameJob next;
        next.frame = job.frame + 1;
        read(next);
        job = std::move(next);
    }
}

// The decoder reads ahead on a thread of its own, this thread calls the module, a writer
// writes. False when the threads could not be started; nothing was consumed then.
bool Run::threaded(FrameJob& first) {
    // While the start pass settles the first frames, their writing waits for it: the frames after
    // them go on through the module meanwhile and queue up to be written, without their pictures
    // when no output takes those.
    const bool pictures = needs_.annotated || needs_.exact;
    const bool settling = start_.settling() && !pictures;
    BoundedQueue<FrameJob> decoded(queuedFrames), processed(settling ? settlingFrames : queuedFrames);
    auto writer = [&] {
        for (FrameJob job; processed.pop(job);)
            if (!write(job)) break;
        // Upstream stops at its next frame.
        processed.cancel();
    };
    auto decoder = [&] {
        for (int64_t next = first.frame + 1, handed = 1; more(next, handed); ++handed) {
            FrameJob job;
            job.frame = next;
            read(job);
            next = job.frame + 1;  // past the frames that could not be decoded
            const bool last = job.last;
            if (!decoded.push(std::move(job)) || last) break;
        }
        decoded.close();
    };
    std::thread writerThread, decoderThread;
    try {
        writerThread = std::thread(writer);
    } catch (const std::system_error&) {
        return false;
    }
    try {
        decoderThread = std::thread(decoder);
    } catch (const std::system_error&) {
        processed.close();
        writerThread.join();
        return false;
    }
    for (FrameJob job = std::move(first);;) {
        if (!job.last) {
            if (stop_.stopRequested()) break;
            process(job);
        }
        if (settling) letPicturesGo(job);
        const bool last = job.last;
        if (!processed.push(std::move(job)) || last) break;
        job = FrameJob{};
        if (!decoded.pop(job)) break;
    }
    decoded.cancel();
    decoderThread.join();
    processed.close();
    writerThread.join();
    return true;
}

// Whether to read input frame `next`, the `handed`-th of the run.
bool Run::more(int64_t next, int64_t handed) const {
    if (stop_.stopRequested() || status_.quitting()) return false;
    return (o_.frames < 0 || handed < o_.frames) && (o_.end < 0 || next < o_.end);
}

// The frame next in turn: read ahead for the start pass, else from the input.
void Run::read(FrameJob& job) {
    if (!start_.take(job)) readInput(job);
}

void Run::readInput(FrameJob& job) {
    using Read = FrameSource::Read;
    Stage at = Stage::reading;
    try {
        const FrameSource::Result got = readFrame(job.bgr, job.frame);
        job.times = times_;
        job.times.captured();
        if (!got) {
            job.fail(got.error().kind, got.error().message);
        } else if (got->kind == Read::end) {
            const int64_t announced = source_->total(), wanted = o_.end >= 0 ? std::min(announced, o_.end) : announced;
            job.last = true;
            // A stop ends a wait for the stream; the run tells the stop itself.
            if (announced >= 0 && job.frame < wanted && !stop_.stopRequested()) {
                job.failure = inputFailure("input '" + o_.input + "' ended after " + std::to_string(job.frame) +
                                           " of the " + std::to_string(announced) + " frames its container announced");
            }
        } else if (got->kind == Read::undecodable) {
            job.fail(RunError::input, got->note);
        } else if (const Outcome fits = fitsLimits(job.bgr.size(), o_.maxPixels); !fits) {
            job.fail(RunError::input, fits.error().message);
        } else {
            at = Stage::elsewhere;
            job.time = source_->time();
            prepare(job);
        }
    } catch (...) {
        job.fail(stageError(at), describeFailure(std::current_exception()));
    }
}

// The frame as read: sampled for the background, then painted outside the arenas, then in the
// form the module reads.
void Run::prepare(FrameJob& job) {
    if (background_) job.sample = sampler_.take(job.bgr);
    layout_.paint(job.bgr);
    job.image = toDib(job.bgr, o_.grey, job.holder);
}

// A frame the start pass processed already is not processed again.
void Run::process(FrameJob& job) {
    if (!job.processed) processForward(job);
}

void Run::processForward(FrameJob& job) {
    std::vector<cv::Point> clicks;
    for (const ClickOption& c : o_.clicks)
        if (c.frame == job.frame) clicks.emplace_back(c.x, c.y);
    observer_.addClicks(job.frame, clicks);
    FrameNeeds needs = needs_;
    needs.learning = start_.asksLearning(job.frame);
    instance_.process(job, needs, clicks, source_->fps());
}

// The frame's outputs, then its failure if it carries one. False when the run ends here.
bool Run::write(FrameJob& job) {
    Stage at = Stage::elsewhere;
    try {
        // The start pass's objects stand in for the forward instance's where it knows better.
        start_.replace(job);
        if (job.processed && !writeOutputs(job, at)) return false;
        if (job.failure) {
            status_.stop(*job.failure);
            return false;
        }
    } catch (...) {
        status_.stop(stageError(at), "frame " + std::to_string(job.frame) + ": " +
                                          describeFailure(std::current_exception()));
        return false;
    }
    return !job.last && !status_.quitting() && !status_.failure();
}

// The rows go out first, to the outputs that take them; then the pictures.
bool Run::writeOutputs(FrameJob& job, Stage& at) {
    FrameRows rows;
    FrameResult result;
    result.frame = job.frame;
    result.time = job.time;
    result.exact = job.exact;
    if (needs_.objects) {
        rows_.rows(job.frame, job.time, job.objects, job.shapes, job.postures, rows);
        job.times.addTimes(rows.places, job.ready);
        result.objects = job.objects;
        result.take(rows);
    }
    tracks_.addSample(std::move(job.sample));
    for (const bool rowsPass : {true, false}) {
        for (const auto& sink : sinks_) {
            const SinkNeeds needs = sink->needs();
            if (needs.objects != rowsPass) continue;
            at = Stage::elsewhere;
            if (needs.annotated && result.annotated.empty()) result.annotated = annotate(job);
            at = Stage::writing;
            if (const Outcome written = sink->frame(result); !written) {
                status_.stop(written.error());
                return false;
            }
        }
        at = Stage::elsewhere;
        if (rowsPass && demoScore()) score_.frame(DemoScene::discs(job.frame), job.objects);
    }
    ++done_;
    nextFrame_ = job.frame + 1;
    observer_.progress(done_, expected_);
    if (o_.show) {
        if (result.annotated.empty()) result.annotated = annotate(job);
        observer_.afterFrame(result, *this);
    }
    return true;
}

// The destination picture with the procedure's overlay, the arenas and the click marks.
cv::Mat Run::annotate(FrameJob& job) const {
    cv::Mat annotated = exactToBgr(job.exact);
    // The frame itself is drawn on only as a copy; a grey frame's BGR picture is one already.
    if (annotated.empty()) {
        annotated = exactToBgr(job.bgr);
        if (annotated.data == job.bgr.data) annotated = annotated.clone();
    }
    // Drawn on a copy when the exact pixels are BGR already and an output takes them.
    if (annotated.data == job.exact.data && needs_.exact) annotated = annotated.clone();
    renderCommands(annotated, job.commands);
    layout_.draw(annotated);
    if (job.flash) renderFlash(annotated, job.flashAt, job.flashRadius);
    return annotated;
}
