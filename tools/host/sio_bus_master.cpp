#include "sio_bus_master.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "driver_report.h"

namespace rig {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// A real computer's windows; the lead WaitForDrive keeps is 1200-1600 us (Wine sees a change
// up to about 1.3 ms late).
constexpr microseconds kLeadMin{750}, kCourteousLeadMin{1200}, kLeadMax{1600};
constexpr microseconds kReleaseMin{650}, kReleaseMax{950};
constexpr microseconds kGapMin{1000}, kGapMax{4000};
// The quiet that tells this side a broken answer is over.
constexpr milliseconds kQuiet{20};
// How long an answer byte that is due may take before the drive counts as silent or stuck.
constexpr milliseconds kByteTimeout{1000};
// The computer's turnaround before it sends a data frame after the drive's ACK.
constexpr microseconds kDataTurnaround{1000};
constexpr milliseconds kListenTimeout{5000};

const char* nameOf(SioBusMaster::Step::Kind kind)
{
    switch (kind) {
    case SioBusMaster::Step::Kind::Ack: return "ACK";
    case SioBusMaster::Step::Kind::Nak: return "NAK";
    case SioBusMaster::Step::Kind::Complete: return "COMPLETE";
    case SioBusMaster::Step::Kind::DataIn: return "data frame";
    case SioBusMaster::Step::Kind::DataOut: return "data frame out";
    case SioBusMaster::Step::Kind::DataOutCut: return "data frame out, cut short";
    case SioBusMaster::Step::Kind::Silence: return "silence";
    }
    return "?";
}

std::uint8_t byteOf(SioBusMaster::Step::Kind kind)
{
    switch (kind) {
    case SioBusMaster::Step::Kind::Ack: return sio::kAck;
    case SioBusMaster::Step::Kind::Nak: return sio::kNak;
    default: return sio::kComplete;
    }
}

std::string hexByte(std::uint8_t b)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b);
    return text;
}

std::string countOf(std::size_t n, const char* what)
{
    return std::to_string(n) + " " + what;
}

void failWith(SioBusMaster::Exchange& x, SioBusMaster::Exchange::Fault fault,
              const std::string& why)
{
    if (x.failure.empty()) {
        x.failure = why;
        x.fault = fault;
    }
}

}  // namespace

SioBusMaster::SioBusMaster(PtyPeer& peer, Pacing pacing, Timing timing,
                           std::function<bool()> alive)
    : peer_(peer), pacing_(pacing), timing_(timing), alive_(std::move(alive))
{
}

bool SioBusMaster::waitListening(std::chrono::milliseconds timeout, std::string* why)
{
    const ModemLines& lines = peer_.lines();
    bool gone = false;
    unsigned rounds = 0;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> releasedSeen;  // wait number, polls
    const bool listening = pollUntil(
        [&] {
            // Whether the process is there costs a system call: not on every round.
            if (++rounds % 512 == 0 && !alive_()) {
                gone = true;
                return true;
            }
            const ModemLines::Arm arm = lines.latestArm();
            if (arm.polls == 0 || arm.writes != lines.writes())
                return false;
            if (frameTransfers_ &&
                static_cast<std::int32_t>(arm.transfers - (*frameTransfers_ + 1)) < 0)
                return false;
            const bool armedAsserted = (arm.inputs & ModemLines::kRing) != 0;
            if (armedAsserted == lines.ring())
                return true;
            // A drive that stayed silent (or refused) at once armed its next frame read
            // before this side released the line; the release then ended that wait, and the
            // read counts it as the command line: it takes the next five bytes as a frame,
            // with no wait left to arm. Listening, once Wine has ended the wait.
            if (!armedAsserted || lines.ring())
                return false;
            if (lines.waitForThreadEnd(lines.waitingTid(), std::chrono::milliseconds(0)))
                return true;
            // Or the release came while the wait was being armed, and Wine took the released
            // line as its baseline: it sees no change then, and rounds of polling after this
            // side saw the line released, with the wait still there, say so.
            if (!releasedSeen || releasedSeen->first != arm.number)
                releasedSeen = std::make_pair(arm.number, arm.polls);
            return arm.polls - releasedSeen->second >= 3;
        },
        timeout);
    if (gone) {
        *why = "the drive's process has gone";
        return false;
    }
    if (!listening) {
        const ModemLines::Arm arm = lines.latestArm();
        *why = "the drive did not get back to waiting for a command frame within " +
               std::to_string(timeout.count()) + " ms (stuck; its latest wait: number " +
               std::to_string(arm.number) + ", armed after transfer " +
               std::to_string(arm.transfers) + " and write " + std::to_string(arm.writes) +
               " with the line " + ((arm.inputs & ModemLines::kRing) ? "asserted" : "released") +
               ", polled " + std::to_string(arm.polls) + " times; transfers now " +
               std::to_string(lines.transfers()) + ", writes " + std::to_string(lines.writes()) +
               (frameTransfers_ ? ", the frame's last byte after transfer " +
                                      std::to_string(*frameTransfers_)
                                : std::string()) +
               ")";
        return false;
    }
    if (std::size_t extra = peer_.discardInput()) {
        *why = std::to_string(extra) + " byte(s) came after the end of the answer";
        return false;
    }
    return true;
}

