// How the console front end writes the server's events: one line each, for a person.
#pragma once

#include <cstdint>
#include <string>

namespace console {

struct CommandEvent {
    std::uint8_t frame[5] = {};
    int disk = 0;  // 1 to 9 for a drive; otherwise what the device byte made of it
    long sector = 0;
    std::string name;
};

// "D1: read sector 361", "D2: status", "device $40: status"; with raw, the frame's bytes
// follow in brackets.
std::string commandText(const CommandEvent& e, bool raw);
std::string debugText(const std::string& message);
std::string errorText(long number, const std::string& message);

// "hh:mm:ss.mmm " for the start of a line.
std::string timestampText(int hour, int minute, int second, int millisecond);

}  // namespace console
