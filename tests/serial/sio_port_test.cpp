// The serial port engine on the fake device: line settings, opening and its failures, the
// command-frame rule, the command line during transfers, line errors, critical errors, stop
// and halt, and that no operation is left pending when a transfer returns.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "serial/sio_port.h"
#include "tests/support/fake_comm_device.h"
#include "tests/support/recording_receiver.h"
#include "tools/host/port_contract.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Call = FakeCommDevice::Call;

// Runs one transfer on its own thread, as the emulation thread would.
class Transfer {
public:
    Transfer(CSIOPort& port, CSIOPort::Mode mode, Bytes data)
        : port_(port), mode_(mode), buffer_(std::move(data)) {
        thread_ = platform::Thread::start(run, this);
    }
    ~Transfer() { finish(); }
    bool finish(std::uint32_t timeoutMs = 20000) { return thread_.waitEnded(timeoutMs); }
    bool result() const { return result_; }
    const Bytes& buffer() const { return buffer_; }

private:
    static std::uint32_t run(void* raw) {
        auto* t = static_cast<Transfer*>(raw);
        t->result_ = t->port_.doOverlappedComCrud(t->mode_, static_cast<std::uint32_t>(t->buffer_.size()),
                                                  t->buffer_.data());
        return 0;
    }
    CSIOPort& port_;
    CSIOPort::Mode mode_;
    Bytes buffer_;
    std::atomic<bool> result_{false};
    platform::Thread thread_;
};

class SioPortTest : public NotificationTest {
protected:
    void SetUp() override {
        NotificationTest::SetUp();
        auto owned = std::make_unique<FakeCommDevice>();
        fake = owned.get();
        port = std::make_unique<CSIOPort>(std::move(owned), states, notifier);
    }
    void TearDown() override {
        port.reset();
        NotificationTest::TearDown();
    }
    void openCom(int n = 3) {
        ASSERT_TRUE(port->openPort(static_cast<std::uint8_t>(n)));
        takeDelivered();
    }
    std::vector<std::string> debugLines() {
        std::vector<std::string> out;
        for (const ReceivedEvent& e : delivered())
            if (e.kind == 'D') out.push_back(e.text);
        return out;
    }
    // After any transfer: nothing of it may still be pending on the device but a watch
    // left for the next transfer, which ends when the emulation does.
    void expectSettled() {
        EXPECT_FALSE(fake->transferPending()) << "a read or write outlived its transfer";
        port->endWatch();
        EXPECT_FALSE(fake->watchPending()) << "the watch outlived the emulation";
    }

    FakeCommDevice* fake = nullptr;
    std::unique_ptr<CSIOPort> port;
};

const Bytes kFrame = {0x31, 0x52, 0x01, 0x00, 0x84};

}  // namespace

