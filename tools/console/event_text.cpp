// The one-line texts of the console front end's trace.
#include "event_text.h"

#include <cstdio>

namespace console {
namespace {

// Commands whose aux bytes name a sector; for the rest the number means nothing.
bool namesSector(const std::string& name) {
    return name == "read" || name == "write" || name == "put";
}

}  // namespace

std::string commandText(const CommandEvent& e, bool raw) {
    char buffer[64];
    if (e.disk >= 1 && e.disk <= 9) std::snprintf(buffer, sizeof buffer, "D%d:", e.disk);
    else std::snprintf(buffer, sizeof buffer, "device $%02X:", e.frame[0]);
    std::string text = buffer;
    text += ' ';
    text += e.name.empty() ? "?" : e.name;
    if (namesSector(e.name)) text += " sector " + std::to_string(e.sector);
    if (raw) {
        std::snprintf(buffer, sizeof buffer, " [%02X %02X %02X %02X %02X]", e.frame[0], e.frame[1],
                      e.frame[2], e.frame[3], e.frame[4]);
        text += buffer;
    }
    return text;
}

std::string debugText(const std::string& message) { return "debug: " + message; }

std::string errorText(long number, const std::string& message) {
    return "error " + std::to_string(number) + ": " + message;
}

std::string timestampText(int hour, int minute, int second, int millisecond) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d ", hour, minute, second, millisecond);
    return buffer;
}

}  // namespace console
