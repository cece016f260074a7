#include "cctrack/link.h"

#include <algorithm>
#include <cstddef>

#include "image/dib_access.h"

namespace {

constexpr int maxGap = 2;     // rings of radius 1 .. maxGap + 1 are searched
constexpr int minLength = 7;  // a chain needs more points than this to be kept

// Offsets of one ring, grouped: the search stops at the first group that holds a set pixel.
struct ring_group {
    int count;
    int dx[8];
    int dy[8];
};

// Builds the groups of the ring at radius r, in search order: axis points, then for each
// k = 1 .. r - 1 the eight points k away from the axes, then the four corners.
int ringGroups(int r, ring_group* groups) {
    int n = 0;
    groups[n++] = ring_group{4, {0, 0, -r, r}, {-r, r, 0, 0}};
    for (int k = 1; k < r; ++k)
        groups[n++] = ring_group{8, {-k, k, -k, k, -r, -r, r, r}, {-r, -r, r, r, -k, k, -k, k}};
    groups[n++] = ring_group{4, {-r, r, -r, r}, {-r, -r, r, r}};
    return n;
}

struct ring_table {
    ring_group groups[maxGap + 1][maxGap + 2];
    int count[maxGap + 1];
    ring_table() {
        for (int r = 1; r <= maxGap + 1; ++r) count[r - 1] = ringGroups(r, groups[r - 1]);
    }
};

const ring_table& rings() {
    static const ring_table table;
    return table;
}

template <class P>
class chain_linker {
public:
    explicit chain_linker(dib_base& work) : map_(work), width_(map_.width()), height_(map_.rows()) {}

    void run(const std::vector<chain_point>& seeds, chain_list& out) {
        std::vector<chain_point> order(seeds);
        std::stable_sort(order.begin(), order.end(),
                         [](const chain_point& a, const chain_point& b) { return a.strength < b.strength; });
        while (!order.empty()) {
            const chain_point s = order.back();
            order.pop_back();
            if (value(s.x, s.y) == 0) continue;

            chain c;
            append(c, s);
            chain_point next;
            if (search(s.x, s.y, next)) {
                follow(c, next);
                std::reverse(c.points.begin(), c.points.end());
            }
            if (search(s.x, s.y, next)) follow(c, next);
            if (int64_t(c.points.size()) > minLength) out.push_back(std::move(c));
        }
    }

private:
    // Grey value at (x, y); positions outside the image count as not set.
    int value(int x, int y) const {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
        return grey(map_.row(y)[x]);
    }

    void append(chain& c, const chain_point& p) {
        c.strength += p.strength;
        c.points.push_back(p);
        setGrey(map_.row(p.y)[p.x], 0);
    }

    void follow(chain& c, chain_point p) {
        for (;;) {
            append(c, p);
            if (!search(p.x, p.y, p)) return;
        }
    }

    // The strongest set pixel of the first ring group around (x, y) that holds any;
    // on equal values the one met first.
    bool search(int x, int y, chain_point& found) const {
        const ring_table& table = rings();
        for (int r = 0; r <= maxGap; ++r) {
            for (int g = 0; g < table.count[r]; ++g) {
                const ring_group& group = table.groups[r][g];
                int best = 0;
                for (int i = 0; i < group.count; ++i) {
                    const int px = x + group.dx[i], py = y + group.dy[i];
                    const int v = value(px, py);
                    if (v > best) {
                        best = v;
                        found = chain_point{v, px, py};
                    }
                }
                if (best > 0) return true;
            }
        }
        return false;
    }

    dib_access<P> map_;
    int width_;
    int height_;
};

}  // namespace

void link(const dib_base& edgeMap, const std::vector<chain_point>& seeds, chain_list& out) {
    dib_access_dispatch1(edgeMap, [&](auto tag) {
        using P = typename decltype(tag)::type;
        // An edge map without pixel memory holds no edges.
        if (!edgeMap.bits) return;
        dib_base work(edgeMap);
        chain_linker<P>(work).run(seeds, out);
    });
}