// The SIO line: 19200 8N1, no flow control, DTR and RTS off, abort on error; what the device
// had in the other fields stays.
TEST_F(SioPortTest, OpenAppliesTheLineSettings) {
    for (std::uint32_t initialFlags : {0x00000000u, 0xFFFFFFFFu, 0x0000FFFFu, 0x12345678u}) {
        SCOPED_TRACE(initialFlags);
        comm::Settings before;
        before.baudRate = 300;
        before.flags = initialFlags;
        before.byteSize = 5;
        before.parity = 1;
        before.stopBits = 2;
        before.xonLim = 7;
        before.xoffLim = 9;
        before.xonChar = 'a';
        before.xoffChar = 'b';
        before.errorChar = '?';
        before.eofChar = 0x1A;
        before.evtChar = 'e';
        fake->setInitialSettings(before);
        ASSERT_TRUE(port->openPort(4));
        const auto o = fake->observed();
        EXPECT_EQ(o.opened.back(), "COM4");
        EXPECT_EQ(o.settings.length, 28u);
        EXPECT_EQ(o.settings.baudRate, 19200u);
        EXPECT_EQ(o.settings.byteSize, 8);
        EXPECT_EQ(o.settings.parity, 0);
        EXPECT_EQ(o.settings.stopBits, 0);
        EXPECT_EQ(o.settings.flags, (initialFlags & 0xFFFF0000u) | (initialFlags & 0xCC03u) | 0x4003u);
        EXPECT_EQ(o.settings.flags & 0x30u, 0u) << "DTR held off";
        EXPECT_EQ(o.settings.flags & 0x3000u, 0u) << "RTS held off";
        EXPECT_EQ(o.settings.xonChar, 0x11);
        EXPECT_EQ(o.settings.xoffChar, 0x13);
        EXPECT_EQ(o.settings.xonLim, 0);
        EXPECT_EQ(o.settings.xoffLim, 0);
        EXPECT_EQ(o.settings.evtChar, 0);
        EXPECT_EQ(o.settings.errorChar, '?');
        EXPECT_EQ(o.settings.eofChar, 0x1A);
        EXPECT_TRUE(o.zeroTimeouts);
        EXPECT_EQ(o.inputQueue, 2048u);
        EXPECT_EQ(o.outputQueue, 2048u);
        EXPECT_EQ(o.mask, comm::kEventRing);
        EXPECT_TRUE(port->isOpen());
        EXPECT_EQ(port->portNumber(), 4);
        EXPECT_EQ(port->speed(), 19200u);
        port->closePort();
        EXPECT_FALSE(fake->isOpen());
        EXPECT_EQ(port->portNumber(), 0);
    }
    EXPECT_TRUE(delivered().empty());
}

// Every step of the open that fails is reported by its call's name with the device's error,
// and leaves no port open.
TEST_F(SioPortTest, OpenFailuresAreReportedAndCloseThePort) {
    const struct {
        Call call;
        const char* operation;
    } steps[] = {
        {Call::Open, "CreateFile"},        {Call::GetState, "GetCommState"},
        {Call::SetState, "SetCommState"},  {Call::SetTimeouts, "SetCommTimeouts"},
        {Call::SetupQueues, "SetupComm"}, {Call::SetMask, "SetCommMask"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.operation);
        takeDelivered();
        ASSERT_TRUE(port->openPort(2));
        fake->failNext(step.call, 1234);
        EXPECT_FALSE(port->openPort(5));
        EXPECT_FALSE(port->isOpen());
        EXPECT_EQ(port->portNumber(), 0);
        EXPECT_FALSE(fake->isOpen()) << "a device opened before the failure is closed again";
        const auto e = delivered();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].number, 1234u);
        EXPECT_NE(e[0].text.find(std::string("(CSIOPort::openPort.") + step.operation + ")"),
                  std::string::npos) << e[0].text;
    }
}

// setPort: the open number changes nothing; another number closes first, so a failed change
// leaves no port; out-of-range numbers name no device.
TEST_F(SioPortTest, SetPortRules) {
    EXPECT_FALSE(port->setPort(0)) << "nothing open, nothing to do";
    EXPECT_TRUE(fake->observed().opened.empty());

    EXPECT_TRUE(port->setPort(3));
    EXPECT_TRUE(port->setPort(3));
    EXPECT_EQ(fake->observed().opened.size(), 1u) << "the open port is not opened again";

    fake->setPortNames({"COM3"});
    EXPECT_FALSE(port->setPort(4));
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(port->portNumber(), 0);

    EXPECT_TRUE(port->setPort(3));
    takeDelivered();
    EXPECT_FALSE(port->setPort(0));
    EXPECT_FALSE(port->isOpen());
    EXPECT_FALSE(port->openPort(10));
    const auto o = fake->observed();
    EXPECT_EQ(o.opened[o.opened.size() - 2], "COM0");
    EXPECT_EQ(o.opened.back(), "COM:");
    const auto e = delivered();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_NE(e[0].text.find("(CSIOPort::openPort.CreateFile)"), std::string::npos);
    EXPECT_NE(e[1].text.find("(CSIOPort::openPort.CreateFile)"), std::string::npos);
}

