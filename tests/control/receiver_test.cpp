// Delivery under several threads: one deliverer at a time, push order, no record twice, no
// call into a receiver after it has been taken away, and the receivers as a stack.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "control/state_store.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "tests/support/recording_receiver.h"

using ReceiverTest = NotificationTest;

namespace {

struct Producer {
    CNotifier* notifier = nullptr;
    int id = 0;
    int count = 0;
};

// Reports, and delivers now and then, as an operation of the emulator does.
std::uint32_t produce(void* raw) {
    auto* p = static_cast<Producer*>(raw);
    for (int i = 0; i < p->count; ++i) {
        if (i % 3 == 0) p->notifier->postDebug("%d:%d", p->id, i);
        else p->notifier->postStatus("%d:%d", p->id, i);
        if (i % 16 == 0) p->notifier->flushNotifications();
    }
    return 0;
}

// Fails when two threads are inside it at once.
struct OneAtATime : RecordingReceiver {
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    void Status(std::string_view text) override { enter([&] { RecordingReceiver::Status(text); }); }
    void Debug(std::string_view text) override { enter([&] { RecordingReceiver::Debug(text); }); }
    template <typename F>
    void enter(F f) {
        if (++inside > 1) ++overlaps;
        f();
        --inside;
    }
};

}  // namespace

// Two threads report and deliver while the pump delivers too: each record arrives once, each
// thread's records in the order they were reported, and never two calls at once.
TEST(Delivery, PushOrderWithTwoReportersAndThePump) {
    constexpr int kThreads = 2, kEach = 3000;
    CNotifier notifier;
    OneAtATime receiver;
    notifier.attach(&receiver);
    {
        CStateStore pumping(notifier);
        Producer producers[kThreads];
        platform::Thread threads[kThreads];
        for (int t = 0; t < kThreads; ++t) {
            producers[t] = {&notifier, t, kEach};
            threads[t] = platform::Thread::start(produce, &producers[t]);
            ASSERT_TRUE(threads[t].valid());
        }
        for (auto& t : threads) ASSERT_TRUE(t.waitEnded(60000));
    }
    notifier.flushNotifications();
    EXPECT_EQ(receiver.overlaps, 0) << "two deliverers called the receiver at once";
    std::vector<int> next(kThreads, 0);
    for (const ReceivedEvent& e : receiver.events()) {
        if (e.text.find(':') == std::string::npos) continue;  // the pump's load line
        const int id = std::stoi(e.text);
        const int i = std::stoi(e.text.substr(e.text.find(':') + 1));
        ASSERT_EQ(i, next[id]) << "thread " << id << ": record " << i << " out of order or twice";
        ++next[id];
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach)) << "records lost";
}

namespace {

// A receiver that holds its first call open until told, so that others can race it.
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

struct Job {
    CNotifier* notifier;
    IReceiver* receiver;
    std::atomic<bool> returned{false};
};

std::uint32_t flushAll(void* raw) {
    static_cast<Job*>(raw)->notifier->flushNotifications();
    return 0;
}

std::uint32_t detachNow(void* raw) {
    auto* job = static_cast<Job*>(raw);
    job->notifier->detach(job->receiver);
    job->returned = true;
    return 0;
}

}  // namespace

// A deliverer may be stuck in a handler that calls back into the server on another thread.
// That thread's own delivery must leave its records to the deliverer and return at once;
// and a detach must not return while the call into its receiver is still open, because its
// owner destroys it right after.
TEST_F(ReceiverTest, StuckDelivererBlocksNeitherFlushNorOthers) {
    BlockingReceiver blocking;
    notifier.attach(&blocking);
    notifier.postStatus("first");
    notifier.postStatus("second");
    Job job{&notifier, &blocking};
    platform::Thread deliverer = platform::Thread::start(flushAll, &job);
    const platform::Event* entered = &blocking.entered;
    ASSERT_EQ(platform::waitAny(&entered, 1, 10000), 0u);

    notifier.postStatus("third");
    notifier.flushNotifications();  // returns: the records are the stuck deliverer's now
    EXPECT_EQ(notifier.queue().count(), 2u);

    platform::Thread detacher = platform::Thread::start(detachNow, &job);
    // Still waiting now, whatever the scheduling: the receiver has not been released.
    EXPECT_FALSE(detacher.waitEnded(50));
    EXPECT_FALSE(job.returned);
    blocking.release.set();
    ASSERT_TRUE(detacher.waitEnded(10000));
    blocking.destroyed = true;
    ASSERT_TRUE(deliverer.waitEnded(10000));
    EXPECT_EQ(blocking.callsAfterDestroy, 0) << "no record may reach a detached receiver";
    EXPECT_EQ(blocking.events().size(), 1u);
    std::vector<std::string> rest;
    for (const ReceivedEvent& e : receiver.events()) rest.push_back(e.text);
    EXPECT_EQ(rest, (std::vector<std::string>{"second", "third"})) << "the receiver below hears again";
}

namespace {
struct SelfDetaching : RecordingReceiver {
    CNotifier* notifier = nullptr;
    void Status(std::string_view text) override {
        RecordingReceiver::Status(text);
        notifier->detach(this);  // e.g. the front end releases its object from an event handler
        notifier->flushNotifications();  // and calls another member: no second deliverer
    }
};
}  // namespace

// A handler that detaches from inside its own event must not wait for itself, and one that
// delivers from inside its own event must not start a second delivery.
TEST_F(ReceiverTest, DetachFromInsideHandlerDoesNotDeadlock) {
    SelfDetaching self;
    self.notifier = &notifier;
    notifier.attach(&self);
    notifier.postStatus("one");
    notifier.postStatus("two");
    notifier.flushNotifications();
    EXPECT_EQ(self.events().size(), 1u);
    ASSERT_EQ(receiver.events().size(), 1u);
    EXPECT_EQ(receiver.events()[0].text, "two");
}

// The newest receiver hears; taking any one away, wherever it stands, leaves the others.
TEST_F(ReceiverTest, ReceiversStack) {
    RecordingReceiver second, third;
    auto say = [&](const char* text) {
        notifier.postStatus("%s", text);
        notifier.flushNotifications();
    };
    notifier.attach(&second);
    say("to second");
    notifier.detach(&second);
    say("to first again");
    notifier.attach(&second);
    notifier.attach(&third);
    notifier.detach(&second);  // came and went beneath the newest
    say("to third");
    notifier.detach(&third);
    say("to first at last");
    notifier.detach(&receiver);
    say("to nobody");
    auto texts = [](RecordingReceiver& r) {
        std::vector<std::string> out;
        for (const ReceivedEvent& e : r.events()) out.push_back(e.text);
        return out;
    };
    EXPECT_EQ(texts(receiver), (std::vector<std::string>{"to first again", "to first at last"}));
    EXPECT_EQ(texts(second), std::vector<std::string>{"to second"});
    EXPECT_EQ(texts(third), std::vector<std::string>{"to third"});
}
