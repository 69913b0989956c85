#include "jobs/direct_print.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "i18n.h"
#include "jobs/spool.h"
#include "log_text.h"

int print_direct(const char *fullname) {
  // Everything the child needs is made before the fork: in a threaded process it
  // may only make async-signal-safe calls until it has exec'd.
  char *const parmList[] = {const_cast<char *>(kPrintCommand), const_cast<char *>(fullname),
                            nullptr};
  int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int status = -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (devnull >= 0) dup2(devnull, 0);
    dup2(2, 1);
    execv(kPrintCommand, parmList);
    _exit(127);
  }
  int fork_errno = errno;
  if (devnull >= 0) close(devnull);
  if (pid < 0) {
    fprintf(stderr, "vandrel: cannot start %s: %s\n", kPrintCommand, log_strerror(fork_errno));
  } else {
    pid_t w;
    do {
      w = waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    if (w < 0)
      fprintf(stderr, "vandrel: waiting for %s: %s\n", kPrintCommand, log_strerror(errno));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      fprintf(stderr, "vandrel: %s %s exited with status %d\n", kPrintCommand,
              log_text(fullname).c_str(), WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      fprintf(stderr, "vandrel: %s %s ended by signal %d\n", kPrintCommand,
              log_text(fullname).c_str(), WTERMSIG(status));
  }
  spool_remove(fullname);
  return status;
}
