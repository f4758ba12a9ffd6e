// What the rig's drivers print: the output of the programs they ran, bytes as a reader wants
// to see them, and spreads of measured times.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "pty_peer.h"

namespace rig {

// The file's text, only its last `limit` characters when it is longer.
std::string readTail(const std::string& path, std::size_t limit = 8000);
// Prints the file between two marker lines, unless it is empty.
void printFile(const char* title, const std::string& path);

// 'A' for a printable byte, 0x0d for the rest.
std::string showByte(int b);
double micros(Clock::duration d);

// "what: min N us, median N us, max N us (N samples)", nothing when there are none.
void printSpread(const std::string& what, std::vector<double> samplesUs);

// How many requests of each kind the shim has seen on the pty.
void printShimCalls(const ModemLines& lines);

// The frame of a driver's main: output by the line, SIGPIPE ignored (a program that has gone
// must not take the driver with it when it writes to its input), and a setup failure (an
// exception) printed as "FAIL - why" with exit code 1. On exit code 0, prints passLine.
int driverMain(const std::function<int()>& body, const char* passLine);

}  // namespace rig
