// The picture of a generated lab scene: a textured floor with stains, the arena's wall,
// shadows and reflections, the bodies, then the light (uneven, vignetted, flickering,
// dimmed), the optics' blur and the sensor's noise.
#include <algorithm>
#include <cmath>

#include "lab_state.h"

namespace crowd_scene {

namespace {

constexpr double kPi = 3.14159265358979323846;

using state = lab_scene::state;

// The share of a pixel `d` pixels inside an edge.
double inside(double d) { return std::clamp(d + 0.5, 0.0, 1.0); }

double smoothstep(double a, double b, double x) {
    const double t = std::clamp((x - a) / (b - a), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// A faint stain (an ellipse) or scratch (a thin line) on the floor, on the animals' side of
// its grey, so that it looks like them to a threshold.
void mark(state& s, int which) {
    const lab_settings& c = s.settings;
    const double r = 0.75 * s.arena.r * std::sqrt(s.uniform()), at = 2 * kPi * s.uniform();
    const point centre{s.arena.x + r * std::cos(at), s.arena.y + r * std::sin(at)};
    const double strength = (c.lightAnimals ? 1 : -1) * (8 + 14 * s.uniform()) * c.floor / 200;
    const double angle = kPi * s.uniform(), ca = std::cos(angle), sa = std::sin(angle);
    const double a = which % 2 ? 25 + 50 * s.uniform() : 3 + 8 * s.uniform(), b = a * (0.4 + 0.6 * s.uniform());
    const int reach = int(a) + 3;
    for (int y = std::max(0, int(centre.y) - reach); y <= std::min(c.height - 1, int(centre.y) + reach); ++y)
        for (int x = std::max(0, int(centre.x) - reach); x <= std::min(c.width - 1, int(centre.x) + reach); ++x) {
            const double u = (x - centre.x) * ca + (y - centre.y) * sa, v = -(x - centre.x) * sa + (y - centre.y) * ca;
            const double cover = which % 2 ? inside(0.6 - std::hypot(std::max(std::abs(u) - a / 2, 0.0), v))
                                           : inside((1 - std::hypot(u / a, v / b)) * b / 2);
            s.floor[size_t(y) * size_t(c.width) + size_t(x)] += float(strength * cover);
        }
}

// A body's grey at `s` along it (0: head), before the light: eyes and a paler tail for
// fish, rounded shading for light animals, faint bands fixed to the body.
double bodyGrey(const lab_settings& c, const animal& a, double s) {
    double v = a.value;
    if (c.what == kind::fish || c.what == kind::rim) {
        if (s > 0.04 && s < 0.14) v *= 0.75;
        v += (c.floor - v) * 0.3 * smoothstep(0.7, 1.0, s);
    }
    if (c.lightAnimals) v *= 0.9 + 0.1 * std::sin(kPi * s);
    const double band = double(mix(a.texture, uint32_t(s * a.length / 2.5), 7u) & 255u) / 255.0 - 0.5;
    return v * (1 + 0.12 * band);
}

void shadows(const state& s, std::vector<float>& img) {
    const lab_settings& c = s.settings;
    body::patch p;
    for (const animal& a : s.animals) {
        std::vector<point> nodes = a.nodes;
        for (point& n : nodes) n.x += c.shadowOffset.x, n.y += c.shadowOffset.y;
        std::vector<double> radii = a.radii;
        for (double& r : radii) r += 1;
        body::draw(nodes, radii, c.shadowSoftness, c.width, c.height, p);
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x)
                img[size_t(p.y0 + y) * size_t(c.width) + size_t(p.x0 + x)] *= float(1 - c.shadow * p.cover[size_t(y * p.w + x)]);
    }
}

// The wall, seen steeply from above, mirrors the animals near it, squeezed and fading up the
// wall.
void reflections(const state& s, std::vector<float>& img) {
    const lab_settings& c = s.settings;
    const circle& a = s.arena;
    const int y0 = std::max(0, int(a.y - a.r - c.rimWidth)), y1 = std::min(c.height - 1, int(a.y + a.r + c.rimWidth) + 1);
    const int x0 = std::max(0, int(a.x - a.r - c.rimWidth)), x1 = std::min(c.width - 1, int(a.x + a.r + c.rimWidth) + 1);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double rx = x - a.x, ry = y - a.y, r = std::hypot(rx, ry), up = r - a.r;
            if (up < 0 || up > c.rimWidth) continue;
            const double from = (a.r - up / 0.6) / r;
            const int sx = int(std::lround(a.x + rx * from)), sy = int(std::lround(a.y + ry * from));
            float seen = 0;
            for (const animal& b : s.animals) seen = std::max(seen, b.cover.at(sx, sy));
            // A dark animal's reflection darkens the wall, a light one's lightens it.
            float& pixel = img[size_t(y) * size_t(c.width) + size_t(x)];
            const double share = c.reflections * seen * (1 - up / c.rimWidth);
            pixel = c.lightAnimals ? float(pixel + share * std::max(0.0, c.body - pixel)) : float(pixel * (1 - share));
        }
}

// Dark bodies absorb the light that comes through the floor (overlaps are darker); light
// bodies hide what is under them, the upper one drawn last.
void bodies(const state& s, std::vector<float>& img) {
    const lab_settings& c = s.settings;
    std::vector<const animal*> order;
    for (const animal& a : s.animals) order.push_back(&a);
    std::sort(order.begin(), order.end(), [](const animal* a, const animal* b) { return a->depth < b->depth; });
    for (const animal* a : order) {
        const body::patch& p = a->cover;
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x) {
                const size_t k = size_t(y * p.w + x);
                const double cover = p.cover[k];
                if (cover <= 0) continue;
                float& pixel = img[size_t(p.y0 + y) * size_t(c.width) + size_t(p.x0 + x)];
                const double v = bodyGrey(c, *a, p.along[k]);
                if (c.lightAnimals)
                    pixel = float(pixel * (1 - cover) + v * cover);
                else
                    pixel *= float(1 - cover * (1 - std::min(1.0, v / c.floor)));
            }
    }
}

// Gaussian, separable, the borders repeated.
void blur(std::vector<float>& img, int w, int h, double sigma) {
    const int radius = int(std::ceil(2.5 * sigma));
    std::vector<float> taps;
    double sum = 0;
    for (int i = -radius; i <= radius; ++i) sum += std::exp(-i * i / (2 * sigma * sigma));
    for (int i = -radius; i <= radius; ++i) taps.push_back(float(std::exp(-i * i / (2 * sigma * sigma)) / sum));
    std::vector<float> tmp(img.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float v = 0;
            for (int i = -radius; i <= radius; ++i) v += taps[size_t(i + radius)] * img[size_t(y) * size_t(w) + size_t(std::clamp(x + i, 0, w - 1))];
            tmp[size_t(y) * size_t(w) + size_t(x)] = v;
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float v = 0;
            for (int i = -radius; i <= radius; ++i) v += taps[size_t(i + radius)] * tmp[size_t(std::clamp(y + i, 0, h - 1)) * size_t(w) + size_t(x)];
            img[size_t(y) * size_t(w) + size_t(x)] = v;
        }
}

// The picture moved by `by`, read between pixels, its borders repeated.
void shift(std::vector<float>& img, int w, int h, point by) {
    const std::vector<float> from(img);
    const auto at = [&](int x, int y) {
        return double(from[size_t(std::clamp(y, 0, h - 1)) * size_t(w) + size_t(std::clamp(x, 0, w - 1))]);
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double sx = x - by.x, sy = y - by.y, fx = std::floor(sx), fy = std::floor(sy);
            const double ax = sx - fx, ay = sy - fy;
            const int x0 = int(fx), y0 = int(fy);
            const double top = (1 - ax) * at(x0, y0) + ax * at(x0 + 1, y0);
            const double bottom = (1 - ax) * at(x0, y0 + 1) + ax * at(x0 + 1, y0 + 1);
            img[size_t(y) * size_t(w) + size_t(x)] = float((1 - ay) * top + ay * bottom);
        }
}

}  // namespace

