// vandrel_computer: a simulated Atari computer on the far end of the serial cable. It owns a
// pty with modem lines (the ring indicator carries the SIO command line), maps COMn of a Wine
// prefix to it, starts a front end under Wine (which starts Vandrel.exe through COM), makes
// the disk images the front end mounts, plays the bus, and checks every byte and time of the
// drives' answers.
//
//   vandrel_computer --wine-sh cmake/wine.sh --prefix P --shim S [--shim32 S32] [--port 5]
//                    --work DIR [--server Vandrel.exe] [--scenario NAME|all]
//                    [--frames N [--writes [--cut-writes]] [--missed-allowed M]] [--bench [N]]
//                    [--unpaced] [--ctrl-c]
//                    [--wait-for-drive] [--show] [--display D] -- FRONT-END.exe [ITS ARGUMENTS]
//   vandrel_computer --make-demo PATH
//
// The front end gets the port (--port N, unless its arguments name one), one Dn=PATH argument
// for each disk, and --start (unless given). Its standard input is a pipe held here: at the
// end it gets "quit" and must exit 0 within 30 s. With --ctrl-c it gets Ctrl+C instead, as
// Wine passes on one typed at the terminal it runs in: SIGINT, which Wine turns into the
// program's CTRL_C_EVENT. It must exit 0 as well, and the server it held must then end by
// itself. Its output goes to DIR/front-end.out and .err, and with --show to this program's
// output as well, as it comes.
//
// --server registers that Vandrel.exe in the prefix before the front end starts and
// unregisters it at the end. --display gives the prefix's programs an X display (a front end
// with a window needs one). --scenario runs named scenarios (all of them by default) paced
// at 19200 baud; --frames N runs N frames back to back instead (with --writes, writes too, and
// with --cut-writes some of them cut short by the next command). Scenarios and stress each
// pass with at most M missed tries (default 0), every one served on a later try;
// --bench times N sector reads (default 200). The computer keeps a real computer's timing
// (sio_bus_master.h); --wait-for-drive makes it wait for the drive to listen before each
// command, for diagnosis only. Once the front end has gone and the prefix's processes have
// ended, every image file is compared with what it must hold.
//
// Exit code 0 when every check passed and the front end exited 0; 1 otherwise; 77 when this
// machine cannot run the front end (a 32-bit program without a 32-bit Wine loader or shim).
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "atr_image.h"
#include "computer_disks.h"
#include "computer_scenarios.h"
#include "driver_report.h"
#include "pty_peer.h"
#include "sio_bus_master.h"
#include "wine_host.h"

