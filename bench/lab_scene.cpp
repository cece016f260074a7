#include "lab_scene.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "lab_state.h"

namespace crowd_scene {

namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr const char* kNames[] = {"fish", "flies", "light", "rim", "larvae"};

void check(const lab_settings& s) {
    if (s.width < 64 || s.height < 64 || int64_t(s.width) * s.height > (int64_t(1) << 26))
        throw std::invalid_argument("lab scene: the frame must be 64x64 to 2^26 pixels");
    if (s.animals < 0 || s.animals > 5000) throw std::invalid_argument("lab scene: animals must lie in 0 to 5000");
    if (!(s.length >= 3 && s.length <= std::min(s.width, s.height) / 4.0))
        throw std::invalid_argument("lab scene: the body length must lie in 3 px to a quarter of the frame");
    if (!(s.widthRatio > 0.05 && s.widthRatio <= 1) || !(s.lengthSpread >= 0 && s.lengthSpread < 0.5) ||
        !(s.bigShare >= 0 && s.bigShare <= 1) || !(s.bigRatio >= 1 && s.bigRatio <= 3))
        throw std::invalid_argument("lab scene: bad body proportions");
    if (!(s.speed >= 0) || !(s.noise >= 0 && s.noise <= 60) || !(s.blur >= 0 && s.blur <= 5) ||
        !(s.rimWidth >= 1 && s.rimWidth <= 60) || !(s.reflections >= 0 && s.reflections <= 1) ||
        !(s.shadow >= 0 && s.shadow <= 1) || !(s.shadowSoftness >= 1) || s.restMin < 1 || s.restMax < s.restMin ||
        !(s.shake >= 0 && s.shake <= 20) || !(std::abs(s.timeline.knock.x) <= 20 && std::abs(s.timeline.knock.y) <= 20))
        throw std::invalid_argument("lab scene: bad speed, noise, blur, rim, shadow, rest, shake or knock");
    if (!(s.floor >= 1 && s.floor <= 255) || !(s.light.flickerPeriod >= 2) || !(s.timeline.dimTo >= 0))
        throw std::invalid_argument("lab scene: bad floor level, flicker period or dimming");
}

}  // namespace

const char* kind_name(kind k) { return kNames[int(k)]; }

bool kind_from_name(const std::string& name, kind& k) {
    for (int i = 0; i < 5; ++i)
        if (name == kNames[i]) return k = kind(i), true;
    return false;
}

lab_settings preset(kind k) {
    lab_settings s;
    s.what = k;
    switch (k) {
        case kind::fish:  // shoaling: chains, crossings over and under each other
            s.cohesion = 0.05, s.alignment = 0.1, s.marks = 2;
            s.floor = 205, s.body = 45, s.bench = 120, s.wall = 95;
            s.light = {0.08, 0.12, 2, 110};
            break;
        case kind::flies:  // small, keep apart, like the wall, some sleep for hundreds of frames
            s.animals = 40, s.length = 11, s.lengthSpread = 0.1, s.widthRatio = 0.45, s.rigid = true;
            s.speed = 1.5, s.turning = 0.15, s.maxTurn = 0.7, s.tailBeat = 0, s.avoidance = 1, s.wallFollow = 0.3;
            s.restShare = 0.25, s.pauses = 0.01, s.marks = 3, s.noise = 2.5;
            s.floor = 195, s.body = 40, s.bench = 110, s.wall = 80;
            s.light = {0.25, 0.15, 8, 120};
            break;
        case kind::light:  // lit from one side: a soft shadow beside each animal
            s.animals = 15, s.length = 38, s.widthRatio = 0.42, s.speed = 1.8, s.turning = 0.08, s.maxTurn = 0.3;
            s.bendRadius = 0.5;
            s.tailBeat = 0.02, s.beatRate = 0.5, s.avoidance = 0.6, s.lightAnimals = true, s.shadow = 0.55;
            s.floor = 55, s.body = 200, s.bench = 35, s.wall = 100, s.marks = 2;
            s.light = {0.1, 0.25, 3, 100};
            break;
        case kind::rim:  // fish along a dark wall that mirrors them
            s.animals = 12, s.length = 40, s.wallFollow = 0.8, s.avoidance = 0.4;
            s.floor = 200, s.body = 45, s.bench = 130, s.wall = 60, s.rimWidth = 18, s.reflections = 0.35;
            s.light = {0.1, 0.1, 2, 100};
            break;
        case kind::larvae:  // two sizes, crawling in heaps side by side
            s.animals = 60, s.length = 18, s.bigShare = 0.5, s.bigRatio = 1.55, s.widthRatio = 0.24;
            s.speed = 0.8, s.turning = 0.04, s.maxTurn = 0.25, s.bendRadius = 0.8, s.tailBeat = 0.02, s.beatRate = 0.35, s.stretch = 0.07;
            s.cohesion = 0.2, s.alignment = 0.4, s.avoidance = 0.25, s.marks = 2;
            s.floor = 190, s.body = 70, s.bench = 110, s.wall = 90;
            s.light = {0.1, 0.1, 2, 90};
            break;
    }
    return s;
}

