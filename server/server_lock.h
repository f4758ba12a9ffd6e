// The server's lock count: live objects and class-object locks; when it falls to zero the
// shutdown monitor starts its countdown.
#pragma once

void serverLock();
void serverUnlock();
long serverLockCount();

// Called when the count reaches zero (the shutdown monitor installs it). Once it has been
// replaced, the old handler is neither running nor called again.
void setServerIdleHandler(void (*handler)());
