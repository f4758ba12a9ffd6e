// The drive as the computer sees it: the simulated computer drives the emulation thread over
// the fake cable and checks every byte of every answer, with the 1500 us before COMPLETE.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/event.h"
#include "sio/checksum.h"
#include "tests/support/emulation_fixture.h"

namespace {

constexpr std::uint8_t kAck = 0x41, kNak = 0x4E;
using Bytes = std::vector<std::uint8_t>;

class ResponderTest : public EmulationTest {};

}  // namespace

// Status of D1: with an image: ACK, COMPLETE 1500 us later, the status frame; without an
// image: nothing at all and a "[no image mounted]" line.
TEST_F(ResponderTest, StatusWithAndWithoutImage) {
    SimComputer::Answer a = computer->status(1);
    EXPECT_TRUE(a.listening);
    EXPECT_TRUE(a.bytes.empty());
    auto e = delivered();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], (ReceivedEvent{'C', 0, "status", {0x31, 0x53, 0x00, 0x00, 0x84}, 1, 0}));
    EXPECT_EQ(e[1], (ReceivedEvent{'S', 0, "[no image mounted]"}));
    takeDelivered();

    ASSERT_TRUE(drives->mountImage(image("a.atr", 720, 128).c_str(), 1, false));
    a = computer->status(1);
    EXPECT_TRUE(isAckCompleteData(a, {0x10, 0x00, 0x01, 0x00}));
}

// Frames that are not for us, or not understood, get no answer but are reported.
TEST_F(ResponderTest, UnservedFrames) {
    ASSERT_TRUE(drives->mountImage(image("a.atr", 720, 128).c_str(), 1, false));
    takeDelivered();
    Bytes bad = SimComputer::frame(0x31, 0x53, 0);
    bad[4] ^= 0x01;
    EXPECT_TRUE(computer->command(bad).bytes.empty());
    EXPECT_EQ(delivered(), (std::vector<ReceivedEvent>{{'D', 0, "BAD SUM - command frame"}}));
    takeDelivered();
    // Two stray bytes ahead of a frame put the read out of step; the frame that ends with
    // the command line's release is served all the same, in the same try.
    computer->waitUntilListening();
    wire->arrive({0x99, 0x98});
    EXPECT_TRUE(isAckCompleteData(computer->status(1), {0x10, 0x00, 0x01, 0x00}));
    EXPECT_EQ(lines('D'), std::vector<std::string>{});
    takeDelivered();

    const struct {
        std::uint8_t device, command;
        std::uint8_t drive;
        const char* name;
        const char* line;
    } cases[] = {
        {0x30, 0x53, 0, "status", "unknown device - 00"},
        {0x3A, 0x52, 10, "read", "unknown device - 0a"},
        {0x40, 0x53, 16, "status", "unknown device - 10"},
        {0x20, 0x53, 0xF0, "status", "unknown device - f0"},
        {0x31, 0x72, 1, "unknown?", nullptr},  // the fast read is not served
        {0x31, 0x99, 1, "unknown?", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes f = SimComputer::frame(c.device, c.command, 0x0102);
        const SimComputer::Answer a = computer->command(f);
        EXPECT_TRUE(a.listening);
        EXPECT_TRUE(a.bytes.empty()) << "no answer on the bus";
        const auto e = delivered();
        ASSERT_EQ(e.size(), c.line ? 2u : 1u);
        EXPECT_EQ(e[0], (ReceivedEvent{'C', 0, c.name, {f[0], f[1], f[2], f[3], f[4]}, c.drive, 0x0102}));
        if (c.line) {
            EXPECT_EQ(e[1], (ReceivedEvent{'D', 0, c.line}));
        }
        takeDelivered();
    }
}

// An unknown command does not take the drive table's lock: it is answered (with silence)
// while another thread holds it.
TEST_F(ResponderTest, UnknownCommandDoesNotTakeTheLock) {
    platform::MutexLock hold(drives->driveMutex());
    const SimComputer::Answer a = computer->command(SimComputer::frame(0x31, 0x99, 0));
    EXPECT_TRUE(a.listening) << "the responder waited for the lock";
}

// Reads: the sector test, the last sector, and boot sectors of 128 bytes on a 256-byte image;
// a file cut short under the drive answers ERROR and a blank frame, never COMPLETE over zeros.
TEST_F(ResponderTest, Reads) {
    const std::string p = image("dd.atr", 720, 256);
    ASSERT_TRUE(drives->mountImage(p.c_str(), 1, false));
    for (std::uint16_t s : {1, 2, 3}) EXPECT_TRUE(isAckCompleteData(computer->read(1, s), pattern(s, 128))) << s;
    EXPECT_TRUE(isAckCompleteData(computer->read(1, 4), pattern(4, 256)));
    EXPECT_TRUE(isAckCompleteData(computer->read(1, 720), pattern(720, 256)));
    EXPECT_EQ(lines('D'), std::vector<std::string>{});
    for (std::uint16_t s : {0, 721}) {
        SCOPED_TRACE(s);
        const SimComputer::Answer a = computer->read(1, s);
        EXPECT_EQ(a.bytes, Bytes{kNak});
        EXPECT_EQ(lines('D'), std::vector<std::string>{"[NAK - invalid sector]"});
        takeDelivered();
    }
    std::filesystem::resize_file(p, 400);
    const SimComputer::Answer a = computer->read(1, 4);
    Bytes expected = {kAck, 0x45};
    const Bytes blank = SimComputer::dataFrame(Bytes(256, 0));
    expected.insert(expected.end(), blank.begin(), blank.end());
    EXPECT_EQ(a.bytes, expected);
    const auto errors = lines('E');
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("cut short after it was mounted: sector 4"), std::string::npos) << errors[0];
    EXPECT_TRUE(isAckCompleteData(computer->read(1, 3), pattern(3, 128))) << "what is left still reads";
}

