#include "doubles/recording.h"

#include <sstream>

namespace doubles {

const char* Console::readLine() {
    ++reads;
    calls.push_back("readLine");
    current_ = replies_.empty() ? "" : replies_.front();
    if (!replies_.empty()) replies_.pop_front();
    return current_.c_str();
}

void Console::write(const char* text) { written += text, calls.push_back(std::string("write:") + text); }
void Console::message(const char* text) { messages += text, calls.push_back(std::string("message:") + text); }

std::vector<std::string> Profiler::labels() const {
    std::vector<std::string> out;
    for (auto& r : reports) out.push_back(r.first);
    return out;
}

void Overlay::clear() {
    calls.push_back("clear");
    lines.clear();
    lineColours.clear();
    points.clear();
    texts.clear();
}

void Overlay::acknowledge(int a, int b) {
    ++acknowledges;
    calls.push_back("acknowledge " + std::to_string(a) + " " + std::to_string(b));
}

void Overlay::drawPoint(const ip_point* p, int colour, const char* label, int arg) {
    std::ostringstream s;
    s << "point " << p->x << "," << p->y << " c=" << colour << " l=" << label << " " << arg;
    calls.push_back(s.str());
    points.push_back(*p);
}

void Overlay::drawLine(const ip_segment* g, int colour, const char* label, int arg, int style) {
    std::ostringstream s;
    s << "line " << g->from.x << "," << g->from.y << "-" << g->to.x << "," << g->to.y << " c=" << colour
      << " l=" << label << " " << arg << " s=" << style;
    calls.push_back(s.str());
    lines.push_back(*g);
    lineColours.push_back(colour);
}

void Overlay::drawPolyline(const ip_pointList* list, int colour, const char* label, int arg) {
    std::ostringstream s;
    s << "poly c=" << colour << " l=" << label << " " << arg << " [";
    std::vector<ip_point> pts(list->first, list->last);
    for (size_t i = 0; i < pts.size(); ++i) s << (i ? " " : "") << pts[i].x << "," << pts[i].y;
    s << "]";
    calls.push_back(s.str());
}

void Overlay::drawText(const ip_point* at, int colour, const char* text, int arg) {
    std::ostringstream s;
    s << "text " << at->x << "," << at->y << " c=" << colour << " '" << text << "' " << arg;
    calls.push_back(s.str());
    texts.emplace_back(text);
}

void Window::resize(int width, int height) {
    calls.push_back("resize " + std::to_string(width) + " " + std::to_string(height));
    w_ = width;
    h_ = height;
}

void Window::drawOverlay(ip_overlay* overlay) {
    auto* o = static_cast<Overlay*>(overlay);
    calls.push_back("overlay " + std::to_string(o->calls.size()));
}

void Window::show(const dib_base* image) {
    const ip_dibWords* w = ip_dibWordsOf(image);
    calls.push_back("show " + std::to_string(w->width) + "x" + std::to_string(w->height));
    shown.push_back(image);
}

void WindowLog::reset() {
    for (Window* w : created) delete w;
    created.clear();
    events.clear();
}

WindowLog& windowLog() {
    static WindowLog log;
    return log;
}

static ip_window* createRecordingWindow(const char* title, int width, int height) {
    auto* w = new Window(title, width, height);
    windowLog().created.push_back(w);
    windowLog().events.push_back("create " + std::string(title) + " " + std::to_string(width) + " " +
                                 std::to_string(height));
    return w;
}

static void destroyRecordingWindow(ip_window* window) {
    windowLog().events.push_back("destroy " + static_cast<Window*>(window)->title);
}

const ip_hostCallbacks* recordingCallbacks() {
    static const ip_hostCallbacks callbacks{&createRecordingWindow, &destroyRecordingWindow};
    return &callbacks;
}

}  // namespace doubles
