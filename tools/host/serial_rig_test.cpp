// The serial rig's smoke test: proves that a Windows program under Wine can use a COM port
// that leads to this test's pseudo-terminal, with a ring indicator it sees change.
//
//   serial_rig_test --wine-sh cmake/wine.sh --prefix build/P/wineprefix --probe probe.exe
//                   --shim libvandrel_modem_lines.so [--shim32 32/libvandrel_modem_lines.so]
//                   --port 9 --work DIR [--trace]
//
// It maps COMn of the build's prefix to its own pty (and checks the mapping before anything
// opens the port), runs serial_rig_probe.exe under Wine with the modem-line shim, and plays
// the other end of the line (serial_rig_protocol.h). Checked: DTR and RTS read back off after
// the probe's SetCommState; each rise and fall of the ring indicator completes the probe's
// pending WaitCommEvent with EV_RING and the right MS_RING_ON; bytes arrive exactly both
// ways, paced and unpaced. Printed, not checked: the time from each ring edge to the probe's
// report, and how often Wine polled the modem lines.
//
// Exit code 0 when all passed, 1 when something failed, 77 when this machine cannot run the
// probe (a 32-bit program without a 32-bit Wine loader or shim).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_report.h"
#include "pty_peer.h"
#include "serial_rig_protocol.h"
#include "wine_host.h"

namespace {

using namespace rig;
using namespace rig_protocol;
using std::chrono::milliseconds;

constexpr int kSkipped = 77;
constexpr milliseconds kWait{kWaitMs};

struct Options {
    std::string wineSh, prefix, probe, shim, shim32, work;
    unsigned port = 9;
    bool trace = false;
};

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        if (a == "--wine-sh") o.wineSh = value();
        else if (a == "--prefix") o.prefix = value();
        else if (a == "--probe") o.probe = value();
        else if (a == "--shim") o.shim = value();
        else if (a == "--shim32") o.shim32 = value();
        else if (a == "--work") o.work = value();
        else if (a == "--port") o.port = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--trace") o.trace = true;
        else throw std::invalid_argument("unknown argument " + a);
    }
    if (o.wineSh.empty() || o.prefix.empty() || o.probe.empty() || o.shim.empty() || o.work.empty())
        throw std::invalid_argument(
            "usage: serial_rig_test --wine-sh F --prefix D --probe F --shim F [--shim32 F] "
            "--port N --work D [--trace]");
    if (o.port < 5 || o.port > 9)
        throw std::invalid_argument("the rig uses COM5 to COM9 only");
    return o;
}

// The conversation with the probe. Every method returns false after recording why.
class Conversation {
public:
    Conversation(PtyPeer& peer, ChildProcess& probe, bool trace)
        : peer_(peer), probe_(probe), trace_(trace)
    {
    }

    const std::string& failure() const { return failure_; }

    bool run()
    {
        return opened() && ringEdges() && driverToProbe() && probeToDriver() && done();
    }

    void printFigures() const
    {
        if (!armedSeen_.empty())
            std::printf("  ring edge just after the wait was armed:\n");
        printSpread("  -> Wine sees it (its next TIOCMGET)", armedSeen_);
        printSpread("  -> the probe's EV_RING report arrives", armedLatency_);
        if (!polledSeen_.empty())
            std::printf("  ring edge while Wine polls (at phases 0-1125 us after a round):\n");
        printSpread("  -> Wine sees it (its next TIOCMGET)", polledSeen_);
        printSpread("  -> the probe's EV_RING report arrives", polledLatency_);
        printSpread("wait armed (probe's marker read) -> Wine's first poll", firstPoll_);
        printSpread("Wine's poll interval", pollInterval_);
        if (pacedUs_ > 0)
            std::printf("  paced block: %zu bytes in %.1f ms (%.1f us a byte; 19200 baud is "
                        "%.1f us)\n",
                        kBlock, pacedUs_ / 1000.0, pacedUs_ / (kBlock - 1),
                        micros(peer_.byteTime()));
    }

private:
    bool fail(const std::string& why)
    {
        failure_ = why;
        return false;
    }

