// An emulator with the controller's threads running: start and stop with their lines, the
// halt, port changes, the queries, a handler that blocks, two emulators side by side, and
// everything at once from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/emulator.h"
#include "platform/thread.h"
#include "tests/support/fake_comm_device.h"
#include "tests/support/recording_receiver.h"
#include "tests/support/sim_computer.h"
#include "tests/support/temp_dir.h"

namespace {

using Call = FakeCommDevice::Call;

class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto device = std::make_unique<FakeCommDevice>();
        wire = device.get();
        CEmulator::Options options;
        options.receiver = &receiver;  // before the pump exists: its first line is not lost
        emulator = std::make_unique<CEmulator>(std::move(device), options);
        ASSERT_TRUE(receiver.waitForText('S', "successfully loaded Vandrel version 1.1"));
    }
    void TearDown() override { emulator.reset(); }

    // Everything reported so far, once it has all been delivered, and forgets it. Delivery
    // keeps push order, so a marker delivered comes after every earlier record.
    std::vector<ReceivedEvent> reported() {
        const std::string marker = "--- " + std::to_string(++markers_);
        emulator->notifier().postStatus("%s", marker.c_str());
        EXPECT_TRUE(receiver.waitForText('S', marker));
        std::vector<ReceivedEvent> before;
        for (const ReceivedEvent& e : receiver.events()) {
            if (e.text == marker) break;
            before.push_back(e);
        }
        receiver.clear();
        return before;
    }
    std::string blank(const std::string& name) {
        const std::string p = dir.path(name);
        EXPECT_TRUE(emulator->createImage(p.c_str(), 720, 128));
        return p;
    }

    std::unique_ptr<CEmulator> emulator;
    FakeCommDevice* wire = nullptr;
    RecordingReceiver receiver;
    TempDir dir;
    int markers_ = 0;
};

std::vector<std::string> texts(const std::vector<ReceivedEvent>& events) {
    std::vector<std::string> out;
    for (const ReceivedEvent& e : events) out.push_back(e.text);
    return out;
}

}  // namespace

// The load line comes first, from the pump, without anyone flushing.
TEST_F(EmulatorTest, LoadLineIsFirst) {
    const auto e = receiver.events();
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e[0], (ReceivedEvent{'S', 0, "successfully loaded Vandrel version 1.1"}));
}

// Without an open port, start only says why.
TEST_F(EmulatorTest, StartWithoutPort) {
    reported();
    EXPECT_FALSE(emulator->start());
    EXPECT_TRUE(emulator->isStopped());
    const auto e = reported();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0], (ReceivedEvent{'E', 42, "cannot start emulation without a valid COM port (CStateStore::start.1)"}));
}

// Start, start again, stop, stop again: one line each; quiet calls say nothing.
TEST_F(EmulatorTest, StartAndStopLines) {
    ASSERT_TRUE(emulator->setSerialPort(2));
    reported();
    EXPECT_TRUE(emulator->start());
    EXPECT_FALSE(emulator->isStopped());
    EXPECT_TRUE(emulator->start());
    EXPECT_TRUE(emulator->stop());
    EXPECT_TRUE(emulator->isStopped());
    EXPECT_TRUE(emulator->stop());
    EXPECT_EQ(texts(reported()), (std::vector<std::string>{"sio emulation started on COM2", "sio emulation is already started",
                                                           "sio emulation stopped", "sio emulation is already stopped"}));
    CStateStore& controller = emulator->controller();
    EXPECT_TRUE(controller.start(true));
    EXPECT_TRUE(controller.start(true));
    EXPECT_TRUE(controller.stop(true));
    EXPECT_TRUE(controller.stop(true));
    EXPECT_TRUE(reported().empty());
}

