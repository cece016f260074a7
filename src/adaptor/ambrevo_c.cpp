// The plain C interface: procedures behind opaque handles, no exception crossing out.
#include "adaptor/ambrevo.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "interface/ip_host.h"
#include "framework/ip_counters.h"
#include "framework/ip_diagnostics.h"
#include "framework/ip_factory.h"
#include "framework/ip_objects.h"
#include "framework/ip_params.h"
#include "framework/ip_window.h"
#include "framework/util_time.h"
#include "image/dib.h"

namespace {

constexpr const char* moduleVersion = "1.1.0";
constexpr const char* interfaceVersion = "1.4.1";

thread_local std::string lastError;

// Thrown inside this file only, for refusals of the C layer itself.
struct c_failure {
    ambrevo_status status;
    std::string message;
};

class click_event : public ip_event {
public:
    explicit click_event(ambrevo_click c) : click_(c) {}
    int type() override { return ip_event::selection; }
    int code() override { return 0; }
    int x() override { return click_.x; }
    int y() override { return click_.y; }

private:
    ambrevo_click click_;
};

class click_list : public ip_eventList {
public:
    click_list(const ambrevo_click* clicks, int count) {
        for (int i = 0; i < count; ++i) events_.emplace_back(clicks[i]);
    }
    int count() override { return int(events_.size()); }
    ip_event* item(int index) override {
        return index >= 0 && size_t(index) < events_.size() ? &events_[size_t(index)] : nullptr;
    }

private:
    std::vector<click_event> events_;
};

class scripted_console : public ip_console {
public:
    explicit scripted_console(const char* replies) {
        std::string all = replies ? replies : "";
        size_t start = 0;
        while (start <= all.size() && !all.empty()) {
            size_t end = all.find('\n', start);
            if (end == std::string::npos) end = all.size();
            std::string line = all.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(line);
            if (end == all.size()) break;
            start = end + 1;
        }
    }
    const char* readLine() override {
        current_ = next_ < lines_.size() ? lines_[next_++] : std::string();
        return current_.c_str();
    }
    void write(const char* text) override { text_ += text ? text : ""; }
    void message(const char* text) override { text_ += text ? text : ""; }
    const std::string& text() const { return text_; }

private:
    std::vector<std::string> lines_;
    size_t next_ = 0;
    std::string current_;
    std::string text_;
};

// The caller's own dialogue: each reply asked for as a prompt wants it.
class live_console final : public ip_console {
public:
    live_console(ambrevo_reply_fn reply, ambrevo_diagnostic_fn write, void* user)
        : reply_(reply), write_(write), user_(user) {}
    const char* readLine() override {
        const char* line = reply_ ? reply_(user_) : nullptr;
        line_ = line ? line : "";
        return line_.c_str();
    }
    void write(const char* text) override { tell(AMBREVO_CONSOLE, text); }
    void message(const char* text) override { tell(AMBREVO_NOTICE, text); }

private:
    void tell(int32_t kind, const char* text) {
        if (write_) write_(user_, kind, text ? text : "");
    }
    ambrevo_reply_fn reply_;
    ambrevo_diagnostic_fn write_;
    void* user_;
    std::string line_;
};

class stage_recorder : public ip_profiler {
public:
    void report(const char* label, int ticks) override { stages.emplace_back(label ? label : "", ticks); }
    std::vector<std::pair<std::string, int>> stages;
};

class output_sink : public ip_diagnosticSink {
public:
    void write(const char* text, bool error) override {
        if (output) output(user, text);
        if (diagnostics) diagnostics(user, error ? AMBREVO_NOTICE : AMBREVO_CONSOLE, text);
    }
    ambrevo_output_fn output = nullptr;
    ambrevo_diagnostic_fn diagnostics = nullptr;
    void* user = nullptr;
};

}  // namespace

namespace {

struct Instance;

// The instance whose call is in progress on this thread: the procedures open their windows
// through a record without a user pointer, so the window's owner is found here.
thread_local Instance* calling = nullptr;

// The frame's overlay, handed command by command to the caller's function. While the caller
// follows windows it also keeps what was drawn since the last clear, for a window to copy.
class forwarding_overlay final : public ip_overlay {
public:
    ambrevo_overlay_fn draw = nullptr;
    void* user = nullptr;
    bool keep = false;

