#include "crowd_scene.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <tuple>

#include "scene_random.h"

namespace crowd_scene {

namespace {

constexpr double kPi = 3.14159265358979323846;

uint8_t clampByte(double v) { return uint8_t(std::clamp(std::lround(v), 0l, 255l)); }

}  // namespace

scene::scene(const settings& s) : settings_(s), state_(s.seed) {
    if (s.width < 16 || s.height < 16 || int64_t(s.width) * s.height > (int64_t(1) << 28))
        throw std::invalid_argument("crowd scene: the frame must be 16x16 to 2^28 pixels");
    if (s.discs < 0 || s.arenas < 1 || s.arenas > 256)
        throw std::invalid_argument("crowd scene: bad disc or arena count");
    if (!(s.minRadius >= 1.0 && s.maxRadius >= s.minRadius))
        throw std::invalid_argument("crowd scene: radii must be at least 1, the smallest first");
    if (!(s.closest > 0.0 && s.closest <= 2.0) || !(s.speed >= 0.0) || s.noise < 0 || s.noise > 60)
        throw std::invalid_argument("crowd scene: bad closest, speed or noise");

    if (s.arenas == 1) {
        arenas_.push_back({4, 4, s.width - 8, s.height - 8});
    } else {
        const int cols = int(std::ceil(std::sqrt(double(s.arenas) * s.width / s.height)));
        const int rows = (s.arenas + cols - 1) / cols;
        const int cellW = s.width / cols, cellH = s.height / rows;
        const int side = std::min(cellW, cellH) - 20;
        for (int a = 0; a < s.arenas; ++a) {
            const int cx = (a % cols) * cellW + cellW / 2, cy = (a / cols) * cellH + cellH / 2;
            arenas_.push_back({cx - side / 2, cy - side / 2, side, side});
        }
    }
    for (const rect& a : arenas_)
        if (std::min(a.width, a.height) < 2.0 * s.maxRadius + 2.0)
            throw std::invalid_argument("crowd scene: the arenas are too small for the discs");

    // Background: a gentle shading over a fixed fine texture, as a lit floor would look.
    background_.resize(size_t(s.width) * size_t(s.height));
    const double p1 = uniform() * 2 * kPi, p2 = uniform() * 2 * kPi, p3 = uniform() * 2 * kPi;
    const uint32_t salt = uint32_t(state_ >> 32);
    const double base = s.light ? 70.0 : 175.0;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            const double shade =
                12.0 * std::sin(x * 0.011 + p1) * std::sin(y * 0.013 + p2) + 8.0 * std::sin((x + y) * 0.004 + p3);
            const double grain = double(mix(uint32_t(x), uint32_t(y), salt) % 29) - 14.0;
            background_[size_t(y) * size_t(s.width) + size_t(x)] = clampByte(base + shade + grain);
        }

    members_.resize(arenas_.size());
    for (int i = 0; i < s.discs; ++i) {
        disc d{};
        d.arena = i % s.arenas;
        d.r = s.minRadius + (s.maxRadius - s.minRadius) * uniform();
        const rect& a = arenas_[size_t(d.arena)];
        // Apart from the others where there is room; a packed arena takes what it gets.
        for (int attempt = 0; attempt < 1000; ++attempt) {
            d.x = a.x - 0.5 + d.r + (a.width - 2 * d.r) * uniform();
            d.y = a.y - 0.5 + d.r + (a.height - 2 * d.r) * uniform();
            bool free = true;
            for (int j : members_[size_t(d.arena)]) {
                const disc& o = discs_[size_t(j)];
                free = free && std::hypot(o.x - d.x, o.y - d.y) >= o.r + d.r + 2.0;
            }
            if (free) break;
        }
        d.heading = 2 * kPi * uniform();
        d.cruise = s.speed * (0.6 + 0.8 * uniform());
        d.speed = d.cruise;
        d.texture = uint32_t(state_);
        members_[size_t(d.arena)].push_back(i);
        discs_.push_back(d);
    }
    for (const auto& m : members_) separate(m);
    count();
}

