#include "wine_host.h"

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace rig {

namespace {

std::string nameOf(const std::string& entry)
{
    return entry.substr(0, entry.find('='));
}

bool contains(const std::vector<std::string>& names, const std::string& name)
{
    for (const auto& n : names)
        if (n == name)
            return true;
    return false;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string trim(const std::string& s)
{
    const char* space = " \t\r\n";
    auto first = s.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::string portsKey() { return "HKLM\\Software\\Wine\\Ports"; }

}  // namespace

// --- ChildProcess ---

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& setEnv,
                           const std::vector<std::string>& unsetEnv,
                           const std::string& stdoutPath, const std::string& stderrPath,
                           Input input)
{
    std::vector<std::string> names;
    for (const auto& e : setEnv)
        names.push_back(nameOf(e));
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string name = nameOf(*e);
        if (!contains(names, name) && !contains(unsetEnv, name))
            env.emplace_back(*e);
    }
    env.insert(env.end(), setEnv.begin(), setEnv.end());

    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    // Both ends close on exec; the child gets its end as descriptor 0, which dup2 leaves open.
    int pipeEnds[2] = {-1, -1};
    if (input == Input::Pipe && pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input == Input::Pipe)
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int error = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (input == Input::Pipe) {
        ::close(pipeEnds[0]);
        input_ = pipeEnds[1];
    }
    if (error != 0) {
        pid_ = -1;
        closeInput();
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
}

ChildProcess::~ChildProcess()
{
    closeInput();
    kill();
}

bool ChildProcess::sendInput(const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (input_ >= 0 && size > 0) {
        ssize_t n = ::write(input_, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return input_ >= 0;
}

void ChildProcess::closeInput()
{
    if (input_ >= 0)
        ::close(input_);
    input_ = -1;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = status;
            break;
        }
        if (r < 0 && errno != EINTR) {
            reaped_ = true;  // not ours to wait for any more; nothing left to stop
            status_ = -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        const timespec step{0, 1'000'000};
        nanosleep(&step, nullptr);
    }
    return true;
}

int ChildProcess::exitCode() const
{
    if (!reaped_ || status_ == -1 || !WIFEXITED(status_))
        return -1;
    return WEXITSTATUS(status_);
}

std::string ChildProcess::status() const
{
    if (!reaped_)
        return "still running";
    if (status_ == -1)
        return "lost (not a child any more)";
    if (WIFEXITED(status_))
        return "exit code " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_))
        return "killed by signal " + std::to_string(WTERMSIG(status_));
    return "status " + std::to_string(status_);
}

void ChildProcess::kill()
{
    if (pid_ <= 0 || reaped_)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = status;
}

// --- Wine ---

std::vector<std::string> wineEnvironment(const WineSetup& setup)
{
    std::vector<std::string> env{"WINEPREFIX=" + setup.prefix, "WINEDEBUG=-all",
                                 "WINEDLLOVERRIDES=mscoree,mshtml="};
    if (!setup.display.empty()) env.push_back("DISPLAY=" + setup.display);
    return env;
}

std::vector<std::string> wineUnsetEnvironment()
{
    return {"DISPLAY", "WAYLAND_DISPLAY"};
}

void prepareWinePrefix(const WineSetup& setup, const std::string& wineSh)
{
    ChildProcess child({"/bin/sh", wineSh, setup.prefix, "setup"}, {}, {},
                       setup.logDir + "/wine-setup.out", setup.logDir + "/wine-setup.err");
    if (!child.wait(std::chrono::minutes(5)) || child.exitCode() != 0)
        throw std::runtime_error(wineSh + " setup failed: " + child.status() + " (see " +
                                 setup.logDir + "/wine-setup.err)");
}

ProgramLoader loaderFor(const WineSetup& setup, const std::string& program,
                        const std::string& shim, const std::string& shim32)
{
    if (!std::filesystem::exists(shim))
        throw std::runtime_error("no modem-line shim at " + shim);
    if (peMachine(program) != 0x014c)
        return {setup.wine64, shim, {}};
    bool runs = false;
    try {
        ChildProcess check({setup.wine32, "--version"}, {}, {}, "/dev/null", "/dev/null");
        runs = check.wait(std::chrono::seconds(20)) && check.exitCode() == 0;
    } catch (const std::runtime_error&) {
        // "Exec format error": the kernel cannot run the 32-bit loader at all
    }
    if (!runs)
        return {{}, {}, "this machine cannot run 32-bit programs (no IA-32 execution)"};
    if (shim32.empty() || !std::filesystem::exists(shim32))
        return {{}, {}, "no 32-bit build of the modem-line shim (the host compiler cannot link "
                        "32-bit code)"};
    return {setup.wine32, shim32 + ":" + shim, {}};
}

int runWine(const WineSetup& setup, const std::vector<std::string>& args,
            const std::string& stdoutPath)
{
    return runWine(setup, setup.wine64, args, stdoutPath);
}

int runWine(const WineSetup& setup, const std::string& loader, const std::vector<std::string>& args,
            const std::string& stdoutPath)
{
    std::vector<std::string> argv{loader};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, wineEnvironment(setup), wineUnsetEnvironment(), stdoutPath,
                       stdoutPath + ".err");
    if (!child.wait(setup.timeout)) {
        child.kill();
        return -1;
    }
    return child.exitCode();
}

