// The Canny detectors' values by name.
#include "ops/ip_canny.h"

#include "framework/ip_factory.h"

namespace {
// The dialogue takes any number; the named ranges keep to what builds a kernel and what
// a 16-bit gradient magnitude can reach.
const ip_paramInfo cannyParams[] = {
    {"sigma", ip_paramType::real, 0, 30, 2, "smoothing before the gradient, in pixels (0: none)"},
    {"th_hi", ip_paramType::integer, 0, 32767, 10, "gradient strength that starts an edge"},
    {"th_lo", ip_paramType::integer, 0, 32767, 9, "gradient strength that continues an edge; not above th_hi"},
};

// Edge images, no objects: the track file keeps every column.
const ip_traits edgeTraits = {.columns = ip_columnsArea | ip_columnsMotion};
ip_creator<ip_canny_w0> registrationW0(edgeTraits);
ip_creator<ip_canny> registration(edgeTraits);
}  // namespace

const ip_paramInfo* ip_canny_w0::params() { return cannyParams; }

int ip_canny_w0::paramCount() const { return 3; }

const ip_paramInfo& ip_canny_w0::paramInfo(int index) const { return cannyParams[index]; }

double ip_canny_w0::paramValue(int index) const {
    const double values[3] = {double(state_->sigma), double(state_->th_hi), double(state_->th_lo)};
    return values[index];
}

void ip_canny_w0::storeParam(int index, double value) {
    double values[3] = {paramValue(0), paramValue(1), paramValue(2)};
    values[index] = value;
    ip_answerDialogue(*this, {ip_replyLine(cannyParams, values, 3)});
}

std::string ip_canny_w0::thresholdConflict(int index, double value, double thHi, double thLo) {
    if (index == 1 && value < thLo) return "th_hi must not be below th_lo (" + ip_formatParam(cannyParams[2], thLo) + ")";
    if (index == 2 && value > thHi) return "th_lo must not be above th_hi (" + ip_formatParam(cannyParams[1], thHi) + ")";
    return "";
}

std::string ip_canny_w0::paramConflict(int index, double value) const {
    return thresholdConflict(index, value, paramValue(1), paramValue(2));
}
