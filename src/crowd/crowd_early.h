// The arena's own structure while the floor is guessed. Until the background has samples
// enough, the floor is guessed from block medians (crowd_floor.h), which cannot follow a
// wall's thin dark line, a rim or a seam: they show as objects, a ring around the arena as
// one the size of many animals, and with the count of animals known they would take the
// animals' places.
//
// Object pixels that have not changed since the first frame by more than the noise does
// (an animal passing over a dark rim changes it by less than its contrast) form still
// patches. A patch larger than kStructureAnimals animals is structure (no animal is that
// large), even where animals touch it. A blob that is still all over is judged as the learned
// background's samples are (crowd_still.h): smaller than a quarter of an animal, a speck of
// the floor; fainter than half the animals' contrast, a stain or the floor's shading; with
// the count known, the still blobs least like one animal beyond the count. The rest, and
// the still cores of animals that moved less than their size since the first frame, stay
// objects. Structure is taken out of the frame's objects pixel by pixel, so that an animal
// touching the wall is an object of its own, with a pixel's fringe around it (a line's edges
// change by more than the floor's noise, and would be left behind as fragments). The verdict is made afresh each frame.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "crowd/crowd_blobs.h"
#include "image/dib.h"

class crowd_early {
public:
    // Forgets the first frame (the next call takes its own as the first) and frees the rest.
    void restart() { first_.reset(), still_.reset(), before_.reset(); }
    // Clears in `weight` the pixels of structure; `blobs` are those of `weight` as it is
    // (labelled from `runs`, `rowStart`), `cut` the contrast an object's pixel needs,
    // `animals` the count (0: not known). Returns whether any pixel was cleared.
    bool clear(const crowd_blobs& blobs, const std::vector<crowd_run>& runs, const std::vector<int32_t>& rowStart,
               const dib_base& grey, int cut, int minArea, int animals, dib_base& weight);
    // The weight as it was before the last call cleared it: the background's samples judge
    // what stood still themselves, structure included.
    const dib_base& before() const { return *before_; }

private:
    // How far a pixel of the floor changes since the first frame by noise alone.
    int changeNoise(const dib_base& grey, const dib_base& weight) const;
    // The object pixels unchanged since the first frame, with their weight, into still_,
    // and per blob how many of its pixels changed.
    void findStill(const crowd_blobs& blobs, const std::vector<crowd_run>& runs, const dib_base& grey,
                   const dib_base& weight, int cut);
    // The blob of `weight` that patch p lies in.
    int32_t blobOf(size_t p, const crowd_blobs& blobs, const std::vector<crowd_run>& runs,
                   const std::vector<int32_t>& rowStart) const;
    // Per patch of still_, whether it is structure.
    void judge(const crowd_blobs& blobs, const std::vector<crowd_run>& runs, const std::vector<int32_t>& rowStart,
               int minArea, int animals, std::vector<char>& structure);

    std::unique_ptr<dib_base> first_, still_, before_;
    std::vector<crowd_run> runs_;
    std::vector<int32_t> rowStart_;
    crowd_blobs patches_;
    std::vector<int64_t> changed_;  // per blob
};
