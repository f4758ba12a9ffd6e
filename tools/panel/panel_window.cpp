// The panel's main window: its controls, its commands, and how it follows the server.
#include "panel_window.h"

#include <commctrl.h>
#include <algorithm>

#include "tools/console/event_text.h"
#include "tools/console/wide_text.h"
#include "tools/panel/dropped_files.h"
#include "tools/panel/file_dialogs.h"
#include "tools/panel/global_memory.h"
#include "tools/panel/new_image_dialog.h"
#include "tools/panel/panel_ids.h"
#include "tools/panel/system_ports.h"

namespace {

constexpr wchar_t kClassName[] = L"VandrelPanel";
constexpr wchar_t kTitle[] = L"Vandrel Panel";
constexpr UINT kStartupProblemMessage = WM_APP + 2;
constexpr UINT_PTR kLightTimer = 1, kWatchTimer = 2;
constexpr UINT kLightStepMs = 100, kWatchMs = 1000;
constexpr ULONGLONG kLightMs = 300;  // how long a row stays lit after a command
constexpr int kDrives = DriveList::kDrives;

// Layout, in pixels at 96 DPI.
constexpr int kMargin = 8, kRowHeight = 24, kPortLabelWidth = 36, kPortWidth = 150, kButtonWidth = 96,
              kShowWidth = 104, kStatusCountsWidth = 180, kWidth = 780, kHeight = 640, kMinWidth = 560,
              kMinHeight = 440;

constexpr const wchar_t* kShowTitles[kLogKinds] = {L"&Commands", L"Stat&us", L"Debu&g", L"Err&ors"};

LogKind kindAt(std::size_t index) { return static_cast<LogKind>(index); }

std::wstring timeText(const SYSTEMTIME& t) {
    std::wstring text = console::widen(console::timestampText(t.wHour, t.wMinute, t.wSecond, t.wMilliseconds));
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

std::wstring driveName(int drive) { return L"D" + std::to_wstring(drive) + L":"; }

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

HWND makeControl(HWND parent, HINSTANCE instance, const wchar_t* className, const wchar_t* text, DWORD style, int id) {
    return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace

PanelWindow::PanelWindow(HINSTANCE instance, const PanelOptions& options)
    : instance_(instance), options_(options), store_(options.settingsKey) {}

std::unique_ptr<PanelWindow> PanelWindow::create(HINSTANCE instance, const PanelOptions& options, int show) {
    WNDCLASSEXW c{};
    c.cbSize = sizeof c;
    c.lpfnWndProc = procedure;
    c.hInstance = instance;
    c.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    c.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    c.lpszClassName = kClassName;
    c.lpszMenuName = MAKEINTRESOURCEW(IDR_PANEL_MENU);
    if (!RegisterClassExW(&c) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;

    std::unique_ptr<PanelWindow> w(new PanelWindow(instance, options));
    const PanelSettings saved = w->store_.load();
    w->window_ = CreateWindowExW(WS_EX_ACCEPTFILES | WS_EX_CONTROLPARENT, kClassName, kTitle,
                                 WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, kWidth, kHeight,
                                 nullptr, nullptr, instance, w.get());
    if (!w->window_) return nullptr;
    w->accelerators_ = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_PANEL_ACCELERATORS));
    w->forwarder_ = ComPtr<EventForwarder>::adopt(new EventForwarder(w->window_, kEventsMessage, options.command.raw));

    if (saved.placement) {
        WINDOWPLACEMENT p = *saved.placement;
        p.showCmd = p.showCmd == SW_SHOWMAXIMIZED ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
        SetWindowPlacement(w->window_, &p);
    } else {
        const DpiScale scale(DpiScale::of(w->window_));
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(w->window_, MONITOR_DEFAULTTONEAREST), &monitor);
        const RECT& work = monitor.rcWork;
        SetWindowPos(w->window_, nullptr, 0, 0, std::min(scale(kWidth), static_cast<int>(work.right - work.left)),
                     std::min(scale(kHeight), static_cast<int>(work.bottom - work.top)), SWP_NOMOVE | SWP_NOZORDER);
        ShowWindow(w->window_, show);
    }
    UpdateWindow(w->window_);

    // The images named on the command line, or else those remembered.
    const console::Options& command = options.command;
    if (command.mounts.empty()) {
        for (int d = 1; d <= kDrives; ++d) {
            const MountSetting& m = saved.drives[static_cast<std::size_t>(d - 1)];
            w->known_[static_cast<std::size_t>(d - 1)] = DriveInfo{m.path, m.readOnly, 0, 0};
        }
    }
    for (const console::Mount& m : command.mounts)
        w->known_[static_cast<std::size_t>(m.drive - 1)] = DriveInfo{console::widen(m.path), m.readOnly, 0, 0};
    for (int d = 1; d <= kDrives; ++d) w->drives_.show(d, w->known_[static_cast<std::size_t>(d - 1)]);
    w->chosenPort_ = command.port ? command.port : saved.port;
    w->fillPortChooser();

    if (w->connect()) {
        for (const console::Creation& c : command.creations) {
            const std::size_t mark = w->forwarder_->errors().mark();
            w->link_->create(console::widen(c.path), c.geometry.sectors, c.geometry.sectorSize);
            if (!w->checkCall()) break;
            if (!w->forwarder_->errors().since(mark, console::CallErrors::kCreate))
                w->note(LogKind::Status, L"created " + console::widen(c.path));
        }
        w->remountKnown();
        if (command.start && w->link_) w->start();
    } else {
        PostMessageW(w->window_, kStartupProblemMessage, 0, 0);
    }
    w->saveSettings();
    SetTimer(w->window_, kWatchTimer, kWatchMs, nullptr);
    return w;
}

PanelWindow::~PanelWindow() {
    link_.reset();
    if (forwarder_) forwarder_->detach();
    if (window_) DestroyWindow(window_);
}

LRESULT CALLBACK PanelWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<PanelWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<PanelWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->window_ = nullptr;
        PostQuitMessage(0);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT PanelWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        createControls();
        return 0;
    case WM_SIZE:
        SendMessageW(statusBar_, WM_SIZE, 0, 0);
        layout();
        return 0;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = {scale_(kMinWidth), scale_(kMinHeight)};
        return 0;
    }
    case WM_DPICHANGED: {
        scale_ = DpiScale(HIWORD(wParam));
        applyScale();
        const RECT* r = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        layout();
        return 0;
    }
    case WM_SETFOCUS:
        SetFocus(drives_.handle());
        return 0;
    case WM_COMMAND:
        command(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_INITMENUPOPUP:
        initMenu(GetMenu(window_));
        return 0;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->hwndFrom == drives_.handle()) {
            if (header->code == LVN_BEGINDRAG) beginDrag(reinterpret_cast<NMLISTVIEW*>(lParam)->iItem + 1);
            if (header->code == NM_DBLCLK) command(ID_DRIVE_MOUNT, 0);
            if (auto answer = drives_.notify(header)) return *answer;
        } else if (header->hwndFrom == log_.handle()) {
            if (auto answer = log_.notify(header)) return *answer;
        }
        return 0;
    }
    case WM_DROPFILES:
        dropFiles(reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP:
        if (dragFrom_) trackDrag({static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))},
                                 message == WM_LBUTTONUP);
        return 0;
    case WM_CAPTURECHANGED:
        dragFrom_ = 0;
        drives_.setDropTarget(0);
        return 0;
    case WM_TIMER:
        if (wParam == kLightTimer && !drives_.expireLights(GetTickCount64())) KillTimer(window_, kLightTimer);
        // Never inside a call that is out (COM pumps messages meanwhile) or under a dialog.
        if (wParam == kWatchTimer && link_ && !link_->busy() && !modal_) checkRunState();
        return 0;
    case kEventsMessage:
        takeEvents();
        return 0;
    case kStartupProblemMessage:
        ++modal_;
        MessageBoxW(window_, problem_.c_str(), kTitle, MB_OK | MB_ICONERROR);
        --modal_;
        return 0;
    case WM_CLOSE:
        closeWindow();
        return 0;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