void lab_scene::state::buildFloor() {
    const lab_settings& c = settings;
    const double p1 = 2 * kPi * uniform(), p2 = 2 * kPi * uniform(), p3 = 2 * kPi * uniform(), p4 = 2 * kPi * uniform();
    const double texture = c.floor / 200;
    floor.resize(size_t(c.width) * size_t(c.height));
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const double rx = x - arena.x, ry = y - arena.y, r = std::hypot(rx, ry);
            const double grain = double(mix(uint32_t(x), uint32_t(y), salt) % 9) - 4.0;
            const double shade = 3 * std::sin(x * 0.031 + p1) * std::sin(y * 0.027 + p2) + 2 * std::sin((x - y) * 0.013 + p3);
            // The floor darkens a little towards the wall (its meniscus or its shadow).
            const double near = std::clamp((r - (arena.r - 8)) / 8, 0.0, 1.0);
            const double inner = (c.floor + texture * (shade + grain)) * (1 - 0.12 * near * near);
            // A wide rim is darkest at its foot and lit unevenly around.
            const double up = std::clamp((r - arena.r) / c.rimWidth, 0.0, 1.0);
            const double wall = c.rimWidth > 6 ? c.wall * (0.75 + 0.5 * up) + 8 * std::sin(3 * std::atan2(ry, rx) + p4) + grain
                                               : c.wall + grain;
            const double bench = c.bench + 1.5 * grain + 5 * std::sin(x * 0.05 + p2) * std::sin(y * 0.041 + p1);
            const double inArena = inside(arena.r - r), inWall = inside(arena.r + c.rimWidth - r);
            floor[size_t(y) * size_t(c.width) + size_t(x)] =
                float(inner * inArena + (1 - inArena) * (wall * inWall + bench * (1 - inWall)));
        }
    for (int m = 0; m < c.marks; ++m) mark(*this, m);
}