// A critical error of the port halts the emulation on its own: two Errors, no stop line,
// and the next start runs again.
TEST_F(EmulatorTest, CriticalErrorHalts) {
    ASSERT_TRUE(emulator->setSerialPort(1));
    ASSERT_TRUE(emulator->start());
    reported();
    ASSERT_TRUE(wire->waitForPendingWatch());
    wire->failNext(Call::WatchResult, 31);
    wire->setRing(true);
    ASSERT_TRUE(receiver.waitFor([](const auto& all) {
        int errors = 0;
        for (const ReceivedEvent& e : all) errors += e.kind == 'E';
        return errors == 2;
    }));
    CStateStore& controller = emulator->controller();
    EXPECT_TRUE(controller.waitStopped(20000)) << "halted without a stop";
    EXPECT_TRUE(controller.isHalted());
    const auto e = reported();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].number, 31u);
    EXPECT_EQ(e[1].text, "sio emulation has been halted due to critical error(s) "
                         "(CSIOPort::doOverlappedComCrud.GetOverlappedResult)");
    wire->setRing(false);
    EXPECT_TRUE(emulator->start());
    EXPECT_FALSE(controller.isHalted());
    EXPECT_EQ(texts(reported()), std::vector<std::string>{"sio emulation started on COM1"});
}

// A port that is gone is not reported as started: its first transfer fails and halts. Once
// the device is back, start opens it afresh and serves.
TEST_F(EmulatorTest, GonePortNeverSaysStartedAndComesBack) {
    ASSERT_TRUE(emulator->setSerialPort(1));
    reported();
    wire->failAlways(Call::WaitCommEvent, 21);
    EXPECT_FALSE(emulator->start());
    EXPECT_TRUE(emulator->controller().waitStopped(20000));
    const auto e = reported();
    ASSERT_EQ(e.size(), 2u) << "the failure and the halt, and no started line";
    EXPECT_EQ(e[0].number, 21u);
    EXPECT_NE(e[0].text.find("(CSIOPort::doOverlappedComCrud.WaitCommEvent)"), std::string::npos);
    wire->plugIn();
    EXPECT_TRUE(emulator->start());
    EXPECT_EQ(texts(reported()), std::vector<std::string>{"sio emulation started on COM1"});
    EXPECT_EQ(wire->observed().opened.size(), 2u) << "opened afresh";
}

// Changing the port while running restarts quietly on the new one; while stopped it starts
// nothing; the same number does not reopen.
TEST_F(EmulatorTest, SerialPortChanges) {
    ASSERT_TRUE(emulator->setSerialPort(3));
    ASSERT_TRUE(emulator->setSerialPort(3));
    EXPECT_EQ(wire->observed().opened.size(), 1u);
    EXPECT_EQ(emulator->serialPort(), 3);
    ASSERT_TRUE(emulator->start());
    reported();
    EXPECT_TRUE(emulator->setSerialPort(5));
    EXPECT_FALSE(emulator->isStopped());
    EXPECT_EQ(texts(reported()), std::vector<std::string>{"sio emulation started on COM5"});
    // Numbers that name no port are refused before anything stops.
    for (int n : {0, 10, 255}) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(emulator->setSerialPort(static_cast<std::uint8_t>(n)));
        EXPECT_FALSE(emulator->isStopped());
        EXPECT_EQ(emulator->serialPort(), 5);
        const auto e = reported();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_NE(e[0].text.find("there is no port COM" + std::to_string(n) + ": the ports are COM1 to COM9"),
                  std::string::npos) << e[0].text;
    }
    EXPECT_EQ(wire->observed().opened.size(), 2u);
    ASSERT_TRUE(emulator->stop());
    reported();
    EXPECT_TRUE(emulator->setSerialPort(6));
    EXPECT_TRUE(emulator->isStopped());
    EXPECT_TRUE(reported().empty());
    // A port that cannot be opened leaves the emulation stopped.
    ASSERT_TRUE(emulator->start());
    wire->setPortNames({"COM1"});
    reported();
    EXPECT_FALSE(emulator->setSerialPort(7));
    EXPECT_TRUE(emulator->isStopped());
    EXPECT_EQ(emulator->serialPort(), 0);
    const auto e = reported();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].text.find("(CSIOPort::openPort.CreateFile)"), std::string::npos);
}

