// Runs a check as an unprivileged user, for behaviour that a privileged user never sees
// (the system refusing write access to a read-only file).
#pragma once

// Runs check(context) in a child process as an unprivileged user and returns its result,
// or -1 where that cannot be done (not privileged to switch users, or no such facility).
int runAsUnprivilegedUser(int (*check)(void* context), void* context);
