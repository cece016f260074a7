#include "crowd/crowd_shadow.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <utility>

#include "crowd/crowd_stats.h"

namespace {

constexpr size_t kHistory = 25;   // frames pooled, as the contrast's choices are
constexpr int kFrames = 10;       // frames seen before a shadow is believed
constexpr size_t kLeastLone = 3;  // lone animals a frame needs to tell a direction
// A shadow's signs: how far the faint parts lie off the bodies on the mean (pixels), and the
// share of the lone animals' pixels by which the shadow's side outnumbers the other (a few
// large bodies bent seem to have a faint side now and then, but hardly a heavier one).
constexpr double kOffset = 1.0, kLopsided = 0.15;
// The light casts every shadow the same way: the faint parts' mean offset is most of their
// offsets' mean length (0.60-0.84 on scenes with shadows). An animal with a darker head has a
// core that is the head alone, and its body lies off that core towards its tail, a way that
// turns with the animal: over a dozen animals the offsets mostly cancel (0.01-0.51), though
// their mean still passes the offset and the lopsided side, and the shadow's cut would leave
// only the heads.
constexpr double kAligned = 0.55;
// The share of the pixels on the bodies' far side from their shadows (their own) that a cut must
// keep: a shadow as dark as the animals cannot be cut off them, and a cut above it leaves only
// their darkest parts (the heads of animals with darker heads: 0.13-0.15 of those pixels, where
// the shadows a cut leaves out keep 0.33-0.58).
constexpr double kBodyKept = 0.25;
constexpr double kLeastShifts = 50;  // lone animals measured before their centres are moved
// The share of the shadow's side's excess of pixels that may lie above the cut: the rim of a
// body on that side, darkened by the shadow it lies in.
constexpr double kExcess = 0.2;
// Once the shadow is placed, the faint pixels it does not explain are kept whatever their
// contrast: the cut can then lie where hardly any of the excess is left.
constexpr double kPlacedExcess = 0.05;
constexpr int kReach = 10;              // the farthest shift of a shadow tried, each way (pixels)
constexpr double kLeastPlacings = 150;  // lone animals whose shadows place it

// The blobs of about the area most have: one animal each, as they are cut in this image.
std::vector<int32_t> loneSized(const crowd_blobs& blobs, int minArea) {
    std::vector<double> areas;
    for (const crowd_blob& b : blobs.blobs())
        if (b.moments.area >= minArea) areas.push_back(double(b.moments.area));
    const double single = crowd_medianOf(areas);
    std::vector<int32_t> lone;
    for (size_t b = 0; b < blobs.blobs().size(); ++b) {
        const double share = double(blobs.blobs()[b].moments.area) / single;
        if (share >= 0.5 && share <= 1.5) lone.push_back(int32_t(b));
    }
    return lone;
}

}  // namespace

void crowd_shadow::restart() {
    dx_ = dy_ = dn_ = lones_ = shiftX_ = shiftY_ = shifts_ = 0, frames_ = 0, found_ = false;
    cut_ = 0, toward_.clear(), away_.clear();
    landed_.clear(), placings_ = 0, placeX_ = placeY_ = 0;
}

bool crowd_shadow::placed() const { return found_ && placings_ >= kLeastPlacings; }

double crowd_shadow::cut() const { return found_ ? cut_ : 0; }

double crowd_shadow::shiftX() const { return found_ && shifts_ >= kLeastShifts ? shiftX_ / shifts_ : 0; }
double crowd_shadow::shiftY() const { return found_ && shifts_ >= kLeastShifts ? shiftY_ / shifts_ : 0; }

