// The receivers of notifications: whoever turns them into front-end events (the Shell
// objects), and the stack that decides which one hears them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

class IReceiver {
public:
    virtual void Status(std::string_view text) = 0;
    virtual void Debug(std::string_view text) = 0;
    virtual void Error(std::uint32_t number, std::string_view text) = 0;
    virtual void Command(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                         std::uint8_t b5, std::uint8_t disk, std::uint32_t sector,
                         std::string_view name) = 0;

protected:
    ~IReceiver() = default;  // never deleted through this interface
};

// The attached receivers, newest on top; only the top one hears events. A receiver that is
// taken away leaves the others as they were, so a client that comes and goes never
// silences the front end that was there before it.
//
// Implementation details: a forwarder takes the top receiver and notes its call (receiver
// and thread) under the lock, calls it unlocked (a handler may report, mount or detach
// without waiting on us), then strikes the note and wakes any detach that waits for it.
class CReceiverStack {
public:
    void attach(IReceiver* receiver);
    // Takes receiver out wherever it stands. Returns once no other thread is still inside a
    // call to it, so its owner may destroy it; a call on this thread (detach from inside an
    // event handler) is left to finish on its own.
    void detach(IReceiver* receiver);

    // Forwarders: hand one decoded record to the top receiver, or drop it when there is none.
    void fireStatus(std::string_view text);
    void fireDebug(std::string_view text);
    void fireError(std::uint32_t number, std::string_view text);
    void fireCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                     std::uint8_t disk, std::uint32_t sector, std::string_view name);

private:
    struct Call {
        IReceiver* receiver;
        std::thread::id thread;
    };
    template <typename F>
    void withTop(F call);

    std::mutex lock_;
    std::condition_variable callEnded_;
    std::vector<IReceiver*> stack_;
    std::vector<Call> calls_;  // calls in progress
};
