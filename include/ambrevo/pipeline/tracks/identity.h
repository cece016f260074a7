// Identities by appearance, learned from the video itself.
//
// A linker follows animals by their motion, and where two animals touch or cross it must
// guess which is which; each wrong guess hands one animal's identity to another for the rest
// of the run. Here the linked tracks are cut where that can happen: where an object was cut
// out of a blob of several animals, where another object's centre comes within half a body
// length, where the track was not seen. What is left are fragments, each surely one animal,
// and fragments seen at the same time are surely different animals. From them the pass learns,
// for this video alone, how each animal looks (size, shape, grey, texture, the grey along its
// body) and how much one animal's looks vary, then gives the N animals' identities to the
// fragments by a minimum-cost flow over appearance and motion, exactly N paths through each
// arena. The rows between fragments (the animals in contact) take the identities of the
// fragments on either side. Every row gets how sure its identity is.
//
// Kept free of the track file's text and of the program's run so that any front end can use it.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "ambrevo/pipeline/core/stop.h"

namespace ambrevo {

// What an object looks like in one frame, as the crowd procedure measures it.
struct Looks {
    static constexpr size_t profilePoints = 11;
    float area = 0;        // pixels
    float length = 0;      // along the midline; 0 without one
    float width = 0;       // across the midline, or the diameter of a round object
    float intensity = 0;   // mean grey
    float texture = 0;     // standard deviation of the grey
    float elongation = 0;  // long over short axis of the moments
    std::array<float, profilePoints> profile{};  // grey along the midline, or in rings out from the centre
    bool midline = false;  // length, width and profile measured along a midline
    bool head = false;     // the profile starts at the head (else at either end)
};

struct IdentityRow {
    long long frame = 0;
    long long track = -1;  // the linked track; a track holds at most one row a frame; -1: none
    double x = 0, y = 0;
    int group = 0;     // an arena (>= 0): identities are given within a group
    bool cut = false;  // cut out of a blob of several animals: its looks are less sure
    Looks looks;
};

struct IdentitySettings {
    // Animals per group; a group without a count (0 or beyond the list) keeps its tracks.
    std::vector<int> animals;
    // The linker's largest step, pixels, and how many frames a track may go unseen.
    double max_step = 15;
    int memory = 5;
};

struct Identity {
    long long identity = -1;  // 0 to N-1 per group (counted over the groups in order); -1: none of the animals
    double confidence = 0;    // how sure, in [0, 1]
};

// One result per row, in the order of `rows`. In a group with a count, exactly that many
// identities are given; a row that no animal's path takes (an object seen beside all N, a
// ghost) gets -1. In a group without one, each row keeps its track, and the confidence says
// how well its fragment's looks agree with the rest of that track. Throws
// std::invalid_argument for a negative group, a position that is not finite, or two rows of
// one track in one frame; StopRequested when `stop` asks (polled between the rounds of learning).
std::vector<Identity> identify(std::span<const IdentityRow> rows, const IdentitySettings& settings,
                               const StopToken& stop = {});

}  // namespace ambrevo