bool crowd_shadow::measure(const dib_base& weight, const crowd_blobs& blobs, const std::vector<crowd_run>& runs,
                           int32_t blob, lone& l, double& dx, double& dy) const {
    const crowd_blob& b = blobs.blobs()[size_t(blob)];
    l.pixels.clear();
    int peak = 0;
    for (int32_t i = 0; i < b.runCount; ++i) {
        const crowd_run& run = runs[size_t(blobs.order()[size_t(b.firstRun + i)])];
        const uint8_t* w = weight.row(run.y);
        for (int32_t x = run.x0; x < run.x1; ++x)
            l.pixels.insert(l.pixels.end(), {x, run.y, w[x]}), peak = std::max(peak, int(w[x]));
    }
    double cx = 0, cy = 0, fx = 0, fy = 0, xx = 0, yy = 0, xy = 0, wx = 0, wy = 0, sw = 0;
    int core = 0, faint = 0;
    for (size_t k = 0; k < l.pixels.size(); k += 3) {
        const double x = l.pixels[k], y = l.pixels[k + 1];
        const int w = l.pixels[k + 2];
        wx += w * x, wy += w * y, sw += w;
        if (4 * w >= 3 * peak)
            cx += x, cy += y, xx += x * x, yy += y * y, xy += x * y, ++core;
        else if (2 * w < peak)
            fx += x, fy += y, ++faint;
    }
    if (core < 3) return false;
    l.x = cx / core, l.y = cy / core, l.wx = wx / sw, l.wy = wy / sw, l.faint = faint > 0, l.peak = peak;
    if (!faint) return true;
    xx = xx / core - l.x * l.x, yy = yy / core - l.y * l.y, xy = xy / core - l.x * l.y;
    // Across the body's long axis only: a paler tail or a darker head lies along it.
    const double along = 0.5 * std::atan2(2 * xy, xx - yy);
    l.ax = std::cos(along), l.ay = std::sin(along);
    const double ox = fx / faint - l.x, oy = fy / faint - l.y, on = ox * l.ax + oy * l.ay;
    dx = ox - on * l.ax, dy = oy - on * l.ay;
    return true;
}

// The least contrast at which the pixels on the shadow's side of the bodies' long axes
// outnumber those on the other side by little more than the bodies' rims there.
int crowd_shadow::balance(const std::vector<lone>& lones, double ux, double uy, double& lopsided, double& kept) {
    side toward{}, away{};
    for (const lone& l : lones)
        for (size_t k = 0; k < l.pixels.size(); k += 3) {
            const double x = l.pixels[k] - l.x, y = l.pixels[k + 1] - l.y, on = x * l.ax + y * l.ay;
            const double along = (x - on * l.ax) * ux + (y - on * l.ay) * uy;
            if (along >= 0.5)
                ++toward[size_t(l.pixels[k + 2])];
            else if (along <= -0.5)
                ++away[size_t(l.pixels[k + 2])];
        }
    toward_.push_back(toward), away_.push_back(away);
    if (toward_.size() > kHistory) toward_.erase(toward_.begin()), away_.erase(away_.begin());
    // Pooled over the last frames: a frame holds too few animals to weigh their sides.
    int64_t heavier = 0, lighter = 0;
    for (int v = 255; v >= 0; --v) {
        for (size_t f = 0; f < toward_.size(); ++f) heavier += toward_[f][size_t(v)], lighter += away_[f][size_t(v)];
        toward[size_t(v)] = heavier, away[size_t(v)] = lighter;
    }
    int64_t most = 0;
    for (int v = 1; v < 256; ++v) most = std::max(most, toward[size_t(v)] - away[size_t(v)]);
    lopsided = double(most) / double(std::max<int64_t>(1, toward[0] + away[0]));
    const double excess = placed() ? kPlacedExcess : kExcess;
    kept = 1;
    for (int v = 1; v < 256; ++v)
        if (double(toward[size_t(v)] - away[size_t(v)]) <= excess * double(most)) {
            kept = double(away[size_t(v)]) / double(std::max<int64_t>(1, away[0]));
            return v;
        }
    return 0;
}