// The queries copy their answer under the lock and answer defaults outside 1-9 and for
// empty drives; a swap carries the path along; creating an image keeps nothing open.
TEST_F(EmulatorTest, Queries) {
    const std::string p = blank("q.atr");
    ASSERT_TRUE(emulator->mountDisk(p.c_str(), 1, true));
    EXPECT_EQ(emulator->diskPath(1), p);
    EXPECT_TRUE(emulator->diskReadOnly(1));
    EXPECT_EQ(emulator->diskSectorSize(1), 128);
    EXPECT_EQ(emulator->diskSectorCount(1), 720);
    emulator->swapDisks(1, 2);
    EXPECT_EQ(emulator->diskPath(1), "");
    EXPECT_EQ(emulator->diskPath(2), p);
    for (int d : {0, 1, 10, 255}) {
        SCOPED_TRACE(d);
        const auto drive = static_cast<std::uint8_t>(d);
        EXPECT_EQ(emulator->diskPath(drive), "");
        EXPECT_FALSE(emulator->diskReadOnly(drive));
        EXPECT_EQ(emulator->diskSectorSize(drive), 0);
        EXPECT_EQ(emulator->diskSectorCount(drive), 0);
    }
    EXPECT_TRUE(emulator->unMountDisk(2));
    EXPECT_FALSE(emulator->unMountDisk(0));
    // Numbers above 16 bits are refused whole, never cut to a geometry nobody asked for.
    EXPECT_FALSE(emulator->createImage(dir.path("wide.atr").c_str(), 0x10000 + 720, 0x10000 + 128));
    EXPECT_FALSE(std::filesystem::exists(dir.path("wide.atr")));
    // A file a drive serves is not made again under it, under any spelling of its path.
    ASSERT_TRUE(emulator->mountDisk(p.c_str(), 2, false));
    reported();
    const auto before = readFile(p);
    const std::string other = dir.path("sub/../q.atr");
    std::filesystem::create_directory(dir.path("sub"));
    EXPECT_FALSE(emulator->createImage(other.c_str(), 1040, 128));
    EXPECT_EQ(readFile(p), before);
    const auto e = reported();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].text.find("cannot create " + other + ": it is mounted as D2:"), std::string::npos) << e[0].text;
}

namespace {

// Runs a call on a thread of its own, as the automation runtime carries a front end's call,
// and says whether it came back within a bound. One that does not is left behind: the test
// has failed, and waiting for it would hang the run.
bool returnsWithin(std::function<void()> call, std::uint32_t ms = 20000) {
    auto* job = new std::function<void()>(std::move(call));
    platform::Thread t = platform::Thread::start(
        [](void* raw) -> std::uint32_t {
            auto* f = static_cast<std::function<void()>*>(raw);
            (*f)();
            delete f;
            return 0;
        },
        job);
    return t.waitEnded(ms);
}

// A handler that does not come back from the first Command until told.
struct StuckInCommand : RecordingReceiver {
    platform::Event entered{platform::EventReset::Manual, false};
    platform::Event release{platform::EventReset::Manual, false};
    void Command(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                 std::uint8_t disk, std::uint32_t sector, std::string_view name) override {
        entered.set();
        const platform::Event* e = &release;
        platform::waitAny(&e, 1);
        RecordingReceiver::Command(b1, b2, b3, b4, b5, disk, sector, name);
    }
};

}  // namespace

