// --tracks -: the rows as each frame finishes, for a program reading them live, on the stream
// the front end gives (RunObserver::liveRows); the program's is its standard output, which then
// carries nothing else. The metadata, known only at the end, closes the stream.
#include <optional>
#include <ostream>

#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/run_observer.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/sinks/track_rows.h"

namespace {

class LiveCsvSink final : public Sink {
public:
    SinkNeeds needs() const override { return {.objects = true}; }
    int closeOrder() const override { return -5; }

    Outcome open(const RunContext& run) override {
        format_.emplace(run.procedure, false, run.trackColumns);
        Expected<std::ostream*> out = run.observer.liveRows();
        if (!out) return out.error();
        out_ = *out;
        return {};
    }

    // The header waits for the first rows, which tell the columns that depend on them.
    Outcome frame(const FrameResult& result) override {
        format_->fix(result);
        if (first_ && !result.rows.empty()) format_->header(*out_, RunRecord{}, false, true), first_ = false;
        format_->frame(*out_, result, first_);
        out_->flush();
        if (*out_) return {};
        return outputFailure("cannot write --tracks file '-'");
    }

    Outcome close(const RunRecord& record) override {
        if (first_) format_->header(*out_, record, false, true);
        format_->metadata(*out_, record);
        out_->flush();
        if (*out_) return {};
        return outputFailure("cannot write --tracks to standard output");
    }

    void discard() override {
        if (out_) out_->flush();
    }

private:
    std::optional<TrackRows> format_;
    std::ostream* out_ = nullptr;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<Sink> liveCsvSink(const Options& o) {
    return o.tracksFile == "-" ? std::make_unique<LiveCsvSink>() : nullptr;
}
