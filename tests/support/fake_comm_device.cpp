// The fake comm device.
#include "tests/support/fake_comm_device.h"

#include <algorithm>
#include <chrono>

namespace {
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorIoIncomplete = 996;
constexpr std::uint32_t kAbortOnError = 0x4000;
}  // namespace

FakeCommDevice::FakeCommDevice() {
    for (int n = 1; n <= 9; ++n) names_.push_back("COM" + std::to_string(n));
    device_.baudRate = 9600;
    device_.flags = 0x0000FFFFu;
    device_.byteSize = 7;
    device_.parity = 2;
    device_.stopBits = 2;
    device_.errorChar = '?';
    device_.eofChar = 0x1A;
    device_.evtChar = 'x';
    device_.xonLim = 10;
    device_.xoffLim = 10;
}

// --- the wire

void FakeCommDevice::arrive(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    feedPendingRead();
    changed_.notify_all();
}

void FakeCommDevice::setRing(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    const bool edge = on != ring_;
    ring_ = on;
    const bool raises = edge && (edges_ == RingEdges::Both || !on);
    if (raises && (observed_.mask & comm::kEventRing)) {
        if (watch_.pending) {
            watchMask_ = comm::kEventRing;
            complete(watch_, 0);
        } else if (latchEvents_) {
            history_ |= comm::kEventRing;
        }
    }
    changed_.notify_all();
}

void FakeCommDevice::lineError(std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(m_);
    lineErrors_ |= flags;
    if (abortActive() && transfer_.pending) complete(transfer_, comm::kErrorOperationAborted);
    changed_.notify_all();
}

void FakeCommDevice::completeWrite() {
    std::lock_guard<std::mutex> lock(m_);
    if (transfer_.pending && !transfer_.isRead) {
        transfer_.moved = transfer_.count;
        complete(transfer_, 0);
    }
    changed_.notify_all();
}

void FakeCommDevice::spuriousWatchWake() {
    std::lock_guard<std::mutex> lock(m_);
    if (watch_.pending && watch_.event) watch_.event->set();
    changed_.notify_all();
}

std::vector<std::uint8_t> FakeCommDevice::written() {
    std::lock_guard<std::mutex> lock(m_);
    return written_;
}

std::vector<std::int64_t> FakeCommDevice::writtenTimes() {
    std::lock_guard<std::mutex> lock(m_);
    return writtenTimes_;
}

std::int64_t FakeCommDevice::nowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void FakeCommDevice::clearWritten() {
    std::lock_guard<std::mutex> lock(m_);
    written_.clear();
    writtenTimes_.clear();
}

// --- behaviour and observation

void FakeCommDevice::setRingEdges(RingEdges edges) {
    std::lock_guard<std::mutex> lock(m_);
    edges_ = edges;
}

void FakeCommDevice::setWriteCompletion(WriteCompletion completion) {
    std::lock_guard<std::mutex> lock(m_);
    writeCompletion_ = completion;
}

void FakeCommDevice::setCancelEndsWatch(bool ends) {
    std::lock_guard<std::mutex> lock(m_);
    cancelEndsWatch_ = ends;
}

void FakeCommDevice::setLatchEvents(bool latch) {
    std::lock_guard<std::mutex> lock(m_);
    latchEvents_ = latch;
}

void FakeCommDevice::setPortNames(std::vector<std::string> names) {
    std::lock_guard<std::mutex> lock(m_);
    names_ = std::move(names);
}

void FakeCommDevice::setInitialSettings(const comm::Settings& s) {
    std::lock_guard<std::mutex> lock(m_);
    device_ = s;
}

void FakeCommDevice::failNext(Call call, std::uint32_t error) {
    std::lock_guard<std::mutex> lock(m_);
    failures_[call] = {error, false};
}

void FakeCommDevice::failAlways(Call call, std::uint32_t error) {
    std::lock_guard<std::mutex> lock(m_);
    failures_[call] = {error, true};
}

void FakeCommDevice::plugIn() {
    std::lock_guard<std::mutex> lock(m_);
    failures_.clear();
    lineErrors_ = 0;
}

FakeCommDevice::Observed FakeCommDevice::observed() {
    std::lock_guard<std::mutex> lock(m_);
    return observed_;
}

bool FakeCommDevice::watchPending() {
    std::lock_guard<std::mutex> lock(m_);
    return watch_.pending;
}

bool FakeCommDevice::transferPending() {
    std::lock_guard<std::mutex> lock(m_);
    return transfer_.pending;
}

std::size_t FakeCommDevice::inputQueued() {
    std::lock_guard<std::mutex> lock(m_);
    return input_.size();
}

