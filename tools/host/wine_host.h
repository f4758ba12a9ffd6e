// Running Windows programs under Wine from a native test, and giving one of them a COM port
// that leads to the test's own pseudo-terminal.
//
// Setup failures throw std::runtime_error with a message fit for a test log.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace rig {

// A process this object started and owns. Standard input is /dev/null, or a pipe that this
// object writes to; standard output and error go to files, never to pipes: a Wine server
// started by the child inherits them and would hold a pipe open long after the child is gone
// (an input pipe it inherits does no harm: nobody waits for its end). A child still running
// when the object goes is killed (by its pid, nothing else) and reaped.
class ChildProcess {
public:
    enum class Input { Null, Pipe };

    // argv[0] is the program's path. setEnv holds NAME=value entries that are added to this
    // process's environment or replace what it has; the names in unsetEnv are removed.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& setEnv,
                 const std::vector<std::string>& unsetEnv, const std::string& stdoutPath,
                 const std::string& stderrPath, Input input = Input::Null);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // True once the child has ended, waiting for it up to timeout.
    bool wait(std::chrono::milliseconds timeout);
    bool ended() { return wait(std::chrono::milliseconds(0)); }
    // The exit code, or -1 when it has not ended or was killed by a signal.
    int exitCode() const;
    // "exit code N", "killed by signal N" or "still running".
    std::string status() const;
    // SIGKILL and reap: for a child that overran its time.
    void kill();

    // Writes to the child's standard input (Input::Pipe only). False when it cannot, e.g.
    // because the child has gone (the caller should ignore SIGPIPE).
    bool sendInput(const void* data, std::size_t size);

private:
    void closeInput();

    pid_t pid_ = -1;
    int input_ = -1;  // our end of the child's standard input
    bool reaped_ = false;
    int status_ = 0;
};

// The Wine installation and the prefix the rig works in.
struct WineSetup {
    std::string prefix;
    std::string wine64 = "/usr/lib/wine/wine64";
    std::string wine32 = "/usr/lib/wine/wine";
    std::string wineserver = "/usr/lib/wine/wineserver64";
    std::string logDir;  // where the helper commands' output goes
    std::string display;  // an X display for every Wine process of the rig ("" for none)
    std::chrono::seconds timeout{60};  // bound on every helper command
};

// What every Wine process of the rig runs with, as cmake/wine.sh sets it: the prefix, no
// debug output, no Gecko or Mono installer, and no display unless the setup names one (a
// front end with a window needs it, and so does every other program of the prefix: its
// desktop takes the display of the program that started it).
std::vector<std::string> wineEnvironment(const WineSetup& setup);
std::vector<std::string> wineUnsetEnvironment();

// Creates the prefix (once) with COM1-COM9 mapped safely, through the build's wine.sh, within
// five minutes. Throws when that fails.
void prepareWinePrefix(const WineSetup& setup, const std::string& wineSh);

// How to start a Windows program under Wine with the modem-line shim: the loader of its width
// and the shim for LD_PRELOAD (a 32-bit program gets the 32-bit shim first, then the 64-bit
// one, so that either loader finds its own). When this machine cannot run the program (a
// 32-bit one without IA-32 execution or without a 32-bit shim), skipReason says why.
struct ProgramLoader {
    std::string loader;
    std::string shim;
    std::string skipReason;
};
ProgramLoader loaderFor(const WineSetup& setup, const std::string& program,
                        const std::string& shim, const std::string& shim32);

// Runs a Wine command to its end (e.g. {"reg", "query", ...}); returns its exit code, or -1
// when it overran the setup's timeout and was killed. stdoutPath gets its output.
int runWine(const WineSetup& setup, const std::vector<std::string>& args,
            const std::string& stdoutPath);

// The same with the loader of the program's width (loaderFor), for a Windows program whose
// width is not known in advance: args[0] is the program.
int runWine(const WineSetup& setup, const std::string& loader, const std::vector<std::string>& args,
            const std::string& stdoutPath);

// /a/b -> Z:\a\b: the same file through Wine's Z: drive.
std::string windowsPath(const std::string& unixPath);

// A local server registered in the prefix (its /RegServer) for the life of this object, and
// unregistered (/UnregServer) when it goes; the output of both goes to the setup's logDir.
// Throws when the registration fails.
class ServerRegistration {
public:
    ServerRegistration(const WineSetup& setup, const std::string& loader, const std::string& server);
    ~ServerRegistration();
    ServerRegistration(const ServerRegistration&) = delete;
    ServerRegistration& operator=(const ServerRegistration&) = delete;

private:
    WineSetup setup_;
    std::string loader_;
    std::string server_;
};

// Waits until the prefix's Wine server and all its processes are gone (wineserver -w),
// within timeout. False when they are still there.
bool waitForServerExit(const WineSetup& setup, std::chrono::seconds timeout);

// The PE machine field of a Windows program: 0x014c for x86, 0x8664 for x64, 0 when unknown.
unsigned peMachine(const std::string& program);

// The Wine registry's HKLM\Software\Wine\Ports\COMn, read through `wine reg query`; nullopt
// when there is no such value.
std::optional<std::string> comPortSetting(const WineSetup& setup, unsigned port);
// Where the prefix's dosdevices/comN link leads, "" when there is no link.
std::string comPortLink(const WineSetup& setup, unsigned port);

// COMn of a prefix mapped to a device for the life of this object.
//
// Wine opens COMn through the prefix's dosdevices/comN link, which its mount manager makes
// from HKLM\Software\Wine\Ports when the server starts. The constructor sets both (the
// link takes effect at once, with no restart of a server that other programs may be using),
// reads both back, and refuses to go on (throws) unless both lead to the device. Should a
// server starting meanwhile have linked the old value, it waits for that server to end and
// reads back again. The destructor puts the previous value and link back.
class ComPortMapping {
public:
    ComPortMapping(const WineSetup& setup, unsigned port, const std::string& device);
    ~ComPortMapping();
    ComPortMapping(const ComPortMapping&) = delete;
    ComPortMapping& operator=(const ComPortMapping&) = delete;

    std::string portName() const { return "COM" + std::to_string(port_); }

private:
    bool leadsTo(const std::string& device);
    void restore();

    std::string mismatch_;

    WineSetup setup_;
    unsigned port_;
    std::optional<std::string> previous_;
};

}  // namespace rig
