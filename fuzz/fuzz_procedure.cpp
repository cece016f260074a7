// Feeds arbitrary frames, formats, dialogue replies and clicks to every registered
// procedure. A thrown message is a fine answer; a crash, a sanitizer report or a hang
// is a fault.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/ip_window.h"
#include "doubles/recording.h"
#include "framework/ip_factory.h"

namespace {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string line(size_t most) {
        std::string s;
        size_t n = byte() % (most + 1);
        // Printable replies with blanks and signs, as a person would type them.
        static const char alphabet[] = "0123456789 -+.x";
        for (size_t i = 0; i < n; ++i) s += alphabet[byte() % (sizeof alphabet - 1)];
        return s;
    }
    size_t left() const { return size_ - pos_; }
    const uint8_t* rest() const { return data_ + pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

dib_fmt formatFrom(Reader& in) {
    dib_fmt f;
    f.szPixel = 1 + in.byte() % 4;
    if (in.byte() == 255) f.szPixel = 5;  // now and then an unsupported size
    f.width = 1 + in.byte() % 72;
    f.height = 1 + in.byte() % 56;
    if (in.byte() & 1) f.height = -f.height;
    f.szRow = f.width * f.szPixel + in.byte() % 4;
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const auto& registry = ip_registry();
    ip_creator_base* entry = registry[in.byte() % registry.size()];
    ip_dllAdaptor_callbacks = doubles::recordingCallbacks();
    dib_fmt format = formatFrom(in);
    ip_base* procedure = nullptr;
    try {
        procedure = entry->create(&format);
    } catch (const char*) {
        return 0;
    }
    std::vector<std::string> replies;
    for (int i = 0; i < 3; ++i) replies.push_back(in.line(20));
    int frames = 1 + in.byte() % 4;
    for (int f = 0; f < frames; ++f) {
        try {
            if (in.byte() % 5 == 0) format = formatFrom(in);
            dib_base frame(format, 1);
            if (in.byte() % 17 != 0 && dib_fmtIsValid(format)) {
                frame.allocate();
                for (int64_t i = 0; i < frame.byteSize(); ++i)
                    frame.bits[i] = in.left() ? in.rest()[size_t(i) % in.left()] : uint8_t(i * 37);
            }
            doubles::EventList events;
            int clicks = in.byte() % 3;
            for (int c = 0; c < clicks; ++c) events.click(int(in.byte()) - 20, int(in.byte()) - 20);
            doubles::Overlay overlay;
            procedure->doProcess(&frame, &events, &overlay);
            if (in.byte() % 3 == 0) {
                doubles::Console console(replies);
                procedure->config(&console);
            }
        } catch (const char*) {
        }
    }
    delete procedure;
    doubles::windowLog().reset();
    return 0;
}