// A command frame counts only when the command line comes before or with its last byte, as
// an edge or as the level when the bytes are complete.
TEST_F(SioPortTest, CommandFrameNeedsTheCommandLine) {
    openCom();
    {
        const int armed = fake->observed().watchesArmed;
        Transfer read(*port, CSIOPort::kRead, Bytes(5));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->arrive({0x31, 0x52, 0x01});
        fake->setRing(true);
        fake->arrive({0x00, 0x84});
        ASSERT_TRUE(read.finish());
        EXPECT_TRUE(read.result());
        EXPECT_EQ(read.buffer(), kFrame);
        // Having seen the command line, the read waits for its bytes alone: a watch armed
        // then would only delay the answer while the frame's clean-up ends it.
        EXPECT_EQ(fake->observed().watchesArmed, armed + 1);
    }
    expectSettled();
    {
        // A line asserted before the watch was armed, whose edge the driver never reports: its
        // level when the bytes are complete still makes them a frame.
        Transfer read(*port, CSIOPort::kRead, Bytes(5));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->arrive(kFrame);
        ASSERT_TRUE(read.finish());
        EXPECT_TRUE(read.result());
    }
    expectSettled();
    fake->setRing(false);
    {
        // The same five bytes with no command line are noise: both buffers are purged.
        const auto before = fake->observed();
        Transfer read(*port, CSIOPort::kRead, Bytes(5));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->arrive(kFrame);
        ASSERT_TRUE(read.finish());
        EXPECT_FALSE(read.result());
        EXPECT_FALSE(port->commandLineSeen());
        const auto after = fake->observed();
        EXPECT_EQ(after.rxPurges, before.rxPurges + 1);
        EXPECT_EQ(after.txPurges, before.txPurges + 1);
    }
    expectSettled();
    {
        // Bytes already waiting in the driver are discarded the same way.
        fake->arrive(kFrame);
        Bytes frame(5);
        EXPECT_FALSE(port->readBytes(frame.data(), 5));
        EXPECT_EQ(fake->inputQueued(), 0u);
    }
    expectSettled();
    {
        // The watch that an answer leaves armed sees a whole frame, line and all, that comes
        // before the next frame read begins (a driver that polls the line would miss a watch
        // armed only then).
        ASSERT_TRUE(port->writeByte(0x43));
        fake->setRing(true);
        fake->arrive(kFrame);
        fake->setRing(false);
        Bytes frame(5);
        EXPECT_TRUE(port->readBytes(frame.data(), 5));
        EXPECT_EQ(frame, kFrame);
    }
    expectSettled();
    EXPECT_TRUE(delivered().empty());
}

// A command-line event already pending when the watch is armed ends even a frame read.
TEST_F(SioPortTest, PendingEventInterruptsAtOnce) {
    openCom();
    fake->setLatchEvents(true);
    fake->setRing(true);  // latched: no watch was pending
    Bytes frame(5);
    EXPECT_FALSE(port->readBytes(frame.data(), 5));
    EXPECT_TRUE(port->commandLineSeen());
    EXPECT_EQ(fake->observed().readsIssued, 0);
    expectSettled();
}

// Outside a command frame the command line means a new command: a write is abandoned too
// (reads: the contract below).
TEST_F(SioPortTest, CommandLineAbandonsWrites) {
    openCom();
    fake->setWriteCompletion(FakeCommDevice::WriteCompletion::Manual);
    for (bool single : {true, false}) {
        SCOPED_TRACE(single ? "writeByte" : "writeBytes");
        Transfer write(*port, CSIOPort::kWrite, single ? Bytes{0x41} : Bytes(129, 0x55));
        ASSERT_TRUE(fake->waitForPendingWrite());
        fake->setRing(true);
        ASSERT_TRUE(write.finish());
        EXPECT_FALSE(write.result());
        EXPECT_TRUE(port->commandLineSeen());
        expectSettled();
        fake->setRing(false);
    }
}

