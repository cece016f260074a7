#include "cctrack/feature_track.h"

#include <cstdio>
#include <cstring>

#include "framework/ip_window.h"

namespace alg {

feature_track::~feature_track() = default;

}  // namespace alg

template <class F>
feature_track_t<F>::feature_track_t()
    : frames_(size_t(historyLength_), std::vector<F>(size_t(trackCount_))) {}

template <class F>
alg::feature_track* feature_track_t<F>::create(const char* id) {
    if (id && std::strcmp(id, "loop") != 0) throw "feature_track_t::create - got unknown id";
    return new feature_track_t<alg::feature_loop>();
}

template <class F>
const char* feature_track_t<F>::kindName() const {
    return "loop";
}

template <class F>
void feature_track_t<F>::reset() {
    for (auto& frame : frames_)
        for (F& f : frame) f.clear();
    current_ = 0;
}

template <class F>
const alg::feature* feature_track_t<F>::currentFeature(int i) const {
    if (i < 0 || i >= trackCount_ || !present(0, i)) return nullptr;
    return &at(0, i);
}

template <class F>
int feature_track_t<F>::appearances(int i) const {
    int n = 0;
    for (int a = 0; a < historyLength_; ++a)
        if (present(a, i)) ++n;
    return n;
}

template <class F>
void feature_track_t<F>::track(const alg::feature_extract& extractor, const chain& reference) {
    const int H = historyLength_, N = trackCount_;
    current_ = current_ + 1 == H ? 0 : current_ + 1;
    for (F& f : frames_[size_t(current_)]) f.clear();

    std::vector<int> lastSeen(size_t(N), -1);
    for (int i = 0; i < N; ++i)
        for (int a = 1; a < H; ++a)
            if (present(a, i)) {
                lastSeen[size_t(i)] = a;
                break;
            }

    const int M = extractor.count();
    std::vector<const F*> found(static_cast<size_t>(M));
    for (int j = 0; j < M; ++j) found[size_t(j)] = &F::cast(extractor.feature(j));

    std::vector<float> cost(size_t(N) * size_t(M), costLimit_);
    auto costOf = [&](int i, int j) -> float& { return cost[size_t(i) * size_t(M) + size_t(j)]; };
    for (int i = 0; i < N; ++i) {
        const int a = lastSeen[size_t(i)];
        if (a < 1) continue;
        const F& o = at(a, i);
        for (int j = 0; j < M; ++j) {
            const F& n = *found[size_t(j)];
            costOf(i, j) = float(n.positionCost(o, a) + (a / 2 + 1) * 0.01 * n.dissimilarity(o));
        }
    }

    std::vector<bool> matched(size_t(N), false), used(size_t(M), false);
    for (;;) {
        float best = costLimit_;
        int bi = -1, bj = -1;
        for (int i = 0; i < N; ++i) {
            if (lastSeen[size_t(i)] < 1 || matched[size_t(i)]) continue;
            for (int j = 0; j < M; ++j) {
                if (used[size_t(j)]) continue;
                if (costOf(i, j) < best) {
                    best = costOf(i, j);
                    bi = i;
                    bj = j;
                }
            }
        }
        if (bi < 0) break;
        matched[size_t(bi)] = true;
        used[size_t(bj)] = true;
        const int a = lastSeen[size_t(bi)];
        const F& o = at(a, bi);
        const F& n = *found[size_t(bj)];
        const float dx = float(n.x() - o.x()) / float(a);
        const float dy = float(n.y() - o.y()) / float(a);
        const float vx = (o.vx() + dx) * 0.5f;
        const float vy = (o.vy() + dy) * 0.5f;
        F& slot = this->slot(0, bi);
        slot.assign(n);
        slot.setVelocity(vx, vy);
    }

    if (selected_ != -1 && !present(0, selected_)) selected_ = -1;

    const int K = N / 2 < M ? N / 2 : M;
    int j = 0;
    for (int i = 0; i < N; ++i) {
        if (lastSeen[size_t(i)] != -1) continue;
        while (j < K && used[size_t(j)]) ++j;
        if (j == K) break;
        F& slot = this->slot(0, i);
        slot.assign(*found[size_t(j)]);
        slot.setVelocity(0.0f, 0.0f);
        ++j;
    }

    if (selected_ != -1) return;
    const bool hasReference = !reference.points.empty() && reference.points[0].x != -1;
    if (hasReference) {
        const int columns = int(reference.points.size());
        int threshold = 2;
        for (int i = 0; i < N; ++i) {
            if (!present(0, i)) continue;
            const F& f = at(0, i);
            // Only positions inside the image have a reference point to compare with.
            if (f.x() < 0 || f.x() >= columns) continue;
            if (!(f.y() > reference.points[size_t(f.x())].y)) continue;
            const int n = appearances(i);
            if (n > threshold) {
                selected_ = i;
                threshold = n;
            }
        }
    }
    if (selected_ == -1) {
        int threshold = 3;
        for (int i = 0; i < N; ++i) {
            if (!present(0, i)) continue;
            const int n = appearances(i);
            if (n > threshold) {
                selected_ = i;
                threshold = n;
            }
        }
    }
}

