// lab_probe_tool: synthetic lab footage with exact ground truth, for finding where a tracker fails.
//
// Every animal is drawn on its own supersampled layer (premultiplied grey + opacity), so its
// true centre comes from exactly the pixels that were drawn for it, even where another
// animal lies on top. Layers are reduced to 1x and laid over a static floor; then the camera
// (blur, gain, noise) and the codec spoil the picture as a real one would.
//
//   lab_probe_tool DIR --kind zebra|ants|worms|mice|beetles|daphnia|dense_flies --seed S [--animals N]
//                  [--frames F] [--size WxH] [--codec h264|mjpeg]
//
// DIR/scene.mp4 (H.264) or DIR/scene.avi (MJPEG) at 30 frames per second; DIR/truth.csv and
// DIR/truth_coverage.csv: frame,object,x,y; DIR/options.txt: the polarity, count and arena a user
// would give the program; DIR/scene.txt: what was drawn, in words. ffmpeg must be on the PATH.
// Kept apart from crowd_scene on purpose: its animals, floors and camera are not ours.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
static constexpr double PI = 3.14159265358979323846;
static constexpr int SS = 4;  // supersampling factor per axis

// ---------------------------------------------------------------- random numbers
// Own arithmetic on top of mt19937_64 so the footage is identical on every library.
struct Rng {
    std::mt19937_64 g;
    bool haveSpare = false;
    double spare = 0;
    explicit Rng(uint64_t s) : g(s) {}
    double u() { return double(g() >> 11) * (1.0 / 9007199254740992.0); }  // [0,1)
    double uni(double a, double b) { return a + (b - a) * u(); }
    int irange(int a, int b) { return a + int(u() * (b - a + 1)); }  // inclusive
    bool chance(double p) { return u() < p; }
    double normal() {
        if (haveSpare) {
            haveSpare = false;
            return spare;
        }
        double a = u(), b = u();
        if (a < 1e-300) a = 1e-300;
        double r = std::sqrt(-2.0 * std::log(a));
        spare = r * std::sin(2 * PI * b);
        haveSpare = true;
        return r * std::cos(2 * PI * b);
    }
};

static double wrapAngle(double a) {
    while (a > PI) a -= 2 * PI;
    while (a < -PI) a += 2 * PI;
    return a;
}
static double clampd(double v, double a, double b) { return std::max(a, std::min(b, v)); }
static double smoothstep(double e0, double e1, double x) {
    double t = clampd((x - e0) / (e1 - e0), 0, 1);
    return t * t * (3 - 2 * t);
}

struct P2 {
    double x, y;
};
static P2 operator+(P2 a, P2 b) { return {a.x + b.x, a.y + b.y}; }
static P2 operator-(P2 a, P2 b) { return {a.x - b.x, a.y - b.y}; }
static P2 operator*(P2 a, double s) { return {a.x * s, a.y * s}; }
static double norm(P2 a) { return std::hypot(a.x, a.y); }
static P2 dirOf(double th) { return {std::cos(th), std::sin(th)}; }
// body frame (forward along th, left/right across) to image
static P2 bodyToImg(P2 c, double th, double fwd, double side) {
    return {c.x + fwd * std::cos(th) - side * std::sin(th), c.y + fwd * std::sin(th) + side * std::cos(th)};
}

// ---------------------------------------------------------------- drawing one animal
// Shapes are collected first so the layer can be sized to them.
struct Shape {
    enum Kind { Ell, Tube } kind;
    double cx = 0, cy = 0, ax = 0, by = 0, angDeg = 0;  // ellipse: centre, semi-axes, angle
    std::vector<P2> pts;                                // tube: spine
    std::vector<double> wid;                            // tube: full width per spine point
    double grey = 0, alpha = 1;
};

struct Figure {
    std::vector<Shape> shapes;
    void ellipse(P2 c, double ax, double by, double angRad, double grey, double alpha = 1) {
        Shape s;
        s.kind = Shape::Ell;
        s.cx = c.x;
        s.cy = c.y;
        s.ax = ax;
        s.by = by;
        s.angDeg = angRad * 180 / PI;
        s.grey = grey;
        s.alpha = alpha;
        shapes.push_back(std::move(s));
    }
    void tube(std::vector<P2> pts, std::vector<double> wid, double grey, double alpha = 1) {
        Shape s;
        s.kind = Shape::Tube;
        s.pts = std::move(pts);
        s.wid = std::move(wid);
        s.grey = grey;
        s.alpha = alpha;
        shapes.push_back(std::move(s));
    }
    void line(P2 a, P2 b, double w, double grey, double alpha = 1) { tube({a, b}, {w, w}, grey, alpha); }
};

// An animal's own layer at 1x plus its true centres.
struct Layer {
    int x0 = 0, y0 = 0;     // 1x top-left
    cv::Mat pre, alpha;     // 1x, CV_32F: premultiplied grey and opacity
    double cx = 0, cy = 0;  // contrast-weighted centre
    double gx = 0, gy = 0;  // plain coverage centre
    bool empty = true;
};

// Continuous image coordinates put pixel centres on whole numbers; in the supersampled
// grid a 1x point X sits at (X + 0.5) * SS - 0.5.
static int toFixed(double X, int origin) {  // to supersampled fixed point (shift 4), local
    double s = (X + 0.5) * SS - 0.5 - origin * SS;
    return int(std::lround(s * 16.0));
}

