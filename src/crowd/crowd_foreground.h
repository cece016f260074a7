// What makes a pixel part of an object: the background it is compared with, the frame's
// light, the contrast an object needs, and the frames that are not worth searching.
#pragma once

#include <cstdint>
#include <vector>

#include "crowd/crowd_background.h"
#include "crowd/crowd_blobs.h"
#include "crowd/crowd_light.h"
#include "crowd/crowd_runs.h"
#include "crowd/crowd_shadow.h"
#include "image/dib.h"
#include "ops/do_contrast.h"

// The runs of a frame (crowd_runs.h) and where each row's begin.
struct crowd_runs {
    const std::vector<crowd_run>& runs;
    const std::vector<int32_t>& rowStart;
};

struct crowd_detectSettings {
    int polarity = 0;    // 0 dark, 1 light, 2 both
    int background = 0;  // 0 learned, 1 the level `threshold`, 2 the frame's own floor level
    int threshold = 128;
    int contrast = 0;  // 0: chosen from the video
    int samples = 9, sampleEvery = 10;
    int animals = 0, minArea = 10, maxArea = 0;
};

// Frames counted over a run, for the host to report.
struct crowd_counts {
    int64_t brightnessJumps = 0;  // left out of the background: their brightness jumped
    int64_t lightingEvents = 0;   // not searched: the whole picture changed at once
    int64_t provisional = 0;      // searched before the background was learned
    int64_t noContrast = 0;       // no pixel lay beyond the contrast on the objects' side
    int64_t outsideArea = 0;      // blobs, but none within minArea and maxArea
};

class crowd_foreground {
public:
    void restart(const dib_fmt& format);

    // This frame's contrast image into `weight` (which holds the last frame's on entry) and
    // its grey values into `grey`.
    void find(const dib_base& src, const crowd_detectSettings& s, dib_base& weight, dib_base& grey);
    // Whether what the frame marked is a change of the whole picture's light rather than
    // objects: a flash or blackout the light could not be fitted to, more than half the
    // picture marked, or one blob of more than a quarter of it. Such a frame is searched no
    // further (splitting a frame-sized blob into animals would cost seconds and find none).
    bool lightingEvent(const std::vector<crowd_run>& runs, const crowd_blobs& blobs) const;
    // Clears from `weight` the blobs that stand out from the learned background at their
    // place but not from the background around them: there the background is wrong, not the
    // frame (a light animal's shadow, in the median while the animal rested, makes the floor
    // an object once it has gone). Cleared, they leave the background free to follow the frame
    // there, and it heals. Returns whether any was cleared.
    bool clearGhosts(const crowd_blobs& blobs, const crowd_runs& runs, const crowd_detectSettings& s,
                     dib_base& weight) const;
    // After the frame's blobs are known (none after a lighting event): its counts, and the
    // background learns from it. `singleArea`: one animal's area so far (0: not known).
    void learn(const dib_base& grey, const dib_base& weight, const crowd_blobs& blobs, const crowd_runs& runs,
               bool event, const crowd_detectSettings& s, double singleArea);

    // The contrast an object's pixel needed in the last frame.
    int cut() const { return cut_; }
    const crowd_background& background() const { return background_; }
    // An animal's mean contrast over its pixels, as the median blob had it while the
    // background was learned; 0: not known.
    double animalContrast() const;
    const crowd_counts& counts() const { return counts_; }
    // How far the objects' centres lie towards their shadows (0, 0 without shadows).
    double shadowX() const { return shadow_.shiftX(); }
    double shadowY() const { return shadow_.shiftY(); }

private:
    void measure(const dib_base& src, const crowd_detectSettings& s, const dib_base& weight);
    void overStructure(const dib_base& src, const crowd_detectSettings& s, dib_base& weight);
    int chooseCut(const crowd_detectSettings& s) const;
    void noteObjectContrast(const dib_base& weight, const crowd_blobs& blobs, const crowd_runs& runs, int minArea,
                            double singleArea);
    contrast_light lastingLight() const;
    void noteAnimalLooks(const crowd_blobs& blobs, int minArea);
    double litFloor() const;
    void leaveShadowsOut(dib_base& weight);
    bool bodyWithin(int32_t x, int32_t y, int32_t reach, int above) const;
    int shadowedCut(int above) const;

    crowd_shadow shadow_;
    // While shadows are left out: the frame cut at the objects' own contrast, shadows and all,
    // from which the contrast and the shadows go on being measured, and its blobs.
    dib_base withShadows_{dib_fmt{}, 1};
    std::vector<crowd_run> shadowRuns_;
    std::vector<int32_t> shadowRowStart_;
    crowd_blobs shadowBlobs_;
    // The pixels left out as the animals' shadows (1), for the background: the floor is not
    // seen under them.
    dib_base shadows_{dib_fmt{}, 1};
    bool shadowsOut_ = false;

    crowd_background background_;
    crowd_grid grid_;
    crowd_lightSteps steps_;
    crowd_fit fit_;
    contrast_light light_;
    std::vector<double> contrastHistory_;    // the median blob's mean contrast in the last frames
    std::vector<double> elongationHistory_;  // and its elongation
    std::vector<double> cutHistory_;         // estimates of the last frames over their floors' grey, pooled by median
    int cut_ = 20, level_ = 0;
    int64_t pixels_ = 0;
    bool weightValid_ = false, unfit_ = false, jumped_ = false;
    crowd_counts counts_;
};
