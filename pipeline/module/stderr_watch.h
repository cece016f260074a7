// The module writes some of its diagnostics straight to the process's standard error. The
// host reads them on their way through, to say at the end of a run what they meant.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class StderrWatch {
public:
    // Watches for `needle` once started; until then its scopes cost nothing.
    explicit StderrWatch(std::string needle) : needle_(std::move(needle)) {}
    void start();
    ~StderrWatch();
    StderrWatch(const StderrWatch&) = delete;
    StderrWatch& operator=(const StderrWatch&) = delete;

    // While one lives, standard error goes to a file of the watch's own; at its end what was
    // written there goes on to standard error as it was, and is looked through. The host's
    // other threads wait meanwhile for their own messages (holdStderr).
    class Scope {
    public:
        explicit Scope(StderrWatch& watch);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        StderrWatch& watch_;
        std::unique_lock<std::recursive_mutex> hold_;
        int saved_ = -1;
    };

    // The calls during which the needle was written.
    int64_t calls() const { return calls_; }

private:
    std::string needle_;
    int file_ = -1;
    int64_t calls_ = 0;
};