static Layer rasterize(const Figure& f, double floorRef, int W, int H) {
    Layer L;
    double minx = 1e9, miny = 1e9, maxx = -1e9, maxy = -1e9;
    for (auto& s : f.shapes) {
        if (s.kind == Shape::Ell) {
            double r = std::max(s.ax, s.by);
            minx = std::min(minx, s.cx - r);
            maxx = std::max(maxx, s.cx + r);
            miny = std::min(miny, s.cy - r);
            maxy = std::max(maxy, s.cy + r);
        } else {
            for (size_t i = 0; i < s.pts.size(); ++i) {
                double r = s.wid[i] / 2;
                minx = std::min(minx, s.pts[i].x - r);
                maxx = std::max(maxx, s.pts[i].x + r);
                miny = std::min(miny, s.pts[i].y - r);
                maxy = std::max(maxy, s.pts[i].y + r);
            }
        }
    }
    int x0 = std::max(0, int(std::floor(minx)) - 2), y0 = std::max(0, int(std::floor(miny)) - 2);
    int x1 = std::min(W, int(std::ceil(maxx)) + 3), y1 = std::min(H, int(std::ceil(maxy)) + 3);
    if (x1 <= x0 || y1 <= y0) return L;
    int w = x1 - x0, h = y1 - y0;
    cv::Mat A(h * SS, w * SS, CV_32F, cv::Scalar(0)), P(h * SS, w * SS, CV_32F, cv::Scalar(0));
    cv::Mat M(h * SS, w * SS, CV_8U);
    for (auto& s : f.shapes) {
        M.setTo(0);
        if (s.kind == Shape::Ell) {
            int ax = std::max(1, int(std::lround(s.ax * SS * 16))), by = std::max(1, int(std::lround(s.by * SS * 16)));
            cv::ellipse(M, cv::Point(toFixed(s.cx, x0), toFixed(s.cy, y0)), cv::Size(ax, by), s.angDeg, 0, 360,
                        cv::Scalar(255), -1, cv::LINE_8, 4);
        } else {
            // A tapered tube: a disc at every spine point and a quadrilateral between each pair.
            std::vector<cv::Point> fp(s.pts.size());
            for (size_t i = 0; i < s.pts.size(); ++i) {
                fp[i] = {toFixed(s.pts[i].x, x0), toFixed(s.pts[i].y, y0)};
                int r = std::max(1, int(std::lround(s.wid[i] / 2 * SS * 16)));
                cv::circle(M, fp[i], r, cv::Scalar(255), -1, cv::LINE_8, 4);
            }
            for (size_t i = 0; i + 1 < s.pts.size(); ++i) {
                P2 d = s.pts[i + 1] - s.pts[i];
                double n = norm(d);
                if (n < 1e-9) continue;
                P2 nn{-d.y / n, d.x / n};
                P2 a = s.pts[i] + nn * (s.wid[i] / 2), b = s.pts[i] - nn * (s.wid[i] / 2);
                P2 c = s.pts[i + 1] - nn * (s.wid[i + 1] / 2), e = s.pts[i + 1] + nn * (s.wid[i + 1] / 2);
                cv::Point q[4] = {{toFixed(a.x, x0), toFixed(a.y, y0)},
                                  {toFixed(b.x, x0), toFixed(b.y, y0)},
                                  {toFixed(c.x, x0), toFixed(c.y, y0)},
                                  {toFixed(e.x, x0), toFixed(e.y, y0)}};
                cv::fillConvexPoly(M, q, 4, cv::Scalar(255), cv::LINE_8, 4);
            }
        }
        // later shapes lie over earlier ones ("over" with premultiplied grey)
        const float a = float(s.alpha), ca = float(s.grey * s.alpha);
        for (int y = 0; y < M.rows; ++y) {
            const uint8_t* m = M.ptr<uint8_t>(y);
            float* pa = A.ptr<float>(y);
            float* pp = P.ptr<float>(y);
            for (int x = 0; x < M.cols; ++x)
                if (m[x]) {
                    pp[x] = ca + pp[x] * (1 - a);
                    pa[x] = a + pa[x] * (1 - a);
                }
        }
    }
    // truth from the same supersampled layer
    double sw = 0, sx = 0, sy = 0, cw = 0, cxs = 0, cys = 0;
    for (int y = 0; y < A.rows; ++y) {
        const float* pa = A.ptr<float>(y);
        const float* pp = P.ptr<float>(y);
        double Y = (y + 0.5) / SS - 0.5 + y0;
        for (int x = 0; x < A.cols; ++x) {
            if (pa[x] <= 0) continue;
            double X = (x + 0.5) / SS - 0.5 + x0;
            double wgt = std::fabs(pp[x] - pa[x] * floorRef);
            sw += wgt;
            sx += wgt * X;
            sy += wgt * Y;
            cw += 1;
            cxs += X;
            cys += Y;
        }
    }
    if (cw == 0) return L;
    L.empty = false;
    L.x0 = x0;
    L.y0 = y0;
    if (sw > 0) {
        L.cx = sx / sw;
        L.cy = sy / sw;
    } else {
        L.cx = cxs / cw;
        L.cy = cys / cw;
    }
    L.gx = cxs / cw;
    L.gy = cys / cw;
    cv::resize(P, L.pre, cv::Size(w, h), 0, 0, cv::INTER_AREA);
    cv::resize(A, L.alpha, cv::Size(w, h), 0, 0, cv::INTER_AREA);
    return L;
}

static void composite(cv::Mat& img, const Layer& L) {
    if (L.empty) return;
    for (int y = 0; y < L.pre.rows; ++y) {
        float* d = img.ptr<float>(y + L.y0) + L.x0;
        const float* p = L.pre.ptr<float>(y);
        const float* a = L.alpha.ptr<float>(y);
        for (int x = 0; x < L.pre.cols; ++x) d[x] = p[x] + d[x] * (1 - a[x]);
    }
}

// ---------------------------------------------------------------- arenas
struct Arena {
    bool circle = true;
    double cx = 320, cy = 240, r = 220;     // circle
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // rectangle (floor inside)
    std::string roi;                        // what a user would draw

    // Keeps p at least m inside the floor; bounces the heading off the wall.
    bool keepInside(P2& p, double& th, double m) const {
        bool hit = false;
        if (circle) {
            P2 d = p - P2{cx, cy};
            double n = norm(d), lim = r - m;
            if (n > lim && n > 1e-9) {
                P2 u = d * (1.0 / n);
                p = P2{cx, cy} + u * lim;
                P2 v = dirOf(th);
                double dn = v.x * u.x + v.y * u.y;
                if (dn > 0) {
                    v = v - u * (2 * dn);
                    th = std::atan2(v.y, v.x);
                }
                hit = true;
            }
        } else {
            P2 v = dirOf(th);
            if (p.x < x0 + m) {
                p.x = x0 + m;
                if (v.x < 0) v.x = -v.x;
                hit = true;
            }
            if (p.x > x1 - m) {
                p.x = x1 - m;
                if (v.x > 0) v.x = -v.x;
                hit = true;
            }
            if (p.y < y0 + m) {
                p.y = y0 + m;
                if (v.y < 0) v.y = -v.y;
                hit = true;
            }
            if (p.y > y1 - m) {
                p.y = y1 - m;
                if (v.y > 0) v.y = -v.y;
                hit = true;
            }
            if (hit) th = std::atan2(v.y, v.x);
        }
        return hit;
    }
    // how far p lies inside the floor's edge (negative outside)
    double inside(P2 p) const {
        if (circle) return r - norm(p - P2{cx, cy});
        return std::min(std::min(p.x - x0, x1 - p.x), std::min(p.y - y0, y1 - p.y));
    }
    P2 randomPoint(Rng& R, double m) const {
        for (;;) {
            P2 p{R.uni(0, 2000), R.uni(0, 2000)};
            if (circle)
                p = {cx + R.uni(-r, r), cy + R.uni(-r, r)};
            else
                p = {R.uni(x0, x1), R.uni(y0, y1)};
            if (inside(p) >= m) return p;
        }
    }
    // steer away when coming close to the wall, so bounces are the exception
    double wallSteer(P2 p, double th, double m, double look) const {
        P2 ahead = p + dirOf(th) * look;
        if (inside(ahead) >= m) return 0;
        P2 inward;
        if (circle)
            inward = P2{cx, cy} - p;
        else
            inward = P2{(x0 + x1) / 2, (y0 + y1) / 2} - p;
        double want = std::atan2(inward.y, inward.x);
        return wrapAngle(want - th);
    }
};

// Smooth random field: a handful of cosines, for uneven light and slow textures.
struct Field {
    struct Wave {
        double kx, ky, ph, amp;
    };
    std::vector<Wave> w;
    Field(Rng& R, int n, double minL, double maxL) {
        for (int i = 0; i < n; ++i) {
            double L = R.uni(minL, maxL), a = R.uni(0, 2 * PI);
            w.push_back(
                {2 * PI / L * std::cos(a), 2 * PI / L * std::sin(a), R.uni(0, 2 * PI), 1.0 / std::sqrt(double(n))});
        }
    }
    double at(double x, double y) const {
        double s = 0;
        for (auto& v : w) s += v.amp * std::cos(v.kx * x + v.ky * y + v.ph);
        return s;
    }
};

// fine grain: white noise smoothed a little
static cv::Mat grain(Rng& R, int W, int H, double sigmaPx, double amp) {
    cv::Mat n(H, W, CV_32F);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) n.at<float>(y, x) = float(R.normal());
    if (sigmaPx > 0) cv::GaussianBlur(n, n, cv::Size(0, 0), sigmaPx);
    cv::Scalar m, sd;
    cv::meanStdDev(n, m, sd);
    n = (n - m[0]) * (amp / std::max(1e-9, sd[0]));
    return n;
}

// soft round blob added to a float image (grey delta at the centre, Gaussian profile)
static void softBlob(cv::Mat& img, P2 c, double sigma, double delta) {
    int r = int(std::ceil(3 * sigma));
    for (int y = std::max(0, int(c.y) - r); y <= std::min(img.rows - 1, int(c.y) + r); ++y)
        for (int x = std::max(0, int(c.x) - r); x <= std::min(img.cols - 1, int(c.x) + r); ++x) {
            double d2 = (x - c.x) * (x - c.x) + (y - c.y) * (y - c.y);
            img.at<float>(y, x) += float(delta * std::exp(-d2 / (2 * sigma * sigma)));
        }
}

// ---------------------------------------------------------------- scenes
// std::hash may differ between libraries; the footage must not.
static uint64_t fnv(const std::string& s) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

