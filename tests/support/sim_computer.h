// The computer's side of the SIO bus over the fake comm device: it asserts the command line,
// sends frames, and reads back what the drive answered, byte by byte with timestamps.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_comm_device.h"

class SimComputer {
public:
    using Bytes = std::vector<std::uint8_t>;

    struct Answer {
        Bytes bytes;                  // everything the drive sent for the command
        std::vector<std::int64_t> us;  // when each byte was sent
        bool listening = false;        // the drive was back waiting for a command frame
    };

    explicit SimComputer(FakeCommDevice& wire) : wire_(wire) {}

    // Waits until the drive waits for a command frame (a 5-byte read with its watch armed).
    bool waitUntilListening();

    static Bytes frame(std::uint8_t device, std::uint8_t command, std::uint16_t sector);
    static Bytes dataFrame(const Bytes& data);  // the data and their checksum

    // Sends a command frame as the bus does (command line asserted around it) and returns
    // the drive's answer once it listens again. With data, the data frame is sent after the
    // drive's first byte (its ACK) once it waits for that many bytes.
    Answer command(const Bytes& commandFrame);
    Answer command(const Bytes& commandFrame, const Bytes& data);
    // As above, but the data frame stops after `cut` bytes and the command `next` begins. Its
    // first `early` bytes reach the drive before the command line does, as when the drive
    // sees the line late. The answer holds both commands'.
    Answer commandCutOff(const Bytes& commandFrame, const Bytes& data, std::size_t cut, const Bytes& next,
                         std::size_t early);

    Answer status(std::uint8_t drive) { return command(frame(0x30 + drive, 'S', 0)); }
    Answer read(std::uint8_t drive, std::uint16_t sector) { return command(frame(0x30 + drive, 'R', sector)); }
    Answer write(std::uint8_t drive, std::uint16_t sector, const Bytes& data) {
        return command(frame(0x30 + drive, 'W', sector), dataFrame(data));
    }

private:
    Answer collect(std::size_t from, int readsBefore);
    Answer withData(const Bytes& commandFrame, const Bytes& data, std::size_t sent, const Bytes& next = {},
                    std::size_t early = 0);
    void sendFrame(const Bytes& commandFrame);

    FakeCommDevice& wire_;
};

// Checks of an answer, reporting the caller's line.
::testing::AssertionResult isAckCompleteData(const SimComputer::Answer& a, const SimComputer::Bytes& data);
