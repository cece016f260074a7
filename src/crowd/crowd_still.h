// What stood still through the background's samples: an animal at rest, or the arena's
// own structure (a wall rim, a dim corner, a seam, a stain).
//
// The samples' median holds whatever covered a pixel in most samples. For structure that
// is right: it is background. For an animal that rested through the samples it is wrong:
// the animal would vanish into the background for as long as it rests. So every patch
// that the samples marked as an object in most of them is judged:
// - smaller than a quarter of an animal (or than minArea): a speck of the floor, background;
// - fainter than half the animals' contrast: a stain, or the floor's own shading, background;
// - shaped like a line, not a body: nowhere as thick as an animal, or far longer for its area
//   than any, or, measured along itself however it curves, longer than a few animals and
//   thinner than one; a wall's rim or a seam, background (the floor painted beyond a drawn
//   arena hides that the rim lies where two floors meet);
// - more than kStructureAnimals animals' area: no animal is that large and none stays
//   still for all the samples piled in one heap, so it is structure, background;
// - with the count of animals known: when the animals seen moving in the samples and the
//   still patches come to more than the count, the still patches least like one animal in
//   area and contrast are structure, as many as the surplus. A patch less than half of which
//   lay in every sample, or whose animals the samples saw moved from one to another (told
//   where `always` is given), is neither counted nor taken:
//   structure does not move, and there slow animals overlapped from sample to sample, moving,
//   not at rest (on 12 fish whose first three samples overlapped, such a heap taken for
//   structure hid two of them for a dozen frames). The animals moving are those each sample
//   saw (blobs of an animal's size and contrast) away from the patches counted as resting,
//   in the median sample: on such a crossed patch too, or the count would fall short by
//   every slow animal and leave structure standing. Counted by what each sample saw, not per
//   patch, a slow animal whose overlaps left two patches is one. A patch that every sample
//   saw as one animal, in one place, is never taken for the surplus: where the animals differ
//   in size the count is the weaker word (a large animal's area counts two), and by their area
//   the small ones at rest would go first;
// - the rest are animals at rest: their pixels take the floor around them, so that they
//   stay objects; so does a margin of one animal's radius around them where the samples
//   lie on the side objects never lie (a light animal's shadow), which would otherwise
//   stay in the background as a ghost when the animal walks off.
#pragma once

#include <cstdint>
#include <vector>

#include "image/dib.h"

// A blob one sample saw that looked like animals: its centre, and how many it holds.
struct crowd_seenAnimals {
    int32_t x, y;
    double count;
};

struct crowd_stillRules {
    int polarity = 0;
    int minArea = 10;
    int animals = 0;        // 0: unknown
    double singleArea = 0;  // one animal's area, 0: not known yet
    // Per sample, the blobs it saw that looked like animals.
    std::vector<std::vector<crowd_seenAnimals>> seen = {};
    double animalContrast = 0;    // an animal's mean contrast over its pixels, 0: not known
    double animalElongation = 0;  // an animal's long axis over its short one, 0: not known
    // Per pixel (row by row), non-zero where every sample marked an object; empty: not told.
    std::vector<uint8_t> always;
    // The shift of the animals' shadows from their bodies, once known: a resting animal's own
    // shadow lies there beside it, no other floor.
    bool shadowed = false;
    int32_t shadowX = 0, shadowY = 0;
    // Per pixel (row by row), non-zero where most samples marked an object or its shadow but
    // not most an object: beside a resting animal its own shadow, wherever the shadow's deep
    // part reaches, is no floor; empty: not told.
    std::vector<uint8_t> shade = {};
};

struct crowd_stillResult {
    int animals = 0;     // patches kept as resting animals
    int structures = 0;  // patches taken into the background
};

constexpr double kStructureAnimals = 6;

// One animal's area from a frame's blob areas while none is known: the median blob, as most
// animals lie alone; with the count known and more blobs than that, the median of as many of
// the largest. A grainy floor's specks can outnumber the animals, and then the median blob
// is a speck: where the blob the median object pixel lies in (larger blobs than
// kStructureAnimals times the rest's left out, a rim being one) is more than kStructureAnimals
// times the median blob, no animal can be that blob, and the pixel's blob is taken.
double crowd_typicalArea(std::vector<double> areas, int animals);

// The w x h mask (non-zero: set) grown by `r` pixels each way, a square's reach.
std::vector<uint8_t> crowd_grown(const std::vector<uint8_t>& mask, int32_t w, int32_t h, int32_t r);

// `median`: the samples' median, changed where resting animals lay. `still`: 1-byte image,
// non-zero where most samples marked an object; on return, only where a patch was taken
// into the background as structure.
crowd_stillResult crowd_keepStillAnimals(dib_base& median, dib_base& still, const crowd_stillRules& rules);
