// IReporter: where every part of the emulator reports, on any thread. The layers below the
// controller are handed one through their constructors; the notification side of the
// emulator implements it, and a report never calls into the front end on the caller's thread.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define VANDREL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VANDREL_PRINTF(f, a)
#endif

class IReporter {
public:
    // Formatted with printf conventions into 500 bytes (at most 499 characters are kept).
    void postStatus(const char* format, ...) VANDREL_PRINTF(2, 3);
    void postDebug(const char* format, ...) VANDREL_PRINTF(2, 3);

    // An Error. Without a format the text is the system's message for number. location and
    // operation may be null (none).
    void postSystemError(std::uint32_t number, const char* location, const char* operation);
    void postSystemError(std::uint32_t number, const char* location, const char* operation,
                         const char* format, ...) VANDREL_PRINTF(5, 6);

    // A failure of the line during emulation: the Error, then a second one saying that the
    // emulation has halted. The caller halts its run state.
    void postCriticalError(std::uint32_t number, const char* location, const char* operation);

    virtual void postCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                             std::uint8_t b5, std::uint8_t disk, std::uint32_t sector, const char* name) = 0;
    virtual void postUnknownCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                                    std::uint8_t b5, std::uint8_t disk, std::uint32_t sector,
                                    const char* name) = 0;

protected:
    ~IReporter() = default;  // never deleted through this interface

    virtual void reportStatus(const char* text) = 0;
    virtual void reportDebug(const char* text) = 0;
    // text null: the system's text for number. critical: also the halt notice.
    virtual void reportError(std::uint32_t number, const char* location, const char* operation,
                             const char* text, bool critical) = 0;
};
