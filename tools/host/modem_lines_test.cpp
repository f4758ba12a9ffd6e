// The modem-line shim without Wine: the requests Wine's serial code makes today are proven by
// serial_rig_test; this covers the rest of what the shim promises (TIOCMBIS and TIOCMBIC,
// TIOCMSET leaving the input lines alone, TIOCMIWAIT, the ring count in TIOCGICOUNT), that
// it leaves every other descriptor and request to the kernel, and its account of reads, writes
// and of waits armed by a program thread and polled by a thread of their own, of the arming
// itself, and its hold.
//
//   modem_lines_test --shim libvandrel_modem_lines.so --work DIR
//
// The checks run in a child started with the shim preloaded, as a Wine process would be; the
// parent plays the peer and takes turns with the child over the pty.
#include <sys/ioctl.h>
#include <linux/serial.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "pty_peer.h"
#include "wine_host.h"

namespace {

using namespace rig;
using std::chrono::milliseconds;

constexpr milliseconds kWait{20000};
constexpr std::uint8_t kOutputsSet = 'S';
constexpr std::uint8_t kRingSeen = 'W';
constexpr std::uint8_t kPassedOn = 'P';
constexpr std::uint8_t kAccounted = 'T';
constexpr std::uint8_t kArmedElsewhere = 'E';
constexpr std::uint8_t kFailed = '!';
constexpr std::uint8_t kEcho[] = {0x00, 0x11, 0x13, 0x0d, 0x0a, 0x03, 0x1a, 0xff};

// --- the child, with the shim ---

int g_fd = -1;

int childFail(const char* what)
{
    std::printf("child: %s (errno %d: %s)\n", what, errno, std::strerror(errno));
    std::uint8_t b = kFailed;
    if (g_fd >= 0 && ::write(g_fd, &b, 1) != 1)
        std::printf("child: cannot report the failure on the pty\n");
    return 1;
}

bool say(std::uint8_t b) { return ::write(g_fd, &b, 1) == 1; }

int modemLines(int fd)
{
    int lines = -1;
    return ioctl(fd, TIOCMGET, &lines) == 0 ? lines : -1;
}

int child()
{
    const char* pty = std::getenv(VANDREL_MODEM_PTY_ENV);
    if (!pty)
        return childFail("no " VANDREL_MODEM_PTY_ENV);
    g_fd = ::open(pty, O_RDWR | O_NOCTTY);
    if (g_fd < 0)
        return childFail("cannot open the pty");

    // DTR and RTS as a real port has them when opened; no input line yet.
    if (modemLines(g_fd) != (TIOCM_DTR | TIOCM_RTS))
        return childFail("TIOCMGET does not show DTR and RTS alone at the start");
    int bits = TIOCM_DTR;
    if (ioctl(g_fd, TIOCMBIC, &bits) != 0 || modemLines(g_fd) != TIOCM_RTS)
        return childFail("TIOCMBIC DTR did not leave RTS alone");
    if (ioctl(g_fd, TIOCMBIS, &bits) != 0 || modemLines(g_fd) != (TIOCM_DTR | TIOCM_RTS))
        return childFail("TIOCMBIS DTR did not bring DTR back");
    bits = TIOCM_DTR | TIOCM_RNG | TIOCM_CAR;  // the input lines are not the program's to set
    if (ioctl(g_fd, TIOCMSET, &bits) != 0 || modemLines(g_fd) != TIOCM_DTR)
        return childFail("TIOCMSET did not set exactly DTR");
    if (!say(kOutputsSet))
        return childFail("write");

    serial_icounter_struct before{};
    if (ioctl(g_fd, TIOCGICOUNT, &before) != 0 || before.rng != 0)
        return childFail("TIOCGICOUNT before the ring");
    // Returns once the parent, which waits for this request to reach the shim, raises RI.
    if (ioctl(g_fd, TIOCMIWAIT, static_cast<unsigned long>(TIOCM_RNG)) != 0)
        return childFail("TIOCMIWAIT");
    serial_icounter_struct after{};
    if (ioctl(g_fd, TIOCGICOUNT, &after) != 0 || after.rng != 1)
        return childFail("TIOCGICOUNT does not count the ring's rise");
    if (modemLines(g_fd) != (TIOCM_DTR | TIOCM_RNG))
        return childFail("TIOCMGET does not show the ring indicator");
    if (!say(kRingSeen))
        return childFail("write");

    // Another pty is the kernel's: no modem lines there.
    int other = posix_openpt(O_RDWR | O_NOCTTY);
    if (other < 0)
        return childFail("posix_openpt");
    int lines = 0;
    errno = 0;
    if (ioctl(other, TIOCMGET, &lines) == 0 || errno != ENOTTY)
        return childFail("TIOCMGET on another pty did not reach the kernel");
    ::close(other);
    // Other requests on this pty reach the kernel too.
    int queued = -1;
    if (ioctl(g_fd, TIOCOUTQ, &queued) != 0 || queued < 0)
        return childFail("TIOCOUTQ on the pty");
    if (!say(kPassedOn))
        return childFail("write");

    // The parent writes while this side waits for the ring's fall, so that it can count what
    // is pending; then this side echoes it.
    if (ioctl(g_fd, TIOCMIWAIT, static_cast<unsigned long>(TIOCM_RNG)) != 0)
        return childFail("TIOCMIWAIT for the fall");
    if (ioctl(g_fd, TIOCGICOUNT, &after) != 0 || after.rng != 2 || modemLines(g_fd) != TIOCM_DTR)
        return childFail("the ring's fall is not counted or the line still shows");
    std::uint8_t echo[sizeof kEcho];
    std::size_t got = 0;
    while (got < sizeof echo) {
        ssize_t n = ::read(g_fd, echo + got, sizeof echo - got);
        if (n <= 0)
            return childFail("read");
        got += static_cast<std::size_t>(n);
    }
    if (::write(g_fd, echo, sizeof echo) != static_cast<ssize_t>(sizeof echo))
        return childFail("write");

    // A wait as Wine makes one: armed on this thread, which is then inside the arming until
    // its next read or write (the parent looks while this side waits for the ring), and starts
    // a thread of its own (held there until the parent lets it go) that polls twice, sees the
    // ring changed since the arming and makes a request elsewhere (held there too), as Wine's
    // thread tells its server.
    if (ioctl(g_fd, TIOCGICOUNT, &after) != 0)
        return childFail("TIOCGICOUNT arming a wait");
    if (ioctl(g_fd, TIOCMIWAIT, static_cast<unsigned long>(TIOCM_RNG)) != 0)
        return childFail("TIOCMIWAIT while arming");
    bool polled = true;
    std::thread waiter([&] {
        serial_icounter_struct round{};
        for (int i = 0; i < 2; ++i)
            polled = polled && ioctl(g_fd, TIOCGICOUNT, &round) == 0;
        polled = polled && modemLines(g_fd) == (TIOCM_DTR | TIOCM_RNG);
        int elsewhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        const char request = 0;
        polled = polled && elsewhere >= 0 && ::write(elsewhere, &request, 1) == 1;
        if (elsewhere >= 0)
            ::close(elsewhere);
    });
    waiter.join();
    if (!polled)
        return childFail("polling a wait");
    if (!say(kAccounted))
        return childFail("write");

    // A wait armed by a thread whose very first request on the pty is that TIOCGICOUNT, as a
    // server's emulation thread arms one on a port that another thread set up.
    // Polled before it is read: the shim counts a read as it starts, and the parent counts
    // the transfers before it sends the byte.
    pollfd ready{g_fd, POLLIN, 0};
    std::uint8_t go = 0;
    if (poll(&ready, 1, static_cast<int>(kWait.count())) != 1 || ::read(g_fd, &go, 1) != 1)
        return childFail("read the go byte");
    bool armed = false;
    std::thread armer([&] {
        serial_icounter_struct counts{};
        armed = ioctl(g_fd, TIOCGICOUNT, &counts) == 0;
    });
    armer.join();
    if (!armed)
        return childFail("TIOCGICOUNT arming on a fresh thread");
    if (!say(kArmedElsewhere))
        return childFail("write");
    return 0;
}

// --- the parent, the peer ---

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool expect(PtyPeer& peer, std::uint8_t marker, const char* step, std::string& failure)
{
    auto b = peer.readByte(kWait);
    if (!b) {
        failure = std::string("timed out waiting for the child: ") + step;
        return false;
    }
    if (b->value != marker) {
        failure = std::string("the child failed: ") + step;
        return false;
    }
    return true;
}

int parent(const std::string& self, const std::string& shim, const std::string& work)
{
    std::filesystem::create_directories(work);
    PtyPeer peer(work + "/modem-lines");
    ChildProcess child({self, "--child"}, shimEnvironment(peer, shim), {}, work + "/child.out",
                       work + "/child.err");
    std::string failure;
    bool ok = expect(peer, kOutputsSet, "setting DTR and RTS", failure);
    if (ok) {
        ModemLines& lines = peer.lines();
        if (!lines.dtr() || lines.rts() || lines.outputWrites() != 3) {
            failure = "the peer does not see DTR on and RTS off after three writes";
            ok = false;
        } else {
            std::printf("ok - TIOCMBIS, TIOCMBIC and TIOCMSET set DTR and RTS as the peer sees them\n");
        }
    }
    if (ok) {
        if (!peer.lines().waitForCalls(VANDREL_CALL_TIOCMIWAIT, 1, kWait)) {
            failure = "the child's TIOCMIWAIT never reached the shim";
            ok = false;
        } else {
            peer.setCommandLine(true);
            ok = expect(peer, kRingSeen, "TIOCMIWAIT and the ring count", failure);
            if (ok)
                std::printf("ok - TIOCMIWAIT returned on the ring's rise, counted in TIOCGICOUNT\n");
        }
    }
    if (ok) {
        ok = expect(peer, kPassedOn, "requests left to the kernel", failure);
        if (ok)
            std::printf("ok - another pty and other requests are left to the kernel\n");
    }
    if (ok) {
        // The child waits in TIOCMIWAIT, reading nothing, until the ring falls.
        std::vector<std::uint8_t> bytes(std::begin(kEcho), std::end(kEcho));
        if (!peer.write(bytes, Pacing::Unpaced, kWait) || !peer.lines().waitForCalls(
                VANDREL_CALL_TIOCMIWAIT, 2, kWait)) {
            failure = "could not write to the child, or its second TIOCMIWAIT never came";
            ok = false;
        } else if (peer.pendingForProgram() != bytes.size()) {
            failure = "the peer counts " + std::to_string(peer.pendingForProgram()) +
                      " bytes pending, not " + std::to_string(bytes.size());
            ok = false;
        } else {
            peer.setCommandLine(false);
            auto echo = peer.read(bytes.size(), kWait);
            bool same = echo.size() == bytes.size();
            for (std::size_t i = 0; same && i < echo.size(); ++i)
                same = echo[i].value == bytes[i];
            if (!same || !peer.drain(kWait) || peer.pendingForProgram() != 0) {
                failure = "the echo of XON, XOFF, CR, LF and friends came back wrong, or the "
                          "peer still counts bytes pending";
                ok = false;
            } else {
                std::printf("ok - raw bytes both ways; pending bytes counted until read; the "
                            "fall counted too\n");
            }
        }
    }
    if (ok) {
        // The child has armed a wait and waits for the ring, inside the arming: a line change
        // between arms waits, a plain one does not; and the hold is asked for.
        ModemLines& lines = peer.lines();
        if (!lines.waitForCalls(VANDREL_CALL_TIOCMIWAIT, 3, kWait)) {
            failure = "the child's third TIOCMIWAIT never reached the shim";
            ok = false;
        } else if (!lines.arming() || lines.setRingBetweenArms(true, milliseconds(50)) ||
                   lines.ring()) {
            failure = "the shim does not show the child inside the arming, or the ring changed "
                      "all the same";
            ok = false;
        } else {
            using Hold = ModemLines::Hold;
            lines.askHold(Hold::Arming, lines.watchArms());
            lines.askHold(Hold::Completion, lines.watchArms());
            peer.setCommandLine(true);
            // Held after starting its thread, which polls twice, sees the change and is held
            // in turn; let go, it ends.
            if (!pollUntil([&] { return lines.holding(Hold::Arming); }, kWait) ||
                !pollUntil([&] { return lines.holding(Hold::Completion); }, kWait) ||
                !lines.watchPolled(lines.transfers(), 2) ||
                lines.watchPolled(lines.transfers(), 3)) {
                failure = "the child and its thread were not held where asked";
                ok = false;
            } else {
                lines.releaseHold(Hold::Completion);
                if (!lines.waitForWaitingThreadEnd(kWait) || !lines.holding(Hold::Arming) ||
                    !lines.arming()) {
                    failure = "the child's thread did not end, or the hold let the child out of "
                              "the arming";
                    ok = false;
                } else {
                    std::printf("ok - inside an arming a line changes only when asked plainly; the "
                                "arming thread held while the thread it started polls, is held "
                                "on completing, and ends\n");
                }
            }
            lines.releaseHold(Hold::Completion);
            lines.releaseHold(Hold::Arming);
        }
    }
    if (ok)
        ok = expect(peer, kAccounted, "arming and polling a wait", failure);
    if (ok) {
        // Five writes: three markers and the echo before the wait was armed, one after; and
        // the reads that took the echo (as many as the kernel made them) before it.
        const ModemLines& lines = peer.lines();
        const std::uint32_t transfers = lines.transfers();
        std::uint32_t inputs = ~0u;
        if (lines.arming()) {
            failure = "the child's write did not end the arming";
            ok = false;
        } else if (lines.writes() != 5 || lines.reads() < 1 ||
                   transfers != lines.writes() + lines.reads() || lines.waitingThreads() != 1) {
            failure = "the shim counts " + std::to_string(lines.writes()) + " writes, " +
                      std::to_string(lines.reads()) + " reads, " + std::to_string(transfers) +
                      " transfers and " + std::to_string(lines.waitingThreads()) +
                      " waiting threads";
            ok = false;
        } else if (!lines.watchPolled(transfers - 1, 2, &inputs) ||
                   lines.watchPolled(transfers - 1, 3) || lines.watchPolled(transfers)) {
            failure = "the shim does not place the wait before the last transfer with two polls";
            ok = false;
        } else if (inputs != 0) {
            failure = "the shim recorded input lines on at the wait's arming";
            ok = false;
        } else {
            std::printf("ok - reads and writes counted; a wait armed before the last write, "
                        "polled twice by its own thread, with the ring off\n");
        }
    }
    if (ok) {
        ModemLines& lines = peer.lines();
        const std::uint32_t writes = lines.writes();
        const std::uint32_t arms = lines.watchArms();
        const auto sent = Clock::now();
        ok = peer.write(0x47, kWait) && expect(peer, kArmedElsewhere, "arming on a fresh thread",
                                                failure);
        const auto answered = Clock::now();
        const auto began = lines.writeStarted(lines.writes());
        if (ok && (!began || *began < sent - std::chrono::microseconds(1) ||
                   *began > answered || lines.writeStarted(lines.writes() + 1))) {
            failure = "the start of the child's last write is not recorded between the go byte "
                      "and its answer";
            ok = false;
        } else if (ok && (lines.watchArms() != arms + 1 || lines.waitingThreads() != 1 ||
                          lines.latestArm().writes != writes)) {
            failure = "a first TIOCGICOUNT on a thread of the program's was not taken for an "
                      "arming after the program's " + std::to_string(writes) + " writes (arms " +
                      std::to_string(lines.watchArms() - arms) + " more, waiting threads " +
                      std::to_string(lines.waitingThreads()) + ", writes at the arm " +
                      std::to_string(lines.latestArm().writes) + ")";
            ok = false;
        } else if (ok) {
            std::printf("ok - a thread's first request may arm a wait; only threads started "
                        "inside an arming poll; a write's start is timed\n");
        }
    }
    if (!ok || !child.wait(kWait))
        child.kill();  // a child left waiting in TIOCMIWAIT would never end
    if (ok && child.exitCode() != 0) {
        failure = "the child ended with " + child.status();
        ok = false;
    }
    if (!ok) {
        std::printf("%s%s", readText(work + "/child.out").c_str(), readText(work + "/child.err").c_str());
        std::printf("FAIL - %s\n", failure.c_str());
        return 1;
    }
    std::printf("modem-line shim: all checks passed\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 2 && std::strcmp(argv[1], "--child") == 0)
        return child();
    if (argc != 5 || std::strcmp(argv[1], "--shim") != 0 || std::strcmp(argv[3], "--work") != 0) {
        std::printf("usage: modem_lines_test --shim LIB --work DIR\n");
        return 2;
    }
    try {
        return parent(std::filesystem::canonical("/proc/self/exe").string(), argv[2], argv[4]);
    } catch (const std::exception& e) {
        std::printf("FAIL - %s\n", e.what());
        return 1;
    }
}
