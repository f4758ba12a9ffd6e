// The Windows side of the serial port test: CSIOPort, with the system's comm device, on a COM
// port that the driver (tools/host/serial_port_wine_test, the computer) has mapped to its
// pseudo-terminal. The port reports to a notifier, as in the emulator, with a receiver that
// records every event; this side delivers at each step and before it reports its count of
// Error events. The two sides take turns over the line itself (serial_port_protocol.h); the
// driver judges what it sees and what this side reports.
//
//   serial_port_wine COMn                (n from 5 to 9)
//
//   serial_port_wine COMn one-frame      one command frame only, for the driver's scenarios
//                                        that arrange Wine's threads around it
//
// Exit code 0 when the conversation ran to its end; 1 when a step could not go on (the
// output says which and why); 2 for a bad command line.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/notifier.h"
#include "control/receiver.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/performance_counter.h"
#include "platform/thread.h"
#include "serial/run_state.h"
#include "serial/sio_port.h"
#include "serial/system_comm_device.h"
#include "port_contract.h"
#include "serial_port_protocol.h"

namespace {

using namespace port_protocol;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::printf("serial_port_wine: ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
}

// Records every event the emulator reports, and prints it as it comes.
class EventLog final : public IReceiver {
public:
    void Status(std::string_view text) override { note("Status", 0, text); }
    void Debug(std::string_view text) override { note("Debug", 0, text); }
    void Error(std::uint32_t number, std::string_view text) override
    {
        platform::MutexLock hold(lock_);
        ++errors_;
        note("Error", number, text);
    }
    void Command(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                 std::uint8_t, std::uint32_t, std::string_view name) override
    {
        note("Command", 0, name);
    }

    unsigned errors()
    {
        platform::MutexLock hold(lock_);
        return errors_;
    }

private:
    void note(const char* kind, std::uint32_t number, std::string_view text)
    {
        platform::MutexLock hold(lock_);
        say("event %s %u: %.*s", kind, static_cast<unsigned>(number), static_cast<int>(text.size()),
            text.data());
    }

    platform::Mutex lock_;
    unsigned errors_ = 0;
};

// The notifier with the log attached for the life of this object, which delivers what is
// left when it ends.
class Reporting {
public:
    explicit Reporting(EventLog& log) : log_(log) { notifier.attach(&log_); }
    ~Reporting()
    {
        notifier.flushNotifications();
        notifier.detach(&log_);
    }
    Reporting(const Reporting&) = delete;
    Reporting& operator=(const Reporting&) = delete;

    CNotifier notifier;

private:
    EventLog& log_;
};

// Halts the port (which ends any transfer) when a step makes no progress for kWatchdogMs, so
// that this side never waits for ever on a driver that has gone.
class Watchdog {
public:
    explicit Watchdog(CRunState& states) : states_(states)
    {
        thread_ = platform::Thread::start(run, this);
    }
    ~Watchdog()
    {
        finished_.set();
        thread_.waitEnded(kWaitMs);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void step(const char* name)
    {
        step_.store(name);
        progress_.set();
    }
    void progress() { progress_.set(); }

private:
    static std::uint32_t run(void* raw)
    {
        auto* self = static_cast<Watchdog*>(raw);
        const platform::Event* events[] = {&self->finished_, &self->progress_};
        for (;;) {
            const unsigned signalled = platform::waitAny(events, 2, kWatchdogMs);
            if (signalled == 1)
                continue;
            if (signalled != 0) {
                say("watchdog: no progress for %u s in step '%s'; halting the port",
                    kWatchdogMs / 1000, self->step_.load());
                self->states_.setHalted(true);
            }
            return 0;
        }
    }

    CRunState& states_;
    std::atomic<const char*> step_{"start"};
    platform::Event finished_{platform::EventReset::Manual, false};
    platform::Event progress_{platform::EventReset::Auto, false};
    platform::Thread thread_;
};

// A second thread that requests a stop when the driver sends kStopNow on standard input.
class StopRequester {
public:
    StopRequester(CRunState& states, platform::PerformanceCounter& clock)
        : states_(states), clock_(clock)
    {
        thread_ = platform::Thread::start(run, this);
    }
    ~StopRequester() { thread_.waitEnded(kWaitMs); }
    StopRequester(const StopRequester&) = delete;
    StopRequester& operator=(const StopRequester&) = delete;