    void clear() override {
        kept_.clear();
        send({AMBREVO_DRAW_CLEAR, 0, 0, 0, "", nullptr, 0});
    }
    void acknowledge(int a, int b) override { send({AMBREVO_DRAW_ACKNOWLEDGE, 0, a, b, "", nullptr, 0}); }
    void drawPoint(const ip_point* p, int colour, const char* label, int arg) override {
        if (p) add(AMBREVO_DRAW_POINT, colour, label, arg, 0, p, 1);
    }
    void drawLine(const ip_segment* s, int colour, const char* label, int arg, int style) override {
        if (s) add(AMBREVO_DRAW_LINE, colour, label, arg, style, &s->from, 2);
    }
    void drawPolyline(const ip_pointList* list, int colour, const char* label, int arg) override {
        if (!list) return;
        // A list whose pointers are null or reversed is an empty line, never walked.
        const bool walk = list->first && list->last && list->last > list->first;
        add(AMBREVO_DRAW_POLYLINE, colour, label, arg, 0, list->first, walk ? int32_t(list->last - list->first) : 0);
    }
    void drawText(const ip_point* at, int colour, const char* text, int arg) override {
        if (at) add(AMBREVO_DRAW_TEXT, colour, text, arg, 0, at, 1);
    }
    // What was drawn since the last clear, valid until the next command.
    const std::vector<ambrevo_draw>& kept() {
        commands_.clear();
        for (const Kept& k : kept_) {
            commands_.push_back(k.command);
            commands_.back().text = k.text.c_str();
            commands_.back().points = k.points.data();
        }
        return commands_;
    }

private:
    struct Kept {
        ambrevo_draw command;
        std::string text;
        std::vector<ambrevo_point> points;
    };
    static_assert(sizeof(ambrevo_point) == sizeof(ip_point));
    void add(int32_t kind, int colour, const char* text, int arg, int style, const ip_point* p, int32_t n) {
        const auto* points = reinterpret_cast<const ambrevo_point*>(p);
        const ambrevo_draw command{kind, colour, arg, style, text ? text : "", n ? points : nullptr, n};
        if (keep) kept_.push_back({command, command.text, std::vector<ambrevo_point>(points, points + n)});
        send(command);
    }
    void send(const ambrevo_draw& command) {
        if (draw) draw(user, &command);
    }
    std::vector<Kept> kept_;
    std::vector<ambrevo_draw> commands_;
};

class forwarded_window;

// One procedure behind a handle, with what it hands out until the next call on it.
struct Instance {
    std::unique_ptr<ip_base> procedure;
    output_sink sink;
    forwarding_overlay overlay;
    ambrevo_window_fn window = nullptr;
    void* windowUser = nullptr;
    std::vector<std::unique_ptr<forwarded_window>> windows;  // open, in the order they were opened
    int32_t windowsOpened = 0;
    std::vector<std::string> stageNames;  // keeps the names handed out by ambrevo_profile
    std::string dialogueText;
    std::mutex busy;                            // held for the length of each call
    std::atomic<std::thread::id> caller{};      // the thread inside a call, to refuse a call from within

