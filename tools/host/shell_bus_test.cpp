// Command events from real bus traffic: the computer's side of the bus for Vandrel.exe, and the
// driver of a front end (shell_bus_client.exe) that receives the events under Wine.
//
//   shell_bus_test --wine-sh cmake/wine.sh --prefix build/P/wineprefix
//                  --client shell_bus_client.exe --server Vandrel.exe
//                  --shim libvandrel_modem_lines.so [--shim32 32/libvandrel_modem_lines.so]
//                  --port 7 --work DIR [--trace]
//
// It maps COMn of the build's prefix to its own pty (and refuses to go on unless the registry
// and the prefix's device link both lead there), registers the server, and starts the client
// with the modem-line shim in its environment. COM starts Vandrel.exe from the client, and the
// server inherits that environment, so the shim answers for the pty in the server too. The
// client opens COMn through Vandrel.Shell and starts the emulation; the driver learns that the
// emulation listens from the shim's record (a wait for the command line armed and polled by
// Wine) and then plays the computer:
//   - 0x31 0x52 0x01 0x00 0x84: D1: read of sector 1, with no image mounted;
//   - 0x40 0x53 0x00 0x00 0x93: status for device 0x40, which is no drive;
// each with the command line asserted 1400 us before the first byte and the bytes paced at
// 19200 baud. Neither may be answered: the driver checks, once the client has seen the
// responder's report on both, that Vandrel wrote nothing to the pty. The client checks the
// events (shell_bus_client.cpp).
//
// The command line changes only while no WaitCommEvent call of the server is under way
// (VANDREL_MODEM_ARMING in modem_lines.h says why). The last byte of a frame waits, should it
// be needed, until the emulation has taken the command line's rise (Wine polls the lines:
// bytes that complete before it has looked are not a frame). The line is released 800 us
// after the last byte.
//
// Exit code 0 when all passed, 1 when something failed, 77 when this machine cannot run the
// programs (32-bit ones without a 32-bit Wine loader or shim).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include "driver_report.h"
#include "pty_peer.h"
#include "wine_host.h"

namespace {

using namespace rig;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Bytes = std::vector<std::uint8_t>;

constexpr int kSkipped = 77;
// Starting the client, COM starting the server and the prefix's services: tens of seconds on
// a busy machine.
constexpr milliseconds kStartWait{90000};
constexpr milliseconds kWait{30000};
// What the client allows itself for the frames' events (shell_bus_client.cpp), and more.
constexpr milliseconds kClientWait{150000};
// The server ends about six seconds after its last Shell is released.
constexpr seconds kServerEnd{30};
constexpr microseconds kLead{1400};
constexpr microseconds kTail{800};

struct Options {
    std::string wineSh, prefix, client, server, shim, shim32, work;
    unsigned port = 7;
    bool trace = false;  // the shim writes every request on the pty to the programs' errors
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
        else if (a == "--client") o.client = value();
        else if (a == "--server") o.server = value();
        else if (a == "--shim") o.shim = value();
        else if (a == "--shim32") o.shim32 = value();
        else if (a == "--work") o.work = value();
        else if (a == "--port") o.port = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--trace") o.trace = true;
        else throw std::invalid_argument("unknown argument " + a);
    }
    if (o.wineSh.empty() || o.prefix.empty() || o.client.empty() || o.server.empty() ||
        o.shim.empty() || o.work.empty())
        throw std::invalid_argument(
            "usage: shell_bus_test --wine-sh F --prefix D --client F --server F --shim F "
            "[--shim32 F] --port N --work D [--trace]");
    if (o.port < 5 || o.port > 9)
        throw std::invalid_argument("the test uses COM5 to COM9 only");
    return o;
}

// A process that is not this driver's child: gone, or left as a zombie for its new parent.
bool processGone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    if (!std::getline(stat, all))
        return true;
    const auto close = all.rfind(')');
    return close != std::string::npos && close + 2 < all.size() && all[close + 2] == 'Z';
}

std::string commandLineOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char& c : s)
        if (c == '\0')
            c = ' ';
    return s;
}

// The waits for the command line that the emulation has armed: Wine starts one waiting thread
// for each. The shim tells Wine's waiting threads from the program's threads by the first
// request a thread makes on the pty, and the emulation thread's first is the TIOCGICOUNT of
// its first wait (the port was set up on another thread, by the automation call that opened
// it): the shim then counts the emulation thread once among the waiting threads and none of
// its waits among the armed ones (watchArms). Counted this way, the number is right with
// either accounting.
std::uint32_t waitsArmed(const ModemLines& lines)
{
    std::uint32_t threads = lines.waitingThreads();
    if (lines.watchArms() == 0 && threads > 0)
        --threads;  // the emulation thread itself
    return threads;
}

class Computer {
public:
    Computer(PtyPeer& peer, ChildProcess& client) : peer_(peer), client_(client) {}

    const std::string& failure() const { return failure_; }

