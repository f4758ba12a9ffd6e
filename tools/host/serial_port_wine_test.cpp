// CSIOPort against Wine's serial code: the computer's side of the bus for serial_port_wine.exe,
// which runs CSIOPort with the system's comm device on COMn under Wine.
//
//   serial_port_wine_test --wine-sh cmake/wine.sh --prefix build/P/wineprefix
//                         --program serial_port_wine.exe --shim libvandrel_modem_lines.so
//                         [--shim32 32/libvandrel_modem_lines.so] --port 8 --work DIR
//                         [--scenario all|arming-race|late-event] [--trace] [--verbose]
//
// It maps COMn of the build's prefix to its own pty (and refuses to go on unless the registry
// and the prefix's device link both lead there), starts the program with the modem-line shim,
// and plays the computer (serial_port_protocol.h). Checked:
//   - openPort leaves the line at 19200 baud, 8 data bits, no parity, 1 stop bit, no flow
//     control, DTR and RTS off: in the pty's terminal settings (which the driver sets to
//     something else first), in the shim's DTR and RTS, and in GetCommState;
//   - bytes written with writeByte and writeBytes arrive exactly;
//   - the engine's contract with the line, case by case (port_contract.h, the table the fake
//     device's tests play too): command frames with and without the command line, data
//     frames cut short by a new command, the release of the answered command's line, a stop
//     request from another thread;
//   - kLoopFrames command frames back to back, each answered at once, all come in, with no
//     Error event and no halt.
// Printed, not checked: the times from the command line's assertion and from a frame's last
// byte to the answer that the program writes as soon as its frame read returns.
//
// The driver acts on the line only once the program's transfer is waiting for it: the
// program says which transfer comes next with a marker byte, and the shim's record shows
// when the wait that transfer armed after that write is being polled by Wine's thread, and
// when that wait has ended on a change of the line.
//
// It changes the command line only while the program waits in a read whose bytes it holds
// back, and never while a WaitCommEvent call is under way, because a wait that Wine completes
// at the wrong moment makes CSIOPort report a critical error and halt:
//   - a wait that completes before its WaitCommEvent has returned: Wine then stores
//     "pending" over its status (VANDREL_MODEM_ARMING in modem_lines.h), and
//     GetOverlappedResult reports error 996 although the wait's event has been signalled;
//   - a wait that completes while CSIOPort ends it (a line change as the transfer ends):
//     Wine writes the status, then tells its server the wait is over, then signals the event.
//     GetOverlappedResult returns as soon as the status is there, so CSIOPort's next
//     WaitCommEvent either fails with error 87 (the server still has a wait pending) or finds
//     the old event signalled for its new wait (996).
// So a command line asserted for a frame is released only when the program reads a go byte
// after its answer (later than a computer would, 650-950 us after the last byte).
//
// The scenarios arming-race and late-event make the first happen, once, to a command frame's
// read, and the second (its event half) to the read that follows the frame's answer (holding
// Wine's threads through the shim, so that the order is certain), and check that CSIOPort
// reads the frame and the byte, answers, and reports no error all the same.
//
// Exit code 0 when all passed, 1 when something failed, 77 when this machine cannot run the
// program (a 32-bit program without a 32-bit Wine loader or shim).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_report.h"
#include "pty_peer.h"
#include "port_contract.h"
#include "serial_port_protocol.h"
#include "wine_host.h"

namespace {

using namespace rig;
using namespace port_protocol;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int kSkipped = 77;
constexpr milliseconds kWait{kWaitMs};
// A write to the pty takes a few microseconds; one that took longer saw this side preempted.
constexpr microseconds kPreempted{200};
using Bytes = std::vector<std::uint8_t>;

struct Options {
    std::string wineSh, prefix, program, shim, shim32, work;
    std::string scenario = "all";  // or "arming-race", "late-event"
    unsigned port = 8;
    bool trace = false;    // the shim writes every request on the pty to the program's errors
    bool verbose = false;  // one line a frame of the loop
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
        else if (a == "--program") o.program = value();
        else if (a == "--shim") o.shim = value();
        else if (a == "--shim32") o.shim32 = value();
        else if (a == "--work") o.work = value();
        else if (a == "--port") o.port = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--scenario") o.scenario = value();
        else if (a == "--trace") o.trace = true;
        else if (a == "--verbose") o.verbose = true;
        else throw std::invalid_argument("unknown argument " + a);
    }
    if (o.wineSh.empty() || o.prefix.empty() || o.program.empty() || o.shim.empty() ||
        o.work.empty())
        throw std::invalid_argument(
            "usage: serial_port_wine_test --wine-sh F --prefix D --program F --shim F "
            "[--shim32 F] --port N --work D [--scenario all|arming-race|late-event] [--trace] "
            "[--verbose]");
    if (o.scenario != "all" && o.scenario != "arming-race" && o.scenario != "late-event")
        throw std::invalid_argument("unknown scenario " + o.scenario);
    if (o.port < 5 || o.port > 9)
        throw std::invalid_argument("the test uses COM5 to COM9 only");
    return o;
}

