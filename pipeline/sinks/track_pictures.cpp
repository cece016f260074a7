// The outputs of a whole run's tracks, written at its end from every row: --summary (one line
// per track), --plot (the trajectories) and --heatmap (where the objects spent their time),
// the pictures over the median background of frames sampled across the run.
#include <sstream>
#include <stdexcept>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/tracks/plots.h"
#include "ambrevo/pipeline/tracks/track_summary.h"
#include "tracks/run_tracks.h"

namespace {

class TrackTableSink : public Sink {
public:
    TrackTableSink(std::string file, const char* what) : target_(std::move(file)), what_(what) {}
    Outcome open(const RunContext& run) override {
        tracks_ = &run.tracks;
        return file_.create(target_, what_);
    }
    Outcome frame(const FrameResult&) override { return {}; }
    Outcome close(const RunRecord&) override {
        try {
            return write(*tracks_);
        } catch (const std::invalid_argument& e) {
            discard();
            return outputFailure(std::string("--summary, --plot or --heatmap: ") + e.what());
        }
    }
    void discard() override { file_.discard(); }

protected:
    virtual Outcome write(const RunTracks& tracks) = 0;
    PendingFile file_;

private:
    std::string target_;
    const char* what_;
    const RunTracks* tracks_ = nullptr;
};

class SummarySink final : public TrackTableSink {
public:
    explicit SummarySink(std::string file) : TrackTableSink(std::move(file), "--summary file") {}
    SinkNeeds needs() const override { return {.objects = true, .points = true}; }
    int closeOrder() const override { return -3; }

private:
    Outcome write(const RunTracks& tracks) override {
        const ambrevo::SummarySettings settings = tracks.layout().summarySettings();
        std::ostringstream text;
        ambrevo::write_summary_csv(text, ambrevo::summarise_tracks(tracks.points(), settings), settings);
        return writeText(file_, text.str());
    }
};

class PictureSink final : public TrackTableSink {
public:
    using Draw = cv::Mat (*)(const cv::Mat&, std::span<const ambrevo::TrackPoint>, const ambrevo::PlotSettings&);
    PictureSink(std::string file, const char* what, Draw draw, int order)
        : TrackTableSink(std::move(file), what), draw_(draw), order_(order) {}
    SinkNeeds needs() const override { return {.objects = true, .points = true, .background = true}; }
    int closeOrder() const override { return order_; }

private:
    Outcome write(const RunTracks& tracks) override {
        return writePicture(file_, draw_(tracks.background(), tracks.points(), tracks.layout().plotSettings()));
    }
    Draw draw_;
    int order_;
};

}  // namespace

std::unique_ptr<Sink> summarySink(const Options& o) {
    return o.summaryFile.empty() ? nullptr : std::make_unique<SummarySink>(o.summaryFile);
}

std::unique_ptr<Sink> plotSink(const Options& o) {
    if (o.plotFile.empty()) return nullptr;
    return std::make_unique<PictureSink>(o.plotFile, "--plot picture", ambrevo::plot_trajectories, -2);
}

std::unique_ptr<Sink> heatmapSink(const Options& o) {
    if (o.heatmapFile.empty()) return nullptr;
    return std::make_unique<PictureSink>(o.heatmapFile, "--heatmap picture", ambrevo::plot_heatmap, -1);
}
