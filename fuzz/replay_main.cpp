// Without libFuzzer: runs the fuzz target on pseudo-random inputs (a smoke run for CI)
// or on the files named on the command line (to replay a crash).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            std::ifstream file(argv[i], std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
        return 0;
    }
    const char* env = std::getenv("AMBREVO_FUZZ_RUNS");
    int runs = env ? std::atoi(env) : 300;
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
    std::printf("%d inputs, no fault\n", runs);
    return 0;
}