// --- Building and laying out

void PanelWindow::createControls() {
    scale_ = DpiScale(DpiScale::of(window_));
    portLabel_ = makeControl(window_, instance_, WC_STATICW, L"&Port:", SS_CENTERIMAGE, -1);
    portBox_ = makeControl(window_, instance_, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, IDC_PORT);
    startStop_ = makeControl(window_, instance_, WC_BUTTONW, L"&Start", BS_PUSHBUTTON | WS_TABSTOP, IDC_START_STOP);
    state_ = makeControl(window_, instance_, WC_STATICW, L"", SS_CENTERIMAGE | SS_ENDELLIPSIS | SS_NOPREFIX, IDC_STATE);
    drives_.create(window_, IDC_DRIVES, instance_, scale_);
    for (std::size_t k = 0; k < kLogKinds; ++k) {
        showBoxes_[k] = makeControl(window_, instance_, WC_BUTTONW, kShowTitles[k], BS_AUTOCHECKBOX | WS_TABSTOP,
                                    IDC_SHOW_FIRST + static_cast<int>(k));
        SendMessageW(showBoxes_[k], BM_SETCHECK, BST_CHECKED, 0);
    }
    log_.create(window_, IDC_LOG, instance_, scale_);
    statusBar_ = makeControl(window_, instance_, STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, IDC_STATUS_BAR);
    applyScale();
    showCounts();
    showRunState();
    drives_.select(1);
}