    // The overlay keeps its commands for a window to copy only while one is open and followed:
    // most procedures open none, and their frames are not copied twice.
    void followWindows() { overlay.keep = window != nullptr && !windows.empty(); }
};

// A window a procedure opened: what it does with it goes to its instance's window function.
class forwarded_window final : public ip_window {
public:
    forwarded_window(Instance& owner, const char* title, int w, int h)
        : owner_(owner), id_(++owner.windowsOpened), title_(title ? title : ""), width_(w), height_(h) {}
    int width() override { return width_; }
    int height() override { return height_; }
    void resize(int w, int h) override {
        width_ = w;
        height_ = h;
        tell(event(AMBREVO_WINDOW_RESIZE));
    }
    void drawOverlay(ip_overlay* overlay) override {
        // Only the overlay the instance hands out has commands to copy.
        if (overlay != &owner_.overlay) return;
        ambrevo_window_event e = event(AMBREVO_WINDOW_OVERLAY);
        const std::vector<ambrevo_draw>& commands = owner_.overlay.kept();
        e.commands = commands.data();
        e.command_count = int32_t(commands.size());
        tell(e);
    }
    void show(const dib_base* image) override {
        ambrevo_window_event e = event(AMBREVO_WINDOW_SHOW);
        if (image) e.image = {image->bits, image->width, image->absHeight(), image->szRow, image->szPixel};
        tell(e);
    }
    ambrevo_window_event event(int32_t kind) const {
        return {kind, id_, title_.c_str(), width_, height_, {}, nullptr, 0};
    }
    void tell(const ambrevo_window_event& e) const {
        if (owner_.window) owner_.window(owner_.windowUser, &e);
    }

private:
    Instance& owner_;
    int32_t id_;
    std::string title_;
    int width_, height_;
};

ip_window* openForwarded(const char* title, int width, int height) {
    if (!calling) return nullptr;
    calling->windows.push_back(std::make_unique<forwarded_window>(*calling, title, width, height));
    calling->followWindows();
    forwarded_window& w = *calling->windows.back();
    w.tell(w.event(AMBREVO_WINDOW_OPEN));
    return &w;
}

void closeForwarded(ip_window* window) {
    if (!calling) return;
    auto& open = calling->windows;
    const auto it = std::find_if(open.begin(), open.end(), [&](const auto& w) { return w.get() == window; });
    if (it == open.end()) return;
    (*it)->tell((*it)->event(AMBREVO_WINDOW_CLOSE));
    open.erase(it);
    calling->followWindows();
}

const ip_hostCallbacks forwardedWindows = {openForwarded, closeForwarded};

// For the length of one call: the instance's own windows and its own output.
struct call_scope {
    explicit call_scope(Instance* p)
        : previous(std::exchange(calling, p)), windows(&forwardedWindows), output(&p->sink) {}
    ~call_scope() { calling = previous; }
    call_scope(const call_scope&) = delete;
    call_scope& operator=(const call_scope&) = delete;
    Instance* previous;
    ip_callbackScope windows;
    ip_diagnosticScope output;
};

ambrevo_status fail(ambrevo_status status, const std::string& message) {
    lastError = message;
    return status;
}

void require(bool condition, ambrevo_status status, const char* message) {
    if (!condition) throw c_failure{status, message};
}

// The arguments every call that fills a caller's list takes: a procedure, where the count goes,
// and room for `capacity` entries (none needs no buffer).
void requireList(const void* procedure, const int32_t* count, const void* out, int32_t capacity,
                 const char* badBuffer) {
    require(procedure != nullptr && count != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
    require(capacity >= 0 && (capacity == 0 || out != nullptr), AMBREVO_ERROR_ARGUMENT, badBuffer);
}

// The handles given out: a slot of this table in the low half of the handle's bits, the slot's
// generation in the high half. A destroyed instance's slot counts one generation on, so its
// old handle finds nothing, even once the slot holds another instance (until the generation
// comes round again: 2^32 reuses of one slot, 2^16 on 32-bit systems).
class HandleTable {
public:
    ambrevo_procedure* add(std::shared_ptr<Instance> instance) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (free_.empty()) {
            require(slots_.size() < kSlotMask - 1, AMBREVO_ERROR_MEMORY, "too many procedures at once");
            free_.push_back(slots_.size());
            slots_.emplace_back();
        }
        const size_t slot = free_.back();
        free_.pop_back();
        slots_[slot].instance = std::move(instance);
        return reinterpret_cast<ambrevo_procedure*>((uintptr_t(slots_[slot].generation) << kShift) | (slot + 1));
    }
    // The live instance of `handle`, or null.
    std::shared_ptr<Instance> find(const ambrevo_procedure* handle) {
        std::lock_guard<std::mutex> hold(mutex_);
        Slot* s = slotOf(handle);
        return s ? s->instance : nullptr;
    }
    void remove(const ambrevo_procedure* handle) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (Slot* s = slotOf(handle)) {
            s->instance.reset();
            s->generation = (s->generation + 1) & kGenerationMask;
            free_.push_back(size_t(s - slots_.data()));
        }
    }

private:
    static constexpr unsigned kShift = sizeof(uintptr_t) * 4;
    static constexpr uintptr_t kSlotMask = (uintptr_t(1) << kShift) - 1;
    static constexpr uintptr_t kGenerationMask = kSlotMask;
    struct Slot {
        uintptr_t generation = 1;
        std::shared_ptr<Instance> instance;
    };
    Slot* slotOf(const ambrevo_procedure* handle) {
        const uintptr_t bits = reinterpret_cast<uintptr_t>(handle);
        const uintptr_t slot = bits & kSlotMask, generation = bits >> kShift;
        if (slot == 0 || slot > slots_.size()) return nullptr;
        Slot& s = slots_[slot - 1];
        return s.instance && s.generation == generation ? &s : nullptr;
    }
    std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<size_t> free_;
};