    bool valid() const { return thread_.valid(); }
    bool finished(std::uint32_t timeoutMs) const { return thread_.waitEnded(timeoutMs); }
    bool requested() const { return requested_.load(); }
    std::int64_t requestedAt() const { return requestedAt_.load(); }

private:
    static std::uint32_t run(void* raw)
    {
        auto* self = static_cast<StopRequester*>(raw);
        const int c = std::fgetc(stdin);
        if (c != kStopNow) {
            say("stop requester: standard input gave %d, not the stop byte", c);
            return 1;
        }
        self->requestedAt_.store(self->clock_.now());
        self->requested_.store(true);
        self->states_.setStopRequested(true);
        return 0;
    }

    CRunState& states_;
    platform::PerformanceCounter& clock_;
    std::atomic<bool> requested_{false};
    std::atomic<std::int64_t> requestedAt_{0};
    platform::Thread thread_;
};

// The system's comm device, with a record of the last calls CSIOPort made on it (what it
// asked, what came back, when), printed when something has gone wrong. It changes nothing.
class CallRecord final : public comm::ICommDevice {
public:
    explicit CallRecord(std::unique_ptr<comm::ICommDevice> device) : device_(std::move(device)) {}

    bool open(const char* name) override { return note("open", device_->open(name)); }
    bool isOpen() const override { return device_->isOpen(); }
    void close() override
    {
        device_->close();
        note("close", true);
    }
    bool getState(comm::Settings& s) override { return note("getState", device_->getState(s)); }
    bool setState(const comm::Settings& s) override
    {
        return note("setState", device_->setState(s));
    }
    bool setZeroTimeouts() override { return note("setZeroTimeouts", device_->setZeroTimeouts()); }
    bool setupQueues(std::uint32_t in, std::uint32_t out) override
    {
        return note("setupQueues", device_->setupQueues(in, out));
    }
    bool setMask(std::uint32_t mask) override
    {
        return note("setMask", device_->setMask(mask), mask);
    }
    bool getModemStatus(std::uint32_t& status) override
    {
        const bool ok = device_->getModemStatus(status);
        return note("getModemStatus", ok, status);
    }
    bool waitCommEvent(std::uint32_t& mask, platform::Event& done) override
    {
        const bool ok = device_->waitCommEvent(mask, done);
        return note("waitCommEvent", ok, mask);
    }
    bool readFile(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                  platform::Event& done) override
    {
        const bool ok = device_->readFile(buffer, count, moved, done);
        return note("readFile", ok, count);
    }
    bool writeFile(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                   platform::Event& done) override
    {
        const bool ok = device_->writeFile(buffer, count, moved, done);
        return note("writeFile", ok, count);
    }
    bool getOverlappedResult(comm::Operation op, std::uint32_t& moved, bool wait) override
    {
        const bool ok = device_->getOverlappedResult(op, moved, wait);
        return note(op == comm::Operation::Watch
                        ? (wait ? "getOverlappedResult(watch, wait)" : "getOverlappedResult(watch)")
                        : (wait ? "getOverlappedResult(transfer, wait)"
                                : "getOverlappedResult(transfer)"),
                    ok, op == comm::Operation::Watch ? device_->completedMask() : moved);
    }
    std::uint32_t completedMask() const override { return device_->completedMask(); }
    bool clearCommError(std::uint32_t* errors, std::uint32_t* queued) override
    {
        return note("clearCommError", device_->clearCommError(errors, queued), errors ? *errors : 0);
    }
    bool purge(std::uint32_t flags) override { return note("purge", device_->purge(flags), flags); }
    bool cancelIo() override { return note("cancelIo", device_->cancelIo()); }
    std::uint32_t lastError() const override { return device_->lastError(); }

    void print()
    {
        say("the last %u calls on the comm device (oldest first; time in us):",
            static_cast<unsigned>(kKept));
        for (std::size_t i = 0; i < kKept; ++i) {
            const Entry& e = entries_[(next_ + i) % kKept];
            if (!e.call)
                continue;
            say("  %12.0f %-36s %s%s value 0x%x", static_cast<double>(e.at), e.call,
                e.ok ? "ok" : "failed, error ",
                e.ok ? "" : std::to_string(e.error).c_str(), static_cast<unsigned>(e.value));
        }
    }

private:
    struct Entry {
        const char* call = nullptr;
        bool ok = false;
        std::uint32_t error = 0, value = 0;
        std::int64_t at = 0;
    };
    static constexpr std::size_t kKept = 48;

    bool note(const char* call, bool ok, std::uint32_t value = 0)
    {
        const std::int64_t frequency = clock_.frequency();
        entries_[next_] = Entry{call, ok, ok ? 0 : device_->lastError(), value,
                                frequency > 0 ? clock_.now() * 1000000 / frequency : 0};
        next_ = (next_ + 1) % kKept;
        return ok;
    }

