// The panel's _IShellEvents sink. It never does the window's work on the server's call: it
// copies the event into its queue, posts one message to the window when the queue was empty,
// and returns. The window takes the queue from its own message loop.
#pragma once

#include <mutex>
#include <vector>

#include "tools/console/shell_events_sink.h"
#include "tools/panel/panel_event.h"

class EventForwarder final : public console::ShellEventsSink {
public:
    // raw: command lines also show the frame's five bytes.
    EventForwarder(HWND window, UINT message, bool raw) : window_(window), message_(message), raw_(raw) {}

    // The events queued since the last call, oldest first.
    std::vector<PanelEvent> take();
    // No more messages to the window (which is about to go); events are still queued.
    void detach();

private:
    void status(const std::string& message) override;
    void command(const console::CommandEvent& e) override;
    void debug(const std::string& message) override;
    void error(long number, const std::string& message) override;
    void push(LogKind kind, const std::string& text, PanelEvent event = {});

    std::mutex lock_;  // guards queue_ and window_
    std::vector<PanelEvent> queue_;
    HWND window_;
    const UINT message_;
    const bool raw_;
};
