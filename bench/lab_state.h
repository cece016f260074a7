// The inside of a generated lab scene, shared by its motion (lab_scene.cpp) and its picture
// (lab_picture.cpp).
#pragma once

#include <deque>
#include <vector>

#include "lab_body.h"
#include "lab_scene.h"
#include "scene_random.h"

namespace crowd_scene {

struct animal {
    double length = 0, width = 0;  // nominal
    double value = 0;              // the body's grey level where the floor is at its nominal level
    point head;
    double heading = 0, speed = 0, cruise = 0, turn = 0;
    double activity = 0;  // 0 at rest, 1 at cruising speed: scales the tail beat
    double phase = 0;     // of the tail beat or the crawling wave
    int rest = 0;         // frames of rest left
    bool sleeper = false;  // takes long rests
    int depth = 0;         // drawing order where bodies are opaque
    uint32_t texture = 0;
    std::deque<point> path;  // where the head has been, oldest first; the last is the head
    double pathLength = 0;
    std::vector<point> nodes;  // the midline, head first
    std::vector<double> radii;
    body::patch cover;
};

struct lab_scene::state {
    lab_settings settings;
    circle arena, drawn;
    uint64_t random = 0;
    uint32_t salt = 0;
    int frame = 0;
    std::vector<animal> animals;
    std::vector<animal_truth> truth;
    tally counted;
    std::vector<float> floor;         // what the floor reflects, before the light
    std::vector<float> illumination;  // the light over the frame, 1 where it is nominal
    double flickerPhase[2] = {0, 0};
    std::vector<float> gaussians;  // a table of standard normal numbers for the sensor noise

    double uniform();
    double gaussian();
    // The light's gain over the whole frame at `frame`: flicker and dimming.
    double gain(int frame) const;
    // How far the camera's shake moves the picture at `frame`.
    point shaken(int frame) const;
    void buildFloor();
    void buildLight();
    // The picture before noise and quantisation, grey levels.
    std::vector<float> render() const;
};

}  // namespace crowd_scene

namespace crowd_scene {

// Moves every animal one frame on (lab_motion.cpp).
void move(lab_scene::state& s);
// Lays an animal's midline along the path its head took, with the tail's beat.
void shape(const lab_scene::state& s, animal& a);

}  // namespace crowd_scene
