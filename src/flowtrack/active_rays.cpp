#include "flowtrack/active_rays.h"

#include <cmath>

namespace {
const int passes = 8;
const int margin = 10;  // samples nearer the border read as white
const double edgeWeight = 10.0;
const double tensionWeight = 0.4;
const double curvatureWeight = 0.4;
const int sizeWeight = 5;

void fitRegion(int W, int H, const uint8_t* plane, MRegion& region, int threshold, int N) {
    float* rays = region.rays;
    double mean = 0.0;
    for (int k = 0; k < N; ++k) mean += rays[k];
    mean /= N;

    for (int pass = 0; pass < passes; ++pass) {
        // Ray 0 is visited first and again last.
        for (int k = 0; k <= N; ++k) {
            const int j = k % N;
            const double rp = rays[(k - 1 + N) % N];
            const double rn = rays[(k + 1) % N];
            double r = rays[j];
            if (r <= 5.0) {
                r = 6.0;
                rays[j] = 6.0f;
            }
            double beta = 0.0, alpha = 0.0;
            if (region.occluded[j] == 0) {
                beta = edgeWeight;
                alpha = tensionWeight;
                // Uncovered rays are rebuilt from a small radius every frame.
                if (pass == 0) r = 6.0;
            }

            const double theta = rayAngle(k, N);
            const double c = std::cos(theta), s = std::sin(theta);
            int g[11];
            for (int t = -5; t <= 5; ++t) {
                const double rho = r + t;
                const int x = int(std::trunc(region.cx + rho * c));
                const int y = int(std::trunc(region.cy + rho * s));
                const bool inside = x >= margin && x <= W - margin && y >= margin && y <= H - margin;
                g[t + 5] = inside ? plane[size_t(y) * size_t(W) + size_t(x)] : 255;
            }

            const int z = mean > 20.0 ? 1 : (mean < 10.0 ? -1 : 0);
            float best = 1000000.0f;  // the running minimum is kept in single precision
            int bestT = 0;
            for (int t = -4; t <= 3; ++t) {
                const double rho = r + t;
                const int sign = g[t + 5] > threshold ? 1 : (g[t + 5] < threshold ? -1 : 0);
                const double tension = rho - rp;
                const double curvature = rp + rn - 2.0 * rho;
                const double e = beta * sign * (t + 100) + sizeWeight * z * (t + 100) +
                                 alpha * tension * tension + curvatureWeight * curvature * curvature;
                if (e < best) {
                    best = float(e);
                    bestT = t;
                }
            }
            const double moved = r + bestT;
            mean += (moved - rays[j]) / N;
            rays[j] = float(moved);
        }
    }
}
}  // namespace

void activeRays(int W, int H, const uint8_t* plane, MList& list, int threshold, int N) {
    for (list.rewind(); list.more();) fitRegion(W, H, plane, *static_cast<MRegion*>(list.take()), threshold, N);
}

void recentre(MList& list, int N) {
    int32_t xs[MaxAngles], ys[MaxAngles];
    for (list.rewind(); list.more();) {
        auto* region = static_cast<MRegion*>(list.take());
        int64_t sumX = 0, sumY = 0;
        for (int k = 0; k < N; ++k) {
            rayEnd(*region, k, N, xs[k], ys[k]);
            sumX += xs[k];
            sumY += ys[k];
        }
        const float mx = float(sumX) / float(N);
        const int32_t my = int32_t(sumY / N);
        const int32_t mxi = int32_t(std::trunc(mx));
        for (int k = 0; k < N; ++k) {
            const int64_t dy = ys[k] - my, dx = xs[k] - mxi;
            region->rays[k] = float(std::sqrt(double(dy * dy + dx * dx)));
        }
        region->cx = mxi;
        region->cy = my;
    }
}