double scene::uniform() { return crowd_scene::uniform(state_); }

double scene::gaussian() { return crowd_scene::gaussian(state_); }

void scene::next() {
    for (disc& d : discs_) {
        d.heading += 0.25 * gaussian();
        d.speed += 0.1 * (d.cruise - d.speed) + 0.15 * d.cruise * gaussian();
        d.speed = std::clamp(d.speed, 0.0, 2.0 * d.cruise + 0.5);
        d.x += d.speed * std::cos(d.heading);
        d.y += d.speed * std::sin(d.heading);
        // Walls turn a disc back like a mirror.
        const rect& a = arenas_[size_t(d.arena)];
        const double x0 = a.x - 0.5 + d.r, x1 = a.x + a.width - 0.5 - d.r;
        const double y0 = a.y - 0.5 + d.r, y1 = a.y + a.height - 0.5 - d.r;
        if (d.x < x0 || d.x > x1) d.heading = kPi - d.heading;
        if (d.y < y0 || d.y > y1) d.heading = -d.heading;
        d.x = d.x < x0 ? 2 * x0 - d.x : d.x > x1 ? 2 * x1 - d.x : d.x;
        d.y = d.y < y0 ? 2 * y0 - d.y : d.y > y1 ? 2 * y1 - d.y : d.y;
    }
    for (const auto& m : members_) separate(m);
    ++frame_;
    count();
}

// Discs pressed closer than allowed are pushed apart and lose the speed with which they
// approached, so that they slide along each other instead of bouncing.
void scene::separate(const std::vector<int>& members) {
    std::vector<int> order(members);
    for (int pass = 0; pass < 3; ++pass) {
        std::sort(order.begin(), order.end(), [&](int a, int b) { return discs_[size_t(a)].x < discs_[size_t(b)].x; });
        for (size_t i = 0; i < order.size(); ++i) {
            disc& p = discs_[size_t(order[i])];
            for (size_t j = i + 1; j < order.size(); ++j) {
                disc& q = discs_[size_t(order[j])];
                const double limit = settings_.closest * (p.r + q.r);
                if (q.x - p.x >= limit) break;
                const double dx = q.x - p.x, dy = q.y - p.y, dist = std::hypot(dx, dy);
                if (dist >= limit) continue;
                const double nx = dist > 1e-9 ? dx / dist : 1.0, ny = dist > 1e-9 ? dy / dist : 0.0;
                const double push = (limit - dist) / 2;
                p.x -= nx * push, p.y -= ny * push;
                q.x += nx * push, q.y += ny * push;
                double pvx = p.speed * std::cos(p.heading), pvy = p.speed * std::sin(p.heading);
                double qvx = q.speed * std::cos(q.heading), qvy = q.speed * std::sin(q.heading);
                const double closing = (qvx - pvx) * nx + (qvy - pvy) * ny;
                if (closing < 0) {
                    pvx += nx * closing / 2, pvy += ny * closing / 2;
                    qvx -= nx * closing / 2, qvy -= ny * closing / 2;
                    for (auto [d, vx, vy] : {std::tuple<disc*, double, double>{&p, pvx, pvy}, {&q, qvx, qvy}}) {
                        d->speed = std::hypot(vx, vy);
                        if (d->speed > 1e-9) d->heading = std::atan2(vy, vx);
                    }
                }
            }
        }
        for (int k : members) {
            disc& d = discs_[size_t(k)];
            const rect& a = arenas_[size_t(d.arena)];
            d.x = std::clamp(d.x, a.x - 0.5 + d.r, a.x + a.width - 0.5 - d.r);
            d.y = std::clamp(d.y, a.y - 0.5 + d.r, a.y + a.height - 0.5 - d.r);
        }
    }
}

