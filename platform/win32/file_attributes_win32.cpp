// File attributes on Windows.
#include "platform/file_attributes.h"

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

// The volume and index that name a file, read through a handle that asks for no access, so
// that it opens beside a drive's open image.
bool fileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return known;
}

}  // namespace

bool clearReadOnlyAttribute(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
    return SetFileAttributesA(path, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
}

bool setReadOnlyAttribute(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return SetFileAttributesA(path, attributes | FILE_ATTRIBUTE_READONLY);
}

bool hasReadOnlyAttribute(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool isSameFile(const char* path1, const char* path2) {
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return fileIdentity(path1, a) && fileIdentity(path2, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace platform
