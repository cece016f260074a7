#include <gtest/gtest.h>

#include <string>

#include "framework/ip_window.h"
#include "doubles/recording.h"

namespace {

using doubles::thrown;

TEST(Windows, CreationNeedsAUsableRecordAndTheScopeRestoresIt) {
    const ip_hostCallbacks* rec = doubles::recordingCallbacks();
    const ip_hostCallbacks half{rec->createWindow, nullptr}, other{nullptr, rec->destroyWindow};
    for (const ip_hostCallbacks* record : {static_cast<const ip_hostCallbacks*>(nullptr), &half, &other})
        EXPECT_NE(thrown([&] { ip_dllAdaptor_createWindow(record, "Gauss", 4, 4); }), "");
    ip_dllAdaptor_destroyWindow(nullptr, nullptr);  // ignored without a record or its destroy entry
    ip_dllAdaptor_destroyWindow(&half, nullptr);  // (a full record's windows: the detector's tests)

    const ip_hostCallbacks* before = ip_dllAdaptor_callbacks;
    {
        ip_callbackScope outer(&half);
        {
            ip_callbackScope inner(nullptr);
            EXPECT_EQ(ip_dllAdaptor_callbacks, nullptr);
        }
        EXPECT_EQ(ip_dllAdaptor_callbacks, &half);
    }
    EXPECT_EQ(ip_dllAdaptor_callbacks, before);
}

TEST(Overlay, AimMarkGeometry) {
    doubles::Overlay o, small;
    drawAim(&o, {100, 50}, 10, 2, 1);
    EXPECT_EQ(o.calls, (std::vector<std::string>{"line 100,58-100,70 c=2 l= 0 s=1", "line 100,42-100,30 c=2 l= 0 s=1",
                                                 "line 108,50-120,50 c=2 l= 0 s=1", "line 92,50-80,50 c=2 l= 0 s=1"}));
    drawAim(&small, {0, 0}, 5, 0, 3);
    EXPECT_EQ(small.calls.front(), "line 0,4-0,9 c=0 l= 0 s=3");
}

}  // namespace
