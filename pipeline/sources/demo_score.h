// How well a procedure followed the built-in scene: each disc is bound to the object that
// matched it on the first frame where every disc was found, and that object must stay on
// it (within the disc's radius) on every later frame.
#pragma once

#include <cstdint>
#include <vector>

#include "ambrevo/pipeline/sources/demo_scene.h"
#include "ip_host.h"

class DemoScore {
public:
    void frame(const std::vector<DemoDisc>& truth, const std::vector<ip_objectRecord>& objects);

    int64_t frames() const { return frames_; }
    // Frames on which every disc was followed by its own object.
    int64_t trackedFrames() const { return tracked_; }
    // Over all disc-frames since the discs were bound to objects.
    double meanError() const { return samples_ ? sum_ / double(samples_) : 0.0; }
    double maxError() const { return max_; }
    int64_t samples() const { return samples_; }

private:
    std::vector<int32_t> binding_;  // disc -> object index; empty until bound
    int64_t frames_ = 0, tracked_ = 0, samples_ = 0;
    double sum_ = 0, max_ = 0;
};

// The objects (by position in `objects`) matched to each disc with the least total
// distance; -1 for a disc left without an object. Only the first eight objects compete.
std::vector<int> bestMatch(const std::vector<DemoDisc>& truth, const std::vector<ip_objectRecord>& objects);