FakeCommDevice::Snapshot FakeCommDevice::snapshot() const {
    Snapshot s;
    s.observed = observed_;
    s.watchPending = watch_.pending;
    s.readPending = transfer_.pending && transfer_.isRead;
    s.readCount = s.readPending ? transfer_.count : 0;
    s.writtenCount = written_.size();
    s.writePending = transfer_.pending && !transfer_.isRead;
    s.inputQueued = input_.size();
    return s;
}

bool FakeCommDevice::waitUntil(const std::function<bool(const Snapshot&)>& condition, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return condition(snapshot()); });
}

bool FakeCommDevice::waitForPendingRead(int timeoutMs) {
    return waitUntil([](const Snapshot& s) { return s.readPending && s.watchPending; }, timeoutMs);
}

bool FakeCommDevice::waitForPendingWrite(int timeoutMs) {
    return waitUntil([](const Snapshot& s) { return s.writePending && s.watchPending; }, timeoutMs);
}

bool FakeCommDevice::waitForPendingWatch(int timeoutMs) {
    return waitUntil([](const Snapshot& s) { return s.watchPending; }, timeoutMs);
}

// --- helpers (called with the lock held)

bool FakeCommDevice::fail(std::uint32_t error) {
    lastError_ = error;
    changed_.notify_all();
    return false;
}

bool FakeCommDevice::injected(Call call) {
    auto it = failures_.find(call);
    if (it == failures_.end()) return false;
    lastError_ = it->second.error;
    if (!it->second.always) failures_.erase(it);
    return true;
}

void FakeCommDevice::complete(Overlapped& ov, std::uint32_t error) {
    ov.pending = false;
    ov.error = error;
    if (ov.event) ov.event->set();
}

void FakeCommDevice::feedPendingRead() {
    if (!transfer_.pending || !transfer_.isRead) return;
    while (transfer_.moved < transfer_.count && !input_.empty()) {
        transfer_.buffer[transfer_.moved++] = input_.front();
        input_.pop_front();
    }
    if (transfer_.moved == transfer_.count) complete(transfer_, 0);
}

bool FakeCommDevice::abortActive() const {
    return lineErrors_ != 0 && (device_.flags & kAbortOnError);
}

// --- ICommDevice

bool FakeCommDevice::open(const char* name) {
    std::lock_guard<std::mutex> lock(m_);
    observed_.opened.push_back(name);
    if (injected(Call::Open)) return false;
    if (std::find(names_.begin(), names_.end(), name) == names_.end()) return fail(kErrorFileNotFound);
    open_ = true;
    watch_ = {};
    transfer_ = {};
    input_.clear();
    history_ = 0;
    lineErrors_ = 0;
    changed_.notify_all();
    return true;
}

bool FakeCommDevice::isOpen() const {
    std::lock_guard<std::mutex> lock(m_);
    return open_;
}

void FakeCommDevice::close() {
    std::lock_guard<std::mutex> lock(m_);
    open_ = false;
    // Closing a handle ends what is pending on it.
    if (watch_.pending) complete(watch_, comm::kErrorOperationAborted);
    if (transfer_.pending) complete(transfer_, comm::kErrorOperationAborted);
    watch_.event = transfer_.event = nullptr;
    observed_.mask = 0;
    changed_.notify_all();
}

bool FakeCommDevice::getState(comm::Settings& settings) {
    std::lock_guard<std::mutex> lock(m_);
    if (injected(Call::GetState)) return false;
    settings = device_;
    return true;
}

bool FakeCommDevice::setState(const comm::Settings& settings) {
    std::lock_guard<std::mutex> lock(m_);
    if (injected(Call::SetState)) return false;
    device_ = settings;
    observed_.settings = settings;
    return true;
}

bool FakeCommDevice::setZeroTimeouts() {
    std::lock_guard<std::mutex> lock(m_);
    if (injected(Call::SetTimeouts)) return false;
    observed_.zeroTimeouts = true;
    return true;
}

bool FakeCommDevice::setupQueues(std::uint32_t input, std::uint32_t output) {
    std::lock_guard<std::mutex> lock(m_);
    if (injected(Call::SetupQueues)) return false;
    observed_.inputQueue = input;
    observed_.outputQueue = output;
    return true;
}

bool FakeCommDevice::setMask(std::uint32_t mask) {
    std::lock_guard<std::mutex> lock(m_);
    if (injected(Call::SetMask)) return false;
    observed_.mask = mask;
    history_ = 0;
    // A new mask ends a pending watch (as the system does: it completes with no events).
    if (watch_.pending) {
        watchMask_ = 0;
        complete(watch_, 0);
    }
    changed_.notify_all();
    return true;
}

bool FakeCommDevice::getModemStatus(std::uint32_t& status) {
    std::lock_guard<std::mutex> lock(m_);
    if (injected(Call::GetModemStatus)) return false;
    status = ring_ ? comm::kModemRingOn : 0;
    return true;
}