void scene::count() {
    std::vector<char> touches(discs_.size(), 0);
    for (const auto& m : members_) {
        std::vector<int> order(m);
        std::sort(order.begin(), order.end(), [&](int a, int b) { return discs_[size_t(a)].x < discs_[size_t(b)].x; });
        for (size_t i = 0; i < order.size(); ++i) {
            const disc& p = discs_[size_t(order[i])];
            for (size_t j = i + 1; j < order.size(); ++j) {
                const disc& q = discs_[size_t(order[j])];
                const double reach = p.r + q.r + 1.0;
                if (q.x - p.x >= reach) break;
                if (std::hypot(q.x - p.x, q.y - p.y) < reach) touches[size_t(order[i])] = touches[size_t(order[j])] = 1;
            }
        }
    }
    touching_.assign(touches.begin(), touches.end());
    touched_ += std::accumulate(touches.begin(), touches.end(), int64_t(0));
    seen_ += int64_t(discs_.size());
}

std::vector<position> scene::truth() const {
    std::vector<position> out;
    for (size_t i = 0; i < discs_.size(); ++i) out.push_back({int(i), discs_[i].x, discs_[i].y});
    return out;
}

void scene::grey(uint8_t* out, int64_t stride) const {
    const int w = settings_.width, h = settings_.height, n = settings_.noise;
    for (int y = 0; y < h; ++y) {
        uint8_t* row = out + y * stride;
        const uint8_t* bg = background_.data() + size_t(y) * size_t(w);
        if (n == 0) {
            std::copy(bg, bg + w, row);
            continue;
        }
        for (int x = 0; x < w; ++x) {
            const int jitter =
                int(mix(uint32_t(x), uint32_t(y), uint32_t(frame_) + 0x51ED27u) % uint32_t(2 * n + 1)) - n;
            row[x] = uint8_t(std::clamp(bg[x] + jitter, 0, 255));
        }
    }
    // Each disc carries its own texture, fixed to it; its rim covers pixels partly.
    const int low = settings_.light ? 180 : 25;
    for (const disc& d : discs_) {
        const int x0 = std::max(0, int(std::floor(d.x - d.r - 1))), x1 = std::min(w - 1, int(std::ceil(d.x + d.r + 1)));
        const int y0 = std::max(0, int(std::floor(d.y - d.r - 1))), y1 = std::min(h - 1, int(std::ceil(d.y + d.r + 1)));
        for (int y = y0; y <= y1; ++y) {
            uint8_t* row = out + y * stride;
            for (int x = x0; x <= x1; ++x) {
                const double dx = x - d.x, dy = y - d.y;
                const double cover = std::clamp(d.r + 0.5 - std::hypot(dx, dy), 0.0, 1.0);
                if (cover <= 0) continue;
                const uint32_t t =
                    mix(uint32_t(int(std::floor(dx)) + 64), uint32_t(int(std::floor(dy)) + 64), d.texture);
                const double v = low + double(t % 36);
                row[x] = clampByte(row[x] * (1 - cover) + v * cover);
            }
        }
    }
}

void scene::bgr(uint8_t* out, int64_t stride) const {
    const int w = settings_.width;
    std::vector<uint8_t> g = grey();
    for (int y = 0; y < settings_.height; ++y) {
        uint8_t* row = out + y * stride;
        for (int x = 0; x < w; ++x) {
            const int v = g[size_t(y) * size_t(w) + size_t(x)];
            row[3 * x] = uint8_t(std::max(v - 6, 0));
            row[3 * x + 1] = uint8_t(v);
            row[3 * x + 2] = uint8_t(std::min(v + 6, 255));
        }
    }
}

std::vector<uint8_t> scene::grey() const {
    std::vector<uint8_t> g(size_t(settings_.width) * size_t(settings_.height));
    grey(g.data(), settings_.width);
    return g;
}

std::vector<uint8_t> scene::bgr() const {
    std::vector<uint8_t> c(size_t(settings_.width) * size_t(settings_.height) * 3);
    bgr(c.data(), int64_t(settings_.width) * 3);
    return c;
}

bool scene::touching(int object) const { return touching_[size_t(object)] != 0; }

}  // namespace crowd_scene