    bool run()
    {
        return listening(0, kStartWait, "the emulation to listen") &&
               frame({0x31, 0x52, 0x01, 0x00, 0x84}, "the D1: read", false) &&
               frame({0x40, 0x53, 0x00, 0x00, 0x93}, "the device 0x40 status", true);
    }

    void printFigures() const
    {
        printSpread("command line asserted -> Wine's thread first looks at the lines", looked_);
        printSpread("command line asserted -> the frame read's wait has ended on it", taken_);
        printSpread("last byte -> command line released", released_);
    }

private:
    bool fail(const std::string& why)
    {
        failure_ = why;
        return false;
    }

    // Waits until the emulation listens: a wait armed after the first `armed` ones is being
    // polled by its waiting thread for the second round at least (the line as it was at its
    // arming is the baseline a change is compared with, and the WaitCommEvent that armed it
    // returned long ago), or has already ended on a change of the line (a release that came
    // after the frame read armed it: the read then takes the next five bytes as a frame and
    // arms no further wait).
    bool listening(std::uint32_t armed, milliseconds timeout, const std::string& what)
    {
        const ModemLines& lines = peer_.lines();
        pid_t waiter = 0;
        std::uint32_t pollsAtStart = 0;
        bool ended = false;
        const bool ok = pollUntil(
            [&] {
                if ((ended = client_.ended()))
                    return true;
                if (waitsArmed(lines) <= armed)
                    return false;
                const pid_t latest = lines.waitingTid();
                const std::uint32_t polls = lines.calls(VANDREL_CALL_TIOCGICOUNT);
                if (latest != waiter) {
                    waiter = latest;
                    pollsAtStart = polls;
                }
                return polls - pollsAtStart >= 2 || lines.waitForThreadEnd(waiter, milliseconds(0));
            },
            timeout);
        if (ended)
            return fail("the client ended (" + client_.status() + ") while the driver waited for " +
                        what);
        if (!ok)
            return fail("no wait for the command line armed and polled by Wine within " +
                        std::to_string(timeout.count() / 1000) + " s: " + what);
        return true;
    }

    bool clientEnded(const std::string& during)
    {
        if (!client_.ended())
            return false;
        fail("the client ended (" + client_.status() + ") " + during);
        return true;
    }

    // Changes the command line (once no WaitCommEvent call of the server is under way, as far
    // as the shim can tell).
    bool commandLine(bool asserted, const std::string& what, Clock::time_point* changed)
    {
        const auto deadline = Clock::now() + kWait;
        while (!peer_.changeCommandLine(asserted, milliseconds(50), changed)) {
            if (clientEnded(std::string("before ") + (asserted ? "asserting" : "releasing") +
                            " the command line for " + what))
                return false;
            if (Clock::now() >= deadline)
                return fail("the server stayed inside WaitCommEvent for " +
                            std::to_string(kWait.count() / 1000) + " s, which held up the "
                            "command line for " + what);
        }
        return true;
    }

