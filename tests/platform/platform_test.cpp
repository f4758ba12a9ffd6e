// The rest of the platform layer: mutex, threads, counter, errors, attributes, formatting.
#include <gtest/gtest.h>

#include <string>

#include "platform/event.h"
#include "platform/file_attributes.h"
#include "platform/format.h"
#include "platform/mutex.h"
#include "platform/performance_counter.h"
#include "platform/system_error.h"
#include "platform/thread.h"
#include "tests/support/temp_dir.h"

namespace {

struct Counter {
    platform::Mutex lock;
    long value = 0;
};

std::uint32_t addMany(void* raw) {
    auto* c = static_cast<Counter*>(raw);
    for (int i = 0; i < 4000; ++i) {
        platform::MutexLock outer(c->lock);
        platform::MutexLock inner(c->lock);  // re-entrant
        const long v = c->value;
        c->value = v + 1;
    }
    return 0;
}

std::uint32_t tryTake(void* raw) {
    auto* c = static_cast<Counter*>(raw);
    platform::MutexLock hold(c->lock);
    c->value = 42;
    return 0;
}

}  // namespace

// Re-entrant for its owner, exclusive between threads.
TEST(Mutex, ReentrantForOwnerExclusiveBetweenThreads) {
    Counter c;
    platform::Thread a = platform::Thread::start(addMany, &c);
    platform::Thread b = platform::Thread::start(addMany, &c);
    ASSERT_TRUE(a.waitEnded(60000));
    ASSERT_TRUE(b.waitEnded(60000));
    EXPECT_EQ(c.value, 8000);

    // Taken twice, released twice: another thread can take it afterwards.
    c.lock.lock();
    c.lock.lock();
    c.lock.unlock();
    c.lock.unlock();
    platform::Thread t = platform::Thread::start(tryTake, &c);
    ASSERT_TRUE(t.waitEnded(10000)) << "a lock taken twice and released twice must be free";
    EXPECT_EQ(c.value, 42);
}

// A thread that was never created counts as ended, a running one does not end on its own.
TEST(Thread, EndedTest) {
    platform::Thread none;
    EXPECT_TRUE(none.hasEnded());

    platform::Event go(platform::EventReset::Manual, false);
    platform::Thread t = platform::Thread::start(
        [](void* raw) -> std::uint32_t {
            const platform::Event* e = static_cast<platform::Event*>(raw);
            platform::waitAny(&e, 1);
            return 7;
        },
        &go);
    ASSERT_TRUE(t.valid());
    EXPECT_FALSE(t.hasEnded());
    EXPECT_TRUE(t.setPriority(platform::ThreadPriority::Idle));
    go.set();
    EXPECT_TRUE(t.waitEnded(10000));
    EXPECT_TRUE(t.hasEnded());
}

TEST(PerformanceCounter, SystemCounterRunsForward) {
    platform::SystemPerformanceCounter counter;
    EXPECT_GT(counter.frequency(), 0);
    const std::int64_t a = counter.now();
    const std::int64_t b = counter.now();
    EXPECT_LE(a, b);
}

TEST(SystemError, LastErrorAndText) {
    platform::setLastError(platform::errorAccessDenied());
    EXPECT_EQ(platform::lastError(), platform::errorAccessDenied());
    EXPECT_FALSE(platform::systemErrorText(platform::errorAccessDenied()).empty());
    EXPECT_FALSE(platform::systemErrorText(platform::errorNameTooLong()).empty());
}

// Clearing read-only keeps the file writable afterwards; a missing file changes nothing.
TEST(FileAttributes, SetAndClearReadOnly) {
    TempDir dir;
    const std::string f = dir.path("a.bin");
    writeFile(f, {1, 2, 3});
    EXPECT_FALSE(platform::hasReadOnlyAttribute(f.c_str()));
    EXPECT_TRUE(platform::setReadOnlyAttribute(f.c_str()));
    EXPECT_TRUE(platform::hasReadOnlyAttribute(f.c_str()));
    EXPECT_TRUE(platform::clearReadOnlyAttribute(f.c_str()));
    EXPECT_FALSE(platform::hasReadOnlyAttribute(f.c_str()));
    EXPECT_FALSE(platform::clearReadOnlyAttribute(dir.path("missing").c_str()));
}

// Output stops at 1023 characters, and never passes the buffer.
TEST(Format, StopsAt1023Characters) {
    const std::string long2000(2000, 'x');
    char big[2048];
    EXPECT_EQ(platform::formatText(big, sizeof big, "%s", long2000.c_str()), 1023u);
    EXPECT_EQ(std::string(big), std::string(1023, 'x'));

    char small[8];
    EXPECT_EQ(platform::formatText(small, sizeof small, "%s-%d", "abcdef", 42), 7u);
    EXPECT_STREQ(small, "abcdef-");

    char hex[16];
    platform::formatText(hex, sizeof hex, "unknown device - %02x", 0x3a);
    EXPECT_STREQ(hex, "unknown device ");
    char line[64];
    platform::formatText(line, sizeof line, "unknown device - %02x / %u", 0x0a, 7u);
    EXPECT_STREQ(line, "unknown device - 0a / 7");
}
