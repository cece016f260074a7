#include "cctrack/link.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "image/dib_access.h"
#include "interface/ip_attributes.h"

namespace {

constexpr int maxGap = 2;        // rings of radius 1 .. maxGap + 1 are searched
constexpr int pad = maxGap + 1;  // zero border around the work plane, so the search needs no bounds checks
constexpr int minLength = 7;     // a chain needs more points than this to be kept

// Offsets of one ring, grouped: the search stops at the first group that holds a set pixel.
struct ring_group {
    int count;
    int dx[8];
    int dy[8];
    int64_t offset[8];  // dy * stride + dx in the work plane
};

// Builds the groups of the ring at radius r, in search order: axis points, then for each
// k = 1 .. r - 1 the eight points k away from the axes, then the four corners.
int ringGroups(int r, ring_group* groups) {
    int n = 0;
    groups[n++] = ring_group{4, {0, 0, -r, r}, {-r, r, 0, 0}, {}};
    for (int k = 1; k < r; ++k)
        groups[n++] = ring_group{8, {-k, k, -k, k, -r, -r, r, r}, {-r, -r, r, r, -k, k, -k, k}, {}};
    groups[n++] = ring_group{4, {-r, r, -r, r}, {-r, -r, r, r}, {}};
    return n;
}

struct ring_table {
    ring_group groups[maxGap + 1][maxGap + 2];
    int count[maxGap + 1];
    explicit ring_table(int64_t stride) {
        for (int r = 1; r <= maxGap + 1; ++r) {
            count[r - 1] = ringGroups(r, groups[r - 1]);
            for (int g = 0; g < count[r - 1]; ++g) {
                ring_group& group = groups[r - 1][g];
                for (int i = 0; i < group.count; ++i) group.offset[i] = group.dy[i] * stride + group.dx[i];
            }
        }
    }
};

// The edge map's grey values in a plane with a zero border of `pad` pixels; T holds every
// grey value of the map's pixel size.
template <class T>
class chain_linker {
public:
    template <class P>
    explicit chain_linker(const dib_access<P>& map)
        : width_(map.width()),
          height_(map.rows()),
          stride_(int64_t(width_) + 2 * pad),
          plane_(size_t(stride_ * (int64_t(height_) + 2 * pad))),
          rings_(stride_) {
        for (int y = 0; y < height_; ++y) {
            const P* in = map.row(y);
            T* out = at(0, y);
            if constexpr (sizeof(P) == 1 && sizeof(T) == 1)
                std::memcpy(out, in, size_t(width_));
            else
                for (int x = 0; x < width_; ++x) out[x] = T(grey(in[x]));
        }
    }

    void run(const std::vector<chain_point>& seeds, chain_list& out) {
        chain c;
        const std::vector<chain_point> order = strongestFirst(seeds);
        for (size_t i = 0; i < order.size(); ++i) {
            // Seeds in strength order lie all over a large frame: ask for the plane a few seeds ahead.
            if (i + 16 < order.size()) {
                const chain_point& ahead = order[i + 16];
                if (inside(ahead.x, ahead.y)) IP_PREFETCH(at(ahead.x, ahead.y));
            }
            const chain_point* s = &order[i];
            if (!inside(s->x, s->y) || *at(s->x, s->y) == 0) continue;

            c.strength = 0;
            c.points.clear();
            append(c, *s);
            chain_point next;
            if (search(s->x, s->y, next)) {
                follow(c, next);
                std::reverse(c.points.begin(), c.points.end());
            }
            if (search(s->x, s->y, next)) follow(c, next);
            if (int64_t(c.points.size()) > minLength) out.push_back(c);
        }
    }

private:
    bool inside(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    T* at(int x, int y) { return plane_.data() + (int64_t(y) + pad) * stride_ + pad + x; }

    // The seeds by falling strength, and among equal strengths the later one first: the
    // order of popping the back of a stable sort by rising strength, made by counting.
    static std::vector<chain_point> strongestFirst(const std::vector<chain_point>& seeds) {
        if (seeds.empty()) return {};
        auto [lo, hi] = std::minmax_element(seeds.begin(), seeds.end(), [](const chain_point& a, const chain_point& b) {
            return a.strength < b.strength;
        });
        const int64_t low = lo->strength, span = int64_t(hi->strength) - low + 1;
        std::vector<chain_point> order(seeds.size());
        if (span > int64_t(4 * seeds.size()) + 1024) {
            std::vector<const chain_point*> by(seeds.size());
            for (size_t i = 0; i < seeds.size(); ++i) by[i] = &seeds[i];
            std::sort(by.begin(), by.end(), [](const chain_point* a, const chain_point* b) {
                return a->strength != b->strength ? a->strength > b->strength : a > b;
            });
            for (size_t i = 0; i < by.size(); ++i) order[i] = *by[i];
            return order;
        }
        // start[v]: the next place for strength hi - v, counted from the strongest.
        std::vector<size_t> start(size_t(span) + 1, 0);
        for (const chain_point& s : seeds) ++start[size_t(hi->strength - s.strength) + 1];
        for (size_t v = 1; v < start.size(); ++v) start[v] += start[v - 1];
        for (size_t i = seeds.size(); i-- > 0;) order[start[size_t(hi->strength - seeds[i].strength)]++] = seeds[i];
        return order;
    }

    void append(chain& c, const chain_point& p) {
        c.strength += p.strength;
        c.points.push_back(p);
        *at(p.x, p.y) = 0;
    }

    void follow(chain& c, chain_point p) {
        for (;;) {
            append(c, p);
            if (!search(p.x, p.y, p)) return;
        }
    }

    // The strongest set pixel of the first ring group around (x, y) that holds any;
    // on equal values the one met first.
    bool search(int x, int y, chain_point& found) {
        const T* centre = at(x, y);
        for (int r = 0; r <= maxGap; ++r)
            for (int g = 0; g < rings_.count[r]; ++g) {
                const ring_group& group = rings_.groups[r][g];
                if (group.count == 4 ? strongest<4>(centre, group, x, y, found)
                                     : strongest<8>(centre, group, x, y, found))
                    return true;
            }
        return false;
    }

    // A group's size as a constant, so that the few reads of a step are unrolled.
    template <int N>
    static bool strongest(const T* centre, const ring_group& group, int x, int y, chain_point& found) {
        int best = 0, which = 0;
        for (int i = 0; i < N; ++i) {
            const int v = centre[group.offset[i]];
            if (v > best) best = v, which = i;
        }
        if (best == 0) return false;
        found = chain_point{best, x + group.dx[which], y + group.dy[which]};
        return true;
    }

    int width_;
    int height_;
    int64_t stride_;
    std::vector<T> plane_;
    ring_table rings_;
};

}  // namespace

void link(const dib_base& edgeMap, const std::vector<chain_point>& seeds, chain_list& out) {
    dib_access_dispatch1(edgeMap, [&](auto tag) {
        using P = typename decltype(tag)::type;
        // An edge map without pixel memory holds no edges.
        if (!edgeMap.bits) return;
        const dib_access<P> map(edgeMap);
        if constexpr (sizeof(P) == 1)
            chain_linker<uint8_t>(map).run(seeds, out);
        else
            chain_linker<uint16_t>(map).run(seeds, out);
    });
}
