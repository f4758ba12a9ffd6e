// vandrel-console: a console front end for Vandrel.Shell. It mounts and creates images as its
// command line asks, starts the emulation, prints every event of the server live, and takes
// commands at a small prompt until quit, the end of its input or Ctrl+C.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"
#include "tools/console/console_options.h"
#include "tools/console/input_lines.h"
#include "tools/console/shell_session.h"
#include "tools/console/trace_writer.h"
#include "tools/console/wide_text.h"

namespace {

using console::Request;

enum ExitCode { kOk = 0, kUsage = 2, kNoServer = 3, kImageFailed = 4, kPortFailed = 5 };

// The console control handler has no argument of its own: it reaches the input through this.
console::InputLines* interruptible = nullptr;

BOOL WINAPI onControl(DWORD kind) {
    if (kind == CTRL_C_EVENT || kind == CTRL_BREAK_EVENT || kind == CTRL_CLOSE_EVENT) {
        if (interruptible) interruptible->interrupt();
        return TRUE;
    }
    return FALSE;
}

// Owns this thread's membership of the multithreaded apartment: events arrive on the
// server's calls into it while the main thread waits for input.
class Apartment {
public:
    Apartment() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~Apartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// Carries out one prompt line; false when it asks to quit.
bool serve(const Request& r, console::ShellSession& shell, console::TraceWriter& out) {
    switch (r.verb) {
    case Request::Verb::None:
        break;
    case Request::Verb::Help:
        out.plain(console::promptHelpText());
        break;
    case Request::Verb::Mount:
        if (!shell.mount(r.drive, r.path, r.readOnly)) out.problem("could not mount " + r.path);
        break;
    case Request::Verb::Unmount:
        shell.unmount(r.drive);
        break;
    case Request::Verb::Swap:
        shell.swap(r.drive, r.otherDrive);
        break;
    case Request::Verb::Create:
        if (!shell.create(r.path, r.geometry)) out.problem("could not create " + r.path);
        break;
    case Request::Verb::Status:
        shell.printStatus();
        break;
    case Request::Verb::Port:
        if (r.port < 0) shell.printStatus();
        else if (!shell.setPort(r.port)) out.problem("could not open COM" + std::to_string(r.port));
        break;
    case Request::Verb::Start:
        if (!shell.start()) out.problem("the emulation did not start");
        break;
    case Request::Verb::Stop:
        shell.stop();
        break;
    case Request::Verb::Quit:
        return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(console::narrow(argv[i], wcslen(argv[i])));
    console::TraceWriter out;
    std::string error;
    const std::optional<console::Options> options = console::parseOptions(args, &error);
    if (!options) {
        out.problem(error);
        std::fputs(console::usageText(), stderr);
        return kUsage;
    }
    if (options->help) {
        out.plain(console::usageText());
        return kOk;
    }

    Apartment apartment;
    if (FAILED(apartment.result())) {
        out.problem("COM is not available here");
        return kNoServer;
    }
    std::unique_ptr<console::ShellSession> shell = console::ShellSession::open(out, options->raw, &error);
    if (!shell) {
        out.problem(error);
        return kNoServer;
    }
    for (const console::Creation& c : options->creations) {
        if (!shell->create(c.path, c.geometry)) {
            out.problem("could not create " + c.path);
            return kImageFailed;
        }
    }
    for (const console::Mount& m : options->mounts) {
        if (!shell->mount(m.drive, m.path, m.readOnly)) {
            out.problem("could not mount " + m.path + " as D" + std::to_string(m.drive) + ":");
            return kImageFailed;
        }
    }
    if (options->port && !shell->setPort(options->port)) {
        out.problem("could not open COM" + std::to_string(options->port));
        return kPortFailed;
    }
    if (options->start && !shell->start()) {
        out.problem("the emulation did not start");
        return kPortFailed;
    }

    static console::InputLines input;  // lives until exit: its reader may still be blocked
    interruptible = &input;
    SetConsoleCtrlHandler(onControl, TRUE);
    const bool interactive = GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_CHAR;
    for (;;) {
        if (interactive) out.plain("> ");
        std::string line;
        const console::InputLines::Next next = input.next(&line);
        if (next != console::InputLines::Next::Line) break;
        const std::optional<Request> request = console::parseRequest(line, &error);
        if (!request) {
            out.problem(error);
            continue;
        }
        if (!serve(*request, *shell, out)) break;
    }
    shell.reset();
    out.line("bye");
    return kOk;
}
