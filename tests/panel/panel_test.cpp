// The panel's window in this process, on a thread of its own, driven through its own controls
// (an HDROP posted as WM_DROPFILES, menu commands by id, its dialog's controls) and checked
// through a second client of Vandrel.Shell, which only reads. Under Wine it needs a display
// (tests/panel/panel_wine.sh gives it a virtual one).
//
//   panel_tests VANDREL.EXE
//
// The checker's Shell is created before the panel's in every test: the newest Shell receives
// the events, and they are the panel's. No test opens a COM port.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/windows_api.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include "server/com_support.h"
#include "server/vandrel_idl.h"
#include "tests/support/temp_dir.h"
#include "tests/support/win32/child_process.h"
#include "tools/panel/panel_ids.h"
#include "tools/panel/panel_window.h"

namespace {

constexpr DWORD kBoundMs = 30000;
constexpr wchar_t kSettingsKey[] = L"Software\\Vandrel\\PanelTest";
constexpr UINT kRunTask = WM_APP + 100;  // a thread message to the panel's thread

std::wstring serverPath;

// The servers this program started: under Wine a client starts the server itself, as its child.
std::vector<DWORD> serversWeStarted() {
    std::vector<DWORD> found;
    const std::wstring name = std::filesystem::path(serverPath).filename().wstring();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL more = snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &e); more;
         more = Process32NextW(snapshot, &e))
        if (e.th32ParentProcessID == GetCurrentProcessId() && lstrcmpiW(e.szExeFile, name.c_str()) == 0)
            found.push_back(e.th32ProcessID);
    if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
    return found;
}

void killServersWeStarted() {
    for (DWORD pid : serversWeStarted()) {
        const HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (!server) continue;
        TerminateProcess(server, 3);
        WaitForSingleObject(server, kBoundMs);
        CloseHandle(server);
    }
}

// A wait that overran its bound leaves a thread stuck in the window: say where, and end the
// program (and the server) rather than wait for the run's time limit.
void waitOrDie(HANDLE event, const char* what) {
    if (WaitForSingleObject(event, kBoundMs) == WAIT_OBJECT_0) return;
    std::printf("FAILED: %s did not happen within %lu s\n", what, kBoundMs / 1000);
    std::fflush(stdout);
    killServersWeStarted();
    ExitProcess(1);
}

