#include "ambrevo/pipeline/sources/input_kind.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/sources/stream_input.h"

namespace fs = std::filesystem;

InputKind inputKind(const std::string& input) {
    if (input == "demo") return InputKind::demo;
    if (isStreamInput(input)) return InputKind::stream;
    if (input.starts_with("cam:")) return InputKind::camera;
    std::error_code ec;
    const bool exists = fs::exists(input, ec);
    if (!exists && input.find('%') != std::string::npos) return InputKind::pattern;
    if (!exists) return InputKind::missing;
    if (fs::is_directory(input, ec)) return InputKind::folder;
    const std::string special = nonRegularKind(input);
    if (special == "a named pipe (FIFO)") return InputKind::pipe;
    if (!special.empty()) return InputKind::special;
    return isImageName(input) ? InputKind::image : InputKind::video;
}

bool isImageName(const std::string& name) {
    std::string ext = fs::path(name).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    static const char* known[] = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".pbm", ".webp"};
    return std::any_of(std::begin(known), std::end(known), [&](const char* k) { return ext == k; });
}
