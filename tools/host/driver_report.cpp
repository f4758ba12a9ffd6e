#include "driver_report.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>

namespace rig {

std::string readTail(const std::string& path, std::size_t limit)
{
    std::ifstream in(path, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (s.size() > limit)
        s = "[...]\n" + s.substr(s.size() - limit);
    return s;
}

void printFile(const char* title, const std::string& path)
{
    std::string text = readTail(path);
    if (text.empty())
        return;
    std::printf("--- %s (%s)\n%s%s--- end\n", title, path.c_str(), text.c_str(),
                text.back() == '\n' ? "" : "\n");
}

std::string showByte(int b)
{
    char text[16];
    if (b >= 0x21 && b < 0x7f)
        std::snprintf(text, sizeof text, "'%c'", b);
    else
        std::snprintf(text, sizeof text, "0x%02x", b);
    return text;
}

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void printSpread(const std::string& what, std::vector<double> v)
{
    if (v.empty())
        return;
    std::sort(v.begin(), v.end());
    std::printf("  %s: min %.0f us, median %.0f us, max %.0f us (%zu samples)\n", what.c_str(),
                v.front(), v[v.size() / 2], v.back(), v.size());
}

void printShimCalls(const ModemLines& lines)
{
    static const char* const names[VANDREL_CALL_COUNT] = {
        "TIOCMGET", "TIOCMSET", "TIOCMBIS", "TIOCMBIC", "TIOCGICOUNT", "TIOCMIWAIT", "other"};
    std::printf("  requests on the pty seen by the shim:");
    for (int i = 0; i < VANDREL_CALL_COUNT; ++i)
        std::printf(" %s %u", names[i], lines.calls(static_cast<vandrel_modem_call>(i)));
    std::printf("; writes %u; waits armed %u, waiting threads %u\n", lines.writes(),
                lines.watchArms(), lines.waitingThreads());
}

int driverMain(const std::function<int()>& body, const char* passLine)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const int rc = body();
        if (rc == 0 && passLine)
            std::printf("%s\n", passLine);
        return rc;
    } catch (const std::exception& e) {
        std::printf("FAIL - %s\n", e.what());
        return 1;
    }
}

}  // namespace rig
