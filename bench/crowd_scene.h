// A generated crowd for tests and benchmarks: discs wandering in square arenas over a
// textured background, touching and sliding past each other, with their true centres.
// Plain C++ and deterministic: the same settings give the same frames on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace crowd_scene {

struct settings {
    int width = 640;
    int height = 480;
    int discs = 24;
    double minRadius = 9.0;
    double maxRadius = 12.0;
    // 1: the whole frame less a small margin; more: equal squares on a grid.
    int arenas = 2;
    uint64_t seed = 1;
    bool light = false;  // bright discs on a dark background instead of dark on bright
    double speed = 2.0;  // typical pixels per frame
    // How far two discs may overlap: their centres stay at least this share of the sum of
    // their radii apart (1: they only touch; smaller: they press into each other).
    double closest = 0.8;
    // Per-frame sensor noise, grey levels either side.
    int noise = 3;
};

struct rect {
    int x, y, width, height;
};

struct position {
    int object;
    double x, y;  // pixel centres at whole numbers: the top-left pixel's centre is (0, 0)
};

class scene {
public:
    // Refuses (std::invalid_argument) settings that cannot make a picture.
    explicit scene(const settings& s);

    // Moves every disc one frame on; the first frame is there after construction.
    void next();

    int frame() const { return frame_; }
    const settings& config() const { return settings_; }
    const std::vector<rect>& arenas() const { return arenas_; }
    // The discs' centres in this frame, in object order.
    std::vector<position> truth() const;
    double radius(int object) const { return discs_[size_t(object)].r; }

    // The frame, top row first, `stride` bytes from one row to the next.
    void grey(uint8_t* out, int64_t stride) const;
    // The same picture in colour (blue, green, red): the channels' mean is the grey value.
    void bgr(uint8_t* out, int64_t stride) const;
    std::vector<uint8_t> grey() const;
    std::vector<uint8_t> bgr() const;

    // Whether disc `object` touches another one in this frame: their outlines less than a
    // pixel apart, so that they meet in a thresholded picture.
    bool touching(int object) const;
    // Share of disc positions so far that touched another disc.
    double touchingShare() const { return seen_ ? double(touched_) / double(seen_) : 0.0; }

private:
    struct disc {
        double x, y, r;
        double heading, speed, cruise;
        int arena;
        uint32_t texture;
    };

    double uniform();
    double gaussian();
    void separate(const std::vector<int>& members);
    void count();

    settings settings_;
    std::vector<rect> arenas_;
    std::vector<disc> discs_;
    std::vector<std::vector<int>> members_;  // the discs of each arena
    std::vector<uint8_t> background_;
    std::vector<char> touching_;  // per disc, this frame
    uint64_t state_;
    int frame_ = 0;
    int64_t touched_ = 0, seen_ = 0;
};

}  // namespace crowd_scene