// Writes land in the file, are read back the same, and put is the same command.
TEST_F(ResponderTest, WriteAndPut) {
    const std::string p = image("w.atr", 720, 128);
    ASSERT_TRUE(drives->mountImage(p.c_str(), 2, false));
    const Bytes data(128, 0xA5);
    SimComputer::Answer a = computer->write(2, 100, data);
    EXPECT_TRUE(a.listening);
    EXPECT_EQ(a.bytes, (Bytes{kAck, kAck, 0x43}));
    ASSERT_EQ(a.us.size(), 3u);
    EXPECT_GE(a.us[2] - a.us[1], 1500);
    EXPECT_TRUE(isAckCompleteData(computer->read(2, 100), data));

    const Bytes other(128, 0x3C);
    a = computer->command(SimComputer::frame(0x32, 'P', 720), SimComputer::dataFrame(other));
    EXPECT_EQ(a.bytes, (Bytes{kAck, kAck, 0x43}));
    const auto file = readFile(p);
    EXPECT_TRUE(std::equal(other.begin(), other.end(), file.begin() + 16 + 128 * 719));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + 16 + 128 * 99));
    const auto commands = [&] {
        std::vector<std::string> names;
        for (const ReceivedEvent& e : delivered())
            if (e.kind == 'C') names.push_back(e.text);
        return names;
    }();
    EXPECT_EQ(commands, (std::vector<std::string>{"write", "read", "put"}));
}

// Refused writes leave the file as it was, byte for byte.
TEST_F(ResponderTest, RefusedWrites) {
    const std::string p = image("r.atr", 720, 128);
    const auto before = readFile(p);
    ASSERT_TRUE(drives->mountImage(p.c_str(), 1, true));
    const Bytes data(128, 0x77);
    // Read-only is answered before the sector test.
    for (std::uint16_t s : {5, 0, 721}) {
        EXPECT_EQ(computer->write(1, s, data).bytes, Bytes{kNak});
        EXPECT_EQ(lines('D'), std::vector<std::string>{"[NAK - read-only image]"});
        takeDelivered();
    }
    ASSERT_TRUE(drives->mountImage(p.c_str(), 1, false));
    takeDelivered();
    Bytes badFrame = SimComputer::dataFrame(data);
    badFrame.back() ^= 0xFF;
    const SimComputer::Answer a = computer->command(SimComputer::frame(0x31, 'W', 5), badFrame);
    EXPECT_EQ(a.bytes, (Bytes{kAck, kNak}));
    EXPECT_EQ(lines('D'), (std::vector<std::string>{"BAD SUM - data frame", "[NAK - data frame]"}));
    takeDelivered();
    EXPECT_EQ(computer->write(1, 721, data).bytes, Bytes{kNak});
    EXPECT_EQ(lines('D'), std::vector<std::string>{"[NAK - invalid sector]"});
    drives->unmountImage(1);
    EXPECT_EQ(readFile(p), before);
}

