// A request to stop, for every operation that may take long: the frame loop, waiting for a
// stream, linking a whole run, writing the outputs, scoring, a batch. The front end makes one
// from what it stops by (the program's signal flag, a window's cancel button) and hands it
// down; the operation polls it between steps and, once asked, ends within a second with
// what it has done so far kept. An operation given the default token runs to its end.
#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

// Stop requests besides the signals' own numbers (SIGINT, SIGTERM).
constexpr int cancelRequest = -1;

class StopToken {
public:
    // Never asks to stop.
    StopToken() = default;
    // Asks while `flag` is not 0, its value the request; `flag` outlives the token.
    explicit StopToken(const std::atomic<int>& flag) : poll_([&flag] { return flag.load(std::memory_order_relaxed); }) {}
    // Asks when `poll` returns other than 0; called from any thread.
    explicit StopToken(std::function<int()> poll) : poll_(std::move(poll)) {}

    // 0 to go on, else the request: a signal's number, or cancelRequest. Cheap: poll it per step.
    int request() const { return poll_ ? poll_() : 0; }
    bool stopRequested() const { return request() != 0; }

private:
    std::function<int()> poll_;
};

// How the run was ended, for its message and its outputs' reason: "stopped by SIGTERM".
inline std::string stopCause(int request) {
    return request == SIGINT ? "stopped by SIGINT" : request == SIGTERM ? "stopped by SIGTERM" : "cancelled";
}

// Thrown by an operation that ends because its token asked, with the request it ended on.
struct StopRequested : std::runtime_error {
    explicit StopRequested(int request) : std::runtime_error(stopCause(request)), request(request) {}
    int request;
};
