// Splitting a blob that holds several animals into one object per animal, along their
// bodies: each animal is a body model (a midline with the half width along it, or a disc)
// placed where its track expects it and fitted to the blob's pixels.
#pragma once

#include <algorithm>
#include <vector>

#include "crowd/crowd_blobs.h"
#include "crowd/crowd_place.h"
#include "crowd/crowd_posture.h"

struct crowd_part {
    crowd_moments moments;  // of its pixels: those of its body, shared with any other body they lie in
    crowd_body body;        // as fitted
    crowd_looks looks;
    bool looked = true;  // looks measured (a disc's are measured when asked: crowd_splitter::look)
};

// Whether, of two parts cut out of a blob of `blobArea` pixels, the smaller is the larger's
// animal again, a second track's body fitted onto it: it lies over the larger for nearly all
// of itself (their areas added up exceed the blob's by that much), along its axis, its centre
// within the larger's body, a quarter of its length along it and half its width across (as an
// ellipse of the larger's area and elongation has them). Two animals side by side lie a width
// apart, in file half a length at least, and crossing at an angle.
bool crowd_repeats(const crowd_object& a, const crowd_object& b, double blobArea);
// The same, told the pixels the two have in common.
bool crowd_repeatsOver(const crowd_object& a, const crowd_object& b, double common);
// Of the parts cut out of one blob, those repeating a larger one that is kept: nearly all the
// pixels inside the part's body lie inside others too (`shares`, as crowd_splitter::overlaps
// tells them), and it lies along the larger one as crowd_repeats has it. One of two alike is kept.
std::vector<char> crowd_repeatedParts(const std::vector<crowd_part>& parts, const std::vector<double>& shares);

class crowd_splitter {
public:
    // Cuts blob `blob` into k parts. `expected` are the bodies of the tracks that went into
    // it, where they are expected now (the first k are used); the others start where the
    // pixels none of those covers cluster, shaped like `typical`. Each body is then moved,
    // turned and bent to the blob's pixels. A pixel inside several bodies counts in each
    // (animals lie over each other), one inside none goes to the nearest within a few
    // pixels. The work per blob is bounded, however large.
    void split(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs, const dib_base& weight,
               const dib_base& grey, int k, const std::vector<crowd_body>& expected, const crowd_body& typical,
               std::vector<crowd_part>& parts);

    // The looks of the parts of a blob cut into `discs` (as split() left them in its parts'
    // bodies, all round), one per disc.
    void look(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs, const dib_base& weight,
              const dib_base& grey, const std::vector<crowd_body>& discs, std::vector<crowd_looks>& looks);

    // A new frame of `pixels` pixels. The rounds of fitting of all the blobs it cuts weigh
    // a bounded number of bodies per pixel of the frame together (each blob gets at least one
    // round), however many blobs there are: without it only each blob's work is bounded.
    // `longOnes`, when elongated, is the shape of the kind's long animals seen alone.
    void startFrame(int64_t pixels, const crowd_body& longOnes = {});

    // An animal seen alone in this posture: how far the kind's animals bend, as those seen
    // alone lately show it, tells a body fitted in a heap bent beyond it.
    void seeAlone(const crowd_posture& posture);
    // A new video: none seen alone yet.
    void restart() { std::fill(bends_, bends_ + kBendBins, 0.0); }

    // Of each body the last split() fitted pixel by pixel, the share of the pixels inside it that
    // lie inside another body too; none when it fitted discs alone.
    void overlaps(std::vector<double>& shares);

