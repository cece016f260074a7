// The plain C interface: procedures behind opaque handles, no exception crossing out.
#include "adaptor/ambrevo.h"

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <string>
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
constexpr const char* interfaceVersion = "1.2.0";

thread_local std::string lastError;

// Thrown inside this file only, for refusals of the C layer itself.
struct c_failure {
    ambrevo_status status;
    std::string message;
};

// Windows exist only for procedures that show their intermediate images; here nobody
// looks at them, but the procedures still need somewhere to show them.
class unseen_window : public ip_window {
public:
    unseen_window(int w, int h) : width_(w), height_(h) {}
    int width() override { return width_; }
    int height() override { return height_; }
    void resize(int w, int h) override {
        width_ = w;
        height_ = h;
    }
    void drawOverlay(ip_overlay*) override {}
    void show(const dib_base*) override {}
    virtual ~unseen_window() = default;

private:
    int width_;
    int height_;
};

ip_window* openUnseen(const char*, int width, int height) { return new (std::nothrow) unseen_window(width, height); }
void closeUnseen(ip_window* window) { delete static_cast<unseen_window*>(window); }
const ip_hostCallbacks unseenWindows = {openUnseen, closeUnseen};

class silent_overlay : public ip_overlay {
public:
    void clear() override {}
    void acknowledge(int, int) override {}
    void drawPoint(const ip_point*, int, const char*, int) override {}
    void drawLine(const ip_segment*, int, const char*, int, int) override {}
    void drawPolyline(const ip_pointList*, int, const char*, int) override {}
    void drawText(const ip_point*, int, const char*, int) override {}
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

class stage_recorder : public ip_profiler {
public:
    void report(const char* label, int ticks) override { stages.emplace_back(label ? label : "", ticks); }
    std::vector<std::pair<std::string, int>> stages;
};

class output_sink : public ip_diagnosticSink {
public:
    void write(const char* text, bool) override {
        if (output) output(user, text);
    }
    ambrevo_output_fn output = nullptr;
    void* user = nullptr;
};

}  // namespace

struct ambrevo_procedure;

namespace {
// For the length of one call: the instance's own windows and its own output.
struct call_scope {
    explicit call_scope(ambrevo_procedure* p);
    ip_callbackScope windows;
    ip_diagnosticScope output;
};
}  // namespace

struct ambrevo_procedure {
    std::unique_ptr<ip_base> procedure;
    output_sink sink;
    std::vector<std::string> stageNames;  // keeps the names handed out by ambrevo_profile
    std::string dialogueText;
};

namespace {

call_scope::call_scope(ambrevo_procedure* p)
    : windows(p->procedure ? p->procedure->hostCallbacks() : &unseenWindows), output(&p->sink) {}

ambrevo_status fail(ambrevo_status status, const std::string& message) {
    lastError = message;
    return status;
}

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

void require(bool condition, ambrevo_status status, const char* message) {
    if (!condition) throw c_failure{status, message};
}

ip_parameters& paramsOf(const ambrevo_procedure* p) {
    require(p != nullptr, AMBREVO_ERROR_ARGUMENT, "null procedure");
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
        auto handle = std::make_unique<ambrevo_procedure>();
        ip_diagnosticScope output(&handle->sink);
        handle->procedure.reset(ip_createProcedure(*entry, &format, &unseenWindows));
        require(handle->procedure != nullptr, AMBREVO_ERROR_MEMORY, "out of memory");
        *out = handle.release();
    });
}

IP_EXPORT void ambrevo_destroy(ambrevo_procedure* procedure) {
    if (!procedure) return;
    try {
        call_scope scope(procedure);
        procedure->procedure.reset();
    } catch (...) {
        // A destructor that throws has nothing left to tell the caller.
    }
    delete procedure;
}

IP_EXPORT const char* ambrevo_name(const ambrevo_procedure* procedure) {
    return procedure ? procedure->procedure->name() : nullptr;
}

IP_EXPORT int32_t ambrevo_param_count(const ambrevo_procedure* procedure) {
    if (!procedure) return 0;
    ip_parameters* params = ip_paramsOf(procedure->procedure.get());
    return params ? params->paramCount() : 0;
}