// A driver that reports only releases: a new command's rise, of which no event comes, is
// found by the read's own looks at the line, or by the read that the command's first bytes
// complete; a whole command seen only as a release (the line off when the watch began) ends
// a data read too.
TEST_F(SioPortTest, ReleaseOnlyDriverShowsNewCommands) {
    openCom();
    fake->setRingEdges(FakeCommDevice::RingEdges::ReleaseOnly);
    for (const char* variant : {"rise", "rise and release", "rise, then bytes that complete the read"}) {
        SCOPED_TRACE(variant);
        {
            Transfer read(*port, CSIOPort::kRead, Bytes(129));
            ASSERT_TRUE(fake->waitForPendingRead());
            const std::string v = variant;
            if (v.find("bytes") != std::string::npos) fake->arrive(Bytes(127, 0x11));
            fake->setRing(true);
            if (v.find("release") != std::string::npos) fake->setRing(false);
            if (v.find("bytes") != std::string::npos) fake->arrive(kFrame);
            ASSERT_TRUE(read.finish());
            EXPECT_FALSE(read.result());
            EXPECT_TRUE(port->commandLineSeen());
        }
        fake->setRing(false);
        fake->purge(comm::kPurgeRxClear);
        expectSettled();
    }
}

// Writes send exactly the bytes given, however the driver completes them. A write is issued
// before any watch is armed, so that an answer goes out without waiting for one; once it is
// out, and the line is released, one watch is armed for whatever comes next, and the writes
// that follow use it.
TEST_F(SioPortTest, WritesSendExactlyTheBytes) {
    openCom();
    const Bytes status = {0x10, 0x00, 0x01, 0x00, 0x11};
    for (auto completion : {FakeCommDevice::WriteCompletion::Immediate, FakeCommDevice::WriteCompletion::Pending}) {
        const bool atOnce = completion == FakeCommDevice::WriteCompletion::Immediate;
        SCOPED_TRACE(atOnce ? "at once" : "pending");
        fake->setWriteCompletion(completion);
        fake->clearWritten();
        const int armed = fake->observed().watchesArmed;
        EXPECT_TRUE(port->writeByte(0x41));
        EXPECT_TRUE(port->writeBytes(status.data(), 5));
        EXPECT_EQ(fake->written(), (Bytes{0x41, 0x10, 0x00, 0x01, 0x00, 0x11}));
        EXPECT_EQ(fake->observed().watchesArmed, armed + 1);
        expectSettled();
    }
    EXPECT_TRUE(delivered().empty());
}

// A stop request or a halt ends a waiting transfer at once, and a transfer started while
// either is set does not wait at all.
TEST_F(SioPortTest, StopAndHaltEndWaitingTransfers) {
    openCom();
    for (bool halt : {false, true}) {
        SCOPED_TRACE(halt ? "halt" : "stop");
        {
            Transfer read(*port, CSIOPort::kRead, Bytes(129));
            ASSERT_TRUE(fake->waitForPendingRead());
            halt ? states.setHalted(true) : states.setStopRequested(true);
            ASSERT_TRUE(read.finish());
            EXPECT_FALSE(read.result());
        }
        expectSettled();
        Bytes frame(5);
        EXPECT_FALSE(port->readBytes(frame.data(), 5)) << "still set: no wait at all";
        expectSettled();
        states.setHalted(false);
        states.setStopRequested(false);
    }
}

// Line errors: a framing error or overflow fails the transfer, any other is cleared and the
// transfer goes on, with the lines the front end reads.
TEST_F(SioPortTest, LineErrorsDuringATransfer) {
    openCom();
    {
        Transfer read(*port, CSIOPort::kRead, Bytes(129));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->lineError(comm::kLineFrameError);
        ASSERT_TRUE(read.finish());
        EXPECT_FALSE(read.result());
        EXPECT_FALSE(port->commandLineSeen());
    }
    expectSettled();
    EXPECT_EQ(debugLines(), (std::vector<std::string>{"(r!)", "comm error: 8", "frame error"}));
    EXPECT_EQ(fake->observed().rxPurges, 1);
    takeDelivered();
    {
        Transfer read(*port, CSIOPort::kRead, Bytes(129));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->lineError(4);  // parity alone
        ASSERT_TRUE(fake->waitUntil([](const auto& s) { return s.observed.readsIssued >= 3 && s.readPending; }));
        fake->arrive(Bytes(129, 2));
        ASSERT_TRUE(read.finish());
        EXPECT_TRUE(read.result()) << "issued again, it completes";
        EXPECT_EQ(read.buffer(), Bytes(129, 2));
    }
    expectSettled();
    EXPECT_EQ(debugLines(), (std::vector<std::string>{"(r!)", "comm error: 4"}));
}

