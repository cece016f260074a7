// ambrevo.Tracker: the program's pipeline over frames the caller hands over one at a time, from
// a camera loop of its own. The run waits on a thread of its own for each frame; each frame's
// rows come back to the caller once the frame has gone through every stage, so that they are
// the rows track() gives on the same frames.
#include <pybind11/stl.h>

#include <map>
#include <thread>

#include "run_support.h"

namespace {

// The frames handed over, one at a time: the run's reader waits for the next one or the end.
class HandedFrames final : public FrameSource {
public:
    Result read(cv::Mat& bgr) override {
        std::unique_lock<std::mutex> hold(lock_);
        arrived_.wait(hold, [&] { return waiting_ || ended_; });
        if (!waiting_) return Read{Read::end};
        bgr = std::move(next_);
        time_ = nextTime_;
        waiting_ = false;
        return Read{Read::frame};
    }
    double time() const override { return time_; }
    void hand(cv::Mat frame, double time) {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            next_ = std::move(frame), nextTime_ = time, waiting_ = true;
        }
        arrived_.notify_all();
    }
    void finish() {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            ended_ = true;
        }
        arrived_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    cv::Mat next_;
    double nextTime_ = -1, time_ = -1;
    bool waiting_ = false, ended_ = false;
};

class LiveRun {
public:
    LiveRun() = default;
    LiveRun(const LiveRun&) = delete;
    LiveRun& operator=(const LiveRun&) = delete;
    ~LiveRun() { stop(false); }

    // Reads the options and starts the run, which waits for the first frame. The kind and
    // message of a refusal; ("", "") when the run waits.
    py::tuple start(const std::string& modulePath, const std::vector<std::string>& words) {
        if (const Outcome ready = request_.prepare(modulePath, words); !ready) return failureWords(ready);
        run_ = std::make_unique<PipelineRun>(request_.module, request_.options, request_.saved, watched_);
        run_->silenceConsole();
        auto source = std::make_unique<HandedFrames>();
        source_ = source.get();
        run_->setSource(std::move(source));
        run_->addSink(std::make_unique<TableSink>(table_, tableLock_, [this](int64_t) {
            ++written_;
            watched_.wake();
        }));
        watched_.setClicks([this](int64_t frame, std::vector<cv::Point>& clicks) {
            const std::lock_guard<std::mutex> hold(tableLock_);
            const auto at = clicks_.find(frame);
            if (at != clicks_.end()) clicks.insert(clicks.end(), at->second.begin(), at->second.end());
        });
        worker_ = std::thread([this] {
            try {
                done_ = run_->run();
            } catch (...) {
                done_ = libraryFailure();
            }
            watched_.finish();
        });
        return failureWords(Outcome());
    }

    // Hands `frame` over (at `time` seconds, or none when negative, with `clicks`) and returns
    // its rows; None when the run has ended (close() tells why). Ctrl-C while the
    // frame is processed stops the run and is raised once its outputs are closed.
    py::object push(const py::handle& frame, double time, const std::vector<std::pair<int, int>>& clicks) {
        if (!worker_.joinable() || watched_.finished()) return py::none();
        Expected<cv::Mat> converted = arrayToFrame(frame);
        if (!converted) throw py::value_error(converted.error().message);
        cv::Mat bgr = std::move(*converted);
        {
            const std::lock_guard<std::mutex> hold(tableLock_);
            for (const auto& [x, y] : clicks) clicks_[handed_].emplace_back(x, y);
        }
        ++handed_;
        source_->hand(std::move(bgr), time);
        watched_.waitUntil([this] { return written_.load() >= handed_; }, {});
        if (watched_.pending) {
            auto raised = std::move(*watched_.pending);
            watched_.pending.reset();
            stop(false);
            throw std::move(raised);
        }
        if (written_.load() < handed_) return py::none();
        const std::lock_guard<std::mutex> hold(tableLock_);
        clicks_.erase(handed_ - 1);
        return table_.take(true);
    }

    // Ends the input (with `cancel`, as a stop does: the outputs say cancelled) and waits for
    // the outputs to close. The failure's kind and message, and the notices.
    py::tuple close(bool cancel) {
        stop(cancel);
        return failureWords(done_) + py::make_tuple(toList(watched_.notices));
    }

    int64_t frames() const { return written_.load(); }

private:
    void stop(bool cancel) {
        if (cancel) watched_.requestStop(cancelRequest);
        if (source_) source_->finish();
        if (worker_.joinable()) {
            py::gil_scoped_release unlocked;
            worker_.join();
        }
    }

    Request request_;
    Table table_;
    std::mutex tableLock_;
    Watched watched_;
    std::unique_ptr<PipelineRun> run_;
    HandedFrames* source_ = nullptr;
    std::thread worker_;
    std::map<int64_t, std::vector<cv::Point>> clicks_;
    std::atomic<int64_t> written_{0};
    int64_t handed_ = 0;
    Outcome done_;
};

}  // namespace

void bindLiveRun(py::module_& m) {
    py::class_<LiveRun>(m, "LiveRun", "The pipeline over frames handed over one at a time; use ambrevo.Tracker.")
        .def(py::init<>(), "A run not started yet.")
        .def("start", &LiveRun::start, py::arg("module"), py::arg("words"), "Starts the run; (kind, message).")
        .def("push", &LiveRun::push, py::arg("frame"), py::arg("time"), py::arg("clicks"),
             "Hands a frame over; its rows, or None once the run has ended.")
        .def("close", &LiveRun::close, py::arg("cancel"), "Ends the run; (kind, message, notices).")
        .def_property_readonly("frames", &LiveRun::frames, "The frames written so far.");
}