class Event {
public:
    Event() : h_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(h_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// The thread the panel lives on, as vandrel-panel.exe's main thread: a single-threaded
// apartment running the window's message loop. Tasks posted to it run in that loop, after
// every message posted before them (the events' messages among them) has been handled.
class PanelThread {
public:
    explicit PanelThread(const console::Options& command) {
        PanelOptions options;
        options.command = command;
        options.settingsKey = kSettingsKey;
        thread_ = std::thread([this, options] { run(options); });
        waitOrDie(ready_.get(), "the panel's window");
    }
    // Closes the window as "quit" on standard input would, and waits for the thread.
    ~PanelThread() {
        PostMessageW(window_, WM_CLOSE, 0, 0);
        waitOrDie(ended_.get(), "the panel's closing");
        thread_.join();
    }
    PanelThread(const PanelThread&) = delete;
    PanelThread& operator=(const PanelThread&) = delete;

    HWND window() const { return window_; }
    HWND control(int id) const { return GetDlgItem(window_, id); }
    IDispatch* sink() const { return panel_->eventSink(); }

    // Starts task on the panel's thread; done is set when it has returned.
    void post(std::function<void()>* task, HANDLE done) {
        task_ = task;
        taskDone_ = done;
        PostThreadMessageW(threadId_, kRunTask, 0, 0);
    }
    // Returns once everything posted to the window so far has been handled.
    void settle() {
        std::function<void()> nothing = [] {};
        Event done;
        post(&nothing, done.get());
        waitOrDie(done.get(), "the panel's message loop");
    }
    // The dialog the panel opened since the last call.
    HWND waitForDialog() {
        waitOrDie(dialogShown_.get(), "the dialog");
        return dialog_;
    }
    void command(int id) { SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

private:
    static LRESULT CALLBACK watchActivation(int code, WPARAM wParam, LPARAM lParam) {
        wchar_t className[16] = {};
        if (code == HCBT_ACTIVATE && current_ && GetClassNameW(reinterpret_cast<HWND>(wParam), className, 16) &&
            lstrcmpW(className, L"#32770") == 0) {
            current_->dialog_ = reinterpret_cast<HWND>(wParam);
            SetEvent(current_->dialogShown_.get());
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    void run(const PanelOptions& options) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
        InitCommonControlsEx(&controls);
        threadId_ = GetCurrentThreadId();
        current_ = this;
        const HHOOK hook = SetWindowsHookExW(WH_CBT, watchActivation, nullptr, threadId_);
        panel_ = PanelWindow::create(GetModuleHandleW(nullptr), options, SW_SHOWNORMAL);
        window_ = panel_ ? panel_->handle() : nullptr;
        SetEvent(ready_.get());
        MSG m;
        while (panel_ && GetMessageW(&m, nullptr, 0, 0) > 0) {
            if (!m.hwnd && m.message == kRunTask) {
                (*task_)();
                SetEvent(taskDone_);
                continue;
            }
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        panel_.reset();
        UnhookWindowsHookEx(hook);
        current_ = nullptr;
        CoUninitialize();
        SetEvent(ended_.get());
    }

    static inline PanelThread* current_ = nullptr;  // the hook has no argument of its own
    std::thread thread_;
    DWORD threadId_ = 0;
    Event ready_, ended_, dialogShown_;
    std::unique_ptr<PanelWindow> panel_;
    HWND window_ = nullptr;
    HWND dialog_ = nullptr;
    std::function<void()>* task_ = nullptr;
    HANDLE taskDone_ = nullptr;
};

std::wstring listText(HWND list, int row, int column) {
    wchar_t text[512] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 512;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

std::wstring windowText(HWND w) {
    wchar_t text[512] = {};
    SendMessageW(w, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring statusPart(HWND bar, int part) {
    wchar_t text[256] = {};
    SendMessageW(bar, SB_GETTEXTW, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(text));
    return text;
}

int rowCount(HWND list) { return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

// The DROPFILES header as <shlobj.h> lays it out (that header's own Shell class would clash
// with Vandrel's).
struct DropFiles {
    DWORD pFiles;  // where the names start
    POINT pt;
    BOOL fNC;
    BOOL fWide;
};

// An HDROP as the shell makes one: the header, then the wide paths, each ended by a null, and
// a null after the last. Posted with the message, it is the receiver's to free.
HGLOBAL makeDrop(POINT at, const std::vector<std::wstring>& paths) {
    std::wstring names;
    for (const std::wstring& p : paths) names += p + L'\0';
    names += L'\0';
    const std::size_t size = sizeof(DropFiles) + names.size() * sizeof(wchar_t);
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    auto* drop = static_cast<DropFiles*>(GlobalLock(memory));
    drop->pFiles = sizeof(DropFiles);
    drop->pt = at;
    drop->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DropFiles), names.data(), names.size() * sizeof(wchar_t));
    GlobalUnlock(memory);
    return memory;
}

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        ASSERT_EQ(CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                   reinterpret_cast<void**>(checker.put())),
                  S_OK);
        for (BYTE d = 1; d <= 9; ++d) checker->unMountDisk(d);  // what an earlier test left
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey); }

    // A blank single-density image made by the server, by its full path.
    std::wstring image(const std::string& name, long sectors = 720, long size = 128) {
        const std::wstring path = std::filesystem::absolute(dir.path(name)).wstring();
        Bstr p(SysAllocString(path.c_str()));
        EXPECT_EQ(checker->createImage(p.get(), sectors, size), S_OK);
        return path;
    }
    std::wstring pathIn(BYTE drive) {
        Bstr path;
        EXPECT_EQ(checker->get_diskPath(drive, path.put()), S_OK);
        return path.get() ? path.get() : L"";
    }
    bool readOnlyIn(BYTE drive) {
        VARIANT_BOOL readOnly = VARIANT_FALSE;
        EXPECT_EQ(checker->get_diskReadOnly(drive, &readOnly), S_OK);
        return readOnly != VARIANT_FALSE;
    }
    // Posts a drop of paths onto the middle of a drive's row, as the shell would.
    void drop(PanelThread& panel, int drive, const std::vector<std::wstring>& paths) {
        const HWND list = panel.control(IDC_DRIVES);
        RECT row{LVIR_BOUNDS, 0, 0, 0};
        SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(drive - 1), reinterpret_cast<LPARAM>(&row));
        POINT at{(row.left + row.right) / 2, (row.top + row.bottom) / 2};
        MapWindowPoints(list, panel.window(), &at, 1);
        PostMessageW(panel.window(), WM_DROPFILES, reinterpret_cast<WPARAM>(makeDrop(at, paths)), 0);
        panel.settle();
    }
    void select(PanelThread& panel, int drive) {
        LVITEMW state{};
        state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(panel.control(IDC_DRIVES), LVM_SETITEMSTATE, static_cast<WPARAM>(drive - 1),
                     reinterpret_cast<LPARAM>(&state));
    }
    // The log's lines as shown: "text" column only.
    std::vector<std::wstring> logLines(PanelThread& panel) {
        const HWND log = panel.control(IDC_LOG);
        std::vector<std::wstring> lines;
        for (int row = 0; row < rowCount(log); ++row) lines.push_back(listText(log, row, 1));
        return lines;
    }

    ComPtr<IShell> checker;
    TempDir dir;
};

// Plays the server: one event through the panel's sink, as IDispatch brings it (arguments
// last-first).
void fire(IDispatch* sink, DISPID id, std::vector<VARIANT> args) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    EXPECT_EQ(sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
    for (VARIANT& v : args) VariantClear(&v);
}
VARIANT byteArg(BYTE b) {
    VARIANT v;
    V_VT(&v) = VT_UI1;
    V_UI1(&v) = b;
    return v;
}
VARIANT longArg(LONG l) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = l;
    return v;
}
VARIANT textArg(const wchar_t* text) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}
void fireCommand(IDispatch* sink, BYTE device, BYTE command, BYTE disk, LONG sector, const wchar_t* name) {
    fire(sink, 2, {byteArg(device), byteArg(command), byteArg(static_cast<BYTE>(sector)), byteArg(0), byteArg(0),
                   byteArg(disk), longArg(sector), textArg(name)});
}

}  // namespace

