// The read-only protection of a file, cleared before a blank image overwrites a file; and a
// file's identity, which two spellings of a path may share.
#pragma once

namespace platform {

// Clears the read-only attribute and keeps the others. False when the file cannot be
// reached; nothing changes then.
bool clearReadOnlyAttribute(const char* path);
bool setReadOnlyAttribute(const char* path);
bool hasReadOnlyAttribute(const char* path);
// True when both paths reach one existing file (links, case and relative spellings included).
bool isSameFile(const char* path1, const char* path2);

}  // namespace platform
