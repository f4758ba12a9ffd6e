#include "computer_scenarios.h"

#include <algorithm>
#include <cstdio>

#include "driver_report.h"

namespace rig {

namespace {

using Step = SioBusMaster::Step;
using Steps = std::vector<Step>;
using Fault = SioBusMaster::Exchange::Fault;

Bytes frameFor(unsigned drive, std::uint8_t command, std::uint16_t aux = 0)
{
    return sio::commandFrame(sio::device(drive), command, aux);
}

// ACK, COMPLETE and a data frame: a read, a status, a get-config or a format.
Steps served(Bytes dataFrame)
{
    return {SioBusMaster::ack(), SioBusMaster::complete(), SioBusMaster::dataIn(std::move(dataFrame))};
}

Steps servedSector(std::span<const std::uint8_t> sector)
{
    return served(sio::dataFrame(sector));
}

// ACK, the computer's data frame, ACK, COMPLETE: a write, a put or a set-config.
Steps received(Bytes dataFrame)
{
    return {SioBusMaster::ack(), SioBusMaster::dataOut(std::move(dataFrame)), SioBusMaster::ack(),
            SioBusMaster::complete()};
}

// ACK, then the computer's data frame cut short after `cutAt` bytes by the next command.
Steps cutShort(Bytes dataFrame, std::size_t cutAt)
{
    return {SioBusMaster::ack(), SioBusMaster::dataOutCut(std::move(dataFrame), cutAt)};
}

Steps refused() { return {SioBusMaster::nak()}; }
Steps unanswered() { return {SioBusMaster::silence()}; }

// Data no disk holds by chance: the sector number, the command and a counter in every byte.
Bytes pattern(std::size_t size, std::uint16_t sector, std::uint8_t salt)
{
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<std::uint8_t>((sector * 29 + i * 11 + salt * 7) ^ (i & 1 ? 0xA5 : 0x5A));
    return data;
}

}  // namespace

// One scenario's commands and their account.
class ComputerScenarios::Session {
public:
    Session(SioBusMaster& bus, ScenarioResult& result) : bus_(bus), result_(result) {}

