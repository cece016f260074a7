#include "flowtrack/assign.h"

#include <cmath>
#include <cstdio>

#include "flowtrack/detect.h"
#include "framework/ip_diagnostics.h"

namespace {
int64_t squaredDistance(const MRegion& a, const MRegion& b) {
    const int64_t dx = int64_t(a.cx) - b.cx, dy = int64_t(a.cy) - b.cy;
    return dx * dx + dy * dy;
}

void takeShape(MRegion& track, const MRegion& detection, int N) {
    track.cx = detection.cx;
    track.cy = detection.cy;
    for (int k = 0; k < N; ++k) track.rays[k] = detection.rays[k];
}
}  // namespace

bool checkSingle(MList& tracks, MList& D, int n, int N) {
    if (tracks.count == 0 || n == 0 || D.count == 0) return false;
    auto* track = static_cast<MRegion*>(tracks.head);
    const float m = meanRadius(*track, N);

    const MRegion* nearest = nullptr;
    if (n == 1) {
        nearest = static_cast<const MRegion*>(D.head);
    } else {
        int64_t best = 1000000000;
        for (D.rewind(); D.more();) {
            auto* detection = static_cast<const MRegion*>(D.take());
            const int64_t d2 = squaredDistance(*track, *detection);
            if (d2 < best) {
                best = d2;
                nearest = detection;
            }
        }
        if (!nearest || best >= 400) return false;
    }

    const int64_t d2 = squaredDistance(*track, *nearest);
    const float A = float(nearest->area);
    const float e = 3.0f * m * m;  // area of the track, roughly
    const float ratio = e < A ? e / A : A / e;
    if (2.0f * m * m > float(d2) && ratio > 0.1) return true;
    if (nearest->area >= 10) {
        takeShape(*track, *nearest, N);
        return true;
    }
    return false;
}

namespace {
constexpr int maxItems = 5;

struct Tables {
    int K = 0, P = 0;
    MRegion* det[maxItems] = {};
    MRegion* trk[maxItems] = {};
    float detX[maxItems] = {}, detY[maxItems] = {};
    uint32_t area[maxItems] = {};
    int mult[maxItems] = {}, assigned[maxItems] = {}, order[maxItems] = {};
    float trkX[maxItems] = {}, trkY[maxItems] = {}, radius[maxItems] = {};
    int nearest[maxItems] = {};
    float dist[maxItems] = {};

    float trackToDetection(int j, int i) const {
        const float dx = trkX[j] - detX[i], dy = trkY[j] - detY[i];
        return dx * dx + dy * dy;
    }
    float detectionToDetection(int k, int i) const {
        const float dx = detX[k] - detX[i], dy = detY[k] - detY[i];
        return dx * dx + dy * dy;
    }
};

void reinitialise(Tables& t, int j, int i, int frame, int N) {
    ip_diagOut("frame %3d, Reinicijalizacija %d s %d \n ", frame, j, i);
    takeShape(*t.trk[j], *t.det[i], N);
    t.trkX[j] = float(t.trk[j]->cx);
    t.trkY[j] = float(t.trk[j]->cy);
    t.radius[j] = meanRadius(*t.trk[j], N);
    t.dist[j] = 0.0f;
    t.nearest[j] = i;
    t.assigned[i] += 1;
}
}  // namespace

