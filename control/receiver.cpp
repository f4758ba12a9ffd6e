// CReceiverStack: the attached receivers and the forwarders that call the top one.
#include "control/receiver.h"

#include <algorithm>

template <typename F>
void CReceiverStack::withTop(F call) {
    const std::thread::id me = std::this_thread::get_id();
    IReceiver* r;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stack_.empty()) return;
        r = stack_.back();
        calls_.push_back({r, me});
    }
    call(*r);
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = std::find_if(calls_.begin(), calls_.end(),
                                 [&](const Call& c) { return c.receiver == r && c.thread == me; });
    calls_.erase(it);
    callEnded_.notify_all();
}

void CReceiverStack::attach(IReceiver* receiver) {
    std::lock_guard<std::mutex> hold(lock_);
    stack_.push_back(receiver);
}

void CReceiverStack::detach(IReceiver* receiver) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> hold(lock_);
    stack_.erase(std::remove(stack_.begin(), stack_.end(), receiver), stack_.end());
    callEnded_.wait(hold, [&] {
        return std::none_of(calls_.begin(), calls_.end(),
                            [&](const Call& c) { return c.receiver == receiver && c.thread != me; });
    });
}

void CReceiverStack::fireStatus(std::string_view text) {
    withTop([&](IReceiver& r) { r.Status(text); });
}

void CReceiverStack::fireDebug(std::string_view text) {
    withTop([&](IReceiver& r) { r.Debug(text); });
}

void CReceiverStack::fireError(std::uint32_t number, std::string_view text) {
    withTop([&](IReceiver& r) { r.Error(number, text); });
}

void CReceiverStack::fireCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                                 std::uint8_t b5, std::uint8_t disk, std::uint32_t sector,
                                 std::string_view name) {
    withTop([&](IReceiver& r) { r.Command(b1, b2, b3, b4, b5, disk, sector, name); });
}