// A line error already present when a read is issued: overflow fails, parity retries.
TEST_F(SioPortTest, LineErrorWhenIssuing) {
    openCom();
    fake->lineError(comm::kLineRxOverflow);
    Bytes buffer(129);
    EXPECT_FALSE(port->readBytes(buffer.data(), 129));
    EXPECT_EQ(debugLines(), (std::vector<std::string>{"comm error: 1", "frame error"}));
    expectSettled();
    takeDelivered();
    fake->lineError(4);
    fake->arrive(Bytes(129, 3));
    EXPECT_TRUE(port->readBytes(buffer.data(), 129));
    EXPECT_EQ(buffer, Bytes(129, 3));
    EXPECT_EQ(debugLines(), (std::vector<std::string>{"comm error: 4"}));
    expectSettled();
}

// Unexpected failures of the device are critical: two Errors, the controller halted, the
// transfer failed, and nothing left pending.
TEST_F(SioPortTest, UnexpectedFailuresHalt) {
    const struct {
        Call call;
        bool write;
        const char* operation;
    } cases[] = {
        {Call::WaitCommEvent, false, "WaitCommEvent"},
        {Call::ReadFile, false, "ReadFile"},
        {Call::WriteFile, true, "WriteFile"},
        {Call::TransferResult, false, "GetOverlappedResult"},
        {Call::TransferResult, true, "GetOverlappedResult"},
    };
    openCom();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + (c.write ? " (write)" : " (read)"));
        takeDelivered();
        fake->failNext(c.call, 31);
        Bytes buffer(c.write ? 10 : 129, 0);
        if (!c.write) fake->arrive(Bytes(129, 9));
        const bool ok = c.write ? port->writeBytes(buffer.data(), 10) : port->readBytes(buffer.data(), 129);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(states.isHalted());
        const auto e = delivered();
        ASSERT_EQ(e.size(), 2u);
        EXPECT_EQ(e[0].number, 31u);
        EXPECT_NE(e[0].text.find(std::string("(CSIOPort::doOverlappedComCrud.") + c.operation + ")"),
                  std::string::npos) << e[0].text;
        EXPECT_EQ(e[1].text.rfind("sio emulation has been halted due to critical error(s)", 0), 0u);
        expectSettled();
        states.setHalted(false);
        fake->purge(comm::kPurgeRxClear);
    }
}

TEST_F(SioPortTest, WatchResultFailureHalts) {
    openCom();
    Transfer read(*port, CSIOPort::kRead, Bytes(129));
    ASSERT_TRUE(fake->waitForPendingRead());
    fake->failNext(Call::WatchResult, 6);
    fake->setRing(true);
    ASSERT_TRUE(read.finish());
    EXPECT_FALSE(read.result());
    EXPECT_TRUE(states.isHalted());
    const auto e = delivered();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_NE(e[0].text.find("(CSIOPort::doOverlappedComCrud.GetOverlappedResult)"), std::string::npos);
}

namespace {
std::atomic<int> failingWaits{0};
unsigned failingWait(const platform::Event* const* events, unsigned count, std::uint32_t timeoutMs) {
    if (failingWaits.fetch_sub(1) > 0) return platform::kWaitFailed;
    return platform::waitAny(events, count, timeoutMs);
}

// The engine's contract with the line (tools/host/port_contract.h), on the fake device; the
// serial port test under Wine plays the same table on Wine's serial code.
class PortContractTest : public SioPortTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(PortContractTest, OnTheFakeDevice) {
    using port_contract::Act;
    const std::size_t n = GetParam();
    const port_contract::Case& c = port_contract::cases()[n];
    SCOPED_TRACE(c.name);
    openCom();
    if (c.afterFrame) {
        Transfer frame(*port, CSIOPort::kRead, Bytes(5));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->setRing(true);
        fake->arrive(port_contract::leadingFrame(n));
        ASSERT_TRUE(frame.finish());
        ASSERT_TRUE(frame.result());
        ASSERT_TRUE(port->writeByte(0x41));
    }
    {
        Transfer read(*port, CSIOPort::kRead, Bytes(c.readCount));
        ASSERT_TRUE(fake->waitForPendingRead());
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            switch (c.steps[i].act) {
            case Act::Frame:
            case Act::Bytes: fake->arrive(port_contract::stepBytes(n, i)); break;
            case Act::LineOn: fake->setRing(true); break;
            case Act::LineOff: fake->setRing(false); break;
            case Act::Stop: states.setStopRequested(true); break;
            }
        }
        ASSERT_TRUE(read.finish());
        EXPECT_EQ(read.result(), c.returns);
        EXPECT_EQ(port->commandLineSeen(), c.lineSeen);
        if (c.returns) {
            EXPECT_EQ(read.buffer(), port_contract::sent(n));
        }
    }
    states.setStopRequested(false);
    expectSettled();
}

