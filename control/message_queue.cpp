// CMessageQueue: building, queueing and dispatching notification records.
#include "control/message_queue.h"

#include <cstring>
#include <iterator>

#include "control/receiver.h"
#include "platform/format.h"
#include "platform/system_error.h"

namespace {

constexpr std::size_t kTextLimit = 499;  // every formatted text lives in a 500-byte buffer

std::uint32_t readLe32(const NotificationRecord& r, std::size_t at) {
    return std::uint32_t{static_cast<std::uint8_t>(r[at])} |
           std::uint32_t{static_cast<std::uint8_t>(r[at + 1])} << 8 |
           std::uint32_t{static_cast<std::uint8_t>(r[at + 2])} << 16 |
           std::uint32_t{static_cast<std::uint8_t>(r[at + 3])} << 24;
}

void writeLe32(NotificationRecord& r, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<char>(v >> (8 * i));
}

std::uint8_t byteAt(const NotificationRecord& r, std::size_t at) {
    return static_cast<std::uint8_t>(r[at]);
}

std::string_view freeText(const NotificationRecord& r, std::size_t templateLength) {
    return std::string_view(r).substr(templateLength);
}

void deliverStatus(const NotificationRecord& r, CReceiverStack& to) { to.fireStatus(freeText(r, 1)); }
void deliverDebug(const NotificationRecord& r, CReceiverStack& to) { to.fireDebug(freeText(r, 1)); }
void deliverError(const NotificationRecord& r, CReceiverStack& to) {
    to.fireError(readLe32(r, 1), freeText(r, 5));
}
void deliverCommand(const NotificationRecord& r, CReceiverStack& to) {
    to.fireCommand(byteAt(r, 1), byteAt(r, 2), byteAt(r, 3), byteAt(r, 4), byteAt(r, 5), byteAt(r, 6),
                readLe32(r, 7), freeText(r, 11));
}

struct RecordKind {
    char letter;
    const char* pattern;  // the template; its length is where the free text starts
    void (*deliver)(const NotificationRecord&, CReceiverStack&);
};

constexpr RecordKind kRecordKinds[] = {
    {'S', "S", deliverStatus},
    {'D', "D", deliverDebug},
    {'E', "E1234", deliverError},
    {'C', "C123456789A", deliverCommand},
    {'U', "U123456789A", deliverCommand},
};

const RecordKind* kindOf(char letter) {
    for (const RecordKind& k : kRecordKinds)
        if (k.letter == letter) return &k;
    return nullptr;
}

NotificationRecord fromTemplate(char letter, std::string_view text) {
    NotificationRecord r = kindOf(letter)->pattern;
    r.append(text);
    return r;
}

NotificationRecord commandRecord(char letter, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                 std::uint8_t b4, std::uint8_t b5, std::uint8_t disk,
                                 std::uint32_t sector, const char* name) {
    NotificationRecord r = fromTemplate(letter, name ? name : "");
    const std::uint8_t fields[] = {b1, b2, b3, b4, b5, disk};
    for (std::size_t i = 0; i < std::size(fields); ++i) r[1 + i] = static_cast<char>(fields[i]);
    writeLe32(r, 7, sector);
    return r;
}

std::string cut(std::string s) {
    if (s.size() > kTextLimit) s.resize(kTextLimit);
    return s;
}

}  // namespace

std::string composeErrorText(std::uint32_t number, const char* location, const char* operation,
                             const char* text) {
    std::string message;
    if (text) {
        message = text;
    } else if (number != 0) {
        message = platform::systemErrorText(number);
        message = message.substr(0, message.find('\r'));
        message = message.substr(0, message.find('\n'));
    }
    if (message.empty() && !text) {
        // Neither a text of its own nor one from the system: still say what it was.
        char fallback[32];
        platform::formatText(fallback, sizeof fallback, "error %u", number);
        message = fallback;
    }
    std::string where;
    if (location && operation) where = "(" + std::string(location) + "." + operation + ")";
    else if (operation) where = "(" + std::string(operation) + ")";
    else if (location) where = "(" + std::string(location) + ")";
    return cut(cut(message) + " " + cut(where));
}

NotificationRecord CMessageQueue::dropNotice() {
    char text[96];
    platform::formatText(text, sizeof text, "%u notification(s) dropped: events were not taken in time", dropped_);
    dropped_ = 0;
    return fromTemplate('S', text);
}

void CMessageQueue::push(NotificationRecord record) {
    platform::MutexLock hold(lock_);
    // With drops pending, the notice needs a place of its own before the record.
    const std::size_t needed = dropped_ > 0 ? 2 : 1;
    if (records_.size() + needed > capacity_) {
        ++dropped_;
        return;
    }
    if (dropped_ > 0) {
        records_.push_back(dropNotice());
        ++accepted_;
    }
    records_.push_back(std::move(record));
    ++accepted_;
}

std::uint64_t CMessageQueue::accepted() {
    platform::MutexLock hold(lock_);
    return accepted_;
}

unsigned CMessageQueue::dropped() {
    platform::MutexLock hold(lock_);
    return dropped_;
}

unsigned CMessageQueue::count() {
    platform::MutexLock hold(lock_);
    return static_cast<unsigned>(records_.size());
}

std::optional<NotificationRecord> CMessageQueue::pop() {
    platform::MutexLock hold(lock_);
    if (records_.empty()) {
        if (dropped_ > 0) return dropNotice();
        return std::nullopt;
    }
    NotificationRecord r = std::move(records_.front());
    records_.pop_front();
    return r;
}

void CMessageQueue::pushStatus(const char* text) { push(fromTemplate('S', text ? text : "")); }
void CMessageQueue::pushDebug(const char* text) { push(fromTemplate('D', text ? text : "")); }

void CMessageQueue::pushError(std::uint32_t number, const char* location, const char* operation,
                              const char* text) {
    NotificationRecord r = fromTemplate('E', composeErrorText(number, location, operation, text));
    writeLe32(r, 1, number);
    push(std::move(r));
}

void CMessageQueue::pushCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                                std::uint8_t b5, std::uint8_t disk, std::uint32_t sector,
                                const char* name) {
    push(commandRecord('C', b1, b2, b3, b4, b5, disk, sector, name));
}

void CMessageQueue::pushUnknownCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                       std::uint8_t b4, std::uint8_t b5, std::uint8_t disk,
                                       std::uint32_t sector, const char* name) {
    push(commandRecord('U', b1, b2, b3, b4, b5, disk, sector, name));
}

void CMessageQueue::dispatchNext(CReceiverStack& receivers) {
    if (std::optional<NotificationRecord> r = pop()) dispatch(*r, receivers);
}

void CMessageQueue::dispatch(const NotificationRecord& r, CReceiverStack& receivers) {
    if (r.empty()) return;
    const RecordKind* kind = kindOf(r[0]);
    if (kind && r.size() >= std::strlen(kind->pattern)) kind->deliver(r, receivers);
}