template <class F>
void feature_track_t<F>::select(int x, int y) {
    constexpr int64_t reach = 1000;  // a click selects only a track nearer than this
    int64_t best = reach * reach;
    int chosen = -1;
    for (int i = 0; i < trackCount_; ++i) {
        if (!present(0, i)) continue;
        const F& f = at(0, i);
        const int64_t dx = int64_t(f.x()) - x, dy = int64_t(f.y()) - y;
        // Out of reach on either axis: also keeps the squares of a click far outside the frame
        // from overflowing.
        if (dx <= -reach || dx >= reach || dy <= -reach || dy >= reach) continue;
        const int64_t d = dx * dx + dy * dy;
        if (d < best) {
            best = d;
            chosen = i;
        }
    }
    if (chosen != -1) selected_ = chosen;
}

template <class F>
void feature_track_t<F>::annotate(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates,
                                  bool drawsContour, bool drawsHistory) const {
    draw(overlay, plain, drawsAim, drawsCoordinates, drawsContour, drawsHistory, false);
}

template <class F>
void feature_track_t<F>::annotateDetailed(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates,
                                          bool drawsContour, bool drawsHistory) const {
    draw(overlay, plain, drawsAim, drawsCoordinates, drawsContour, drawsHistory, true);
}

template <class F>
void feature_track_t<F>::draw(ip_overlay* overlay, bool plain, bool drawsAim, bool drawsCoordinates,
                              bool drawsContour, bool drawsHistory, bool detailed) const {
    const int H = historyLength_;
    for (int i = 0; i < trackCount_; ++i) {
        if (appearances(i) <= 3) continue;
        if (plain && i != selected_) continue;

        if (drawsHistory) {
            bool first = true;
            ip_point previous{0, 0};
            for (int a = H - 1; a >= 0; --a) {
                if (!present(a, i)) continue;
                const F& f = at(a, i);
                const ip_point p{f.x(), f.y()};
                if (a != 0) {
                    overlay->drawPoint(&p, -4, "", 1);
                    f.draw(i, overlay);
                }
                if (!first) {
                    const ip_segment s{previous, p};
                    overlay->drawLine(&s, -4, "", 0, 1);
                }
                first = false;
                previous = p;
            }
        }

        if (!present(0, i)) continue;
        const F& f = at(0, i);
        const ip_point p{f.x(), f.y()};
        if (i == selected_) {
            if (drawsAim) drawAim(overlay, p, 10, drawsHistory && i % 12 == 2 ? 1 : 2, 1);
            if (drawsCoordinates) {
                char text[32];
                std::snprintf(text, sizeof text, "%3d:%3d", p.x, p.y);
                const ip_point at{5, 0};
                overlay->drawText(&at, 0, text, 4);
            }
        }
        overlay->drawPoint(&p, -8, "", 1);
        if (drawsContour) {
            if (!plain) {
                if (detailed)
                    f.drawDetailed(i, i == selected_, overlay);
                else
                    f.drawLabelled(i, i == selected_, overlay);
            } else {
                f.draw(drawsHistory ? i : 0, overlay);
            }
            const ip_segment v{p, {int(p.x + f.vx() + 0.5), int(p.y + f.vy() + 0.5)}};
            overlay->drawLine(&v, -6, "", 0, 1);
        }
    }
}

template class feature_track_t<alg::feature_loop>;
