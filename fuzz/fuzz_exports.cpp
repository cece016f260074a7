// The exported functions as a host could call them: any order, ids that were never
// handed out or are already destroyed, several instances alive at once, formats and
// frames of every kind. A refusal (a thrown message) is a fine answer; a crash, a
// sanitizer report or a leak is a fault.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "interface/ip_host.h"
#include "doubles/recording.h"
#include "fuzz_frames.h"
#include "fuzz_input.h"

namespace {

using fuzz::Input;

struct Instance {
    int id;
    ip_fmtWords format;
    fuzz::Scene scene;
    int frames = 0;
};

const ip_hostCallbacks* callbacksFrom(Input& in) {
    static const ip_hostCallbacks none{nullptr, nullptr};
    static const ip_hostCallbacks half{doubles::recordingCallbacks()->createWindow, nullptr};
    switch (in.pick(8)) {
        case 0: return nullptr;
        case 1: return &none;
        case 2: return &half;
        default: return doubles::recordingCallbacks();
    }
}

int procedureCount() {
    int n = 0;
    while (ip_dllAdaptor_procedureName(n)) ++n;
    return n;
}

// Replies mostly as a person types them, sometimes any bytes.
std::vector<std::string> repliesFrom(Input& in) {
    static const char* const words[] = {"", "0", "1", "-1", "2", "5", "10", "99", "1000", "y", "n",
                                        "0.5", "1e9", "-0", "+3", " 7", "8 ", "2147483648", "x"};
    std::vector<std::string> replies;
    int n = int(in.pick(24));
    for (int i = 0; i < n; ++i) {
        if (in.chance(5))
            replies.push_back(in.bytes(24));
        else
            replies.push_back(words[in.pick(sizeof words / sizeof words[0])]);
    }
    return replies;
}

class Session {
public:
    explicit Session(Input& in) : in_(in), procedures_(procedureCount()) {}

    ~Session() {
        // Everything still alive goes, so that a leak report means the module lost memory.
        for (int id : live_) try {
                ip_dllAdaptor_destroy(id);
            } catch (const char*) {
            }
        doubles::windowLog().reset();
    }

    void step() {
        switch (in_.pick(12)) {
            case 0: create(); break;
            case 1: createByName(); break;
            case 2: destroy(); break;
            case 3: fuzz::touch(ip_dllAdaptor_dstDib(anyId())); break;
            case 4: config(); break;
            case 5: {
                doubles::Profiler profiler;
                ip_dllAdaptor_profile(anyId(), &profiler);
                break;
            }
            case 6: reformat(); break;
            case 7: objects(); break;
            case 8: (void)ip_dllAdaptor_procedureName(in_.number(-2, procedures_ + 2)); break;
            default: process(); break;
        }
    }

private:
    void remember(int id, const ip_fmtWords& format) {
        for (int known : live_)
            if (known == id) __builtin_trap();  // the module handed out a live id twice
        live_.push_back(id);
        Instance instance{id, format, fuzz::Scene::from(in_)};
        for (Instance& i : seen_)
            if (i.id == id) {
                i = instance;
                return;
            }
        seen_.push_back(instance);
    }

    void create() {
        ip_fmtWords format = fuzz::anyFormat(in_);
        remember(ip_dllAdaptor_create(ip_asFmt(&format), callbacksFrom(in_)), format);
    }

    void createByName() {
        ip_fmtWords format = fuzz::anyFormat(in_);
        std::string name;
        if (in_.chance(6)) {
            name = in_.bytes(12);
        } else {
            const char* known = ip_dllAdaptor_procedureName(int(in_.pick(uint32_t(procedures_))));
            name = known ? known : "";
        }
        const char* text = in_.chance(40) ? nullptr : name.c_str();
        remember(ip_dllAdaptor_createByName(text, ip_asFmt(&format), callbacksFrom(in_)), format);
    }

    // An id of a live instance, one that was destroyed, or any number.
    int anyId() {
        uint8_t mode = in_.byte();
        if (mode < 200 && !seen_.empty()) return seen_[in_.pick(uint32_t(seen_.size()))].id;
        return in_.number(-3, 8);
    }

    Instance* instanceOf(int id) {
        for (Instance& i : seen_)
            if (i.id == id) return &i;
        return nullptr;
    }

    void destroy() {
        int id = anyId();
        ip_dllAdaptor_destroy(id);
        for (size_t i = 0; i < live_.size(); ++i)
            if (live_[i] == id) {
                live_.erase(live_.begin() + long(i));
                break;
            }
    }

    void config() {
        doubles::Console console(repliesFrom(in_));
        ip_dllAdaptor_config(anyId(), &console);
    }

    void reformat() {
        int id = anyId();
        ip_fmtWords format = fuzz::anyFormat(in_);
        ip_dllAdaptor_reformat(id, ip_asFmt(&format));
        if (Instance* i = instanceOf(id)) i->format = format;
    }

    void objects() {
        int id = anyId();
        // Storage for exactly `capacity` records, so that one more is a sanitizer report;
        // a negative capacity comes with no storage or a little.
        int capacity = int(in_.pick(40));
        if (in_.chance(8)) capacity = in_.chance(2) ? -1 : INT32_MIN + int(in_.pick(2));
        std::vector<ip_objectRecord> out(capacity > 0 ? size_t(capacity) : in_.pick(2));
        ip_objectRecord* where = capacity <= 0 && in_.chance(2) ? nullptr : out.data();
        (void)ip_dllAdaptor_objects(id, where, capacity);
    }

    void process() {
        int id = anyId();
        Instance* instance = instanceOf(id);
        // Mostly a frame of the instance's own format; sometimes one of another.
        ip_fmtWords format = instance && !in_.chance(6) ? instance->format : fuzz::anyFormat(in_);
        fuzz::Scene scene = instance ? instance->scene : fuzz::Scene::from(in_);
        int index = instance ? instance->frames++ : 0;
        fuzz::Frame frame(format, scene, index, in_);
        doubles::EventList events;
        fuzz::addEvents(events, in_, format);
        doubles::Overlay overlay;
        ip_dllAdaptor_process(id, frame.dib(), in_.chance(10) ? nullptr : &events, &overlay);
        if (in_.chance(2)) fuzz::touch(ip_dllAdaptor_dstDib(id));
    }

    Input& in_;
    int procedures_;
    std::vector<Instance> seen_;
    std::vector<int> live_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Session session(in);
    for (int steps = 0; steps < 48 && !in.done(); ++steps) {
        try {
            session.step();
        } catch (const char*) {
        }
    }
    return 0;
}
