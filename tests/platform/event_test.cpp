// Events and the multi-wait: the semantics every transfer and controller wait relies on.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/event.h"
#include "platform/thread.h"

using platform::Event;
using platform::EventReset;

namespace {

struct WaitJob {
    const Event* events[4] = {};
    unsigned count = 0;
    std::uint32_t timeoutMs = platform::kInfinite;
    std::atomic<unsigned> result{0xDEAD};
    Event* finished = nullptr;  // set when the wait has returned
};

std::uint32_t runWait(void* raw) {
    auto* job = static_cast<WaitJob*>(raw);
    job->result = platform::waitAny(job->events, job->count, job->timeoutMs);
    if (job->finished) job->finished->set();
    return 0;
}

}  // namespace

// A manual-reset event that woke one waiter must still wake the next and stay set.
TEST(Event, ManualResetStaysSetForEveryWaiter) {
    Event e(EventReset::Manual, false);
    WaitJob a, b;
    a.events[0] = b.events[0] = &e;
    a.count = b.count = 1;
    platform::Thread ta = platform::Thread::start(runWait, &a);
    platform::Thread tb = platform::Thread::start(runWait, &b);
    ASSERT_TRUE(ta.valid() && tb.valid());
    e.set();
    ASSERT_TRUE(ta.waitEnded(10000));
    ASSERT_TRUE(tb.waitEnded(10000));
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(b.result, 0u);
    EXPECT_TRUE(e.isSet());
    EXPECT_TRUE(e.isSet()) << "testing a manual-reset event must not consume it";
    e.reset();
    EXPECT_FALSE(e.isSet());
}

// One set of an auto-reset event releases exactly one wait.
TEST(Event, AutoResetWakesOne) {
    Event e(EventReset::Auto, false);
    const Event* list[] = {&e};
    e.set();
    EXPECT_EQ(platform::waitAny(list, 1, 0), 0u);
    EXPECT_EQ(platform::waitAny(list, 1, 0), platform::kWaitTimeout) << "the first wait consumed it";

    Event finished(EventReset::Auto, false);
    WaitJob a, b;
    a.events[0] = b.events[0] = &e;
    a.count = b.count = 1;
    a.finished = b.finished = &finished;
    platform::Thread ta = platform::Thread::start(runWait, &a);
    platform::Thread tb = platform::Thread::start(runWait, &b);
    e.set();
    e.set();  // may land before either waits: a set event absorbs the second set
    // Whatever the interleaving, at least one waiter wakes; a third set frees a second.
    const Event* done[] = {&finished};
    ASSERT_EQ(platform::waitAny(done, 1, 10000), 0u);
    e.set();
    ASSERT_TRUE(ta.waitEnded(10000));
    ASSERT_TRUE(tb.waitEnded(10000));
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(b.result, 0u);
}

// With several events signalled the lowest index wins, so the command line is handled
// before a completed transfer.
TEST(Event, WaitAnyReportsLowestSignalled) {
    Event e0(EventReset::Auto, false), e1(EventReset::Manual, false), e2(EventReset::Manual, false),
        e3(EventReset::Auto, false);
    const Event* list[] = {&e0, &e1, &e2, &e3};
    e3.set();
    e2.set();
    EXPECT_EQ(platform::waitAny(list, 4, 0), 2u);
    EXPECT_EQ(platform::waitAny(list, 4, 0), 2u) << "manual-reset stays set";
    e2.reset();
    EXPECT_EQ(platform::waitAny(list, 4, 0), 3u);
    EXPECT_EQ(platform::waitAny(list, 4, 0), platform::kWaitTimeout) << "auto-reset was consumed";
    e1.set();
    e0.set();
    EXPECT_EQ(platform::waitAny(list, 4, 0), 0u);
    EXPECT_EQ(platform::waitAny(list, 4, 0), 1u);
}

// A waiter blocked on several events wakes for a set from another thread.
TEST(Event, SetFromAnotherThreadWakesBlockedWaiter) {
    Event e0(EventReset::Auto, false), e1(EventReset::Auto, false);
    WaitJob job;
    job.events[0] = &e0;
    job.events[1] = &e1;
    job.count = 2;
    platform::Thread t = platform::Thread::start(runWait, &job);
    ASSERT_TRUE(t.valid());
    e1.set();
    ASSERT_TRUE(t.waitEnded(10000));
    EXPECT_EQ(job.result, 1u);
}

// An event that could not be created must never let a "stop" or "halt" test pass as clear.
TEST(Event, InvalidEventCountsAsSetAndCannotBeWaitedOn) {
    Event none;
    EXPECT_FALSE(none.valid());
    EXPECT_TRUE(none.isSet());
    EXPECT_FALSE(none.set());
    const Event* list[] = {&none};
    EXPECT_EQ(platform::waitAny(list, 1, 0), platform::kWaitFailed);
}

TEST(Event, MoveTransfersOwnership) {
    Event a(EventReset::Manual, true);
    Event b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_TRUE(b.isSet());
    Event c;
    c = std::move(b);
    EXPECT_TRUE(c.isSet());
    EXPECT_FALSE(b.valid());
}
