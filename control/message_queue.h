// CMessageQueue: the process's first-in first-out queue of notification records.
//
// A record is a length-counted byte string (it may hold zero bytes) whose first byte is its
// kind. It is built from the kind's template: the template is copied, the free text appended,
// then the template's placeholder bytes are overwritten with the numeric fields.
//
//   kind  template       numeric fields after the letter                       event
//   S     "S"            none                                                  Status(text)
//   D     "D"            none                                                  Debug(text)
//   E     "E1234"        1-4 error number, least significant byte first        Error(number, text)
//   C     "C123456789A"  1-5 frame bytes, 6 drive, 7-10 sector (LSB first)     Command(...)
//   U     "U123456789A"  as C (a frame for no drive, or an unknown command)    Command(...)
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/mutex.h"

class CReceiverStack;

using NotificationRecord = std::string;

// The queue is bounded: a front end that stops taking events must not make the server grow
// without end while the bus goes on. A record that finds it full is dropped and counted; the
// count comes back as one Status line in the record's place once there is room again, or
// when the queue has been drained.
class CMessageQueue {
public:
    // About ten minutes of bus traffic at the wire's pace.
    static constexpr std::size_t kCapacity = 8192;

    explicit CMessageQueue(std::size_t capacity = kCapacity) : capacity_(capacity < 2 ? 2 : capacity) {}
    virtual ~CMessageQueue() = default;
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;

    void push(NotificationRecord record);
    unsigned count();
    std::optional<NotificationRecord> pop();

    void pushStatus(const char* text);
    void pushDebug(const char* text);
    // location, operation and text may each be null (none).
    void pushError(std::uint32_t number, const char* location, const char* operation, const char* text);
    void pushCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                     std::uint8_t disk, std::uint32_t sector, const char* name);
    void pushUnknownCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                            std::uint8_t b5, std::uint8_t disk, std::uint32_t sector, const char* name);

    // Pops one record and fires its event through the receivers' forwarders; a record of an
    // unknown kind is dropped. Fires with no lock of the queue held.
    void dispatchNext(CReceiverStack& receivers);
    static void dispatch(const NotificationRecord& record, CReceiverStack& receivers);

    // Records dropped since the last notice of drops.
    unsigned dropped();
    // Records taken in so far (not those dropped).
    std::uint64_t accepted();

private:
    NotificationRecord dropNotice();

    const std::size_t capacity_;
    std::deque<NotificationRecord> records_;
    unsigned dropped_ = 0;
    std::uint64_t accepted_ = 0;
    platform::Mutex lock_;
};

// The text of an Error event: the message (ready text, else the system's text for the
// number cut at its first line break, else "error N"), one blank, the location part
// "(location.operation)", "(operation)" or "(location)". Each part is cut at 499 characters.
std::string composeErrorText(std::uint32_t number, const char* location, const char* operation,
                             const char* text);
