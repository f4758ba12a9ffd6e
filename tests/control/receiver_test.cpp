// The receiver slot under several threads: order, no record twice, and no call into a
// receiver after it has been detached.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "tests/support/recording_receiver.h"

using ReceiverTest = NotificationTest;

namespace {

struct Producer {
    int id = 0;
    int count = 0;
};

std::uint32_t produce(void* raw) {
    auto* p = static_cast<Producer*>(raw);
    for (int i = 0; i < p->count; ++i) {
        postStatus("%d:%d", p->id, i);
        if (i % 16 == 0) flushNotifications();
    }
    return 0;
}

}  // namespace

// Several threads producing and draining at once: every record arrives exactly once.
// (Order holds only for one drainer: two drainers may fire neighbours either way round.)
TEST_F(ReceiverTest, ConcurrentDrainDeliversEachRecordOnce) {
    constexpr int kThreads = 4, kEach = 2000;
    Producer producers[kThreads];
    platform::Thread threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        producers[t] = {t, kEach};
        threads[t] = platform::Thread::start(produce, &producers[t]);
        ASSERT_TRUE(threads[t].valid());
    }
    for (auto& t : threads) ASSERT_TRUE(t.waitEnded(60000));
    flushNotifications();
    const auto events = receiver.events();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kEach, 0));
    for (const ReceivedEvent& e : events) {
        const int id = std::stoi(e.text);
        const int i = std::stoi(e.text.substr(e.text.find(':') + 1));
        ASSERT_EQ(++seen[id][i], 1) << e.text << " delivered twice";
    }
}

namespace {

// A receiver that holds its first call open until told, so a detach can race it.
struct BlockingReceiver : RecordingReceiver {
    platform::Event entered{platform::EventReset::Manual, false};
    platform::Event release{platform::EventReset::Manual, false};
    std::atomic<bool> destroyed{false};
    std::atomic<int> callsAfterDestroy{0};
    void Status(std::string_view text) override {
        if (destroyed) ++callsAfterDestroy;
        entered.set();
        const platform::Event* e = &release;
        platform::waitAny(&e, 1);
        RecordingReceiver::Status(text);
    }
};

struct DetachJob {
    std::atomic<bool> returned{false};
};

std::uint32_t flushAll(void*) {
    flushNotifications();
    return 0;
}

std::uint32_t detachNow(void* raw) {
    detachReceiver();
    static_cast<DetachJob*>(raw)->returned = true;
    return 0;
}

}  // namespace

// detach must not return while another thread is still inside the receiver: its owner
// destroys it right after.
TEST_F(ReceiverTest, DetachWaitsForCallInProgress) {
    BlockingReceiver blocking;
    attachReceiver(&blocking);
    postStatus("first");
    postStatus("second");
    platform::Thread pump = platform::Thread::start(flushAll, nullptr);
    const platform::Event* entered = &blocking.entered;
    ASSERT_EQ(platform::waitAny(&entered, 1, 10000), 0u);

    DetachJob job;
    platform::Thread detacher = platform::Thread::start(detachNow, &job);
    // The detacher cannot finish while the call is open; it is still waiting now, whatever
    // the scheduling, because the receiver has not been released.
    EXPECT_FALSE(detacher.waitEnded(50));
    EXPECT_FALSE(job.returned);
    blocking.release.set();
    ASSERT_TRUE(detacher.waitEnded(10000));
    blocking.destroyed = true;
    ASSERT_TRUE(pump.waitEnded(10000));
    EXPECT_EQ(blocking.callsAfterDestroy, 0) << "the second record must not reach a detached receiver";
    EXPECT_EQ(blocking.events().size(), 1u);
}

namespace {
struct SelfDetaching : RecordingReceiver {
    void Status(std::string_view text) override {
        RecordingReceiver::Status(text);
        detachReceiver();  // e.g. the front end releases its object from an event handler
    }
};
}  // namespace

// A handler that detaches from inside its own event must not wait for itself.
TEST_F(ReceiverTest, DetachFromInsideHandlerDoesNotDeadlock) {
    SelfDetaching self;
    attachReceiver(&self);
    postStatus("one");
    postStatus("two");
    flushNotifications();
    EXPECT_EQ(self.events().size(), 1u);
    attachReceiver(&receiver);
}

// The latest attach takes every later event; one detach silences all.
TEST_F(ReceiverTest, AttachRedirectsDetachSilences) {
    RecordingReceiver second;
    attachReceiver(&second);
    postDebug("to second");
    detachReceiver();
    postDebug("to nobody");
    EXPECT_TRUE(receiver.events().empty());
    ASSERT_EQ(second.events().size(), 1u);
    EXPECT_EQ(second.events()[0].text, "to second");
}
