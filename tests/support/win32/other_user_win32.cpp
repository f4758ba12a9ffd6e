// The unprivileged check on Windows: not available to the tests.
#include "tests/support/other_user.h"

int runAsUnprivilegedUser(int (*)(void*), void*) { return -1; }