double lab_scene::state::uniform() { return crowd_scene::uniform(random); }

double lab_scene::state::gaussian() { return crowd_scene::gaussian(random); }

namespace {

using state = lab_scene::state;

// The arena fills the frame's height less the wall and a margin, a little off centre; the
// outline a user draws lies on the visible wall, whole pixels, a pixel or two off.
void placeArena(state& s) {
    const lab_settings& c = s.settings;
    s.arena.x = c.width / 2.0 + 6 * (s.uniform() - 0.5);
    s.arena.y = c.height / 2.0 + 4 * (s.uniform() - 0.5);
    s.arena.r = std::min(c.width, c.height) / 2.0 - c.rimWidth - 6;
    s.drawn.x = std::round(s.arena.x + 3 * (s.uniform() - 0.5));
    s.drawn.y = std::round(s.arena.y + 3 * (s.uniform() - 0.5));
    s.drawn.r = std::round(s.arena.r + 0.6 * c.rimWidth + 3 * (s.uniform() - 0.5));
}

// Heads far enough from the wall for a straight body behind them, and apart from the
// others where the animals keep apart.
void placeAnimal(state& s, animal& a) {
    const lab_settings& c = s.settings;
    const double room = s.arena.r - a.length - a.width;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const double r = room * std::sqrt(s.uniform()), angle = 2 * kPi * s.uniform();
        a.head = {s.arena.x + r * std::cos(angle), s.arena.y + r * std::sin(angle)};
        bool apart = true;
        for (const animal& o : s.animals)
            apart = apart && std::hypot(o.head.x - a.head.x, o.head.y - a.head.y) > 1.2 * (a.length + o.length) / 2;
        if (apart || c.avoidance == 0) break;
    }
    a.heading = 2 * kPi * s.uniform();
    const int steps = int(std::ceil(1.5 * a.length * (1 + c.stretch)));
    for (int k = steps; k >= 0; --k)
        a.path.push_back({a.head.x - k * std::cos(a.heading), a.head.y - k * std::sin(a.heading)});
    a.pathLength = steps;
}

animal makeAnimal(state& s, int index) {
    const lab_settings& c = s.settings;
    animal a;
    const bool big = index < int(std::lround(c.bigShare * c.animals));
    a.length = c.length * (big ? c.bigRatio : 1.0) * (1 + c.lengthSpread * (2 * s.uniform() - 1));
    a.width = a.length * c.widthRatio * (1 + 0.08 * (2 * s.uniform() - 1));
    a.value = c.lightAnimals ? std::clamp(c.body + 30 * (s.uniform() - 0.5), 0.0, 255.0)
                             : c.body * (0.85 + 0.3 * s.uniform());
    a.cruise = c.speed * (0.7 + 0.6 * s.uniform()) * std::sqrt(a.length / c.length);
    a.speed = a.cruise;
    a.phase = 2 * kPi * s.uniform();
    a.activity = 1;
    a.texture = uint32_t(s.random >> 20);
    a.sleeper = index >= c.animals - int(std::lround(c.restShare * c.animals));
    if (a.sleeper && s.uniform() < 0.5) a.rest = c.restMin + int(s.uniform() * (c.restMax - c.restMin)), a.activity = 0;
    placeAnimal(s, a);
    return a;
}

// Which bodies reach a pixel together (touching) or both cover one at least half
// (overlapping), the groups they form, and the counts over the run.
void contacts(state& s) {
    const size_t n = s.animals.size();
    std::vector<size_t> parent(n);
    std::iota(parent.begin(), parent.end(), size_t(0));
    auto root = [&](size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    };
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) {
            const body::patch &p = s.animals[i].cover, &q = s.animals[j].cover;
            const int x0 = std::max(p.x0, q.x0), x1 = std::min(p.x0 + p.w, q.x0 + q.w);
            const int y0 = std::max(p.y0, q.y0), y1 = std::min(p.y0 + p.h, q.y0 + q.h);
            int contact = 0;
            for (int y = y0; y < y1 && contact < 2; ++y)
                for (int x = x0; x < x1 && contact < 2; ++x) {
                    const float a = p.at(x, y), b = q.at(x, y);
                    if (a > 0 && b > 0) contact = std::max(contact, a >= 0.5f && b >= 0.5f ? 2 : 1);
                }
            if (!contact) continue;
            s.truth[i].contact = std::max(s.truth[i].contact, contact);
            s.truth[j].contact = std::max(s.truth[j].contact, contact);
            parent[root(i)] = root(j);
        }
    std::vector<int> size(n, 0);
    for (size_t i = 0; i < n; ++i) ++size[root(i)];
    for (size_t i = 0; i < n; ++i) {
        animal_truth& t = s.truth[i];
        t.cluster = size[root(i)];
        s.counted.positions += 1;
        s.counted.touching += t.contact == 1;
        s.counted.overlapping += t.contact == 2;
        s.counted.inChains += t.cluster >= 3;
        s.counted.resting += t.resting;
    }
}