    // One frame, sent while the emulation listens. The frame read's wait ends on the rise
    // (its waiting thread ends), and the read then waits for the bytes alone. The last byte
    // waits, should it be needed, until that has happened: five bytes that complete before the
    // rise is taken are no frame. The line is released 800 us after the last byte; the driver
    // then waits for the next frame read's wait (unless this was the last frame: the client
    // may stop the emulation before its next read).
    bool frame(const Bytes& bytes, const std::string& what, bool last)
    {
        const ModemLines& lines = peer_.lines();
        const std::uint32_t armed = waitsArmed(lines);
        const pid_t waiter = lines.waitingTid();
        Clock::time_point asserted;
        if (!commandLine(true, what, &asserted))
            return false;
        const auto looks = lines.calls(VANDREL_CALL_TIOCMGET);
        Clock::time_point looked{}, taken{};
        auto observe = [&] {
            const auto now = Clock::now();
            if (looked == Clock::time_point{} && lines.calls(VANDREL_CALL_TIOCMGET) != looks)
                looked = now;
            if (taken == Clock::time_point{} && lines.waitForThreadEnd(waiter, milliseconds(0)))
                taken = now;
            return taken != Clock::time_point{};
        };
        auto due = asserted + kLead;
        Clock::time_point lastByte;
        for (std::size_t i = 0; i < bytes.size(); ++i, due += peer_.byteTime()) {
            while (Clock::now() < due - microseconds(150)) {
                observe();
                const timespec step{0, 20'000};
                nanosleep(&step, nullptr);
            }
            if (i + 1 == bytes.size() && !observe()) {
                if (!pollUntil(observe, kWait))
                    return fail("the emulation did not take the command line's rise for " + what +
                                " within " + std::to_string(kWait.count() / 1000) + " s");
                if (taken > due)
                    due = taken;
            }
            waitUntil(due);
            if (!peer_.write(bytes[i], kWait))
                return fail("the pty did not take " + what);
            lastByte = Clock::now();
        }
        if (looked != Clock::time_point{})
            looked_.push_back(micros(looked - asserted));
        taken_.push_back(micros(taken - asserted));
        waitUntil(lastByte + kTail);
        Clock::time_point released;
        if (!commandLine(false, what, &released))
            return false;
        released_.push_back(micros(released - lastByte));
        if (!peer_.drain(kWait))
            return fail("the server did not read all of " + what);
        std::printf("ok - %s sent with the command line asserted %.0f us ahead and released "
                    "%.0f us after the last byte\n",
                    what.c_str(), micros(kLead), micros(released - lastByte));
        return last || listening(armed, kWait, "the next frame's read after " + what);
    }

    PtyPeer& peer_;
    ChildProcess& client_;
    std::string failure_;
    std::vector<double> looked_, taken_, released_;
};

// Waits for Vandrel.exe, which COM started from the client, to end by itself (about six
// seconds after the client released its Shell); kills it, by its pid, only past the bound.
bool serverEnded(pid_t pid)
{
    if (pid <= 0)
        return true;
    if (pollUntil([&] { return processGone(pid); }, kServerEnd))
        return true;
    if (commandLineOf(pid).find("Vandrel.exe") == std::string::npos)
        return true;  // not the server any more
    std::printf("the server (pid %d) did not end within %lld s of its last client: killing it\n",
                static_cast<int>(pid), static_cast<long long>(kServerEnd.count()));
    ::kill(pid, SIGKILL);
    pollUntil([&] { return processGone(pid); }, milliseconds(5000));
    return false;
}

int runTest(const Options& o)
{
    std::filesystem::create_directories(o.work);
    WineSetup wine;
    wine.prefix = std::filesystem::absolute(o.prefix).string();
    wine.logDir = std::filesystem::absolute(o.work).string();

    const ProgramLoader run = loaderFor(wine, o.client, o.shim, o.shim32);
    if (!run.skipReason.empty()) {
        std::printf("skipped: %s\n", run.skipReason.c_str());
        return kSkipped;
    }
    if (peMachine(o.server) != peMachine(o.client))
        throw std::runtime_error("the client and the server are not of one width");
    prepareWinePrefix(wine, o.wineSh);

    PtyPeer peer(wine.logDir + "/modem-lines");
    std::printf("pty %s, modem lines in %s\n", peer.slavePath().c_str(), peer.lines().path().c_str());
    int rc = 1;
    pid_t server = 0;
    {
        ComPortMapping mapping(wine, o.port, peer.slavePath());
        std::printf("ok - %s of %s leads to %s (registry and dosdevices read back)\n",
                    mapping.portName().c_str(), wine.prefix.c_str(), peer.slavePath().c_str());
        ServerRegistration registration(wine, run.loader, o.server);
        std::printf("ok - Vandrel.exe /RegServer\n");
        std::fflush(stdout);

        std::vector<std::string> env = wineEnvironment(wine);
        for (auto& e : shimEnvironment(peer, run.shim))
            env.push_back(e);
        if (o.trace)
            env.push_back(std::string(VANDREL_MODEM_TRACE_ENV) + "=1");
        const std::string out = wine.logDir + "/client.out";
        const std::string err = wine.logDir + "/client.err";
        bool passed = true;
        auto failed = [&](const std::string& why) {
            std::printf("FAIL - %s\n", why.c_str());
            passed = false;
        };
        {
            ChildProcess client({run.loader, o.client, std::to_string(o.port)}, env,
                                wineUnsetEnvironment(), out, err);
            Computer computer(peer, client);
            if (!computer.run())
                failed(computer.failure());
            else if (!client.wait(kClientWait))
                failed("the client did not end within " + std::to_string(kClientWait.count() / 1000) +
                       " s");
            else if (client.exitCode() != 0)
                failed("the client ended with " + client.status() + ": its output says which checks "
                       "failed");
            else
                std::printf("ok - the client saw the events it expected and ended with exit code 0\n");
            if (!client.ended()) {
                std::printf("the client (pid %d) is still running: killing it\n",
                            static_cast<int>(client.pid()));
                client.kill();
            }
            server = peer.lines().programPid();
            computer.printFigures();
        }
        // The client has seen the responder's report on both frames, which comes after any
        // byte the responder could have sent for them.
        const auto answered = peer.read(1, milliseconds(0));
        if (!answered.empty())
            failed("Vandrel answered on the bus: " + showByte(answered[0].value) + " came");
        else if (passed)
            std::printf("ok - no byte on the bus for either frame: an empty drive and a device "
                        "other than a drive are not answered\n");
        if (!serverEnded(server))
            passed = false;
        if (!passed || o.trace)
            printFile("client errors", err);
        printFile("client output", out);
        printShimCalls(peer.lines());
        if (passed)
            rc = 0;
    }  // unregistered; COMn goes back to where it led before
    if (!waitForServerExit(wine, seconds(15)))
        std::printf("note: the Wine server of the prefix is still running (other programs in "
                    "it?); the build's wine-shutdown step stops it\n");
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    return rig::driverMain([&] { return runTest(parse(argc, argv)); },
                           "Command events from the bus: all checks passed");
}
