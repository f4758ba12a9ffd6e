#include "pty_peer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

namespace rig {

namespace {

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::uint32_t load(const std::uint32_t& field)
{
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(field))
        .load(std::memory_order_acquire);
}

void store(std::uint32_t& field, std::uint32_t value)
{
    std::atomic_ref<std::uint32_t>(field).store(value, std::memory_order_release);
}

void increment(std::uint32_t& field)
{
    std::atomic_ref<std::uint32_t>(field).fetch_add(1, std::memory_order_acq_rel);
}

timespec toTimespec(Clock::duration d)
{
    if (d < Clock::duration::zero())
        d = Clock::duration::zero();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Waits until fd is ready for events or deadline passes. False on time-out or failure.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        timespec left = toTimespec(deadline - Clock::now());
        int n = ppoll(&p, 1, &left, nullptr);
        if (n > 0)
            return (p.revents & events) != 0;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

speed_t speedOf(unsigned baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B19200;  // a pty ignores it; the pacing follows the baud given
    }
}

void makeRaw(int fd, unsigned baud, const char* which)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        throw systemError(std::string("tcgetattr on the pty ") + which);
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speedOf(baud));
    cfsetospeed(&t, speedOf(baud));
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        throw systemError(std::string("tcsetattr on the pty ") + which);
}

}  // namespace