struct Options {
    std::string out, kind, codec;
    uint64_t seed = 1;
    int animals = -1, frames = 300, W = 640, H = 480;
};

struct Scene {
    Options o;
    Rng R;
    Arena arena;
    cv::Mat floor;          // static floor, float grey
    double floorRef = 200;  // the grey the animals' contrast is measured against
    int polarity = 0;
    int n = 0;
    double noiseSigma = 3;
    double blurSigma = 0.7;
    std::string words;
    explicit Scene(const Options& op) : o(op), R(op.seed * 0x9E3779B97F4A7C15ULL + fnv(op.kind)) {}
    virtual ~Scene() = default;
    virtual void setup() = 0;
    virtual void step(int t) = 0;           // move everyone to frame t
    virtual Figure draw(int i, int t) = 0;  // animal i as it looks now
    virtual void overlay(cv::Mat&, int) {}  // things that are not animals
    virtual void behind(cv::Mat&, int) {}   // drawn before the animals
    virtual double gain(int) { return 1.0; }
    int count(int lo, int hi) { return o.animals > 0 ? o.animals : R.irange(lo, hi); }

    // round dish: light floor, a wall ring, darker ground beyond
    void roundDish(double cx, double cy, double r, double wallW, double wallGrey, double outside,
                   const std::function<double(double, double)>& floorAt) {
        arena.circle = true;
        arena.cx = cx;
        arena.cy = cy;
        arena.r = r;
        floor.create(o.H, o.W, CV_32F);
        for (int y = 0; y < o.H; ++y)
            for (int x = 0; x < o.W; ++x) {
                double d = std::hypot(x - cx, y - cy);
                double f = floorAt(x, y);
                double tWall = smoothstep(r - 0.7, r + 0.7, d);
                double tOut = smoothstep(r + wallW - 0.7, r + wallW + 0.7, d);
                double v = f * (1 - tWall) + wallGrey * (tWall - tOut) + outside * tOut;
                floor.at<float>(y, x) = float(v);
            }
        std::ostringstream s;
        s << "circle:" << int(std::lround(cx)) << "," << int(std::lround(cy)) << "," << int(std::lround(r + wallW / 2));
        arena.roi = s.str();
    }
    void rectBox(double x0, double y0, double x1, double y1, double wallW, double wallGrey, double outside,
                 const std::function<double(double, double)>& floorAt, bool wallInside) {
        // wallInside: the rim lies on the floor side of the drawn edge (a dark rim of a box)
        arena.circle = false;
        double fx0 = x0, fy0 = y0, fx1 = x1, fy1 = y1;
        if (wallInside) {
            fx0 += wallW;
            fy0 += wallW;
            fx1 -= wallW;
            fy1 -= wallW;
        }
        arena.x0 = fx0;
        arena.y0 = fy0;
        arena.x1 = fx1;
        arena.y1 = fy1;
        floor.create(o.H, o.W, CV_32F);
        for (int y = 0; y < o.H; ++y)
            for (int x = 0; x < o.W; ++x) {
                double din = std::min(std::min(x - fx0, fx1 - x), std::min(y - fy0, fy1 - y));
                double f = floorAt(x, y);
                double tWall = smoothstep(0.7, -0.7, din);
                double tOut = smoothstep(-wallW + 0.7, -wallW - 0.7, din);
                floor.at<float>(y, x) = float(f * (1 - tWall) + wallGrey * (tWall - tOut) + outside * tOut);
            }
        std::ostringstream s;
        if (wallInside)
            s << "rect:" << int(std::lround(x0)) << "," << int(std::lround(y0)) << "," << int(std::lround(x1 - x0))
              << "," << int(std::lround(y1 - y0));
        else
            s << "rect:" << int(std::lround(fx0 - wallW / 2)) << "," << int(std::lround(fy0 - wallW / 2)) << ","
              << int(std::lround(fx1 - fx0 + wallW)) << "," << int(std::lround(fy1 - fy0 + wallW));
        arena.roi = s.str();
    }
};

// pushes overlapping animals apart; positions and headings by reference
static void separate(std::vector<P2*>& pos, double dmin, const std::vector<bool>* frozen = nullptr) {
    for (size_t i = 0; i < pos.size(); ++i)
        for (size_t j = i + 1; j < pos.size(); ++j) {
            P2 d = *pos[j] - *pos[i];
            double n = norm(d);
            if (n >= dmin || n < 1e-9) continue;
            P2 u = d * (1.0 / n);
            double push = (dmin - n);
            bool fi = frozen && (*frozen)[i], fj = frozen && (*frozen)[j];
            if (fi && fj) continue;
            if (fi)
                *pos[j] = *pos[j] + u * push;
            else if (fj)
                *pos[i] = *pos[i] - u * push;
            else {
                *pos[i] = *pos[i] - u * (push / 2);
                *pos[j] = *pos[j] + u * (push / 2);
            }
        }
}

// ---------------------------------------------------------------- zebrafish larvae
struct Zebra : Scene {
    struct A {
        P2 c;
        double th, v = 0, len, beatPh = 0, beatAmp = 0, bend = 0;
        int still, burst = 0;
    };
    std::vector<A> a;
    using Scene::Scene;
    void setup() override {
        n = count(10, 20);
        floorRef = 205;
        Field light(R, 5, 500, 1500);
        roundDish(320, 240, 222, 5, 150, 115, [&](double x, double y) { return 205 + 5 * light.at(x, y); });
        for (int i = 0; i < n; ++i) {
            A z;
            z.len = R.uni(27, 33);
            z.c = arena.randomPoint(R, z.len / 2 + 6);
            z.th = R.uni(-PI, PI);
            z.still = R.irange(0, 40);
            z.bend = R.uni(-0.3, 0.3);
            a.push_back(z);
        }
        words = std::to_string(n) +
                " zebrafish larvae (length 27-33 px) seen from above in a round dish on a light "
                "backlit floor (grey ~205). Bodies are translucent (about 18 grey levels darker than the floor); only "
                "the two eyes and the swim bladder are dark (85-95 below the floor). They rest for 10-40 frames, then "
                "dart at 5-15 px/frame for 3-7 frames with the tail beating, turning up to 100 degrees at the start.";
    }
    void step(int) override {
        for (auto& z : a) {
            if (z.burst > 0) {
                z.burst--;
                z.beatPh += 1.9;
                z.beatAmp = 0.55;
                z.v *= 0.8;
                if (z.burst == 0) {
                    z.v = 0;
                    z.still = R.irange(10, 40);
                }
            } else if (z.still > 0) {
                z.still--;
                z.beatAmp *= 0.7;
                z.v = 0;
            } else {
                z.burst = R.irange(3, 7);
                z.v = R.uni(7, 15);
                double turn = R.uni(-1.75, 1.75);
                z.th = wrapAngle(z.th + turn);
                z.bend = -turn * 0.25;
            }
            z.bend *= 0.85;
            z.c = z.c + dirOf(z.th) * z.v;
            arena.keepInside(z.c, z.th, z.len / 2 + 4);
        }
    }
    Figure draw(int i, int) override {
        auto& z = a[i];
        // spine from head to tail; a beat travelling to the tail, larger towards it
        const int N = 12;
        std::vector<P2> sp(N);
        std::vector<double> wd(N);
        double head = z.len * 0.45;  // centre of the spine lies a little behind the eyes
        P2 p = bodyToImg(z.c, z.th, head, 0);
        double ang = z.th + PI;
        sp[0] = p;
        double ds = z.len / (N - 1);
        for (int k = 1; k < N; ++k) {
            double s = double(k) / (N - 1);
            double curv = z.bend * 0.3 + z.beatAmp * 0.45 * s * std::sin(z.beatPh - 5.0 * s);
            ang += curv * 0.5;
            p = p + dirOf(ang) * ds;
            sp[k] = p;
        }
        for (int k = 0; k < N; ++k) {
            double s = double(k) / (N - 1);
            wd[k] = s < 0.15 ? 3.6 + s * 4 : 4.2 * (1 - s) + 0.8;
        }
        Figure f;
        f.tube(sp, wd, 60, 0.13);                           // translucent body
        f.tube({sp[7], sp[N - 1]}, {2.6, 2.0}, 230, 0.08);  // fin fold, slightly lighter
        double th = std::atan2(sp[0].y - sp[2].y, sp[0].x - sp[2].x);
        P2 eyeC = sp[0] - dirOf(th) * 1.6;
        f.ellipse(bodyToImg(eyeC, th, 0, 1.9), 1.6, 1.15, th, 115, 0.95);
        f.ellipse(bodyToImg(eyeC, th, 0, -1.9), 1.6, 1.15, th, 115, 0.95);
        f.ellipse(sp[3] + (sp[4] - sp[3]) * 0.3, 2.1, 1.5, th, 118, 0.9);  // swim bladder
        return f;
    }
};

