// Running the built ambrevo in a folder of its own, and reading what it leaves there, for the
// host's command-line tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

// A fresh folder, removed with its contents at the end (kept when AMBREVO_KEEP is set).
struct TempDir {
    fs::path path = [] {
        std::string p = (fs::temp_directory_path() / "ambrevo-test-XXXXXX").string();
        return fs::path(mkdtemp(p.data()));
    }();
    ~TempDir() {
        std::error_code ec;
        if (!std::getenv("AMBREVO_KEEP")) fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// What `f` throws as an E; "" when it throws nothing.
template <class E, class F>
std::string thrownAs(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

// `text` holds `piece`; the text is told where it does not.
#define EXPECT_HOLDS(text, piece) EXPECT_NE(std::string(text).find(piece), std::string::npos) << (text) << "\n"

inline std::string readFile(const std::string& file) {
    std::stringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
}

inline void writeFile(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

inline std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> out;
    std::string part;
    for (std::istringstream s(text); std::getline(s, part, at);) out.push_back(part);
    if (at == ',' && !text.empty() && text.back() == ',') out.push_back("");
    return out;
}

// Every name under a folder, hidden ones included, with its contents; the run's own streams left out.
inline std::map<std::string, std::string> listing(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        files[fs::relative(e.path(), dir).string()] = e.is_regular_file() ? readFile(e.path().string()) : "(folder)";
    files.erase(".out.txt"), files.erase(".err.txt");
    return files;
}

inline int videoFrames(const std::string& file) {
    cv::VideoCapture v(file, cv::CAP_FFMPEG);
    int n = v.isOpened() ? 0 : -1;
    for (cv::Mat m; v.read(m);) ++n;
    return n;
}

// A track file or any CSV: the "# key: value" block, the header, the rows, cells by column name.
struct Table {
    std::map<std::string, std::string> meta;
    std::string header;
    std::vector<std::vector<std::string>> rows;
    explicit Table(const std::string& file) {
        std::ifstream in(file);
        while (std::getline(in, header) && header.rfind("#", 0) == 0)
            if (size_t colon = header.find(": "); colon != std::string::npos)
                meta[header.substr(2, colon - 2)] = header.substr(colon + 2);
        for (std::string line; std::getline(in, line);) rows.push_back(split(line, ','));
    }
    std::string values(std::initializer_list<const char*> keys) const {  // the metadata's values, space-separated
        std::string s;
        for (const char* k : keys) s += (s.empty() ? "" : " ") + meta.at(k);
        return s;
    }
    bool has(const std::string& name) const {
        const std::vector<std::string> columns = split(header, ',');
        return std::find(columns.begin(), columns.end(), name) != columns.end();
    }
    const std::string& cell(size_t row, const std::string& name) const {
        const std::vector<std::string> columns = split(header, ',');
        // A missing column throws, from at().
        return rows.at(row).at(size_t(std::find(columns.begin(), columns.end(), name) - columns.begin()));
    }
    double number(size_t row, const std::string& name) const { return std::stod(cell(row, name)); }
    std::vector<int> perFrame(int frames) const {  // rows per frame number (column 0)
        std::vector<int> count(size_t(frames), 0);
        for (const auto& r : rows)
            if (int f = std::stoi(r.at(0)); f >= 0 && f < frames) ++count[size_t(f)];
        return count;
    }
};

struct Result {
    int status;
    std::string out, err;
};

#ifdef AMBREVO_EXE
namespace cli {

// The shell line that runs ambrevo in `dir` with `args` (shell words) after `env` (assignments);
// its standard streams stay in the folder as .out.txt and .err.txt (.outNAME.txt and
// .errNAME.txt with a `name`, for a run beside another in the same folder).
inline std::string command(const TempDir& dir, const std::string& args, const std::string& env = "",
                           const std::string& name = "") {
    return "cd '" + dir.path.string() + "' && " + env + " exec '" AMBREVO_EXE "' " + args + " > .out" + name +
           ".txt 2> .err" + name + ".txt < /dev/null";
}

inline Result run(const TempDir& dir, const std::string& args, const std::string& env = "") {
    const int rc = std::system(command(dir, args, env).c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), readFile(dir / ".out.txt"), readFile(dir / ".err.txt")};
}

// Starts ambrevo as `run` does and returns its process id at once. The shell execs it: it is
// no background job of a shell, which would ignore SIGINT.
inline pid_t start(const TempDir& dir, const std::string& args, const std::string& name = "") {
    const std::string line = command(dir, args, "", name);
    const pid_t pid = fork();
    if (pid == 0) execl("/bin/sh", "sh", "-c", line.c_str(), nullptr), _exit(127);
    return pid;
}

// Polls `done` every 20 ms for up to `seconds`; whether it came true.
inline bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (done()) return true;
    return done();
}

// Whether process `pid` has `file` open.
inline bool holds(pid_t pid, const std::string& file) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (fs::read_symlink(e.path(), ec) == fs::path(file)) return true;
    return false;
}

// The largest resident memory, in KiB, that any process this one has waited for reached.
inline long largestChildKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

// Sends `signal` to `pid` and waits for it: its exit status (minus the signal's number when a
// signal ended it: a program that handles SIGTERM exits with 143, which a death by it must not
// pass for), and the seconds it took to end.
inline std::pair<int, double> stopAndWait(pid_t pid, int signal) {
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), took};
}

}  // namespace cli
#endif

#define RUN_OK(r, ...) Result r = cli::run(__VA_ARGS__); ASSERT_EQ(r.status, 0) << r.err