    // The exchange; true when the drive's answer had the right bytes (in time or not), so
    // that what a write put on the disk is known.
    bool command(const std::string& what, const Bytes& frame, const Steps& steps)
    {
        const auto x = bus_.exchange(frame, steps);
        ++result_.frames;
        result_.bytesChecked += x.bytesChecked;
        if (x.ackUs)
            result_.ackUs.push_back(*x.ackUs);
        if (!x.ok) {
            result_.passed = false;
            result_.failures.push_back(what + ": " + x.failure);
        }
        // A real computer gets its answer on a later try; the run judges how many tries
        // went unanswered.
        for (const auto& where : x.missedWhere)
            result_.missedWhere.push_back(what + ": missed (no answer within 16 ms), then sent "
                                          "again; " + where);
        return x.fault == Fault::None || x.fault == Fault::Late;
    }

private:
    SioBusMaster& bus_;
    ScenarioResult& result_;
};

ComputerScenarios::ComputerScenarios(SioBusMaster& bus, DiskSet& disks) : bus_(bus), disks_(disks) {}

const std::vector<std::string>& ComputerScenarios::names()
{
    static const std::vector<std::string> all{
        "boot",     "directory", "write-read",  "put",          "cut-write",  "format",   "format-ED",
        "config",   "speed-up",  "no-image",    "not-a-drive",  "bad-checksum", "bad-sector",
        "read-only"};
    return all;
}

ScenarioResult ComputerScenarios::run(const std::string& name)
{
    ScenarioResult result;
    result.name = name;
    Session s(bus_, result);
    const AtrImage& demo = disks_.disk(kDemoDrive).expected;
    auto read = [&](unsigned drive, std::uint16_t sector) {
        const AtrImage& image = disks_.disk(drive).expected;
        s.command("read D" + std::to_string(drive) + ": sector " + std::to_string(sector),
                  frameFor(drive, sio::kRead, sector), servedSector(image.sector(sector)));
    };
    // A write or put of a pattern, then the same sector read back; the disk's expected
    // content follows what was accepted.
    auto writeAndRead = [&](std::uint8_t command, std::uint16_t sector) {
        AtrImage& image = disks_.disk(kBlankDrive).expected;
        const Bytes data = pattern(image.sizeOf(sector), sector, command);
        const std::string what = std::string(command == sio::kPut ? "put" : "write") +
                                 " D2: sector " + std::to_string(sector);
        if (s.command(what, frameFor(kBlankDrive, command, sector), received(sio::dataFrame(data))))
            std::copy(data.begin(), data.end(), image.sector(sector).begin());
        read(kBlankDrive, sector);
    };
    auto status = [&](unsigned drive) {
        const DiskSet::Disk& d = disks_.disk(drive);
        s.command("status D" + std::to_string(drive) + ":", frameFor(drive, sio::kStatus),
                  served(sio::statusFrame(d.expected.sectorCount(), d.expected.sectorSize(),
                                          d.readOnly)));
    };
    auto getConfig = [&](unsigned drive) {
        const AtrImage& image = disks_.disk(drive).expected;
        s.command("get-config D" + std::to_string(drive) + ":", frameFor(drive, sio::kGetConfig),
                  served(sio::configFrame(image.sectorCount(), image.sectorSize())));
    };
    auto format = [&](unsigned drive, std::uint8_t command) {
        s.command(std::string(command == sio::kFormat ? "format" : "format-ED") + " D" +
                      std::to_string(drive) + ":",
                  frameFor(drive, command),
                  served(sio::formatFrame(disks_.disk(drive).expected.sectorSize())));
    };

    if (name == "boot") {
        status(kDemoDrive);
        read(kDemoDrive, 1);
        // As the system boots: sector 1 says how many boot sectors to load.
        const unsigned count = bootSectorCount(demo);
        for (unsigned n = 2; n <= count; ++n)
            read(kDemoDrive, static_cast<std::uint16_t>(n));
    } else if (name == "directory") {
        for (std::uint16_t n = 360; n <= 369; ++n)
            read(kDemoDrive, n);
    } else if (name == "write-read") {
        for (std::uint16_t n : {1, 3, 4, 100, 359, 360, 720})
            writeAndRead(sio::kWrite, n);
    } else if (name == "put") {
        for (std::uint16_t n : {2, 5, 361, 500, 719})
            writeAndRead(sio::kPut, n);
    } else if (name == "cut-write") {
        // Each data frame cut short (after its first byte, in its middle, before its checksum)
        // by a read of the same sector: the drive answers the read with what the sector held.
        AtrImage& image = disks_.disk(kBlankDrive).expected;
        for (std::size_t cutAt : {1, 64, 128}) {
            const std::uint16_t sector = 200;
            const Bytes data = pattern(image.sizeOf(sector), sector, static_cast<std::uint8_t>(cutAt));
            s.command("write D2: sector 200 cut after " + std::to_string(cutAt) + " bytes",
                      frameFor(kBlankDrive, sio::kWrite, sector),
                      cutShort(sio::dataFrame(data), cutAt));
            read(kBlankDrive, sector);
        }
        writeAndRead(sio::kWrite, 200);  // and a whole one is still stored
    } else if (name == "format") {
        format(kSingleDrive, sio::kFormat);
        format(kDoubleDrive, sio::kFormat);
        format(kReadOnlyDrive, sio::kFormat);  // answered the same; the disk is not touched
        read(kDoubleDrive, 1);  // 128 bytes on a double-density disk
        read(kDoubleDrive, 4);  // 256 bytes
        read(kDoubleDrive, 720);
    } else if (name == "format-ED") {
        s.command("format-ED D5: (720 sectors)", frameFor(kSingleDrive, sio::kFormatEnhanced),
                  refused());
        format(kEnhancedDrive, sio::kFormatEnhanced);
        status(kEnhancedDrive);
    } else if (name == "config") {
        getConfig(kDemoDrive);
        getConfig(kDoubleDrive);
        getConfig(kEnhancedDrive);
        // Another drive's block: accepted, and nothing changes.
        s.command("set-config D1:", frameFor(kDemoDrive, sio::kSetConfig),
                  received(sio::configFrame(1040, 128)));
        getConfig(kDemoDrive);
    } else if (name == "speed-up") {
        s.command("speed-up D1:", frameFor(kDemoDrive, sio::kSpeedUp), refused());
        status(kDemoDrive);  // still at 19200 baud
    } else if (name == "no-image") {
        s.command("status D7: (empty)", frameFor(kEmptyDrive, sio::kStatus), unanswered());
        s.command("read D7: (empty)", frameFor(kEmptyDrive, sio::kRead, 1), unanswered());
        s.command("status D9: (empty)", frameFor(9, sio::kStatus), unanswered());
    } else if (name == "not-a-drive") {
        for (std::uint8_t device : {0x30, 0x3A, 0x40})
            s.command("status for device " + std::to_string(device),
                      sio::commandFrame(device, sio::kStatus), unanswered());
        s.command("command 0x72 to D1:", frameFor(kDemoDrive, 0x72, 1), unanswered());
        s.command("command 0x58 to D1:", frameFor(kDemoDrive, 0x58, 1), unanswered());
    } else if (name == "bad-checksum") {
        for (std::uint8_t command : {sio::kStatus, sio::kRead}) {
            Bytes frame = frameFor(kDemoDrive, command, 1);
            frame.back() = static_cast<std::uint8_t>(frame.back() + 1);
            s.command(std::string(command == sio::kStatus ? "status" : "read") +
                          " D1: with a bad checksum",
                      frame, unanswered());
        }
        status(kDemoDrive);  // the next good frame is served
    } else if (name == "bad-sector") {
        s.command("read D1: sector 0", frameFor(kDemoDrive, sio::kRead, 0), refused());
        s.command("read D1: sector 721", frameFor(kDemoDrive, sio::kRead, 721), refused());
        s.command("write D2: sector 721", frameFor(kBlankDrive, sio::kWrite, 721), refused());
        read(kEnhancedDrive, 1040);
        s.command("read D4: sector 1041", frameFor(kEnhancedDrive, sio::kRead, 1041), refused());
    } else if (name == "read-only") {
        s.command("write D6: sector 4 (read-only)", frameFor(kReadOnlyDrive, sio::kWrite, 4),
                  refused());
        s.command("put D6: sector 1 (read-only)", frameFor(kReadOnlyDrive, sio::kPut, 1),
                  refused());
        s.command("write D6: sector 0 (read-only)", frameFor(kReadOnlyDrive, sio::kWrite, 0),
                  refused());
        status(kReadOnlyDrive);
        read(kReadOnlyDrive, 4);
    } else {
        result.passed = false;
        result.failures.push_back("no scenario named " + name);
    }
    return result;
}

StressResult ComputerScenarios::stress(std::size_t frames, bool writes, bool cuts)
{
    StressResult result;
    AtrImage& blank = disks_.disk(kBlankDrive).expected;
    std::uint16_t lastWritten = 1;
    std::size_t unansweredInARow = 0;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < frames; ++i) {
        Bytes frame;
        Steps steps;
        Bytes written;
        const unsigned kind = static_cast<unsigned>(i % (writes ? 10 : 6));
        auto readOf = [&](unsigned drive, std::uint16_t sector) {
            frame = frameFor(drive, sio::kRead, sector);
            steps = servedSector(disks_.disk(drive).expected.sector(sector));
        };
        auto statusOf = [&](unsigned drive) {
            const AtrImage& image = disks_.disk(drive).expected;
            frame = frameFor(drive, sio::kStatus);
            steps = served(sio::statusFrame(image.sectorCount(), image.sectorSize(), false));
        };
        auto writeOf = [&](bool cut) {
            lastWritten = static_cast<std::uint16_t>(i * 29 % 720 + 1);
            const Bytes data =
                pattern(blank.sizeOf(lastWritten), lastWritten, static_cast<std::uint8_t>(i));
            frame = frameFor(kBlankDrive, sio::kWrite, lastWritten);
            steps = cut ? cutShort(sio::dataFrame(data), 1 + i * 41 % 128)
                        : received(sio::dataFrame(data));
            if (!cut)
                written = data;
        };
        switch (kind) {
        case 0: statusOf(kDemoDrive); break;
        case 1:
        case 2: readOf(kDemoDrive, static_cast<std::uint16_t>(i * 37 % 720 + 1)); break;
        case 3: readOf(kDoubleDrive, static_cast<std::uint16_t>(i * 53 % 720 + 1)); break;
        case 4: statusOf(kDoubleDrive); break;
        case 5: readOf(kEnhancedDrive, static_cast<std::uint16_t>(i * 97 % 1040 + 1)); break;
        case 6: writeOf(false); break;
        case 8: writeOf(cuts); break;  // cut: the read that follows cuts its data frame short
        default: readOf(kBlankDrive, lastWritten); break;
        }
        const auto x = bus_.exchange(frame, steps);
        ++result.frames;
        if ((x.fault == Fault::None || x.fault == Fault::Late) && !written.empty())
            std::copy(written.begin(), written.end(), blank.sector(lastWritten).begin());
        result.missed += x.missed;
        for (const auto& where : x.missedWhere)
            if (result.missedWhere.size() < 20)
                result.missedWhere.push_back("frame " + std::to_string(i) + ": " + where);
        switch (x.fault) {
        case Fault::None: break;
        case Fault::Stuck: ++result.stuck; break;
        case Fault::Silent: ++result.unanswered; break;
        case Fault::Wrong: ++result.corrupted; break;
        case Fault::Late: ++result.late; break;
        }
        if (!x.ok && result.firstFailures.size() < 20)
            result.firstFailures.push_back("frame " + std::to_string(i) + ": " + x.failure);
        unansweredInARow = x.fault == Fault::Silent ? unansweredInARow + 1 : 0;
        if (x.fault == Fault::Stuck || unansweredInARow >= 10)
            break;  // the drive has gone or stopped listening: the rest would only wait
        if ((i + 1) % 1000 == 0)
            std::printf("  %zu frames, %zu missed, %zu failed, %.1f s\n", i + 1, result.missed,
                        result.unanswered + result.corrupted + result.stuck + result.late,
                        micros(Clock::now() - start) / 1e6);
    }
    result.cuts = bus_.figures().cuts;
    result.seconds = micros(Clock::now() - start) / 1e6;
    return result;
}

BenchResult ComputerScenarios::bench(std::size_t sectors)
{
    BenchResult result;
    const AtrImage& demo = disks_.disk(kDemoDrive).expected;
    const double byteSeconds = std::chrono::duration<double>(bus_.byteTime()).count();
    const auto start = Clock::now();
    for (std::size_t i = 0; i < sectors; ++i) {
        const auto sector = static_cast<std::uint16_t>(4 + i % 716);
        const auto x = bus_.exchange(frameFor(kDemoDrive, sio::kRead, sector),
                                     servedSector(demo.sector(sector)));
        ++result.sectors;
        if (!x.ok)
            ++result.failures;
        result.wireSeconds += static_cast<double>(x.wireBytes) * byteSeconds;
        result.driveByteSeconds += static_cast<double>(x.received.size()) * byteSeconds;
    }
    result.seconds = micros(Clock::now() - start) / 1e6;
    result.protocolSeconds = result.wireSeconds + static_cast<double>(result.sectors) * 1500e-6;
    return result;
}

}  // namespace rig
