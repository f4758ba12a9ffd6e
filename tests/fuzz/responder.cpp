// Fuzzes the responder through the fake cable. The input is a script of what the computer
// does, then a stop request: command frames (D1:, D2:, a drive with no image or any device;
// an admitted command or any byte; right or wrong checksum; with or without the command
// line) and data frames (whole or cut short; right or wrong checksum).
//
// Rules: an image changes only through a write or put that the drive answered with ACK, took
// a data frame with the right checksum for, and answered with ACK and COMPLETE, and through
// every such write exactly; a read answered in full serves the sector as it stands; the drive
// never halts on a cable that never fails, and ends on the stop request.
//
// The computer lets the drive take in each step before the next (it waits on the fake
// device's state, never on time), so a script plays out the same way every run. What the
// drive did is logged from its own thread, in order: each command it served (from the
// reporter), each byte it sent, each byte it took from the cable.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/performance_counter.h"
#include "platform/thread.h"
#include "serial/run_state.h"
#include "sio/checksum.h"
#include "sio/disk_image.h"
#include "sio/sio_drives.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/fake_comm_device.h"
#include "tests/support/leaping_counter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kAck = 0x41, kComplete = 0x43;
constexpr std::uint8_t kAdmitted[] = {0x21, 0x22, 0x3F, 0x4E, 0x4F, 0x50, 0x52, 0x53, 0x57};
constexpr int kMaxSteps = 32;
constexpr int kSettleMs = 10000;

// D1: and D2:, each made once with createImage and a pattern in every sector.
struct Geometry {
    std::uint16_t count, size;
};
constexpr Geometry kGeometry[2] = {{20, 128}, {10, 256}};

std::uint16_t sectorBytes(int drive, std::uint32_t sector) { return sector <= 3 ? 128 : kGeometry[drive - 1].size; }

const Bytes& blankImage(int drive) {
    static const std::array<Bytes, 2> images = [] {
        QuietReporter reporter;
        std::array<Bytes, 2> made;
        for (int d = 1; d <= 2; ++d) {
            const std::string path = ScratchDir::instance().path(d == 1 ? "template1.atr" : "template2.atr");
            const Geometry g = kGeometry[d - 1];
            CDiskImage image(reporter);
            require(image.createImage(path.c_str(), g.count, g.size), "cannot create %s", path.c_str());
            require(image.loadImage(path.c_str(), false), "cannot load %s", path.c_str());
            for (std::uint16_t s = 1; s <= g.count; ++s) {
                Bytes sector(sectorBytes(d, s));
                for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<std::uint8_t>(s * 7 + i);
                require(image.writeSector(sector.data(), s) == sector.size(), "cannot fill %s", path.c_str());
            }
            image.closeImage();
            made[d - 1] = readWholeFile(path);
        }
        return made;
    }();
    return images[drive - 1];
}

// What the drive did, from its own thread, in order.
struct Step {
    enum Kind { Served, Sent, Took } kind;
    Bytes bytes;              // Sent, Took
    std::uint8_t drive = 0;   // Served
    std::uint8_t command = 0;
    std::uint32_t sector = 0;
};

class DriveLog {
public:
    void add(Step step) {
        std::lock_guard<std::mutex> hold(m_);
        steps_.push_back(std::move(step));
    }
    std::vector<Step> steps() {
        std::lock_guard<std::mutex> hold(m_);
        return steps_;
    }

private:
    std::mutex m_;
    std::vector<Step> steps_;
};

class LoggingReporter final : public QuietReporter {
public:
    explicit LoggingReporter(DriveLog& log) : log_(log) {}
    void postCommand(std::uint8_t, std::uint8_t command, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t disk,
                     std::uint32_t sector, const char*) override {
        log_.add({Step::Served, {}, disk, command, sector});
    }

private:
    DriveLog& log_;
};

// The fake cable, logging the bytes the drive sends and takes. A read's bytes are taken
// when it completes at once, or when the drive collects its result (in full, or what a
// cancel left).
class LoggingCable final : public FakeCommDevice {
public:
    explicit LoggingCable(DriveLog& log) : log_(log) {}

