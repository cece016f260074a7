// The plain C interface as a program in any language could drive it: calls in any order
// on several instances (and on null), settings by name with any value or text, frames of
// every size, stride and channel count, dialogue replies of any bytes. Every call must
// answer with a status; besides crashes and sanitizer reports the target checks that a
// failure always leaves a message and that an instance takes back its own current values.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adaptor/ambrevo.h"
#include "fuzz_input.h"

namespace {

using fuzz::Input;

[[noreturn]] void fault(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_c_interface: %s: %s\n", what, detail.c_str());
    std::abort();
}

ambrevo_status check(ambrevo_status status, const char* call) {
    if (status < AMBREVO_OK || status > AMBREVO_ERROR_INTERNAL) fault(call, "status out of range");
    const char* message = ambrevo_last_error();
    if (!message) fault(call, "null ambrevo_last_error");
    if (status != AMBREVO_OK && !*message) fault(call, "a failure without a message");
    return status;
}

// Equal, or both not a number (the dialogue may have stored one).
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void sink(void* user, const char* text) { *static_cast<size_t*>(user) += std::strlen(text); }

// A drawing command the caller can take as it comes: a text, and the points it counts.
void wholeCommand(const ambrevo_draw& d) {
    if (d.kind < AMBREVO_DRAW_CLEAR || d.kind > AMBREVO_DRAW_TEXT || !d.text || d.point_count < 0 ||
        (d.point_count && !d.points))
        fault("overlay", "a malformed command");
    int64_t sum = int64_t(std::strlen(d.text));
    for (int32_t i = 0; i < d.point_count; ++i) sum += d.points[i].x + d.points[i].y;
    (void)sum;
}

void drawn(void* user, const ambrevo_draw* d) {
    wholeCommand(*d);
    ++*static_cast<size_t*>(user);
}

// A window event with a number, a title, a picture whose every row can be read and whole commands.
void windowed(void* user, const ambrevo_window_event* e) {
    if (e->kind < AMBREVO_WINDOW_OPEN || e->kind > AMBREVO_WINDOW_CLOSE || e->window < 1 || !e->title ||
        e->command_count < 0 || (e->command_count && !e->commands))
        fault("windows", "a malformed event");
    uint32_t sum = uint32_t(std::strlen(e->title));
    const ambrevo_image& image = e->image;
    for (int64_t r = 0; image.data && r < image.height; ++r)
        for (int64_t i = 0; i < int64_t(image.width) * image.bytes_per_pixel; ++i)
            sum = sum * 31 + image.data[r * image.stride + i];
    for (int32_t i = 0; i < e->command_count; ++i) wholeCommand(e->commands[i]);
    *static_cast<size_t*>(user) += sum & 1;
}

// A dialogue answered as it goes, one line a prompt, then "", and what it writes.
struct Replies {
    std::vector<std::string> lines;
    size_t next = 0, written = 0;
    static const char* reply(void* user) {
        auto& r = *static_cast<Replies*>(user);
        return r.next < r.lines.size() ? r.lines[r.next++].c_str() : "";
    }
    static void said(void* user, int32_t, const char* text) { sink(&static_cast<Replies*>(user)->written, text); }
};

double anyValue(Input& in, const ambrevo_param* info) {
    static const double edges[] = {0, 1, -1, 0.5, -0.5, 1e9, -1e9, 1e300, -1e300, 2147483647.0, 2147483648.0,
                                   -2147483649.0, 9.3e18, INFINITY, -INFINITY, NAN, 4.9e-324};
    uint8_t mode = in.byte();
    if (info && mode < 96) {
        double span = info->highest - info->lowest;
        double at = info->lowest + span * double(in.pick(9)) / 8;
        switch (in.pick(4)) {
            case 0: return at;
            case 1: return std::nextafter(info->lowest, -INFINITY);
            case 2: return std::nextafter(info->highest, INFINITY);
            default: return std::round(at);
        }
    }
    if (mode < 200) return edges[in.pick(sizeof edges / sizeof edges[0])];
    uint64_t bits = uint64_t(in.word()) << 32 | in.word();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::string anyText(Input& in) {
    static const char* const texts[] = {"", "0", "1", "-1", "12", "0.5", "true", "false", "yes", "nan", "inf",
                                        "1e400", " 3", "3 ", "+4", "0x10", "99999999999999999999", "1,5"};
    if (in.chance(3)) return in.bytes(20);
    return texts[in.pick(sizeof texts / sizeof texts[0])];
}

class Session {
public:
    explicit Session(Input& in) : in_(in), procedures_(ambrevo_procedure_count()) {}
    ~Session() {
        for (ambrevo_procedure* p : live_) ambrevo_destroy(p);
    }

    void step() {
        switch (in_.pick(13)) {
            case 0: create(); break;
            case 1: destroy(); break;
            case 2: describeAndRestore(); break;
            case 3: setValue(); break;
            case 4: setText(); break;
            case 5: objects(); break;
            case 6: destination(); break;
            case 7: profile(); break;
            case 8: dialogue(); break;
            case 9: {
                ambrevo_procedure* p = any();
                if (p) check(ambrevo_set_output(p, in_.chance(3) ? nullptr : sink, &written_), "set_output");
                if (in_.chance(2)) check(ambrevo_set_overlay(p, in_.chance(3) ? nullptr : drawn, &written_), "set_overlay");
                if (in_.chance(2))
                    check(ambrevo_set_windows(p, in_.chance(3) ? nullptr : windowed, &written_), "set_windows");
                (void)ambrevo_name(p);
                (void)ambrevo_procedure_name(in_.number(-2, procedures_ + 1));
                break;
            }
            default: process(); break;
        }
    }

private:
    // A live instance or null (never a destroyed one: that is the caller's fault in C).
    ambrevo_procedure* any() {
        if (live_.empty() || in_.chance(16)) return nullptr;
        return live_[in_.pick(uint32_t(live_.size()))];
    }

    const char* nameOf(ambrevo_procedure* p, int index, ambrevo_param& info) {
        int count = ambrevo_param_count(p);
        if (count <= 0 || in_.chance(10)) return nullptr;
        if (check(ambrevo_param_describe(p, index % count, &info), "param_describe") != AMBREVO_OK) return nullptr;
        return info.name;
    }

    void create() {
        if (live_.size() >= 6) return;
        std::string name;
        if (in_.chance(8)) {
            name = in_.bytes(12);
        } else {
            const char* known = ambrevo_procedure_name(int32_t(in_.pick(uint32_t(procedures_))));
            name = known ? known : "";
        }
        int32_t width = in_.number(1, 96), height = in_.number(1, 72);
        int32_t channels = in_.chance(8) ? in_.number(0, 4) : (in_.byte() & 1 ? 3 : 1);
        // Valid sizes stay small; a large one must be refused or be cheap to hold.
        if (width >= 1 && height >= 1 && int64_t(width) * height > (int64_t(1) << 18)) {
            width = 1 + int32_t(in_.pick(96));
            height = 1 + int32_t(in_.pick(72));
        }
        ambrevo_procedure* p = nullptr;
        ambrevo_procedure** out = in_.chance(40) ? nullptr : &p;
        ambrevo_status s = check(ambrevo_create(in_.chance(40) ? nullptr : name.c_str(), width, height, channels, out),
                                 "create");
        if (s == AMBREVO_OK) {
            if (!p) fault("create", "OK without an instance");
            live_.push_back(p);
            sizes_.push_back({width, height, channels});
        }
    }

    void destroy() {
        if (live_.empty() || in_.chance(8)) return ambrevo_destroy(nullptr);
        size_t i = in_.pick(uint32_t(live_.size()));
        ambrevo_destroy(live_[i]);
        live_.erase(live_.begin() + long(i));
        sizes_.erase(sizes_.begin() + long(i));
    }

    // Every described setting reads back, and taking its own current value back is accepted
    // and changes nothing.
    void describeAndRestore() {
        ambrevo_procedure* p = any();
        int count = ambrevo_param_count(p);
        ambrevo_param info;
        check(ambrevo_param_describe(p, in_.number(-1, count + 1), &info), "param_describe");
        // The dialogue keeps its own wider ranges (a known difference), and a setting outside
        // its described range may make the others refuse, so only an instance whose values all
        // lie in range must take them back.
        bool inRange = true;
        for (int i = 0; i < count; ++i) {
            double value = 0;
            if (ambrevo_param_describe(p, i, &info) == AMBREVO_OK && ambrevo_param_get(p, info.name, &value) == AMBREVO_OK)
                inRange = inRange && value >= info.lowest && value <= info.highest;
        }
        for (int i = 0; i < count; ++i) {
            if (check(ambrevo_param_describe(p, i, &info), "param_describe") != AMBREVO_OK)
                fault("param_describe", "refused an index below the count");
            double value = 0;
            if (check(ambrevo_param_get(p, info.name, &value), "param_get") != AMBREVO_OK)
                fault("param_get", std::string("refused the described setting ") + info.name);
            if (check(ambrevo_param_set(p, info.name, value), "param_set") != AMBREVO_OK && inRange)
                fault("param_set", std::string("refused the current value of ") + info.name + ": " +
                                       ambrevo_last_error());
            double again = 0;
            check(ambrevo_param_get(p, info.name, &again), "param_get");
            if (inRange && !same(again, value)) fault("param_set", std::string("current value changed: ") + info.name);
        }
    }

    void setValue() {
        ambrevo_procedure* p = any();
        ambrevo_param info;
        const char* name = nameOf(p, int(in_.byte()), info);
        std::string other = in_.bytes(10);
        double value = anyValue(in_, name ? &info : nullptr);
        double before = 0;
        bool known = name && ambrevo_param_get(p, name, &before) == AMBREVO_OK;
        ambrevo_status s = check(ambrevo_param_set(p, name ? name : (in_.chance(4) ? nullptr : other.c_str()), value),
                                 "param_set");
        // A value inside its own range refused by a check across settings (th_hi below th_lo)
        // is stored all the same today (docs/robustness.md, C1); AMBREVO_FUZZ_STRICT=1 checks
        // that case too.
        static const bool strict = std::getenv("AMBREVO_FUZZ_STRICT") != nullptr;
        bool inRange = name && value >= info.lowest && value <= info.highest;
        if (known && s != AMBREVO_OK && (strict || !inRange)) {
            double after = 0;
            ambrevo_param_get(p, name, &after);
            if (!same(after, before))
                fault("param_set", std::string("a refused value changed ") + name + " from " + std::to_string(before) +
                                       " to " + std::to_string(after) + " (asked " + std::to_string(value) + ": " +
                                       ambrevo_last_error() + ")");
        }
    }

    void setText() {
        ambrevo_procedure* p = any();
        ambrevo_param info;
        const char* name = nameOf(p, int(in_.byte()), info);
        std::string text = anyText(in_);
        check(ambrevo_param_set_text(p, name, in_.chance(30) ? nullptr : text.c_str()), "param_set_text");
    }

    void process() {
        ambrevo_procedure* p = any();
        size_t which = 0;
        for (; which < live_.size() && live_[which] != p; ++which) {
        }
        Size own = which < sizes_.size() ? sizes_[which] : Size{32, 24, 1};
        ambrevo_frame frame;
        frame.width = own.width;
        frame.height = own.height;
        frame.channels = own.channels;
        if (in_.chance(5)) {
            frame.width = in_.number(1, 96);
            frame.height = in_.number(1, 72);
            frame.channels = in_.chance(4) ? in_.number(0, 4) : (in_.byte() & 1 ? 3 : 1);
        }
        int64_t row = int64_t(frame.width) * frame.channels;
        frame.stride = in_.chance(4) ? row + in_.number(-2, 9) : row;
        if (in_.chance(20)) frame.stride = (int64_t(in_.pick(11)) - 5) * int64_t(in_.word());
        // A frame the module could take but too large to back here becomes a small one, so
        // that only frames it must refuse come without their memory.
        if (frame.width >= 1 && frame.height >= 1 && frame.channels >= 1 && frame.stride >= row &&
            (frame.stride > (int64_t(1) << 20) || int64_t(frame.height) * frame.stride > (int64_t(1) << 20))) {
            frame.width = 1 + int32_t(in_.pick(96));
            frame.height = 1 + int32_t(in_.pick(72));
            frame.channels = in_.byte() & 1 ? 3 : 1;
            row = int64_t(frame.width) * frame.channels;
            frame.stride = row;
        }
        // Exactly height rows of stride bytes when the frame is one the module may take.
        bool plausible = frame.width >= 1 && frame.height >= 1 && frame.channels >= 1 && frame.stride >= row &&
                         int64_t(frame.height) * frame.stride <= (int64_t(1) << 20);
        fuzz::Buffer pixels(plausible ? size_t(int64_t(frame.height) * frame.stride) : in_.pick(3) * 8);
        uint32_t state = in_.byte() + 1u;
        uint8_t ground = in_.byte(), level = in_.byte();
        int bx = int(in_.pick(64)), by = int(in_.pick(48)), bw = 1 + int(in_.pick(20)), bh = 1 + int(in_.pick(20));
        if (plausible) {
            for (int64_t y = 0; y < frame.height; ++y)
                for (int64_t i = 0; i < frame.stride; ++i) {
                    int64_t x = i / frame.channels;
                    state = state * 1664525u + 1013904223u;
                    bool inside = x >= bx && x < bx + bw && y >= by && y < by + bh;
                    pixels.bytes[size_t(y * frame.stride + i)] = inside ? level : uint8_t(ground + (state >> 29));
                }
        }
        frame.data = in_.chance(40) ? nullptr : pixels.bytes.get();
        if (!plausible && frame.data == nullptr) frame.data = reinterpret_cast<const uint8_t*>("");
        int n = int(in_.pick(4));
        std::vector<ambrevo_click> clicks(static_cast<size_t>(n));
        const int32_t w = std::clamp(frame.width, 0, 4096), h = std::clamp(frame.height, 0, 4096);
        for (auto& c : clicks) c = {in_.number(-2, w + 2), in_.number(-2, h + 2)};
        int32_t count = in_.chance(20) ? in_.number(-2, 2) : n;
        const ambrevo_click* list = n || in_.chance(2) ? clicks.data() : nullptr;
        if (count > n) count = n;  // more than the list holds is the caller's fault
        check(ambrevo_process(in_.chance(40) ? nullptr : p, in_.chance(60) ? nullptr : &frame, list, count),
              "process");
    }

    void objects() {
        ambrevo_procedure* p = any();
        int32_t capacity = in_.chance(8) ? -1 - int32_t(in_.pick(3)) : int32_t(in_.pick(20));
        std::vector<ambrevo_object> out(capacity > 0 ? size_t(capacity) : 0);
        int32_t count = 0;
        ambrevo_status s = check(ambrevo_objects(p, out.empty() ? nullptr : out.data(), capacity,
                                                 in_.chance(30) ? nullptr : &count),
                                 "objects");
        if (s == AMBREVO_OK && count < 0) fault("objects", "negative count");
        const int32_t size = int32_t(sizeof(ambrevo_record)) + int32_t(in_.pick(11)) - 2;
        std::vector<uint8_t> records(capacity > 0 ? size_t(capacity) * size_t(std::max(size, 0)) : 0);
        s = check(ambrevo_object_records(p, records.empty() ? nullptr : records.data(), capacity, size, &count),
                  "object_records");
        if (s == AMBREVO_OK && (count < 0 || size < int32_t(sizeof(ambrevo_record))))
            fault("object_records", "a negative count, or a record too short taken");
    }

    void destination() {
        ambrevo_procedure* p = any();
        ambrevo_image image;
        if (check(ambrevo_destination(p, in_.chance(30) ? nullptr : &image), "destination") != AMBREVO_OK) return;
        uint32_t sum = 0;
        for (int64_t r = 0; r < image.height; ++r)
            for (int64_t i = 0; i < int64_t(image.width) * image.bytes_per_pixel; ++i)
                sum = sum * 31 + image.data[r * image.stride + i];
        (void)sum;
    }

    void profile() {
        ambrevo_procedure* p = any();
        int32_t capacity = int32_t(in_.pick(8));
        std::vector<ambrevo_stage> out(static_cast<size_t>(capacity));
        int32_t count = 0;
        if (check(ambrevo_profile(p, out.empty() ? nullptr : out.data(), capacity, &count), "profile") != AMBREVO_OK)
            return;
        for (int32_t i = 0; i < count && i < capacity; ++i)
            if (!out[size_t(i)].name) fault("profile", "a stage without a name");
            else (void)std::strlen(out[size_t(i)].name);
    }

    void dialogue() {
        ambrevo_procedure* p = any();
        std::string replies;
        int lines = int(in_.pick(30));
        for (int i = 0; i < lines; ++i) replies += (in_.chance(3) ? in_.bytes(16) : anyText(in_)) + "\n";
        if (in_.chance(3)) {
            Replies live;
            for (size_t at = 0, end; (end = replies.find('\n', at)) != std::string::npos; at = end + 1)
                live.lines.push_back(replies.substr(at, end - at));
            check(ambrevo_converse(p, in_.chance(20) ? nullptr : Replies::reply, in_.chance(20) ? nullptr : Replies::said, &live),
                  "converse");
            return;
        }
        const char* text = nullptr;
        if (check(ambrevo_dialogue(p, in_.chance(30) ? nullptr : replies.c_str(), in_.chance(30) ? nullptr : &text),
                  "dialogue") == AMBREVO_OK) {
            if (!text) fault("dialogue", "OK without the text");
            (void)std::strlen(text);
        }
    }

    struct Size {
        int32_t width, height, channels;
    };
    Input& in_;
    int32_t procedures_;
    std::vector<ambrevo_procedure*> live_;
    std::vector<Size> sizes_;
    size_t written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    (void)ambrevo_version();
    (void)ambrevo_interface_version();
    Session session(in);
    for (int steps = 0; steps < 48 && !in.done(); ++steps) session.step();
    return 0;
}
