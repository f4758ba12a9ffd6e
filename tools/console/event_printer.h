// The console front end's _IShellEvents sink: prints every event as one trace line.
#pragma once

#include "tools/console/shell_events_sink.h"
#include "tools/console/trace_writer.h"

namespace console {

// The trace writer is thread-safe: the server's calls may print at any time.
class EventPrinter final : public ShellEventsSink {
public:
    EventPrinter(TraceWriter& out, bool raw) : out_(out), raw_(raw) {}

private:
    void status(const std::string& message) override { out_.line(TraceWriter::Kind::Status, message); }
    void command(const CommandEvent& e) override { out_.line(TraceWriter::Kind::Command, commandText(e, raw_)); }
    void debug(const std::string& message) override { out_.line(TraceWriter::Kind::Debug, debugText(message)); }
    void error(long number, const std::string& message) override {
        out_.line(TraceWriter::Kind::Error, errorText(number, message));
    }

    TraceWriter& out_;
    const bool raw_;
};

}  // namespace console
