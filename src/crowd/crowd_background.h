// The background as learned from the video. Until it is learned, a floor guessed from
// block medians stands in (crowd_floor.h), so that objects are found from the first frame,
// and from the third sample on the median of the samples so far.
// It is learned as the per-pixel median of frames sampled some frames apart, where what
// stood still through the samples is judged animal or structure (crowd_still.h); after
// that it follows the frames slowly where no animal is near, and takes over lasting
// changes of the whole picture's light at once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "crowd/crowd_blobs.h"
#include "crowd/crowd_floor.h"
#include "crowd/crowd_still.h"
#include "image/dib.h"
#include "ops/do_contrast.h"

// Blocks of a picture, each marked or not: those the background leaves alone (near an
// object), those where it may repair itself at once (crowd_follow).
struct crowd_blockMask {
    static constexpr int32_t size = 16;  // pixels each way
    int32_t cols = 0, rows = 0;
    std::vector<uint8_t> marked;  // row-major

    // No block marked, for a picture of `width` x `height`.
    void clear(int32_t width, int32_t height);
    // Marks every block within `margin` pixels of a blob's bounding box.
    void mark(const crowd_blob& blob, int32_t margin);
    // Marks every block that holds a non-zero pixel of `image` (of the mask's picture size).
    void mark(const dib_base& image);
    bool at(int64_t x, int64_t y) const { return marked[size_t(y / size) * size_t(cols) + size_t(x / size)] != 0; }
    bool fits(const dib_base& image) const {
        return cols == (image.width + size - 1) / size && rows == (image.absHeight() + size - 1) / size;
    }
};

// What one frame tells the background after its objects were found.
struct crowd_frameFacts {
    int polarity = 0;
    int cut = 20;            // the contrast an object's pixel needed in this frame
    int nextCut = 0;         // and will need in the next (0: the same)
    contrast_light relight;  // a lasting change of light the background takes over
    contrast_light light;    // the frame's light against the background, where it moved the floor by a few levels
    const crowd_blobs* blobs = nullptr;
    const std::vector<crowd_run>* runs = nullptr;  // those the blobs were labelled from
    // Where the objects' shadows are left out of the weight: the pixels left out as shadows
    // (null: none are).
    const dib_base* shaded = nullptr;
    crowd_stillRules still;  // for judging what stood through the samples
};

class crowd_background {
public:
    // Starts afresh for frames of `format`'s size: `samples` frames, `every` frames apart.
    void restart(const dib_fmt& format, int samples, int every);

    // The learned background, or null while the samples are being taken.
    const dib_base* image() const { return ready_ ? &image_ : nullptr; }
    // What this frame is compared with: the learned background, or the floor guessed so
    // far; null before the first frame.
    const dib_base* current() const { return started_ ? &image_ : nullptr; }
    bool learned() const { return ready_; }
    // The floor guessed from block medians stands in (before the third sample).
    bool guessed() const { return started_ && !ready_ && samples_.size() < 3; }