std::string windowsPath(const std::string& unixPath)
{
    std::string path = "Z:" + std::filesystem::absolute(unixPath).lexically_normal().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

ServerRegistration::ServerRegistration(const WineSetup& setup, const std::string& loader,
                                       const std::string& server)
    : setup_(setup), loader_(loader), server_(server)
{
    const int code = runWine(setup_, loader_, {server_, "/RegServer"}, setup_.logDir + "/regserver.out");
    if (code != 0)
        throw std::runtime_error(server_ + " /RegServer ended with " + std::to_string(code));
}

ServerRegistration::~ServerRegistration()
{
    const int code =
        runWine(setup_, loader_, {server_, "/UnregServer"}, setup_.logDir + "/unregserver.out");
    if (code != 0)
        std::printf("warning: %s /UnregServer ended with %d\n", server_.c_str(), code);
}

bool waitForServerExit(const WineSetup& setup, std::chrono::seconds timeout)
{
    ChildProcess child({setup.wineserver, "-w"}, wineEnvironment(setup), wineUnsetEnvironment(),
                       "/dev/null", "/dev/null");
    if (!child.wait(timeout)) {
        child.kill();  // the waiting client only; the server is left to its owner
        return false;
    }
    return true;
}

unsigned peMachine(const std::string& program)
{
    std::ifstream in(program, std::ios::binary);
    unsigned char b[4] = {};
    if (!in.seekg(0x3c).read(reinterpret_cast<char*>(b), 4))
        return 0;
    std::uint32_t pe = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    unsigned char sig[6] = {};
    if (!in.seekg(pe).read(reinterpret_cast<char*>(sig), 6) || std::memcmp(sig, "PE\0\0", 4) != 0)
        return 0;
    return sig[4] | sig[5] << 8;
}

std::optional<std::string> comPortSetting(const WineSetup& setup, unsigned port)
{
    const std::string name = "COM" + std::to_string(port);
    const std::string out = setup.logDir + "/reg-query-" + name + ".txt";
    int code = runWine(setup, {"reg", "query", portsKey(), "/v", name}, out);
    if (code < 0)
        throw std::runtime_error("wine reg query did not finish within " +
                                 std::to_string(setup.timeout.count()) + " s");
    if (code != 0)
        return std::nullopt;
    // "    COM5    REG_SZ    /dev/pts/3"
    std::istringstream lines(readText(out));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string value, type;
        words >> value >> type;
        if (value == name && type == "REG_SZ") {
            auto at = line.find("REG_SZ") + 6;
            return trim(line.substr(at));
        }
    }
    return std::nullopt;
}

std::string comPortLink(const WineSetup& setup, unsigned port)
{
    const std::string link = setup.prefix + "/dosdevices/com" + std::to_string(port);
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return {};
    return std::string(target, static_cast<std::size_t>(n));
}

// --- ComPortMapping ---

