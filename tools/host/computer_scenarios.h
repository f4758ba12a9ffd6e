// What the simulated computer does on the bus: the named scenarios, each a short session of
// commands whose every answer is known in advance from the disks, the stress run and the
// benchmark.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "computer_disks.h"
#include "sio_bus_master.h"

namespace rig {

struct ScenarioResult {
    std::string name;
    bool passed = true;
    std::vector<std::string> failures;  // one line per command that went wrong
    std::vector<std::string> missedWhere;  // one line per try that went unanswered
    std::size_t frames = 0, bytesChecked = 0;
    std::vector<double> ackUs;
};

struct StressResult {
    std::size_t frames = 0, cuts = 0;
    // missed: frames sent again (no answer within 16 ms); unanswered: commands whose every
    // try was missed.
    std::size_t missed = 0, unanswered = 0, corrupted = 0, stuck = 0, late = 0;
    double seconds = 0;
    std::vector<std::string> firstFailures;  // the first few, for the log
    std::vector<std::string> missedWhere;    // where the drive was, for the first few missed
    bool passed(std::size_t missedAllowed) const
    {
        return missed <= missedAllowed && unanswered == 0 && corrupted == 0 && stuck == 0 &&
               late == 0;
    }
};

struct BenchResult {
    std::size_t sectors = 0;
    double seconds = 0;
    double wireSeconds = 0;      // the same transfers' bytes at the line's byte time
    double protocolSeconds = 0;  // the same plus the 1500 us each COMPLETE must wait
    // The drive's bytes reach this side of a pty at once; on a line they would take this long.
    double driveByteSeconds = 0;
    std::size_t failures = 0;
};

class ComputerScenarios {
public:
    ComputerScenarios(SioBusMaster& bus, DiskSet& disks);

    // boot, directory, write-read, put, cut-write, format, format-ED, config, speed-up,
    // no-image, not-a-drive, bad-checksum, bad-sector, read-only; in the order "all" runs them.
    static const std::vector<std::string>& names();
    ScenarioResult run(const std::string& name);

    // Frames back to back: status and reads of D1:, D3: and D4: (each read compared with the
    // disk), and with writes, writes of D2: whose sectors the reads then check too; with cuts
    // also writes whose data frame a read of the same sector cuts short (the old data must
    // come back).
    StressResult stress(std::size_t frames, bool writes, bool cuts);
    // Sector reads of D1: one after another, timed.
    BenchResult bench(std::size_t sectors);

private:
    class Session;

    SioBusMaster& bus_;
    DiskSet& disks_;
};

}  // namespace rig