// Catches a drop mounted in the wrong drive (the point read in the wrong window's coordinates),
// several files not filling the rows downward, and files beyond D9: lost without a word.
TEST_F(PanelTest, DroppedImagesFillTheRowsFromTheOneDroppedOn) {
    const std::wstring a = image("a.atr"), b = image("b.atr", 720, 256), c = image("c.atr"), d = image("d.atr");
    PanelThread panel({});
    drop(panel, 3, {a, b});
    EXPECT_EQ(pathIn(3), a);
    EXPECT_EQ(pathIn(4), b);
    EXPECT_EQ(pathIn(2), L"") << "nothing above the row dropped on";
    EXPECT_EQ(pathIn(5), L"");
    const HWND drives = panel.control(IDC_DRIVES);
    EXPECT_EQ(listText(drives, 3, 1), L"b.atr");
    EXPECT_EQ(listText(drives, 3, 2), L"720 x 256");

    drop(panel, 9, {c, d});
    EXPECT_EQ(pathIn(9), c);
    EXPECT_EQ(statusPart(panel.control(IDC_STATUS_BAR), 1), L"Errors: 1") << "d.atr found no drive below D9:";
}

// Catches swap, read-only and eject acting on the wrong drive or not reaching the server, and
// the command line's images not being mounted as it says.
TEST_F(PanelTest, SwapReadOnlyAndEjectReachTheServer) {
    const std::wstring a = image("a.atr"), b = image("b.atr");
    console::Options command;
    command.mounts = {{1, std::filesystem::path(a).string(), false}, {2, std::filesystem::path(b).string(), true}};
    PanelThread panel(command);
    ASSERT_EQ(pathIn(1), a);
    EXPECT_FALSE(readOnlyIn(1));
    ASSERT_EQ(pathIn(2), b);
    EXPECT_TRUE(readOnlyIn(2));

    select(panel, 1);
    panel.command(ID_DRIVE_SWAP_FIRST + 1);  // with D2:
    EXPECT_EQ(pathIn(1), b);
    EXPECT_TRUE(readOnlyIn(1)) << "the flag goes with the image";
    EXPECT_EQ(pathIn(2), a);

    panel.command(ID_DRIVE_READ_ONLY);  // the selection went with a.atr to D2:
    EXPECT_EQ(pathIn(2), a);
    EXPECT_TRUE(readOnlyIn(2));
    EXPECT_EQ(listText(panel.control(IDC_DRIVES), 1, 3), L"read-only");

    panel.command(ID_DRIVE_EJECT);
    EXPECT_EQ(pathIn(2), L"");
    EXPECT_EQ(pathIn(1), b);
    VARIANT_BOOL stopped = VARIANT_FALSE;
    EXPECT_EQ(checker->get_isStopped(&stopped), S_OK);
    EXPECT_TRUE(stopped) << "nothing here starts the emulation";
}

