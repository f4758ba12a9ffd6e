// The console front end's hold on one Vandrel.Shell: the object, its event connection and
// the calls the front end makes, each telling whether it worked.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/com_support.h"
#include "server/vandrel_idl.h"
#include "tools/console/console_options.h"
#include "tools/console/event_printer.h"
#include "tools/console/trace_writer.h"

namespace console {

// The server answers every call with S_OK and reports failures as Error events, which it
// delivers before the call returns. A call is judged by its own outcome: the state it reads
// back, and the Error events of that call's operation (their texts name where they come
// from). Errors of the bus that come meanwhile are printed, and are not the call's.
class ShellSession {
public:
    // Creates the Shell in its local server and connects the printer to its events. On
    // failure, nullptr and a message in *error.
    static std::unique_ptr<ShellSession> open(TraceWriter& out, bool raw, std::string* error);
    // Stops the emulation (which also delivers the events still queued), disconnects and
    // releases the Shell.
    ~ShellSession();
    ShellSession(const ShellSession&) = delete;
    ShellSession& operator=(const ShellSession&) = delete;

    // Refuses a file that exists unless overwrite is set.
    bool create(const std::string& path, const Geometry& geometry, bool overwrite);
    bool mount(int drive, const std::string& path, bool readOnly);
    bool unmount(int drive);
    bool swap(int drive, int otherDrive);
    bool setPort(int port);
    bool start();
    bool stop();
    // The nine drives and the port, one line each.
    void printStatus();

private:
    ShellSession(TraceWriter& out, bool raw);

    TraceWriter& out_;
    ComPtr<IShell> shell_;
    ComPtr<IConnectionPoint> point_;
    ComPtr<EventPrinter> printer_;
    DWORD cookie_ = 0;
};

}  // namespace console
