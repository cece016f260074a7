// Identities from frame to frame: each track predicts where its animal will be (constant
// velocity, a small Kalman filter per axis) and what it will look like, and this frame's
// objects go to the tracks by the assignment of least total cost.
#pragma once

#include <cstdint>
#include <vector>

#include "crowd/crowd_blobs.h"

struct crowd_track {
    int32_t id;
    double x, y, vx, vy;
    // Covariance of (position, velocity) along one axis; both axes share it.
    double pxx, pxv, pvv;
    double area, intensity, elongation;  // running averages over the frames seen whole
    int32_t missed;                      // frames since it was last seen
    int32_t seen;
};

struct crowd_trackRules {
    double gate = 20;  // farthest an object may lie from where a track expects it, pixels
    int memory = 25;   // frames a lost track is kept
    int animals = 0;   // when known, lost tracks are kept and found again rather than replaced
};

class crowd_tracker {
public:
    void clear();
    // Moves every track on by its velocity: where it expects its animal in the next frame.
    void predict();
    // Gives each object (`whole`: not cut out of a larger blob) a track: a matched track
    // takes its position and appearance, an unmatched object starts a track (or, when the
    // number of animals is known and reached, takes over a lost one). identity[i] is the
    // id of object i's track.
    void update(const std::vector<crowd_object>& objects, const std::vector<char>& whole, const crowd_trackRules& rules,
                std::vector<int32_t>& identity);

    const std::vector<crowd_track>& tracks() const { return tracks_; }
    // The track with this id, or null.
    const crowd_track* find(int32_t id) const;

private:
    struct crowd_edge {
        int32_t track, object;
        double cost;
        int32_t group = 0;
    };
    double cost(const crowd_track& t, const crowd_object& o) const;
    void start(crowd_track& t, const crowd_object& o, double gate);
    void correct(crowd_track& t, const crowd_object& o, bool whole);
    int32_t root(int32_t i);
    // Pairs the tracks and objects of `edges` (each an allowed pair and its cost) by least
    // total cost, with the choice of leaving either unmatched when `leaveUnmatched`.
    void pairOptimally(const std::vector<crowd_edge>& edges, bool leaveUnmatched, std::vector<int32_t>& objectOf);
    void pairGreedily(std::vector<crowd_edge>& edges, std::vector<int32_t>& objectOf);

    std::vector<crowd_track> tracks_;
    int32_t nextId_ = 0;
    // Scratch, kept between frames so that a frame allocates nothing once warmed up.
    std::vector<int32_t> parent_, objectOf_, trackOf_, byColumn_, groupTracks_, groupObjects_, groupSize_;
    std::vector<crowd_edge> edges_, group_;
    std::vector<double> matrix_;
    std::vector<int> pairing_;
};