    bool readFile(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved, platform::Event& done) override {
        const bool now = FakeCommDevice::readFile(buffer, count, moved, done);
        if (now) log_.add({Step::Took, Bytes(buffer, buffer + moved)});
        else if (lastError() == comm::kErrorIoPending) pendingRead_ = buffer;
        return now;
    }
    bool writeFile(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                   platform::Event& done) override {
        const bool now = FakeCommDevice::writeFile(buffer, count, moved, done);
        if (now || lastError() == comm::kErrorIoPending) log_.add({Step::Sent, Bytes(buffer, buffer + count)});
        return now;
    }
    bool getOverlappedResult(comm::Operation op, std::uint32_t& moved, bool wait) override {
        const bool ok = FakeCommDevice::getOverlappedResult(op, moved, wait);
        if (op == comm::Operation::Transfer && pendingRead_ && (ok || lastError() != comm::kErrorIoIncomplete)) {
            log_.add({Step::Took, Bytes(pendingRead_, pendingRead_ + moved)});
            pendingRead_ = nullptr;
        }
        return ok;
    }

private:
    DriveLog& log_;
    std::uint8_t* pendingRead_ = nullptr;
};

class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return size_ == 0; }
    std::uint8_t next() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// The drive has taken in everything sent: it waits in a read (with its watch on the line,
// unless it is a command frame's read that has seen the line), and nothing is left queued.
bool driveWaits(const FakeCommDevice::Snapshot& s) {
    return s.readPending && s.inputQueued == 0 && (s.watchPending || s.readCount == 5);
}

struct Drive {
    bool mounted = false;
    bool readOnly = false;
    std::string path;
    Bytes model;  // what the file must hold
};