Bytes commandBytes(unsigned n)
{
    Bytes frame(5);
    commandFrame(n, frame.data());
    return frame;
}

Bytes dataBytes(std::uint8_t seed)
{
    Bytes frame(kDataFrame);
    dataFrame(seed, frame.data());
    return frame;
}

std::string hex(const std::vector<TimedByte>& bytes, std::size_t from, std::size_t count)
{
    std::string s;
    for (std::size_t i = from; i < from + count && i < bytes.size(); ++i) {
        char b[8];
        std::snprintf(b, sizeof b, "%s%02x", s.empty() ? "" : " ", bytes[i].value);
        s += b;
    }
    return s;
}

std::uint32_t le(const std::vector<TimedByte>& bytes, std::size_t at, int size)
{
    std::uint32_t v = 0;
    for (int i = 0; i < size; ++i)
        v |= static_cast<std::uint32_t>(bytes[at + i].value) << (8 * i);
    return v;
}

// How one command frame went on the bus.
struct FrameTiming {
    Clock::time_point asserted, looked, rearmed, lastByte;
    Clock::duration lastWriteTook{};  // long when this side was preempted around it
    bool late = false;                // the last byte waited for CSIOPort to take the ring
    std::optional<TimedByte> answer;  // the first byte back
};

// The conversation. Every method returns false after recording why.
class Conversation {
public:
    Conversation(PtyPeer& peer, ChildProcess& program, bool verbose)
        : peer_(peer), program_(program), verbose_(verbose)
    {
    }

    const std::string& failure() const { return failure_; }

    bool run()
    {
        return opened() && writes() && contract() && loop() && done();
    }

    bool runRace(const std::string& scenario)
    {
        return opened() && (scenario == "arming-race" ? armingRace() : lateEvent()) && done();
    }

    void printFigures() const
    {
        std::printf("figures (this side's monotonic clock; the shim's record is read about every "
                    "20-80 us, a byte read back within tens of us of its arrival):\n");
        if (loopFrames_ > 0)
            std::printf("  over the %d frames of the loop:\n", loopFrames_);
        printSpread("command line asserted -> Wine's thread first looks at the lines", looked_);
        printSpread("command line asserted -> the frame read's wait has ended on it", rearmed_);
        printSpread("frame's last byte written -> answer byte read (the frame read returned, "
                    "then writeByte)", lastToAnswer_);
        if (loopFrames_ > 0)
            std::printf("  frames whose last byte this side took over %.0f us to write (it was "
                        "preempted; left out of the line above): %d\n",
                        micros(kPreempted), preempted_);
        printSpread("command line asserted -> answer byte read (lead and pacing as on the bus)",
                    assertToAnswer_);
        if (loopFrames_ > 0)
            std::printf("  frames whose last byte waited past its time for CSIOPort to take the "
                        "command line (left out of the line above): %d\n",
                        late_);
    }

private:
    bool fail(const std::string& why)
    {
        failure_ = why;
        return false;
    }

    // Reads n bytes within kWait, giving up early when the program has ended.
    bool take(std::size_t n, const std::string& waitingFor, std::vector<TimedByte>& out)
    {
        out.clear();
        const auto deadline = Clock::now() + kWait;
        while (out.size() < n) {
            auto got = peer_.read(n - out.size(), milliseconds(50));
            out.insert(out.end(), got.begin(), got.end());
            if (out.size() == n)
                break;
            if (!out.empty() && out.front().value == kFailed)
                return fail("the program failed (its output says why) while the driver waited "
                            "for " + waitingFor);
            if (program_.ended()) {
                auto rest = peer_.read(n - out.size(), milliseconds(0));
                out.insert(out.end(), rest.begin(), rest.end());
                if (out.size() == n)
                    break;
                return fail("the program ended (" + program_.status() +
                            ") while the driver waited for " + waitingFor);
            }
            if (Clock::now() >= deadline)
                return fail("timed out after " + std::to_string(kWaitMs / 1000) +
                            " s waiting for " + waitingFor + " (" + std::to_string(out.size()) +
                            " of " + std::to_string(n) + " bytes came)");
        }
        return true;
    }

