// vandrel-panel: the Windows front end of Vandrel with a window. It takes the console front
// end's command line, shows the panel, and runs its message loop until the window closes.
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

#include <commctrl.h>
#include <objbase.h>

#include "tools/console/console_options.h"
#include "tools/console/wide_text.h"
#include "tools/panel/panel_window.h"
#include "tools/panel/stdin_watcher.h"

namespace {

enum ExitCode { kOk = 0, kBadCommandLine = 2, kNoServer = 3 };

constexpr wchar_t kUsageText[] =
    L"usage: vandrel-panel [--port N] [--raw] [--create PATH=sd|ed|dd|COUNTxSIZE]...\n"
    L"                     [Dn=PATH[,ro]]... [--start]\n\n"
    L"--port N\tserve the bus on COMN (1 to 9)\n"
    L"--raw\tthe log also shows each command frame's five bytes\n"
    L"--create\tmake a blank image first: sd 720x128, ed 1040x128, dd 720x256, or COUNTxSIZE\n"
    L"Dn=PATH\tmount an image as D1: to D9: (\",ro\" after the path: read-only); the images named here "
    L"replace the remembered ones\n"
    L"--start\tstart the emulation once the images are mounted\n\n"
    L"When standard input is a pipe, the line \"quit\" or the end of the input closes the panel.";

// This thread's membership of a single-threaded apartment: the window's thread makes every
// call into the server and receives the events through its message loop.
class WindowApartment {
public:
    WindowApartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ~WindowApartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    WindowApartment(const WindowApartment&) = delete;
    WindowApartment& operator=(const WindowApartment&) = delete;
    bool joined() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

int usage(const std::wstring& problem) {
    MessageBoxW(nullptr, (problem.empty() ? std::wstring(kUsageText) : problem + L"\n\n" + kUsageText).c_str(), L"Vandrel Panel",
                problem.empty() ? MB_OK | MB_ICONINFORMATION : MB_OK | MB_ICONERROR);
    return problem.empty() ? kOk : kBadCommandLine;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    std::vector<std::string> args;
    for (int i = 1; i < __argc; ++i) args.push_back(console::narrow(__wargv[i], wcslen(__wargv[i])));
    std::string error;
    const std::optional<console::Options> options = console::parseOptions(args, &error);
    if (!options) return usage(console::widen(error));
    if (options->help) return usage(L"");
    if (options->quiet || options->createOver || !options->logPath.empty())
        return usage(L"--quiet, --log and --create-over are options of the console front end only.");

    WindowApartment apartment;
    if (!apartment.joined()) {
        MessageBoxW(nullptr, L"COM is not available here.", L"Vandrel Panel", MB_OK | MB_ICONERROR);
        return kNoServer;
    }
    const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    PanelOptions panelOptions;
    panelOptions.command = *options;
    const std::unique_ptr<PanelWindow> panel = PanelWindow::create(instance, panelOptions, show);
    if (!panel) return kNoServer;
    const StdinWatcher watcher(panel->handle());

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        const HWND window = panel->handle();
        if (window && TranslateAcceleratorW(window, panel->accelerators(), &message)) continue;
        if (window && IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return panel->exitCode();
}