    // Pixels within at least one of `bodies`: the area the animals cover together.
    int64_t coverage(const std::vector<crowd_body>& bodies);

private:
    struct tally {
        double w, wx, wy, ws;
        double sw[crowd_stations], se[crowd_stations];
    };
    void gather(const crowd_blobs& blobs, int blob, const std::vector<crowd_run>& runs, const dib_base& weight,
                const dib_base& grey);
    // Bodies for the animals none of `bodies_` stands for: elongated ones laid where they
    // cover the most pixels the others leave (crowd_placer), round ones where those pixels
    // cluster (k-means).
    void seed(int missing, const crowd_body& typical);
    // `typical`, or when it is round and no body is expected, k animals of the blob's own
    // width lying along it if it is elongated.
    crowd_body shapeFromBlob(int k, const crowd_body& typical);
    // `typical` made as long as the blob, when that is much longer, else a round body.
    crowd_body asLongAsBlob(const crowd_body& typical);
    // The larger shape an animal no track expected may have: the kind's long animals when
    // they are much longer than `typical`, else asLongAsBlob().
    crowd_body larger(const crowd_body& typical);
    // The pixels no body covers (all, when they cover every one), thinned to a bounded number.
    void uncovered(std::vector<crowd_pixel>& open);
    // k-means over `open`: the bodies' centres held, `missing` more moved; each cluster's sums.
    void cluster(const std::vector<crowd_pixel>& open, int missing, std::vector<crowd_moments>& sums);
    // A grid over the blob of cells about k of which hold an animal, and each pixel's cell.
    void grid(int k);
    // index_, when some body is elongated.
    void locatePixels();
    // The bodies each cell of the grid may reach.
    void enlist();
    // Calls use(pixel, body, place, inside) for each body a pixel belongs to.
    template <class Use>
    void own(const Use& use);
    // Rounds of fitting until the bodies settle, the parts measured with the last.
    void fitBodies();
    // An elongated body lying almost wholly in others while as many pixels as half an
    // animal lie in none, or -1.
    int32_t idleBody();
    // The idle body laid where the pixels lie bare, unless that leaves more of them bare.
    void moveIdle(int32_t idle);
    // The blob's pixels in no body after the last round.
    int64_t bare() const;
    bool pixelwise_ = false;  // the last split fitted its bodies pixel by pixel, not as discs by runs
    // One round of fitting, measuring the parts as it goes when `measuring`, the elongated
    // bodies sliding along themselves when `sliding`; returns how far the bodies moved at most.
    double refit(bool measuring, bool sliding);
    // How far elongated body b should slide along itself (pixels, towards its last point):
    // of a few shifts, the one whose body covers the most pixels of the blob no other body
    // covers, less those off the blob.
    double slide(size_t b) const;
    // A few round bodies fitted, each pixel weighed against every one: the rounds of refit()
    // for blobs of discs, on whole-number sums.
    void fitDiscs();
    // The blob's runs with running sums of weight, and a round of refitDiscs() on them.
    void spanSums();
    double refitDiscsBySpans(bool measuring);
    // The parts' sums and looks: emptied, a pixel of body b added, handed out.
    void startMeasuring();
    void take(const crowd_pixel& p, int32_t b, const crowd_place& place);
    // take() for round body b, the pixel `squared` pixels squared from its centre.
    void takeRound(const crowd_pixel& p, size_t b, double squared);
    void finish(std::vector<crowd_part>& parts) const;

    // How many animals seen alone bent how much (in bins of the bend), halved now and then so
    // that they tell of the recent ones, and the bend few of them exceed (none known: none).
    static constexpr int kBendBins = 64;
    double bends_[kBendBins] = {};
    double bendLimit_ = 1e300;
    // The bodies bent beyond bendLimit_ laid again where they gain most, a few at most.
    void relayBent();
    // The weighings of a pixel against a body the frame's rounds of fitting may still make.
    double budget_ = 1e300;
    crowd_body longOnes_;
    // The rounds of fitting for one blob whose round costs `visit` by the blob's own bound
    // and `weighings` by the frame's: at least one.
    int rounds(double visit, double weighings) const;
    // The weighings of one round of refit(): each pixel against the bodies of its cell.
    double weighings() const;
    std::vector<crowd_pixel> pixels_;
    crowd_midliner midliner_;
    crowd_placer placer_;
    std::vector<crowd_body> bodies_;
    std::vector<tally> tallies_;
    int32_t x0_ = 0, y0_ = 0, x1_ = 0, y1_ = 0, cell_ = 1, columns_ = 1, rows_ = 1;
    std::vector<int32_t> cellOf_;  // per pixel
    struct disc {
        double x, y, r, r2;
        bool round;
        double reach2;  // (r + kMargin)^2: farther pixels go to no body
    };
    std::vector<disc> discs_;
    struct disc_sum {
        int64_t w, wx, wy;
    };
    std::vector<disc_sum> sums_;
    struct span {
        int32_t y, x0, first, count;  // row, first column, its first pixel's index, pixels
    };
    std::vector<span> spans_;
    // Adds pixel x of `run`, outside every one of the n discs, to the disc it goes to.
    void outside(const span& run, int32_t x, size_t n, bool measuring);
    // Adds the pixels from..to of `run` to disc j.
    void addStretch(size_t j, const span& run, int32_t from, int32_t to, bool measuring);
    // Adds the pixels of `run` to the n discs they go to.
    void addSpan(const span& run, size_t n, bool measuring);
    std::vector<int64_t> runningW_, runningWX_, runningGrey_;  // per pixel, the sums of the pixels before it
    std::vector<double> runningWXX_;
    std::vector<crowd_line> lines_;  // of the elongated bodies
    std::vector<int32_t> cellStart_, cellBodies_, fill_;
    std::vector<crowd_point> centres_;
    std::vector<int32_t> group_;
    std::vector<char> covered_;
    std::vector<int32_t> index_;   // per cell of the blob's box, its pixel or -1
    std::vector<uint8_t> inside_;  // per pixel, the bodies it lies in
    std::vector<double> slides_;
    struct looksTally {
        double grey[crowd_stations], count[crowd_stations], all, squares, n;
    };
    std::vector<looksTally> looks_;
    std::vector<double> rings_;  // per round body, the rings per squared pixel of distance
    std::vector<crowd_moments> measured_;
};
