// The Win32 comm device: a pass-through to the system's serial calls.
#include <cstring>

#include "platform/win32/windows_api.h"
#include "serial/system_comm_device.h"

namespace comm {
namespace {

static_assert(sizeof(DCB) == sizeof(Settings), "the control block must match the system's");

class Win32CommDevice final : public ICommDevice {
public:
    ~Win32CommDevice() override { close(); }

    bool open(const char* name) override {
        close();
        handle_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        return handle_ != INVALID_HANDLE_VALUE || fail();
    }
    bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }
    void close() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    bool getState(Settings& settings) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_, &dcb)) return fail();
        std::memcpy(static_cast<void*>(&settings), &dcb, sizeof dcb);
        return true;
    }
    bool setState(const Settings& settings) override {
        DCB dcb;
        std::memcpy(&dcb, &settings, sizeof dcb);
        return SetCommState(handle_, &dcb) || fail();
    }
    bool setZeroTimeouts() override {
        COMMTIMEOUTS t{};
        return SetCommTimeouts(handle_, &t) || fail();
    }
    bool setupQueues(std::uint32_t input, std::uint32_t output) override {
        return SetupComm(handle_, input, output) || fail();
    }
    bool setMask(std::uint32_t mask) override { return SetCommMask(handle_, mask) || fail(); }
    bool getModemStatus(std::uint32_t& status) override {
        DWORD s = 0;
        if (!GetCommModemStatus(handle_, &s)) return fail();
        status = s;
        return true;
    }

    bool waitCommEvent(std::uint32_t& mask, platform::Event& done) override {
        arm(watch_, done);
        watchMask_ = 0;
        if (!WaitCommEvent(handle_, &watchMask_, &watch_)) return fail();
        mask = watchMask_;
        return true;
    }
    bool readFile(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                  platform::Event& done) override {
        arm(transfer_, done);
        DWORD n = 0;
        if (!ReadFile(handle_, buffer, count, &n, &transfer_)) return fail();
        moved = n;
        return true;
    }
    bool writeFile(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& moved,
                   platform::Event& done) override {
        arm(transfer_, done);
        DWORD n = 0;
        if (!WriteFile(handle_, buffer, count, &n, &transfer_)) return fail();
        moved = n;
        return true;
    }
    bool getOverlappedResult(Operation op, std::uint32_t& moved, bool wait) override {
        DWORD n = 0;
        OVERLAPPED& ov = op == Operation::Watch ? watch_ : transfer_;
        // The count stands even when the operation failed: a cancelled read tells what it got.
        const bool ok = GetOverlappedResult(handle_, &ov, &n, wait);
        moved = n;
        return ok || fail();
    }
    std::uint32_t completedMask() const override { return watchMask_; }

    bool clearCommError(std::uint32_t* errors, std::uint32_t* queued) override {
        DWORD e = 0;
        COMSTAT status = {};
        if (!ClearCommError(handle_, &e, &status)) return fail();
        if (errors) *errors = e;
        if (queued) *queued = status.cbInQue;
        return true;
    }
    bool purge(std::uint32_t flags) override { return PurgeComm(handle_, flags) || fail(); }
    bool cancelIo() override { return CancelIo(handle_) || fail(); }
    std::uint32_t lastError() const override { return lastError_; }

private:
    // Records the reason at once, before anything else can overwrite it.
    bool fail() {
        lastError_ = GetLastError();
        return false;
    }
    static void arm(OVERLAPPED& ov, platform::Event& done) {
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = done.get();
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    OVERLAPPED watch_{};
    OVERLAPPED transfer_{};
    DWORD watchMask_ = 0;  // WaitCommEvent writes here when a pending watch completes
    std::uint32_t lastError_ = 0;
};

}  // namespace

std::unique_ptr<ICommDevice> makeSystemCommDevice() { return std::make_unique<Win32CommDevice>(); }

}  // namespace comm