// A front end stuck in a handler holds up neither the bus nor stop, and what the queue cannot
// hold meanwhile is counted, not kept.
TEST(Emulator, StuckHandlerHoldsUpNeitherBusNorStop) {
    constexpr std::size_t kCapacity = 16;
    constexpr int kReads = 60;
    TempDir dir;
    StuckInCommand front;
    auto device = std::make_unique<FakeCommDevice>();
    FakeCommDevice& wire = *device;
    CEmulator::Options options;
    options.queueCapacity = kCapacity;
    options.receiver = &front;
    CEmulator emulator(std::move(device), options);
    ASSERT_TRUE(front.waitForText('S', "successfully loaded Vandrel version 1.1"));  // nothing else will queue
    const std::string image = dir.path("a.atr");
    ASSERT_TRUE(emulator.createImage(image.c_str(), 720, 128));
    ASSERT_TRUE(emulator.mountDisk(image.c_str(), 1, false));
    ASSERT_TRUE(emulator.setSerialPort(1));
    ASSERT_TRUE(emulator.start());

    SimComputer computer(wire);
    for (int i = 0; i < kReads; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(isAckCompleteData(computer.read(1, 1), SimComputer::Bytes(128, 0)));
        if (i == 0) {
            const platform::Event* entered = &front.entered;
            ASSERT_EQ(platform::waitAny(&entered, 1, 10000), 0u) << "the pump never delivered the Command";
        }
    }
    EXPECT_TRUE(returnsWithin([&] { emulator.stop(); })) << "stop waited for the stuck handler";
    EXPECT_TRUE(emulator.isStopped());
    EXPECT_LE(emulator.notifier().queue().count(), kCapacity);
    const unsigned dropped = emulator.notifier().queue().dropped();
    EXPECT_GE(dropped, static_cast<unsigned>(kReads - 1 - kCapacity));

    front.release.set();
    const std::string notice = std::to_string(dropped) + " notification(s) dropped: events were not taken in time";
    EXPECT_TRUE(front.waitForText('S', notice));
    EXPECT_EQ(front.ofKind('C').size(), kCapacity + 1) << "the one in hand and every record kept";
}

// Two emulators in one process share nothing: neither hears the other's reports.
TEST(Emulator, TwoEmulatorsKeepToThemselves) {
    TempDir dir;
    RecordingReceiver heard[2];
    std::unique_ptr<CEmulator> emulators[2];
    for (int i = 0; i < 2; ++i) {
        CEmulator::Options options;
        options.pump = false;
        options.receiver = &heard[i];
        emulators[i] = std::make_unique<CEmulator>(std::make_unique<FakeCommDevice>(), options);
    }
    const std::string image = dir.path("one.atr");
    ASSERT_TRUE(emulators[0]->createImage(image.c_str(), 720, 128));
    ASSERT_TRUE(emulators[0]->mountDisk(image.c_str(), 1, true));
    EXPECT_FALSE(emulators[1]->start());
    emulators[0]->notifier().flushNotifications();
    emulators[1]->notifier().flushNotifications();
    const std::vector<ReceivedEvent> first = heard[0].events(), second = heard[1].events();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NE(first[0].text.find("one.atr mounted as D1: read-only"), std::string::npos) << first[0].text;
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].number, 42u);
    EXPECT_EQ(emulators[1]->diskPath(1), "");
}