// Each lone animal's body (its pixels of three quarters of its peak contrast or more) is
// shifted every way: the shift that lands it on more of its faint pixels' contrast than the
// opposite shift does is the shadow's (a soft edge lies all around the body and cancels out;
// weighed by contrast, the shadow's dark middle counts more than its wide soft edge, which
// would otherwise draw the shift out past it).
void crowd_shadow::notePlace(const std::vector<lone>& lones) {
    constexpr int side = 2 * kReach + 1;
    landed_.resize(size_t(side * side));
    std::vector<uint8_t> body;
    for (const lone& l : lones) {
        int x0 = INT32_MAX, y0 = INT32_MAX, x1 = 0, y1 = 0;
        for (size_t k = 0; k < l.pixels.size(); k += 3) {
            x0 = std::min(x0, l.pixels[k]), x1 = std::max(x1, l.pixels[k]);
            y0 = std::min(y0, l.pixels[k + 1]), y1 = std::max(y1, l.pixels[k + 1]);
        }
        const int w = x1 - x0 + 1, h = y1 - y0 + 1;
        body.assign(size_t(w * h), 0);
        for (size_t k = 0; k < l.pixels.size(); k += 3)
            if (4 * l.pixels[k + 2] >= 3 * l.peak) body[size_t((l.pixels[k + 1] - y0) * w + l.pixels[k] - x0)] = 1;
        for (size_t k = 0; k < l.pixels.size(); k += 3) {
            const int x = l.pixels[k] - x0, y = l.pixels[k + 1] - y0;
            if (body[size_t(y * w + x)]) continue;
            const int c = l.pixels[k + 2];
            for (int dy = std::max(-kReach, y - h + 1); dy <= std::min(kReach, y); ++dy)
                for (int dx = std::max(-kReach, x - w + 1); dx <= std::min(kReach, x); ++dx)
                    if (body[size_t((y - dy) * w + x - dx)]) landed_[size_t((dy + kReach) * side + dx + kReach)] += c;
        }
    }
    placings_ += double(lones.size());
    int64_t best = 0;
    for (int dy = -kReach; dy <= kReach; ++dy)
        for (int dx = -kReach; dx <= kReach; ++dx) {
            const int64_t more = landed_[size_t((dy + kReach) * side + dx + kReach)] -
                                 landed_[size_t((kReach - dy) * side + kReach - dx)];
            if (more > best) best = more, placeX_ = dx, placeY_ = dy;
        }
}

void crowd_shadow::noteCentres(const dib_base& weight, const crowd_blobs& blobs, const std::vector<crowd_run>& runs,
                               int minArea) {
    lone l;
    double x = 0, y = 0;
    for (int32_t b : loneSized(blobs, minArea))
        if (measure(weight, blobs, runs, b, l, x, y)) shiftX_ += l.wx - l.x, shiftY_ += l.wy - l.y, ++shifts_;
}

void crowd_shadow::note(const dib_base& weight, const crowd_blobs& blobs, const std::vector<crowd_run>& runs,
                        int minArea, double floor) {
    std::vector<lone> lones;
    double sx = 0, sy = 0, sn = 0, x = 0, y = 0, lopsided = 0;
    lone l;
    for (int32_t b : loneSized(blobs, minArea)) {
        if (!measure(weight, blobs, runs, b, l, x, y) || !l.faint) continue;
        lones.push_back(std::move(l)), sx += x, sy += y, sn += std::hypot(x, y);
    }
    if (lones.size() < kLeastLone) return;
    if (found_ && placings_ < kLeastPlacings) notePlace(lones);
    // Over the whole run: the light stays, while a few large animals bending their bodies
    // wander any way over a second.
    dx_ += sx, dy_ += sy, dn_ += sn, lones_ += double(lones.size()), ++frames_;
    const double ox = dx_ / lones_, oy = dy_ / lones_, length = std::hypot(ox, oy);
    if (length <= 0) return;
    double kept = 1;
    cut_ = balance(lones, ox / length, oy / length, lopsided, kept) / std::max(16.0, floor);
    // Once seen, a shadow is held through the frames where few animals show it.
    const double hold = found_ ? 0.5 : 1;
    const double aligned = length * lones_ / std::max(1e-9, dn_);
    found_ = frames_ >= kFrames && length >= hold * kOffset && lopsided >= hold * kLopsided &&
             aligned >= hold * kAligned && kept >= kBodyKept;
}
