// The serial port engine's contract with the line: what one read does for each thing the
// computer does on the bus while the read waits. One table, played on the scriptable fake
// device (tests/serial/sio_port_test.cpp) and on Wine's serial code through a pty with modem
// lines (serial_port_wine.exe and its driver serial_port_wine_test, step kContract): the
// engine must keep the same contract on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial_port_protocol.h"

namespace port_contract {

// What the computer does, in order, once the read waits.
enum class Act : std::uint8_t {
    Frame,    // sends a command frame's five bytes, paced
    Bytes,    // sends the first `count` bytes of a data frame, paced
    LineOn,   // asserts the command line
    LineOff,  // releases it
    Stop,     // the controller asks the emulation to stop (from another thread)
};

struct Step {
    Act act;
    std::uint8_t count = 0;
};

struct Case {
    const char* id;    // a name for test reports: letters only
    const char* name;  // what it shows
    // The read comes after a command frame that came with its line and was answered with
    // ACK, the line still asserted: the read is that command's data frame.
    bool afterFrame;
    std::uint8_t readCount;  // 5: a command frame; port_protocol::kDataFrame: a data frame
    std::vector<Step> steps;
    bool returns;   // the read returns true, with every byte sent
    bool lineSeen;  // commandLineSeen() afterwards
};

inline const std::vector<Case>& cases()
{
    using port_protocol::kDataFrame;
    static const std::vector<Case> all = {
        {"FrameWithItsLine", "a command frame with the command line rising before it", false, 5,
         {{Act::LineOn}, {Act::Frame}}, true, false},
        {"FrameWithoutLine", "five bytes without the command line", false, 5, {{Act::Frame}},
         false, false},
        {"DataCutByNewCommand", "a data frame cut short by a new command's line", false,
         kDataFrame, {{Act::Bytes, 20}, {Act::LineOn}}, false, true},
        {"AnsweredLineReleased", "the answered command's line released during its data frame",
         true, kDataFrame, {{Act::LineOff}, {Act::Bytes, kDataFrame}}, true, false},
        {"NewCommandAfterRelease", "a new command's line after that release", true, kDataFrame,
         {{Act::LineOff}, {Act::Bytes, 10}, {Act::LineOn}}, false, true},
        {"DataUnderAnsweredLine",
         "data bytes while the answered line was never seen released (it was, and a new "
         "command began between two looks)",
         true, kDataFrame, {{Act::Bytes, 3}}, false, true},
        {"StopRequest", "a stop request", false, kDataFrame, {{Act::Bytes, 10}, {Act::Stop}},
         false, false},
    };
    return all;
}

// The command frame that comes before an afterFrame case's read (case number n).
inline std::vector<std::uint8_t> leadingFrame(std::size_t n)
{
    std::vector<std::uint8_t> f(5);
    port_protocol::commandFrame(static_cast<unsigned>(2000 + 2 * n), f.data());
    return f;
}

// The bytes of one step of case n (none for the line and the stop).
inline std::vector<std::uint8_t> stepBytes(std::size_t n, std::size_t step)
{
    std::vector<std::uint8_t> frame(5), data(port_protocol::kDataFrame);
    port_protocol::commandFrame(static_cast<unsigned>(2001 + 2 * n), frame.data());
    port_protocol::dataFrame(static_cast<std::uint8_t>(17 + 29 * n), data.data());
    const Step& s = cases()[n].steps[step];
    if (s.act == Act::Frame)
        return frame;
    if (s.act == Act::Bytes)
        return {data.begin(), data.begin() + s.count};
    return {};
}

// Every byte the computer sends in case n's steps, in order: what a read that returns true
// must have read.
inline std::vector<std::uint8_t> sent(std::size_t n)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < cases()[n].steps.size(); ++i) {
        const auto b = stepBytes(n, i);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// Whether the line is asserted once case n's steps are over.
inline bool lineAtEnd(std::size_t n)
{
    bool on = cases()[n].afterFrame;
    for (const Step& s : cases()[n].steps)
        on = s.act == Act::LineOn || (on && s.act != Act::LineOff);
    return on;
}

}  // namespace port_contract
