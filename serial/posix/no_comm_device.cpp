// The native build has no serial ports of its own: its tests use the fake device.
#include <cerrno>

#include "serial/system_comm_device.h"

namespace comm {
namespace {

class NoCommDevice final : public ICommDevice {
public:
    bool open(const char*) override { return fail(); }
    bool isOpen() const override { return false; }
    void close() override {}
    bool getState(Settings&) override { return fail(); }
    bool setState(const Settings&) override { return fail(); }
    bool setZeroTimeouts() override { return fail(); }
    bool setupQueues(std::uint32_t, std::uint32_t) override { return fail(); }
    bool setMask(std::uint32_t) override { return fail(); }
    bool getModemStatus(std::uint32_t&) override { return fail(); }
    bool waitCommEvent(std::uint32_t&, platform::Event&) override { return fail(); }
    bool readFile(std::uint8_t*, std::uint32_t, std::uint32_t&, platform::Event&) override { return fail(); }
    bool writeFile(const std::uint8_t*, std::uint32_t, std::uint32_t&, platform::Event&) override {
        return fail();
    }
    bool getOverlappedResult(Operation, std::uint32_t&, bool) override { return fail(); }
    std::uint32_t completedMask() const override { return 0; }
    bool clearCommError(std::uint32_t*, std::uint32_t*) override { return fail(); }
    bool purge(std::uint32_t) override { return fail(); }
    bool cancelIo() override { return fail(); }
    std::uint32_t lastError() const override { return ENODEV; }

private:
    static bool fail() {
        errno = ENODEV;
        return false;
    }
};

}  // namespace

std::unique_ptr<ICommDevice> makeSystemCommDevice() { return std::make_unique<NoCommDevice>(); }

}  // namespace comm
