// The Windows half of the serial rig's smoke test: plain Win32 comm calls on a COM port that
// the native driver (tools/host/serial_rig_test) has mapped to its pseudo-terminal. The two
// sides take turns over the line itself (serial_rig_protocol.h).
//
//   serial_rig_probe COMn
//
// Exit code 0 when every step went as the protocol says; otherwise it prints the step and
// the Win32 error and exits 1 (2 for a bad command line).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "serial_rig_protocol.h"

namespace {

using namespace rig_protocol;

static_assert(kEvRing == EV_RING && kMsRingOn == MS_RING_ON);

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle()
    {
        if (h_)
            CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HANDLE h_;
};

HANDLE g_port = nullptr;

void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::printf("probe: ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
}

// Waits for an overlapped call that returned ERROR_IO_PENDING; false (with the last error
// set) when it failed or overran kWaitMs.
bool finish(OVERLAPPED& ov, DWORD& transferred)
{
    if (WaitForSingleObject(ov.hEvent, kWaitMs) != WAIT_OBJECT_0) {
        SetLastError(WAIT_TIMEOUT);
        return false;
    }
    return GetOverlappedResult(g_port, &ov, &transferred, FALSE) != 0;
}

bool writeBytes(const void* data, DWORD size)
{
    Handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    DWORD written = 0;
    if (!WriteFile(g_port, data, size, &written, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING || !finish(ov, written))
            return false;
    }
    if (written != size) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

bool writeByte(std::uint8_t b) { return writeBytes(&b, 1); }

// Reads exactly size bytes; a read may return early (the time-outs are per call), so it goes
// on until all have come or kWaitMs has passed.
bool readBytes(std::uint8_t* data, DWORD size)
{
    Handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    DWORD got = 0;
    while (got < size) {
        if (GetTickCount64() >= deadline) {
            SetLastError(WAIT_TIMEOUT);
            return false;
        }
        OVERLAPPED ov{};
        ov.hEvent = done.get();
        ResetEvent(done.get());
        DWORD n = 0;
        if (!ReadFile(g_port, data + got, size - got, &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING || !finish(ov, n))
                return false;
        }
        got += n;
    }
    return true;
}

int fail(const char* step)
{
    DWORD error = GetLastError();
    say("%s failed, error %lu", step, static_cast<unsigned long>(error));
    if (g_port)
        writeByte(kFailed);
    return 1;
}

// One WaitCommEvent(EV_RING): arm it, tell the driver, report what ended it.
int ringEdge(int edge)
{
    Handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    DWORD mask = 0;
    if (WaitCommEvent(g_port, &mask, &ov)) {
        say("edge %d: WaitCommEvent completed at once with mask 0x%lx", edge,
            static_cast<unsigned long>(mask));
        SetLastError(ERROR_INVALID_STATE);
        return fail("WaitCommEvent (expected to pend)");
    }
    if (GetLastError() != ERROR_IO_PENDING)
        return fail("WaitCommEvent");
    if (!writeByte(kArmed))
        return fail("WriteFile (armed)");
    DWORD transferred = 0;
    if (!finish(ov, transferred)) {
        DWORD error = GetLastError();
        SetCommMask(g_port, 0);  // ends the pending wait (CancelIo does not on Wine)
        SetLastError(error);
        return fail("waiting for EV_RING");
    }
    DWORD status = 0;
    if (!GetCommModemStatus(g_port, &status))
        return fail("GetCommModemStatus");
    std::uint8_t report[6] = {kEvent,
                              static_cast<std::uint8_t>(mask),
                              static_cast<std::uint8_t>(mask >> 8),
                              static_cast<std::uint8_t>(mask >> 16),
                              static_cast<std::uint8_t>(mask >> 24),
                              static_cast<std::uint8_t>(status)};
    if (!writeBytes(report, sizeof report))
        return fail("WriteFile (event report)");
    return 0;
}

int run(const char* portName)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\%s", portName);
    Handle port(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (!port)
        return fail("CreateFile");
    g_port = port.get();

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(g_port, &dcb))
        return fail("GetCommState");
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(g_port, &dcb))
        return fail("SetCommState");
    // Reads wait for their bytes up to kWaitMs in all; writes are not limited.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = kWaitMs;
    if (!SetCommTimeouts(g_port, &timeouts))
        return fail("SetCommTimeouts");
    if (!PurgeComm(g_port, PURGE_RXCLEAR | PURGE_TXCLEAR))
        return fail("PurgeComm");
    if (!writeByte(kOpened))
        return fail("WriteFile (opened)");

    if (!SetCommMask(g_port, EV_RING))
        return fail("SetCommMask");
    for (int edge = 0; edge < kRingEdges; ++edge)
        if (int rc = ringEdge(edge))
            return rc;

    if (!writeByte(kReadyForData))
        return fail("WriteFile (ready for data)");
    std::uint8_t got[2 * kBlock];
    if (!readBytes(got, sizeof got))
        return fail("ReadFile (driver's blocks)");
    for (std::size_t i = 0; i < sizeof got; ++i) {
        std::uint8_t expected = i < kBlock ? patternByte(kDriverSeed, i)
                                           : patternByte(kDriverSeed2, i - kBlock);
        if (got[i] != expected) {
            say("byte %u: got 0x%02x, expected 0x%02x", static_cast<unsigned>(i), got[i], expected);
            std::uint8_t bad[4] = {kDataBad, static_cast<std::uint8_t>(i),
                                   static_cast<std::uint8_t>(i >> 8), got[i]};
            writeBytes(bad, sizeof bad);
            return 1;
        }
    }
    if (!writeByte(kDataGood))
        return fail("WriteFile (data good)");

    std::uint8_t block[kBlock];
    for (std::size_t i = 0; i < kBlock; ++i)
        block[i] = patternByte(kProbeSeed, i);
    if (!writeBytes(block, sizeof block))
        return fail("WriteFile (probe's block)");
    if (!writeByte(kDone))
        return fail("WriteFile (done)");
    g_port = nullptr;
    say("done");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || std::strncmp(argv[1], "COM", 3) != 0) {
        std::printf("usage: serial_rig_probe COMn\n");
        return 2;
    }
    return run(argv[1]);
}
