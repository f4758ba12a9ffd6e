// Lines are numbered as they come, so that the filtered view survives the oldest going.
#include "log_model.h"

void LogModel::append(LogLine line) {
    const std::uint64_t serial = firstSerial_ + lines_.size();
    const bool show = shown(line.kind);
    lines_.push_back(std::move(line));
    if (show) visible_.push_back(serial);
    while (lines_.size() > capacity_) {
        if (!visible_.empty() && visible_.front() == firstSerial_) visible_.pop_front();
        lines_.pop_front();
        ++firstSerial_;
    }
}

void LogModel::clear() {
    firstSerial_ += lines_.size();
    lines_.clear();
    visible_.clear();
}

void LogModel::setShown(LogKind kind, bool shown) {
    shown_[static_cast<std::size_t>(kind)] = shown;
    rebuildVisible();
}

const LogLine& LogModel::visibleLine(std::size_t row) const {
    return lines_[static_cast<std::size_t>(visible_[row] - firstSerial_)];
}

std::wstring LogModel::visibleText(std::size_t first, std::size_t count) const {
    std::wstring text;
    for (std::size_t row = first; row < first + count && row < visible_.size(); ++row) {
        const LogLine& line = visibleLine(row);
        text += line.time + L" " + line.text + L"\r\n";
    }
    return text;
}

void LogModel::rebuildVisible() {
    visible_.clear();
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (shown(lines_[i].kind)) visible_.push_back(firstSerial_ + i);
}
