// Fixtures for the drive side: images in a directory of the test's own, and a drive table on
// the fake device with its emulation thread running and the simulated computer on the other
// end of the cable.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "sio/disk_image.h"
#include "sio/sio_drives.h"
#include "tests/support/fake_comm_device.h"
#include "tests/support/recording_receiver.h"
#include "tests/support/sim_computer.h"
#include "tests/support/temp_dir.h"

class ImageTest : public NotificationTest {
protected:
    // A blank image, made as a front end's createImage makes it.
    std::string blank(const std::string& name, std::uint16_t count, std::uint16_t size) {
        const std::string p = dir.path(name);
        CDiskImage image(notifier);
        EXPECT_TRUE(image.createImage(p.c_str(), count, size)) << name;
        return p;
    }

    TempDir dir;
};

class EmulationTest : public ImageTest {
protected:
    using Bytes = std::vector<std::uint8_t>;

    void SetUp() override {
        ImageTest::SetUp();
        auto device = std::make_unique<FakeCommDevice>();
        wire = device.get();
        drives = std::make_unique<CSIODrives>(std::move(device), states, notifier);
        computer = std::make_unique<SimComputer>(*wire);
        ASSERT_TRUE(drives->port().openPort(1));
        emulation = platform::Thread::start(emulationThreadMain, drives.get());
        ASSERT_TRUE(emulation.valid());
    }
    void TearDown() override {
        states.setStopRequested(true);
        EXPECT_TRUE(emulation.waitEnded(20000)) << "the emulation did not end on a stop request";
        drives.reset();
        ImageTest::TearDown();
    }

    // An image whose every sector holds a pattern of its own number.
    std::string image(const std::string& name, std::uint16_t count, std::uint16_t size) {
        const std::string p = blank(name, count, size);
        CDiskImage img(notifier);
        EXPECT_TRUE(img.loadImage(p.c_str(), false));
        for (std::uint16_t s = 1; s <= count; ++s) {
            const Bytes data = pattern(s, img.sectorSizeOf(s));
            img.writeSector(data.data(), s);
        }
        return p;
    }
    static Bytes pattern(std::uint16_t sector, std::size_t size) {
        Bytes b(size);
        for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(sector * 7 + i);
        return b;
    }
    std::vector<std::string> lines(char kind) {
        std::vector<std::string> out;
        for (const ReceivedEvent& e : delivered())
            if (e.kind == kind) out.push_back(e.text);
        return out;
    }

    FakeCommDevice* wire = nullptr;
    std::unique_ptr<CSIODrives> drives;
    std::unique_ptr<SimComputer> computer;
    platform::Thread emulation;
};