// Replays the log against the models: writes and reads as the rules say.
void checkLog(const std::vector<Step>& steps, Drive (&drives)[2]) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& served = steps[i];
        if (served.kind != Step::Served || served.drive < 1 || served.drive > 2) continue;
        Drive& drive = drives[served.drive - 1];
        const bool write = served.command == 0x57 || served.command == 0x50;
        const bool read = served.command == 0x52;
        if (!drive.mounted || !(write || read)) continue;
        Bytes answer, data;
        for (std::size_t k = i + 1; k < steps.size() && steps[k].kind != Step::Served; ++k) {
            const Bytes& b = steps[k].bytes;
            if (steps[k].kind == Step::Sent) answer.insert(answer.end(), b.begin(), b.end());
            else if (write && answer.size() == 1) data.insert(data.end(), b.begin(), b.end());
        }
        const std::uint32_t s = served.sector;
        const unsigned n = sectorBytes(served.drive, s);
        const std::uint64_t place = atrSectorPlace(s, kGeometry[served.drive - 1].size);
        const bool inRange = s >= 1 && s <= kGeometry[served.drive - 1].count;
        if (write && answer == Bytes{kAck, kAck, kComplete}) {
            require(!drive.readOnly, "D%u: write of sector %u to a read-only image acknowledged", served.drive, s);
            require(inRange, "D%u: write of sector %u (outside the image) acknowledged", served.drive, s);
            require(data.size() == n + 1u, "D%u: write of sector %u acknowledged after a data frame of %zu bytes",
                    served.drive, s, data.size());
            require(sioChecksum(data.data(), n) == data[n],
                    "D%u: write of sector %u acknowledged with a wrong data checksum", served.drive, s);
            std::copy(data.begin(), data.begin() + n, drive.model.begin() + static_cast<std::ptrdiff_t>(place));
        } else if (read && answer.size() == 2u + n + 1u && answer[0] == kAck && answer[1] == kComplete) {
            require(inRange, "D%u: read of sector %u (outside the image) served", served.drive, s);
            const auto at = drive.model.begin() + static_cast<std::ptrdiff_t>(place);
            require(std::equal(at, at + n, answer.begin() + 2), "D%u: read of sector %u served other data",
                    served.drive, s);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    Script script(input, size);
    const std::uint8_t setup = script.next();
    Drive drives[2];
    drives[0].mounted = true;
    drives[0].readOnly = setup & 0x01;
    drives[1].mounted = setup & 0x02;
    drives[1].readOnly = setup & 0x04;
    for (int d = 1; d <= 2; ++d) {
        Drive& drive = drives[d - 1];
        if (!drive.mounted) continue;
        drive.path = ScratchDir::instance().path(d == 1 ? "d1.atr" : "d2.atr");
        drive.model = blankImage(d);
        writeWholeFile(drive.path, drive.model.data(), drive.model.size());
    }

    DriveLog log;
    LoggingReporter reporter(log);
    CRunState states;
    LeapingCounter clock;
    auto device = std::make_unique<LoggingCable>(log);
    LoggingCable& cable = *device;
    // How the system's driver behaves: Wine (events on both edges, none kept while no watch
    // is armed), real Windows (events kept), a driver that reports only the release.
    if (setup & 0x08) cable.setRingEdges(FakeCommDevice::RingEdges::ReleaseOnly);
    if (setup & 0x10) cable.setLatchEvents(true);
    if (setup & 0x20) cable.setWriteCompletion(FakeCommDevice::WriteCompletion::Immediate);
    auto table = std::make_unique<CSIODrives>(std::move(device), states, reporter, &clock);
    require(table->port().openPort(1), "the fake cable does not open");
    for (int d = 1; d <= 2; ++d)
        if (drives[d - 1].mounted)
            require(table->mountImage(drives[d - 1].path.c_str(), static_cast<std::uint8_t>(d), drives[d - 1].readOnly),
                    "D%d: does not mount", d);
    platform::Thread emulation = platform::Thread::start(emulationThreadMain, table.get());
    require(emulation.valid(), "no emulation thread");

    std::uint16_t dataSize = 128;  // what the last command frame asks for: its sector, or a configuration
    for (int step = 0; step < kMaxSteps && !script.done(); ++step) {
        require(cable.waitUntil(driveWaits, kSettleMs), "the drive did not settle (halted: %d)", states.isHalted());
        const std::uint8_t op = script.next();
        if ((op & 0x02) == 0) {
            // A command frame. Bits: 2-3 the device, 4 any command byte, 5 any sector,
            // 6 a wrong checksum, 7 no command line.
            const std::uint8_t devices[] = {0x31, 0x32, 0x33};
            const int which = (op >> 2) & 3;
            const std::uint8_t device = which < 3 ? devices[which] : script.next();
            const std::uint8_t command = (op & 0x10) ? script.next() : kAdmitted[script.next() % 9];
            std::uint16_t sector = script.next();
            if (op & 0x20) sector = static_cast<std::uint16_t>(sector | script.next() << 8);
            else sector %= 24;
            Bytes frame = {device, command, static_cast<std::uint8_t>(sector), static_cast<std::uint8_t>(sector >> 8)};
            frame.push_back(sioChecksum(frame.data(), 4));
            if (op & 0x40) frame[4] ^= script.next() | 1;
            const int drive = device - 0x30;
            dataSize = command == 0x4F ? 12 : drive >= 1 && drive <= 2 ? sectorBytes(drive, sector) : 128;
            const bool line = !(op & 0x80);
            if (line) cable.setRing(true);
            cable.arrive(frame);
            if (line) cable.setRing(false);
        } else {
            // A data frame. Bits: 2 cut short, 3 a wrong checksum, 4-7 the pattern's step.
            const std::uint8_t seed = script.next();
            Bytes frame(dataSize);
            for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(seed + i * (2 * (op >> 4) + 1));
            frame.push_back(sioChecksum(frame.data(), frame.size()));
            if (op & 0x08) frame.back() ^= 0x5A;
            if (op & 0x04) frame.resize(script.next() % frame.size());
            cable.arrive(frame);
        }
    }
    require(cable.waitUntil(driveWaits, kSettleMs), "the drive did not settle (halted: %d)", states.isHalted());
    require(!states.isHalted(), "the drive halted on a cable that never fails");
    states.setStopRequested(true);
    require(emulation.waitEnded(20000), "the emulation did not end on a stop request");
    table.reset();

    checkLog(log.steps(), drives);
    for (int d = 1; d <= 2; ++d) {
        const Drive& drive = drives[d - 1];
        if (drive.mounted) require(readWholeFile(drive.path) == drive.model, "D%d: the image differs from its model", d);
    }
    return 0;
}
