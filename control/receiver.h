// The receiver: whoever turns notifications into front-end events (the attached Shell object).
#pragma once

#include <cstdint>
#include <string_view>

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

// Makes receiver the one that gets every event from now on, replacing any other.
void attachReceiver(IReceiver* receiver);
// No receiver from now on. Returns once no other thread is still inside a call to the old
// one, so its owner may destroy it; a call on this thread (detach from inside an event
// handler) is allowed to finish on its own.
void detachReceiver();

// Forwarders: hand one decoded record to the attached receiver, or drop it when none is.
void fireStatus(std::string_view text);
void fireDebug(std::string_view text);
void fireError(std::uint32_t number, std::string_view text);
void fireCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                 std::uint8_t disk, std::uint32_t sector, std::string_view name);