int assignObjects(MList& tracks, MList& D, int noP, int noK, int frame, int N) {
    raysFromContour(D, N);
    Tables t;

    for (D.rewind(); D.more();) {
        auto* detection = static_cast<MRegion*>(D.take());
        if (t.K == maxItems) {
            ip_diagErr("Object overflow ! \n");
            break;
        }
        t.det[t.K] = detection;
        t.detX[t.K] = float(detection->cx);
        t.detY[t.K] = float(detection->cy);
        t.area[t.K] = detection->area;
        ++t.K;
    }
    if (noK != t.K) ip_diagErr("! noK != iK  : %d %d\n", noK, t.K);

    for (tracks.rewind(); tracks.more();) {
        auto* track = static_cast<MRegion*>(tracks.take());
        if (t.P == maxItems) {
            ip_diagErr("Object overflow ! \n");
            break;
        }
        t.trk[t.P] = track;
        t.trkX[t.P] = float(track->cx);
        t.trkY[t.P] = float(track->cy);
        t.radius[t.P] = meanRadius(*track, N);
        ++t.P;
    }
    if (noP != t.P) ip_diagErr("! noP != iP : %d %d \n", noP, t.P);
    const int K = t.K, P = t.P;

    // Largest area first; equal areas keep list order.
    for (int i = 0; i < K; ++i) t.order[i] = i;
    for (int a = 0; a < K; ++a)
        for (int b = 0; b + 1 < K - a; ++b)
            if (t.area[t.order[b + 1]] > t.area[t.order[b]]) {
                const int keep = t.order[b];
                t.order[b] = t.order[b + 1];
                t.order[b + 1] = keep;
            }

    // Merged objects form one larger blob that should hold several tracks. A rule that
    // names a detection which does not exist has nothing to act on.
    for (int i = 0; i < K; ++i) t.mult[i] = 1;
    const int delta = P - K;
    if (delta >= -2 && delta <= 0) {
    } else if (delta == 1) {
        if (K >= 1) t.mult[t.order[0]] = 2;
    } else if (delta == 2) {
        if (K >= 2) {
            if (t.area[t.order[0]] > 2 * uint64_t(t.area[t.order[1]])) {
                t.mult[t.order[0]] = 3;
            } else {
                t.mult[t.order[0]] = 2;
                t.mult[t.order[1]] = 2;
            }
        }
    } else if (delta == 3) {
        if (K >= 1) t.mult[t.order[0]] = 4;
    } else {
        ip_diagErr("Nesto ne stima u provjeri uvisestrucenosti objekata : (noP-noK) = %d \n", delta);
    }

    // Without a detection there is nothing to claim or to move onto.
    if (K == 0) return 0;

    for (int j = 0; j < P; ++j) {
        float best = 10000.0f;
        int index = 0;
        for (int i = 0; i < K; ++i) {
            const float d2 = t.trackToDetection(j, i);
            if (d2 < best) {
                best = d2;
                index = i;
            }
        }
        t.nearest[j] = index;
        t.dist[j] = std::sqrt(best);
        if (t.dist[j] < float(26 * t.mult[index])) t.assigned[index] += 1;
    }

    int moved = 0;
    for (int i = 0; i < K; ++i) {
        if (t.assigned[i] != 0) continue;
        if (K > P && t.area[i] < 400) continue;
        ip_diagOut("frame %3d: Nepridijeljeno podru\xE8je: %d \n", frame, i);

        // A track that shrank to nothing away from every detection.
        int collapsed = -1;
        float best = 1000000.0f;
        for (int j = 0; j < P; ++j) {
            if (!(t.radius[j] < 5.0f && t.dist[j] > 20.0f)) continue;
            const float d2 = t.trackToDetection(j, i);
            if (d2 < best) {
                best = d2;
                collapsed = j;
            }
        }
        if (collapsed >= 0) {
            reinitialise(t, collapsed, i, frame, N);
            ++moved;
            continue;
        }

        // A detection holding more tracks than it should gives one away.
        int surplus = -1;
        best = 1000000.0f;
        for (int k = 0; k < K; ++k) {
            if (!(t.mult[k] < t.assigned[k])) continue;
            const float d2 = t.detectionToDetection(k, i);
            if (d2 < best) {
                best = d2;
                surplus = k;
            }
        }
        if (surplus < 0) {
            ip_diagOut("Nisam nasao rjesenje za nepridijeljeni objekt %d .\n ", i);
            continue;
        }
        int donor = -1;
        best = 1000000.0f;
        for (int j = 0; j < P; ++j) {
            if (t.nearest[j] != surplus) continue;
            const float d2 = t.trackToDetection(j, i);
            if (d2 < best) {
                best = d2;
                donor = j;
            }
        }
        if (donor >= 0) {
            reinitialise(t, donor, i, frame, N);
            ++moved;
            t.assigned[surplus] -= 1;
        } else {
            ip_diagErr("Nepredvidjeni dogadjaj !? \n ");
        }
    }
    return moved;
}