namespace {

// This side's own times (lead, pacing, release) are slept for and the last stretch spun
// (waitUntil): spinning all of it would take a core from Wine on a two-core machine and slow
// the very drive under test. A wake-up can then come late; the windows missed are counted.
constexpr microseconds kSpinBefore{200};

}  // namespace

SioBusMaster::Received SioBusMaster::readOne(Clock::time_point deadline)
{
    if (!early_.empty()) {
        const Received r = early_.front();
        early_.erase(early_.begin());
        return r;
    }
    // Already there: its time says only that it came before now.
    auto got = peer_.readUntil(1, Clock::now() - microseconds(1));
    if (!got.empty())
        return {got.front(), false};
    got = peer_.readUntil(1, deadline);
    if (!got.empty())
        return {got.front(), true};
    return {};
}

std::vector<TimedByte> SioBusMaster::readMany(std::size_t count, Clock::time_point deadline)
{
    std::vector<TimedByte> all;
    while (!early_.empty() && all.size() < count) {
        all.push_back(*early_.front().byte);
        early_.erase(early_.begin());
    }
    if (all.size() < count) {
        auto got = peer_.readUntil(count - all.size(), deadline);
        all.insert(all.end(), got.begin(), got.end());
    }
    return all;
}

bool SioBusMaster::sendFrame(const Bytes& frame, std::size_t* stray)
{
    const unsigned n = sequence_++;
    const bool real = timing_ == Timing::Real;
    // Spread over the windows without randomness.
    const auto lead = real ? kLeadMin + microseconds((n * 97) % 851)
                           : kCourteousLeadMin + microseconds((n * 97) % 401);
    const auto releaseAfter = kReleaseMin + microseconds((n * 61) % 301);
    const ModemLines& lines = peer_.lines();
    // WaitForDrive: the drive has taken the line once Wine's thread has ended the wait it was
    // polling (the wait's event is then set, and it comes before the read's completion) or
    // the drive has armed its next one.
    const auto armsBefore = lines.watchArms();
    const pid_t waiter = lines.waitingTid();
    auto taken = [&] {
        return lines.watchArms() != armsBefore ||
               lines.waitForThreadEnd(waiter, std::chrono::milliseconds(0));
    };
    auto put = [&](std::uint8_t byte) {
        return peer_.write(std::span<const std::uint8_t>(&byte, 1), Pacing::Unpaced, kByteTimeout,
                           &frameEnd_);
    };

    if (answerEnd_ == Clock::time_point{})
        answerEnd_ = Clock::now();  // the session's first command
    if (real && !cutNow_) {
        const auto gap = kGapMin + microseconds((n * 389) % 3001);
        waitUntil(answerEnd_ + gap);
        const auto took = Clock::now() - answerEnd_;
        figures_.gapUs.push_back(micros(took));
        if (took < kGapMin || took > kGapMax)
            ++figures_.gapSlips;
    }
    cutNow_ = false;
    *stray = peer_.discardInput();
    early_.clear();
    trace_.clear();
    const auto asserted = Clock::now();
    peer_.setCommandLine(true);
    trace_.push_back(driveAt("line asserted"));
    const std::size_t last = frame.size() - 1;
    Clock::time_point seen{};
    waitUntil(asserted + lead);
    const auto first = Clock::now();
    const auto leadTaken = first - asserted;
    figures_.leadUs.push_back(micros(leadTaken));
    if (leadTaken < (real ? kLeadMin : kCourteousLeadMin) || leadTaken > kLeadMax)
        ++figures_.leadSlips;
    if (pacing_ == Pacing::Paced) {
        for (std::size_t i = 0; i < last; ++i) {
            waitUntil(first + peer_.byteTime() * static_cast<long long>(i));
            if (!put(frame[i]))
                return false;
        }
        const auto due = first + peer_.byteTime() * static_cast<long long>(last);
        if (!real) {
            const auto untilDue = std::chrono::duration_cast<milliseconds>(due - Clock::now());
            if (!pollUntil(taken, std::max(untilDue, milliseconds(0)), &seen) || seen > due) {
                ++figures_.heldLastBytes;
                pollUntil(taken, kByteTimeout, &seen);
            }
        }
        waitUntil(due);
    } else {
        if (!real && !pollUntil(taken, kByteTimeout, &seen))
            ++figures_.heldLastBytes;
        if (!peer_.write(std::span<const std::uint8_t>(frame).first(last), Pacing::Unpaced))
            return false;
    }
    if (seen != Clock::time_point{})
        figures_.takenUs.push_back(micros(seen - asserted));
    frameTransfers_ = lines.transfers();
    if (!put(frame[last]))
        return false;
    trace_.push_back(driveAt("last byte"));

    // Whatever the drive sends meanwhile is kept, timed as it comes.
    const auto releaseAt = frameEnd_ + releaseAfter;
    for (;;) {
        auto got = peer_.readUntil(1, releaseAt - kSpinBefore);
        if (got.empty())
            break;
        early_.push_back({got.front(), true});
    }
    waitUntil(releaseAt);
    peer_.setCommandLine(false);
    const auto after = Clock::now() - frameEnd_;
    trace_.push_back(driveAt("line released"));
    figures_.releaseUs.push_back(micros(after));
    if (after < kReleaseMin || after > kReleaseMax)
        ++figures_.releaseSlips;
    return true;
}

