// Without libFuzzer: runs a fuzz target on the files and folders named on the command line
// (a seed corpus, or a crash to replay) and then on pseudo-random inputs, the same ones on
// every run. With no paths it runs 300 random inputs; --runs=N (or AMBREVO_FUZZ_RUNS) sets
// their number.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        std::exit(2);
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}
}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const char* env = std::getenv("AMBREVO_FUZZ_RUNS");
    int runs = env ? std::atoi(env) : -1;
    int files = 0;
    bool paths = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::atoi(argv[i] + 7);
            continue;
        }
        paths = true;
        if (fs::is_directory(argv[i])) {
            std::vector<fs::path> entries;
            for (const auto& e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file()) entries.push_back(e.path());
            std::sort(entries.begin(), entries.end());
            for (const auto& e : entries) files += replay(e);
        } else {
            files += replay(argv[i]);
        }
    }
    if (runs < 0) runs = paths ? 0 : 300;
    uint32_t state = 12345;
    std::vector<uint8_t> bytes;
    for (int r = 0; r < runs; ++r) {
        bytes.resize(16 + (state >> 8) % 4000);
        for (uint8_t& b : bytes) {
            state = state * 1664525u + 1013904223u;
            b = uint8_t(state >> 24);
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%d files and %d random inputs, no fault\n", files, runs);
    return 0;
}
