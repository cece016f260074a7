// Identities from frame to frame: each track predicts where its animal will be (constant
// velocity, a small Kalman filter per axis), what it will look like and how its body lies,
// and this frame's objects go to the tracks by the assignment of least total cost. A track
// of an elongated animal keeps its midline head first: the head is the end the animal
// moves towards, told over many frames, so that a turn or a step back does not swap it.
#pragma once

#include <cstdint>
#include <vector>

#include "crowd/crowd_blobs.h"
#include "crowd/crowd_near.h"
#include "crowd/crowd_posture.h"
#include "crowd/crowd_split.h"

// One object of the frame with what the tracker needs of it.
struct crowd_sighting {
    crowd_object object;
    crowd_posture posture;
    crowd_looks looks;
    bool whole = true;    // a blob of its own, not a part cut out of a larger one
    bool alone = true;    // whole and, by its size or its track, one animal
    bool looked = false;  // looks measured
    // Set by the tracker: the midline's first point is the head, told by the motion.
    bool headKnown = false;
};

struct crowd_track {
    int32_t id;
    double x, y, vx, vy;
    // Covariance of (position, velocity) along one axis; both axes share it.
    double pxx, pxv, pvv;
    double area, intensity, elongation;  // running averages over the frames seen whole
    // The area is the animal's own, learned from a sighting of it alone; a track started on
    // a part cut out of a blob, or on a blob of several, knows only the part's.
    bool sized;
    // Whether the track ever saw its animal alone: a track found again (recover) starts its
    // looks afresh from what it is found on, a part of a blob, say, but it did not start on
    // a part, and its animal is no piece of a larger one.
    bool seenAlone;
    int32_t missed;  // frames since it was last seen
    int32_t seen;
    // The body: the midline relative to the centre, head first once the head is known.
    bool elongated;
    // halfWidth and length known: from a sighting of the animal alone (`shapedAlone`), or
    // from the body a part was cut out with, which tells only the shape it was given (a track
    // started in a heap takes the typical animal's): the first sighting alone replaces it.
    bool shaped, shapedAlone;
    crowd_point offsets[crowd_stations];
    float halfWidth[crowd_stations];
    double length, balance;
    // Motion towards the midline's first point, a decaying sum in pixels: the evidence for
    // which end is the head.
    double headward;
    double lastX, lastY;  // the centre last seen
};

struct crowd_trackRules {
    double gate = 20;  // farthest an object may lie from where a track expects it, pixels
    double size = 20;  // one animal's diameter, pixels
    int memory = 25;   // frames a lost track is kept
    int animals = 0;   // when known, lost tracks are kept and found again rather than replaced
};

class crowd_tracker {
public:
    void clear();
    // The sizes the tracks learned are told again by their next sightings alone.
    void forgetSizes(double below);
    // Moves every track on by its velocity: where it expects its animal in the next frame.
    void predict();
    // Gives each sighting a track: a matched track takes its position, appearance and
    // posture, an unmatched sighting starts a track (or, when the number of animals is
    // known and reached, takes over a lost one). identity[i] is the id of sighting i's
    // track. The sightings' midlines are turned head first where their tracks know it.
    void update(std::vector<crowd_sighting>& sightings, const crowd_trackRules& rules, std::vector<int32_t>& identity);

    const std::vector<crowd_track>& tracks() const { return tracks_; }
    // The track with this id, or null.
    const crowd_track* find(int32_t id) const;
    // Where and how track t expects its animal's body now; a round one not yet seen alone
    // as a disc of `typicalArea`; always round where the kind is not `elongatedKind`.
    crowd_body body(size_t t, double typicalArea, bool elongatedKind) const;
    // The shape of an animal none is known of: the typical elongated track's, straightened,
    // when most tracks are elongated, otherwise a disc of `area`. `told`: whether any track
    // has been followed long enough to tell.
    crowd_body typical(double area, bool* told = nullptr) const;
    // The shape of the kind's long animals, straightened: the elongated animals seen alone at
    // a high quantile of their lengths, or a round body while too few are known to tell.
    crowd_body longOnes() const;

private:
    // How far elongated animals seen alone lately stepped from frame to frame, binned, halved
    // now and then; whether most of them step less than the fitting slides a body along itself.
    static constexpr int kStepBins = 128;
    double steps_[kStepBins] = {};
    bool slow_ = false;
    void stepped(const crowd_track& t, const crowd_sighting& s);
    struct crowd_edge {
        int32_t track, object;
        double cost;
        int32_t group = 0;
    };
    double cost(const crowd_track& t, const crowd_sighting& s, double size) const;
    void start(crowd_track& t, const crowd_sighting& s, double gate);
    void correct(crowd_track& t, crowd_sighting& s);
    // Keeps the track's body and head from the sighting's posture, turned to match it.
    void observe(crowd_track& t, crowd_sighting& s);
    int32_t root(int32_t i);
    // The allowed pairs: for each track, the nearest few objects within its reach that cost
    // less than leaving both unmatched.
    void candidates(const std::vector<crowd_sighting>& sightings, const crowd_trackRules& rules);
    // Solves the pairs of edges_ in groups joined by them, no group growing past a size that
    // the optimal assignment solves quickly.
    void pairInGroups(bool leaveUnmatched, std::vector<int32_t>& objectOf);
    // Joins the tracks and objects of edges_ into groups (parent_, groupSize_), cheapest
    // edge first when `cheapestFirst`, then leaving out an edge that would make a group too
    // large; edges_ keeps those that joined.
    void join(bool cheapestFirst);
    // Pairs the tracks and objects of `edges` (each an allowed pair and its cost) by least
    // total cost, with the choice of leaving either unmatched when `leaveUnmatched`.
    void pairOptimally(const std::vector<crowd_edge>& edges, bool leaveUnmatched, std::vector<int32_t>& objectOf);
    // With the animals counted and reached: the lost tracks take the sightings nobody expected,
    // each starting afresh from what it is found on but for whether it saw its animal alone.
    void recover(std::vector<crowd_sighting>& sightings, const crowd_trackRules& rules, std::vector<int32_t>& objectOf);

    std::vector<crowd_track> tracks_;
    int32_t nextId_ = 0;
    // Scratch, kept between frames so that a frame allocates nothing once warmed up.
    std::vector<int32_t> parent_, groupSize_, objectOf_, trackOf_, groupTracks_, groupObjects_, near_;
    std::vector<crowd_edge> edges_, group_, grouped_;
    std::vector<int32_t> groupStart_, fill_;
    std::vector<double> matrix_;
    std::vector<int> pairing_;
    std::vector<crowd_point> places_;
    crowd_near grid_;
};