    // Reads n bytes within kWait, giving up early when the probe has ended.
    bool take(std::size_t n, const std::string& waitingFor, std::vector<TimedByte>& out)
    {
        out.clear();
        const auto deadline = Clock::now() + kWait;
        while (out.size() < n) {
            auto got = peer_.read(n - out.size(), milliseconds(50));
            out.insert(out.end(), got.begin(), got.end());
            if (out.size() == n)
                break;
            if (probe_.ended()) {
                auto rest = peer_.read(n - out.size(), milliseconds(0));
                out.insert(out.end(), rest.begin(), rest.end());
                if (out.size() == n)
                    break;
                return fail("the probe ended (" + probe_.status() + ") while the driver waited for " +
                            waitingFor);
            }
            if (Clock::now() >= deadline)
                return fail("timed out after " + std::to_string(kWaitMs / 1000) +
                            " s waiting for " + waitingFor + " (" + std::to_string(out.size()) +
                            " of " + std::to_string(n) + " bytes came)");
        }
        return true;
    }

    bool expect(std::uint8_t marker, const std::string& meaning, TimedByte* at = nullptr)
    {
        std::vector<TimedByte> got;
        const std::string what = showByte(marker) + " (" + meaning + ")";
        if (!take(1, what, got))
            return false;
        if (got[0].value == kFailed && marker != kFailed)
            return fail("the probe failed (its output says where) while the driver waited for " +
                        what);
        if (got[0].value != marker)
            return fail("expected " + what + ", got " + showByte(got[0].value));
        if (at)
            *at = got[0];
        return true;
    }

    bool opened()
    {
        if (!expect(kOpened, "port open and DCB set"))
            return false;
        const ModemLines& lines = peer_.lines();
        if (lines.outputWrites() == 0)
            return fail("Wine never set DTR or RTS through the shim (is the shim loaded?)");
        if (lines.dtr() || lines.rts())
            return fail(std::string("DTR ") + (lines.dtr() ? "on" : "off") + " and RTS " +
                        (lines.rts() ? "on" : "off") +
                        " after SetCommState with DTR_CONTROL_DISABLE and RTS_CONTROL_DISABLE");
        std::printf("ok - the probe opened the port; DTR and RTS read back off after %u writes "
                    "to them\n",
                    lines.outputWrites());
        return true;
    }

