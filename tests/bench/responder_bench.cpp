// Benchmark, not a test: what serving a sector read costs the emulation thread, how close the
// ACK-to-COMPLETE gap comes to 1500 us, and what an adapter pulled out costs it before the
// emulation ends. Runs on the fake cable; prints figures.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "control/notifier.h"
#include "platform/event.h"
#include "platform/performance_counter.h"
#include "platform/thread.h"
#include "serial/run_state.h"
#include "sio/disk_image.h"
#include "sio/sio_drives.h"
#include "tests/support/cpu_time.h"
#include "tests/support/fake_comm_device.h"
#include "tests/support/leaping_counter.h"
#include "tests/support/sim_computer.h"
#include "tests/support/temp_dir.h"

namespace {

// A drive table with an image on D1:, reporting to a notifier that nobody listens to.
struct Rig {
    Rig(const std::string& image, platform::PerformanceCounter* counter) {
        auto device = std::make_unique<FakeCommDevice>();
        device->setWriteCompletion(FakeCommDevice::WriteCompletion::Immediate);
        wire = device.get();
        drives = std::make_unique<CSIODrives>(std::move(device), states, notifier, counter);
        drives->port().openPort(1);
        drives->mountImage(image.c_str(), 1, false);
    }
    // Serves one read the way the emulation loop would after a good frame, and delivers now
    // and then as the pump would.
    void read(std::uint16_t sector) {
        const auto f = SimComputer::frame(0x31, 'R', sector);
        drives->dispatchCommand(f.data());
        if (notifier.queue().count() > 256) notifier.flushNotifications();
    }

    CNotifier notifier;
    CRunState states;
    FakeCommDevice* wire;
    std::unique_ptr<CSIODrives> drives;
};

}  // namespace

int main() {
    TempDir dir;
    const std::string path = dir.path("bench.atr");
    {
        CNotifier unheard;
        CDiskImage blank(unheard);
        if (!blank.createImage(path.c_str(), 720, 128)) return 1;
    }
    constexpr int kCommands = 2000;

    {
        LeapingCounter leaping;
        Rig rig(path, &leaping);
        for (int i = 0; i < 100; ++i) rig.read(static_cast<std::uint16_t>(1 + i % 720));  // warm up
        const double start = threadCpuSeconds();
        for (int i = 0; i < kCommands; ++i) rig.read(static_cast<std::uint16_t>(1 + i % 720));
        const double cpu = threadCpuSeconds() - start;
        std::printf("responder CPU per served read (1500 us wait excluded): %.1f us over %d commands\n",
                    cpu * 1e6 / kCommands, kCommands);
    }
    {
        Rig rig(path, nullptr);
        std::vector<std::int64_t> gaps;
        for (int i = 0; i < kCommands / 2; ++i) {
            rig.wire->clearWritten();
            rig.read(static_cast<std::uint16_t>(1 + i % 720));
            const auto t = rig.wire->writtenTimes();
            if (t.size() >= 2) gaps.push_back(t[1] - t[0]);
        }
        std::sort(gaps.begin(), gaps.end());
        std::printf("ACK to COMPLETE over %zu reads: min %lld us, median %lld us, max %lld us\n", gaps.size(),
                    static_cast<long long>(gaps.front()), static_cast<long long>(gaps[gaps.size() / 2]),
                    static_cast<long long>(gaps.back()));
    }
    {
        // An adapter pulled out: every call fails with 995 (operation aborted) while the line
        // can still be cleared. The emulation runs on this thread, at most 10 s.
        Rig rig(path, nullptr);
        for (auto c : {FakeCommDevice::Call::WaitCommEvent, FakeCommDevice::Call::ReadFile,
                       FakeCommDevice::Call::WriteFile})
            rig.wire->failAlways(c, 995);
        rig.notifier.flushNotifications();
        auto stopLater = [](void* states) -> std::uint32_t {
            auto* s = static_cast<CRunState*>(states);
            const platform::Event* halt = &s->haltEvent();
            if (platform::waitAny(&halt, 1, 10000) == platform::kWaitTimeout) s->setStopRequested(true);
            return 0;
        };
        platform::Thread stopper = platform::Thread::start(stopLater, &rig.states);
        platform::SystemPerformanceCounter clock;
        const std::int64_t began = clock.now();
        const double start = threadCpuSeconds();
        rig.drives->runEmulation();
        const double cpu = threadCpuSeconds() - start;
        const double wall = static_cast<double>(clock.now() - began) / static_cast<double>(clock.frequency());
        rig.states.setHalted(true);  // lets the stopper go
        stopper.waitEnded(20000);
        std::printf("adapter pulled out (every call fails with 995): the emulation %s after %.1f ms, "
                    "%.2f ms of CPU (%.3f%% of a core over 10 s), %u records reported\n",
                    wall < 10 ? "halted" : "was stopped", wall * 1e3, cpu * 1e3, 100 * cpu / 10,
                    rig.notifier.queue().count());
    }
    return 0;
}
