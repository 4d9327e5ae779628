// Shell command runner.  SIGINT and SIGQUIT are ignored and SIGCHLD blocked
// while the command runs, as system(3) does; with a time limit the command
// gets its own process group so a time-out kills everything it started.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "osa/osa.h"
#include "osa/sys.h"

namespace {

// The kernel stack of a hung shell, for the time-out report.
void dump_stack(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stack", static_cast<int>(pid));
  osa::UniqueFd fd(osa::sys::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return;
  char buf[512];
  ssize_t n;
  while ((n = osa::sys::read(fd.get(), buf, sizeof buf)) > 0) fwrite(buf, 1, static_cast<size_t>(n), stdout);
  fflush(stdout);
}

int wait_with_timeout(const char* command, pid_t pid, int timeout, int* status) {
  int waited = 0;
  for (;;) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r > 0) return 0;
    if (r < 0) {
      if (errno == EINTR) continue;
      DVR_ERROR("waitpid failed, errno: %d, %s\n", errno, strerror(errno));
      return -1;
    }
    if (waited >= timeout) break;
    sleep(1);
    ++waited;
  }
  DVR_ERROR(">>>>>>>>>>>>> bad news: cmd: \"%s\", timeout: %ds\n", command, timeout);
  DVR_ERROR(">>>>>>>>>>>>> stack <<<<<<<<<<<<<\n");
  dump_stack(pid);
  DVR_ERROR(">>>>>>>>>>>>> stack <<<<<<<<<<<<<\n");
  osa::sys::kill(-pid, SIGKILL);
  // Reap the killed shell so a time-out leaves no zombie behind.
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
  return -1;
}

}  // namespace

int __run_cmd(const char* command, int timeout) {
  if (!command) {
    DVR_ERROR("command buffer is NULL.\n");
    return 1;
  }
  struct sigaction ignore = {}, saveintr = {}, savequit = {};
  sigset_t chld, savemask;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGINT, &ignore, &saveintr) < 0) {
    DVR_ERROR("sigaction(SIGINT, &ignore, &saveintr) failed.\n");
    return -1;
  }
  if (sigaction(SIGQUIT, &ignore, &savequit) < 0) {
    DVR_ERROR("sigaction(SIGQUIT, &ignore, &saveintr) failed.\n");
    sigaction(SIGINT, &saveintr, nullptr);
    return -1;
  }
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  if (sigprocmask(SIG_BLOCK, &chld, &savemask) < 0) {
    DVR_ERROR("sigprocmask(SIG_BLOCK, &ignore, &saveintr) failed.\n");
    sigaction(SIGINT, &saveintr, nullptr);
    sigaction(SIGQUIT, &savequit, nullptr);
    return -1;
  }

  // Everything the child needs is prepared here: after vfork it may only
  // restore its signals, set its group and exec.
  const osa::sys::ExecPlan plan = osa::sys::plan_shell(command);
  int result = 0;
  pid_t pid = vfork();
  if (pid < 0) {
    DVR_ERROR("vfork failed, ret = %d.\n", pid);
    result = -1;
  } else if (pid == 0) {
    sigaction(SIGINT, &saveintr, nullptr);
    sigaction(SIGQUIT, &savequit, nullptr);
    sigprocmask(SIG_SETMASK, &savemask, nullptr);
    if (timeout >= 0) setpgid(0, 0);
    osa::sys::exec_prepared(plan);
    _exit(127);
  } else if (timeout == -1) {
    while (waitpid(pid, &result, 0) < 0) {
      if (errno == EINTR) continue;
      DVR_ERROR("waitpid failed, errno: %d, %s\n", errno, strerror(errno));
      result = -1;
      break;
    }
  } else if (timeout >= 1) {
    if (wait_with_timeout(command, pid, timeout, &result) < 0) result = -1;
  }

  if (sigaction(SIGINT, &saveintr, nullptr) < 0) {
    DVR_ERROR("sigaction(SIGINT, &ignore, &saveintr) failed.\n");
    return -1;
  }
  if (sigaction(SIGQUIT, &savequit, nullptr) < 0) {
    DVR_ERROR("sigaction(SIGQUIT, &ignore, &saveintr) failed.\n");
    return -1;
  }
  if (sigprocmask(SIG_SETMASK, &savemask, nullptr) < 0) {
    DVR_ERROR("sigprocmask  failed.\n");
    return -1;
  }
  return result;
}

int run_cmd(const char* command) { return __run_cmd(command, -1); }