namespace {

bool sameDevice(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && S_ISCHR(sa.st_mode) &&
           S_ISCHR(sb.st_mode) && sa.st_rdev == sb.st_rdev;
}

bool setPort(const WineSetup& setup, const std::string& name, const std::optional<std::string>& value)
{
    const std::string out = setup.logDir + "/reg-set-" + name + ".txt";
    if (value)
        return runWine(setup, {"reg", "add", portsKey(), "/v", name, "/t", "REG_SZ", "/d", *value, "/f"},
                       out) == 0;
    return runWine(setup, {"reg", "delete", portsKey(), "/v", name, "/f"}, out) == 0;
}

std::string linkPath(const WineSetup& setup, unsigned port)
{
    return setup.prefix + "/dosdevices/com" + std::to_string(port);
}

// Points dosdevices/comN at target in one step (or removes it), as Wine's mount manager does
// from the registry when the server starts.
bool setLink(const WineSetup& setup, unsigned port, const std::optional<std::string>& target)
{
    const std::string link = linkPath(setup, port);
    if (!target)
        return ::unlink(link.c_str()) == 0 || errno == ENOENT;
    const std::string tmp = link + ".rig";
    ::unlink(tmp.c_str());
    return symlink(target->c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), link.c_str()) == 0;
}

}  // namespace

ComPortMapping::ComPortMapping(const WineSetup& setup, unsigned port, const std::string& device)
    : setup_(setup), port_(port)
{
    if (port < 1 || port > 9)
        throw std::invalid_argument("COM ports 1 to 9 only");
    if (port == 1)
        throw std::invalid_argument("COM1 is this machine's console; use COM5 to COM9");
    const std::string name = portName();
    previous_ = comPortSetting(setup_, port_);
    try {
        // Wine opens COMn through dosdevices/comN, which its mount manager makes from the
        // registry when the server starts. Both are set: the link takes effect at once, the
        // registry keeps it across a restart of the server.
        if (!setPort(setup_, name, device))
            throw std::runtime_error("wine reg add " + name + " failed (see " + setup_.logDir + ")");
        if (!setLink(setup_, port_, device))
            throw std::runtime_error("cannot link " + linkPath(setup_, port_) + ": " +
                                     std::strerror(errno));
        if (!leadsTo(device)) {
            // A server that started meanwhile may have linked the old value: restart it so
            // that the mount manager links the new one.
            if (!waitForServerExit(setup_, setup_.timeout))
                throw std::runtime_error("the Wine server of " + setup_.prefix +
                                         " is still running after " +
                                         std::to_string(setup_.timeout.count()) +
                                         " s (other Wine programs in the prefix?)");
            if (!leadsTo(device))
                throw std::runtime_error("refusing to go on: " + mismatch_);
        }
    } catch (...) {
        restore();
        throw;
    }
}

// Reads the mapping back: the registry through Wine, then the link (after Wine has run, so a
// mount manager that started with it has done its work).
bool ComPortMapping::leadsTo(const std::string& device)
{
    const std::string name = portName();
    auto setting = comPortSetting(setup_, port_);
    if (!setting || *setting != device) {
        mismatch_ = name + " is set to '" + setting.value_or("(nothing)") + "', not " + device;
        return false;
    }
    const std::string link = comPortLink(setup_, port_);
    if (link != device) {
        mismatch_ = "dosdevices/com" + std::to_string(port_) + " leads to '" + link + "', not " + device;
        return false;
    }
    if (!sameDevice(linkPath(setup_, port_), device)) {
        mismatch_ = "dosdevices/com" + std::to_string(port_) + " does not reach the character device " +
                    device;
        return false;
    }
    return true;
}

ComPortMapping::~ComPortMapping()
{
    restore();
}

void ComPortMapping::restore()
{
    const std::string name = portName();
    if (!setPort(setup_, name, previous_))
        std::cerr << "warning: could not put back " << name << " in " << setup_.prefix << "\n";
    // The link goes back at once too, so that nothing opens the released pty through it.
    if (!setLink(setup_, port_, previous_))
        std::cerr << "warning: could not point " << linkPath(setup_, port_) << " back to "
                  << previous_.value_or("(nothing)") << "\n";
}

}  // namespace rig
