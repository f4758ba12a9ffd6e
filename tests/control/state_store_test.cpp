// The run-state events that end every transfer and the emulation loop.
#include <gtest/gtest.h>

#include "platform/event.h"
#include "serial/run_state.h"

TEST(RunState, StartsClearAndFollowsItsSetters) {
    CRunState s;
    EXPECT_FALSE(s.isStopRequested());
    EXPECT_FALSE(s.isHalted());
    s.setStopRequested(true);
    s.setStopRequested(true);
    EXPECT_TRUE(s.isStopRequested());
    s.setStopRequested(false);
    EXPECT_FALSE(s.isStopRequested()) << "manual-reset: one clear undoes any number of sets";

    s.setHalted(true);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(s.isHalted()) << "a test must not consume the halt";
    EXPECT_FALSE(s.isStopRequested());
    s.setHalted(false);
    EXPECT_FALSE(s.isHalted());
}

// A wait that begins while the emulation is halted ends at once.
TEST(RunState, WaitOnSetEventEndsAtOnce) {
    CRunState s;
    platform::Event never(platform::EventReset::Auto, false);
    const platform::Event* list[] = {&never, &never, &s.stopRequestEvent(), &s.haltEvent()};
    EXPECT_EQ(platform::waitAny(list, 4, 0), platform::kWaitTimeout);
    s.setHalted(true);
    EXPECT_EQ(platform::waitAny(list, 4, platform::kInfinite), 3u);
    s.setStopRequested(true);
    EXPECT_EQ(platform::waitAny(list, 4, platform::kInfinite), 2u);
}