// ---------------------------------------------------------------- ants
struct Ants : Scene {
    struct A {
        P2 c;
        double th, v, len, gait = 0, omega;
        int pause = 0, target = -1, cooldown = 0;
    };
    std::vector<A> a;
    cv::Mat sand;
    using Scene::Scene;
    void setup() override {
        n = count(20, 40);
        floorRef = 188;
        o.W = std::max(o.W, 1);
        cv::Mat g1 = grain(R, o.W, o.H, 0.6, 7), g2 = grain(R, o.W, o.H, 2.5, 4);
        rectBox(
            30, 25, o.W - 30, o.H - 25, 9, 110, 80,
            [&](double x, double y) { return 188 + g1.at<float>(int(y), int(x)) + g2.at<float>(int(y), int(x)); },
            true);
        // scattered darker and lighter grains of sand
        for (int k = 0; k < 1500; ++k) {
            P2 p = arena.randomPoint(R, 1);
            softBlob(floor, p, R.uni(0.5, 1.1), R.chance(0.6) ? -R.uni(12, 30) : R.uni(8, 20));
        }
        for (int i = 0; i < n; ++i) {
            A z;
            z.len = R.uni(14, 18);
            z.c = arena.randomPoint(R, 20);
            z.th = R.uni(-PI, PI);
            z.v = R.uni(1, 3);
            z.omega = 0;
            a.push_back(z);
        }
        words =
            std::to_string(n) +
            " dark ants (14-18 px; head, thorax, abdomen joined by a 1.5 px waist, six "
            "thin legs, antennae) on a light sand floor with static grain, inside a rectangular box whose dark rim "
            "(9 px) lies inside the drawn rectangle. They walk 1-3 px/frame with wandering headings, often head for "
            "a neighbour and stop head to head for 5-25 frames, then turn away.";
    }
    void step(int) override {
        for (size_t i = 0; i < a.size(); ++i) {
            auto& z = a[i];
            if (z.cooldown > 0) z.cooldown--;
            if (z.pause > 0) {
                z.pause--;
                z.th += R.uni(-0.05, 0.05);
                if (z.pause == 0) {
                    z.th = wrapAngle(z.th + R.uni(2.0, 4.3));
                    z.target = -1;
                    z.cooldown = 40;
                }
                continue;
            }
            if (z.target < 0 && z.cooldown == 0 && R.chance(0.02)) {
                // pick the nearest ant to go and meet
                double best = 150;
                int bi = -1;
                for (size_t j = 0; j < a.size(); ++j)
                    if (j != i) {
                        double d = norm(a[j].c - z.c);
                        if (d < best) {
                            best = d;
                            bi = int(j);
                        }
                    }
                z.target = bi;
            }
            z.omega = z.omega * 0.8 + R.normal() * 0.06;
            double dth = z.omega;
            if (z.target >= 0) {
                auto& o2 = a[z.target];
                P2 d = o2.c - z.c;
                double want = std::atan2(d.y, d.x);
                dth += clampd(wrapAngle(want - z.th), -0.3, 0.3);
                P2 myHead = bodyToImg(z.c, z.th, z.len * 0.5, 0), itsHead = bodyToImg(o2.c, o2.th, o2.len * 0.5, 0);
                if (norm(myHead - itsHead) < 5 || norm(d) < z.len * 0.8) {
                    z.pause = R.irange(5, 25);
                    if (o2.pause == 0) {
                        o2.pause = z.pause;
                        o2.th = wrapAngle(std::atan2(-d.y, -d.x) + R.uni(-0.3, 0.3));
                    }
                    continue;
                }
                if (norm(d) > 200) z.target = -1;
            }
            dth += 0.25 * arena.wallSteer(z.c, z.th, z.len / 2 + 6, 12);
            z.th = wrapAngle(z.th + dth);
            z.v = clampd(z.v + R.normal() * 0.2, 1, 3);
            z.c = z.c + dirOf(z.th) * z.v;
            z.gait += z.v * 0.45;
            arena.keepInside(z.c, z.th, z.len / 2 + 5);
        }
        std::vector<P2*> ps;
        for (auto& z : a) ps.push_back(&z.c);
        separate(ps, 9);
        for (auto& z : a) arena.keepInside(z.c, z.th, z.len / 2 + 5);
    }
    Figure draw(int i, int) override {
        auto& z = a[i];
        double s = z.len / 16.0, th = z.th;
        Figure f;
        const double body = 45;
        P2 head = bodyToImg(z.c, th, 5.6 * s, 0), thorax = bodyToImg(z.c, th, 1.4 * s, 0),
           abd = bodyToImg(z.c, th, -4.3 * s, 0);
        // legs from the thorax, tripod gait
        for (int k = 0; k < 3; ++k)
            for (int side = -1; side <= 1; side += 2) {
                double phase = std::sin(z.gait + (k % 2 == 0 ? 0 : PI) + (side > 0 ? PI : 0));
                double base = (k - 1) * 1.0 * s;
                double outAng = (k - 1) * 0.75 + phase * 0.3;  // forward, sideways, backward legs
                P2 root = bodyToImg(z.c, th, 1.4 * s + base * 0.6, side * 0.8 * s);
                P2 knee = bodyToImg(z.c, th, 1.4 * s + base + std::sin(outAng) * 2.5 * s, side * 3.2 * s);
                P2 foot = bodyToImg(z.c, th, 1.4 * s + base * 1.6 + std::sin(outAng) * 4.5 * s, side * 5.5 * s);
                f.tube({root, knee, foot}, {1.1, 0.9, 0.7}, 55, 0.95);
            }
        // antennae, elbowed
        for (int side = -1; side <= 1; side += 2) {
            double wig = 0.25 * std::sin(z.gait * 1.3 + side);
            P2 r0 = bodyToImg(z.c, th, 6.8 * s, side * 0.8 * s);
            P2 r1 = bodyToImg(z.c, th, 8.8 * s, side * (2.2 + wig) * s);
            P2 r2 = bodyToImg(z.c, th, 10.6 * s, side * (1.6 + wig) * s);
            f.tube({r0, r1, r2}, {0.8, 0.7, 0.6}, 65, 0.9);
        }
        f.ellipse(abd, 3.7 * s, 2.8 * s, th, body - 5);
        f.line(bodyToImg(z.c, th, -0.8 * s, 0), bodyToImg(z.c, th, -1.2 * s, 0), 1.5, body);  // waist
        f.ellipse(thorax, 2.6 * s, 1.5 * s, th, body);
        f.line(bodyToImg(z.c, th, 3.0 * s, 0), bodyToImg(z.c, th, 4.2 * s, 0), 1.6, body);  // neck
        f.ellipse(head, 1.9 * s, 1.8 * s, th, body + 5);
        return f;
    }
};