void PanelWindow::applyScale() {
    GdiObject<HFONT> font = scale_.messageFont();
    for (HWND control : {portLabel_, portBox_, startStop_, state_, drives_.handle(), log_.handle(), statusBar_})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    for (HWND box : showBoxes_) SendMessageW(box, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    font_ = std::move(font);  // the old font goes only now that no control uses it
    drives_.setScale(scale_);
    log_.setScale(scale_);
    const int parts[] = {scale_(kStatusCountsWidth), -1};
    SendMessageW(statusBar_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
}

void PanelWindow::layout() {
    RECT client{}, bar{};
    GetClientRect(window_, &client);
    GetWindowRect(statusBar_, &bar);
    const int margin = scale_(kMargin), row = scale_(kRowHeight), width = client.right - 2 * margin;
    int x = margin, y = margin;
    MoveWindow(portLabel_, x, y, scale_(kPortLabelWidth), row, TRUE);
    x += scale_(kPortLabelWidth);
    MoveWindow(portBox_, x, y, scale_(kPortWidth), scale_(240), TRUE);
    x += scale_(kPortWidth) + margin;
    MoveWindow(startStop_, x, y, scale_(kButtonWidth), row, TRUE);
    x += scale_(kButtonWidth) + margin;
    MoveWindow(state_, x, y, std::max(0, static_cast<int>(client.right) - margin - x), row, TRUE);
    y += row + margin;
    const int drivesHeight = drives_.fullHeight();
    MoveWindow(drives_.handle(), margin, y, width, drivesHeight, TRUE);
    y += drivesHeight + margin;
    for (std::size_t k = 0; k < kLogKinds; ++k)
        MoveWindow(showBoxes_[k], margin + static_cast<int>(k) * scale_(kShowWidth), y, scale_(kShowWidth), row, TRUE);
    y += row + scale_(2);
    const int logBottom = static_cast<int>(client.bottom - (bar.bottom - bar.top)) - margin;
    MoveWindow(log_.handle(), margin, y, width, std::max(0, logBottom - y), TRUE);
    drives_.fit();
    log_.fit();
}

void PanelWindow::fillPortChooser() {
    const std::array<bool, 10> listed = SystemPorts::listed();
    SendMessageW(portBox_, CB_RESETCONTENT, 0, 0);
    for (int p = 1; p <= 9; ++p) {
        const std::wstring name = L"COM" + std::to_wstring(p) + (listed[static_cast<std::size_t>(p)] ? L"" : L" (absent)");
        SendMessageW(portBox_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    SendMessageW(portBox_, CB_SETCURSEL, static_cast<WPARAM>(chosenPort_ - 1), 0);
}

// --- Commands

int PanelWindow::currentDrive() const { return drives_.selectedDrive(); }

void PanelWindow::command(int id, int notification) {
    if (id == IDC_PORT) {
        if (notification == CBN_SELCHANGE)
            choosePort(static_cast<int>(SendMessageW(portBox_, CB_GETCURSEL, 0, 0)) + 1);
        return;
    }
    if (id >= IDC_SHOW_FIRST && id < IDC_SHOW_FIRST + static_cast<int>(kLogKinds)) {
        const std::size_t k = static_cast<std::size_t>(id - IDC_SHOW_FIRST);
        showLogKind(kindAt(k), SendMessageW(showBoxes_[k], BM_GETCHECK, 0, 0) == BST_CHECKED);
        return;
    }
    if (id >= ID_DRIVE_SWAP_FIRST && id < ID_DRIVE_SWAP_FIRST + kDrives) {
        swap(currentDrive(), id - ID_DRIVE_SWAP_FIRST + 1);
        return;
    }
    if (id >= ID_PORT_FIRST && id < ID_PORT_FIRST + 9) {
        choosePort(id - ID_PORT_FIRST + 1);
        return;
    }
    if (id >= ID_LOG_SHOW_FIRST && id < ID_LOG_SHOW_FIRST + static_cast<int>(kLogKinds)) {
        const LogKind kind = kindAt(static_cast<std::size_t>(id - ID_LOG_SHOW_FIRST));
        showLogKind(kind, !log_.shown(kind));
        return;
    }
    switch (id) {
    case ID_FILE_NEW_IMAGE:
        newImage();
        break;
    case ID_FILE_SAVE_LOG:
        saveLog();
        break;
    case ID_FILE_EXIT:
        closeWindow();
        break;
    case ID_DRIVE_MOUNT: {
        std::vector<std::wstring> paths;
        ++modal_;
        paths = FileDialogs::openImages(window_);
        --modal_;
        if (!paths.empty()) mountFiles(currentDrive() ? currentDrive() : 1, paths);
        break;
    }
    case ID_DRIVE_EJECT:
        eject(currentDrive());
        break;
    case ID_DRIVE_READ_ONLY:
        toggleReadOnly(currentDrive());
        break;
    case ID_EMULATION_START:
        start();
        break;
    case ID_EMULATION_STOP:
        stop();
        break;
    case ID_EMULATION_RECONNECT:
        if (!link_) reconnect();
        break;
    case IDC_START_STOP:
        if (run_ == Run::Serving) stop();
        else if (!link_) reconnect();
        else start();
        break;
    case ID_LOG_COPY:
        copyLog();
        break;
    case ID_LOG_CLEAR:
        log_.clear();
        break;
    }
}

void PanelWindow::mountFiles(int firstDrive, const std::vector<std::wstring>& paths) {
    if (!connected()) return;
    int drive = firstDrive;
    for (const std::wstring& path : paths) {
        if (drive > kDrives) {
            note(LogKind::Error, L"no drive left below for " + path);
            continue;
        }
        link_->mount(drive, path, false);
        if (!checkCall()) return;
        refreshDrive(drive++);
        if (!link_) return;
    }
    saveSettings();
}

// Mounts the images the panel knows of (remembered, or held before the server went); one
// whose file is gone is reported and left out.
void PanelWindow::mountRemembered(const std::array<MountSetting, 9>& drives) {
    for (int d = 1; d <= kDrives && link_; ++d) {
        const MountSetting& m = drives[static_cast<std::size_t>(d - 1)];
        if (m.path.empty()) continue;
        if (!fileExists(m.path)) {
            note(LogKind::Error, driveName(d) + L" " + m.path + L" is gone; the drive stays empty");
            continue;
        }
        link_->mount(d, m.path, m.readOnly);
        checkCall();
    }
}

void PanelWindow::eject(int drive) {
    if (!drive || !connected()) return;
    link_->unmount(drive);
    if (!checkCall()) return;
    refreshDrive(drive);
    saveSettings();
}

void PanelWindow::toggleReadOnly(int drive) {
    if (!drive || !connected()) return;
    const DriveInfo& d = known_[static_cast<std::size_t>(drive - 1)];
    if (d.path.empty()) {
        note(LogKind::Error, driveName(drive) + L" holds no image");
        return;
    }
    link_->mount(drive, d.path, !d.readOnly);
    if (!checkCall()) return;
    refreshDrive(drive);
    saveSettings();
}

void PanelWindow::swap(int drive, int otherDrive) {
    if (!drive || drive == otherDrive || !connected()) return;
    link_->swap(drive, otherDrive);
    if (!checkCall()) return;
    refreshDrive(drive);
    refreshDrive(otherDrive);
    drives_.select(otherDrive);  // the selection goes with the image
    saveSettings();
}

void PanelWindow::newImage() {
    const int drive = currentDrive();
    const int suggested = drive && known_[static_cast<std::size_t>(drive - 1)].path.empty() ? drive : 0;
    ++modal_;
    const std::optional<NewImageRequest> r = NewImageDialog::run(window_, instance_, suggested);
    --modal_;
    if (!r || !connected()) return;
    const std::size_t mark = forwarder_->errors().mark();
    link_->create(r->path, r->geometry.sectors, r->geometry.sectorSize);
    // The Error event says why; an error of the bus meanwhile is not the creation's.
    if (!checkCall() || forwarder_->errors().since(mark, console::CallErrors::kCreate)) return;
    note(LogKind::Status, L"created " + r->path + L" (" + std::to_wstring(r->geometry.sectors) + L" x " +
                              std::to_wstring(r->geometry.sectorSize) + L")");
    if (r->mountDrive) mountFiles(r->mountDrive, {r->path});
}

void PanelWindow::start() {
    if (!connected()) return;
    if (!chosenPort_) {
        note(LogKind::Error, L"choose a port first (Emulation > Port)");
        return;
    }
    const std::optional<int> port = link_->port();
    if (!checkCall()) return;
    if (*port != chosenPort_) {
        link_->setPort(chosenPort_);
        if (!checkCall()) return;
    }
    run_ = Run::Stopped;
    haltReason_.clear();
    link_->start();
    if (checkCall()) checkRunState();
}

void PanelWindow::stop() {
    if (!connected()) return;
    link_->stop();
    if (!checkCall()) return;
    run_ = Run::Stopped;
    haltReason_.clear();
    checkRunState();
}

void PanelWindow::choosePort(int port) {
    chosenPort_ = port;
    SendMessageW(portBox_, CB_SETCURSEL, static_cast<WPARAM>(port - 1), 0);
    // A stopped emulation leaves the port closed until it starts; a running one moves to it.
    if (run_ == Run::Serving && link_) {
        link_->setPort(port);
        if (checkCall()) checkRunState();
    }
    saveSettings();
}

bool PanelWindow::connect() {
    std::wstring error;
    link_ = ShellLink::connect(forwarder_.get(), &error);
    if (!link_) {
        problem_ = error;
        run_ = Run::NoServer;
        showRunState();
        note(LogKind::Error, error);
        return false;
    }
    everConnected_ = true;
    problem_.clear();
    run_ = Run::Stopped;
    note(LogKind::Status, L"connected to Vandrel.Shell");
    return true;
}

void PanelWindow::remountKnown() {
    std::array<MountSetting, 9> mounts;
    for (std::size_t i = 0; i < mounts.size(); ++i) mounts[i] = {known_[i].path, known_[i].readOnly};
    mountRemembered(mounts);
    refreshDrives();
    checkRunState();
}

// The images the panel knew are mounted again in the new server.
bool PanelWindow::reconnect() {
    if (!connect()) return false;
    remountKnown();
    saveSettings();
    return link_ != nullptr;
}

void PanelWindow::copyLog() {
    const std::wstring text = log_.copyText();
    GlobalMemory memory(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    if (!memory.valid() || !OpenClipboard(window_)) {
        note(LogKind::Error, L"the log cannot be copied: the clipboard is busy");
        return;
    }
    EmptyClipboard();
    if (SetClipboardData(CF_UNICODETEXT, memory.get())) memory.release();  // the clipboard owns it now
    CloseClipboard();
}

void PanelWindow::saveLog() {
    ++modal_;
    const std::optional<std::wstring> path = FileDialogs::saveLog(window_);
    --modal_;
    if (!path) return;
    if (log_.save(*path)) note(LogKind::Status, L"log saved as " + *path);
    else note(LogKind::Error, L"the log cannot be written to " + *path);
}

void PanelWindow::showLogKind(LogKind kind, bool shown) {
    log_.setShown(kind, shown);
    SendMessageW(showBoxes_[static_cast<std::size_t>(kind)], BM_SETCHECK, shown ? BST_CHECKED : BST_UNCHECKED, 0);
}

void PanelWindow::closeWindow() {
    saveSettings();
    KillTimer(window_, kWatchTimer);
    KillTimer(window_, kLightTimer);
    link_.reset();  // stops the emulation and lets the server go
    forwarder_->detach();
    DestroyWindow(window_);
}

// --- Dragging and dropping

void PanelWindow::beginDrag(int drive) {
    if (drive < 1 || known_[static_cast<std::size_t>(drive - 1)].path.empty()) return;
    dragFrom_ = drive;
    SetCapture(window_);
}

void PanelWindow::trackDrag(POINT windowPoint, bool drop) {
    POINT p = windowPoint;
    MapWindowPoints(window_, drives_.handle(), &p, 1);
    const int target = drives_.driveAt(p);
    if (!drop) {
        drives_.setDropTarget(target != dragFrom_ ? target : 0);
        return;
    }
    const int from = dragFrom_;
    ReleaseCapture();  // ends the drag (WM_CAPTURECHANGED)
    if (target && target != from) swap(from, target);
}

void PanelWindow::dropFiles(HDROP drop) {
    std::vector<std::wstring> paths;
    POINT p{};
    {
        const DroppedFiles files(drop);
        paths = files.paths();
        p = files.point();
    }
    MapWindowPoints(window_, drives_.handle(), &p, 1);
    int first = drives_.driveAt(p);
    if (!first) first = currentDrive() ? currentDrive() : 1;
    mountFiles(first, paths);
}

// --- Following the server

bool PanelWindow::connected() {
    if (link_) return true;
    note(LogKind::Error, L"not connected to the server: Emulation > Reconnect to the server (Ctrl+Shift+R)");
    return false;
}

// After a call: false when it could not reach the server, which has gone then.
bool PanelWindow::checkCall() {
    if (!link_) return false;
    if (link_->alive()) return true;
    link_.reset();
    run_ = Run::ServerGone;
    showRunState();
    note(LogKind::Error, L"the server has gone (its process ended): reconnect with Emulation > Reconnect to the "
                         L"server (Ctrl+Shift+R) or the Reconnect button");
    return false;
}

void PanelWindow::refreshDrive(int drive) {
    if (!link_) return;
    const std::optional<DriveInfo> info = link_->drive(drive);
    if (!checkCall()) return;
    known_[static_cast<std::size_t>(drive - 1)] = *info;
    drives_.show(drive, *info);
}

void PanelWindow::refreshDrives() {
    for (int d = 1; d <= kDrives && link_; ++d) refreshDrive(d);
}

void PanelWindow::checkRunState() {
    if (!link_) return;
    const std::optional<bool> stopped = link_->stopped();
    if (!checkCall()) return;
    if (!*stopped) {
        const std::optional<int> port = link_->port();
        if (!checkCall()) return;
        servingPort_ = *port;
        run_ = Run::Serving;
        haltReason_.clear();  // errors that did not halt it
    } else if (run_ == Run::Serving && !haltReason_.empty()) {
        run_ = Run::Halted;
    } else if (run_ != Run::Halted) {
        run_ = Run::Stopped;
    }
    showRunState();
}

void PanelWindow::showRunState() {
    std::wstring text, button = L"&Start";
    switch (run_) {
    case Run::NoServer:
        text = L"No server: register it (Vandrel.exe /RegServer), then reconnect";
        button = L"&Reconnect";
        break;
    case Run::ServerGone:
        text = L"The server has gone: reconnect";
        button = L"&Reconnect";
        break;
    case Run::Stopped:
        text = L"Stopped";
        break;
    case Run::Serving:
        text = L"Serving COM" + std::to_wstring(servingPort_);
        button = L"S&top";
        break;
    case Run::Halted:
        text = L"Halted: " + haltReason_;
        break;
    }
    SetWindowTextW(state_, text.c_str());
    SetWindowTextW(startStop_, button.c_str());
}

void PanelWindow::takeEvents() {
    bool lit = false, errorWhileServing = false;
    const ULONGLONG now = GetTickCount64();
    for (PanelEvent& e : forwarder_->take()) {
        const std::wstring time = timeText(e.time);
        if (e.kind == LogKind::Command && e.drive) {
            ++frames_;
            drives_.showCommand(e.drive, e.command, time.substr(0, 8));
            drives_.light(e.drive, now + kLightMs);
            lit = true;
        }
        if (e.kind == LogKind::Error) {
            ++errors_;
            if (run_ == Run::Serving) {
                if (haltReason_.empty()) haltReason_ = e.text;
                errorWhileServing = true;
            }
        }
        log_.append({e.kind, time, std::move(e.text)});
    }
    log_.refresh();
    showCounts();
    if (lit) SetTimer(window_, kLightTimer, kLightStepMs, nullptr);
    // An error while serving may have halted the emulation; ask now unless a call is out.
    if (errorWhileServing && link_ && !link_->busy() && !modal_) checkRunState();
}

void PanelWindow::note(LogKind kind, const std::wstring& text) {
    takeEvents();  // what the server said before this comes before it in the log
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (kind == LogKind::Error) ++errors_;
    log_.append({kind, timeText(now), text});
    log_.refresh();
    showCounts();
}

void PanelWindow::showCounts() {
    const std::wstring frames = L"Frames served: " + std::to_wstring(frames_);
    const std::wstring errors = L"Errors: " + std::to_wstring(errors_);
    SendMessageW(statusBar_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(frames.c_str()));
    SendMessageW(statusBar_, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(errors.c_str()));
}

void PanelWindow::saveSettings() {
    PanelSettings s;
    s.port = chosenPort_;
    for (std::size_t i = 0; i < s.drives.size(); ++i) s.drives[i] = {known_[i].path, known_[i].readOnly};
    WINDOWPLACEMENT p{};
    p.length = sizeof p;
    if (GetWindowPlacement(window_, &p)) s.placement = p;
    if (!store_.save(s)) note(LogKind::Error, L"the settings cannot be saved in HKEY_CURRENT_USER\\" + options_.settingsKey);
}

void PanelWindow::initMenu(HMENU menu) {
    for (std::size_t k = 0; k < kLogKinds; ++k)
        CheckMenuItem(menu, ID_LOG_SHOW_FIRST + static_cast<UINT>(k),
                      MF_BYCOMMAND | (log_.shown(kindAt(k)) ? MF_CHECKED : MF_UNCHECKED));
    if (chosenPort_)
        CheckMenuRadioItem(menu, ID_PORT_FIRST, ID_PORT_FIRST + 8, ID_PORT_FIRST + static_cast<UINT>(chosenPort_ - 1),
                           MF_BYCOMMAND);
    const auto enable = [&](UINT id, bool on) { EnableMenuItem(menu, id, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED)); };
    enable(ID_EMULATION_START, link_ && run_ != Run::Serving);
    enable(ID_EMULATION_STOP, link_ && run_ == Run::Serving);
    enable(ID_EMULATION_RECONNECT, !link_);
}