namespace {

using namespace rig;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kSkipped = 77;
// COM starting the server, the prefix's services and the front end's mounts: tens of seconds
// on a busy machine.
constexpr milliseconds kStartTimeout{90'000};
constexpr milliseconds kQuitTimeout{30'000};

struct Options {
    std::string wineSh, prefix, shim, shim32, work, server, makeDemo, display;
    std::vector<std::string> scenarios;
    std::vector<std::string> frontEnd;
    unsigned port = 5;
    std::size_t frames = 0, benchSectors = 0, missedAllowed = 0;
    bool writes = false, cutWrites = false, unpaced = false, waitForDrive = false, show = false;
    bool ctrlC = false;
};

const char* kUsage =
    "usage: vandrel_computer --wine-sh F --prefix D --shim F [--shim32 F] [--port N] --work D\n"
    "                        [--server F] [--scenario NAME|all]...\n"
    "                        [--frames N [--writes [--cut-writes]] [--missed-allowed M]] [--bench [N]]\n"
    "                        [--unpaced] [--ctrl-c] [--wait-for-drive] [--show] [--display D]\n"
    "                        -- FRONT-END [ARGS]\n"
    "       vandrel_computer --make-demo PATH";

bool hasArgument(const std::vector<std::string>& args, const std::string& name)
{
    return std::find(args.begin(), args.end(), name) != args.end();
}

Options parse(int argc, char** argv)
{
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--wine-sh") o.wineSh = value();
        else if (a == "--prefix") o.prefix = value();
        else if (a == "--shim") o.shim = value();
        else if (a == "--shim32") o.shim32 = value();
        else if (a == "--work") o.work = value();
        else if (a == "--server") o.server = value();
        else if (a == "--make-demo") o.makeDemo = value();
        else if (a == "--display") o.display = value();
        else if (a == "--port") o.port = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--scenario") o.scenarios.push_back(value());
        else if (a == "--frames") o.frames = std::stoul(value());
        else if (a == "--writes") o.writes = true;
        else if (a == "--cut-writes") o.writes = o.cutWrites = true;
        else if (a == "--missed-allowed") o.missedAllowed = std::stoul(value());
        else if (a == "--wait-for-drive") o.waitForDrive = true;
        else if (a == "--unpaced") o.unpaced = true;
        else if (a == "--ctrl-c") o.ctrlC = true;
        else if (a == "--show") o.show = true;
        else if (a == "--bench") {
            o.benchSectors = 200;
            if (i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0])))
                o.benchSectors = std::stoul(argv[++i]);
        } else {
            throw std::invalid_argument("unknown argument " + a + "\n" + kUsage);
        }
    }
    for (; i < argc; ++i)
        o.frontEnd.push_back(argv[i]);
    if (!o.makeDemo.empty())
        return o;
    if (o.wineSh.empty() || o.prefix.empty() || o.shim.empty() || o.work.empty() ||
        o.frontEnd.empty())
        throw std::invalid_argument(kUsage);
    if (o.port < 5 || o.port > 9)
        throw std::invalid_argument("the computer uses COM5 to COM9 only");
    if (hasArgument(o.scenarios, "all") || (o.scenarios.empty() && o.frames == 0 && o.benchSectors == 0))
        o.scenarios = ComputerScenarios::names();
    for (const auto& s : o.scenarios)
        if (std::find(ComputerScenarios::names().begin(), ComputerScenarios::names().end(), s) ==
            ComputerScenarios::names().end())
            throw std::invalid_argument("unknown scenario " + s);
    return o;
}

