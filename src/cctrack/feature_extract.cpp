#include "cctrack/feature_extract.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "cctrack/loop_finder.h"

namespace alg {

feature_extract::~feature_extract() = default;

feature_extract_c::feature_extract_c(int width, int height, int border, bool extractRegions)
    : width_(width), height_(height), border_(border), extractRegions_(extractRegions) {}

void feature_extract_c::extract(const chain_list& chains) {
    beginFrame();
    point_lists openChains;
    for (size_t i = 0; i < chains.size(); ++i) addChain(chains[i].points, int(i), openChains);
    if (extractRegions_) {
        const point_lists outlines = joinOpenChains(openChains);
        point_lists scratch;
        for (size_t j = 0; j < outlines.size(); ++j) addChain(outlines[j], int(j), scratch);
    }
    endFrame();
}

namespace {

int64_t squaredDistance(int64_t ax, int64_t ay, int64_t bx, int64_t by) {
    return (ax - bx) * (ax - bx) + (ay - by) * (ay - by);
}

int64_t squaredDistance(const chain_point& a, const chain_point& b) { return squaredDistance(a.x, a.y, b.x, b.y); }

struct centre {
    int64_t x, y;
};

centre centreOf(const std::vector<chain_point>& c) {
    const size_t n = c.size();
    const chain_point& a = c[0];
    const chain_point& b = c[n / 3];
    const chain_point& d = c[(2 * n) / 3];
    const chain_point& e = c[n - 1];
    return {(int64_t(a.x) + b.x + d.x + e.x + 2) / 4, (int64_t(a.y) + b.y + d.y + e.y + 2) / 4};
}

// Nearest point of `chain` to p: its index and squared distance (first of equals).
size_t nearest(const std::vector<chain_point>& chain, const chain_point& p, int64_t& dist) {
    size_t best = 0;
    dist = std::numeric_limits<int64_t>::max();
    for (size_t k = 0; k < chain.size(); ++k) {
        const int64_t d = squaredDistance(chain[k], p);
        if (d < dist) {
            dist = d;
            best = k;
        }
    }
    return best;
}

}  // namespace

point_lists feature_extract_c::joinOpenChains(const point_lists& openChains) const {
    point_lists outlines;
    std::vector<centre> centres;
    centres.reserve(openChains.size());
    for (const auto& c : openChains) centres.push_back(c.empty() ? centre{0, 0} : centreOf(c));

    // Distance of p from the nearest image edge, counting x and y folded separately.
    auto edgeDistance = [this](const chain_point& p) {
        const int64_t fx = p.x > width_ / 2 ? int64_t(width_) - p.x : int64_t(p.x);
        const int64_t fy = p.y > height_ / 2 ? int64_t(height_) - p.y : int64_t(p.y);
        return fx < fy ? fx : fy;
    };
    const int64_t intMax = std::numeric_limits<int32_t>::max();

    for (size_t i = 0; i < openChains.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            const auto& ci = openChains[i];
            const auto& cj = openChains[j];
            if (ci.empty() || cj.empty()) continue;
            const int64_t longest = int64_t(std::max(ci.size(), cj.size()));
            if (squaredDistance(centres[i].x, centres[i].y, centres[j].x, centres[j].y) > longest * longest / 4)
                continue;
            const bool jShorter = cj.size() <= ci.size();
            const auto& s = jShorter ? cj : ci;
            const auto& l = jShorter ? ci : cj;
            const centre& sc = jShorter ? centres[j] : centres[i];
            const int64_t ns = int64_t(s.size()), nl = int64_t(l.size());

            // The shorter chain must not have been cut open by the image edge.
            const int64_t g = std::min<int64_t>(squaredDistance(s.front(), s.back()), 100);
            const int64_t mf = edgeDistance(s.front()) - border_;
            const int64_t ml = edgeDistance(s.back()) - border_;
            if (!(mf * mf > g && ml * ml > g)) continue;
            if (ns > width_ / 2 || ns < 10) continue;

            int64_t da = 0, db = 0;
            const size_t a = nearest(l, s.front(), da);
            const size_t b = nearest(l, s.back(), db);
            const int64_t dmin = std::min(da, db);
            if (dmin > ns * ns / 16 || dmin > 100) continue;

            std::vector<chain_point> outline;
            outline.reserve(s.size() + l.size());
            int64_t c = 0;
            if (da < db) {
                outline.assign(s.rbegin(), s.rend());
                c = int64_t(a);
            } else {
                outline.assign(s.begin(), s.end());
                c = int64_t(b);
            }
            const int64_t step = std::max<int64_t>(std::min(c / 2, (nl - c) / 2), 10);
            const int64_t dF =
                c + step < nl ? squaredDistance(sc.x, sc.y, l[size_t(c + step)].x, l[size_t(c + step)].y) : intMax;
            const int64_t dB =
                c - step >= 0 ? squaredDistance(sc.x, sc.y, l[size_t(c - step)].x, l[size_t(c - step)].y) : intMax;
            if (dF >= dB) {
                for (int64_t k = c; k >= 0; --k) outline.push_back(l[size_t(k)]);
            } else {
                for (int64_t k = c; k < nl; ++k) outline.push_back(l[size_t(k)]);
            }
            outlines.push_back(std::move(outline));
        }
    }
    return outlines;
}

feature_extract_c* feature_extract_c::create(int width, int height, int border, bool extractRegions, const char* id) {
    if (id && std::strcmp(id, "loop") != 0) throw "alg::feature_extract_c::create - got unknown id";
    return new feature_extract_c_t<feature_loop>(width, height, border, extractRegions);
}

}  // namespace alg

template <class F>
feature_extract_c_t<F>::feature_extract_c_t(int width, int height, int border, bool extractRegions)
    : feature_extract_c(width, height, border, extractRegions) {
    features_.reserve(size_t(4 * capacity_));
}

template <class F>
void feature_extract_c_t<F>::draw(ip_overlay* overlay) const {
    for (size_t j = 0; j < features_.size(); ++j)
        if (!features_[j].isEmpty()) features_[j].drawLabelled(int(j), false, overlay);
}

template <class F>
void feature_extract_c_t<F>::drawDetailed(ip_overlay* overlay) const {
    for (size_t j = 0; j < features_.size(); ++j) features_[j].drawDetailed(int(j), false, overlay);
}

template <>
const char* feature_extract_c_t<alg::feature_loop>::kindName() const {
    return "loop";
}

template <class F>
void feature_extract_c_t<F>::addChain(const std::vector<chain_point>& points, int chainIndex,
                                      alg::point_lists& openChains) {
    const int n = int(points.size());
    const loop_finder finder(chainIndex, points, width_, height_, border_);
    int covered = 0;
    for (int i = 0; i < n;) {
        F f;
        i = finder.next(i, f);
        if (!f.isEmpty()) {
            covered += f.pointCount();
            features_.push_back(std::move(f));
        }
    }
    if (covered < n / 2) openChains.push_back(points);
}

template <class F>
void feature_extract_c_t<F>::endFrame() {
    std::stable_sort(features_.begin(), features_.end(),
                     [](const F& a, const F& b) { return a.meanStrength() > b.meanStrength(); });
    if (features_.size() > size_t(capacity_)) features_.erase(features_.begin() + capacity_, features_.end());
}

template class feature_extract_c_t<alg::feature_loop>;