    bool expect(std::uint8_t marker, const std::string& meaning)
    {
        std::vector<TimedByte> got;
        const std::string what = showByte(marker) + " (" + meaning + ")";
        if (!take(1, what, got))
            return false;
        if (got[0].value == kFailed && marker != kFailed)
            return fail("the program failed (its output says why) while the driver waited for " +
                        what);
        if (got[0].value != marker)
            return fail("expected " + what + ", got " + showByte(got[0].value));
        return true;
    }

    // A report: kReport and size - 1 bytes more.
    bool report(std::size_t size, const std::string& step, std::vector<TimedByte>& out)
    {
        if (!take(size, "the report on " + step, out))
            return false;
        if (out[0].value != kReport)
            return fail("expected the report on " + step + ", got " + showByte(out[0].value));
        return true;
    }

    // Waits until the transfer the program announced with the marker just read (or that comes
    // after the go byte it has just taken) has a wait that Wine's thread polls, with the
    // command line as it is now: a change of the line between an arming and Wine's first
    // look would otherwise go unseen when the line changes back before that look. The wait is
    // one armed after the marker, or the one the port armed after its previous answer and
    // keeps for the next transfer, polled again since the marker. The input lines at the
    // arming go to *inputsAtArm.
    bool waitingTransfer(const std::string& transfer, std::uint32_t* inputsAtArm = nullptr)
    {
        const ModemLines& lines = peer_.lines();
        const std::uint32_t marker = lines.transfers();
        const ModemLines::Arm kept = lines.latestArm();
        bool first = true;
        bool ended = false;
        const bool ok = pollUntil(
            [&] {
                if ((ended = program_.ended()))
                    return true;
                std::uint32_t inputs = 0;
                if (!lines.watchPolled(marker, 1, &inputs)) {
                    const ModemLines::Arm now = lines.latestArm();
                    if (now.number != kept.number || now.polls <= kept.polls + 1)
                        return false;
                    inputs = kept.inputs;
                }
                if (first && inputsAtArm)
                    *inputsAtArm = inputs;
                first = false;
                return (inputs & ModemLines::kRing) == (lines.inputs() & ModemLines::kRing);
            },
            kWait, &polled_);
        if (ended)
            return fail("the program ended (" + program_.status() + ") while the driver waited "
                        "for the wait of " + transfer);
        if (!ok)
            return fail("the wait of " + transfer + " was not armed (with the command line as "
                        "it is) and polled by Wine within " + std::to_string(kWaitMs / 1000) +
                        " s");
        return true;
    }

    // Changes the command line once no WaitCommEvent call of the program is under way
    // (VANDREL_MODEM_ARMING in modem_lines.h says why), giving up when the program ends or
    // after kWait. The moment of the change goes to *changed.
    bool commandLine(bool asserted, const std::string& when, Clock::time_point* changed = nullptr)
    {
        const auto deadline = Clock::now() + kWait;
        const std::string what =
            std::string(asserted ? "asserting" : "releasing") + " the command line " + when;
        while (!peer_.changeCommandLine(asserted, milliseconds(50), changed)) {
            if (program_.ended())
                return fail("the program ended (" + program_.status() + ") before " + what);
            if (Clock::now() >= deadline)
                return fail("the program stayed inside WaitCommEvent for " +
                            std::to_string(kWaitMs / 1000) + " s, which held up " + what);
        }
        return true;
    }

    bool lineOffAtArm(std::uint32_t inputs, const std::string& transfer)
    {
        if (inputs & ModemLines::kRing)
            return fail(transfer + " armed its wait while the command line was asserted");
        return true;
    }

    // Command frame number n on the bus, once its read is waiting (waitingTransfer): the
    // command line asserted at some point of Wine's polling round, the bytes paced from
    // 1200-1600 us later, as a computer does. The shim's record is watched all along, for
    // when Wine's thread looks at the lines and when the frame read's wait has ended on the
    // rise (its waiting thread has signalled the event and gone). Only the last byte waits,
    // when it must, for that: the frame's read then never completes with that event still to
    // come (Wine signals a wait's event a moment after its status; CSIOPort takes the watch's
    // event before the read's when both are set). The line stays asserted (releaseForGo).
    bool commandFrame(unsigned n, FrameTiming& t)
    {
        waitUntil(polled_ + phaseOf(n));
        return commandFrameBytes(commandBytes(n), leadOf(n), t);
    }