// Never destroyed: a call made while the process exits still finds its table.
HandleTable& handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

// The instance of `handle` for the length of one call. A call on another thread waits for the
// one in progress; a call from inside a call on the same instance (from its output function)
// is refused, as is a handle that is no live instance.
class Held {
public:
    explicit Held(const ambrevo_procedure* handle) {
        require(handle != nullptr, AMBREVO_ERROR_ARGUMENT, "null procedure");
        instance_ = handles().find(handle);
        require(instance_ != nullptr, AMBREVO_ERROR_ARGUMENT,
                "not a live procedure: destroyed, or never made by ambrevo_create");
        require(instance_->caller.load() != std::this_thread::get_id(), AMBREVO_ERROR_ARGUMENT,
                "a call on a procedure from within a call on it");
        lock_ = std::unique_lock<std::mutex>(instance_->busy);
        if (handles().find(handle) != instance_) {
            lock_.unlock();
            throw c_failure{AMBREVO_ERROR_ARGUMENT, "not a live procedure: destroyed while the call waited"};
        }
        instance_->caller = std::this_thread::get_id();
    }
    ~Held() {
        if (lock_.owns_lock()) instance_->caller = std::thread::id();
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Instance* operator->() const { return instance_.get(); }
    Instance* get() const { return instance_.get(); }

private:
    std::shared_ptr<Instance> instance_;  // outlives the lock on its mutex
    std::unique_lock<std::mutex> lock_;
};

// Runs `body`, turning everything thrown into a status and the thread's last message.
template <class Body>
ambrevo_status guarded(Body&& body) {
    try {
        body();
        return AMBREVO_OK;
    } catch (const c_failure& f) {
        return fail(f.status, f.message);
    } catch (const char* message) {
        return fail(AMBREVO_ERROR_MODULE, message ? message : "unknown module error");
    } catch (const std::bad_alloc&) {
        return fail(AMBREVO_ERROR_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return fail(AMBREVO_ERROR_INTERNAL, e.what());
    } catch (...) {
        return fail(AMBREVO_ERROR_INTERNAL, "unexpected failure");
    }
}

ip_parameters& paramsOf(const Held& p) {
    ip_parameters* params = ip_paramsOf(p->procedure.get());
    if (!params)
        throw c_failure{AMBREVO_ERROR_PARAMETER, std::string(p->procedure->name()) + " has no settings"};
    return *params;
}

}  // namespace

extern "C" {

IP_EXPORT const char* ambrevo_version(void) { return moduleVersion; }
IP_EXPORT const char* ambrevo_interface_version(void) { return interfaceVersion; }
IP_EXPORT const char* ambrevo_last_error(void) { return lastError.c_str(); }

IP_EXPORT int32_t ambrevo_procedure_count(void) { return int32_t(ip_registry().size()); }

IP_EXPORT const char* ambrevo_procedure_name(int32_t index) {
    const auto& registry = ip_registry();
    return index >= 0 && size_t(index) < registry.size() ? registry[size_t(index)]->name() : nullptr;
}

// One record serves both interfaces.
static_assert(sizeof(ambrevo_traits) == sizeof(ip_procedureTraits) &&
              offsetof(ambrevo_traits, count_setting) == offsetof(ip_procedureTraits, countSetting) &&
              offsetof(ambrevo_traits, counters) == offsetof(ip_procedureTraits, counters) &&
              offsetof(ambrevo_traits, counter_count) == offsetof(ip_procedureTraits, counterCount) &&
              sizeof(ambrevo_counter_trait) == sizeof(ip_counterTrait) &&
              offsetof(ambrevo_counter_trait, remark_found) == offsetof(ip_counterTrait, remarkFound) &&
              AMBREVO_COLUMNS_AREA == ip_columnsArea && AMBREVO_COLUMNS_MOTION == ip_columnsMotion &&
              AMBREVO_TRAIT_SHAPES == ip_traitShapes && AMBREVO_TRAIT_POSTURE == ip_traitPosture &&
              AMBREVO_TRAIT_LUMA == ip_traitLuma && AMBREVO_TRAIT_DEFAULT == ip_traitDefault &&
              AMBREVO_COUNTER_UNRECORDED == ip_counterUnrecorded && AMBREVO_COUNTER_LEARNING == ip_counterLearning &&
              AMBREVO_CONSOLE == ip_diagnosticConsole && AMBREVO_NOTICE == ip_diagnosticNotice);

IP_EXPORT ambrevo_status ambrevo_procedure_traits(const char* name, void* out, int32_t record_size) {
    return guarded([&] {
        require(name != nullptr && out != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        require(record_size >= int32_t(sizeof(ambrevo_traits)), AMBREVO_ERROR_ARGUMENT,
                "record size below that of the traits");
        const ip_procedureTraits* traits = ip_traitsOf(name);
        if (!traits) throw c_failure{AMBREVO_ERROR_ARGUMENT, std::string("unknown procedure '") + name + "'"};
        std::memcpy(out, traits, sizeof *traits);
        std::memset(static_cast<uint8_t*>(out) + sizeof *traits, 0, size_t(record_size) - sizeof *traits);
    });
}

IP_EXPORT ambrevo_status ambrevo_create(const char* name, int32_t width, int32_t height, int32_t channels,
                                          ambrevo_procedure** out) {
    return guarded([&] {
        require(out != nullptr, AMBREVO_ERROR_ARGUMENT, "null result pointer");
        *out = nullptr;
        require(name != nullptr, AMBREVO_ERROR_ARGUMENT, "null procedure name");
        ip_creator_base* entry = ip_registry_find(name);
        if (!entry) throw c_failure{AMBREVO_ERROR_ARGUMENT, std::string("unknown procedure '") + name + "'"};
        require(channels == 1 || channels == 3, AMBREVO_ERROR_ARGUMENT, "channels must be 1 or 3");
        require(width >= 1 && height >= 1, AMBREVO_ERROR_ARGUMENT, "width and height must be at least 1");
        const dib_fmt format(width, height, channels, 0, false);
        require(dib_fmtIsValid(format), AMBREVO_ERROR_ARGUMENT, "frame too large");
        auto instance = std::make_shared<Instance>();
        call_scope scope(instance.get());
        instance->procedure.reset(ip_createProcedure(*entry, &format, &forwardedWindows));
        require(instance->procedure != nullptr, AMBREVO_ERROR_MEMORY, "out of memory");
        *out = handles().add(std::move(instance));
    });
}

IP_EXPORT void ambrevo_destroy(ambrevo_procedure* procedure) {
    if (!procedure) return;
    guarded([&] {
        Held p(procedure);  // after a call in progress on another thread
        handles().remove(procedure);
        call_scope scope(p.get());
        p->procedure.reset();
    });
}

IP_EXPORT const char* ambrevo_name(const ambrevo_procedure* procedure) {
    const char* name = nullptr;
    if (procedure) guarded([&] { name = Held(procedure)->procedure->name(); });
    return name;
}

IP_EXPORT int32_t ambrevo_param_count(const ambrevo_procedure* procedure) {
    int32_t count = 0;
    if (procedure)
        guarded([&] {
            const Held p(procedure);
            ip_parameters* params = ip_paramsOf(p->procedure.get());
            count = params ? params->paramCount() : 0;
        });
    return count;
}

IP_EXPORT ambrevo_status ambrevo_param_describe(const ambrevo_procedure* procedure, int32_t index,
                                                  ambrevo_param* out) {
    return guarded([&] {
        require(out != nullptr, AMBREVO_ERROR_ARGUMENT, "null result pointer");
        const Held p(procedure);
        ip_parameters& params = paramsOf(p);
        require(index >= 0 && index < params.paramCount(), AMBREVO_ERROR_ARGUMENT, "setting index out of range");
        const ip_paramInfo& info = params.paramInfo(index);
        out->name = info.name;
        out->type = info.type == ip_paramType::integer   ? AMBREVO_INTEGER
                    : info.type == ip_paramType::boolean ? AMBREVO_BOOLEAN
                                                         : AMBREVO_REAL;
        out->lowest = info.lowest;
        out->highest = info.highest;
        out->default_value = info.defaultValue;
        out->help = info.help;
    });
}

IP_EXPORT ambrevo_status ambrevo_param_get(const ambrevo_procedure* procedure, const char* name, double* value) {
    return guarded([&] {
        require(value != nullptr, AMBREVO_ERROR_ARGUMENT, "null result pointer");
        const Held p(procedure);
        ip_parameters& params = paramsOf(p);
        const int index = ip_findParam(params, name);
        if (index < 0) throw c_failure{AMBREVO_ERROR_PARAMETER, std::string("unknown setting '") + (name ? name : "") + "'"};
        *value = params.paramValue(index);
    });
}

IP_EXPORT ambrevo_status ambrevo_param_set(ambrevo_procedure* procedure, const char* name, double value) {
    return guarded([&] {
        const Held p(procedure);
        ip_parameters& params = paramsOf(p);
        call_scope scope(p.get());
        std::string message;
        if (!ip_setParam(params, name, value, message)) throw c_failure{AMBREVO_ERROR_PARAMETER, message};
    });
}

IP_EXPORT ambrevo_status ambrevo_param_set_text(ambrevo_procedure* procedure, const char* name, const char* text) {
    return guarded([&] {
        const Held p(procedure);
        ip_parameters& params = paramsOf(p);
        call_scope scope(p.get());
        std::string message;
        if (!ip_setParamText(params, name, text, message)) throw c_failure{AMBREVO_ERROR_PARAMETER, message};
    });
}

IP_EXPORT ambrevo_status ambrevo_process(ambrevo_procedure* procedure, const ambrevo_frame* frame,
                                           const ambrevo_click* clicks, int32_t click_count) {
    return guarded([&] {
        require(procedure != nullptr, AMBREVO_ERROR_ARGUMENT, "null procedure");
        require(frame != nullptr && frame->data != nullptr, AMBREVO_ERROR_ARGUMENT, "null frame");
        require(frame->channels == 1 || frame->channels == 3, AMBREVO_ERROR_ARGUMENT, "channels must be 1 or 3");
        require(frame->width >= 1 && frame->height >= 1, AMBREVO_ERROR_ARGUMENT,
                "frame width and height must be at least 1");
        require(frame->stride >= int64_t(frame->width) * frame->channels && frame->stride <= INT32_MAX,
                AMBREVO_ERROR_ARGUMENT, "frame stride smaller than a row");
        require(click_count >= 0 && (click_count == 0 || clicks != nullptr), AMBREVO_ERROR_ARGUMENT,
                "bad click list");
        ip_dibWords source{frame->channels, int32_t(frame->stride), frame->width, -frame->height,
                           const_cast<uint8_t*>(frame->data)};
        const dib_fmt format(frame->width, frame->height, frame->channels, int(frame->stride), false);
        require(dib_fmtIsValid(format), AMBREVO_ERROR_ARGUMENT, "frame too large");
        click_list events(clicks, click_count);
        const Held p(procedure);
        call_scope scope(p.get());
        p->procedure->doProcess(ip_asDib(&source), &events, &p->overlay);
    });
}

IP_EXPORT ambrevo_status ambrevo_objects(const ambrevo_procedure* procedure, ambrevo_object* out, int32_t capacity,
                                           int32_t* count) {
    return guarded([&] {
        requireList(procedure, count, out, capacity, "bad object buffer");
        *count = 0;
        const Held p(procedure);
        const auto* source = dynamic_cast<const ip_objectSource*>(p->procedure.get());
        if (!source) return;
        const int n = source->objects(nullptr, 0);
        std::vector<ip_objectRecord> records(size_t(n > 0 ? n : 0));
        const int got = source->objects(records.data(), n);
        for (int i = 0; i < got && i < n && i < capacity; ++i) {
            const ip_objectRecord& r = records[size_t(i)];
            out[i] = ambrevo_object{r.index, r.x, r.y, r.area, r.vx, r.vy, r.pointCount, r.selected};
        }
        *count = n;
    });
}

// One record serves both interfaces.
static_assert(sizeof(ambrevo_details) == sizeof(ip_objectDetails) &&
              offsetof(ambrevo_details, elongation) == offsetof(ip_objectDetails, elongation) &&
              offsetof(ambrevo_details, selected) == offsetof(ip_objectDetails, selected) &&
              offsetof(ambrevo_details, heading) == offsetof(ip_objectDetails, heading) &&
              offsetof(ambrevo_details, midline) == offsetof(ip_objectDetails, midline) &&
              offsetof(ambrevo_details, profile) == offsetof(ip_objectDetails, profile) &&
              AMBREVO_MIDLINE_POINTS == ip_midlinePoints && AMBREVO_POSTURE_MIDLINE == ip_postureMidline &&
              AMBREVO_POSTURE_HEAD == ip_postureHead && AMBREVO_POSTURE_SPLIT == ip_postureSplit &&
              AMBREVO_POSTURE_HEADING == ip_postureHeading);

IP_EXPORT ambrevo_status ambrevo_object_details(const ambrevo_procedure* procedure, void* out, int32_t capacity,
                                                  int32_t record_size, int32_t* count) {
    return guarded([&] {
        requireList(procedure, count, out, capacity, "bad object buffer");
        require(record_size >= ip_detailsLeast, AMBREVO_ERROR_ARGUMENT, "record size below that of index, x and y");
        const Held p(procedure);
        const auto* source = dynamic_cast<const ip_objectSource*>(p->procedure.get());
        *count = source ? ip_writeDetails(*source, out, capacity, record_size) : 0;
    });
}

// One record serves both interfaces.
static_assert(sizeof(ambrevo_counter) == sizeof(ip_counterRecord) &&
              offsetof(ambrevo_counter, hint) == offsetof(ip_counterRecord, hint) &&
              offsetof(ambrevo_counter, value) == offsetof(ip_counterRecord, value));

IP_EXPORT ambrevo_status ambrevo_counters(const ambrevo_procedure* procedure, void* out, int32_t capacity,
                                            int32_t record_size, int32_t* count) {
    return guarded([&] {
        requireList(procedure, count, out, capacity, "bad counter buffer");
        require(record_size >= int32_t(sizeof(ambrevo_counter)), AMBREVO_ERROR_ARGUMENT,
                "record size below that of a counter");
        const Held p(procedure);
        *count = ip_writeCounters(*p->procedure, out, capacity, record_size);
    });
}

IP_EXPORT ambrevo_status ambrevo_destination(ambrevo_procedure* procedure, ambrevo_image* out) {
    return guarded([&] {
        require(procedure != nullptr && out != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        const Held p(procedure);
        const dib_base* dst = p->procedure->dstDib();
        require(dst != nullptr && dst->bits != nullptr, AMBREVO_ERROR_MODULE, "the procedure has no destination image");
        // Rows are handed out in the frames' own order, top row first.
        out->data = dst->bits;
        out->width = dst->width;
        out->height = dst->absHeight();
        out->stride = dst->szRow;
        out->bytes_per_pixel = dst->szPixel;
    });
}

IP_EXPORT ambrevo_status ambrevo_profile(ambrevo_procedure* procedure, ambrevo_stage* out, int32_t capacity,
                                           int32_t* count) {
    return guarded([&] {
        requireList(procedure, count, out, capacity, "bad stage buffer");
        stage_recorder recorder;
        const Held p(procedure);
        call_scope scope(p.get());
        p->procedure->profile(&recorder);
        const double msPerTick = 1000.0 / double(util_time().ticksPerSecond());
        p->stageNames.clear();
        for (const auto& stage : recorder.stages) p->stageNames.push_back(stage.first);
        for (size_t i = 0; i < recorder.stages.size() && i < size_t(capacity); ++i)
            out[i] = ambrevo_stage{p->stageNames[i].c_str(), recorder.stages[i].second * msPerTick};
        *count = int32_t(recorder.stages.size());
    });
}

IP_EXPORT ambrevo_status ambrevo_dialogue(ambrevo_procedure* procedure, const char* replies, const char** text) {
    return guarded([&] {
        require(procedure != nullptr && text != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        *text = "";
        scripted_console console(replies);
        const Held p(procedure);
        call_scope scope(p.get());
        p->procedure->config(&console);
        p->dialogueText = console.text();
        *text = p->dialogueText.c_str();
    });
}

IP_EXPORT ambrevo_status ambrevo_set_output(ambrevo_procedure* procedure, ambrevo_output_fn output, void* user) {
    return guarded([&] {
        const Held p(procedure);
        p->sink.output = output;
        p->sink.diagnostics = nullptr;
        p->sink.user = user;
    });
}

IP_EXPORT ambrevo_status ambrevo_set_diagnostics(ambrevo_procedure* procedure, ambrevo_diagnostic_fn output,
                                                   void* user) {
    return guarded([&] {
        const Held p(procedure);
        p->sink.output = nullptr;
        p->sink.diagnostics = output;
        p->sink.user = user;
    });
}

// One record serves both interfaces.
static_assert(sizeof(ambrevo_record) == sizeof(ip_objectRecord) &&
              offsetof(ambrevo_record, appearances) == offsetof(ip_objectRecord, appearances) &&
              offsetof(ambrevo_record, rays) == offsetof(ip_objectRecord, rays) &&
              AMBREVO_MAX_RAYS == ip_objectMaxRays);

IP_EXPORT ambrevo_status ambrevo_object_records(const ambrevo_procedure* procedure, void* out, int32_t capacity,
                                                  int32_t record_size, int32_t* count) {
    return guarded([&] {
        requireList(procedure, count, out, capacity, "bad object buffer");
        require(record_size >= int32_t(sizeof(ambrevo_record)), AMBREVO_ERROR_ARGUMENT,
                "record size below that of an object record");
        *count = 0;
        const Held p(procedure);
        const auto* source = dynamic_cast<const ip_objectSource*>(p->procedure.get());
        if (!source) return;
        const int n = source->objects(nullptr, 0);
        std::vector<ip_objectRecord> records(size_t(std::max(n, 0)));
        const int got = std::min(source->objects(records.data(), n), n);
        for (int i = 0; i < got && i < capacity; ++i) {
            uint8_t* at = static_cast<uint8_t*>(out) + size_t(i) * size_t(record_size);
            std::memcpy(at, &records[size_t(i)], sizeof(ip_objectRecord));
            std::memset(at + sizeof(ip_objectRecord), 0, size_t(record_size) - sizeof(ip_objectRecord));
        }
        *count = n;
    });
}

IP_EXPORT ambrevo_status ambrevo_set_overlay(ambrevo_procedure* procedure, ambrevo_overlay_fn draw, void* user) {
    return guarded([&] {
        const Held p(procedure);
        p->overlay.draw = draw;
        p->overlay.user = user;
    });
}

IP_EXPORT ambrevo_status ambrevo_set_windows(ambrevo_procedure* procedure, ambrevo_window_fn window, void* user) {
    return guarded([&] {
        const Held p(procedure);
        p->window = window;
        p->windowUser = user;
        p->followWindows();
        for (const auto& w : p->windows) w->tell(w->event(AMBREVO_WINDOW_OPEN));
    });
}

IP_EXPORT ambrevo_status ambrevo_converse(ambrevo_procedure* procedure, ambrevo_reply_fn reply,
                                            ambrevo_diagnostic_fn write, void* user) {
    return guarded([&] {
        live_console console(reply, write, user);
        const Held p(procedure);
        call_scope scope(p.get());
        p->procedure->config(&console);
    });
}
}