    // The first half of the edges come as soon as the probe says its wait is armed; the
    // second half only once Wine's waiting thread has been seen polling (two rounds of
    // TIOCGICOUNT through the shim), which separates the thread's start-up from its polling,
    // and at a different point of the polling round each (0, 125, 250 ... us after a round).
    // Wine's first TIOCMGET after an edge is the moment it sees the edge.
    bool ringEdges()
    {
        for (int edge = 0; edge < kRingEdges; ++edge) {
            const bool rise = edge % 2 == 0;
            const bool whilePolling = edge >= kRingEdges / 2;
            const std::string name = std::string(rise ? "rise" : "fall") + " " +
                                     std::to_string(edge / 2 + 1);
            TimedByte armed{};
            if (!expect(kArmed, "WaitCommEvent pending before ring " + name, &armed))
                return false;
            if (whilePolling) {
                const auto base = peer_.lines().calls(VANDREL_CALL_TIOCGICOUNT);
                Clock::time_point first, second;
                if (!peer_.lines().waitForCalls(VANDREL_CALL_TIOCGICOUNT, base + 1, kWait, &first))
                    return fail("Wine did not poll the modem lines within " +
                                std::to_string(kWaitMs / 1000) + " s of ring " + name);
                // Both rounds seen at once (this side was late) give no interval.
                const bool oneRound = peer_.lines().calls(VANDREL_CALL_TIOCGICOUNT) == base + 1;
                if (!peer_.lines().waitForCalls(VANDREL_CALL_TIOCGICOUNT, base + 2, kWait, &second))
                    return fail("Wine stopped polling the modem lines before ring " + name);
                firstPoll_.push_back(micros(first - armed.at));
                if (oneRound)
                    pollInterval_.push_back(micros(second - first));
                const auto phase = second + std::chrono::microseconds(125 * (edge - kRingEdges / 2));
                while (Clock::now() < phase) {
                }
            }
            const auto looks = peer_.lines().calls(VANDREL_CALL_TIOCMGET);
            const auto changed = Clock::now();
            peer_.setCommandLine(rise);
            Clock::time_point seen;
            if (!peer_.lines().waitForCalls(VANDREL_CALL_TIOCMGET, looks + 1, kWait, &seen))
                return fail("Wine did not look at the modem lines within " +
                            std::to_string(kWaitMs / 1000) + " s of ring " + name);
            TimedByte report{};
            if (!expect(kEvent, "EV_RING after ring " + name, &report))
                return false;
            std::vector<TimedByte> rest;
            if (!take(5, "the event report after ring " + name, rest))
                return false;
            const std::uint32_t mask = rest[0].value | rest[1].value << 8 | rest[2].value << 16 |
                                       static_cast<std::uint32_t>(rest[3].value) << 24;
            const bool ringOn = (rest[4].value & kMsRingOn) != 0;
            if (mask != kEvRing) {
                char text[64];
                std::snprintf(text, sizeof text, "0x%x", mask);
                return fail("ring " + name + ": WaitCommEvent reported mask " + text +
                            ", expected EV_RING only");
            }
            if (ringOn != rise)
                return fail("ring " + name + ": GetCommModemStatus says the ring indicator is " +
                            (ringOn ? "on" : "off"));
            (whilePolling ? polledSeen_ : armedSeen_).push_back(micros(seen - changed));
            (whilePolling ? polledLatency_ : armedLatency_).push_back(micros(report.at - changed));
            if (trace_)
                std::printf("  ring %s at %.6f s, report at %.6f s (monotonic clock)\n",
                            name.c_str(), seconds(changed), seconds(report.at));
        }
        std::printf("ok - %d ring edges (rises and falls) each completed a pending WaitCommEvent "
                    "with EV_RING and the matching MS_RING_ON\n",
                    kRingEdges);
        return true;
    }

    bool driverToProbe()
    {
        if (!expect(kReadyForData, "probe ready for data"))
            return false;
        std::vector<std::uint8_t> block(kBlock);
        for (std::size_t i = 0; i < kBlock; ++i)
            block[i] = patternByte(kDriverSeed, i);
        const auto start = Clock::now();
        if (!peer_.write(block, Pacing::Paced, kWait))
            return fail("the pty did not take the paced block");
        pacedUs_ = micros(Clock::now() - start);
        for (std::size_t i = 0; i < kBlock; ++i)
            block[i] = patternByte(kDriverSeed2, i);
        if (!peer_.write(block, Pacing::Unpaced, kWait))
            return fail("the pty did not take the unpaced block");
        std::vector<TimedByte> verdict;
        if (!take(1, "the probe's verdict on the driver's blocks", verdict))
            return false;
        if (verdict[0].value == kDataBad) {
            std::vector<TimedByte> where;
            if (!take(3, "the probe's account of the wrong byte", where))
                return false;
            return fail("the probe got a wrong byte at " +
                        std::to_string(where[0].value | where[1].value << 8) + ": " +
                        showByte(where[2].value));
        }
        if (verdict[0].value != kDataGood)
            return fail("expected the probe's verdict, got " + showByte(verdict[0].value));
        std::printf("ok - %zu bytes (every value twice, paced then unpaced) arrived exactly in "
                    "the probe\n",
                    2 * kBlock);
        return true;
    }