namespace {

// A receiver that must never be called once its owner has detached it.
struct GuardedReceiver : RecordingReceiver {
    std::atomic<bool> gone{false};
    std::atomic<int> callsAfterDetach{0};
    void Status(std::string_view text) override {
        if (gone) ++callsAfterDetach;
        RecordingReceiver::Status(text);
    }
    void Debug(std::string_view text) override {
        if (gone) ++callsAfterDetach;
        RecordingReceiver::Debug(text);
    }
    void Error(std::uint32_t n, std::string_view text) override {
        if (gone) ++callsAfterDetach;
        RecordingReceiver::Error(n, text);
    }
};

struct Stress {
    CEmulator* emulator = nullptr;
    std::string image;
    std::atomic<bool> stop{false};
    std::atomic<int> callsAfterDetach{0};
    std::atomic<int> serial{0};
    FakeCommDevice* wire = nullptr;
    std::vector<std::unique_ptr<GuardedReceiver>> retired;  // kept to count deliveries
    std::mutex retiredLock;
};

std::uint32_t controlCalls(void* raw) {
    CEmulator* emulator = static_cast<Stress*>(raw)->emulator;
    for (int i = 0; i < 300; ++i) {
        switch (i % 6) {
        case 0: emulator->start(); break;
        case 1: emulator->setSerialPort(static_cast<std::uint8_t>(1 + i % 3)); break;
        case 2: emulator->stop(); break;
        case 3: emulator->start(); break;
        case 4: emulator->isStopped(); break;
        case 5: emulator->setSerialPort(1); break;
        }
    }
    return 0;
}

std::uint32_t diskCalls(void* raw) {
    auto* s = static_cast<Stress*>(raw);
    CEmulator* emulator = s->emulator;
    for (int i = 0; i < 200; ++i) {
        const auto d = static_cast<std::uint8_t>(1 + i % 3);
        emulator->mountDisk(s->image.c_str(), d, i % 2 == 0);
        emulator->swapDisks(d, static_cast<std::uint8_t>(1 + (i + 1) % 3));
        emulator->diskPath(d);
        emulator->diskSectorCount(d);
        emulator->unMountDisk(static_cast<std::uint8_t>(1 + (i + 2) % 3));
        emulator->notifier().postStatus("record %d", s->serial++);
    }
    return 0;
}

std::uint32_t attachCalls(void* raw) {
    auto* s = static_cast<Stress*>(raw);
    for (int i = 0; i < 100; ++i) {
        auto r = std::make_unique<GuardedReceiver>();
        s->emulator->attach(r.get());
        s->emulator->notifier().postDebug("debug %d", s->serial++);
        s->emulator->detach(r.get());
        r->gone = true;  // from here on its owner could have destroyed it
        std::lock_guard<std::mutex> hold(s->retiredLock);
        s->retired.push_back(std::move(r));
    }
    return 0;
}

std::uint32_t busCalls(void* raw) {
    auto* s = static_cast<Stress*>(raw);
    SimComputer computer(*s->wire);
    while (!s->stop) {
        if (s->wire->waitUntil([](const FakeCommDevice::Snapshot& w) { return w.readPending && w.readCount == 5; }, 20)) {
            s->wire->setRing(true);
            s->wire->arrive(SimComputer::frame(0x31, 'R', 1));
            s->wire->setRing(false);
        }
    }
    return 0;
}

}  // namespace

// Everything at once: no deadlock, at most one emulation thread (a second would collide on
// the port and halt with error 87), every record once, no receiver called after its detach.
TEST_F(EmulatorTest, EverythingAtOnce) {
    Stress s;
    s.image = blank("stress.atr");
    s.wire = wire;
    s.emulator = emulator.get();
    ASSERT_TRUE(emulator->setSerialPort(1));
    platform::Thread bus = platform::Thread::start(busCalls, &s);
    std::vector<platform::Thread> threads;
    for (int i = 0; i < 3; ++i) threads.push_back(platform::Thread::start(controlCalls, &s));
    for (int i = 0; i < 2; ++i) threads.push_back(platform::Thread::start(diskCalls, &s));
    for (int i = 0; i < 2; ++i) threads.push_back(platform::Thread::start(attachCalls, &s));
    for (auto& t : threads) ASSERT_TRUE(t.waitEnded(120000)) << "a call deadlocked";
    s.stop = true;
    ASSERT_TRUE(bus.waitEnded(20000));
    emulator->stop();
    const std::vector<ReceivedEvent> rest = reported();

    std::map<std::string, int> deliveries;
    auto count = [&](const std::vector<ReceivedEvent>& events) {
        for (const ReceivedEvent& e : events) {
            if (e.kind == 'E') ADD_FAILURE() << "error during the run: " << e.text << " (" << e.number << ")";
            if (e.text.rfind("record ", 0) == 0 || e.text.rfind("debug ", 0) == 0) ++deliveries[e.text];
        }
    };
    for (const auto& r : s.retired) {
        EXPECT_EQ(r->callsAfterDetach, 0) << "a receiver was called after its detach";
        count(r->events());
    }
    count(rest);
    for (const auto& [text, n] : deliveries) EXPECT_EQ(n, 1) << text << " delivered " << n << " times";
    EXPECT_EQ(deliveries.size(), static_cast<std::size_t>(s.serial.load())) << "records lost";
}
