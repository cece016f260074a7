#include "sinks/track_file.h"

#include "ambrevo/pipeline/core/options.h"

namespace {

bool appendFile(std::ostream& out, const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::vector<char> buffer(size_t(1) << 16);
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        if (in.gcount() > 0) out.write(buffer.data(), in.gcount());
    }
    return in.eof() && bool(out);
}

}  // namespace

Outcome TrackFileSink::open(const RunContext& run) { return open(run.procedure, run.trackColumns); }

Outcome TrackFileSink::open(const ProcedureTraits& procedure, std::vector<TrackColumn> columns) {
    format_.emplace(procedure, endsWithNoCase(file_, ".json"), std::move(columns));
    firstFrame_ = true;
    Outcome made = final_.create(file_, "--tracks file");
    if (made) made = rowsFile_.create(file_, "--tracks file", "rows");
    if (made) {
        rows_.open(rowsFile_.path(), std::ios::binary | std::ios::trunc);
        if (!rows_) made = final_.failed();
    }
    if (!made) discard();
    return made;
}

Outcome TrackFileSink::frame(int64_t frame, std::span<const ip_objectRecord> rows, std::span<const RowPlace> places) {
    FrameResult result;
    result.frame = frame, result.rows = rows, result.places = places;
    return TrackFileSink::frame(result);
}

Outcome TrackFileSink::frame(const FrameResult& result) {
    if (!rows_.is_open()) return {};
    format_->frame(rows_, result, firstFrame_);
    firstFrame_ = false;
    rows_.flush();
    if (rows_) return {};
    return outputFailure("cannot write --tracks file '" + file_ + "'");
}

Outcome TrackFileSink::close(const RunRecord& r) {
    if (!rows_.is_open()) return {};
    rows_.flush();
    bool ok = bool(rows_);
    rows_.close();
    ok = ok && !rows_.fail();
    if (ok) {
        std::ofstream out(final_.path(), std::ios::binary | std::ios::trunc);
        format_->header(out, r);
        ok = out && appendFile(out, rowsFile_.path());
        if (format_->json()) format_->jsonEnd(out, r, firstFrame_);
        out.flush();
        ok = ok && bool(out);
        out.close();
        ok = ok && !out.fail();
    }
    if (!ok || !final_.commit()) {
        discard();
        return final_.failed();
    }
    rowsFile_.discard();
    return {};
}

void TrackFileSink::discard() {
    if (rows_.is_open()) rows_.close();
    rowsFile_.discard();
    final_.discard();
}

std::unique_ptr<Sink> trackFileSink(const Options& o) {
    if (o.tracksFile.empty() || o.tracksFile == "-") return nullptr;
    return std::make_unique<TrackFileSink>(o.tracksFile);
}
