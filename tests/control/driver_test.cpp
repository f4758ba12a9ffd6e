// The driver functions with the controller's threads running: start and stop with their
// lines, the halt, port changes, the queries, and everything at once from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/driver.h"
#include "control/notifications.h"
#include "control/state_store.h"
#include "platform/thread.h"
#include "sio/sio_drives.h"
#include "tests/support/fake_comm_device.h"
#include "tests/support/recording_receiver.h"
#include "tests/support/sim_computer.h"
#include "tests/support/temp_dir.h"

namespace {

using Call = FakeCommDevice::Call;

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto device = std::make_unique<FakeCommDevice>();
        wire = device.get();
        attachReceiver(&receiver);  // before the pump exists: its first line is not lost
        drvAttach(&receiver, std::move(device));
        ASSERT_TRUE(receiver.waitForText('S', "successfully loaded Vandrel version 1.1"));
    }
    void TearDown() override { drvShutdown(); }

    // Everything reported so far, once the pump has delivered it all, and forgets it. Only
    // the pump drains here, so a marker it delivers comes after every earlier record.
    std::vector<ReceivedEvent> reported() {
        const std::string marker = "--- " + std::to_string(++markers_);
        postStatus("%s", marker.c_str());
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
        EXPECT_TRUE(drvCreateImage(p.c_str(), 720, 128));
        return p;
    }

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
TEST_F(DriverTest, LoadLineIsFirst) {
    const auto e = receiver.events();
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e[0], (ReceivedEvent{'S', 0, "successfully loaded Vandrel version 1.1"}));
}

// Without an open port, start only says why.
TEST_F(DriverTest, StartWithoutPort) {
    reported();
    EXPECT_FALSE(drvStart());
    EXPECT_TRUE(drvIsStopped());
    const auto e = reported();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0], (ReceivedEvent{'E', 42, "cannot start emulation without a valid COM port (CStateStore::start.1)"}));
}

// Start, start again, stop, stop again: one line each; quiet calls say nothing.
TEST_F(DriverTest, StartAndStopLines) {
    ASSERT_TRUE(drvSetSerialPort(2));
    reported();
    EXPECT_TRUE(drvStart());
    EXPECT_FALSE(drvIsStopped());
    EXPECT_TRUE(drvStart());
    EXPECT_TRUE(drvStop());
    EXPECT_TRUE(drvIsStopped());
    EXPECT_TRUE(drvStop());
    EXPECT_EQ(texts(reported()), (std::vector<std::string>{"sio emulation started on COM2", "sio emulation is already started",
                                                           "sio emulation stopped", "sio emulation is already stopped"}));
    CStateStore& controller = *drvController();
    EXPECT_TRUE(controller.start(true));
    EXPECT_TRUE(controller.start(true));
    EXPECT_TRUE(controller.stop(true));
    EXPECT_TRUE(controller.stop(true));
    EXPECT_TRUE(reported().empty());
}

// A critical error of the port halts the emulation on its own: two Errors, no stop line,
// and the next start runs again.
TEST_F(DriverTest, CriticalErrorHalts) {
    ASSERT_TRUE(drvSetSerialPort(1));
    ASSERT_TRUE(drvStart());
    reported();
    ASSERT_TRUE(wire->waitForPendingWatch());
    wire->failNext(Call::WatchResult, 31);
    wire->setRing(true);
    ASSERT_TRUE(receiver.waitFor([](const auto& all) {
        int errors = 0;
        for (const ReceivedEvent& e : all) errors += e.kind == 'E';
        return errors == 2;
    }));
    CStateStore& controller = *drvController();
    EXPECT_TRUE(controller.waitStopped(20000)) << "halted without a stop";
    EXPECT_TRUE(controller.isHalted());
    const auto e = reported();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].number, 31u);
    EXPECT_EQ(e[1].text, "sio emulation has been halted due to critical error(s) "
                         "(CSIOPort::doOverlappedComCrud.GetOverlappedResult)");
    wire->setRing(false);
    EXPECT_TRUE(drvStart());
    EXPECT_FALSE(controller.isHalted());
    EXPECT_EQ(texts(reported()), std::vector<std::string>{"sio emulation started on COM1"});
}

// Changing the port while running restarts quietly on the new one; while stopped it starts
// nothing; the same number does not reopen.
TEST_F(DriverTest, SerialPortChanges) {
    ASSERT_TRUE(drvSetSerialPort(3));
    ASSERT_TRUE(drvSetSerialPort(3));
    EXPECT_EQ(wire->observed().opened.size(), 1u);
    EXPECT_EQ(drvSerialPort(), 3);
    ASSERT_TRUE(drvStart());
    reported();
    EXPECT_TRUE(drvSetSerialPort(5));
    EXPECT_FALSE(drvIsStopped());
    EXPECT_EQ(texts(reported()), std::vector<std::string>{"sio emulation started on COM5"});
    ASSERT_TRUE(drvStop());
    reported();
    EXPECT_TRUE(drvSetSerialPort(6));
    EXPECT_TRUE(drvIsStopped());
    EXPECT_TRUE(reported().empty());
    // A port that cannot be opened leaves the emulation stopped.
    ASSERT_TRUE(drvStart());
    wire->setPortNames({"COM1"});
    reported();
    EXPECT_FALSE(drvSetSerialPort(7));
    EXPECT_TRUE(drvIsStopped());
    EXPECT_EQ(drvSerialPort(), 0);
    const auto e = reported();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].text.find("(CSIOPort::openPort.CreateFile)"), std::string::npos);
}