SioBusMaster::DriveAt SioBusMaster::driveAt(const char* moment) const
{
    const ModemLines& lines = peer_.lines();
    return {moment,
            lines.latestArm(),
            lines.reads(),
            lines.writes(),
            lines.arming(),
            lines.waitForThreadEnd(lines.waitingTid(), milliseconds(0)),
            peer_.pendingForProgram()};
}

std::string SioBusMaster::describe(const std::vector<DriveAt>& trace) const
{
    std::string text = "the frame's last byte went after the drive's transfer " +
                        std::to_string(frameTransfers_.value_or(0));
    for (const DriveAt& d : trace) {
        text += "; " + std::string(d.moment) + ": wait " + std::to_string(d.arm.number) +
                " armed after transfer " + std::to_string(d.arm.transfers) + " with the line " +
                ((d.arm.inputs & ModemLines::kRing) ? "asserted" : "released") + ", polled " +
                std::to_string(d.arm.polls) + (d.waiterEnded ? " (ended)" : " (polling)") +
                (d.arming ? ", a thread inside WaitCommEvent" : "") + ", " +
                countOf(d.reads, "reads") + ", " + countOf(d.writes, "writes") + ", " +
                countOf(d.unread, "bytes unread");
    }
    return text;
}

void SioBusMaster::settle(std::chrono::milliseconds quiet)
{
    const auto until = Clock::now() + kByteTimeout;
    while (Clock::now() < until && !peer_.readUntil(256, Clock::now() + quiet).empty()) {
    }
    early_.clear();
    answerEnd_ = Clock::now();
}

