// The reporting functions every part of the emulator calls, on any thread.
#pragma once

#include <cstdint>

class CMessageQueue;

// The process's one queue; set by the driver layer when it creates it (null before).
void setNotificationQueue(CMessageQueue* queue);
CMessageQueue* notificationQueue();

// Formatted with printf conventions into 500 bytes (at most 499 characters are kept).
// postStatus only queues; postDebug queues and then flushes on the calling thread.
void postStatus(const char* format, ...) __attribute__((format(printf, 1, 2)));
void postDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An Error record, then a flush. Without a format the text is the system's message for
// number. location and operation may be null (none).
void postSystemError(std::uint32_t number, const char* location, const char* operation);
void postSystemError(std::uint32_t number, const char* location, const char* operation,
                     const char* format, ...) __attribute__((format(printf, 4, 5)));

// As postSystemError, then a second Error record saying the emulation has halted; sets the
// controller's halt event before it flushes.
void postCriticalError(std::uint32_t number, const char* location, const char* operation);
void postCriticalError(std::uint32_t number, const char* location, const char* operation,
                       const char* format, ...) __attribute__((format(printf, 4, 5)));

void postCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                 std::uint8_t disk, std::uint32_t sector, const char* name);
void postUnknownCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                        std::uint8_t b5, std::uint8_t disk, std::uint32_t sector, const char* name);

// Dispatches every queued record on the calling thread; on a thread that defers delivery it
// only asks the delivering thread to drain.
void flushNotifications();

// The emulation thread keeps the bus timing and holds the drive table's lock while it
// reports: it never calls into the front end. Its reports wait, in order, for the
// delivering thread, which it wakes instead of flushing.
void setDeliveryDeferredOnThisThread(bool deferred);
