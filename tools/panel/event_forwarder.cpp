#include "event_forwarder.h"

#include <string>
#include <utility>

#include "tools/console/event_text.h"
#include "tools/console/wide_text.h"

std::vector<PanelEvent> EventForwarder::take() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::exchange(queue_, {});
}

void EventForwarder::detach() {
    std::lock_guard<std::mutex> hold(lock_);
    window_ = nullptr;
}

void EventForwarder::status(const std::string& message) { push(LogKind::Status, message); }

void EventForwarder::debug(const std::string& message) { push(LogKind::Debug, console::debugText(message)); }

void EventForwarder::error(long number, const std::string& message) {
    push(LogKind::Error, console::errorText(number, message));
}

void EventForwarder::command(const console::CommandEvent& c) {
    PanelEvent e;
    if (c.disk >= 1 && c.disk <= 9) {
        e.drive = c.disk;
        // The line without its "Dn: " head.
        e.command = console::widen(console::commandText(c, false).substr(4));
    }
    push(LogKind::Command, console::commandText(c, raw_), std::move(e));
}

void EventForwarder::push(LogKind kind, const std::string& text, PanelEvent event) {
    event.kind = kind;
    event.text = console::widen(text);
    GetLocalTime(&event.time);
    std::lock_guard<std::mutex> hold(lock_);
    const bool wake = queue_.empty();
    queue_.push_back(std::move(event));
    // One message stands for everything queued until the window takes it; PostMessage does
    // not wait for the window.
    if (wake && window_) PostMessageW(window_, message_, 0, 0);
}