// Catches settings that are not written, not read back, or that make a missing image fatal;
// and a port chosen while stopped being opened at once.
TEST_F(PanelTest, SettingsSurviveARestart) {
    const std::wstring a = image("a.atr"), b = image("b.atr");
    {
        PanelThread panel({});
        drop(panel, 1, {a});
        select(panel, 1);
        panel.command(ID_DRIVE_READ_ONLY);
        drop(panel, 5, {b});
        SendMessageW(panel.control(IDC_PORT), CB_SETCURSEL, 6, 0);
        SendMessageW(panel.window(), WM_COMMAND, MAKEWPARAM(IDC_PORT, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(panel.control(IDC_PORT)));
        SetWindowPos(panel.window(), nullptr, 40, 50, 700, 560, SWP_NOZORDER | SWP_NOACTIVATE);
        panel.settle();
        BYTE port = 0;
        EXPECT_EQ(checker->get_serialPort(&port), S_OK);
        EXPECT_NE(port, 7) << "a stopped panel leaves the port closed until it starts";
    }
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"Port", RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    wchar_t path[MAX_PATH] = {};
    size = sizeof path;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"D5", RRF_RT_REG_SZ, nullptr, path, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(path), b);

    // A new server state: only the settings can bring the images back. b.atr is gone by then.
    for (BYTE d = 1; d <= 9; ++d) checker->unMountDisk(d);
    ASSERT_TRUE(DeleteFileW(b.c_str()));
    PanelThread panel({});
    EXPECT_EQ(pathIn(1), a);
    EXPECT_TRUE(readOnlyIn(1));
    EXPECT_EQ(pathIn(5), L"");
    EXPECT_EQ(windowText(panel.control(IDC_PORT)).substr(0, 4), L"COM7");
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    ASSERT_TRUE(GetWindowPlacement(panel.window(), &placement));
    EXPECT_EQ(placement.rcNormalPosition.left, 40);
    EXPECT_EQ(placement.rcNormalPosition.top, 50);
    EXPECT_EQ(placement.rcNormalPosition.right - placement.rcNormalPosition.left, 700);
    bool reported = false;
    for (const std::wstring& line : logLines(panel)) reported |= line.find(b) != std::wstring::npos;
    EXPECT_TRUE(reported) << "the missing image is named in the log";
    EXPECT_EQ(windowText(panel.control(IDC_STATE)), L"Stopped") << "a missing image is not fatal";
}