    // The same for any frame, the command line asserted now and the bytes `lead` later.
    bool commandFrameBytes(const Bytes& frame, microseconds lead, FrameTiming& t)
    {
        const ModemLines& lines = peer_.lines();
        if (!commandLine(true, "for a command frame", &t.asserted))
            return false;
        // The shim counts a TIOCMGET before it reads the lines: one counted from now on sees
        // the line asserted. Wine's thread needs far longer than this to see it and CSIOPort
        // to arm again.
        const auto looks = lines.calls(VANDREL_CALL_TIOCMGET);
        const pid_t waiter = lines.waitingTid();
        bool looked = false, rearmed = false;
        auto observe = [&] {
            const auto now = Clock::now();
            if (!looked && lines.calls(VANDREL_CALL_TIOCMGET) != looks) {
                looked = true;
                t.looked = now;
            }
            if (!rearmed && lines.waitForThreadEnd(waiter, milliseconds(0))) {
                rearmed = true;
                t.rearmed = now;
            }
            return rearmed;
        };
        auto due = t.asserted + lead;
        for (std::size_t i = 0; i < frame.size(); ++i, due += peer_.byteTime()) {
            while (Clock::now() < due - microseconds(150)) {
                observe();
                const timespec step{0, 20'000};
                nanosleep(&step, nullptr);
            }
            observe();
            if (i + 1 == frame.size() && !rearmed) {
                if (!pollUntil(observe, kWait))
                    return fail("CSIOPort did not take the command line's rise within " +
                                std::to_string(kWaitMs / 1000) + " s (Wine " +
                                (looked ? "looked at the lines" : "never looked at the lines") +
                                ")");
                t.late = t.rearmed > due;
                if (t.late)
                    due = t.rearmed;
            }
            waitUntil(due);
            const auto before = Clock::now();
            if (!peer_.write(frame[i], kWait))
                return fail("the pty did not take the command frame");
            t.lastByte = Clock::now();
            t.lastWriteTook = t.lastByte - before;
        }
        if (!looked)
            t.looked = t.rearmed;
        return true;
    }

    // Releases the command line held since a frame while the program waits for the go byte
    // (its read ignores the release and arms its wait again), then sends the byte.
    bool releaseForGo(const std::string& after)
    {
        const std::string read = "the read of the go byte " + after;
        if (!waitingTransfer(read) || !commandLine(false, after) ||
            !waitingTransfer(read + ", once it took the release"))
            return false;
        // Taken once the program's input queue is empty: its read is then counted, and the
        // next transfer's wait is known by coming after it.
        if (!peer_.write(kGo, kWait) || !peer_.drain(kWait))
            return fail("the program did not take the go byte");
        return true;
    }

    // The first byte of the answer to a frame.
    bool answer(FrameTiming& t, const std::string& what)
    {
        std::vector<TimedByte> got;
        if (!take(1, what, got))
            return false;
        t.answer = got.front();
        return true;
    }

    // Spread over the frames without randomness: the command line asserted 0-1100 us into
    // Wine's polling round (about 1.1 ms), and its lead of 1200-1600 us.
    static microseconds phaseOf(unsigned n) { return microseconds((n * 89) % 1100); }
    static microseconds leadOf(unsigned n) { return microseconds(1200 + (n * 37) % 401); }

    bool opened()
    {
        std::vector<TimedByte> r;
        if (!take(12, "the open report (GetCommState after openPort)", r))
            return false;
        if (r[0].value != kOpened)
            return fail("expected the open report, got " + showByte(r[0].value));
        const termios t = peer_.lineSettings();
        const bool speed = cfgetospeed(&t) == B19200 && cfgetispeed(&t) == B19200;
        const bool bits8 = (t.c_cflag & CSIZE) == CS8;
        const bool noParity = !(t.c_cflag & PARENB);
        const bool oneStop = !(t.c_cflag & CSTOPB);
        const bool noFlow = !(t.c_cflag & CRTSCTS) && !(t.c_iflag & (IXON | IXOFF));
        if (!speed || !bits8 || !noParity || !oneStop || !noFlow) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "the pty's settings after openPort: speed %s, %s data bits, parity %s, "
                          "%s stop bits, flow control %s",
                          speed ? "19200" : "not 19200", bits8 ? "8" : "not 8",
                          noParity ? "off" : "on", oneStop ? "1" : "2", noFlow ? "off" : "on");
            return fail(text);
        }
        std::printf("ok - the pty reads back 19200 baud, 8 data bits, no parity, 1 stop bit, no "
                    "flow control (it was 9600 7E2 with RTS/CTS and XON/XOFF before)\n");
        const ModemLines& lines = peer_.lines();
        if (lines.outputWrites() == 0)
            return fail("Wine never set DTR or RTS through the shim: the program did not open "
                        "this test's pty, or the shim is not loaded");
        if (lines.dtr() || lines.rts())
            return fail(std::string("after openPort DTR is ") + (lines.dtr() ? "on" : "off") +
                        " and RTS " + (lines.rts() ? "on" : "off"));
        std::printf("ok - DTR and RTS read back off through the shim (%u writes to them)\n",
                    lines.outputWrites());
        const std::uint32_t baud = le(r, 1, 4);
        const unsigned size = r[5].value, parity = r[6].value, stop = r[7].value;
        const std::uint32_t flags = le(r, 8, 4);
        if (baud != 19200 || size != 8 || parity != 0 || stop != 0 || (flags & kDtrControlMask) ||
            (flags & kRtsControlMask) || (flags & kHandshakeMask)) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "GetCommState after openPort: %u baud, %u data bits, parity %u, stop "
                          "bits %u, flags 0x%08x",
                          baud, size, parity, stop, flags);
            return fail(text);
        }
        std::printf("ok - GetCommState reads back 19200 baud, 8 data bits, NOPARITY, ONESTOPBIT, "
                    "DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, no handshake (flags 0x%08x)\n",
                    flags);
        return true;
    }

    bool writes()
    {
        if (!expect(kWrites, "writes next"))
            return false;
        Bytes want{kAck, kComplete};
        const Bytes frame = dataBytes(kWrittenSeed);
        want.insert(want.end(), frame.begin(), frame.end());
        std::vector<TimedByte> got;
        if (!take(want.size(), "ACK, COMPLETE and a data frame", got))
            return false;
        for (std::size_t i = 0; i < want.size(); ++i)
            if (got[i].value != want[i])
                return fail("written byte " + std::to_string(i) + " arrived as " +
                            showByte(got[i].value) + ", expected " + showByte(want[i]));
        std::vector<TimedByte> r;
        if (!report(2, "the writes", r))
            return false;
        if (r[1].value != 7)
            return fail("writeByte(ACK), writeByte(COMPLETE), writeBytes(129): results " +
                        std::to_string(r[1].value) + " (bit set: returned true), expected 7");
        std::printf("ok - writeByte(ACK), writeByte(COMPLETE) and writeBytes(129-byte frame) "
                    "returned true and arrived exactly\n");
        return true;
    }

    // The engine's contract with the line (port_contract.h), case by case: the marker; after
    // a command frame, the frame (its line left asserted) and the ACK; the case's steps once
    // its read waits; the report; then the go byte, the line released before it.
    bool contract()
    {
        using port_contract::Act;
        const auto& cases = port_contract::cases();
        for (std::size_t n = 0; n < cases.size(); ++n) {
            const port_contract::Case& c = cases[n];
            const std::string name = std::string("\"") + c.name + "\"";
            if (!expect(kContract, "the contract case " + name))
                return false;
            if (c.afterFrame) {
                std::uint32_t inputs = 0;
                if (!waitingTransfer("the frame read before " + name, &inputs) ||
                    !lineOffAtArm(inputs, "the frame read before " + name))
                    return false;
                FrameTiming t;
                if (!commandFrameBytes(port_contract::leadingFrame(n), microseconds(1400), t))
                    return false;
                std::vector<TimedByte> ack;
                if (!take(1, "the ACK before " + name, ack))
                    return false;
                if (ack[0].value != kAck)
                    return fail("the command frame before " + name + " was refused");
            }
            if (!waitingTransfer("the read of " + name))
                return false;
            for (std::size_t i = 0; i < c.steps.size(); ++i) {
                bool ok = true;
                switch (c.steps[i].act) {
                case Act::Frame:
                case Act::Bytes:
                    ok = peer_.write(port_contract::stepBytes(n, i), Pacing::Paced, kWait) ||
                         fail("the pty did not take the bytes of " + name);
                    break;
                case Act::LineOn: ok = commandLine(true, "in " + name); break;
                case Act::LineOff: ok = commandLine(false, "in " + name); break;
                case Act::Stop:
                    ok = program_.sendInput(&kStopNow, 1) ||
                         fail("cannot write to the program's standard input");
                    break;
                }
                if (!ok)
                    return false;
            }
            std::vector<TimedByte> r;
            if (!report(5, name, r))
                return false;
            if (r[1].value != 1)
                return fail("the command frame before " + name + " was read wrong");
            if (r[2].value != c.returns || r[3].value != c.lineSeen)
                return fail(name + ": the read returned " + (r[2].value ? "true" : "false") +
                            ", commandLineSeen() " + (r[3].value ? "true" : "false") +
                            "; expected " + (c.returns ? "true" : "false") + " and " +
                            (c.lineSeen ? "true" : "false"));
            if (c.returns && r[4].value != 1)
                return fail(name + ": the read returned true with the wrong bytes");
            std::printf("ok - %s: %s, commandLineSeen() %s\n", c.name, c.returns ? "true" : "false",
                        c.lineSeen ? "true" : "false");
            if (!(port_contract::lineAtEnd(n) ? releaseForGo("after " + name)
                                              : sendGo("after " + name)))
                return false;
        }
        return true;
    }

    // The races below take the program's one-frame conversation: a go byte, the marker
    // kOneFrame, a frame read, its report, two go bytes. Each arranges, with the shim's holds,
    // one way in which Wine completes a wait of that conversation behind CSIOPort's back (see
    // the file's comment), and expects CSIOPort to read the frame and answer all the same.

    // The command line rises while the frame read's WaitCommEvent is still under way: the
    // shim holds the arming thread right after it has started Wine's waiting thread, which
    // sees the rise, completes the wait (status, mask, event) and ends; then WaitCommEvent
    // goes on and stores "pending" over the completed status. The wait has completed all the
    // same: the event is set and the mask written.
    bool armingRace()
    {
        using Hold = ModemLines::Hold;
        ModemLines& lines = peer_.lines();
        if (!waitingTransfer("the read of the go byte before the frame"))
            return false;
        // The go byte's read keeps its wait for the marker's write, and the program ends it
        // before the frame read: the frame read's wait is the next after the go byte's. The
        // hold is asked for before the go byte, so that the program cannot arm that wait first.
        const std::uint32_t frameWait = lines.watchArms() + 1;
        lines.askHold(Hold::Arming, frameWait);
        if (!peer_.write(kGo, kWait) || !peer_.drain(kWait))
            return fail("the program did not take the go byte before the frame");
        const bool ok = raceArming(lines, frameWait);
        lines.releaseHold(Hold::Arming);
        return ok && oneFrameAnswered() && lastGo();
    }

    bool raceArming(ModemLines& lines, std::uint32_t frameWait)
    {
        using Hold = ModemLines::Hold;
        if (!expect(kOneFrame, "a command frame read next"))
            return false;
        if (!pollUntil([&] { return lines.holding(Hold::Arming) || program_.ended(); }, kWait) ||
            !lines.holding(Hold::Arming) || lines.watchArms() != frameWait)
            return fail("the frame read's WaitCommEvent was not held with its waiting thread "
                        "started");
        if (!lines.waitForPolledWatch(lines.transfers(), kWait))
            return fail("the waiting thread of the frame read never polled");
        peer_.setCommandLine(true);  // inside the arming, on purpose
        if (!lines.waitForWaitingThreadEnd(kWait))
            return fail("Wine's waiting thread did not complete the wait on the command line's "
                        "rise");
        lines.releaseHold(Hold::Arming);
        std::printf("ok - the command line rose and Wine's waiting thread completed the wait "
                    "(EV_RING) before the frame read's WaitCommEvent returned\n");
        // The event is set before the bytes come: a frame read that did not take it as the
        // command line refuses them (oneFrameAnswered says so).
        if (!peer_.write(commandBytes(kAcceptedNumber), Pacing::Paced, kWait))
            return fail("the pty did not take the command frame");
        return true;
    }

    // A wait completes on a line change just as its transfer ends: the go byte's read (armed
    // with the frame's command line still asserted) has its wait complete on the release and
    // write its status, but its thread is held before it signals the event; the go byte comes
    // meanwhile, the read completes and CSIOPort ends that wait, finding the status written.
    // Its event comes once the next read (the last go byte's) has armed its wait (held in
    // WaitCommEvent until then), and lands on that one.
    bool lateEvent()
    {
        using Hold = ModemLines::Hold;
        ModemLines& lines = peer_.lines();
        const bool ok = sendGo("before the frame") && raceLateEvent(lines);
        lines.releaseHold(Hold::Completion);
        lines.releaseHold(Hold::Arming);
        return ok;
    }

    bool raceLateEvent(ModemLines& lines)
    {
        using Hold = ModemLines::Hold;
        if (!expect(kOneFrame, "a command frame read next"))
            return false;
        std::uint32_t inputs = 0;
        if (!waitingTransfer("the frame read", &inputs) || !lineOffAtArm(inputs, "the frame read"))
            return false;
        FrameTiming t;
        if (!commandFrameBytes(commandBytes(kAcceptedNumber), microseconds(1400), t))
            return false;
        std::vector<TimedByte> r;
        if (!report(7, "the command frame", r))
            return false;
        if (r[1].value != 1)
            return fail("readBytes(5) refused the frame");
        if (!waitingTransfer("the read of the go byte"))
            return false;
        // Held once it has told Wine's server the wait is over (its first request), before
        // it signals the event (its second).
        const std::uint32_t goWait = lines.watchArms();
        lines.askHold(Hold::Completion, goWait, 2);
        lines.askHold(Hold::Arming, goWait + 1);  // the second go byte's read
        peer_.setCommandLine(false);
        if (!pollUntil([&] { return lines.holding(Hold::Completion); }, kWait))
            return fail("Wine's waiting thread did not complete the wait on the release");
        const pid_t completed = lines.heldTid();
        if (!peer_.write(kGo, kWait))
            return fail("the pty did not take the go byte");
        if (!pollUntil([&] { return lines.holding(Hold::Arming) || program_.ended(); }, kWait) ||
            !lines.holding(Hold::Arming))
            return fail("the second go byte's WaitCommEvent was not held (the program " +
                        program_.status() + ")");
        lines.releaseHold(Hold::Completion);
        if (!lines.waitForThreadEnd(completed, kWait))
            return fail("the held waiting thread did not end");
        lines.releaseHold(Hold::Arming);
        std::printf("ok - the go byte's wait completed on the release and signalled its event "
                    "only once the next read's wait had been armed\n");
        return lastGo();
    }

    // A read of a go byte in the one-frame conversation: the byte once it waits.
    bool sendGo(const std::string& which)
    {
        if (!waitingTransfer("the read of the go byte " + which))
            return false;
        if (!peer_.write(kGo, kWait) || !peer_.drain(kWait))
            return fail("the program did not take the go byte " + which);
        return true;
    }
    bool lastGo() { return sendGo("at the end"); }

    // The report on the one frame: read, answered, and the go byte.
    bool oneFrameAnswered()
    {
        std::vector<TimedByte> r;
        if (!report(7, "the command frame", r))
            return false;
        const Bytes frame = commandBytes(kAcceptedNumber);
        if (r[1].value != 1)
            return fail("readBytes(5) refused the frame");
        for (std::size_t i = 0; i < 5; ++i)
            if (r[2 + i].value != frame[i])
                return fail("the command frame read as " + hex(r, 2, 5));
        std::printf("ok - CSIOPort read the frame and wrote its report\n");
        return releaseForGo("after the frame");
    }

    bool loop()
    {
        if (!expect(kLoop, "frames back to back next"))
            return false;
        for (unsigned n = 0; n < static_cast<unsigned>(kLoopFrames); ++n) {
            const std::string which = "frame " + std::to_string(n);
            std::uint32_t inputs = 0;
            if (!waitingTransfer("the read of " + which, &inputs) ||
                !lineOffAtArm(inputs, "the read of " + which))
                return false;
            FrameTiming t;
            if (!commandFrame(n, t) || !answer(t, "the answer to " + which))
                return false;
            if (t.answer->value != kAck)
                return fail(which + " of the loop was answered " + showByte(t.answer->value) +
                            (t.answer->value == kNak ? " (read wrong)" : " (read refused)"));
            ++loopFrames_;
            looked_.push_back(micros(t.looked - t.asserted));
            rearmed_.push_back(micros(t.rearmed - t.asserted));
            if (t.lastWriteTook > kPreempted)
                ++preempted_;
            else
                lastToAnswer_.push_back(micros(t.answer->at - t.lastByte));
            if (t.late)
                ++late_;
            else
                assertToAnswer_.push_back(micros(t.answer->at - t.asserted));
            if (verbose_)
                std::printf("  frame %u: asserted %.0f us after Wine's poll; Wine looked +%.0f us, "
                            "CSIOPort armed again +%.0f, last byte +%.0f%s, answer +%.0f\n",
                            n, micros(t.asserted - polled_), micros(t.looked - t.asserted),
                            micros(t.rearmed - t.asserted), micros(t.lastByte - t.asserted),
                            t.late ? " (late)" : "", micros(t.answer->at - t.asserted));
            if (!releaseForGo("after " + which))
                return false;
        }
        std::vector<TimedByte> r;
        if (!report(6, "the loop", r))
            return false;
        const unsigned frames = le(r, 1, 2), errors = le(r, 3, 2);
        if (frames != static_cast<unsigned>(kLoopFrames) || errors != 0 || r[5].value != 0)
            return fail("after the loop the program counts " + std::to_string(frames) +
                        " frames, " + std::to_string(errors) + " Error events" +
                        (r[5].value ? ", halted" : ""));
        std::printf("ok - %d command frames back to back, each answered at once: all accepted "
                    "and exact, no Error event, not halted\n",
                    kLoopFrames);
        return true;
    }

    bool done()
    {
        std::vector<TimedByte> r;
        if (!take(4, "the program's last report", r))
            return false;
        if (r[0].value != kDone)
            return fail("expected the last report, got " + showByte(r[0].value));
        const unsigned errors = le(r, 1, 2);
        if (errors != 0 || r[3].value != 0)
            return fail("the program reported " + std::to_string(errors) + " Error events" +
                        (r[3].value ? " and a halt" : "") + " over the whole run");
        if (!program_.wait(kWait))
            return fail("the program did not end within " + std::to_string(kWaitMs / 1000) + " s");
        if (program_.exitCode() != 0)
            return fail("the program ended with " + program_.status());
        std::printf("ok - no Error event over the whole run; the program closed the port and "
                    "ended with exit code 0\n");
        return true;
    }

    PtyPeer& peer_;
    ChildProcess& program_;
    bool verbose_;
    std::string failure_;
    std::vector<double> looked_, rearmed_, lastToAnswer_, assertToAnswer_;
    int loopFrames_ = 0, late_ = 0, preempted_ = 0;
    Clock::time_point polled_;  // when the latest waitingTransfer saw its wait polled
};