    std::unique_ptr<comm::ICommDevice> device_;
    platform::SystemPerformanceCounter clock_;
    Entry entries_[kKept];
    std::size_t next_ = 0;
};

void putLE(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

class Session {
public:
    Session(CSIOPort& port, comm::ICommDevice& device, CRunState& states, CNotifier& notifier,
            EventLog& log, Watchdog& dog)
        : port_(port), device_(device), states_(states), notifier_(notifier), log_(log), dog_(dog)
    {
    }

    int run(std::uint8_t n)
    {
        bool ok = opened(n) && writes() && contract() && loop() && done();
        return ok ? 0 : 1;
    }

    // One command frame, for the driver's scenarios that arrange Wine's threads around it. It
    // begins on the driver's go byte: the driver sets up its holds first.
    int runOneFrame(std::uint8_t n)
    {
        return opened(n) && go("before the frame") && oneFrame() && done() ? 0 : 1;
    }

private:
    bool send(std::vector<std::uint8_t> bytes, const char* what)
    {
        if (port_.writeBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size())))
            return true;
        return failed(what);
    }
    bool marker(std::uint8_t m, const char* step)
    {
        notifier_.flushNotifications();
        dog_.step(step);
        return send({m}, step);
    }
    // Says why this side cannot go on, and tells the driver when the port still works.
    bool failed(const char* what)
    {
        notifier_.flushNotifications();
        say("cannot go on: %s failed%s", what, states_.isHalted() ? " (the port is halted)" : "");
        if (!states_.isHalted())
            port_.writeByte(kFailed);
        return false;
    }

    // A read of the driver's go byte: the driver releases a command line it has held only
    // while this side waits in a read, then sends the byte. The release is the end of the
    // command just answered, which the read ignores.
    bool go(const char* after)
    {
        dog_.progress();
        std::uint8_t b = 0;
        const bool ok = port_.readBytes(&b, 1);
        if (ok && b == kGo)
            return true;
        say("the read of the go byte %s %s (command line seen: %s)", after,
            ok ? "read a wrong byte" : "failed", port_.commandLineSeen() ? "yes" : "no");
        return failed("reading the go byte");
    }

    bool opened(std::uint8_t n)
    {
        dog_.step("openPort");
        if (!port_.openPort(n))
            return failed("openPort");
        comm::Settings s;
        s.length = 28;
        if (!device_.getState(s))
            return failed("GetCommState after openPort");
        say("open: %u baud, %u data bits, parity %u, stop bits %u, flags 0x%08x",
            static_cast<unsigned>(s.baudRate), s.byteSize, s.parity, s.stopBits,
            static_cast<unsigned>(s.flags));
        std::vector<std::uint8_t> report{kOpened};
        putLE(report, s.baudRate, 4);
        report.push_back(s.byteSize);
        report.push_back(s.parity);
        report.push_back(s.stopBits);
        putLE(report, s.flags, 4);
        return send(report, "the open report");
    }

    bool writes()
    {
        if (!marker(kWrites, "writes"))
            return false;
        std::uint8_t frame[kDataFrame];
        dataFrame(kWrittenSeed, frame);
        std::uint8_t bits = 0;
        if (port_.writeByte(kAck)) bits |= 1;
        if (port_.writeByte(kComplete)) bits |= 2;
        if (port_.writeBytes(frame, kDataFrame)) bits |= 4;
        say("writes: results 0x%x", bits);
        return send({kReport, bits}, "the writes report");
    }

    // The engine's contract with the line (port_contract.h), case by case: the marker; after
    // a command frame, that frame's read and its ACK; the case's read; the report; the go byte.
    bool contract()
    {
        const auto& cases = port_contract::cases();
        for (std::size_t n = 0; n < cases.size(); ++n) {
            const port_contract::Case& c = cases[n];
            bool stops = false;
            for (const port_contract::Step& s : c.steps)
                stops = stops || s.act == port_contract::Act::Stop;
            platform::SystemPerformanceCounter clock;
            std::unique_ptr<StopRequester> requester;
            if (stops) {
                requester = std::make_unique<StopRequester>(states_, clock);
                if (!requester->valid())
                    return failed("starting the stop requester");
            }
            if (!marker(kContract, c.name))
                return false;
            bool frameOk = true;
            if (c.afterFrame) {
                std::uint8_t frame[5] = {};
                const auto want = port_contract::leadingFrame(n);
                frameOk = port_.readBytes(frame, 5) && std::memcmp(frame, want.data(), 5) == 0;
                if (frameOk && !port_.writeByte(kAck))
                    return failed("writing the ACK");
            }
            std::vector<std::uint8_t> got(c.readCount);
            const bool ok = frameOk && port_.readBytes(got.data(), c.readCount);
            const bool seen = port_.commandLineSeen();
            if (requester && !requester->finished(kWaitMs))
                return failed("waiting for the stop requester");
            states_.setStopRequested(false);
            const bool right = ok && got == port_contract::sent(n);
            // The bytes a read that ended early left behind would be taken for the go byte.
            port_.purgeBuffers();
            say("contract: %s: frame %s, read %s, command line %s, bytes %s", c.name,
                frameOk ? "right" : "wrong", ok ? "completed" : "ended", seen ? "seen" : "not seen",
                right ? "right" : "wrong");
            if (!send({kReport, frameOk, ok, seen, right}, "the contract report") ||
                !go("after a contract case"))
                return false;
        }
        return true;
    }