SioBusMaster::Try SioBusMaster::play(const Bytes& commandFrame, const std::vector<Step>& steps,
                                     Exchange& x)
{
    using Fault = Exchange::Fault;
    if (!alive_()) {
        failWith(x, Fault::Stuck, "the drive's process has gone");
        return Try::Broken;
    }
    std::string why;
    if (timing_ == Timing::WaitForDrive && !waitListening(kListenTimeout, &why)) {
        failWith(x, Fault::Stuck, why);
        return Try::Broken;
    }
    const ModemLines& lines = peer_.lines();
    const std::uint32_t writesBefore = lines.writes();
    const auto start = Clock::now();
    std::size_t stray = 0;
    if (!sendFrame(commandFrame, &stray)) {
        failWith(x, Fault::Stuck, "the pty did not take the command frame");
        return Try::Broken;
    }
    if (stray > 0)
        failWith(x, x.missed > 0 ? Fault::Late : Fault::Wrong,
                 countOf(stray, "byte(s)") +
                     (x.missed > 0 ? " came after the missed try's 16 ms" : " came after the end of the answer"));
    ++figures_.frames;
    x.wireBytes += commandFrame.size();

    // No first answer byte within 16 ms: the frame is missed (a silence that is due is no
    // answer to miss).
    if (!steps.empty() && steps.front().kind != Step::Kind::Silence) {
        const Received r = readOne(frameEnd_ + kAckBound);
        if (!r.byte) {
            trace_.push_back(driveAt("16 ms after the last byte"));
            ++x.missed;
            ++figures_.missed;
            x.missedWhere.push_back(describe(trace_));
            answerEnd_ = Clock::now();
            return Try::Missed;
        }
        early_.insert(early_.begin(), r);
    }

    // Each ACK, NAK, COMPLETE and data frame the drive sends is one write of its own: the
    // times of those writes (the shim's record) are the drive's timing. This side's read
    // times stand in only when the writes do not match the answer.
    struct Sent {
        Step::Kind kind;
        Received seen;
        std::optional<Clock::time_point> written;
    };
    std::vector<Sent> sent;
    bool broken = false;  // out of step with the drive: the rest cannot be judged
    auto fail = [&](Fault fault, const std::string& text) {
        failWith(x, fault, text);
        broken = true;
    };
    auto writeOf = [&] {
        return lines.writeStarted(writesBefore + 1 + static_cast<std::uint32_t>(sent.size()));
    };
    Clock::time_point lastByte = frameEnd_;
    for (const Step& step : steps) {
        if (broken)
            break;
        switch (step.kind) {
        case Step::Kind::Ack:
        case Step::Kind::Nak:
        case Step::Kind::Complete: {
            const Received r = readOne(Clock::now() + kByteTimeout);
            if (!r.byte) {
                fail(Fault::Wrong, std::string("no ") + nameOf(step.kind) + " (the answer stopped)");
                break;
            }
            x.received.push_back(r.byte->value);
            lastByte = r.byte->at;
            sent.push_back({step.kind, r, writeOf()});
            if (r.byte->value != byteOf(step.kind)) {
                fail(Fault::Wrong,
                     std::string("expected ") + nameOf(step.kind) + ", got " + hexByte(r.byte->value));
                break;
            }
            ++x.bytesChecked;
            break;
        }
        case Step::Kind::DataIn: {
            const auto got = readMany(step.bytes.size(), Clock::now() + kByteTimeout +
                                                             peer_.byteTime() * step.bytes.size());
            for (const TimedByte& b : got)
                x.received.push_back(b.value);
            if (!got.empty()) {
                lastByte = got.back().at;
                sent.push_back({step.kind, {got.front(), false}, writeOf()});
            }
            for (std::size_t i = 0; i < got.size() && !broken; ++i) {
                if (got[i].value != step.bytes[i])
                    fail(Fault::Wrong, "data frame byte " + std::to_string(i) + " is " +
                                           hexByte(got[i].value) + ", not " + hexByte(step.bytes[i]) +
                                           (i + 1 == step.bytes.size() ? " (the checksum)" : ""));
                else
                    ++x.bytesChecked;
            }
            if (!broken && got.size() < step.bytes.size())
                fail(Fault::Wrong, "data frame cut short: " + std::to_string(got.size()) + " of " +
                                       std::to_string(step.bytes.size()) + " bytes");
            break;
        }
        case Step::Kind::DataOut:
        case Step::Kind::DataOutCut: {
            const bool cut = step.kind == Step::Kind::DataOutCut;
            const auto bytes = std::span<const std::uint8_t>(step.bytes).first(
                cut ? std::min(step.cutAt, step.bytes.size()) : step.bytes.size());
            if (pacing_ == Pacing::Paced)
                waitUntil(lastByte + kDataTurnaround);
            Clock::time_point out{};
            if (!peer_.write(bytes, pacing_, kByteTimeout, &out)) {
                fail(Fault::Stuck, "the pty did not take the data frame");
                break;
            }
            lastByte = out;
            x.wireBytes += bytes.size();
            if (cut) {
                // The computer stops where its next byte would have begun, and the next
                // exchange asserts the line for its command at once.
                if (pacing_ == Pacing::Paced)
                    waitUntil(out + peer_.byteTime());
                cutNow_ = true;
                ++figures_.cuts;
            }
            break;
        }
        case Step::Kind::Silence: {
            const Received r = readOne(Clock::now() + kSilence);
            if (r.byte) {
                x.received.push_back(r.byte->value);
                fail(Fault::Wrong,
                     "the drive answered " + hexByte(r.byte->value) + " where it must stay silent");
            }
            break;
        }
        }
    }

    // The timing, judged on the drive's writes when they match what came (every one timed,
    // and as many as the answer's parts), else on this side's reads.
    const bool byWrites =
        !sent.empty() && lines.writes() - writesBefore == sent.size() &&
        std::all_of(sent.begin(), sent.end(), [](const Sent& s) { return s.written.has_value(); });
    if (byWrites)
        ++figures_.timedByWrites;
    if (!sent.empty()) {
        const auto firstAt = byWrites ? *sent.front().written : sent.front().seen.byte->at;
        const auto latency = firstAt - frameEnd_;
        x.ackUs = micros(latency);
        figures_.ackUs.push_back(*x.ackUs);
        if (latency < microseconds(0)) {
            failWith(x, Fault::Wrong,
                     std::string(nameOf(sent.front().kind)) + " " +
                         std::to_string(static_cast<long>(-*x.ackUs)) +
                         " us before the frame's last byte (an answer to something else)");
        } else if (latency > kAckBound) {
            ++figures_.ackMisses;
            failWith(x, Fault::Late,
                     std::string(nameOf(sent.front().kind)) + " " +
                         std::to_string(static_cast<long>(*x.ackUs)) +
                         " us after the frame's last byte (bound 16000 us)");
        }
    }
    for (std::size_t i = 1; i < sent.size(); ++i) {
        if (sent[i].kind != Step::Kind::Complete || sent[i - 1].kind != Step::Kind::Ack)
            continue;
        // On this side's clock a gap is judged only when the ACK was waited for and the
        // COMPLETE was not already there with it.
        if (!byWrites && !(sent[i - 1].seen.waited && sent[i].seen.waited)) {
            ++figures_.unjudgedGaps;
            continue;
        }
        const auto gap = byWrites ? *sent[i].written - *sent[i - 1].written
                                  : sent[i].seen.byte->at - sent[i - 1].seen.byte->at;
        x.completeUs = micros(gap);
        figures_.completeUs.push_back(*x.completeUs);
        if (gap < kCompleteGap) {
            ++figures_.earlyCompletes;
            failWith(x, Fault::Late,
                     "COMPLETE " + std::to_string(static_cast<long>(*x.completeUs)) +
                         " us after ACK (at least 1500 us)" + (byWrites ? "" : " on this side's clock"));
        }
    }
    x.wireBytes += x.received.size();
    x.commandUs = micros(lastByte - start);
    figures_.bytesChecked += x.bytesChecked;
    answerEnd_ = Clock::now();
    return broken ? Try::Broken : Try::Answered;
}

SioBusMaster::Exchange SioBusMaster::exchange(const Bytes& commandFrame,
                                              const std::vector<Step>& steps)
{
    Exchange x;
    for (unsigned attempt = 1; attempt <= kTries; ++attempt) {
        const Try t = play(commandFrame, steps, x);
        // A drive whose thread was not scheduled in time may still answer the missed try: that
        // answer belongs to the miss, not to the next try.
        if (t == Try::Broken)
            settle(kQuiet);
        else if (t == Try::Missed)
            settle(kSilence);  // its answer may come tens of milliseconds late
        if (t != Try::Missed)
            break;
        if (attempt == kTries)
            failWith(x, Exchange::Fault::Silent,
                     "no answer within 16 ms to any of " + std::to_string(kTries) + " tries");
    }
    x.ok = x.failure.empty();
    return x;
}

}  // namespace rig