// Sleeps most of the way and spins the rest: a pty has no UART to pace bytes, so the pacing
// is ours, and a plain sleep overshoots by tens of microseconds.
void waitUntil(Clock::time_point target)
{
    constexpr auto spin = std::chrono::microseconds(150);
    auto now = Clock::now();
    if (target - now > spin) {
        timespec at = toTimespec((target - spin).time_since_epoch());
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    while (Clock::now() < target) {
    }
}

// --- ModemLines ---

ModemLines::ModemLines(std::string path) : path_(std::move(path))
{
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw systemError("cannot create the modem-line record " + path_);
    void* map = MAP_FAILED;
    if (ftruncate(fd, sizeof(vandrel_modem_state)) == 0)
        map = mmap(nullptr, sizeof(vandrel_modem_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int error = errno;
    ::close(fd);
    if (map == MAP_FAILED) {
        ::unlink(path_.c_str());
        errno = error;
        throw systemError("cannot map the modem-line record " + path_);
    }
    state_ = static_cast<vandrel_modem_state*>(map);
    state_->version = VANDREL_MODEM_VERSION;
    store(state_->outputs, kDtr | kRts);
    // The shim accepts the record only once the magic is there.
    store(state_->magic, VANDREL_MODEM_MAGIC);
}

ModemLines::~ModemLines()
{
    munmap(state_, sizeof(vandrel_modem_state));
    ::unlink(path_.c_str());
}

namespace {

std::uint32_t* transitionCounter(vandrel_modem_state* state, std::uint32_t line)
{
    switch (line) {
    case ModemLines::kRing: return &state->rng;
    case ModemLines::kCarrier: return &state->dcd;
    case ModemLines::kDsr: return &state->dsr;
    case ModemLines::kCts: return &state->cts;
    default: throw std::invalid_argument("not an input modem line");
    }
}

}  // namespace

bool ModemLines::changeInput(std::uint32_t line, bool on, bool betweenArms,
                             std::chrono::milliseconds timeout, Clock::time_point* changed)
{
    std::uint32_t* counter = transitionCounter(state_, line);
    std::atomic_ref<std::uint32_t> inputs(state_->inputs);
    const auto deadline = Clock::now() + timeout;
    std::uint32_t old = inputs.load(std::memory_order_acquire);
    for (;;) {
        if (betweenArms && (old & VANDREL_MODEM_ARMING)) {
            if (Clock::now() >= deadline)
                return false;
            const timespec step{0, 20'000};
            nanosleep(&step, nullptr);
            old = inputs.load(std::memory_order_acquire);
            continue;
        }
        if (((old & line) != 0) == on) {
            if (changed)
                *changed = Clock::now();
            return true;
        }
        // One exchange, so that an arming the shim marks meanwhile makes it fail and look again.
        if (inputs.compare_exchange_weak(old, on ? (old | line) : (old & ~line),
                                         std::memory_order_acq_rel, std::memory_order_acquire))
            break;
    }
    if (changed)
        *changed = Clock::now();
    // The line first, then its count: whoever sees the count move sees the new state.
    increment(*counter);
    return true;
}

void ModemLines::setInput(std::uint32_t line, bool on)
{
    changeInput(line, on, false, std::chrono::milliseconds(0), nullptr);
}

bool ModemLines::setRingBetweenArms(bool on, std::chrono::milliseconds timeout,
                                    Clock::time_point* changed)
{
    return changeInput(kRing, on, true, timeout, changed);
}

std::uint32_t ModemLines::inputs() const
{
    return load(state_->inputs) & ~VANDREL_MODEM_ARMING;
}

bool ModemLines::arming() const { return (load(state_->inputs) & VANDREL_MODEM_ARMING) != 0; }
std::uint32_t ModemLines::reads() const { return load(state_->reads); }
pid_t ModemLines::programPid() const { return static_cast<pid_t>(load(state_->program_pid)); }
pid_t ModemLines::waitingTid() const { return static_cast<pid_t>(load(state_->waiting_tid)); }

pid_t ModemLines::heldTid() const { return static_cast<pid_t>(load(state_->held_tid)); }

bool ModemLines::waitForThreadEnd(pid_t tid, std::chrono::milliseconds timeout) const
{
    const pid_t pid = programPid();
    if (pid <= 0 || tid <= 0)
        return false;
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
    return pollUntil([&] { return ::access(task.c_str(), F_OK) != 0 && errno == ENOENT; },
                     timeout);
}

namespace {

std::uint32_t& holdState(vandrel_modem_state* state, ModemLines::Hold which)
{
    return which == ModemLines::Hold::Arming ? state->hold_arming : state->hold_completion;
}

}  // namespace

void ModemLines::askHold(Hold which, std::uint32_t wait, std::uint32_t request)
{
    if (which == Hold::Completion)
        store(state_->hold_completion_request, request);
    store(which == Hold::Arming ? state_->hold_arming_wait : state_->hold_completion_wait, wait);
    store(holdState(state_, which), VANDREL_MODEM_HOLD_ASKED);
}

bool ModemLines::holding(Hold which) const
{
    return load(holdState(state_, which)) == VANDREL_MODEM_HOLD_HOLDING;
}

void ModemLines::releaseHold(Hold which)
{
    store(holdState(state_, which), VANDREL_MODEM_HOLD_NONE);
}
std::uint32_t ModemLines::ringTransitions() const { return load(state_->rng); }
std::uint32_t ModemLines::outputs() const { return load(state_->outputs); }
std::uint32_t ModemLines::outputWrites() const { return load(state_->output_writes); }

std::uint32_t ModemLines::calls(vandrel_modem_call call) const
{
    return call < VANDREL_CALL_COUNT ? load(state_->calls[call]) : 0;
}

bool ModemLines::waitForCalls(vandrel_modem_call call, std::uint32_t atLeast,
                              std::chrono::milliseconds timeout, Clock::time_point* when) const
{
    // Counts wrap only after 2^32 requests; compare as a difference all the same.
    return pollUntil([&] { return static_cast<std::int32_t>(calls(call) - atLeast) >= 0; },
                     timeout, when);
}

std::uint32_t ModemLines::writes() const { return load(state_->writes); }
std::uint32_t ModemLines::transfers() const { return load(state_->transfers); }
std::uint32_t ModemLines::watchArms() const { return load(state_->watch_arms); }
std::uint32_t ModemLines::waitingThreads() const { return load(state_->waiting_threads); }

bool ModemLines::watchPolled(std::uint32_t transfers, std::uint32_t polls,
                             std::uint32_t* inputsAtArm) const
{
    // arm_transfers first: the shim clears the poll count before it stores a new arm's fields.
    if (static_cast<std::int32_t>(load(state_->arm_transfers) - transfers) < 0)
        return false;
    if (inputsAtArm)
        *inputsAtArm = load(state_->arm_inputs);
    return load(state_->polls_since_arm) >= polls;
}

bool ModemLines::waitForPolledWatch(std::uint32_t transfers, std::chrono::milliseconds timeout,
                                    std::uint32_t* inputsAtArm, Clock::time_point* when,
                                    std::uint32_t polls) const
{
    return pollUntil([&] { return watchPolled(transfers, polls, inputsAtArm); }, timeout, when);
}

ModemLines::Arm ModemLines::latestArm() const
{
    // The shim clears the polls, stores an arm's fields, then counts it, and its waiting
    // thread polls only after that: polls read last and found above 0 between two equal
    // counts mean every field belongs to that arm. (With 0 polls the fields may already be
    // the next arm's.)
    for (;;) {
        Arm arm;
        arm.number = load(state_->watch_arms);
        arm.transfers = load(state_->arm_transfers);
        arm.writes = load(state_->arm_writes);
        arm.inputs = load(state_->arm_inputs);
        arm.polls = load(state_->polls_since_arm);
        if (load(state_->watch_arms) == arm.number)
            return arm;
    }
}

std::optional<Clock::time_point> ModemLines::writeStarted(std::uint32_t n) const
{
    const std::uint32_t writesNow = writes();
    if (n == 0 || static_cast<std::int32_t>(writesNow - n) < 0 ||
        writesNow - n >= VANDREL_MODEM_WRITE_TIMES)
        return std::nullopt;
    const std::uint32_t at = load(state_->write_us[(n - 1) % VANDREL_MODEM_WRITE_TIMES]);
    // steady_clock is CLOCK_MONOTONIC here, as in the shim: the same microseconds, modulo 2^32.
    const auto now = Clock::now();
    const auto nowUs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count());
    if (static_cast<std::int32_t>(writes() - n) >= static_cast<std::int32_t>(VANDREL_MODEM_WRITE_TIMES))
        return std::nullopt;  // overwritten while it was read
    const auto ago = static_cast<std::int32_t>(nowUs - at);
    return now - std::chrono::microseconds(ago);
}

bool ModemLines::waitForArm(std::uint32_t arms, std::chrono::milliseconds timeout,
                            Clock::time_point* when) const
{
    return pollUntil([&] { return static_cast<std::int32_t>(watchArms() - arms) > 0; }, timeout,
                     when);
}

// --- PtyPeer ---

namespace {

int openMaster()
{
    int fd = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw systemError("cannot open /dev/ptmx");
    if (grantpt(fd) != 0 || unlockpt(fd) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        throw systemError("cannot unlock the pty");
    }
    return fd;
}

}  // namespace

PtyPeer::PtyPeer(const std::string& statePath, unsigned baud)
    : lines_(statePath),
      master_(openMaster()),
      byteTime_(std::chrono::nanoseconds(10'000'000'000LL / (baud ? baud : 19200)))
{
    try {
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0)
            throw systemError("ptsname");
        slavePath_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (slave_ < 0)
            throw systemError("cannot open the pty slave " + slavePath_);
        makeRaw(slave_, baud, "slave");
        makeRaw(master_, baud, "master");
    } catch (...) {
        if (slave_ >= 0)
            ::close(slave_);
        ::close(master_);
        throw;
    }
}

PtyPeer::~PtyPeer()
{
    ::close(slave_);
    ::close(master_);
}

termios PtyPeer::lineSettings() const
{
    termios t{};
    if (tcgetattr(slave_, &t) != 0)
        throw systemError("tcgetattr on the pty slave");
    return t;
}

void PtyPeer::setLineSettings(const termios& settings)
{
    if (tcsetattr(slave_, TCSANOW, &settings) != 0)
        throw systemError("tcsetattr on the pty slave");
}

bool PtyPeer::write(std::span<const std::uint8_t> bytes, Pacing pacing,
                    std::chrono::milliseconds timeout, Clock::time_point* lastWritten)
{
    const auto start = Clock::now();
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t chunk = bytes.size() - done;
        if (pacing == Pacing::Paced) {
            waitUntil(start + byteTime_ * static_cast<long long>(done));
            chunk = 1;
        }
        // Stamped before the call: the program may take the bytes before it returns.
        const auto at = Clock::now();
        ssize_t n = ::write(master_, bytes.data() + done, chunk);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            if (lastWritten && done == bytes.size())
                *lastWritten = at;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n < 0 && errno == EAGAIN && !waitFor(master_, POLLOUT, Clock::now() + timeout))
            return false;
    }
    return true;
}

bool PtyPeer::write(std::uint8_t byte, std::chrono::milliseconds timeout)
{
    return write(std::span<const std::uint8_t>(&byte, 1), Pacing::Unpaced, timeout);
}

std::vector<TimedByte> PtyPeer::read(std::size_t count, std::chrono::milliseconds timeout)
{
    return readUntil(count, Clock::now() + timeout);
}

std::vector<TimedByte> PtyPeer::readUntil(std::size_t count, Clock::time_point deadline)
{
    std::vector<TimedByte> got;
    got.reserve(count);
    std::uint8_t buffer[512];
    while (got.size() < count) {
        std::size_t want = std::min(count - got.size(), sizeof buffer);
        ssize_t n = ::read(master_, buffer, want);
        if (n > 0) {
            const auto at = Clock::now();
            for (ssize_t i = 0; i < n; ++i)
                got.push_back(TimedByte{buffer[i], at});
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            break;
        if (!waitFor(master_, POLLIN, deadline))
            break;
    }
    return got;
}

std::optional<TimedByte> PtyPeer::readByte(std::chrono::milliseconds timeout)
{
    auto got = read(1, timeout);
    if (got.empty())
        return std::nullopt;
    return got.front();
}

std::size_t PtyPeer::discardInput()
{
    std::size_t dropped = 0;
    std::uint8_t buffer[512];
    for (;;) {
        ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0)
            dropped += static_cast<std::size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            return dropped;
    }
}

std::size_t PtyPeer::pendingForProgram() const
{
    // Bytes written to the master reach the slave's queue through the kernel's flip buffer,
    // a moment later; polling the slave pushes them through first, FIONREAD does not.
    pollfd p{slave_, POLLIN, 0};
    poll(&p, 1, 0);
    int n = 0;
    if (ioctl(slave_, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

bool PtyPeer::drain(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (pendingForProgram() != 0) {
        if (Clock::now() >= deadline)
            return false;
        const timespec step{0, 100'000};
        nanosleep(&step, nullptr);
    }
    return true;
}

std::vector<std::string> shimEnvironment(const PtyPeer& peer, const std::string& shim)
{
    std::string preload = shim;
    if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;
    return {
        "LD_PRELOAD=" + preload,
        std::string(VANDREL_MODEM_PTY_ENV) + "=" + peer.slavePath(),
        std::string(VANDREL_MODEM_STATE_ENV) + "=" + peer.lines().path(),
    };
}

}  // namespace rig
