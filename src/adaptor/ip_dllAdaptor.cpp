// The module's exported C functions and the table of live procedure instances.
#include "adaptor/ip_dllAdaptor.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "adaptor/ambrevo.h"
#include "interface/ip_host.h"
#include "flowtrack/ip_flowtrack.h"
#include "framework/ip_counters.h"
#include "framework/ip_diagnostics.h"
#include "framework/ip_factory.h"
#include "framework/ip_objects.h"
#include "framework/ip_params.h"
#include "framework/ip_window.h"

namespace ip_dllAdaptor {

std::vector<ip_base*>& table() {
    static std::vector<ip_base*> instances;
    return instances;
}

std::mutex& tableMutex() {
    static std::mutex guard;
    return guard;
}

void checkId(int id) {
    const auto& t = table();
    if (id < 0 || t.capacity() == 0 || unsigned(id) >= t.size()) throw "ip_dllAdaptor::checkId - got illegal object id";
}

namespace {
// A live instance: a free slot passes checkId but has nothing to call. The lock covers
// only the lookup: calls into different instances run side by side.
ip_base* live(int id) {
    std::lock_guard<std::mutex> lock(tableMutex());
    checkId(id);
    ip_base* p = table()[size_t(id)];
    if (!p) throw "ip_dllAdaptor::checkId - got illegal object id";
    return p;
}

// Puts a new procedure into the lowest free slot; the table grows by doubling, starting
// at 1. Built before the slot is chosen, so that the host's window callbacks never run
// under the lock.
int place(ip_base* procedure) {
    std::lock_guard<std::mutex> lock(tableMutex());
    auto& t = table();
    // A table that cannot grow must not lose the procedure.
    std::unique_ptr<ip_base> owned(procedure);
    const size_t id = size_t(std::find(t.begin(), t.end(), nullptr) - t.begin());
    if (id < t.size()) {
        t[id] = procedure;
    } else {
        if (t.size() == t.capacity()) t.reserve(t.size() + std::max<size_t>(t.size(), 1));
        t.push_back(procedure);
    }
    owned.release();
    return int(id);
}

// For the length of one call into an instance: the callback record it was built with, for its
// windows, and the host's function for its diagnostics, when the host gave one.
class instance_scope {
public:
    explicit instance_scope(ip_base* procedure)
        : windows_(procedure ? procedure->hostCallbacks() : nullptr),
          diagnostics_(procedure ? procedure->diagnostics() : nullptr) {}
    instance_scope(const instance_scope&) = delete;
    instance_scope& operator=(const instance_scope&) = delete;

private:
    ip_callbackScope windows_;
    ip_diagnosticScope diagnostics_;
};

// Empties the slot and hands back what it held (null for a free slot).
ip_base* release(int id) {
    std::lock_guard<std::mutex> lock(tableMutex());
    checkId(id);
    return std::exchange(table()[size_t(id)], nullptr);
}
}  // namespace
}  // namespace ip_dllAdaptor

using namespace ip_dllAdaptor;

