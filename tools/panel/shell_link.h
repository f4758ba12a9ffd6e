// The panel's hold on one Vandrel.Shell: the object, its event connection, and the calls the
// panel makes. The server answers every member with S_OK and reports what went wrong as Error
// events, so a call that fails here means the server itself is out of reach (its process has
// gone): from then on the link is dead and makes no more calls.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "server/com_support.h"
#include "server/vandrel_idl.h"

struct DriveInfo {
    std::wstring path;  // empty: nothing mounted
    bool readOnly = false;
    long sectors = 0;
    long sectorSize = 0;
};

class ShellLink {
public:
    // Creates the Shell in its local server and connects sink to its events. On failure,
    // nullptr and a message for a person in *error.
    static std::unique_ptr<ShellLink> connect(IDispatch* sink, std::wstring* error);
    // Stops the emulation, disconnects the sink and releases the Shell (only the release
    // when the server is gone).
    ~ShellLink();
    ShellLink(const ShellLink&) = delete;
    ShellLink& operator=(const ShellLink&) = delete;

    // False once a call could not reach the server.
    bool alive() const { return alive_; }
    // True while a call is out: a handler that runs meanwhile (COM pumps messages while it
    // waits) must not start another.
    bool busy() const { return busy_ > 0; }

    // Each false when the server could not be reached.
    bool mount(int drive, const std::wstring& path, bool readOnly);
    bool unmount(int drive);
    bool swap(int drive, int otherDrive);
    bool create(const std::wstring& path, long sectors, long sectorSize);
    bool setPort(int port);
    bool start();
    bool stop();

    // nullopt when the server could not be reached.
    std::optional<DriveInfo> drive(int drive);
    std::optional<bool> stopped();
    std::optional<int> port();

private:
    ShellLink() = default;
    // Makes one call, counting it as out, and marks the link dead when it fails.
    template <typename Call>
    bool call(Call&& c);

    ComPtr<IShell> shell_;
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    bool alive_ = true;
    int busy_ = 0;
};
