// File attributes on Windows.
#include "platform/file_attributes.h"

#include "platform/win32/windows_api.h"

namespace platform {

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

}  // namespace platform