    bool probeToDriver()
    {
        std::vector<TimedByte> got;
        if (!take(kBlock, "the probe's block", got))
            return false;
        for (std::size_t i = 0; i < kBlock; ++i)
            if (got[i].value != patternByte(kProbeSeed, i))
                return fail("byte " + std::to_string(i) + " from the probe is " +
                            showByte(got[i].value) + ", expected " +
                            showByte(patternByte(kProbeSeed, i)));
        std::printf("ok - %zu bytes (every value) from the probe arrived exactly\n", kBlock);
        return true;
    }

    bool done()
    {
        if (!expect(kDone, "probe done"))
            return false;
        if (!probe_.wait(kWait))
            return fail("the probe did not end within " + std::to_string(kWaitMs / 1000) + " s");
        if (probe_.exitCode() != 0)
            return fail("the probe ended with " + probe_.status());
        std::printf("ok - the probe closed the port and ended with exit code 0\n");
        return true;
    }

    static double seconds(Clock::time_point t)
    {
        return std::chrono::duration<double>(t.time_since_epoch()).count();
    }

    PtyPeer& peer_;
    ChildProcess& probe_;
    bool trace_;
    std::string failure_;
    std::vector<double> armedSeen_, armedLatency_, polledSeen_, polledLatency_;
    std::vector<double> firstPoll_, pollInterval_;
    double pacedUs_ = 0;
};

int runTest(const Options& o)
{
    std::filesystem::create_directories(o.work);
    WineSetup wine;
    wine.prefix = std::filesystem::absolute(o.prefix).string();
    wine.logDir = std::filesystem::absolute(o.work).string();

    const ProgramLoader run = loaderFor(wine, o.probe, o.shim, o.shim32);
    if (!run.skipReason.empty()) {
        std::printf("skipped: %s\n", run.skipReason.c_str());
        return kSkipped;
    }
    prepareWinePrefix(wine, o.wineSh);

    PtyPeer peer(wine.logDir + "/modem-lines");
    std::printf("pty %s, modem lines in %s\n", peer.slavePath().c_str(),
                peer.lines().path().c_str());
    int rc = 1;
    {
        ComPortMapping mapping(wine, o.port, peer.slavePath());
        std::printf("ok - %s of %s leads to %s (registry and dosdevices read back)\n",
                    mapping.portName().c_str(), wine.prefix.c_str(), peer.slavePath().c_str());
        std::fflush(stdout);

        std::vector<std::string> env = wineEnvironment(wine);
        for (auto& e : shimEnvironment(peer, run.shim))
            env.push_back(e);
        if (o.trace)
            env.push_back(std::string(VANDREL_MODEM_TRACE_ENV) + "=1");
        const std::string out = wine.logDir + "/probe.out";
        const std::string err = wine.logDir + "/probe.err";
        ChildProcess probe({run.loader, o.probe, mapping.portName()}, env, wineUnsetEnvironment(),
                           out, err);
        Conversation talk(peer, probe, o.trace);
        bool passed = talk.run();
        if (!probe.wait(kWait)) {
            std::printf("the probe (pid %d) is still running: killing it\n",
                        static_cast<int>(probe.pid()));
            probe.kill();
        }
        printFile("probe output", out);
        if (!passed || o.trace)
            printFile("probe errors", err);
        std::printf("figures:\n");
        talk.printFigures();
        printShimCalls(peer.lines());
        if (passed) {
            rc = 0;
        } else {
            std::printf("FAIL - %s\n", talk.failure().c_str());
        }
    }  // COMn goes back to where it led before
    // The processes this test started are gone; let the prefix's server end with them.
    if (!waitForServerExit(wine, std::chrono::seconds(15)))
        std::printf("note: the Wine server of the prefix is still running (other programs in "
                    "it?); the build's wine-shutdown step stops it\n");
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    return rig::driverMain([&] { return runTest(parse(argc, argv)); }, "serial rig: all checks passed");
}
