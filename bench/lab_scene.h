// Generated lab footage for tests and benchmarks: animals that bend, rest, cast shadows and
// pass over each other in a round arena, under imperfect light, with the exact truth of each
// body. Plain C++ and deterministic: the same settings give the same frames on every run.
//
// The truth of a body is geometric. Each body is drawn as a coverage map: per pixel, the share
// of it the body covers, with a one-pixel anti-aliased edge (a pixel whose centre lies half a
// pixel outside the outline is not covered, one half a pixel inside is wholly covered). Its
// centre of mass is the coverage-weighted mean of the pixel centres (the top-left pixel's
// centre is (0, 0)), the whole body counted whether or not another body lies over it. Light,
// shadows, reflections, noise and compression change the picture, never the truth.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace crowd_scene {

enum class kind { fish, flies, light, rim, larvae };

// "fish", "flies", "light", "rim", "larvae".
const char* kind_name(kind k);
bool kind_from_name(const std::string& name, kind& k);

struct point {
    double x = 0, y = 0;
};

struct circle {
    double x = 0, y = 0, r = 0;
};

// Light over the whole frame. Each share is of the floor's nominal brightness.
struct lighting {
    double uneven = 0;          // lost in the dimmest part of a smooth pattern with one dim corner
    double vignette = 0;        // lost in the frame's corners, falling off from the centre
    double flicker = 0;         // grey levels of the floor either side: a slow global swing
    double flickerPeriod = 90;  // frames of the swing's main wave
};

// Things that happen to the light at given frames.
struct events {
    std::vector<int> flashes;  // all-white frames
    int dimFrame = -1;         // from this frame on the floor is dimmed (-1: never)
    double dimTo = 80;         // the floor's nominal level after dimming
    int knockFrame = -1;       // from this frame on the camera, knocked aside, looks `knock` further on (-1: never)
    point knock;
};

struct lab_settings {
    kind what = kind::fish;
    int width = 640, height = 480;
    int animals = 20;
    uint64_t seed = 1;

    // Bodies. Lengths vary by `lengthSpread` either side; a share `bigShare` of the animals
    // is `bigRatio` times as long (two body sizes).
    double length = 44;
    double lengthSpread = 0.12;
    double bigShare = 0, bigRatio = 1.0;
    double widthRatio = 0.17;  // widest part over length
    bool rigid = false;        // straight bodies that turn as a whole (insects) instead of following the head

    // Motion, in pixels and radians per frame.
    double speed = 2.2;       // typical cruising speed
    double turning = 0.06;    // random turning
    double maxTurn = 0.35;    // sharpest turn in one frame
    double bendRadius = 0.3;  // tightest turn's radius over the body's length (a body turns by moving)
    double tailBeat = 0.07;   // lateral swing of the tail tip over length, at cruising speed
    double beatRate = 0.9;    // phase of the tail beat (or of crawling waves) per frame at cruising speed
    double stretch = 0;       // crawling: the body's length swings by this share
    double cohesion = 0;      // steering towards neighbours (0 to 1): groups, chains and crossings
    double alignment = 0;     // steering along neighbours' headings
    double avoidance = 0;     // turning away from bodies ahead (0: bodies pass over each other)
    double wallFollow = 0;    // keeping along the wall (0 to 1)
    double restShare = 0;     // share of animals that take long rests
    int restMin = 150, restMax = 450;  // frames of a long rest
    double pauses = 0;        // chance per frame that a moving animal stops briefly

    // Picture.
    bool lightAnimals = false;  // light animals on a dark floor instead of dark on light
    double floor = 200;         // the floor's nominal grey level
    double body = 45;           // the bodies' grey level where the floor is `floor`
    double bench = 120;         // outside the arena
    double wall = 90;           // the arena's wall (a thin line, or the rim band)
    double rimWidth = 3;        // pixels of visible wall: a few for a dish's edge, more for a dark rim
    double reflections = 0;     // darkening of the rim by the reflections of the animals (0 to 1)
    double shadow = 0;          // darkening of the floor under a shadow (0 to 1)
    point shadowOffset{5, 4};   // shadow's shift from the body
    double shadowSoftness = 6;  // pixels over which a shadow's edge fades
    int marks = 0;              // faint static stains and scratches on the floor
    double noise = 2.0;         // sensor noise, standard deviation in grey levels
    double blur = 0.6;          // the optics' blur, standard deviation in pixels (0: none)
    double shake = 0;           // the camera's shake: the picture moves up to this many pixels either way
    lighting light;
    events timeline;
};

// The preset of a kind: its counts, sizes, motion, floor and light, at 640x480.
lab_settings preset(kind k);

constexpr int kMidlinePoints = 11;

// An animal in one frame.
struct animal_truth {
    int object = 0;
    point centre;       // centre of mass of the drawn body
    double heading = 0;  // radians from the x axis towards y (down): from the midline's third point to its head
    double length = 0;   // along the midline, head to tail
    std::array<point, kMidlinePoints> midline;  // head first, equal steps along the body
    int contact = 0;     // 0: alone; 1: touching another body (a pixel both reach); 2: overlapping one
    double shared = 0;   // share of the body's coverage on pixels another body covers too
    int cluster = 1;     // animals in its group of touching or overlapping bodies, itself included
    bool resting = false;
};

class lab_scene {
public:
    // Refuses (std::invalid_argument) settings that cannot make a picture.
    explicit lab_scene(const lab_settings& s);
    ~lab_scene();
    lab_scene(lab_scene&&) noexcept;

    // Moves every animal one frame on; the first frame is there after construction.
    void next();

    int frame() const;
    const lab_settings& config() const;
    // The floor the animals move on, and the outline a user draws on the visible wall
    // (whole pixels, a little off as a hand would draw it).
    circle arena() const;
    circle drawn() const;
    bool flash() const;  // this frame is all white
    point shaken() const;  // how far the camera's shake moved this frame's picture

    // Every animal in this frame, in object order.
    const std::vector<animal_truth>& truth() const;
    // The coverage of one body in this frame, drawn alone: the frame's size, top row first.
    std::vector<float> coverage(int object) const;

    // The frame, top row first, `stride` bytes from one row to the next.
    void grey(uint8_t* out, int64_t stride) const;
    std::vector<uint8_t> grey() const;

    // Counts over the frames so far, of animal positions.
    struct tally {
        int64_t positions = 0, touching = 0, overlapping = 0, inChains = 0, resting = 0;
    };
    const tally& counted() const;

    // The inside, for the scene's own files (lab_state.h).
    struct state;

private:
    std::unique_ptr<state> s_;
};

}  // namespace crowd_scene