extern "C" {

IP_EXPORT int ip_dllAdaptor_create(const dib_fmt* srcFmt, const ip_hostCallbacks* callbacks) {
    ip_base* procedure = nullptr;
    {
        ip_callbackScope scope(callbacks);
        procedure = new (std::nothrow) ip_flowtrack(srcFmt);
    }
    if (!procedure) throw "ip_dllAdaptor::create - out of memory";
    return place(procedure);
}

IP_EXPORT void ip_dllAdaptor_destroy(int id) {
    ip_base* procedure = release(id);
    instance_scope scope(procedure);
    delete procedure;
}

IP_EXPORT dib_base* ip_dllAdaptor_dstDib(int id) { return live(id)->dstDib(); }

IP_EXPORT void ip_dllAdaptor_config(int id, ip_console* console) {
    ip_base* p = live(id);
    instance_scope scope(p);
    p->config(console);
}

IP_EXPORT void ip_dllAdaptor_profile(int id, ip_profiler* profiler) { live(id)->profile(profiler); }

IP_EXPORT void ip_dllAdaptor_process(int id, const dib_base* src, ip_eventList* events, ip_overlay* overlay) {
    ip_base* p = live(id);
    instance_scope scope(p);
    p->doProcess(src, events, overlay);
}

IP_EXPORT void ip_dllAdaptor_reformat(int id, const dib_fmt* fmt) {
    ip_base* p = live(id);
    instance_scope scope(p);
    p->doReformat(fmt);
}

IP_EXPORT int ip_dllAdaptor_createByName(const char* name, const dib_fmt* srcFmt, const ip_hostCallbacks* callbacks) {
    ip_creator_base* entry = ip_registry_find(name);
    if (!entry) throw "ip_dllAdaptor_createByName - unknown procedure";
    ip_base* procedure = ip_createProcedure(*entry, srcFmt, callbacks);
    if (!procedure) throw "ip_dllAdaptor::create - out of memory";
    return place(procedure);
}

IP_EXPORT const char* ip_dllAdaptor_procedureName(int index) {
    const auto& registry = ip_registry();
    if (index < 0 || size_t(index) >= registry.size()) return nullptr;
    return registry[size_t(index)]->name();
}

IP_EXPORT int ip_dllAdaptor_objects(int id, ip_objectRecord* out, int capacity) {
    const auto* source = dynamic_cast<const ip_objectSource*>(live(id));
    if (!source) return 0;
    if (!out || capacity < 0) capacity = 0;
    return source->objects(out, capacity);
}

IP_EXPORT int ip_dllAdaptor_objectDetails(int id, void* out, int capacity, int recordSize) {
    const auto* source = dynamic_cast<const ip_objectSource*>(live(id));
    if (recordSize < ip_detailsLeast) throw "ip_dllAdaptor_objectDetails - record size below that of index, x and y";
    if (!source) return 0;
    return ip_writeDetails(*source, out, out ? capacity : 0, recordSize);
}

IP_EXPORT int ip_dllAdaptor_counters(int id, void* out, int capacity, int recordSize) {
    const ip_base* p = live(id);
    if (recordSize < int(sizeof(ip_counterRecord))) throw "ip_dllAdaptor_counters - record size below that of a counter";
    return ip_writeCounters(*p, out, out ? capacity : 0, recordSize);
}

IP_EXPORT const char* ip_dllAdaptor_version() { return ambrevo_version(); }

IP_EXPORT int ip_dllAdaptor_paramCount(int id) {
    ip_parameters* params = ip_paramsOf(live(id));
    return params ? params->paramCount() : 0;
}

IP_EXPORT int ip_dllAdaptor_paramInfo(int id, int index, ip_paramRecord* out) {
    ip_parameters* params = ip_paramsOf(live(id));
    if (!params || !out || index < 0 || index >= params->paramCount()) return 0;
    const ip_paramInfo& info = params->paramInfo(index);
    out->name = info.name;
    out->type = int32_t(info.type);
    out->lowest = info.lowest;
    out->highest = info.highest;
    out->defaultValue = info.defaultValue;
    out->value = params->paramValue(index);
    out->help = info.help;
    return 1;
}

IP_EXPORT int ip_dllAdaptor_setParam(int id, const char* name, const char* text, char* message, int capacity) {
    ip_base* p = live(id);
    std::string why;
    ip_parameters* params = ip_paramsOf(p);
    bool ok = false;
    if (!params) {
        why = std::string(p->name()) + " has no settings";
    } else {
        instance_scope scope(p);
        ok = ip_setParamText(*params, name, text, why);
    }
    if (!ok && message && capacity > 0) {
        const size_t n = std::min(why.size(), size_t(capacity) - 1);
        why.copy(message, n);
        message[n] = '\0';
    }
    return ok ? 1 : 0;
}

IP_EXPORT int ip_dllAdaptor_procedureTraits(const char* name, void* out, int recordSize) {
    if (recordSize < int(sizeof(ip_procedureTraits)))
        throw "ip_dllAdaptor_procedureTraits - record size below that of the traits";
    if (!out) throw "ip_dllAdaptor_procedureTraits - got null ptr on input";
    const ip_procedureTraits* traits = ip_traitsOf(name);
    if (!traits) return 0;
    std::memcpy(out, traits, sizeof *traits);
    std::memset(static_cast<uint8_t*>(out) + sizeof *traits, 0, size_t(recordSize) - sizeof *traits);
    return 1;
}

IP_EXPORT void ip_dllAdaptor_setDiagnostics(int id, ip_diagnosticFn fn, void* user) { live(id)->setDiagnostics(fn, user); }
}
