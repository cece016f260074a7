// --tracks -: the rows to standard output as each frame finishes, for a program reading them
// live. Standard output then carries nothing else: whatever the run would print there goes to
// standard error. The metadata, known only at the end, closes the stream.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <memory>
#include <optional>

#include "options.h"
#include "sink.h"
#include "track_rows.h"

namespace {

class LiveCsvSink final : public Sink {
public:
    SinkNeeds needs() const override { return {.objects = true}; }
    int closeOrder() const override { return -5; }

    bool open(const RunContext& run, std::string& error) override {
        format_.emplace(run.procedure, false, run.trackColumns);
        std::cout.flush();
        std::fflush(stdout);
        const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            if (fd >= 0) ::close(fd);
            error = failure;
            return false;
        }
        // A reader that goes away makes the next row fail and the run stop, rather than kill it.
        ::signal(SIGPIPE, SIG_IGN);
        buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out);
        out_ = std::make_unique<std::ostream>(buffer_.get());
        return true;
    }

    // The header waits for the first rows, which tell the columns that depend on them.
    bool frame(const FrameResult& result, std::string& error) override {
        format_->fix(result);
        if (first_ && !result.rows.empty()) format_->header(*out_, RunRecord{}, false, true), first_ = false;
        format_->frame(*out_, result, first_);
        out_->flush();
        if (*out_) return true;
        error = "cannot write --tracks file '-'";
        return false;
    }

    bool close(const RunRecord& record, std::string& error) override {
        if (first_) format_->header(*out_, record, false, true);
        format_->metadata(*out_, record);
        out_->flush();
        if (*out_) return true;
        error = failure;
        return false;
    }

    void discard() override {
        if (out_) out_->flush();
    }

private:
    static constexpr const char* failure = "cannot write --tracks to standard output";
    std::optional<TrackRows> format_;
    std::unique_ptr<std::streambuf> buffer_;
    std::unique_ptr<std::ostream> out_;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<Sink> liveCsvSink(const Options& o) {
    return o.tracksFile == "-" ? std::make_unique<LiveCsvSink>() : nullptr;
}