// Catches events lost or miscounted between the sink and the window, a drive row that does
// not follow its drive's commands, filters that hide the wrong kind, and a log without a cap.
TEST_F(PanelTest, LogRowsAndCountsFollowTheEvents) {
    PanelThread panel({});
    const HWND log = panel.control(IDC_LOG), bar = panel.control(IDC_STATUS_BAR);
    const int before = rowCount(log);
    for (int i = 0; i < 3; ++i) fireCommand(panel.sink(), 0x31, 0x52, 1, 361, L"read");
    fireCommand(panel.sink(), 0x40, 0x53, 16, 0, L"status");  // not a drive: not a frame served
    fire(panel.sink(), 3, {textArg(L"unknown device - 10")});
    fire(panel.sink(), 4, {longArg(5), textArg(L"Access is denied.")});
    fire(panel.sink(), 1, {textArg(L"a status line")});
    panel.settle();
    EXPECT_EQ(statusPart(bar, 0), L"Frames served: 3");
    EXPECT_EQ(statusPart(bar, 1), L"Errors: 1");
    EXPECT_EQ(listText(panel.control(IDC_DRIVES), 0, 4).substr(0, 15), L"read sector 361");
    ASSERT_EQ(rowCount(log), before + 7);
    EXPECT_EQ(listText(log, before, 1), L"D1: read sector 361");
    EXPECT_EQ(listText(log, before + 5, 1), L"error 5: Access is denied.");

    panel.command(ID_LOG_SHOW_FIRST);  // commands off
    EXPECT_EQ(rowCount(log), before + 3);
    EXPECT_EQ(SendMessageW(panel.control(IDC_SHOW_FIRST), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    panel.command(ID_LOG_SHOW_FIRST + 3);  // errors off too
    EXPECT_EQ(rowCount(log), before + 2);
    panel.command(ID_LOG_SHOW_FIRST);
    panel.command(ID_LOG_SHOW_FIRST + 3);
    EXPECT_EQ(rowCount(log), before + 7);

    for (std::size_t i = 0; i < LogView::kCapacity + 10; ++i) fire(panel.sink(), 1, {textArg(L"filler")});
    panel.settle();
    EXPECT_EQ(rowCount(log), static_cast<int>(LogView::kCapacity));
}

// Catches the dialog's geometry or mount choice getting lost on the way to the server.
TEST_F(PanelTest, NewImageDialogMakesAndMountsTheImage) {
    PanelThread panel({});
    select(panel, 6);
    const std::wstring path = std::filesystem::absolute(dir.path("new.atr")).wstring();
    std::function<void()> openDialog = [&] { SendMessageW(panel.window(), WM_COMMAND, ID_FILE_NEW_IMAGE, 0); };
    Event closed;
    panel.post(&openDialog, closed.get());
    const HWND dialog = panel.waitForDialog();
    EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_NEW_MOUNT, CB_GETCURSEL, 0, 0), 6) << "the empty drive selected";
    SetDlgItemTextW(dialog, IDC_NEW_PATH, path.c_str());
    SendDlgItemMessageW(dialog, IDC_NEW_CUSTOM, BM_CLICK, 0, 0);
    SetDlgItemTextW(dialog, IDC_NEW_COUNT, L"1000");
    SetDlgItemTextW(dialog, IDC_NEW_SIZE, L"256");
    SendDlgItemMessageW(dialog, IDOK, BM_CLICK, 0, 0);
    waitOrDie(closed.get(), "the dialog's end");

    EXPECT_EQ(pathIn(6), path);
    LONG sectors = 0, size = 0;
    EXPECT_EQ(checker->get_diskSectorCount(6, &sectors), S_OK);
    EXPECT_EQ(checker->get_diskSectorSize(6, &size), S_OK);
    EXPECT_EQ(sectors, 1000);
    EXPECT_EQ(size, 256);
}

// Catches a dead server going unnoticed or hanging the window. Last: under Wine the dead
// server's class stays registered with the prefix's COM service until the prefix's Wine server
// ends, so no Shell can be created after it (nor a reconnection shown here).
TEST_F(PanelTest, ServerDeathIsShownWithReconnectOffered) {
    const std::wstring a = image("a.atr");
    PanelThread panel({});
    drop(panel, 4, {a});
    ASSERT_EQ(pathIn(4), a);
    const std::wstring errorsBefore = statusPart(panel.control(IDC_STATUS_BAR), 1);

    checker.reset();
    killServersWeStarted();
    panel.command(ID_EMULATION_STOP);  // a call that finds the server gone
    EXPECT_EQ(windowText(panel.control(IDC_STATE)), L"The server has gone: reconnect");
    EXPECT_EQ(windowText(panel.control(IDC_START_STOP)), L"&Reconnect");
    EXPECT_NE(statusPart(panel.control(IDC_STATUS_BAR), 1), errorsBefore) << "the log says so";
    EXPECT_EQ(listText(panel.control(IDC_DRIVES), 3, 1), L"a.atr") << "the rows keep what to mount again";
}

// Registers the server for the whole program and removes it afterwards.
class Registration : public ::testing::Environment {
public:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(runToEnd(serverPath, L"/RegServer"), 0u);
    }
    void TearDown() override {
        EXPECT_EQ(runToEnd(serverPath, L"/UnregServer"), 0u);
        CoUninitialize();
    }
};

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::printf("usage: panel_tests VANDREL.EXE\n");
        return 2;
    }
    serverPath = std::filesystem::absolute(argv[1]).wstring();
    ::testing::AddGlobalTestEnvironment(new Registration);
    return RUN_ALL_TESTS();
}
