// Recording host objects: they keep what the module said and did, in order, so tests
// can check exact texts and drawing calls.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "interface/ip_host.h"
#include "image/dib.h"

namespace doubles {

// Replies to readLine from a script; an exhausted script answers "".
class Console final : public ip_console {
public:
    explicit Console(std::vector<std::string> replies = {}) : replies_(replies.begin(), replies.end()) {}
    const char* readLine() override;
    void write(const char* text) override;
    void message(const char* text) override;

    std::string written;              // every write, concatenated
    std::string messages;             // every message, concatenated
    std::vector<std::string> calls;   // "write:<text>", "message:<text>", "readLine"
    int reads = 0;

private:
    std::deque<std::string> replies_;
    std::string current_;
};

class Profiler final : public ip_profiler {
public:
    void report(const char* stageLabel, int ticks) override { reports.emplace_back(stageLabel, ticks); }
    std::vector<std::pair<std::string, int>> reports;
    std::vector<std::string> labels() const;
};

struct Event final : ip_event {
    Event(int type, int code, int x, int y) : values{type, code, x, y} {}
    int type() override { return values[0]; }
    int code() override { return values[1]; }
    int x() override { return values[2]; }
    int y() override { return values[3]; }
    int values[4];
};

class EventList final : public ip_eventList {
public:
    void click(int x, int y) { events_.emplace_back(ip_event::selection, 0, x, y); }
    void add(int type, int code, int x, int y) { events_.emplace_back(type, code, x, y); }
    int count() override { return int(events_.size()); }
    ip_event* item(int index) override { return &events_[size_t(index)]; }

private:
    std::deque<Event> events_;
};

// Every drawing call as one line of text, e.g. "line 1,2-3,4 c=2 l= 0 s=1",
// "point 5,6 c=2 l= 1", "text 5,0 c=0 '  5: 17' 4", "poly c=0 l=3:57 0 [1,2 3,4]",
// "clear", "acknowledge 25 500".
class Overlay final : public ip_overlay {
public:
    void clear() override;
    void acknowledge(int a, int b) override;
    void drawPoint(const ip_point* p, int colour, const char* label, int arg) override;
    void drawLine(const ip_segment* s, int colour, const char* label, int arg, int style) override;
    void drawPolyline(const ip_pointList* points, int colour, const char* label, int arg) override;
    void drawText(const ip_point* at, int colour, const char* text, int arg) override;

    std::vector<std::string> calls;
    // Since the last clear: structured access for geometry checks.
    std::vector<ip_segment> lines;
    std::vector<int> lineColours;
    std::vector<ip_point> points;
    std::vector<std::string> texts;
    int acknowledges = 0;
};

// A window that records resize/show/drawOverlay calls; the size is what it reports.
class Window final : public ip_window {
public:
    Window(std::string title, int w, int h) : title(std::move(title)), w_(w), h_(h) {}
    int width() override { return w_; }
    int height() override { return h_; }
    void resize(int width, int height) override;
    void drawOverlay(ip_overlay* overlay) override;
    void show(const dib_base* image) override;

    std::string title;
    std::vector<std::string> calls;  // "resize W H", "show WxH", "overlay N" (N = calls held)
    std::vector<const dib_base*> shown;

private:
    int w_, h_;
};

// Callback record whose windows are owned by a process-wide log, so tests can inspect
// every window created, in order, and which were destroyed.
struct WindowLog {
    std::vector<Window*> created;
    std::vector<std::string> events;  // "create <title> W H", "destroy <title>"
    void reset();
    ~WindowLog() { reset(); }
};
WindowLog& windowLog();
const ip_hostCallbacks* recordingCallbacks();

// The message f throws, or "" when it throws nothing.
template <class F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (const char* message) {
        return message;
    }
    return "";
}

// A small image of any pixel size filled with a byte pattern, top-down when asked. (Inline, so
// that the recording objects alone link without the module, as the Windows test host does.)
inline dib_base makeImage(int width, int height, int szPixel, unsigned seed = 1, bool topDown = false,
                          int extraRowBytes = 0) {
    dib_fmt f(width, height, szPixel, width * szPixel + extraRowBytes, !topDown);
    dib_base image(f, 0);
    unsigned state = seed * 2654435761u + 12345u;
    for (int64_t i = 0; i < image.byteSize(); ++i) {
        state = state * 1103515245u + 12345u;
        image.bits[i] = uint8_t(state >> 16);
    }
    return image;
}

}  // namespace doubles
