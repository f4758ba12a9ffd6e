// The unprivileged check on POSIX: fork, become "nobody", run, report through the exit code.
#include "tests/support/other_user.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int runAsUnprivilegedUser(int (*check)(void* context), void* context) {
    if (geteuid() != 0) return -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(125);
        _exit(check(context) & 0x7F);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 125 ? -1 : WEXITSTATUS(status);
}
