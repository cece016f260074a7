#include "ambrevo/pipeline/tracks/background_plan.h"

namespace ambrevo {

std::vector<int64_t> BackgroundPlan::frames(int64_t expected, int64_t read) {
    BackgroundPlan plan(expected);
    std::vector<int64_t> taken;
    for (int64_t i = 0; i < read; ++i) {
        if (!plan.takes()) continue;
        taken.push_back(i);
        if (plan.thins(taken.size())) keepEveryOther(taken);
    }
    return taken;
}

}  // namespace ambrevo
