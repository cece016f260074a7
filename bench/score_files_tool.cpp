// A truth file and a track file for timing `ambrevo score`: OBJECTS true objects wandering over
// FRAMES frames of a 4K field, and tracks that follow each within a pixel but break every
// PIECE frames, each piece under an identity of its own (a linker with too small a step).
//
//   score_files_tool DIR [--objects N] [--frames F] [--piece K]
//
// writes DIR/truth.csv (frame,object,x,y) and DIR/tracks.csv (frame,object,x,y,track,missing).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: score_files_tool DIR [--objects N] [--frames F] [--piece K]\n");
        return 2;
    }
    long long objects = 1000, frames = 1000, piece = 10;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long long value = std::atoll(argv[i + 1]);
        if (value <= 0) return std::fprintf(stderr, "score_files_tool: %s needs a positive number\n", argv[i]), 2;
        (option == "--objects" ? objects : option == "--frames" ? frames : piece) = value;
    }
    const std::filesystem::path dir(argv[1]);
    std::filesystem::create_directories(dir);
    FILE* truth = std::fopen((dir / "truth.csv").c_str(), "w");
    FILE* tracks = std::fopen((dir / "tracks.csv").c_str(), "w");
    if (!truth || !tracks) return std::fprintf(stderr, "score_files_tool: cannot write into %s\n", argv[1]), 1;
    std::fprintf(truth, "frame,object,x,y\n");
    std::fprintf(tracks, "# ambrevo track file\nframe,object,x,y,track,missing\n");
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(0, 1);
    std::normal_distribution<double> step(0, 2), error(0, 0.3);
    std::vector<double> x(static_cast<size_t>(objects)), y(static_cast<size_t>(objects));
    for (long long i = 0; i < objects; ++i) x[size_t(i)] = 3840 * unit(rng), y[size_t(i)] = 2160 * unit(rng);
    const long long pieces = (frames + piece - 1) / piece;
    for (long long f = 0; f < frames; ++f)
        for (long long i = 0; i < objects; ++i) {
            double& px = x[size_t(i)];
            double& py = y[size_t(i)];
            px = std::fmod(px + step(rng) + 3840, 3840), py = std::fmod(py + step(rng) + 2160, 2160);
            std::fprintf(truth, "%lld,%lld,%.3f,%.3f\n", f, i, px, py);
            std::fprintf(tracks, "%lld,%lld,%.3f,%.3f,%lld,0\n", f, i, px + error(rng), py + error(rng),
                         i * pieces + f / piece);
        }
    return std::fclose(truth) == 0 && std::fclose(tracks) == 0 ? 0 : 1;
}