// ---------------------------------------------------------------- worms
struct Worms : Scene {
    struct A {
        std::vector<P2> trail;  // head positions, newest first, every ~0.5 px
        P2 head;                // where the head is now (the trail keeps every ~0.5 px of it)
        double th, base, phase, v, len, width, freq, amp;
        int omega = 0;
        double omegaDir = 1;
    };
    std::vector<A> a;
    double R0 = 225;
    using Scene::Scene;
    void addTrail(A& z, P2 p) {
        if (z.trail.empty() || norm(p - z.trail.front()) >= 0.5) z.trail.insert(z.trail.begin(), p);
        // keep enough for the body
        double acc = 0;
        for (size_t k = 1; k < z.trail.size(); ++k) {
            acc += norm(z.trail[k] - z.trail[k - 1]);
            if (acc > z.len + 10) {
                z.trail.resize(k + 1);
                break;
            }
        }
    }
    void setup() override {
        n = count(10, 20);
        floorRef = 172;
        double cx = o.W / 2.0, cy = o.H / 2.0;
        R0 = std::min(o.W, o.H) / 2.0 - 14;
        Field f(R, 4, 400, 900);
        roundDish(cx, cy, R0, 4, 95, 70, [&](double x, double y) {
            double d = std::hypot(x - cx, y - cy) / R0;
            double vig = 1 - 0.16 * d * d;                                                                 // vignette
            double men = 45 * smoothstep(R0 - 11, R0 - 5, d * R0) * smoothstep(R0 - 0.5, R0 - 3, d * R0);  // meniscus
            return (180 + 3 * f.at(x, y)) * vig + men;
        });
        for (int i = 0; i < n; ++i) {
            A z;
            z.len = R.uni(50, 70);
            z.width = R.uni(3, 4);
            z.v = R.uni(0.7, 1.6);
            z.freq = 2 * PI * z.v / (z.len * R.uni(0.6, 0.9));
            z.amp = R.uni(0.45, 0.7);
            z.phase = R.uni(0, 2 * PI);
            P2 c = arena.randomPoint(R, z.len + 25);
            z.base = R.uni(-PI, PI);
            z.th = z.base;
            // lay down a past so the body exists on frame 0
            int steps = int(std::ceil((z.len + 12) / z.v));
            P2 p = c - dirOf(z.base) * (z.len / 2);
            double ph = z.phase - steps * z.freq;
            for (int k = 0; k < steps; ++k) {
                ph += z.freq;
                double th = z.base + z.amp * std::sin(ph);
                for (int j = 0; j < 3; ++j) {
                    p = p + dirOf(th) * (z.v / 3);
                    addTrail(z, p);
                }
            }
            z.head = p;
            a.push_back(z);
        }
        words = std::to_string(n) +
                " nematode-like worms (50-70 px long, 3-4 px wide, tapered ends, ~80 grey levels "
                "darker than the agar) on a round agar plate with a vignette and a bright meniscus ring just inside "
                "the wall. The body follows the head's path (a travelling sinusoid); about once every 150 frames per "
                "worm an omega turn curls the head back onto the body. Speed 0.7-1.6 px/frame.";
    }
    void step(int) override {
        for (auto& z : a) {
            z.phase += z.freq;
            double dth;
            if (z.omega > 0) {
                z.omega--;
                dth = z.omegaDir * 0.22;  // tight turn: the head sweeps back along the body
                z.base = wrapAngle(z.base + dth);
                z.th = z.base;
            } else {
                if (R.chance(1.0 / 150)) {
                    z.omega = R.irange(18, 28);
                    z.omegaDir = R.chance(0.5) ? 1 : -1;
                }
                z.base = wrapAngle(z.base + R.normal() * 0.03);
                z.base += 0.2 * arena.wallSteer(z.trail.front(), z.base, 14, 20);
                z.th = z.base + z.amp * std::sin(z.phase);
            }
            // advance in small steps so the trail is fine
            int sub = 3;
            for (int k = 0; k < sub; ++k) {
                P2 p = z.head + dirOf(z.th) * (z.v / sub);
                double th = z.th;
                if (arena.keepInside(p, th, 10)) {
                    double d = wrapAngle(th - z.th);
                    z.base = wrapAngle(z.base + d);
                    z.th = th;
                }
                z.head = p;
                addTrail(z, p);
            }
        }
    }
    Figure draw(int i, int) override {
        auto& z = a[i];
        // resample the trail over the body length
        std::vector<P2> sp;
        std::vector<double> wd;
        double step = 2.0, acc = 0, next = 0;
        sp.push_back(z.trail[0]);
        next = step;
        for (size_t k = 1; k < z.trail.size() && next <= z.len; ++k) {
            double d = norm(z.trail[k] - z.trail[k - 1]);
            while (acc + d >= next && next <= z.len) {
                double t = (next - acc) / d;
                sp.push_back(z.trail[k - 1] + (z.trail[k] - z.trail[k - 1]) * t);
                next += step;
            }
            acc += d;
        }
        for (size_t k = 0; k < sp.size(); ++k) {
            double s = double(k) / std::max<size_t>(1, sp.size() - 1);
            double taper = std::min(1.0, std::min(s / 0.12, (1 - s) / 0.25));
            wd.push_back(std::max(0.9, z.width * (0.45 + 0.55 * std::sqrt(std::max(0.0, taper)))));
        }
        Figure f;
        f.tube(sp, wd, 92, 0.97);
        return f;
    }
};