// A data frame cut off by a new command: no NAK, no line, and the new command is served,
// even when its first bytes (or all five) came before the drive saw the command line.
TEST_F(ResponderTest, WriteCutOffByNewCommand) {
    const std::string p = image("c.atr", 720, 128);
    const auto before = readFile(p);
    ASSERT_TRUE(drives->mountImage(p.c_str(), 1, false));
    for (std::size_t early : {0, 2, 5}) {
        SCOPED_TRACE(early);
        const SimComputer::Answer a = computer->commandCutOff(
            SimComputer::frame(0x31, 'W', 9), SimComputer::dataFrame(Bytes(128, 1)), 40, SimComputer::frame(0x31, 'S', 0), early);
        EXPECT_TRUE(a.listening);
        SimComputer::Answer served = a;
        ASSERT_FALSE(served.bytes.empty());
        EXPECT_EQ(served.bytes.front(), kAck);
        served.bytes.erase(served.bytes.begin());
        served.us.erase(served.us.begin());
        EXPECT_TRUE(isAckCompleteData(served, {0x10, 0x00, 0x01, 0x00})) << "the new command served";
        EXPECT_EQ(lines('D'), std::vector<std::string>{});
        takeDelivered();
    }
    drives->unmountImage(1);
    EXPECT_EQ(readFile(p), before);
}

// Format and format-ED answer without touching the image; format-ED refuses 720 sectors.
TEST_F(ResponderTest, FormatLeavesTheImage) {
    const struct {
        std::uint16_t count, size;
        char command;
        bool refused;
    } cases[] = {
        {720, 128, '!', false}, {720, 256, '!', false}, {720, 128, '"', true}, {1040, 128, '"', false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + "x" + std::to_string(c.size) + " " + c.command);
        const std::string p = image("f.atr", c.count, c.size);
        const auto before = readFile(p);
        ASSERT_TRUE(drives->mountImage(p.c_str(), 4, false));
        const SimComputer::Answer a = computer->command(SimComputer::frame(0x34, static_cast<std::uint8_t>(c.command), 0));
        if (c.refused) {
            EXPECT_EQ(a.bytes, Bytes{kNak});
        } else {
            Bytes answer(c.size, 0);
            answer[0] = answer[1] = 0xFF;
            EXPECT_TRUE(isAckCompleteData(a, answer));
            EXPECT_EQ(a.bytes.back(), 0xFF);
        }
        drives->unmountImage(4);
        EXPECT_EQ(readFile(p), before) << "formatting must not change the file";
        EXPECT_EQ(lines('D'), std::vector<std::string>{});
        takeDelivered();
    }
}

// Configuration: set-config is accepted and changes nothing; speed-up is refused.
TEST_F(ResponderTest, ConfigurationAndSpeedUp) {
    ASSERT_TRUE(drives->mountImage(image("c.atr", 720, 128).c_str(), 1, false));
    const Bytes config = {0x01, 0x01, 0x02, 0xD0, 0x00, 0x00, 0x00, 0x80, 0x40, 0x00, 0x00, 0x00};
    EXPECT_TRUE(isAckCompleteData(computer->command(SimComputer::frame(0x31, 'N', 0)), config));
    Bytes changed = config;
    changed[3] = 0x10;
    SimComputer::Answer a = computer->command(SimComputer::frame(0x31, 'O', 0), SimComputer::dataFrame(changed));
    EXPECT_EQ(a.bytes, (Bytes{kAck, kAck, 0x43}));
    ASSERT_EQ(a.us.size(), 3u);
    EXPECT_GE(a.us[2] - a.us[1], 1500);
    EXPECT_TRUE(isAckCompleteData(computer->command(SimComputer::frame(0x31, 'N', 0)), config));
    Bytes bad = SimComputer::dataFrame(changed);
    bad.back() ^= 1;
    a = computer->command(SimComputer::frame(0x31, 'O', 0), bad);
    EXPECT_EQ(a.bytes, (Bytes{kAck, kNak}));
    EXPECT_EQ(lines('D'), (std::vector<std::string>{"BAD SUM - data frame", "[NAK - data frame]"}));
    takeDelivered();
    a = computer->command(SimComputer::frame(0x31, '?', 0));
    EXPECT_EQ(a.bytes, Bytes{kNak});
    const auto e = delivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "speed-up");
}

