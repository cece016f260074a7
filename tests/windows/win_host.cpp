// A small host of the seven plain exports, built from this one file for Windows and for
// Linux: it loads the module by name, runs the flow tracker over a generated scene and writes
// to OUTPUT, in binary, the console dialogue, what the module drew per frame, a digest of each
// destination image, the messages it threw, and its own diagnostics (its standard output and
// error go to the same file). Run under Wine, the Windows build must write the very bytes the
// Linux build writes.
//   win_host MODULE OUTPUT
#include <cstdint>
#include <cstdio>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define dup2 _dup2
#define fileno _fileno
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "doubles/recording.h"

namespace {

// A bright textured picture with dark discs moving across it, the third appearing half-way
// for the tracker to report, and once a frame of dark specks; integers only, so that both builds draw the same pixels. Three
// bytes per pixel, rows bottom-up, as a DIB.
constexpr int W = 157, H = 118, RowBytes = W * 3;
std::vector<uint8_t> picture(int frame) {
    std::vector<uint8_t> px(size_t(RowBytes) * H);
    const int discs[3][3] = {{30 + 3 * frame, 40 + frame, 13}, {120 - 2 * frame, 80 - frame / 2, 10},
                             {frame < 12 ? -99 : 135, 20, 16}};
    for (int y = 0; y < H; ++y)
        for (int i = 0; i < RowBytes; ++i) {
            const int x = i / 3;
            const uint32_t h = (uint32_t(i) * 73856093u ^ uint32_t(y) * 19349663u) * 0x5bd1e995u;
            int v = frame == 20 && x % 6 < 3 && y % 6 < 3 ? 30 : 170 + int(h >> 26);  // specks: too many regions
            for (const auto& d : discs)
                if ((x - d[0]) * (x - d[0]) + (y - d[1]) * (y - d[1]) <= d[2] * d[2]) v = 25 + int(h >> 28);
            px[size_t(H - 1 - y) * RowBytes + size_t(i)] = uint8_t(v);
        }
    return px;
}

// Format and FNV-1a digest of the pixel bytes of each row.
void digest(const dib_base* image) {
    const ip_dibWords& w = *ip_dibWordsOf(image);
    uint64_t h = 14695981039346656037ull;
    for (int r = 0; r < (w.height < 0 ? -w.height : w.height); ++r)
        for (int i = 0; i < w.width * w.szPixel; ++i) h = (h ^ w.bits[int64_t(r) * w.szRow + i]) * 1099511628211ull;
    std::printf("destination %dx%dx%d %016llx\n", w.width, w.height, w.szPixel, static_cast<unsigned long long>(h));
}

#ifdef _WIN32
void* find(void* module, const char* name) { return reinterpret_cast<void*>(GetProcAddress(HMODULE(module), name)); }
#else
void* find(void* module, const char* name) { return dlsym(module, name); }
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || !std::freopen(argv[2], "wb", stdout)) return std::fprintf(stderr, "usage: win_host MODULE OUTPUT\n"), 2;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    dup2(fileno(stdout), fileno(stderr));
#ifdef _WIN32
    void* module = LoadLibraryA(argv[1]);
#else
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
#endif
    if (!module) return std::printf("cannot load %s\n", argv[1]), 1;
    const auto create = ip_createFn(find(module, "ip_dllAdaptor_create"));
    const auto destroy = ip_destroyFn(find(module, "ip_dllAdaptor_destroy"));
    const auto dstDib = ip_dstDibFn(find(module, "ip_dllAdaptor_dstDib"));
    const auto config = ip_configFn(find(module, "ip_dllAdaptor_config"));
    const auto profile = ip_profileFn(find(module, "ip_dllAdaptor_profile"));
    const auto process = ip_processFn(find(module, "ip_dllAdaptor_process"));
    const auto reformat = ip_reformatFn(find(module, "ip_dllAdaptor_reformat"));
    if (!create || !destroy || !dstDib || !config || !profile || !process || !reformat) return std::puts("missing export"), 1;

    // The module reports every failure by throwing a pointer to its message.
    auto attempt = [](const char* what, auto call) {
        try {
            call();
        } catch (const char* message) {
            std::printf("%s threw: %s\n", what, message);
        }
    };
    ip_fmtWords format{3, RowBytes, W, H};
    const ip_hostCallbacks callbacks{nullptr, nullptr};
    int id = -1;
    attempt("destroy before create", [&] { destroy(0); });
    attempt("create", [&] { id = create(ip_asFmt(&format), &callbacks); });
    doubles::Console console({"", "1 1 1 2 2"});
    attempt("config", [&] { config(id, &console); });
    std::fputs(console.written.c_str(), stdout);
    for (int frame = 0; frame < 24; ++frame) {
        std::vector<uint8_t> px = picture(frame);
        ip_dibWords image{3, RowBytes, W, H, px.data()};
        doubles::EventList events;
        if (frame == 6) events.add(1, 0, 30, 30), events.click(48, 46);
        doubles::Overlay overlay;
        std::printf("frame %d\n", frame);
        attempt("process", [&] { process(id, ip_asDib(&image), &events, &overlay); });
        for (const std::string& call : overlay.calls) std::printf("%s\n", call.c_str());
        digest(dstDib(id));
    }
    doubles::Profiler profiler;
    attempt("profile", [&] { profile(id, &profiler); });
    for (const std::string& label : profiler.labels()) std::printf("stage %s\n", label.c_str());
    ip_fmtWords grey{1, W, W, -H};
    attempt("reformat", [&] { reformat(id, ip_asFmt(&grey)); });
    ip_dibWords empty{1, W, W, -H, nullptr};
    attempt("process without pixels", [&] { process(id, ip_asDib(&empty), nullptr, nullptr); });
    attempt("process with another id", [&] { process(id + 1, ip_asDib(&empty), nullptr, nullptr); });
    attempt("destroy", [&] { destroy(id); });
    std::printf("done\n");
    return 0;
}
