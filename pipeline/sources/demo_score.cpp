#include "sources/demo_score.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {
double distance(const DemoDisc& d, const ip_objectRecord& o) { return std::hypot(o.x - d.x, o.y - d.y); }
}  // namespace

std::vector<int> bestMatch(const std::vector<DemoDisc>& truth, const std::vector<ip_objectRecord>& objects) {
    const int n = int(std::min<size_t>(objects.size(), 8));
    const int m = std::max(n, int(truth.size()));
    // Every arrangement of objects over the discs; positions >= n stand for "no object".
    std::vector<int> order(size_t(m), 0);
    std::iota(order.begin(), order.end(), 0);
    const double missing = 1e9;
    std::vector<int> best(truth.size(), -1);
    double bestCost = HUGE_VAL;
    do {
        double cost = 0;
        for (size_t d = 0; d < truth.size(); ++d)
            cost += order[d] < n ? distance(truth[d], objects[size_t(order[d])]) : missing;
        if (cost < bestCost) {
            bestCost = cost;
            for (size_t d = 0; d < truth.size(); ++d) best[d] = order[d] < n ? order[d] : -1;
        }
    } while (std::next_permutation(order.begin(), order.end()));
    return best;
}

void DemoScore::frame(const std::vector<DemoDisc>& truth, const std::vector<ip_objectRecord>& objects) {
    ++frames_;
    if (binding_.empty()) {
        std::vector<int> match = bestMatch(truth, objects);
        bool all = !truth.empty();
        for (size_t d = 0; d < truth.size(); ++d)
            all = all && match[d] >= 0 && distance(truth[d], objects[size_t(match[d])]) <= DemoScene::radius;
        if (!all) return;
        for (int k : match) binding_.push_back(objects[size_t(k)].index);
    }
    bool all = true;
    for (size_t d = 0; d < truth.size(); ++d) {
        auto it = std::find_if(objects.begin(), objects.end(),
                               [&](const ip_objectRecord& o) { return o.index == binding_[d]; });
        if (it == objects.end()) {
            all = false;
            continue;
        }
        double e = distance(truth[d], *it);
        sum_ += e;
        max_ = std::max(max_, e);
        ++samples_;
        if (e > DemoScene::radius) all = false;
    }
    if (all) ++tracked_;
}
