// The panel's main window: the drive rows, the port chooser with start and stop, the log and
// the status bar, over one Vandrel.Shell.
//
// Threading: the window lives on one thread, a single-threaded apartment, and every call into
// the server is made from that thread's message handling, short and never while a modal
// dialog of the panel is open (a dialog first yields its answer, then the call is made). The
// server's events reach an EventForwarder, which only queues them and posts kEventsMessage;
// the window takes them from its own message loop. A member that fails shows its Error event
// in the log. A call that cannot reach the server means the server has gone: the panel says
// so and offers to reconnect, which mounts the images it knew again.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "platform/win32/windows_api.h"

#include <shellapi.h>

#include "server/com_support.h"
#include "tools/console/console_options.h"
#include "tools/panel/dpi_scale.h"
#include "tools/panel/drive_list.h"
#include "tools/panel/event_forwarder.h"
#include "tools/panel/gdi_object.h"
#include "tools/panel/log_view.h"
#include "tools/panel/settings_store.h"
#include "tools/panel/shell_link.h"

struct PanelOptions {
    console::Options command;  // the command line, as the console takes it
    std::wstring settingsKey = SettingsStore::kDefaultKey;
};

class PanelWindow {
public:
    static constexpr UINT kEventsMessage = WM_APP + 1;

    // Creates and shows the window, restores the settings, connects to the server and does
    // what the command line asks. The images named on the command line replace the ones
    // remembered; its port replaces the remembered one. nullptr when the window cannot be
    // created. Must be called on the thread that will run the window's message loop, with
    // COM initialised there as a single-threaded apartment.
    static std::unique_ptr<PanelWindow> create(HINSTANCE instance, const PanelOptions& options, int show);
    ~PanelWindow();
    PanelWindow(const PanelWindow&) = delete;
    PanelWindow& operator=(const PanelWindow&) = delete;

    HWND handle() const { return window_; }
    // The window's shortcuts, for the message loop's TranslateAccelerator.
    HACCEL accelerators() const { return accelerators_; }
    // The sink the server calls (a test may play the server through it).
    IDispatch* eventSink() const { return forwarder_.get(); }
    // 0; 3 when the panel never reached the server (as the console's exit codes).
    int exitCode() const { return everConnected_ ? 0 : 3; }

private:
    enum class Run { NoServer, ServerGone, Stopped, Serving, Halted };

    PanelWindow(HINSTANCE instance, const PanelOptions& options);
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    // Building and laying out the window.
    void createControls();
    void applyScale();
    void layout();
    void fillPortChooser();

    // Commands.
    void command(int id, int notification);
    void mountFiles(int firstDrive, const std::vector<std::wstring>& paths);
    void mountRemembered(const std::array<MountSetting, 9>& drives);
    void eject(int drive);
    void toggleReadOnly(int drive);
    void swap(int drive, int otherDrive);
    void newImage();
    void start();
    void stop();
    void choosePort(int port);
    bool connect();
    void remountKnown();
    bool reconnect();
    void copyLog();
    void saveLog();
    void showLogKind(LogKind kind, bool shown);
    void closeWindow();

    // Dragging a row onto another swaps their images.
    void beginDrag(int drive);
    void trackDrag(POINT windowPoint, bool drop);
    void dropFiles(HDROP drop);

    // The server's state as the panel shows it.
    bool connected();
    bool checkCall();
    void refreshDrive(int drive);
    void refreshDrives();
    void checkRunState();
    void showRunState();
    void takeEvents();
    void note(LogKind kind, const std::wstring& text);
    void showCounts();
    void saveSettings();
    int currentDrive() const;
    void initMenu(HMENU menu);

    HINSTANCE instance_;
    PanelOptions options_;
    SettingsStore store_;
    HWND window_ = nullptr;
    HACCEL accelerators_ = nullptr;  // a resource: freed with the module
    ComPtr<EventForwarder> forwarder_;
    std::unique_ptr<ShellLink> link_;
    bool everConnected_ = false;

    DpiScale scale_{96};
    GdiObject<HFONT> font_;
    DriveList drives_;
    LogView log_;
    HWND portLabel_ = nullptr, portBox_ = nullptr, startStop_ = nullptr, state_ = nullptr, statusBar_ = nullptr;
    std::array<HWND, kLogKinds> showBoxes_{};

    std::array<DriveInfo, 9> known_;  // what the rows show: remembered, and mounted again on reconnecting
    int chosenPort_ = 0;              // 0: none yet
    Run run_ = Run::NoServer;
    int servingPort_ = 0;
    std::wstring haltReason_;  // the first error while serving
    std::wstring problem_;     // why there is no server
    unsigned frames_ = 0, errors_ = 0;
    int modal_ = 0;  // a dialog of the panel is open
    int dragFrom_ = 0;
};
