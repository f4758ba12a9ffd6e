// The read-only protection of a file: cleared before a blank image overwrites a file.
#pragma once

namespace platform {

// Clears the read-only attribute and keeps the others. False when the file cannot be
// reached; nothing changes then.
bool clearReadOnlyAttribute(const char* path);
bool setReadOnlyAttribute(const char* path);
bool hasReadOnlyAttribute(const char* path);

}  // namespace platform
