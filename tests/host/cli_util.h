// Running the built ambrevo in a folder of its own, for the host's command-line tests.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

inline std::string readFile(const std::string& file) {
    std::stringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
}

inline void writeFile(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

struct Result {
    int status;
    std::string out, err;
};

namespace cli {

// Runs ambrevo in `dir` with `args` (shell words) and `env` (assignments before it); its
// standard streams stay in the folder as .out.txt and .err.txt.
inline Result run(const TempDir& dir, const std::string& args, const std::string& env = "") {
    const std::string cmd = "cd '" + dir.path.string() + "' && " + env + " '" AMBREVO_EXE "' " + args +
                            " > .out.txt 2> .err.txt < /dev/null";
    const int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), readFile(dir / ".out.txt"),
            readFile(dir / ".err.txt")};
}

}  // namespace cli

#define RUN_OK(r, ...)           \
    Result r = run(__VA_ARGS__); \
    ASSERT_EQ(r.status, 0) << r.err
