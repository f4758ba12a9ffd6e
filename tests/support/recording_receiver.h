// A receiver that records every event it gets, and a fixture that gives each test its own
// notifications, run state and attached recorder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/notifier.h"
#include "control/receiver.h"
#include "serial/run_state.h"

struct ReceivedEvent {
    char kind;  // 'S', 'D', 'E' or 'C'
    std::uint32_t number = 0;
    std::string text;
    std::uint8_t frame[5] = {};
    std::uint8_t disk = 0;
    std::uint32_t sector = 0;

    bool operator==(const ReceivedEvent&) const = default;
};

class RecordingReceiver : public IReceiver {
public:
    void Status(std::string_view text) override { add({'S', 0, std::string(text)}); }
    void Debug(std::string_view text) override { add({'D', 0, std::string(text)}); }
    void Error(std::uint32_t number, std::string_view text) override {
        add({'E', number, std::string(text)});
    }
    void Command(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                 std::uint8_t disk, std::uint32_t sector, std::string_view name) override {
        ReceivedEvent e{'C', 0, std::string(name), {b1, b2, b3, b4, b5}, disk, sector};
        add(e);
    }

    std::vector<ReceivedEvent> events() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    // Waits (bounded) until the events received so far satisfy the condition.
    bool waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& condition,
                 int timeoutMs = 10000) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return condition(events_); });
    }
    bool waitForText(char kind, const std::string& text, int timeoutMs = 10000) {
        return waitFor([&](const std::vector<ReceivedEvent>& all) {
            for (const ReceivedEvent& e : all)
                if (e.kind == kind && e.text == text) return true;
            return false;
        }, timeoutMs);
    }
    std::vector<ReceivedEvent> ofKind(char kind) {
        std::vector<ReceivedEvent> out;
        for (const ReceivedEvent& e : events())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> hold(lock_);
        events_.clear();
    }

private:
    void add(const ReceivedEvent& e) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back(e);
        changed_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<ReceivedEvent> events_;
};

// What the parts under test report to and stop on, with a recorder attached. Nothing is
// delivered until the test flushes.
class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override { notifier.attach(&receiver); }
    void TearDown() override { notifier.detach(&receiver); }

    // Everything reported so far, delivered now.
    std::vector<ReceivedEvent> delivered() {
        notifier.flushNotifications();
        return receiver.events();
    }
    // The same, then forgotten: later checks see only what follows.
    std::vector<ReceivedEvent> takeDelivered() {
        std::vector<ReceivedEvent> events = delivered();
        receiver.clear();
        return events;
    }

    CNotifier notifier;
    CRunState states;
    RecordingReceiver receiver;
};