// ---------------------------------------------------------------- mice
struct Mice : Scene {
    enum St { Run, Groom, Walk, Huddle, Seek };
    struct A {
        P2 c;
        double th, v = 0, wob = 0, headTurn = 0;
        St st = Walk;
        int left = 0, partner = -1;
        std::vector<P2> tail;  // path of the tail root, newest first
        double scale;
    };
    std::vector<A> a;
    using Scene::Scene;
    void setup() override {
        n = count(2, 4);
        floorRef = 178;
        cv::Mat g1 = grain(R, o.W, o.H, 0.8, 5);
        double side = std::min(o.W, o.H) - 60;
        double x0 = (o.W - side) / 2, y0 = (o.H - side) / 2;
        P2 lamp{x0 + side * R.uni(0.3, 0.7), y0 + side * R.uni(0.25, 0.5)};
        rectBox(
            x0, y0, x0 + side, y0 + side, 12, 222, 60,
            [&](double x, double y) {
                double glare =
                    55 * std::exp(-((x - lamp.x) * (x - lamp.x) + (y - lamp.y) * (y - lamp.y)) / (2 * 120.0 * 120.0));
                return 165 + glare + g1.at<float>(int(y), int(x));
            },
            false);
        // bedding: static patches of chips lighter and darker
        for (int k = 0; k < 900; ++k) {
            P2 p = arena.randomPoint(R, 2);
            softBlob(floor, p, R.uni(1.0, 4.0), R.uni(-22, 18));
        }
        for (int i = 0; i < n; ++i) {
            A m;
            m.scale = R.uni(0.93, 1.07);
            m.c = arena.randomPoint(R, 60);
            m.th = R.uni(-PI, PI);
            P2 root = bodyToImg(m.c, m.th, -30 * m.scale, 0);
            for (int k = 0; k <= 90; ++k) m.tail.push_back(root - dirOf(m.th) * (k * 0.5));
            m.st = Walk;
            m.left = R.irange(10, 60);
            a.push_back(m);
        }
        words =
            std::to_string(n) +
            " dark mice (body ellipse ~60x30 px, head, ears, a thin 40 px tail trailing along "
            "the path) in a square open field with a light wall, bedding texture (static chips) and a lamp's "
            "glare. They run (3-7 px/frame), walk, groom in place (body wobbling for 40-140 frames) and huddle side "
            "by side in contact for 60-160 frames.";
    }
    void newState(A& m, int self) {
        double r = R.u();
        if (r < 0.3) {
            m.st = Run;
            m.left = R.irange(15, 60);
            m.v = R.uni(3, 7);
        } else if (r < 0.55) {
            m.st = Groom;
            m.left = R.irange(40, 140);
        } else if (r < 0.75) {
            m.st = Walk;
            m.left = R.irange(20, 80);
            m.v = R.uni(1, 2.5);
        } else {
            int j = R.irange(0, n - 1);
            if (j == self) j = (j + 1) % n;
            m.st = Seek;
            m.partner = j;
            m.left = 200;
            m.v = R.uni(2, 4);
        }
    }
    void step(int) override {
        for (int i = 0; i < n; ++i) {
            auto& m = a[i];
            m.wob += 0.35;
            if (m.st != Huddle && --m.left <= 0) newState(m, i);
            if (m.st == Huddle) {
                if (--m.left <= 0) {
                    newState(m, i);
                    if (m.st == Seek) m.st = Walk;
                }
            } else if (m.st == Groom) {
                m.v = 0;
                m.th += 0.04 * std::sin(m.wob * 0.7);
            } else {
                double dth = R.normal() * (m.st == Run ? 0.08 : 0.12);
                if (m.st == Seek) {
                    auto& o2 = a[m.partner];
                    P2 d = o2.c - m.c;
                    double want = std::atan2(d.y, d.x);
                    dth += clampd(wrapAngle(want - m.th), -0.2, 0.2);
                    if (norm(d) < 38) {
                        // settle beside the partner and both stay
                        m.st = Huddle;
                        m.left = R.irange(60, 160);
                        m.v = 0;
                        o2.st = Huddle;
                        o2.left = m.left + R.irange(-10, 10);
                        o2.v = 0;
                        m.th = o2.th + R.uni(-0.5, 0.5);
                    }
                }
                dth += 0.3 * arena.wallSteer(m.c, m.th, 50, 25);
                m.th = wrapAngle(m.th + dth);
                m.c = m.c + dirOf(m.th) * m.v;
            }
            arena.keepInside(m.c, m.th, 46 * m.scale);
        }
        // bodies do not pass through each other; huddling mice may press into contact
        for (int i = 0; i < n; ++i)
            for (int j = i + 1; j < n; ++j) {
                P2 d = a[j].c - a[i].c;
                double dd = norm(d);
                // a rough minimum distance for two ellipses depending on how they face each other
                double ang = std::atan2(d.y, d.x);
                double ri =
                    30 * a[i].scale * 15 / std::hypot(15 * std::cos(ang - a[i].th), 30 * std::sin(ang - a[i].th));
                double rj =
                    30 * a[j].scale * 15 / std::hypot(15 * std::cos(ang - a[j].th), 30 * std::sin(ang - a[j].th));
                double mind = (ri + rj) * 0.92;
                if (dd < mind && dd > 1e-6) {
                    P2 u = d * (1.0 / dd);
                    a[i].c = a[i].c - u * ((mind - dd) / 2);
                    a[j].c = a[j].c + u * ((mind - dd) / 2);
                }
            }
        for (auto& m : a) {
            arena.keepInside(m.c, m.th, 46 * m.scale);
            P2 root = bodyToImg(m.c, m.th, -28 * m.scale, 0);
            if (norm(root - m.tail.front()) > 0.5) m.tail.insert(m.tail.begin(), root);
            if (m.tail.size() > 400) m.tail.resize(400);
        }
    }
    Figure draw(int i, int) override {
        auto& m = a[i];
        double s = m.scale, th = m.th;
        bool groom = m.st == Groom;
        double wob = groom ? std::sin(m.wob) : 0, wob2 = groom ? std::sin(m.wob * 1.7 + 1) : 0;
        double bodyA = 30 * s * (1 - 0.1 * wob), bodyB = 15 * s * (1 + 0.12 * wob);
        double headOff = (groom ? 0.5 * wob2 : 0);
        Figure f;
        const double g = 38;
        // tail: along the path the rear took, from its root
        std::vector<P2> tp;
        std::vector<double> tw;
        P2 root = bodyToImg(m.c, th, -bodyA + 2, 0);
        tp.push_back(root);
        double acc = 0;
        for (size_t k = 0; k + 1 < m.tail.size() && acc < 40 * s; ++k) {
            P2 q = m.tail[k];
            if (norm(q - tp.back()) < 3) continue;
            acc += norm(q - tp.back());
            tp.push_back(q);
        }
        while (acc < 40 * s) {  // path too short: straight on
            P2 d = tp.size() > 1 ? tp.back() - tp[tp.size() - 2] : dirOf(th + PI);
            d = d * (1.0 / std::max(1e-9, norm(d)));
            tp.push_back(tp.back() + d * 3);
            acc += 3;
        }
        for (size_t k = 0; k < tp.size(); ++k) tw.push_back(3.6 - 2.4 * double(k) / (tp.size() - 1));
        f.tube(tp, tw, g + 12);
        f.ellipse(m.c, bodyA, bodyB, th, g);
        double hth = th + 0.35 * headOff;
        P2 neck = bodyToImg(m.c, th, bodyA - 9, 0);
        P2 headC = bodyToImg(neck, hth, 9 * s, 0);
        f.ellipse(headC, 13 * s, 8.0 * s, hth, g);
        f.ellipse(bodyToImg(headC, hth, 9 * s, 0), 6 * s, 4.0 * s, hth, g + 8);          // snout
        f.ellipse(bodyToImg(headC, hth, -3 * s, 7 * s), 3.8 * s, 3.2 * s, hth, g + 30);  // ears
        f.ellipse(bodyToImg(headC, hth, -3 * s, -7 * s), 3.8 * s, 3.2 * s, hth, g + 30);
        return f;
    }
};

// ---------------------------------------------------------------- beetles
struct Beetles : Scene {
    struct A {
        P2 c;
        double th, v, len, omega = 0, gait = 0;
        int pause = 0;
    };
    std::vector<A> a;
    double lightAz = 0;
    using Scene::Scene;
    void setup() override {
        n = count(10, 15);
        floorRef = 128;
        polarity = 2;
        cv::Mat g1 = grain(R, o.W, o.H, 1.0, 3);
        Field f(R, 4, 300, 900);
        roundDish(o.W / 2.0, o.H / 2.0, std::min(o.W, o.H) / 2.0 - 16, 6, 190, 95,
                  [&](double x, double y) { return 128 + 4 * f.at(x, y) + g1.at<float>(int(y), int(x)); });
        lightAz = R.uni(-PI, PI);
        for (int i = 0; i < n; ++i) {
            A b;
            b.len = R.uni(22, 28);
            b.c = arena.randomPoint(R, 25);
            b.th = R.uni(-PI, PI);
            b.v = R.uni(0.6, 2.5);
            a.push_back(b);
        }
        words = std::to_string(n) +
                " shiny dark beetles (22-28 px long; elytra, pronotum, head, legs; ~80 grey "
                "levels below a mid-grey floor of 128) with a bright specular highlight (~100 levels above the floor) "
                "placed where a fixed lamp reflects off the domed back, so it slides across the body as the beetle "
                "turns. They walk 0.6-2.5 px/frame, pause, and turn on the spot. Polarity 2 (both).";
    }
    void step(int) override {
        for (auto& b : a) {
            if (b.pause > 0) {
                b.pause--;
                if (R.chance(0.3)) b.th = wrapAngle(b.th + R.uni(-0.15, 0.15));  // turning on the spot
                continue;
            }
            if (R.chance(0.01)) {
                b.pause = R.irange(15, 80);
                continue;
            }
            b.omega = b.omega * 0.85 + R.normal() * 0.05;
            b.th = wrapAngle(b.th + b.omega + 0.25 * arena.wallSteer(b.c, b.th, b.len / 2 + 8, 15));
            b.v = clampd(b.v + R.normal() * 0.15, 0.6, 2.5);
            b.c = b.c + dirOf(b.th) * b.v;
            b.gait += b.v * 0.35;
            arena.keepInside(b.c, b.th, b.len / 2 + 6);
        }
        std::vector<P2*> ps;
        for (auto& b : a) ps.push_back(&b.c);
        separate(ps, 17);
        for (auto& b : a) arena.keepInside(b.c, b.th, b.len / 2 + 6);
    }
    Figure draw(int i, int) override {
        auto& b = a[i];
        double s = b.len / 25.0, th = b.th;
        Figure f;
        const double g = 48;
        for (int k = 0; k < 3; ++k)
            for (int side = -1; side <= 1; side += 2) {
                double ph = std::sin(b.gait + (k % 2) * PI + (side > 0 ? PI : 0)) * 0.25;
                P2 r0 = bodyToImg(b.c, th, (3 - 3.5 * k) * s, side * 4 * s);
                double ang = th + side * (PI / 2 - (k - 1) * 0.7) + ph;
                P2 r1 = r0 + dirOf(ang) * (6 * s);
                P2 r2 = r1 + dirOf(ang - side * 0.6 * (k == 2 ? -1 : 1)) * (4 * s);
                f.tube({r0, r1, r2}, {1.1, 0.9, 0.7}, 55, 0.95);
            }
        P2 elC = bodyToImg(b.c, th, -2.5 * s, 0);
        double ea = 8.5 * s, eb = 6.5 * s;
        f.ellipse(elC, ea, eb, th, g);
        f.ellipse(bodyToImg(b.c, th, 6.5 * s, 0), 3.0 * s, 5.0 * s, th, g + 6);                 // pronotum
        f.ellipse(bodyToImg(b.c, th, 10.0 * s, 0), 2.2 * s, 2.8 * s, th, g - 4);                // head
        f.line(bodyToImg(b.c, th, 5.5 * s, 0), bodyToImg(b.c, th, -10.5 * s, 0), 0.7, g + 18);  // suture
        // Specular point of an ellipsoid dome: where its normal meets the half vector between
        // the lamp and the camera, in the beetle's own frame.
        double lz = 0.75, lxy = std::sqrt(1 - lz * lz);
        double hx = lxy * std::cos(lightAz), hy = lxy * std::sin(lightAz), hz = lz + 1;
        double hn = std::sqrt(hx * hx + hy * hy + hz * hz);
        hx /= hn;
        hy /= hn;
        hz /= hn;
        double bx = hx * std::cos(-th) - hy * std::sin(-th), by = hx * std::sin(-th) + hy * std::cos(-th);
        double c3 = 4.0 * s;  // dome height
        double den = std::sqrt(ea * ea * bx * bx + eb * eb * by * by + c3 * c3 * hz * hz);
        double fx = ea * ea * bx / den, fy = eb * eb * by / den;
        P2 hp = bodyToImg(elC, th, fx, fy);
        f.ellipse(hp, 3.6 * s, 2.4 * s, th, 150, 0.55);
        f.ellipse(hp, 2.0 * s, 1.3 * s, th, 240, 0.95);
        return f;
    }
};