// Copies what the front end writes to its files onto this program's output as it comes: the
// files stay the record, and no pipe is left for Wine's server to hold open.
class OutputTail {
public:
    OutputTail(std::vector<std::string> paths, bool enabled)
    {
        if (!enabled)
            return;
        thread_ = std::jthread([paths = std::move(paths)](std::stop_token stop) {
            std::vector<std::streamoff> offsets(paths.size(), 0);
            auto copyNew = [&] {
                for (std::size_t i = 0; i < paths.size(); ++i) {
                    std::ifstream in(paths[i], std::ios::binary);
                    if (!in.seekg(offsets[i]))
                        continue;
                    std::string text((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
                    // Whole lines only, so that they do not mix with this program's own.
                    const auto end = text.rfind('\n');
                    if (end == std::string::npos)
                        continue;
                    std::fwrite(text.data(), 1, end + 1, stdout);
                    std::fflush(stdout);
                    offsets[i] += static_cast<std::streamoff>(end + 1);
                }
            };
            while (!stop.stop_requested()) {
                copyNew();
                std::this_thread::sleep_for(milliseconds(50));  // polling a file, not waiting for Wine
            }
            copyNew();
        });
    }

private:
    std::jthread thread_;
};

struct Spread {
    double min = 0, median = 0, p99 = 0, max = 0;
    std::size_t n = 0;
};

Spread spreadOf(std::vector<double> v)
{
    Spread s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.n = v.size();
    s.min = v.front();
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    s.max = v.back();
    return s;
}

void printDistribution(const char* what, const std::vector<double>& v)
{
    const Spread s = spreadOf(v);
    if (s.n == 0)
        std::printf("  %s: no samples\n", what);
    else
        std::printf("  %s: min %.0f us, median %.0f us, p99 %.0f us, max %.0f us (%zu samples)\n",
                    what, s.min, s.median, s.p99, s.max, s.n);
}

int runComputer(const Options& o)
{
    std::filesystem::create_directories(o.work);
    WineSetup wine;
    wine.prefix = std::filesystem::absolute(o.prefix).string();
    wine.logDir = std::filesystem::absolute(o.work).string();
    wine.display = o.display;

    const std::string frontEnd = o.frontEnd.front();
    const ProgramLoader frontLoader = loaderFor(wine, frontEnd, o.shim, o.shim32);
    if (!frontLoader.skipReason.empty()) {
        std::printf("skipped: %s\n", frontLoader.skipReason.c_str());
        return kSkipped;
    }
    ProgramLoader serverLoader;
    if (!o.server.empty()) {
        serverLoader = loaderFor(wine, o.server, o.shim, o.shim32);
        if (!serverLoader.skipReason.empty()) {
            std::printf("skipped: %s\n", serverLoader.skipReason.c_str());
            return kSkipped;
        }
    }
    prepareWinePrefix(wine, o.wineSh);

    DiskSet disks(wine.logDir + "/disks");
    std::printf("disks made in %s/disks\n", wine.logDir.c_str());
    std::vector<ScenarioResult> results;
    StressResult stress;
    BenchResult bench;
    bool busFine = true;
    std::string frontStatus = "not started";
    bool frontOk = false;
    bool serverEnded = false;
    Clock::time_point frontEnded;
    SioBusMaster::Figures figures;
    {
        std::optional<ServerRegistration> registration;
        if (!o.server.empty()) {
            registration.emplace(wine, serverLoader.loader, o.server);
            std::printf("ok - %s registered in the prefix\n", o.server.c_str());
        }
        PtyPeer peer(wine.logDir + "/modem-lines");
        {
            ComPortMapping mapping(wine, o.port, peer.slavePath());
            std::printf("ok - %s of %s leads to %s (registry and dosdevices read back)\n",
                        mapping.portName().c_str(), wine.prefix.c_str(), peer.slavePath().c_str());

            std::vector<std::string> env = wineEnvironment(wine);
            for (auto& e : shimEnvironment(peer, frontLoader.shim))
                env.push_back(e);
            std::vector<std::string> argv{frontLoader.loader};
            argv.insert(argv.end(), o.frontEnd.begin(), o.frontEnd.end());
            if (!hasArgument(o.frontEnd, "--port")) {
                argv.push_back("--port");
                argv.push_back(std::to_string(o.port));
            }
            for (auto& m : disks.mountArguments())
                argv.push_back(m);
            if (!hasArgument(o.frontEnd, "--start"))
                argv.push_back("--start");
            const std::string out = wine.logDir + "/front-end.out";
            const std::string err = wine.logDir + "/front-end.err";
            std::printf("front end:");
            for (std::size_t i = 1; i < argv.size(); ++i)
                std::printf(" %s", argv[i].c_str());
            std::printf("\n");
            std::fflush(stdout);

            ChildProcess front(argv, env, wineUnsetEnvironment(), out, err,
                               ChildProcess::Input::Pipe);
            OutputTail tail({out, err}, o.show);
            SioBusMaster bus(peer, o.unpaced ? Pacing::Unpaced : Pacing::Paced,
                             o.waitForDrive ? SioBusMaster::Timing::WaitForDrive
                                            : SioBusMaster::Timing::Real,
                             [&] { return !front.ended(); });
            ComputerScenarios computer(bus, disks);

            std::string why;
            const auto started = Clock::now();
            if (!bus.waitListening(kStartTimeout, &why)) {
                std::printf("FAIL - the emulation never listened: %s\n", why.c_str());
                busFine = false;
            } else {
                std::printf("ok - the emulation listens on %s (process %d, %.1f s after the "
                            "front end started)\n",
                            mapping.portName().c_str(), static_cast<int>(peer.lines().programPid()),
                            micros(Clock::now() - started) / 1e6);
                for (const auto& name : o.scenarios) {
                    results.push_back(computer.run(name));
                    const ScenarioResult& r = results.back();
                    std::printf("%s - %s\n", r.passed ? "ok" : "FAIL", name.c_str());
                    for (const auto& f : r.failures)
                        std::printf("    %s\n", f.c_str());
                }
                if (o.frames > 0) {
                    std::printf("stress: %zu frames back to back (%s%s, %s)\n", o.frames,
                                o.unpaced ? "unpaced" : "paced at 19200 baud",
                                o.cutWrites ? ", with writes, some cut short" : o.writes ? ", with writes" : "",
                                o.waitForDrive ? "waiting for the drive" : "real timing");
                    stress = computer.stress(o.frames, o.writes, o.cutWrites);
                }
                if (o.benchSectors > 0) {
                    bus.resetFigures();
                    bench = computer.bench(o.benchSectors);
                }
            }
            figures = bus.figures();
            if (o.ctrlC)
                ::kill(front.pid(), SIGINT);
            else
                front.sendInput("quit\n", 5);
            if (!front.wait(kQuitTimeout)) {
                frontStatus = "still running " + std::to_string(kQuitTimeout.count() / 1000) +
                              (o.ctrlC ? " s after Ctrl+C: killed" : " s after quit: killed");
                front.kill();
            } else {
                frontStatus = front.status();
                frontOk = front.exitCode() == 0;
            }
            frontEnded = Clock::now();
            if (!frontOk || !busFine) {
                if (!o.show) {
                    printFile("front end output", out);
                    printFile("front end errors", err);
                }
            }
        }  // COMn goes back to where it led before
        // The server ends some seconds after its last client; its image files are closed then.
        // After Ctrl+C that shows the front end let it go: Wine never ends a server whose
        // client went without releasing it.
        serverEnded = waitForServerExit(wine, seconds(60));
        if (serverEnded)
            std::printf("ok - the prefix's Wine processes ended %.1f s after the front end\n",
                        micros(Clock::now() - frontEnded) / 1e6);
        else
            std::printf("%s: the prefix's Wine processes were still running after 60 s\n",
                        o.ctrlC ? "FAIL" : "note");
    }  // unregistered
    if (!waitForServerExit(wine, seconds(30)))
        std::printf("note: the prefix's Wine server was still running after unregistering\n");

    const auto differences = disks.compareFiles();
    bool passed = busFine && frontOk && (serverEnded || !o.ctrlC) && differences.empty();

    std::printf("\nsummary:\n");
    if (!results.empty())
        std::printf("  %-13s %-5s %7s %14s   ACK latency min / median / max\n", "scenario",
                    "", "frames", "bytes checked");
    std::size_t scenarioMisses = 0;
    for (const auto& r : results) {
        passed = passed && r.passed;
        scenarioMisses += r.missedWhere.size();
        const Spread s = spreadOf(r.ackUs);
        std::printf("  %-13s %-5s %7zu %14zu   ", r.name.c_str(), r.passed ? "pass" : "FAIL",
                    r.frames, r.bytesChecked);
        if (s.n)
            std::printf("%.0f / %.0f / %.0f us\n", s.min, s.median, s.max);
        else
            std::printf("(no answers due)\n");
    }
    if (!results.empty()) {
        passed = passed && scenarioMisses <= o.missedAllowed;
        std::printf("  scenarios: %zu tries missed, each served on a later try (%zu allowed)\n",
                    scenarioMisses, o.missedAllowed);
        for (const auto& r : results)
            for (const auto& w : r.missedWhere)
                std::printf("    %s\n", w.c_str());
    }
    if (o.frames > 0) {
        passed = passed && stress.passed(o.missedAllowed) && stress.frames == o.frames;
        std::printf("  stress: %zu of %zu frames in %.1f s (%.1f ms a frame, %zu data frames "
                    "cut short): missed %zu (%.1f per 10,000; %zu allowed), unanswered %zu, "
                    "corrupted %zu, stuck %zu, late %zu\n",
                    stress.frames, o.frames, stress.seconds,
                    stress.frames ? stress.seconds * 1000 / static_cast<double>(stress.frames) : 0.0,
                    stress.cuts, stress.missed,
                    stress.frames ? 10000.0 * static_cast<double>(stress.missed) /
                                        static_cast<double>(stress.frames)
                                  : 0.0,
                    o.missedAllowed, stress.unanswered, stress.corrupted, stress.stuck, stress.late);
        for (const auto& f : stress.firstFailures)
            std::printf("    %s\n", f.c_str());
        for (const auto& w : stress.missedWhere)
            std::printf("    missed: %s\n", w.c_str());
    }
    if (o.benchSectors > 0) {
        passed = passed && bench.failures == 0;
        const double n = static_cast<double>(bench.sectors);
        const double line = bench.seconds + bench.driveByteSeconds;
        std::printf("  benchmark: %zu sector reads of 128 bytes (paced %s) in %.2f s: %.2f "
                    "sectors/s, %zu failed\n",
                    bench.sectors, o.unpaced ? "on neither side" : "on this side only",
                    bench.seconds, n / bench.seconds, bench.failures);
        std::printf("    wire limit at 19200 baud: %.2f sectors/s for the bytes alone (%.1f ms a "
                    "read), %.2f with the 1500 us before each COMPLETE\n",
                    n / bench.wireSeconds, bench.wireSeconds * 1000 / n, n / bench.protocolSeconds);
        std::printf("    the pty hands the drive's bytes over at once; paced as on a line they "
                    "add %.1f ms a read: %.2f sectors/s, %.0f%% of the protocol's limit, %.1f ms "
                    "a read beyond it\n",
                    bench.driveByteSeconds * 1000 / n, n / line,
                    100.0 * bench.protocolSeconds / line,
                    (line - bench.protocolSeconds) * 1000 / n);
    }
    std::printf("  bus (%zu of %zu answers timed by the drive's writes, the rest by this side's "
                "reads):\n",
                figures.timedByWrites, figures.frames);
    printDistribution("frame's last byte -> first answer byte (ACK or NAK)", figures.ackUs);
    printDistribution("ACK -> COMPLETE", figures.completeUs);
    if (o.waitForDrive)
        printDistribution(o.unpaced ? "command line asserted -> the drive has taken it"
                                    : "command line asserted -> the drive has taken it (first "
                                      "looked at after the frame's fourth byte)",
                          figures.takenUs);
    else
        printDistribution("answer's end -> next command line", figures.gapUs);
    std::printf("  frames %zu (missed %zu), answer bytes checked %zu; first answers later than "
                "16 ms: %zu; "
                "COMPLETE earlier than 1500 us: %zu (%zu gaps not judged: both bytes found "
                "waiting)\n",
                figures.frames, figures.missed, figures.bytesChecked, figures.ackMisses,
                figures.earlyCompletes,
                figures.unjudgedGaps);
    const Spread lead = spreadOf(figures.leadUs), rel = spreadOf(figures.releaseUs);
    std::printf("  command line: lead %.0f-%.0f us (%zu outside %s-1600), release %.0f-%.0f us "
                "after the last byte (%zu outside 650-950), %zu gaps outside 1-4 ms",
                lead.min, lead.max, figures.leadSlips, o.waitForDrive ? "1200" : "750", rel.min,
                rel.max, figures.releaseSlips, figures.gapSlips);
    if (o.waitForDrive)
        std::printf("; last bytes held for the drive to see the line: %zu",
                    figures.heldLastBytes);
    std::printf("\n");
    std::printf("  front end: %s\n", frontStatus.c_str());
    if (differences.empty())
        std::printf("  image files: all %zu hold exactly what they must\n", disks.disks().size());
    for (const auto& d : differences)
        std::printf("  image file: %s\n", d.c_str());
    std::printf("%s\n", passed ? "vandrel_computer: all checks passed" : "vandrel_computer: FAILED");
    return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    return rig::driverMain(
        [&] {
            const Options o = parse(argc, argv);
            if (o.makeDemo.empty())
                return runComputer(o);
            if (makeDemoImage().save(o.makeDemo))
                return 0;
            std::printf("FAIL - cannot write %s\n", o.makeDemo.c_str());
            return 1;
        },
        nullptr);
}
