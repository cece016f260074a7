// --dst DIR: every destination image as a lossless PNG, dst_000000.png, dst_000001.png, ...
// named by the input's frame number, in a folder made when missing.
#include <cstdio>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/options.h"
#include "ambrevo/pipeline/core/sink.h"

namespace {

class DstSink final : public Sink {
public:
    explicit DstSink(std::string dir) : dir_(std::move(dir)) {}
    SinkNeeds needs() const override { return {.exact = true}; }
    Outcome open(const RunContext&) override { return prepareFolder(dir_, "--dst folder", made_); }
    Outcome frame(const FrameResult& result) override {
        char name[32];
        std::snprintf(name, sizeof name, "dst_%06lld.png", static_cast<long long>(result.frame));
        const std::string file = dir_ + "/" + name;
        if (writeImage(file, result.exact)) return {};
        return outputFailure("cannot write destination image '" + file + "'");
    }
    Outcome close(const RunRecord&) override { return {}; }
    // The folder goes again when this run made it and left it empty.
    void discard() override { removeMadeFolders(dir_, made_); }

private:
    std::string dir_;
    std::string made_;
};

}  // namespace

std::unique_ptr<Sink> dstSink(const Options& o) {
    return o.dstDir.empty() ? nullptr : std::make_unique<DstSink>(o.dstDir);
}
