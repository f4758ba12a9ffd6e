// A scriptable comm device that plays the wire for the port engine, with the overlapped
// semantics of the system's serial driver: bytes arriving, command-line edges, line errors
// with their flags, any call failing with a chosen error, and a record of every byte written.
// Thread-safe: the engine runs on one thread while the test (the computer) drives the wire
// from another and waits for the engine's state instead of sleeping.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/comm_device.h"

class FakeCommDevice : public comm::ICommDevice {
public:
    enum class Call {
        Open, GetState, SetState, SetTimeouts, SetupQueues, SetMask, WaitCommEvent, ReadFile,
        WriteFile, WatchResult, TransferResult, GetModemStatus, ClearCommError
    };
    // Which changes of the ring indicator raise EV_RING.
    enum class RingEdges { Both, ReleaseOnly };
    // How a write completes: at once, pending but finished before the call returns, or
    // pending until completeWrite().
    enum class WriteCompletion { Immediate, Pending, Manual };

    struct Observed {
        std::vector<std::string> opened;  // names passed to open, in order
        comm::Settings settings;          // as last set
        bool zeroTimeouts = false;
        std::uint32_t inputQueue = 0, outputQueue = 0;
        std::uint32_t mask = 0;
        int rxPurges = 0, txPurges = 0, cancels = 0, clears = 0;
        int watchesArmed = 0, readsIssued = 0, writesIssued = 0;
    };

    FakeCommDevice();

    // --- the computer's side of the wire
    void arrive(const std::vector<std::uint8_t>& bytes);
    void setRing(bool on);
    // A line error with ClearCommError flags; with abort-on-error set it aborts the pending
    // transfer and every new one until the error is cleared.
    void lineError(std::uint32_t flags);
    void completeWrite();
    // Sets the pending watch's event without completing it, as Wine does when the event of
    // an earlier watch arrives late.
    void spuriousWatchWake();
    std::vector<std::uint8_t> written();
    // When each written byte was handed to the device, in microseconds of a steady clock.
    std::vector<std::int64_t> writtenTimes();
    static std::int64_t nowMicroseconds();
    void clearWritten();

    // --- behaviour
    void setRingEdges(RingEdges edges);
    void setWriteCompletion(WriteCompletion completion);
    // Real Windows ends a pending WaitCommEvent on CancelIo; Wine does not (the default).
    void setCancelEndsWatch(bool ends);
    // Real Windows keeps events that come while no watch is pending and completes the next
    // watch with them at once; Wine compares with the lines when the watch is armed and so
    // forgets them (the default).
    void setLatchEvents(bool latch);
    void setPortNames(std::vector<std::string> names);  // the devices that exist
    void setInitialSettings(const comm::Settings& s);
    void failNext(Call call, std::uint32_t error);
    // Every call of that kind fails from now on, as on a device that was pulled out, until
    // it is plugged in again.
    void failAlways(Call call, std::uint32_t error);
    void plugIn();

    // --- what the engine did
    Observed observed();
    bool watchPending();
    bool transferPending();
    std::size_t inputQueued();
    struct Snapshot {
        Observed observed;
        bool watchPending = false;
        bool readPending = false;
        std::uint32_t readCount = 0;  // bytes asked for by the pending read
        bool writePending = false;
        std::size_t inputQueued = 0;
        std::size_t writtenCount = 0;
    };
    // Waits (bounded) until the condition holds for the device's state; it is evaluated
    // again after every change.
    bool waitUntil(const std::function<bool(const Snapshot&)>& condition, int timeoutMs = 10000);
    bool waitForPendingRead(int timeoutMs = 10000);
    bool waitForPendingWrite(int timeoutMs = 10000);
    bool waitForPendingWatch(int timeoutMs = 10000);

    // --- ICommDevice
    bool open(const char* name) override;
    bool isOpen() const override;
    void close() override;
    bool getState(comm::Settings& settings) override;
    bool setState(const comm::Settings& settings) override;
    bool setZeroTimeouts() override;
    bool setupQueues(std::uint32_t input, std::uint32_t output) override;
    bool setMask(std::uint32_t mask) override;
    bool getModemStatus(std::uint32_t& status) override;
    bool waitCommEvent(std::uint32_t& mask, platform::Event& done) override;
    bool readFile(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                  platform::Event& done) override;
    bool writeFile(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                   platform::Event& done) override;
    bool getOverlappedResult(comm::Operation op, std::uint32_t& moved, bool wait) override;
    std::uint32_t completedMask() const override;
    bool clearCommError(std::uint32_t* errors, std::uint32_t* queued) override;
    bool purge(std::uint32_t flags) override;
    bool cancelIo() override;
    std::uint32_t lastError() const override;

private:
    struct Overlapped {
        bool pending = false;
        bool used = false;
        platform::Event* event = nullptr;
        std::uint32_t error = 0;  // 0: success
        std::uint32_t moved = 0;
        // a pending read
        std::uint8_t* buffer = nullptr;
        std::uint32_t count = 0;
        bool isRead = false;
    };

    Snapshot snapshot() const;
    bool fail(std::uint32_t error);
    bool injected(Call call);  // consumes an injected failure
    void complete(Overlapped& ov, std::uint32_t error);
    void feedPendingRead();
    bool abortActive() const;

    mutable std::mutex m_;
    std::condition_variable changed_;
    bool open_ = false;
    std::vector<std::string> names_;
    comm::Settings device_;
    Observed observed_;
    struct Failure {
        std::uint32_t error;
        bool always;
    };
    std::map<Call, Failure> failures_;
    std::deque<std::uint8_t> input_;
    std::vector<std::uint8_t> written_;
    std::vector<std::int64_t> writtenTimes_;
    bool ring_ = false;
    std::uint32_t history_ = 0;  // events that came while no watch was pending
    std::uint32_t lineErrors_ = 0;
    RingEdges edges_ = RingEdges::Both;
    WriteCompletion writeCompletion_ = WriteCompletion::Pending;
    bool cancelEndsWatch_ = false;
    bool latchEvents_ = false;
    Overlapped watch_, transfer_;
    std::uint32_t watchMask_ = 0;
    std::uint32_t lastError_ = 0;
};
