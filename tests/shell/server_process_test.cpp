// Vandrel.exe as a process: what /RegServer and /UnregServer leave in the registry, how the
// command line is read, and when a serving process ends (under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "server/com_support.h"
#include "server/vandrel_idl.h"
#include "tests/support/temp_dir.h"
#include "tests/support/win32/child_process.h"

namespace {

std::wstring serverPath;  // from the command line

constexpr const wchar_t* kClsidKey = L"CLSID\\{BCE1022D-2DFE-4F00-A073-430B561EB478}";
constexpr const wchar_t* kAppId = L"{DE013181-85F4-4D0D-9144-A0FFDC68B80E}";
constexpr const wchar_t* kClsid = L"{BCE1022D-2DFE-4F00-A073-430B561EB478}";
constexpr const wchar_t* kLibId = L"{C2283C0C-A2C3-4330-843D-0D6785675ACA}";
constexpr const wchar_t* kLibKey = L"TypeLib\\{C2283C0C-A2C3-4330-843D-0D6785675ACA}";
constexpr const wchar_t* kShellInterfaceKey = L"Interface\\{7973C591-39C2-42EC-BD6A-36BD1A982177}";
constexpr const wchar_t* kEventsInterfaceKey = L"Interface\\{C3776EA5-0488-402E-8FBF-CDAC4D680E04}";
constexpr const wchar_t* kPlatform = sizeof(void*) == 8 ? L"win64" : L"win32";

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Runs the server with these arguments to its end; its exit code, or 0xFFFFFFFF.
DWORD run(const std::wstring& arguments, const std::wstring& program = serverPath) {
    return runToEnd(program, arguments);
}

std::optional<std::wstring> readString(const std::wstring& key, const wchar_t* value = nullptr) {
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
    const LONG r = RegQueryValueExW(k, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(k);
    if (r != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    return std::wstring(data);
}

bool keyExists(const std::wstring& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

void createKey(const std::wstring& key) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

std::wstring shortPath(const std::wstring& path) {
    wchar_t out[MAX_PATH] = {};
    const DWORD n = GetShortPathNameW(path.c_str(), out, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(out) : path;
}

// A value as the test expects it: present with exactly this text.
void expectString(const std::wstring& key, const wchar_t* value, const std::wstring& want) {
    const auto got = readString(key, value);
    EXPECT_TRUE(got.has_value()) << "missing: " << std::string(key.begin(), key.end()) << " "
                                 << (value ? std::string(value, value + wcslen(value)) : "(default)");
    if (got) {
        EXPECT_EQ(*got, want) << std::string(key.begin(), key.end());
    }
}

// Every key that registration writes, by name; none of them may survive unregistration.
const std::vector<std::wstring>& writtenKeys() {
    static const std::vector<std::wstring> keys = {
        std::wstring(L"AppID\\") + kAppId, L"AppID\\Vandrel.EXE", L"Vandrel.Shell.1", L"Vandrel.Shell",
        kClsidKey, kLibKey, kShellInterfaceKey, kEventsInterfaceKey};
    return keys;
}

void expectUnregistered() {
    for (const std::wstring& key : writtenKeys())
        EXPECT_FALSE(keyExists(key)) << "left behind: " << std::string(key.begin(), key.end());
    EXPECT_TRUE(keyExists(L"AppID")) << "a kept key";
    EXPECT_TRUE(keyExists(L"CLSID")) << "a kept key";
}

class Registry : public ::testing::Test {
protected:
    void TearDown() override { run(L"/UnregServer"); }
};

// Everything both registration scripts and the type library registration write, with the
// program's own short path; then unregistration removes all but the kept keys.
TEST_F(Registry, RegisterWritesEveryEntryAndUnregisterRemovesThem) {
    ASSERT_EQ(run(L"/UnregServer"), 0u);
    ASSERT_EQ(run(L"/UnregServer"), 0u) << "unregistering a clean machine still exits 0";
    expectUnregistered();

    ASSERT_EQ(run(L"/RegServer"), 0u);
    expectString(std::wstring(L"AppID\\") + kAppId, nullptr, L"Vandrel");
    expectString(L"AppID\\Vandrel.EXE", L"AppID", kAppId);
    expectString(L"Vandrel.Shell.1", nullptr, L"Shell Class");
    expectString(L"Vandrel.Shell.1\\CLSID", nullptr, kClsid);
    expectString(L"Vandrel.Shell", nullptr, L"Shell Class");
    expectString(L"Vandrel.Shell\\CLSID", nullptr, kClsid);
    expectString(L"Vandrel.Shell\\CurVer", nullptr, L"Vandrel.Shell.1");
    const std::wstring clsid = kClsidKey;
    expectString(clsid, nullptr, L"Shell Class");
    expectString(clsid, L"AppID", kAppId);
    expectString(clsid + L"\\ProgID", nullptr, L"Vandrel.Shell.1");
    expectString(clsid + L"\\VersionIndependentProgID", nullptr, L"Vandrel.Shell");
    EXPECT_TRUE(keyExists(clsid + L"\\Programmable"));
    expectString(clsid + L"\\LocalServer32", nullptr, shortPath(serverPath));
    expectString(clsid + L"\\TypeLib", nullptr, kLibId);
    EXPECT_FALSE(readString(clsid + L"\\LocalServer32", L"ThreadingModel")) << "no threading model";

    // The type library: the system's registration under the library's own locale, and ours
    // under locale 0 where Wine's marshaler looks.
    const std::wstring lib = std::wstring(kLibKey) + L"\\1.0";
    expectString(lib, nullptr, L"Vandrel");
    expectString(lib + L"\\0\\" + kPlatform, nullptr, serverPath);
    expectString(lib + L"\\409\\win32", nullptr, serverPath);  // the library's own platform
    EXPECT_TRUE(readString(lib + L"\\FLAGS").has_value());
    EXPECT_TRUE(readString(lib + L"\\HELPDIR").has_value());
    const std::wstring iface = kShellInterfaceKey;
    expectString(iface, nullptr, L"IShell");
    expectString(iface + L"\\ProxyStubClsid32", nullptr, L"{00020424-0000-0000-C000-000000000046}");
    expectString(iface + L"\\TypeLib", nullptr, kLibId);
    expectString(iface + L"\\TypeLib", L"Version", L"1.0");
    // Events reach clients through the dispatch marshaler.
    expectString(std::wstring(kEventsInterfaceKey) + L"\\ProxyStubClsid32", nullptr,
                 L"{00020420-0000-0000-C000-000000000046}");

    // The ProgID leads to the class, as a script front end finds it.
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(L"Vandrel.Shell", &found), S_OK);
    EXPECT_TRUE(IsEqualCLSID(found, CLSID_Shell));

    ASSERT_EQ(run(L"/UnregServer"), 0u);
    expectUnregistered();
}

// Registration replaces the class key with everything below it; unregistration keeps a key
// that still holds a subkey the scripts do not name, but removes what the scripts wrote.
TEST_F(Registry, ReplacedAndSurvivingKeys) {
    ASSERT_EQ(run(L"/RegServer"), 0u);
    const std::wstring stale = std::wstring(kClsidKey) + L"\\Stale";
    createKey(stale);
    ASSERT_TRUE(keyExists(stale));
    ASSERT_EQ(run(L"/RegServer"), 0u);
    EXPECT_FALSE(keyExists(stale)) << "the class key is replaced as a whole";
    expectString(kClsidKey, nullptr, L"Shell Class");

    createKey(L"Vandrel.Shell\\Extra");
    ASSERT_EQ(run(L"/UnregServer"), 0u);
    EXPECT_TRUE(keyExists(L"Vandrel.Shell\\Extra"));
    EXPECT_FALSE(keyExists(L"Vandrel.Shell\\CLSID"));
    EXPECT_FALSE(keyExists(L"Vandrel.Shell\\CurVer"));
    EXPECT_FALSE(readString(L"Vandrel.Shell").has_value()) << "its own default value goes";
    EXPECT_FALSE(keyExists(L"Vandrel.Shell.1"));
    EXPECT_FALSE(keyExists(kClsidKey));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Vandrel.Shell");
}

// --- the command line

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(run(L"/UnregServer"), 0u); }
    void TearDown() override { run(L"/UnregServer"); }
    static bool registered() { return keyExists(kClsidKey); }
};

// The switch is found in any spelling and case with either separator, and only when it runs
// to the end of the line; with two switches the last one wins.
TEST_F(CommandLine, SwitchesAtTheEndOfTheLine) {
    for (const wchar_t* line : {L"/RegServer", L"-regserver", L"/REGSERVER", L"/UnregServer /RegServer"}) {
        SCOPED_TRACE(std::string(line, line + wcslen(line)));
        ASSERT_EQ(run(L"/UnregServer"), 0u);
        ASSERT_FALSE(registered());
        EXPECT_EQ(run(line), 0u);
        EXPECT_TRUE(registered());
    }
    for (const wchar_t* line : {L"-unregserver", L"/RegServer /UnregServer"}) {
        SCOPED_TRACE(std::string(line, line + wcslen(line)));
        ASSERT_EQ(run(L"/RegServer"), 0u);
        EXPECT_EQ(run(line), 0u);
        EXPECT_FALSE(registered());
    }
}

// A path with "-" and "/" in it, from where the scan starts, does not hide the switch; the
// copy registers its own path.
TEST_F(CommandLine, SeparatorsInTheProgramPath) {
    TempDir dir;  // its name has a "-" in it
    const std::string narrow = dir.path("with-dash");
    std::wstring folder(narrow.begin(), narrow.end());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring copy = folder + L"\\Vandrel.exe";
    ASSERT_TRUE(CopyFileW(serverPath.c_str(), copy.c_str(), FALSE));
    std::wstring slashed = copy;
    for (wchar_t& c : slashed)
        if (c == L'\\') c = L'/';
    EXPECT_EQ(run(L"/RegServer", slashed), 0u);
    EXPECT_EQ(readString(std::wstring(kClsidKey) + L"\\LocalServer32"), shortPath(copy));
    EXPECT_EQ(run(L"-UnregServer", copy), 0u);
    EXPECT_FALSE(registered());
}

// Anything after the switch, or another switch, makes the program serve: it writes nothing,
// takes clients, and ends by itself once its one object has come and gone.
TEST_F(CommandLine, OtherLinesServe) {
    for (const wchar_t* line : {L"/RegServer x", L"-Embedding"}) {
        SCOPED_TRACE(std::string(line, line + wcslen(line)));
        ASSERT_EQ(run(L"/RegServer"), 0u);  // so that clients find the class
        const std::wstring probe = std::wstring(kClsidKey) + L"\\Probe";
        createKey(probe);
        const auto started = Clock::now();
        ChildProcess server(serverPath, line);
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(server.servingWithin(30000));
        std::printf("serving after %.2f s\n", secondsSince(started));
        EXPECT_TRUE(keyExists(probe)) << "registration would have replaced the class key";
        {
            ComPtr<IShell> shell;
            ASSERT_EQ(CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                       reinterpret_cast<void**>(shell.put())),
                      S_OK);
            VARIANT_BOOL stopped = 0;
            EXPECT_EQ(shell->get_isStopped(&stopped), S_OK);
        }
        EXPECT_TRUE(server.endsWithin(30000)) << "this process served the object";
        EXPECT_EQ(server.exitCode(), 0u);
        EXPECT_TRUE(keyExists(probe));
        RegDeleteTreeW(HKEY_CLASSES_ROOT, probe.c_str());  // else unregistration keeps the class key
    }
}

// --- lifetime

class Lifetime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(run(L"/RegServer"), 0u); }
    void TearDown() override { run(L"/UnregServer"); }

    static ComPtr<IShell> create() {
        ComPtr<IShell> shell;
        EXPECT_EQ(CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                   reinterpret_cast<void**>(shell.put())),
                  S_OK);
        return shell;
    }
};

