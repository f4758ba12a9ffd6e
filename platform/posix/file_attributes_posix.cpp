// File attributes on POSIX: "read-only" is the absence of every write permission bit.
#include "platform/file_attributes.h"

#include <sys/stat.h>

namespace platform {
namespace {
constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
}

bool clearReadOnlyAttribute(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return false;
    if (st.st_mode & kWriteBits) return true;
    return chmod(path, (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool setReadOnlyAttribute(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return false;
    return chmod(path, st.st_mode & 07777 & ~kWriteBits) == 0;
}

bool hasReadOnlyAttribute(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && !(st.st_mode & kWriteBits);
}

bool isSameFile(const char* path1, const char* path2) {
    struct stat a {}, b {};
    return stat(path1, &a) == 0 && stat(path2, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace platform
