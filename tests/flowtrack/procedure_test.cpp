#include <gtest/gtest.h>

#include "doubles/recording.h"
#include "flowtrack/flowtrack_impl.h"
#include "flowtrack/ip_flowtrack.h"
#include "support.h"

namespace {

TEST(FlowtrackProcedure, SmokeThreeDiscs) {
    ft::ParameterGuard guard;
    ft::Plane p(320, 240, 230);
    ft::disc(p, 60, 60, 15, 20);
    ft::disc(p, 160, 120, 15, 20);
    ft::disc(p, 250, 180, 15, 20);
    dib_base frame = ft::frameOf(p);
    ip_flowtrack tracker(&frame.format());
    tracker.impl().BrojObjekata = 3;
    doubles::EventList events;
    doubles::Overlay overlay;
    for (int i = 0; i < 3; ++i) tracker.doProcess(&frame, &events, &overlay);
    EXPECT_TRUE(tracker.impl().initialised);
    EXPECT_EQ(tracker.impl().regions.count, 3);
    EXPECT_EQ(overlay.lines.size(), 72u);
}

}  // namespace