    bool oneFrame()
    {
        if (!marker(kOneFrame, "one command frame"))
            return false;
        // The frame read arms a wait of its own, whose arming the driver's races are about;
        // the port would otherwise go on with the one it keeps from the go byte's read.
        port_.endWatch();
        std::uint8_t frame[5] = {};
        const bool ok = port_.readBytes(frame, 5);
        say("one command frame: %s", ok ? "accepted" : "refused");
        std::vector<std::uint8_t> report{kReport, ok};
        report.insert(report.end(), frame, frame + 5);
        // The second go byte's read arms the wait after the first's: the driver's races need one.
        return send(report, "the command frame report") &&
               (!ok || (go("after the frame") && go("at the end")));
    }

    // Command frames back to back, each answered at once (ACK when it is the expected frame),
    // then the go byte that comes with the release of its command line.
    bool loop()
    {
        if (!marker(kLoop, "frames back to back"))
            return false;
        int n = 0;
        for (; n < kLoopFrames; ++n) {
            dog_.progress();
            std::uint8_t frame[5] = {};
            if (!port_.readBytes(frame, 5)) {
                say("frames back to back: frame %d refused", n);
                port_.writeByte(kFailed);
                break;
            }
            std::uint8_t expected[5];
            commandFrame(static_cast<unsigned>(n), expected);
            const std::uint8_t reply = std::memcmp(frame, expected, 5) == 0 ? kAck : kNak;
            if (!port_.writeByte(reply))
                return failed("writing a reply in the loop");
            if (reply == kNak) {
                say("frames back to back: frame %d came in wrong", n);
                break;
            }
            if (!go("in the loop"))
                return false;
        }
        notifier_.flushNotifications();
        say("frames back to back: %d of %d, %u error events so far, %s", n, kLoopFrames,
            log_.errors(), states_.isHalted() ? "halted" : "not halted");
        std::vector<std::uint8_t> report{kReport};
        putLE(report, static_cast<std::uint32_t>(n), 2);
        putLE(report, log_.errors(), 2);
        report.push_back(states_.isHalted());
        return send(report, "the loop report");
    }

    bool done()
    {
        dog_.step("done");
        notifier_.flushNotifications();
        std::vector<std::uint8_t> report{kDone};
        putLE(report, log_.errors(), 2);
        report.push_back(states_.isHalted());
        if (!send(report, "the last report"))
            return false;
        port_.closePort();
        say("done: %u error events", log_.errors());
        return true;
    }

    CSIOPort& port_;
    comm::ICommDevice& device_;
    CRunState& states_;
    CNotifier& notifier_;
    EventLog& log_;
    Watchdog& dog_;
};

}  // namespace

int main(int argc, char** argv)
{
    // COM1 to COM4 may be this machine's own ports; the driver maps one of COM5 to COM9.
    const bool oneFrame = argc == 3 && std::strcmp(argv[2], "one-frame") == 0;
    if ((argc != 2 && !oneFrame) || std::strlen(argv[1]) != 4 ||
        std::strncmp(argv[1], "COM", 3) != 0 || argv[1][3] < '5' || argv[1][3] > '9') {
        std::printf("usage: serial_port_wine COMn [one-frame] (n from 5 to 9)\n");
        return 2;
    }
    const auto n = static_cast<std::uint8_t>(argv[1][3] - '0');

    CRunState states;
    EventLog log;
    Reporting reporting(log);
    // The system's comm device, as the emulator's port has it, seen through a record of the
    // calls; this side keeps a view of it to read the line settings back.
    auto owned = std::make_unique<CallRecord>(comm::makeSystemCommDevice());
    CallRecord& device = *owned;
    CSIOPort port(std::move(owned), states, reporting.notifier);
    Watchdog dog(states);
    Session session(port, device, states, reporting.notifier, log, dog);
    const int rc = oneFrame ? session.runOneFrame(n) : session.run(n);
    if (rc != 0 || log.errors() != 0)
        device.print();
    return rc;
}