// A boot as the operating system does it: status, sector 1, then the sectors it announces.
TEST_F(ResponderTest, BootsLikeTheOperatingSystem) {
    const std::string p = image("boot.atr", 720, 128);
    {
        CDiskImage img(notifier);
        ASSERT_TRUE(img.loadImage(p.c_str(), false));
        Bytes boot = pattern(1, 128);
        boot[1] = 5;  // sectors to load
        img.writeSector(boot.data(), 1);
    }
    ASSERT_TRUE(drives->mountImage(p.c_str(), 1, true));
    EXPECT_TRUE(isAckCompleteData(computer->status(1), {0x18, 0x00, 0x01, 0x00}));
    const SimComputer::Answer first = computer->read(1, 1);
    ASSERT_EQ(first.bytes.size(), 2u + 129u);
    const std::uint8_t count = first.bytes[2 + 1];
    ASSERT_EQ(count, 5);
    for (std::uint16_t s = 2; s <= count; ++s) EXPECT_TRUE(isAckCompleteData(computer->read(1, s), pattern(s, 128))) << s;
}

namespace {
// A front end whose Debug handler hangs until released.
struct StuckReceiver : RecordingReceiver {
    platform::Event release{platform::EventReset::Manual, false};
    void Debug(std::string_view text) override {
        const platform::Event* e = &release;
        platform::waitAny(&e, 1, 20000);
        RecordingReceiver::Debug(text);
    }
};
}  // namespace

// The emulation thread never waits for the front end: its reports are delivered only where
// somebody flushes, so a Debug handler that blocks does not delay the NAK that follows its line.
TEST_F(ResponderTest, BlockedFrontEndDoesNotDelayTheBus) {
    StuckReceiver stuck;
    notifier.attach(&stuck);
    ASSERT_TRUE(drives->mountImage(image("a.atr", 720, 128).c_str(), 1, true));
    // Nobody flushes: if the emulation thread delivered, it would hang in the handler.
    for (int i = 0; i < 3; ++i) {
        const SimComputer::Answer a = computer->write(1, 5, Bytes(128, 1));
        ASSERT_TRUE(a.listening);
        EXPECT_EQ(a.bytes, Bytes{kNak});
    }
    EXPECT_TRUE(stuck.events().empty()) << "delivered without a flush";
    EXPECT_TRUE(notifier.deliveryRequestedEvent().isSet()) << "the delivering thread was woken";
    stuck.release.set();
    notifier.flushNotifications();
    notifier.detach(&stuck);
    std::size_t naks = 0;
    for (const ReceivedEvent& e : stuck.events()) naks += e.text == "[NAK - read-only image]";
    EXPECT_EQ(naks, 3u);
}

namespace {
// A front end that mounts a disk from its Debug handler, on the delivering thread.
struct MountingReceiver : RecordingReceiver {
    CSIODrives* drives = nullptr;
    CNotifier* notifier = nullptr;
    std::string path;
    std::atomic<bool> mounted{false};
    void Debug(std::string_view text) override {
        RecordingReceiver::Debug(text);
        if (!mounted) mounted = drives->mountImage(path.c_str(), 2, false);
    }
};
std::uint32_t drainUntilMounted(void* raw) {
    auto* r = static_cast<MountingReceiver*>(raw);
    // Delivers whenever the emulation thread asks for delivery, as the pump does.
    const platform::Event* wake = &r->notifier->deliveryRequestedEvent();
    while (!r->mounted && platform::waitAny(&wake, 1, 20000) == 0) r->notifier->flushNotifications();
    return 0;
}
}  // namespace

// The responder reports with the drive table's lock held; a handler that takes that lock on
// the delivering thread must not deadlock with it.
TEST_F(ResponderTest, FrontEndMountingFromHandlerDoesNotDeadlock) {
    MountingReceiver mounting;
    mounting.drives = drives.get();
    mounting.notifier = &notifier;
    mounting.path = image("b.atr", 720, 128);
    notifier.attach(&mounting);
    ASSERT_TRUE(drives->mountImage(image("a.atr", 720, 128).c_str(), 1, true));
    platform::Thread pump = platform::Thread::start(drainUntilMounted, &mounting);
    EXPECT_EQ(computer->write(1, 5, Bytes(128, 1)).bytes, Bytes{kNak});
    ASSERT_TRUE(pump.waitEnded(20000));
    EXPECT_TRUE(mounting.mounted);
    EXPECT_TRUE(isAckCompleteData(computer->read(2, 1), pattern(1, 128)));
    notifier.detach(&mounting);
}
