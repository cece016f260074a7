// --tracks FILE: the objects of every frame, .csv or .json. The rows go to a temporary file
// of their own while the run goes; at the end the metadata, known only then, is written above
// them (below them in JSON) and the whole renamed into place.
#pragma once

#include <fstream>
#include <memory>
#include <optional>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/sinks/track_rows.h"

class TrackFileSink final : public Sink {
public:
    explicit TrackFileSink(std::string file) : file_(std::move(file)) {}
    // The same as open() with the run's procedure and track columns.
    Outcome open(const ProcedureTraits& procedure, std::vector<TrackColumn> columns);
    Outcome frame(int64_t frame, std::span<const ip_objectRecord> rows, std::span<const RowPlace> places);

    SinkNeeds needs() const override { return {.objects = true}; }
    Outcome open(const RunContext& run) override;
    Outcome frame(const FrameResult& result) override;
    Outcome close(const RunRecord& record) override;
    void discard() override;
    int closeOrder() const override { return -5; }

private:
    std::string file_;
    std::optional<TrackRows> format_;
    PendingFile rowsFile_, final_;
    std::ofstream rows_;
    bool firstFrame_ = true;
};