// The server ends about 6 s (5 s idle, 1 s pause) after its last object is released.
TEST_F(Lifetime, EndsAfterTheLastRelease) {
    ChildProcess server(serverPath, L"-Embedding");
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.servingWithin(30000));
    ComPtr<IShell> first = create();
    ComPtr<IShell> second = create();
    ASSERT_TRUE(first && second);
    first.reset();
    EXPECT_FALSE(server.endsWithin(7000)) << "a Shell is still alive";
    second.reset();
    const auto released = Clock::now();
    ASSERT_TRUE(server.endsWithin(30000));
    const double seconds = secondsSince(released);
    std::printf("ended %.2f s after the last release\n", seconds);
    EXPECT_GE(seconds, 5.0);
    EXPECT_LE(seconds, 30.0);
    EXPECT_EQ(server.exitCode(), 0u);
}

// A Shell created within the idle period keeps the same process serving; it ends once that
// one is released too.
TEST_F(Lifetime, NewShellWithinTheIdlePeriodKeepsTheServer) {
    ChildProcess server(serverPath, L"-Embedding");
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.servingWithin(30000));
    create().reset();
    const auto released = Clock::now();
    ComPtr<IShell> again = create();
    const double gap = secondsSince(released);
    std::printf("new Shell %.2f s after the release\n", gap);
    ASSERT_TRUE(again);
    ASSERT_LT(gap, 4.0) << "too slow to test the idle period";
    // Had the first server ended, the new Shell would live in a second one and this one would
    // have ended 6 s after the release.
    EXPECT_FALSE(server.endsWithin(10000)) << "still running after the idle period";
    std::printf("still running %.2f s after the first release\n", secondsSince(released));
    VARIANT_BOOL stopped = 0;
    EXPECT_EQ(again->get_isStopped(&stopped), S_OK);
    again.reset();
    const auto last = Clock::now();
    EXPECT_TRUE(server.endsWithin(30000));
    std::printf("ended %.2f s after the last release\n", secondsSince(last));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: server_process_test PATH-OF-Vandrel.exe\n");
        return 2;
    }
    std::string p = argv[1];
    if (!p.empty() && p[0] == '/') {  // a Unix path from the build: the same file on drive Z:
        for (char& c : p)
            if (c == '/') c = '\\';
        p = "Z:" + p;
    }
    serverPath.assign(p.begin(), p.end());
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
