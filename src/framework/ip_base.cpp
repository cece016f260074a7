#include "framework/ip_base.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <typeindex>

#include "framework/ip_window.h"

ip_base::ip_base(const dib_fmt* format) : callbacks_(ip_dllAdaptor_callbacks) {
    if (!format) throw "ip_base::ip_base - got null ptr on input";
    dib_requireValid(*format, "ip_base::ip_base - illegal image format");
    srcFmt_ = new dib_fmt(*format);
}

ip_base::~ip_base() { delete srcFmt_; }

void ip_base::config(ip_console* console) {
    std::ostringstream text;
    text << "The image processing procedure class " << ip_className(*this) << "\n";
    text << "does not provide configurable parameters\n";
    console->message(text.str().c_str());
}

void ip_base::profile(ip_profiler*) {}

void ip_base::doProcess(const dib_base* src, ip_eventList* events, ip_overlay* overlay) {
    if (!src) throw "ip_base::doProcess - got null ptr on input";
    dib_requireValid(src->format(), "ip_base::doProcess - illegal image format");
    if (!(src->format() == *srcFmt_)) doReformat(src);
    process(src, events, overlay);
}

void ip_base::doReformat(const dib_fmt* format) {
    if (!format) throw "ip_base::doReformat - got null ptr on input";
    dib_requireValid(*format, "ip_base::doReformat - illegal image format");
    // Only the four format words: a dib_base passed here carries more behind them.
    srcFmt_->szPixel = format->szPixel;
    srcFmt_->szRow = format->szRow;
    srcFmt_->width = format->width;
    srcFmt_->height = format->height;
    reformat();
}

void ip_simple::process(const dib_base* src, ip_eventList*, ip_overlay*) { processSrc(src); }

const char* ip_className(const ip_base& procedure) {
    // Demangled once per class; the text lives as long as the module.
    static std::map<std::type_index, std::string> names;
    static std::mutex guard;
    std::lock_guard<std::mutex> lock(guard);
    std::type_index type(typeid(procedure));
    auto found = names.find(type);
    if (found == names.end()) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
        found = names.emplace(type, status == 0 && demangled ? demangled : type.name()).first;
        std::free(demangled);
    }
    return found->second.c_str();
}
