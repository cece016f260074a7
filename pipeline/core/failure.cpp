#include "ambrevo/pipeline/core/failure.h"

#include <new>
#include <opencv2/core.hpp>
#include <stdexcept>

const char* errorName(RunError kind) {
    static const char* const names[] = {"module",  "usage",   "input",       "output",
                                        "moduleLoad", "library", "interrupted", "terminated"};
    return names[int(kind)];
}

std::string describeFailure(std::exception_ptr failure) {
    std::string text;
    try {
        std::rethrow_exception(failure);
    } catch (const cv::Exception& e) {
        text = "OpenCV: " + (e.err.empty() ? std::string(e.what()) : e.err) +
               (e.func.empty() ? "" : " (in " + e.func + ")");
    } catch (const std::bad_alloc&) {
        text = "out of memory";
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "unknown failure";
    }
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}
