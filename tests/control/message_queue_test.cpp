// Notification records: their bytes, their delivery as events, the texts of Error events,
// and the queue's bound.
#include <gtest/gtest.h>

#include <string>

#include "control/message_queue.h"
#include "platform/system_error.h"
#include "tests/support/recording_receiver.h"

class MessageQueueTest : public NotificationTest {
protected:
    CMessageQueue& queue = notifier.queue();
};

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

    const auto events = delivered();
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
    const auto e = delivered();
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
    const auto e = delivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "error 0 (CDiskImage::readSector.fseek)");
}

// Every formatted text is held to 499 characters.
TEST_F(MessageQueueTest, LongTextsAreCut) {
    const std::string longText(800, 'a');
    notifier.postStatus("%s", longText.c_str());
    notifier.postDebug("%s!", longText.c_str());
    notifier.postSystemError(3, std::string(600, 'L').c_str(), "op", "%s", longText.c_str());
    const auto e = delivered();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].text, std::string(499, 'a'));
    EXPECT_EQ(e[1].text, std::string(499, 'a'));
    EXPECT_EQ(e[2].text.size(), 499u);
}

// Reports only queue, on whatever thread they come from: the reporter may hold a lock that an
// event handler's call needs. Debug lines and errors wake the pump; the rest waits for it.
TEST_F(MessageQueueTest, ReportsQueueAndOnlySomeWakeThePump) {
    const platform::Event& wake = notifier.deliveryRequestedEvent();
    notifier.postStatus("mounted %s on D%d: (%02x)", "a.atr", 1, 0x3a);
    notifier.postCommand(0x31, 0x53, 0, 0, 0x84, 1, 0, "status");
    notifier.postUnknownCommand(0x30, 0x53, 0, 0, 0x83, 0, 0, "status");
    EXPECT_FALSE(wake.isSet());
    notifier.postDebug("BAD SUM - %s", "command frame");
    EXPECT_TRUE(wake.isSet());
    notifier.postSystemError(2, "CDiskImage::loadImage", "fopen");
    EXPECT_TRUE(wake.isSet());
    notifier.postCriticalError(31, "CSIOPort::doOverlappedComCrud", "ReadFile");
    EXPECT_TRUE(wake.isSet());
    EXPECT_TRUE(receiver.events().empty()) << "nothing is delivered on the reporting thread";
    EXPECT_EQ(queue.count(), 7u);

    const auto e = delivered();
    ASSERT_EQ(e.size(), 7u);
    EXPECT_EQ(e[0], (ReceivedEvent{'S', 0, "mounted a.atr on D1: (3a)"}));
    EXPECT_EQ(e[1].kind, 'C');
    EXPECT_EQ(e[2].disk, 0);
    EXPECT_EQ(e[3], (ReceivedEvent{'D', 0, "BAD SUM - command frame"}));
    EXPECT_EQ(e[4].number, 2u);
    EXPECT_EQ(e[5].number, 31u);
    EXPECT_EQ(e[6], (ReceivedEvent{'E', 31,
                                   "sio emulation has been halted due to critical error(s) "
                                   "(CSIOPort::doOverlappedComCrud.ReadFile)"}));
}

// Records dispatched while nobody listens are gone; unknown kinds are dropped silently.
TEST_F(MessageQueueTest, NoReceiverLosesRecords) {
    notifier.detach(&receiver);
    notifier.postDebug("lost");
    notifier.flushNotifications();
    notifier.attach(&receiver);
    queue.push("Xjunk");
    queue.push("");
    notifier.postStatus("kept");
    const auto e = delivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "kept");
    EXPECT_FALSE(queue.pop());
}

// A front end that stops taking events must not make the queue grow without end: what does
// not fit is counted, and the count comes back once, in the place of what was lost.
TEST(MessageQueue, BoundDropsTheNewestAndSaysHowMany) {
    CMessageQueue queue(4);
    for (int i = 0; i < 10; ++i) queue.pushStatus(std::to_string(i).c_str());
    EXPECT_EQ(queue.count(), 4u);
    EXPECT_EQ(queue.dropped(), 6u);
    std::vector<std::string> texts;
    auto drain = [&](int n) {
        for (int i = 0; i < n; ++i)
            if (auto r = queue.pop()) texts.push_back(r->substr(1));
    };
    drain(2);
    queue.pushStatus("10");  // room for the notice and the record
    drain(10);
    EXPECT_EQ(texts, (std::vector<std::string>{"0", "1", "2", "3", "6 notification(s) dropped: events were not taken in time",
                                               "10"}));
    // Drops at the very end are told when the queue runs empty.
    texts.clear();
    for (int i = 0; i < 5; ++i) queue.pushStatus("x");
    drain(10);
    EXPECT_EQ(texts.back(), "1 notification(s) dropped: events were not taken in time");
    EXPECT_EQ(texts.size(), 5u);
    EXPECT_EQ(queue.dropped(), 0u);
}
