// An object's posture and looks as the rows of a run carry them: the midline, heading, length,
// width, texture and grey along the body of ip_objectDetails, for the procedures that report
// them.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>

#include "ip_host.h"

// Whether the procedure reports its objects' posture and looks, judged from the details of one
// frame's objects: a procedure that does not measure them leaves every such field 0, and one
// that does gives each object its width (a round object's is the diameter of a disc of its
// area). The one place the host decides it.
inline bool reportsPosture(std::span<const ip_objectDetails> details) {
    for (const ip_objectDetails& d : details)
        if (d.width > 0 || d.posture != 0) return true;
    return false;
}

// The decimals the track file gives each value; the rows hold the values rounded to them, so
// that every front end, and the identities learned from the looks, hold what the file says.
enum PostureDecimals { headingDecimals = 4, bodyDecimals = 2, greyDecimals = 2, confidenceDecimals = 3 };

struct ObjectPosture {
    static constexpr int points = ip_midlinePoints;
    static constexpr float unknown = NAN;
    float heading = unknown;  // radians from the x axis towards y; NaN when neither head nor motion tells it
    float length = unknown;   // along the midline; NaN without one
    float width = unknown;    // across the midline, or a round object's diameter
    float texture = unknown;  // standard deviation of the grey
    int8_t head = -1;         // 1: the midline starts at the head, 0: at either end; -1: no midline
    int8_t split = -1;        // 1: cut out of a blob of several animals, 0: seen whole; -1: not seen
    std::array<float, 2 * points> midline = filled<2 * points>();  // x, y, head first; NaN without a midline
    std::array<float, points> grey = filled<points>();  // along the midline, head first, or in rings outwards

    bool seen() const { return split >= 0; }
    bool hasMidline() const { return head >= 0; }

private:
    template <size_t n>
    static constexpr std::array<float, n> filled() {
        std::array<float, n> a{};
        a.fill(unknown);
        return a;
    }
};

// The posture of one object's details, rounded to the file's decimals.
ObjectPosture postureOf(const ip_objectDetails& d);