// The queries copy their answer under the lock and answer defaults outside 1-9 and for
// empty drives; a swap carries the path along; creating an image keeps nothing open.
TEST_F(DriverTest, Queries) {
    const std::string p = blank("q.atr");
    ASSERT_TRUE(drvMountDisk(p.c_str(), 1, true));
    EXPECT_EQ(drvDiskPath(1), p);
    EXPECT_TRUE(drvDiskReadOnly(1));
    EXPECT_EQ(drvDiskSectorSize(1), 128);
    EXPECT_EQ(drvDiskSectorCount(1), 720);
    drvSwapDisks(1, 2);
    EXPECT_EQ(drvDiskPath(1), "");
    EXPECT_EQ(drvDiskPath(2), p);
    for (int d : {0, 1, 10, 255}) {
        SCOPED_TRACE(d);
        const auto drive = static_cast<std::uint8_t>(d);
        EXPECT_EQ(drvDiskPath(drive), "");
        EXPECT_FALSE(drvDiskReadOnly(drive));
        EXPECT_EQ(drvDiskSectorSize(drive), 0);
        EXPECT_EQ(drvDiskSectorCount(drive), 0);
    }
    EXPECT_TRUE(drvUnMountDisk(2));
    EXPECT_FALSE(drvUnMountDisk(0));
    // Sizes above 16 bits are cut to their low 16 bits, as the automation layer passes them.
    EXPECT_TRUE(drvCreateImage(dir.path("wide.atr").c_str(), 0x10000 + 720, 0x10000 + 128));
    ASSERT_TRUE(drvMountDisk(dir.path("wide.atr").c_str(), 3, false));
    EXPECT_EQ(drvDiskSectorCount(3), 720);
}

// A second attach redirects events; a detach from either silences both.
TEST_F(DriverTest, AttachRedirectsDetachSilences) {
    RecordingReceiver second;
    drvAttach(&second);
    postStatus("to second");
    ASSERT_TRUE(second.waitForText('S', "to second"));
    drvDetach();
    postDebug("to nobody");
    attachReceiver(&receiver);
    reported();
    for (const ReceivedEvent& e : receiver.events()) EXPECT_NE(e.text, "to nobody");
    EXPECT_EQ(second.events().size(), 1u);
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
    std::string image;
    std::atomic<bool> stop{false};
    std::atomic<int> callsAfterDetach{0};
    std::atomic<int> serial{0};
    FakeCommDevice* wire = nullptr;
    std::vector<std::unique_ptr<GuardedReceiver>> retired;  // kept to count deliveries
    std::mutex retiredLock;
};

std::uint32_t controlCalls(void*) {
    for (int i = 0; i < 300; ++i) {
        switch (i % 6) {
        case 0: drvStart(); break;
        case 1: drvSetSerialPort(static_cast<std::uint8_t>(1 + i % 3)); break;
        case 2: drvStop(); break;
        case 3: drvStart(); break;
        case 4: drvIsStopped(); break;
        case 5: drvSetSerialPort(1); break;
        }
    }
    return 0;
}

std::uint32_t diskCalls(void* raw) {
    auto* s = static_cast<Stress*>(raw);
    for (int i = 0; i < 200; ++i) {
        const auto d = static_cast<std::uint8_t>(1 + i % 3);
        drvMountDisk(s->image.c_str(), d, i % 2 == 0);
        drvSwapDisks(d, static_cast<std::uint8_t>(1 + (i + 1) % 3));
        drvDiskPath(d);
        drvDiskSectorCount(d);
        drvUnMountDisk(static_cast<std::uint8_t>(1 + (i + 2) % 3));
        postStatus("record %d", s->serial++);
    }
    return 0;
}

std::uint32_t attachCalls(void* raw) {
    auto* s = static_cast<Stress*>(raw);
    for (int i = 0; i < 100; ++i) {
        auto r = std::make_unique<GuardedReceiver>();
        drvAttach(r.get());
        postDebug("debug %d", s->serial++);
        drvDetach();
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
// the port and halt with error 87), no record twice, no receiver called after its detach.
TEST_F(DriverTest, EverythingAtOnce) {
    Stress s;
    s.image = blank("stress.atr");
    s.wire = wire;
    ASSERT_TRUE(drvSetSerialPort(1));
    platform::Thread bus = platform::Thread::start(busCalls, &s);
    std::vector<platform::Thread> threads;
    for (int i = 0; i < 3; ++i) threads.push_back(platform::Thread::start(controlCalls, nullptr));
    for (int i = 0; i < 2; ++i) threads.push_back(platform::Thread::start(diskCalls, &s));
    for (int i = 0; i < 2; ++i) threads.push_back(platform::Thread::start(attachCalls, &s));
    for (auto& t : threads) ASSERT_TRUE(t.waitEnded(120000)) << "a call deadlocked";
    s.stop = true;
    ASSERT_TRUE(bus.waitEnded(20000));
    drvStop();
    attachReceiver(&receiver);
    reported();

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
    count(receiver.events());
    for (const auto& [text, n] : deliveries) EXPECT_EQ(n, 1) << text << " delivered " << n << " times";
}