INSTANTIATE_TEST_SUITE_P(Contract, PortContractTest,
                         ::testing::Range<std::size_t>(0, port_contract::cases().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return std::string(port_contract::cases()[info.param].id);
                         });

}  // namespace

TEST_F(SioPortTest, FailedWaitHalts) {
    auto owned = std::make_unique<FakeCommDevice>();
    FakeCommDevice* device = owned.get();
    CSIOPort waitingPort(std::move(owned), states, notifier, failingWait);
    ASSERT_TRUE(waitingPort.openPort(1));
    failingWaits = 1;
    Bytes buffer(129);
    EXPECT_FALSE(waitingPort.readBytes(buffer.data(), 129));
    EXPECT_TRUE(states.isHalted());
    const auto e = delivered();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_NE(e[0].text.find("(CSIOPort::doOverlappedComCrud.WaitForSingleObject)"), std::string::npos);
    EXPECT_FALSE(device->watchPending());
    EXPECT_FALSE(device->transferPending());
}

// Back-to-back transfers on a driver whose CancelIo leaves the watch pending (Wine): each
// must end its own watch, or the next WaitCommEvent fails and the emulation halts.
TEST_F(SioPortTest, BackToBackTransfersLeaveNothingPending) {
    openCom();
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        Transfer read(*port, CSIOPort::kRead, Bytes(5));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->setRing(true);
        fake->arrive(kFrame);
        ASSERT_TRUE(read.finish());
        ASSERT_TRUE(read.result());
        ASSERT_TRUE(port->writeByte(0x41));
        ASSERT_TRUE(port->writeByte(0x43));
        fake->setRing(false);
        Bytes data(129, static_cast<std::uint8_t>(i));
        ASSERT_TRUE(port->writeBytes(data.data(), 129));
        ASSERT_FALSE(fake->transferPending());
    }
    expectSettled();
    EXPECT_FALSE(states.isHalted());
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(fake->written().size(), 300u * 131u);
}

// Wine can signal a watch before its status says it completed (a ring while the watch was
// being armed), and can set a watch's event late, when the next watch has begun. Neither is
// a failure of the line: the emulation must not halt.
TEST_F(SioPortTest, WineWatchRacesDoNotHalt) {
    openCom();
    {
        Transfer read(*port, CSIOPort::kRead, Bytes(129));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->failNext(Call::WatchResult, comm::kErrorIoIncomplete);
        fake->setRing(true);
        ASSERT_TRUE(read.finish());
        EXPECT_FALSE(read.result());
        EXPECT_TRUE(port->commandLineSeen()) << "the ring was seen, though the status lagged";
    }
    expectSettled();
    fake->setRing(false);
    {
        Transfer read(*port, CSIOPort::kRead, Bytes(129));
        ASSERT_TRUE(fake->waitForPendingRead());
        fake->spuriousWatchWake();
        fake->arrive(Bytes(129, 0x66));
        ASSERT_TRUE(read.finish());
        EXPECT_TRUE(read.result()) << "a wake-up that was not ours is no reason to stop";
        EXPECT_EQ(read.buffer(), Bytes(129, 0x66));
    }
    expectSettled();
    EXPECT_FALSE(states.isHalted());
    EXPECT_TRUE(delivered().empty());
}