IP_EXPORT ambrevo_status ambrevo_param_describe(const ambrevo_procedure* procedure, int32_t index,
                                                  ambrevo_param* out) {
    return guarded([&] {
        require(out != nullptr, AMBREVO_ERROR_ARGUMENT, "null result pointer");
        ip_parameters& params = paramsOf(procedure);
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
        ip_parameters& params = paramsOf(procedure);
        const int index = ip_findParam(params, name);
        if (index < 0) throw c_failure{AMBREVO_ERROR_PARAMETER, std::string("unknown setting '") + (name ? name : "") + "'"};
        *value = params.paramValue(index);
    });
}

IP_EXPORT ambrevo_status ambrevo_param_set(ambrevo_procedure* procedure, const char* name, double value) {
    return guarded([&] {
        ip_parameters& params = paramsOf(procedure);
        call_scope scope(procedure);
        std::string message;
        if (!ip_setParam(params, name, value, message)) throw c_failure{AMBREVO_ERROR_PARAMETER, message};
    });
}

IP_EXPORT ambrevo_status ambrevo_param_set_text(ambrevo_procedure* procedure, const char* name, const char* text) {
    return guarded([&] {
        ip_parameters& params = paramsOf(procedure);
        call_scope scope(procedure);
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
        silent_overlay overlay;
        call_scope scope(procedure);
        procedure->procedure->doProcess(ip_asDib(&source), &events, &overlay);
    });
}

IP_EXPORT ambrevo_status ambrevo_objects(const ambrevo_procedure* procedure, ambrevo_object* out, int32_t capacity,
                                           int32_t* count) {
    return guarded([&] {
        require(procedure != nullptr && count != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        require(capacity >= 0 && (capacity == 0 || out != nullptr), AMBREVO_ERROR_ARGUMENT, "bad object buffer");
        *count = 0;
        const auto* source = dynamic_cast<const ip_objectSource*>(procedure->procedure.get());
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
        require(procedure != nullptr && count != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        require(capacity >= 0 && (capacity == 0 || out != nullptr), AMBREVO_ERROR_ARGUMENT, "bad object buffer");
        require(record_size >= ip_detailsLeast, AMBREVO_ERROR_ARGUMENT, "record size below that of index, x and y");
        const auto* source = dynamic_cast<const ip_objectSource*>(procedure->procedure.get());
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
        require(procedure != nullptr && count != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        require(capacity >= 0 && (capacity == 0 || out != nullptr), AMBREVO_ERROR_ARGUMENT, "bad counter buffer");
        require(record_size >= int32_t(sizeof(ambrevo_counter)), AMBREVO_ERROR_ARGUMENT,
                "record size below that of a counter");
        *count = ip_writeCounters(*procedure->procedure, out, capacity, record_size);
    });
}

IP_EXPORT ambrevo_status ambrevo_destination(ambrevo_procedure* procedure, ambrevo_image* out) {
    return guarded([&] {
        require(procedure != nullptr && out != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        const dib_base* dst = procedure->procedure->dstDib();
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
        require(procedure != nullptr && count != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        require(capacity >= 0 && (capacity == 0 || out != nullptr), AMBREVO_ERROR_ARGUMENT, "bad stage buffer");
        stage_recorder recorder;
        call_scope scope(procedure);
        procedure->procedure->profile(&recorder);
        const double msPerTick = 1000.0 / double(util_time().ticksPerSecond());
        procedure->stageNames.clear();
        for (const auto& stage : recorder.stages) procedure->stageNames.push_back(stage.first);
        for (size_t i = 0; i < recorder.stages.size() && i < size_t(capacity); ++i)
            out[i] = ambrevo_stage{procedure->stageNames[i].c_str(), recorder.stages[i].second * msPerTick};
        *count = int32_t(recorder.stages.size());
    });
}

IP_EXPORT ambrevo_status ambrevo_dialogue(ambrevo_procedure* procedure, const char* replies, const char** text) {
    return guarded([&] {
        require(procedure != nullptr && text != nullptr, AMBREVO_ERROR_ARGUMENT, "null argument");
        *text = "";
        scripted_console console(replies);
        call_scope scope(procedure);
        procedure->procedure->config(&console);
        procedure->dialogueText = console.text();
        *text = procedure->dialogueText.c_str();
    });
}

IP_EXPORT ambrevo_status ambrevo_set_output(ambrevo_procedure* procedure, ambrevo_output_fn output, void* user) {
    return guarded([&] {
        require(procedure != nullptr, AMBREVO_ERROR_ARGUMENT, "null procedure");
        procedure->sink.output = output;
        procedure->sink.user = user;
    });
}
}
