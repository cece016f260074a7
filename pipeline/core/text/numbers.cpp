#include "ambrevo/pipeline/core/text/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace ambrevo::text {

std::string shortest(double v) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : std::string("nan");
}

std::string shortestCell(double v) { return std::isfinite(v) ? shortest(v) : std::string(); }

std::string fixed(double v, int places) {
    char text[352];  // the largest double has 309 digits before the point
    std::snprintf(text, sizeof text, "%.*f", places, v);
    return text;
}

std::string general(double v, int digits) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    return text;
}

double toDecimals(double v, int places) {
    // The powers pow() gives, exact, without its call: a crowd's row rounds some fifty values.
    static constexpr double powers[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    const double scale = places >= 0 && places < 10 ? powers[places] : std::pow(10.0, places);
    return std::round(v * scale) / scale;
}

std::string decimalCell(double v, int places) {
    if (!std::isfinite(v)) return "";
    double rounded = toDecimals(v, places);
    if (rounded == 0) rounded = 0;
    return fixed(rounded, places);
}

}  // namespace ambrevo::text
