// The panel's log as lines: the last few thousand, each of one kind, and which of them the
// filters let through. Portable; the window shows it through a virtual list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

enum class LogKind { Command, Status, Debug, Error };
constexpr std::size_t kLogKinds = 4;

struct LogLine {
    LogKind kind = LogKind::Status;
    std::wstring time;  // "14:02:11.208"
    std::wstring text;
};

class LogModel {
public:
    explicit LogModel(std::size_t capacity) : capacity_(capacity) {}

    // Past the capacity, the oldest line goes.
    void append(LogLine line);
    void clear();

    void setShown(LogKind kind, bool shown);
    bool shown(LogKind kind) const { return shown_[static_cast<std::size_t>(kind)]; }

    // The lines the filters let through, oldest first.
    std::size_t visibleCount() const { return visible_.size(); }
    const LogLine& visibleLine(std::size_t row) const;
    // "time text" lines with CR LF ends, for the clipboard and for files.
    std::wstring visibleText(std::size_t first, std::size_t count) const;

private:
    void rebuildVisible();

    std::size_t capacity_;
    std::deque<LogLine> lines_;
    std::uint64_t firstSerial_ = 0;   // the serial number of lines_.front()
    std::deque<std::uint64_t> visible_;  // serial numbers of the lines shown
    std::array<bool, kLogKinds> shown_{true, true, true, true};
};