// The speed change applies the rate; a refusal is critical but the call still answers true.
TEST_F(SioPortTest, SetSpeed) {
    openCom();
    EXPECT_TRUE(port->setSpeed(57600));
    EXPECT_EQ(fake->observed().settings.baudRate, 57600u);
    EXPECT_EQ(port->speed(), 57600u);
    fake->failNext(Call::SetState, 87);
    EXPECT_TRUE(port->setSpeed(19200));
    EXPECT_TRUE(states.isHalted());
    const auto e = delivered();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_NE(e[0].text.find("(CSIOPort::setSpeed.SetCommState)"), std::string::npos);
}

// A closed port does not touch the device.
TEST_F(SioPortTest, ClosedPortTransfersNothing) {
    Bytes frame(5);
    EXPECT_FALSE(port->readBytes(frame.data(), 5));
    EXPECT_EQ(fake->observed().watchesArmed, 0);
}

// A device that fails every call (an adapter pulled out) ends the emulation with one critical
// error instead of turning the time-critical emulation thread into a loop of retries and
// Debug lines; a transfer never waits without bound for such a device to end its I/O.
TEST_F(SioPortTest, BrokenDeviceHaltsInsteadOfSpinning) {
    auto halted = [&](const char* where) {
        EXPECT_TRUE(states.isHalted());
        std::vector<ReceivedEvent> errors;
        std::size_t debug = 0;
        for (const ReceivedEvent& e : takeDelivered()) {
            if (e.kind == 'E') errors.push_back(e);
            debug += e.kind == 'D';
        }
        EXPECT_EQ(errors.size(), 2u) << "one critical error";
        if (!errors.empty()) {
            EXPECT_NE(errors[0].text.find(where), std::string::npos) << errors[0].text;
        }
        states.setHalted(false);
        return debug;
    };
    openCom();
    Bytes frame(5);
    {
        SCOPED_TRACE("every call aborted, the line clears without a word");
        for (Call c : {Call::WaitCommEvent, Call::ReadFile, Call::WriteFile}) fake->failAlways(c, 995);
        EXPECT_FALSE(port->readBytes(frame.data(), 5));
        EXPECT_LE(halted("(CSIOPort::doOverlappedComCrud."), 40u) << "a bounded number of retries";
    }
    {
        SCOPED_TRACE("every call aborted and the line cannot even be asked");
        fake->failAlways(Call::ClearCommError, 21);
        EXPECT_FALSE(port->readBytes(frame.data(), 5));
        EXPECT_EQ(halted("(CSIOPort::checkLineError.ClearCommError)"), 0u);
    }
    fake->plugIn();
    ASSERT_TRUE(port->setPort(3)) << "the same number reopens a port that failed";
    EXPECT_FALSE(port->isBroken());
    EXPECT_EQ(fake->observed().opened.size(), 2u);
    {
        SCOPED_TRACE("every transfer ends at once on a frame error");
        fake->failAlways(Call::WaitCommEvent, 995);
        fake->lineError(comm::kLineFrameError);
        int transfers = 0;
        while (!states.isHalted() && transfers < 100) {
            fake->lineError(comm::kLineFrameError);
            port->readBytes(frame.data(), 5);
            ++transfers;
        }
        EXPECT_LE(transfers, 20) << "a port whose every transfer fails at once is given up";
        halted("(CSIOPort::doOverlappedComCrud.WaitCommEvent)");
    }
    fake->plugIn();
    ASSERT_TRUE(port->setPort(3));
    {
        SCOPED_TRACE("the new mask that should end the watch fails");
        Transfer read(*port, CSIOPort::kRead, Bytes(5));
        ASSERT_TRUE(fake->waitForPendingWatch());
        fake->failNext(Call::SetMask, 31);
        states.setStopRequested(true);
        EXPECT_TRUE(read.finish()) << "the transfer waited for ever";
        EXPECT_FALSE(read.result());
        halted("(CSIOPort::settle.SetCommMask)");
        states.setStopRequested(false);
    }
}
