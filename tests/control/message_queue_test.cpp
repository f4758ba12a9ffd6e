// Notification records: their bytes, their delivery as events, their order, and the texts
// of Error events.
#include <gtest/gtest.h>

#include <string>

#include "control/message_queue.h"
#include "control/notifications.h"
#include "platform/system_error.h"
#include "tests/support/recording_receiver.h"

using MessageQueueTest = NotificationTest;

namespace {
std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
}
}  // namespace

// The command record's layout is what every reader of the queue decodes: any shift of a
// field changes the drive or sector the front end shows.
TEST_F(MessageQueueTest, CommandRecordBytesAndEvent) {
    queue.pushCommand(0x31, 0x52, 0x01, 0x00, 0x84, 1, 1, "read");
    queue.pushUnknownCommand(0x31, 0x52, 0x01, 0x00, 0x84, 1, 1, "read");
    queue.pushCommand(0x40, 0x53, 0x34, 0x12, 0x99, 16, 0x00011234, "status");
    const auto c = queue.pop();
    ASSERT_TRUE(c);
    EXPECT_EQ(*c, bytes({'C', 0x31, 0x52, 0x01, 0x00, 0x84, 0x01, 0x01, 0x00, 0x00, 0x00}) + "read");
    EXPECT_EQ(c->size(), 15u);
    const auto u = queue.pop();
    ASSERT_TRUE(u);
    EXPECT_EQ((*u)[0], 'U');
    EXPECT_EQ(u->substr(1), c->substr(1));
    queue.push(*c);
    queue.push(*u);
    flushNotifications();

    const auto events = receiver.events();
    ASSERT_EQ(events.size(), 3u);
    const ReceivedEvent read{'C', 0, "read", {0x31, 0x52, 0x01, 0x00, 0x84}, 1, 1};
    EXPECT_EQ(events[0], (ReceivedEvent{'C', 0, "status", {0x40, 0x53, 0x34, 0x12, 0x99}, 16, 0x00011234}));
    EXPECT_EQ(events[1], read);
    EXPECT_EQ(events[2], read) << "C and U are delivered alike";
}

// Error numbers with zero bytes survive (records are counted, not terminated), and the
// text is composed from the message and the location part.
TEST_F(MessageQueueTest, ErrorTextComposition) {
    queue.pushError(42, "CStateStore::start", "1", "cannot start emulation without a valid COM port");
    queue.pushError(0x01000005, nullptr, "CreateThread", "x");
    queue.pushError(7, "CDiskImage::loadImage", nullptr, "y");
    queue.pushError(9, nullptr, nullptr, "z");
    queue.pushError(platform::errorAccessDenied(), "CDiskImage::loadImage", "fopen", nullptr);
    queue.pushError(5, "L", "O", "");
    const std::string systemText = platform::systemErrorText(platform::errorAccessDenied());
    flushNotifications();
    const auto e = receiver.events();
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0].number, 42u);
    EXPECT_EQ(e[0].text, "cannot start emulation without a valid COM port (CStateStore::start.1)");
    EXPECT_EQ(e[1].number, 0x01000005u);
    EXPECT_EQ(e[1].text, "x (CreateThread)");
    EXPECT_EQ(e[2].text, "y (CDiskImage::loadImage)");
    EXPECT_EQ(e[3].text, "z ") << "no location part: the text ends in the blank";
    EXPECT_EQ(e[4].number, platform::errorAccessDenied());
    const std::string firstLine = systemText.substr(0, systemText.find_first_of("\r\n"));
    ASSERT_FALSE(firstLine.empty());
    EXPECT_EQ(e[4].text, firstLine + " (CDiskImage::loadImage.fopen)");
    EXPECT_EQ(e[5].text, " (L.O)") << "an empty ready text still suppresses the system text";
}

// With no text of its own and none from the system, an Error still says what it was.
TEST_F(MessageQueueTest, ErrorWithoutAnyTextIsReadable) {
    queue.pushError(0, "CDiskImage::readSector", "fseek", nullptr);
    flushNotifications();
    const auto e = receiver.events();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "error 0 (CDiskImage::readSector.fseek)");
}

// Every formatted text is held to 499 characters.
TEST_F(MessageQueueTest, LongTextsAreCut) {
    const std::string longText(800, 'a');
    postStatus("%s", longText.c_str());
    postDebug("%s!", longText.c_str());
    postSystemError(3, std::string(600, 'L').c_str(), "op", "%s", longText.c_str());
    const auto e = receiver.events();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].text, std::string(499, 'a'));
    EXPECT_EQ(e[1].text, std::string(499, 'a'));
    EXPECT_EQ(e[2].text.size(), 499u);
}

// Reporters: status and commands only queue; debug and errors deliver on the calling thread.
TEST_F(MessageQueueTest, WhichReportersFlush) {
    postStatus("mounted %s on D%d: (%02x)", "a.atr", 1, 0x3a);
    postCommand(0x31, 0x53, 0, 0, 0x84, 1, 0, "status");
    postUnknownCommand(0x30, 0x53, 0, 0, 0x83, 0, 0, "status");
    EXPECT_TRUE(receiver.events().empty());
    EXPECT_EQ(queue.count(), 3u);
    postDebug("BAD SUM - %s", "command frame");
    EXPECT_EQ(queue.count(), 0u);
    const auto e = receiver.events();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0], (ReceivedEvent{'S', 0, "mounted a.atr on D1: (3a)"}));
    EXPECT_EQ(e[1].kind, 'C');
    EXPECT_EQ(e[2].disk, 0);
    EXPECT_EQ(e[3], (ReceivedEvent{'D', 0, "BAD SUM - command frame"}));
}

// A critical error is two Errors, and the emulation is halted by the time they arrive.
TEST_F(MessageQueueTest, CriticalErrorHaltsAndSaysSo) {
    struct HaltCheck : RecordingReceiver {
        CStateStore* states = nullptr;
        bool haltedWhenTold = false;
        void Error(std::uint32_t n, std::string_view t) override {
            haltedWhenTold = states->isHalted();
            RecordingReceiver::Error(n, t);
        }
    } check;
    check.states = &states;
    attachReceiver(&check);
    ASSERT_FALSE(states.isHalted());
    postCriticalError(31, "CSIOPort::doOverlappedComCrud", "ReadFile", "device gone");
    EXPECT_TRUE(states.isHalted());
    EXPECT_TRUE(check.haltedWhenTold);
    const auto e = check.events();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], (ReceivedEvent{'E', 31, "device gone (CSIOPort::doOverlappedComCrud.ReadFile)"}));
    EXPECT_EQ(e[1], (ReceivedEvent{'E', 31,
                                   "sio emulation has been halted due to critical error(s) "
                                   "(CSIOPort::doOverlappedComCrud.ReadFile)"}));
}

// Records dispatched while nobody listens are gone; unknown kinds are dropped silently.
TEST_F(MessageQueueTest, NoReceiverLosesRecords) {
    detachReceiver();
    postDebug("lost");
    attachReceiver(&receiver);
    queue.push("Xjunk");
    queue.push("");
    postStatus("kept");
    flushNotifications();
    const auto e = receiver.events();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "kept");
    EXPECT_FALSE(queue.pop());
}

// Without a queue the reporters do nothing and do not crash (before the first attach).
TEST(Notifications, NoQueueIsHarmless) {
    setNotificationQueue(nullptr);
    postStatus("nobody");
    postDebug("nobody");
    postSystemError(1, "a", "b");
    postCommand(1, 2, 3, 4, 5, 6, 7, "x");
    flushNotifications();
    SUCCEED();
}
