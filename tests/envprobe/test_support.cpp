// Command-line paths, text helpers and the child-process runner of the envprobe tests.
#include "tests/envprobe/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwctype>

namespace envprobe_test {
namespace {

std::wstring g_exe;
std::wstring g_tlb;

}  // namespace

const std::wstring& exePath() {
    return g_exe;
}

const std::wstring& tlbPath() {
    return g_tlb;
}

std::wstring windowsPath(const std::string& path) {
    std::wstring out;
    if (!path.empty() && path[0] == '/') out = L"Z:";
    for (char c : path) out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

bool sameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

std::optional<DWORD> runEnvprobe(const std::wstring& arguments, std::chrono::milliseconds limit) {
    std::wstring command = L"\"" + exePath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exePath().c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        ADD_FAILURE() << "cannot start " << narrow(exePath()) << ": error " << GetLastError();
        return std::nullopt;
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

}  // namespace envprobe_test

// GoogleTest's own flags first, then ours.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--exe=", 6) == 0) {
            envprobe_test::g_exe = envprobe_test::windowsPath(argv[i] + 6);
        } else if (std::strncmp(argv[i], "--tlb=", 6) == 0) {
            envprobe_test::g_tlb = envprobe_test::windowsPath(argv[i] + 6);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (envprobe_test::g_exe.empty()) {
        std::fprintf(stderr, "usage: %s --exe=PATH [--tlb=PATH]\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