// Anything but what openPort must set, so that reading 19200 8N1 back proves it was set.
void scrambleLine(PtyPeer& peer)
{
    termios t = peer.lineSettings();
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    t.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    peer.setLineSettings(t);
}

int runTest(const Options& o)
{
    std::filesystem::create_directories(o.work);
    WineSetup wine;
    wine.prefix = std::filesystem::absolute(o.prefix).string();
    wine.logDir = std::filesystem::absolute(o.work).string();

    const ProgramLoader run = loaderFor(wine, o.program, o.shim, o.shim32);
    if (!run.skipReason.empty()) {
        std::printf("skipped: %s\n", run.skipReason.c_str());
        return kSkipped;
    }
    prepareWinePrefix(wine, o.wineSh);

    PtyPeer peer(wine.logDir + "/modem-lines");
    scrambleLine(peer);
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
        const std::string out = wine.logDir + "/program.out";
        const std::string err = wine.logDir + "/program.err";
        std::vector<std::string> argv{run.loader, o.program, mapping.portName()};
        if (o.scenario != "all")
            argv.push_back("one-frame");
        ChildProcess program(argv, env, wineUnsetEnvironment(), out, err,
                             ChildProcess::Input::Pipe);
        Conversation talk(peer, program, o.verbose);
        const bool passed = o.scenario == "all" ? talk.run() : talk.runRace(o.scenario);
        if (!program.wait(passed ? kWait : milliseconds(0))) {
            std::printf("the program (pid %d) is still running: killing it\n",
                        static_cast<int>(program.pid()));
            program.kill();
        }
        if (!passed || o.trace) {
            printFile("program output", out);
            printFile("program errors", err);
        }
        talk.printFigures();
        printShimCalls(peer.lines());
        if (passed)
            rc = 0;
        else
            std::printf("FAIL - %s\n", talk.failure().c_str());
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
    return rig::driverMain([&] { return runTest(parse(argc, argv)); },
                           "serial port under Wine: all checks passed");
}