bool FakeCommDevice::waitCommEvent(std::uint32_t& mask, platform::Event& done) {
    std::lock_guard<std::mutex> lock(m_);
    ++observed_.watchesArmed;
    if (injected(Call::WaitCommEvent)) return fail(lastError_);
    if (watch_.pending || !(observed_.mask & comm::kEventRing)) return fail(kErrorInvalidParameter);
    watch_ = {};
    watch_.used = true;
    watch_.event = &done;
    watchMask_ = 0;
    if (history_) {
        mask = history_;
        watchMask_ = history_;
        history_ = 0;
        complete(watch_, 0);
        return true;
    }
    watch_.pending = true;
    changed_.notify_all();
    return fail(comm::kErrorIoPending);
}

bool FakeCommDevice::readFile(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                              platform::Event& done) {
    std::lock_guard<std::mutex> lock(m_);
    ++observed_.readsIssued;
    if (injected(Call::ReadFile)) return fail(lastError_);
    if (transfer_.pending) return fail(kErrorInvalidParameter);
    if (abortActive()) return fail(comm::kErrorOperationAborted);
    transfer_ = {};
    transfer_.used = true;
    transfer_.event = &done;
    transfer_.isRead = true;
    transfer_.buffer = buffer;
    transfer_.count = count;
    if (input_.size() >= count) {
        std::copy_n(input_.begin(), count, buffer);
        input_.erase(input_.begin(), input_.begin() + count);
        moved = count;
        transfer_.moved = count;
        complete(transfer_, 0);
        changed_.notify_all();
        return true;
    }
    transfer_.pending = true;
    feedPendingRead();
    changed_.notify_all();
    return fail(comm::kErrorIoPending);
}

bool FakeCommDevice::writeFile(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                               platform::Event& done) {
    std::lock_guard<std::mutex> lock(m_);
    ++observed_.writesIssued;
    if (injected(Call::WriteFile)) return fail(lastError_);
    if (transfer_.pending) return fail(kErrorInvalidParameter);
    if (abortActive()) return fail(comm::kErrorOperationAborted);
    written_.insert(written_.end(), buffer, buffer + count);
    writtenTimes_.insert(writtenTimes_.end(), count, nowMicroseconds());
    changed_.notify_all();
    transfer_ = {};
    transfer_.used = true;
    transfer_.event = &done;
    transfer_.count = count;
    switch (writeCompletion_) {
    case WriteCompletion::Immediate:
        moved = count;
        transfer_.moved = count;
        complete(transfer_, 0);
        return true;
    case WriteCompletion::Pending:
        transfer_.moved = count;
        complete(transfer_, 0);
        return fail(comm::kErrorIoPending);
    case WriteCompletion::Manual:
        transfer_.pending = true;
        changed_.notify_all();
        return fail(comm::kErrorIoPending);
    }
    return fail(kErrorInvalidParameter);
}

bool FakeCommDevice::getOverlappedResult(comm::Operation op, std::uint32_t& moved, bool wait) {
    std::unique_lock<std::mutex> lock(m_);
    Overlapped& ov = op == comm::Operation::Watch ? watch_ : transfer_;
    if (injected(op == comm::Operation::Watch ? Call::WatchResult : Call::TransferResult)) return false;
    if (ov.pending) {
        if (!wait) return fail(kErrorIoIncomplete);
        // Bounded so that a forgotten operation fails the test instead of hanging it.
        if (!changed_.wait_for(lock, std::chrono::seconds(20), [&] { return !ov.pending; }))
            return fail(kErrorIoIncomplete);
    }
    moved = ov.moved;
    if (ov.error) return fail(ov.error);
    return true;
}

std::uint32_t FakeCommDevice::completedMask() const {
    std::lock_guard<std::mutex> lock(m_);
    return watchMask_;
}

bool FakeCommDevice::clearCommError(std::uint32_t* errors, std::uint32_t* queued) {
    std::lock_guard<std::mutex> lock(m_);
    ++observed_.clears;
    if (injected(Call::ClearCommError)) return false;
    if (errors) *errors = lineErrors_;
    if (queued) *queued = static_cast<std::uint32_t>(input_.size());
    lineErrors_ = 0;
    return true;
}

bool FakeCommDevice::purge(std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(m_);
    if (flags & comm::kPurgeRxClear) {
        ++observed_.rxPurges;
        input_.clear();
    }
    if (flags & comm::kPurgeTxClear) ++observed_.txPurges;
    return true;
}

bool FakeCommDevice::cancelIo() {
    std::lock_guard<std::mutex> lock(m_);
    ++observed_.cancels;
    if (transfer_.pending) complete(transfer_, comm::kErrorOperationAborted);
    if (cancelEndsWatch_ && watch_.pending) complete(watch_, comm::kErrorOperationAborted);
    changed_.notify_all();
    return true;
}

std::uint32_t FakeCommDevice::lastError() const {
    std::lock_guard<std::mutex> lock(m_);
    return lastError_;
}
