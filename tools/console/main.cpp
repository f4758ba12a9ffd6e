// vandrel-console: a console front end for Vandrel.Shell. It mounts and creates images as its
// command line asks, starts the emulation, prints every event of the server live, and takes
// commands at a small prompt until quit, the end of its input or Ctrl+C.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"
#include "tools/console/console_input.h"
#include "tools/console/console_options.h"
#include "tools/console/input_lines.h"
#include "tools/console/shell_session.h"
#include "tools/console/trace_writer.h"
#include "tools/console/wide_text.h"

namespace {

using console::Request;

enum ExitCode { kOk = 0, kUsage = 2, kNoServer = 3, kImageFailed = 4, kPortFailed = 5 };

// The console control handler has no argument of its own: it reaches the main thread through
// these. It is installed before anything else, so that no Ctrl+C can end the process while
// it holds the server.
std::atomic<bool> quitAsked{false};
std::atomic<console::InputLines*> interruptible{nullptr};
HANDLE released = nullptr;  // set once the server has been let go; lives until exit

void askQuit() {
    quitAsked = true;
    if (console::InputLines* input = interruptible.load()) input->interrupt();
}

BOOL WINAPI onControl(DWORD kind) {
    switch (kind) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        askQuit();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process when this returns (and at the latest after 5 s): wait
        // for the main thread to stop the emulation and release the server first.
        askQuit();
        WaitForSingleObject(released, 4500);
        return TRUE;
    default:
        return FALSE;
    }
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
        if (!shell.create(r.path, r.geometry, r.overwrite)) out.problem("could not create " + r.path);
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

// What the command line asks before the prompt: creations, mounts, the port, the start. Each
// step is taken only while nobody has asked to quit.
int setUp(const console::Options& options, console::ShellSession& shell, console::TraceWriter& out) {
    for (const console::Creation& c : options.creations) {
        if (quitAsked) return kOk;
        if (!shell.create(c.path, c.geometry, options.createOver)) {
            out.problem("could not create " + c.path);
            return kImageFailed;
        }
    }
    for (const console::Mount& m : options.mounts) {
        if (quitAsked) return kOk;
        if (!shell.mount(m.drive, m.path, m.readOnly)) {
            out.problem("could not mount " + m.path + " as D" + std::to_string(m.drive) + ":");
            return kImageFailed;
        }
    }
    if (quitAsked) return kOk;
    if (options.port && !shell.setPort(options.port)) {
        out.problem("could not open COM" + std::to_string(options.port));
        return kPortFailed;
    }
    if (options.start && !quitAsked && !shell.start()) {
        out.problem("the emulation did not start");
        return kPortFailed;
    }
    return kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(console::narrow(argv[i], wcslen(argv[i])));
    console::TraceWriter out;
    std::string error;
    const std::optional<console::Options> options = console::parseOptions(args, &error);
    if (!options || (!options->logPath.empty() && !out.openLog(options->logPath, &error))) {
        out.problem(error);
        std::fputs(console::usageText(), stderr);
        return kUsage;
    }
    if (options->help) {
        out.plain(console::usageText());
        return kOk;
    }
    out.setQuiet(options->quiet);

    const bool interactive = console::inputIsConsole();
    console::KeyByKeyInput keys;  // changes nothing when the input is not a console
    // Lives until exit: its reader may still be blocked in a read.
    auto* input = new console::InputLines(interactive ? console::KeyByKeyInput::reader(out) : console::pipeReader());
    interruptible = input;
    if (quitAsked) input->interrupt();

    const int code = [&]() -> int {
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
        const int started = setUp(*options, *shell, out);
        if (started != kOk || quitAsked) return started;
        for (;;) {
            if (interactive) out.showPrompt();
            std::string line;
            if (input->next(&line) != console::InputLines::Next::Line) break;
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
    }();
    SetEvent(released);
    return code;
}
