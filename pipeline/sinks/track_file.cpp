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

bool TrackFileSink::open(const RunContext& run, std::string& error) {
    return open(run.procedure, run.trackColumns, error);
}

bool TrackFileSink::open(const ProcedureTraits& procedure, std::vector<TrackColumn> columns, std::string& error) {
    format_.emplace(procedure, endsWithNoCase(file_, ".json"), std::move(columns));
    firstFrame_ = true;
    if (!final_.create(file_, "--tracks file", error) || !rowsFile_.create(file_, "--tracks file", error, "rows")) {
        discard();
        return false;
    }
    rows_.open(rowsFile_.path(), std::ios::binary | std::ios::trunc);
    if (!rows_) {
        error = final_.failure();
        discard();
        return false;
    }
    return true;
}

bool TrackFileSink::frame(int64_t frame, std::span<const ip_objectRecord> rows,
                          std::span<const RowPlace> places, std::string& error) {
    FrameResult result;
    result.frame = frame, result.rows = rows, result.places = places;
    return TrackFileSink::frame(result, error);
}

bool TrackFileSink::frame(const FrameResult& result, std::string& error) {
    if (!rows_.is_open()) return true;
    format_->frame(rows_, result, firstFrame_);
    firstFrame_ = false;
    rows_.flush();
    if (rows_) return true;
    error = "cannot write --tracks file '" + file_ + "'";
    return false;
}

bool TrackFileSink::close(const RunRecord& r, std::string& error) {
    if (!rows_.is_open()) return true;
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
    if (!ok || !final_.commit(error)) {
        error = final_.failure();
        discard();
        return false;
    }
    rowsFile_.discard();
    return true;
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
