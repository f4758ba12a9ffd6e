// The simulated computer.
#include <gtest/gtest.h>

#include "tests/support/sim_computer.h"

#include "sio/checksum.h"

// A pending 5-byte read is a frame read that listens: it arms its watch before it issues the
// read, and keeps no watch only once it has seen the command line (a stray release of it).
bool SimComputer::waitUntilListening() {
    return wire_.waitUntil([](const FakeCommDevice::Snapshot& s) {
        return s.readPending && s.readCount == 5;
    });
}

SimComputer::Bytes SimComputer::frame(std::uint8_t device, std::uint8_t command, std::uint16_t sector) {
    Bytes f = {device, command, static_cast<std::uint8_t>(sector), static_cast<std::uint8_t>(sector >> 8)};
    f.push_back(sioChecksum(f.data(), 4));
    return f;
}

SimComputer::Bytes SimComputer::dataFrame(const Bytes& data) {
    Bytes f = data;
    f.push_back(sioChecksum(data.data(), data.size()));
    return f;
}

void SimComputer::sendFrame(const Bytes& commandFrame) {
    wire_.setRing(true);
    wire_.arrive(commandFrame);
    wire_.setRing(false);
}

SimComputer::Answer SimComputer::collect(std::size_t from, int readsBefore) {
    Answer a;
    // Back to listening: a command-frame read issued after the one that took our frame.
    a.listening = wire_.waitUntil([&](const FakeCommDevice::Snapshot& s) {
        return s.observed.readsIssued > readsBefore && s.readPending && s.readCount == 5;
    });
    const Bytes all = wire_.written();
    const std::vector<std::int64_t> times = wire_.writtenTimes();
    a.bytes.assign(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
    a.us.assign(times.begin() + static_cast<std::ptrdiff_t>(from), times.end());
    return a;
}

SimComputer::Answer SimComputer::command(const Bytes& commandFrame) {
    if (!waitUntilListening()) return {};
    const std::size_t from = wire_.written().size();
    const int reads = wire_.observed().readsIssued;
    sendFrame(commandFrame);
    return collect(from, reads);
}

SimComputer::Answer SimComputer::command(const Bytes& commandFrame, const Bytes& data) {
    return withData(commandFrame, data, data.size());
}

SimComputer::Answer SimComputer::commandCutOff(const Bytes& commandFrame, const Bytes& data, std::size_t cut,
                                               const Bytes& next, std::size_t early) {
    return withData(commandFrame, data, cut, next, early);
}

SimComputer::Answer SimComputer::withData(const Bytes& commandFrame, const Bytes& data, std::size_t sent,
                                          const Bytes& next, std::size_t early) {
    if (!waitUntilListening()) return {};
    const std::size_t from = wire_.written().size();
    const int reads = wire_.observed().readsIssued;
    sendFrame(commandFrame);
    // The drive either acknowledges and waits for the data frame, or refuses and listens.
    bool dataWanted = false;
    wire_.waitUntil([&](const FakeCommDevice::Snapshot& s) {
        // The data read takes its first byte alone while the command's line may still be up.
        const bool dataRead = s.readCount == data.size() || s.readCount == 1;
        dataWanted = s.writtenCount > from && s.readPending && dataRead && s.watchPending;
        const bool listening = s.observed.readsIssued > reads && s.readPending && s.readCount == 5;
        return dataWanted || listening;
    });
    const bool cutOff = sent < data.size();
    if (dataWanted) {
        Bytes first(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(sent));
        if (cutOff) first.insert(first.end(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(early));
        wire_.arrive(first);
    }
    if (cutOff) {
        // The computer gave up and begins a new command.
        wire_.setRing(true);
        wire_.arrive(Bytes(next.begin() + static_cast<std::ptrdiff_t>(early), next.end()));
        wire_.setRing(false);
        const int answered = reads + 1;
        return collect(from, answered);
    }
    return collect(from, reads);
}

::testing::AssertionResult isAckCompleteData(const SimComputer::Answer& a, const SimComputer::Bytes& data) {
    if (!a.listening) return ::testing::AssertionFailure() << "the drive did not go back to listening";
    const SimComputer::Bytes expected = [&] {
        SimComputer::Bytes e = {0x41, 0x43};
        const SimComputer::Bytes f = SimComputer::dataFrame(data);
        e.insert(e.end(), f.begin(), f.end());
        return e;
    }();
    if (a.bytes != expected) {
        auto r = ::testing::AssertionFailure() << "answer of " << a.bytes.size() << " bytes, expected "
                                               << expected.size() << ":";
        for (std::size_t i = 0; i < a.bytes.size() && i < 8; ++i) r << " " << std::hex << int(a.bytes[i]);
        return r;
    }
    const std::int64_t gap = a.us[1] - a.us[0];
    if (gap < 1500) return ::testing::AssertionFailure() << "COMPLETE came " << gap << " us after ACK";
    return ::testing::AssertionSuccess();
}
