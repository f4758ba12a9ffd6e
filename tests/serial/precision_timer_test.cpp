// The handshake delay on an injected counter: exact tick targets, no real time involved.
#include <gtest/gtest.h>

#include "serial/precision_timer.h"

namespace {

// Advances one tick per reading and counts the readings.
class SteppingCounter : public platform::PerformanceCounter {
public:
    explicit SteppingCounter(std::int64_t frequency, std::int64_t start = 1000)
        : frequency_(frequency), value_(start), start_(start) {}
    std::int64_t frequency() override { return frequency_; }
    std::int64_t now() override {
        ++reads;
        return value_++;
    }
    std::int64_t advanced() const { return value_ - 1 - start_; }  // ticks up to the last reading
    int reads = 0;

private:
    std::int64_t frequency_, value_, start_;
};

}  // namespace

TEST(PrecisionTimer, WaitsUntilTheTargetTick) {
    struct Case {
        std::int64_t frequency;
        std::uint32_t microseconds;
        std::int64_t ticks;
    } cases[] = {
        {3579545, 1500, 5369},  // 5369.3 truncated
        {1000000, 1, 1},
        {1000000, 1500, 1500},
        {1000000, 777, 777},
        {10000000, 1500, 15000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frequency) + " Hz, " + std::to_string(c.microseconds) + " us");
        SteppingCounter counter(c.frequency);
        CPrecisionTimer timer(counter);
        timer.delayMicroseconds(c.microseconds);
        EXPECT_EQ(counter.advanced(), c.ticks) << "the last reading is the first at or past the target";
        EXPECT_EQ(counter.reads, c.ticks + 1);
    }
}

// A delay shorter than a tick, a zero delay and a missing counter cost one reading.
TEST(PrecisionTimer, NothingToWaitCostsOneReading) {
    SteppingCounter slow(1000);  // 1 ms ticks
    CPrecisionTimer a(slow);
    a.delayMicroseconds(999);
    EXPECT_EQ(slow.reads, 1);

    SteppingCounter fast(3579545);
    CPrecisionTimer b(fast);
    b.delayMicroseconds(0);
    EXPECT_EQ(fast.reads, 1);

    SteppingCounter none(0);
    CPrecisionTimer c(none);
    c.delayMicroseconds(1500);
    EXPECT_EQ(none.reads, 1);
}

// The 64-bit product must not overflow for the largest delay a caller can ask.
TEST(PrecisionTimer, LargeDelaysKeepTheirLength) {
    SteppingCounter counter(1000000, -5);
    CPrecisionTimer timer(counter);
    timer.delayMicroseconds(3000000);
    EXPECT_EQ(counter.advanced(), 3000000);
}