// ---------------------------------------------------------------- daphnia
struct Daphnia : Scene {
    struct A {
        P2 c;
        double th, v = 0, size, flap = 0;
        int nextHop;
    };
    struct Debris {
        P2 c;
        double sigma, delta, vx, vy;
    };
    std::vector<A> a;
    std::vector<Debris> deb;
    using Scene::Scene;
    void setup() override {
        n = count(30, 50);
        floorRef = 212;
        Field f(R, 4, 500, 1400);
        rectBox(
            24, 20, o.W - 24, o.H - 20, 7, 170, 120,
            [&](double x, double y) { return 212 + 6 * f.at(x, y) - 8 * (y / o.H); }, false);
        for (int i = 0; i < n; ++i) {
            A d;
            d.size = R.uni(6, 10);
            d.c = arena.randomPoint(R, 10);
            d.th = R.uni(-PI, PI);
            d.nextHop = R.irange(1, 8);
            a.push_back(d);
        }
        int nd = R.irange(18, 28);
        for (int k = 0; k < nd; ++k) {
            Debris d;
            d.c = arena.randomPoint(R, 5);
            d.sigma = R.uni(2.5, 9);
            d.delta = R.chance(0.75) ? -R.uni(5, 13) : R.uni(4, 9);
            double ang = R.uni(-PI, PI), sp = R.uni(0.1, 0.6);
            d.vx = sp * std::cos(ang);
            d.vy = sp * std::sin(ang);
            deb.push_back(d);
        }
        words = std::to_string(n) +
                " water fleas (body 6-10 px; semi-transparent carapace ~40 levels below the light "
                "floor, a dark eye, a gut line, a tail spine and two antennae that beat on each hop). Each hops every "
                "3-10 frames (3-7 px, then slows quickly) and sinks slowly in between. " +
                std::to_string(nd) +
                " out-of-focus debris particles (soft blobs, sigma 2.5-9 px, 4-13 levels of contrast) drift slowly "
                "through the view; they are not in the truth. Rectangular cuvette.";
    }
    void step(int) override {
        for (auto& d : a) {
            if (--d.nextHop <= 0) {
                d.th = wrapAngle(d.th + R.uni(-1.2, 1.2));
                d.v = R.uni(3, 7);
                d.flap = 1;
                d.nextHop = R.irange(3, 10);
            }
            d.v *= 0.55;
            d.flap *= 0.6;
            d.c = d.c + dirOf(d.th) * d.v + P2{0, 0.12};
            arena.keepInside(d.c, d.th, d.size / 2 + 4);
        }
        for (auto& d : deb) {
            d.vx += R.normal() * 0.02;
            d.vy += R.normal() * 0.02;
            d.vx = clampd(d.vx, -0.6, 0.6);
            d.vy = clampd(d.vy, -0.6, 0.6);
            d.c.x += d.vx;
            d.c.y += d.vy;
            double th = std::atan2(d.vy, d.vx), sp = std::hypot(d.vx, d.vy);
            if (arena.keepInside(d.c, th, 2)) {
                d.vx = sp * std::cos(th);
                d.vy = sp * std::sin(th);
            }
        }
    }
    void behind(cv::Mat& img, int) override {
        for (auto& d : deb) softBlob(img, d.c, d.sigma, d.delta);
    }
    Figure draw(int i, int) override {
        auto& d = a[i];
        double s = d.size / 8.0, th = d.th;
        Figure f;
        // tail spine points away from the swimming direction
        f.line(bodyToImg(d.c, th, -3.0 * s, 0), bodyToImg(d.c, th, -6.5 * s, 0.6 * s), 0.8, 150, 0.7);
        f.ellipse(d.c, 4.0 * s, 3.0 * s, th, 150, 0.6);
        f.line(bodyToImg(d.c, th, 2.0 * s, 0), bodyToImg(d.c, th, -2.8 * s, 0.5 * s), 1.0, 120, 0.55);  // gut
        for (int side = -1; side <= 1; side += 2) {
            double sweep = side * (0.9 - 0.7 * d.flap);
            P2 r0 = bodyToImg(d.c, th, 2.6 * s, side * 1.2 * s);
            P2 r1 = r0 + dirOf(th + sweep) * (4.0 * s);
            f.tube({r0, r1}, {0.9, 0.6}, 150, 0.55);
        }
        f.ellipse(bodyToImg(d.c, th, 3.2 * s, 0), 1.1 * s, 1.1 * s, 0, 40, 0.9);  // eye
        return f;
    }
};