void lab_scene::state::buildLight() {
    const lab_settings& c = settings;
    const double w = c.width, h = c.height, half = std::hypot(w, h) / 2, spread = 0.4 * std::min(w, h);
    const point dim{(uniform() < 0.5 ? 0.12 : 0.88) * w, (uniform() < 0.5 ? 0.12 : 0.88) * h};
    const double slope = 2 * kPi * uniform();
    illumination.resize(size_t(c.width) * size_t(c.height));
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const double spot = std::exp(-(std::pow(x - dim.x, 2) + std::pow(y - dim.y, 2)) / (2 * spread * spread));
            const double ramp = ((x - w / 2) * std::cos(slope) + (y - h / 2) * std::sin(slope)) / half;
            const double uneven = 1 - c.light.uneven * (0.75 * spot + 0.25 * (ramp + 1) / 2);
            const double vignette = 1 - c.light.vignette * (std::pow(x - w / 2, 2) + std::pow(y - h / 2, 2)) / (half * half);
            illumination[size_t(y) * size_t(c.width) + size_t(x)] = float(uneven * vignette);
        }
}

double lab_scene::state::gain(int f) const {
    const lighting& l = settings.light;
    double g = 1 + l.flicker / settings.floor *
                       (0.75 * std::sin(2 * kPi * f / l.flickerPeriod + flickerPhase[0]) +
                        0.25 * std::sin(2 * kPi * f / (0.31 * l.flickerPeriod) + flickerPhase[1]));
    if (settings.timeline.dimFrame >= 0 && f >= settings.timeline.dimFrame) g *= settings.timeline.dimTo / settings.floor;
    return g;
}

// A stand's tremor, a slow sway and the odd jolt, from the frame's number and the scene's salt
// alone (the scene's random numbers are the animals' and stay theirs), and a knock that moved
// it for good. Without shake or knock, none.
point lab_scene::state::shaken(int f) const {
    const events& t = settings.timeline;
    const point knocked = t.knockFrame >= 0 && f >= t.knockFrame ? t.knock : point{};
    const double a = settings.shake;
    if (a <= 0) return knocked;
    const auto phase = [&](uint32_t k) { return 2 * kPi * double(mix(salt, k, 0x5A4Bu)) / 4294967296.0; };
    const auto jolt = [&](int frameOf, uint32_t k) {
        return double(mix(salt, uint32_t(frameOf), k)) / 4294967296.0 - 0.5;
    };
    const auto axis = [&](uint32_t k) {
        const double sway = std::sin(2 * kPi * f / 37.0 + phase(k));
        const double tremor = std::sin(2 * kPi * f / 5.3 + phase(k + 1));
        return a * (0.5 * sway + 0.3 * tremor + 0.4 * jolt(f, k + 2));
    };
    return {knocked.x + axis(1), knocked.y + axis(11)};
}

std::vector<float> lab_scene::state::render() const {
    const lab_settings& c = settings;
    std::vector<float> img(floor);
    if (c.shadow > 0) shadows(*this, img);
    if (c.reflections > 0) reflections(*this, img);
    bodies(*this, img);
    const float g = float(gain(frame));
    for (size_t i = 0; i < img.size(); ++i) img[i] *= illumination[i] * g;
    if (const point moved = shaken(frame); moved.x != 0 || moved.y != 0) shift(img, c.width, c.height, moved);
    if (c.blur > 0) blur(img, c.width, c.height, c.blur);
    return img;
}

void lab_scene::grey(uint8_t* out, int64_t stride) const {
    const state& s = *s_;
    const lab_settings& c = s.settings;
    if (flash()) {
        for (int y = 0; y < c.height; ++y) std::fill(out + y * stride, out + y * stride + c.width, uint8_t(255));
        return;
    }
    const std::vector<float> img = s.render();
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const float noise = s.gaussians[mix(uint32_t(x), uint32_t(y), uint32_t(s.frame) ^ s.salt) & 4095u];
            const double v = img[size_t(y) * size_t(c.width) + size_t(x)] + c.noise * noise;
            out[y * stride + x] = uint8_t(std::clamp(std::lround(v), 0l, 255l));
        }
}

std::vector<uint8_t> lab_scene::grey() const {
    std::vector<uint8_t> g(size_t(s_->settings.width) * size_t(s_->settings.height));
    grey(g.data(), s_->settings.width);
    return g;
}

}  // namespace crowd_scene