// Each body drawn from its midline; the truth read from the drawings: centres of mass,
// midlines, and which bodies reach the same pixels.
void measure(state& s) {
    const int w = s.settings.width, h = s.settings.height;
    std::vector<float> occupied(size_t(w) * size_t(h), 0.0f);
    s.truth.assign(s.animals.size(), animal_truth{});
    for (size_t i = 0; i < s.animals.size(); ++i) {
        animal& a = s.animals[i];
        body::draw(a.nodes, a.radii, 1.0, w, h, a.cover);
        animal_truth& t = s.truth[i];
        t.object = int(i);
        t.centre = body::centre_of_mass(a.cover);
        const std::vector<point> mid = body::resample(a.nodes, kMidlinePoints, t.length);
        std::copy(mid.begin(), mid.end(), t.midline.begin());
        t.heading = std::atan2(mid[0].y - mid[2].y, mid[0].x - mid[2].x);
        t.resting = a.rest > 0;
        const body::patch& p = a.cover;
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x) occupied[size_t(p.y0 + y) * size_t(w) + size_t(p.x0 + x)] += p.cover[size_t(y * p.w + x)];
    }
    for (size_t i = 0; i < s.animals.size(); ++i) {
        const body::patch& p = s.animals[i].cover;
        double all = 0, shared = 0;
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x) {
                const double c = p.cover[size_t(y * p.w + x)];
                all += c;
                shared += c * std::min(1.0, occupied[size_t(p.y0 + y) * size_t(w) + size_t(p.x0 + x)] - c);
            }
        s.truth[i].shared = all > 0 ? std::max(0.0, shared / all) : 0.0;
    }
    contacts(s);
    const point moved = s.shaken(s.frame);
    for (animal_truth& t : s.truth) {
        t.centre.x += moved.x, t.centre.y += moved.y;
        for (point& m : t.midline) m.x += moved.x, m.y += moved.y;
    }
}

}  // namespace

lab_scene::lab_scene(const lab_settings& settings) : s_(std::make_unique<state>()) {
    check(settings);
    state& s = *s_;
    s.settings = settings;
    s.random = settings.seed * 0x2545F4914F6CDD1Dull + uint64_t(settings.what);
    s.salt = uint32_t(s.uniform() * 4294967295.0);
    placeArena(s);
    if (s.arena.r < 2 * settings.length * std::max(settings.bigRatio, 1.0))
        throw std::invalid_argument("lab scene: the arena is too small for the bodies");
    s.buildFloor();
    s.buildLight();
    for (int i = 0; i < settings.animals; ++i) s.animals.push_back(makeAnimal(s, i));
    std::vector<int> order(s.animals.size());
    std::iota(order.begin(), order.end(), 0);
    for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[size_t(s.uniform() * double(i))]);
    for (size_t i = 0; i < order.size(); ++i) s.animals[size_t(order[i])].depth = int(i);
    for (size_t i = 0; i < 4096; ++i) s.gaussians.push_back(float(s.gaussian()));
    for (double& p : s.flickerPhase) p = 2 * kPi * s.uniform();
    for (animal& a : s.animals) shape(s, a);
    measure(s);
}

lab_scene::~lab_scene() = default;
lab_scene::lab_scene(lab_scene&&) noexcept = default;

void lab_scene::next() {
    ++s_->frame;
    move(*s_);
    measure(*s_);
}

int lab_scene::frame() const { return s_->frame; }
const lab_settings& lab_scene::config() const { return s_->settings; }
circle lab_scene::arena() const { return s_->arena; }
circle lab_scene::drawn() const { return s_->drawn; }
const std::vector<animal_truth>& lab_scene::truth() const { return s_->truth; }
const lab_scene::tally& lab_scene::counted() const { return s_->counted; }

point lab_scene::shaken() const { return s_->shaken(s_->frame); }

bool lab_scene::flash() const {
    const std::vector<int>& f = s_->settings.timeline.flashes;
    return std::find(f.begin(), f.end(), s_->frame) != f.end();
}

std::vector<float> lab_scene::coverage(int object) const {
    const lab_settings& c = s_->settings;
    std::vector<float> out(size_t(c.width) * size_t(c.height), 0.0f);
    const body::patch& p = s_->animals.at(size_t(object)).cover;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) out[size_t(p.y0 + y) * size_t(c.width) + size_t(p.x0 + x)] = p.cover[size_t(y * p.w + x)];
    return out;
}

}  // namespace crowd_scene