    // While the floor is guessed: the floor from block medians, and the background as the
    // first sample left it, the first frame's structure in it (null otherwise). A later
    // sample may hold animals it did not tell apart (a heap of many, an animal against the
    // wall), whose pixels would hide them while they stay near.
    const dib_base* guessedFloor() const { return guessed() && guess_.bits ? &guess_ : nullptr; }
    const dib_base* firstFloor() const { return guessed() && first_.bits ? &first_ : nullptr; }
    // The floor with its edges where the frames show them, for measuring how the camera moved:
    // the background, but while the floor is guessed, the guess before its structure was
    // widened to bear a frame's blur (null before the first frame).
    const dib_base* edges() const { return guessed() && sharp_.bits ? &sharp_ : current(); }
    // The first frame's grey values give the first guess of the floor: the block medians of
    // the pixels that do not lie beyond the noise on the objects' side (`polarity`).
    void start(const dib_base& grey, int polarity);
    // Takes this frame into the model when it is due (every `every` frames; a frame left
    // out, `leftOut`, passes the turn to the next one that is not): while learning, a
    // sample and a fresh guess of the floor; after, the change of light, and then a step
    // towards the frame wherever no object is near (crowd_follow).
    void learn(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts, bool leftOut);

private:
    void sample(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts);
    // While the floor is guessed: where the sample's animals lie, with a margin of one
    // animal's radius (their shadows and reflections), into `held`.
    void holdAnimals(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts,
                     std::vector<uint8_t>& held) const;
    // While the floor is guessed: each pixel the samples' value where some left it free of
    // animals, the floor guessed from the free pixels elsewhere.
    void guessFloor(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts);
    void settle(const crowd_frameFacts& facts);
    void freeFloor(const std::vector<const dib_base*>& images);
    void unshade(const std::vector<const dib_base*>& images, int cut);
    void noteAnimals(const crowd_frameFacts& facts);
    void follow(const dib_base& grey, const dib_base& weight, const crowd_frameFacts& facts);
    // Adds to `repairable` the blocks an animal the background still holds has walked off.
    void markVacated(const dib_base& grey, const crowd_frameFacts& facts, crowd_blockMask& repairable) const;

    std::vector<std::unique_ptr<dib_base>> samples_;
    dib_base image_{dib_fmt(1, 1, 1, 0, true), 1};
    std::vector<uint32_t> covered_;                 // per pixel, a bit for each sample that marked it an object
    std::vector<uint32_t> shaded_;                  // and for each that marked it an object or an object's shadow
    std::vector<uint8_t> free_;                     // while guessing: per pixel, a bit for each sample free of animals
    dib_base guess_{dib_fmt(1, 1, 1, 0, true), 1};  // while guessing: the floor from block medians
    dib_base first_{dib_fmt(1, 1, 1, 0, true), 1};  // while guessing: the background after the first sample
    dib_base sharp_{dib_fmt(1, 1, 1, 0, true), 1};  // while guessing: the background before its edges were widened
    dib_base still_{dib_fmt(1, 1, 1, 0, true), 1};  // where most samples did, then what was judged structure
    crowd_blockMask nearObjects_, repairable_;
    dib_base lastStep_{dib_fmt{}, 1};  // the frame the background last followed
    crowd_floorGuess floor_;
    std::vector<std::vector<crowd_seenAnimals>> seen_;  // per sample, its blobs that look like animals
    int wanted_ = 1, every_ = 1;
    int64_t frames_ = 0;
    bool due_ = false, started_ = false, ready_ = false;
};

// Per pixel of `out`, the median of the images (the lower of the middle two for an even
// count). All are 1-byte images of one size.
void crowd_median(const std::vector<const dib_base*>& images, dib_base& out);

// Where `weight` is 0 and the block is not `frozen` (null: none is): each pixel of
// `background` moves one level towards `grey`, or, in the blocks that are `repairable`
// (null: every block is), takes the grey value at once where it lies more than `jump`
// levels beyond the background on the side where objects never lie (brighter for dark
// objects, polarity 0; darker for light ones, polarity 1; no such side for polarity 2): a
// background that held an animal which has since walked off. Only where the background may
// hold an animal is that safe: elsewhere it would take in every passing shadow, and the
// floor where the shadow was would then look like an object for good.
void crowd_follow(const dib_base& grey, const dib_base& weight, int polarity, int jump, dib_base& background,
                  const crowd_blockMask* frozen = nullptr, const crowd_blockMask* repairable = nullptr);

// Each pixel of `background` takes its value under `light` (as do_contrast counts it).
void crowd_relight(contrast_light light, dib_base& background);
// Each pixel of `out` (a 1-byte image of `grey`'s size) the value that `light` would take to
// `grey`'s: a frame brought back to the light of the background it was compared with.
void crowd_unlight(const dib_base& grey, contrast_light light, dib_base& out);
