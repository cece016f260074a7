// How the animals of the generated lab scenes move: the head wanders, turns at the wall,
// towards neighbours and away from bodies ahead; the body follows the path the head took,
// so that it bends through every turn, and the tail beats.
#include <algorithm>
#include <cmath>

#include "lab_state.h"

namespace crowd_scene {

namespace {

constexpr double kPi = 3.14159265358979323846;

using state = lab_scene::state;

// The difference of two angles, in (-pi, pi].
double turnTo(double to, double from) { return std::remainder(to - from, 2 * kPi); }

double side(point dir, double x, double y) { return dir.x * y - dir.y * x >= 0 ? 1.0 : -1.0; }

// Towards the neighbours' centre and along their headings; away from a body just ahead,
// slowing down.
double social(state& s, size_t i) {
    const lab_settings& c = s.settings;
    animal& a = s.animals[i];
    const point dir{std::cos(a.heading), std::sin(a.heading)};
    const double reach = 0.5 * a.width + 2 * a.speed + 2;
    const point ahead{a.head.x + dir.x * reach, a.head.y + dir.y * reach};
    double steer = 0, cx = 0, cy = 0, hx = 0, hy = 0;
    int near = 0;
    for (size_t j = 0; j < s.animals.size(); ++j) {
        const animal& o = s.animals[j];
        const point mid = o.nodes[o.nodes.size() / 2];
        if (j == i || std::hypot(mid.x - a.head.x, mid.y - a.head.y) > 3 * std::max(a.length, o.length)) continue;
        cx += mid.x, cy += mid.y, hx += std::cos(o.heading), hy += std::sin(o.heading), ++near;
        for (size_t k = 0; c.avoidance > 0 && k < o.nodes.size(); k += 2) {
            const point n = o.nodes[k];
            if (std::hypot(n.x - ahead.x, n.y - ahead.y) >= o.radii[k] + 0.5 * a.width + 1) continue;
            steer -= c.avoidance * 0.35 * side(dir, n.x - a.head.x, n.y - a.head.y);
            a.speed *= 1 - 0.3 * c.avoidance;
            break;
        }
    }
    if (near == 0 || c.cohesion + c.alignment <= 0) return steer;
    double gx = dir.x + c.alignment * hx / near, gy = dir.y + c.alignment * hy / near;
    const double tx = cx / near - a.head.x, ty = cy / near - a.head.y, td = std::hypot(tx, ty);
    if (td > 1e-9) gx += c.cohesion * tx / td, gy += c.cohesion * ty / td;
    return steer + 0.15 * turnTo(std::atan2(gy, gx), a.heading);
}

// Away from the wall ahead; along it, close to it, for animals that keep to walls.
double walls(const state& s, const animal& a) {
    const lab_settings& c = s.settings;
    const double wall = s.arena.r - 0.5 * a.width - 1.5;
    const point dir{std::cos(a.heading), std::sin(a.heading)};
    const double look = 6 * a.speed + 0.3 * a.length;
    const double rx = a.head.x - s.arena.x, ry = a.head.y - s.arena.y, r = std::hypot(rx, ry);
    const double beyond = std::hypot(rx + dir.x * look, ry + dir.y * look) - wall;
    double steer = 0;
    if (beyond > 0) steer += side(dir, -rx, -ry) * std::min(0.3, 0.05 + 0.3 * beyond / a.length);
    if (c.wallFollow > 0 && r > wall - 3 * a.length) {
        const double outward = std::atan2(ry, rx);
        const double sense = std::cos(a.heading - outward - kPi / 2) >= 0 ? 1.0 : -1.0;
        const double target = outward + sense * kPi / 2 - sense * std::clamp((wall - r) / a.length, 0.0, 0.6);
        steer += c.wallFollow * 0.25 * turnTo(target, a.heading);
    }
    return steer;
}

// Back inside the arena; an animal stopped by the wall turns along it.
void confine(const state& s, animal& a) {
    const double wall = s.arena.r - 0.5 * a.width - 1;
    auto pull = [&](point& p) {
        const double rx = p.x - s.arena.x, ry = p.y - s.arena.y, r = std::hypot(rx, ry);
        if (r <= wall) return false;
        p = {s.arena.x + rx * wall / r, s.arena.y + ry * wall / r};
        return true;
    };
    if (pull(a.head)) {
        const double outward = std::atan2(a.head.y - s.arena.y, a.head.x - s.arena.x);
        a.heading = outward + (std::cos(a.heading - outward - kPi / 2) >= 0 ? 1 : -1) * kPi / 2;
        a.turn = 0;
    }
    if (!s.settings.rigid) return;
    point tail{a.head.x - a.length * std::cos(a.heading), a.head.y - a.length * std::sin(a.heading)};
    if (pull(tail)) {
        a.head = {tail.x + a.length * std::cos(a.heading), tail.y + a.length * std::sin(a.heading)};
        pull(a.head);
    }
}

// Short pauses for some, long rests for the sleepers; true while resting.
bool resting(state& s, animal& a) {
    const lab_settings& c = s.settings;
    if (a.rest > 0) {
        --a.rest;
        a.speed = 0, a.activity *= 0.8;
        return true;
    }
    if (c.pauses > 0 && s.uniform() < c.pauses) a.rest = 3 + int(30 * s.uniform());
    if (a.sleeper && s.uniform() < 1.0 / 250) a.rest = c.restMin + int(s.uniform() * (c.restMax - c.restMin));
    return false;
}

void follow(const state& s, animal& a) {
    const point last = a.path.back();
    const double step = std::hypot(a.head.x - last.x, a.head.y - last.y);
    if (step < 0.05) return;
    a.path.push_back(a.head);
    a.pathLength += step;
    const double keep = 1.5 * a.length * (1 + s.settings.stretch) + 2;
    while (a.path.size() > 2) {
        const double first = std::hypot(a.path[1].x - a.path[0].x, a.path[1].y - a.path[0].y);
        if (a.pathLength - first < keep) break;
        a.pathLength -= first;
        a.path.pop_front();
    }
}

// The point `along` pixels behind the head on the path; beyond its oldest point, straight on.
void walkBack(const animal& a, double step, std::vector<point>& nodes) {
    point p = a.head;
    size_t j = a.path.size() - 1;
    for (size_t k = 1; k < nodes.size(); ++k) {
        double need = step;
        while (need > 1e-12) {
            if (j == 0) {
                point d{-std::cos(a.heading), -std::sin(a.heading)};
                if (a.path.size() > 1) d = {a.path[0].x - a.path[1].x, a.path[0].y - a.path[1].y};
                const double n = std::max(std::hypot(d.x, d.y), 1e-12);
                p = {p.x + d.x / n * need, p.y + d.y / n * need};
                break;
            }
            const point q = a.path[j - 1];
            const double d = std::hypot(q.x - p.x, q.y - p.y);
            if (d >= need) {
                p = {p.x + (q.x - p.x) * need / d, p.y + (q.y - p.y) * need / d};
                break;
            }
            need -= d, p = q, --j;
        }
        nodes[k] = p;
    }
}

}  // namespace

void shape(const state& s, animal& a) {
    const lab_settings& c = s.settings;
    const int n = body::kNodes;
    const double length = a.length * (1 + c.stretch * std::sin(a.phase)), step = length / (n - 1);
    a.nodes.assign(size_t(n), a.head);
    if (c.rigid) {
        for (int k = 1; k < n; ++k)
            a.nodes[size_t(k)] = {a.head.x - k * step * std::cos(a.heading), a.head.y - k * step * std::sin(a.heading)};
    } else {
        walkBack(a, step, a.nodes);
    }
    // The tail beat: a wave running to the tail, growing along the body, sideways to it.
    const std::vector<point> straight = a.nodes;
    for (int k = 1; k < n && c.tailBeat > 0; ++k) {
        const point front = straight[size_t(k - 1)], back = straight[size_t(std::min(k + 1, n - 1))];
        const double tx = front.x - back.x, ty = front.y - back.y, t = std::max(std::hypot(tx, ty), 1e-12);
        const double at = double(k) / (n - 1);
        const double off = c.tailBeat * length * at * at * std::sin(a.phase - 2 * kPi * 0.8 * at) * a.activity;
        a.nodes[size_t(k)].x += -ty / t * off;
        a.nodes[size_t(k)].y += tx / t * off;
    }
    a.radii.resize(size_t(n));
    for (int k = 0; k < n; ++k) a.radii[size_t(k)] = body::half_width(c.what, double(k) / (n - 1), a.width);
}

void move(state& s) {
    const lab_settings& c = s.settings;
    for (size_t i = 0; i < s.animals.size(); ++i) {
        animal& a = s.animals[i];
        if (resting(s, a)) {
            shape(s, a);
            continue;
        }
        a.speed = std::clamp(a.speed + 0.15 * (a.cruise - a.speed) + 0.25 * a.cruise * s.gaussian(), 0.0,
                             2.5 * a.cruise);
        a.turn = 0.7 * a.turn + c.turning * s.gaussian();
        const double steer = social(s, i) + walls(s, a);
        const double sharpest = c.rigid ? c.maxTurn : std::min(c.maxTurn, a.speed / (c.bendRadius * a.length) + 0.01);
        a.heading += std::clamp(a.turn + steer, -sharpest, sharpest);
        a.head = {a.head.x + a.speed * std::cos(a.heading), a.head.y + a.speed * std::sin(a.heading)};
        confine(s, a);
        a.activity = 0.8 * a.activity + 0.2 * std::min(1.0, a.speed / std::max(a.cruise, 1e-9));
        a.phase += c.beatRate * (0.3 + 0.7 * a.activity);
        follow(s, a);
        shape(s, a);
    }
}

}  // namespace crowd_scene
