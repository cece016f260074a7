// A server on 127.0.0.1 for the tests of live inputs, and a steady clock for the time a run
// takes to end.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdio>

#include "cli_util.h"

// A server on 127.0.0.1 in a process of its own (`args`: python3 and its arguments), which
// tells the port it listens on in its first line of output; ended with the test.
struct Server {
    pid_t pid = -1;
    std::string port;
    Server(const TempDir& dir, const std::vector<std::string>& args) {
        const std::string said = dir / ".server";
        std::remove(said.c_str());  // an earlier server's
        pid = fork();
        if (pid == 0) {
            std::freopen(said.c_str(), "w", stdout), std::freopen("/dev/null", "w", stderr);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        // python3 -m http.server says "Serving HTTP on 127.0.0.1 port N ..."; others just N.
        for (int i = 0; i < 200 && port.empty(); ++i, usleep(50000)) {
            const std::string line = readFile(said);
            if (line.find('\n') == std::string::npos) continue;
            const size_t at = line.find(" port ");
            port = std::to_string(std::atoi(line.c_str() + (at == std::string::npos ? 0 : at + 6)));
        }
    }
    ~Server() {
        if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    }
    std::string url(const std::string& path = "") const { return "http://127.0.0.1:" + port + "/" + path; }
};

// Seconds on a steady clock, for the time a run takes to end.
inline double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
