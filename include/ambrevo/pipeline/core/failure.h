// How the pipeline fails: one kind of failure and one line of text, handed back as a value.
// A library's exception becomes one once, where a stage of the run catches it; only the
// program turns a kind into an exit status (host/exit_status.h).
#pragma once

#include <csignal>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>

enum class RunError {
    module,       // the module failed while configuring or processing
    usage,        // unknown option, malformed value, unknown procedure
    input,        // input missing, unreadable or undecodable
    output,       // an output cannot be written
    moduleLoad,   // the module does not load or lacks an export
    library,      // a library failed outside reading and writing (out of memory, a conversion)
    interrupted,  // stopped by SIGINT, or cancelled
    terminated,   // stopped by SIGTERM
};

struct Failure {
    RunError kind;
    std::string message;
};

// A value, or the failure that left none; `Expected<void>` (Outcome) is a step done or not.
template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : held_(std::in_place_index<0>, std::move(value)) {}
    Expected(Failure failure) : held_(std::in_place_index<1>, std::move(failure)) {}
    explicit operator bool() const { return held_.index() == 0; }
    T& operator*() { return std::get<0>(held_); }
    const T& operator*() const { return std::get<0>(held_); }
    T* operator->() { return &std::get<0>(held_); }
    const T* operator->() const { return &std::get<0>(held_); }
    const Failure& error() const { return std::get<1>(held_); }

private:
    std::variant<T, Failure> held_;
};

template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(Failure failure) : failure_(std::move(failure)) {}
    explicit operator bool() const { return !failure_; }
    const Failure& error() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};
using Outcome = Expected<void>;

// An output that cannot be written, in `message`'s words.
inline Failure outputFailure(std::string message) { return {RunError::output, std::move(message)}; }
// An input that cannot be opened or read on, in `message`'s words.
inline Failure inputFailure(std::string message) { return {RunError::input, std::move(message)}; }

// The kind of a run ended by a stop request (a signal's number; a cancel counts as SIGINT).
inline RunError stopError(int request) { return request == SIGTERM ? RunError::terminated : RunError::interrupted; }

// The kind's name, as the Python package reads it: "usage", "moduleLoad".
const char* errorName(RunError kind);

// A library's exception as the text of one line.
std::string describeFailure(std::exception_ptr failure);

// The exception being handled, as a library's failure (call from within a catch).
inline Failure libraryFailure() { return {RunError::library, describeFailure(std::current_exception())}; }