// ---------------------------------------------------------------- flies, many
struct Flies : Scene {
    struct A {
        P2 c;
        double th, v, omega = 0;
        int pause = 0;
        bool sleeper;
    };
    std::vector<A> a;
    double gPh1, gPh2, gP1, gP2;
    using Scene::Scene;
    void setup() override {
        n = count(60, 80);
        floorRef = 200;
        Field f(R, 4, 400, 1200);
        roundDish(o.W / 2.0, o.H / 2.0, std::min(o.W, o.H) / 2.0 - 12, 4, 140, 105,
                  [&](double x, double y) { return 200 + 4 * f.at(x, y); });
        for (int i = 0; i < n; ++i) {
            A z;
            z.c = arena.randomPoint(R, 10);
            z.th = R.uni(-PI, PI);
            z.v = R.uni(0.5, 3);
            z.sleeper = R.chance(0.25);
            if (z.sleeper) z.pause = R.irange(100, 260);
            a.push_back(z);
        }
        gPh1 = R.uni(0, 2 * PI);
        gPh2 = R.uni(0, 2 * PI);
        gP1 = R.uni(180, 320);
        gP2 = R.uni(60, 110);
        words = std::to_string(n) +
                " small flies (~10-11 px: head, thorax, abdomen ~160 levels below the white floor, "
                "two wings folded back that are lighter than the body) walking 0.5-3 px/frame in a round arena, "
                "touching often; a quarter rest for 100-260 frames from the start. Camera auto-gain: the whole frame's "
                "brightness drifts by up to +-10% over the video.";
    }
    double gain(int t) override {
        return 1 + 0.07 * std::sin(2 * PI * t / gP1 + gPh1) + 0.03 * std::sin(2 * PI * t / gP2 + gPh2);
    }
    void step(int) override {
        for (auto& z : a) {
            if (z.pause > 0) {
                z.pause--;
                continue;
            }
            if (R.chance(0.012)) {
                z.pause = R.irange(5, 40);
                continue;
            }
            z.omega = z.omega * 0.7 + R.normal() * 0.12;
            z.th = wrapAngle(z.th + z.omega + 0.3 * arena.wallSteer(z.c, z.th, 10, 8));
            z.v = clampd(z.v + R.normal() * 0.3, 0.5, 3);
            z.c = z.c + dirOf(z.th) * z.v;
            arena.keepInside(z.c, z.th, 7);
        }
        std::vector<P2*> ps;
        std::vector<bool> frozen;
        for (auto& z : a) {
            ps.push_back(&z.c);
            frozen.push_back(z.pause > 0);
        }
        separate(ps, 7.5, &frozen);
        for (auto& z : a) arena.keepInside(z.c, z.th, 7);
    }
    Figure draw(int i, int) override {
        auto& z = a[i];
        double th = z.th;
        Figure f;
        f.ellipse(bodyToImg(z.c, th, -2.3, 0), 3.0, 1.8, th, 35);  // abdomen
        f.ellipse(bodyToImg(z.c, th, 1.2, 0), 1.9, 1.6, th, 40);   // thorax
        f.ellipse(bodyToImg(z.c, th, 3.6, 0), 1.1, 1.4, th, 45);   // head
        for (int side = -1; side <= 1; side += 2) {
            double ang = th + PI - side * 0.33;
            P2 base = bodyToImg(z.c, th, 0.6, side * 0.6);
            f.ellipse(base + dirOf(ang) * 3.4, 3.6, 1.35, ang, 175, 0.55);
        }
        return f;
    }
};

// ---------------------------------------------------------------- output
static std::unique_ptr<Scene> makeScene(const Options& o) {
    if (o.kind == "zebra") return std::make_unique<Zebra>(o);
    if (o.kind == "ants") return std::make_unique<Ants>(o);
    if (o.kind == "worms") return std::make_unique<Worms>(o);
    if (o.kind == "mice") return std::make_unique<Mice>(o);
    if (o.kind == "beetles") return std::make_unique<Beetles>(o);
    if (o.kind == "daphnia") return std::make_unique<Daphnia>(o);
    if (o.kind == "dense_flies") return std::make_unique<Flies>(o);
    return nullptr;
}

static void usage() {
    std::cerr << "usage: lab_probe_tool OUTDIR --kind zebra|ants|worms|mice|beetles|daphnia|dense_flies --seed S "
                 "[--animals N] [--frames F] [--size WxH] [--codec h264|mjpeg]\n";
    std::exit(2);
}

int main(int argc, char** argv) {
    Options o;
    if (argc < 2) usage();
    o.out = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string k = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (k == "--kind")
            o.kind = val();
        else if (k == "--seed")
            o.seed = std::stoull(val());
        else if (k == "--animals")
            o.animals = std::stoi(val());
        else if (k == "--frames")
            o.frames = std::stoi(val());
        else if (k == "--size") {
            std::string v = val();
            auto x = v.find('x');
            if (x == std::string::npos) usage();
            o.W = std::stoi(v.substr(0, x));
            o.H = std::stoi(v.substr(x + 1));
        } else if (k == "--codec")
            o.codec = val();
        else
            usage();
    }
    if (o.codec.empty()) o.codec = "h264";
    if (o.codec != "h264" && o.codec != "mjpeg") usage();
    if (o.W < 160 || o.H < 120 || (o.W % 2) || (o.H % 2)) {
        std::cerr << "size must be even and at least 160x120\n";
        return 2;
    }
    auto sc = makeScene(o);
    if (!sc) usage();
    fs::create_directories(o.out);
    sc->setup();
    Scene& S = *sc;

    std::string video = (fs::path(o.out) / (o.codec == "h264" ? "scene.mp4" : "scene.avi")).string();
    std::ostringstream cmd;
    cmd << "ffmpeg -y -loglevel error -f rawvideo -pix_fmt bgr24 -s " << o.W << "x" << o.H << " -r 30 -i - ";
    if (o.codec == "h264")
        cmd << "-c:v libx264 -crf 23 -pix_fmt yuv420p ";
    else
        cmd << "-c:v mjpeg -q:v 5 ";
    cmd << "'" << video << "'";
    FILE* ff = popen(cmd.str().c_str(), "w");
    if (!ff) {
        std::cerr << "cannot start ffmpeg\n";
        return 1;
    }

    std::ofstream truth(fs::path(o.out) / "truth.csv"), geom(fs::path(o.out) / "truth_coverage.csv");
    truth << "frame,object,x,y\n";
    geom << "# centre of each animal's drawn coverage, unweighted by contrast\nframe,object,x,y\n";
    truth.setf(std::ios::fixed);
    truth.precision(3);
    geom.setf(std::ios::fixed);
    geom.precision(3);

    Rng noise(o.seed * 7919 + 17);
    cv::Mat img, out8(o.H, o.W, CV_8UC3);
    for (int t = 0; t < o.frames; ++t) {
        if (t > 0) S.step(t);
        img = S.floor.clone();
        S.behind(img, t);
        for (int i = 0; i < S.n; ++i) {
            Layer L = rasterize(S.draw(i, t), S.floorRef, o.W, o.H);
            composite(img, L);
            truth << t << "," << i << "," << L.cx << "," << L.cy << "\n";
            geom << t << "," << i << "," << L.gx << "," << L.gy << "\n";
        }
        S.overlay(img, t);
        // the camera: optics blur, then gain, sensor noise, 8 bits
        cv::GaussianBlur(img, img, cv::Size(0, 0), S.blurSigma);
        double g = S.gain(t);
        for (int y = 0; y < o.H; ++y) {
            float* p = img.ptr<float>(y);
            uint8_t* q = out8.ptr<uint8_t>(y);
            for (int x = 0; x < o.W; ++x) {
                double v = p[x] * g + noise.normal() * S.noiseSigma;
                uint8_t b = uint8_t(clampd(std::lround(v), 0, 255));
                // a little colour cast, as a colour camera over a white light would give
                q[3 * x] = uint8_t(clampd(b * 0.97, 0, 255));
                q[3 * x + 1] = b;
                q[3 * x + 2] = uint8_t(clampd(b * 1.02, 0, 255));
            }
        }
        if (fwrite(out8.data, 1, out8.total() * 3, ff) != out8.total() * 3) {
            std::cerr << "ffmpeg write failed\n";
            return 1;
        }
    }
    if (pclose(ff) != 0) {
        std::cerr << "ffmpeg failed\n";
        return 1;
    }

    std::ofstream(fs::path(o.out) / "options.txt")
        << "--set polarity=" << S.polarity << " --animals " << S.n << " --roi " << S.arena.roi << "\n";
    std::ofstream(fs::path(o.out) / "scene.txt")
        << "kind " << o.kind << ", seed " << o.seed << ", " << o.W << "x" << o.H << ", " << o.frames << " frames, "
        << o.codec << ".\n"
        << S.words << "\nCamera: blur sigma " << S.blurSigma << " px, noise sigma " << S.noiseSigma
        << " grey levels. truth.csv: contrast-weighted centre of each animal's own supersampled (4x) drawing; "
           "truth_coverage.csv: the unweighted centre of the same drawing.\n";
    return 0;
}
