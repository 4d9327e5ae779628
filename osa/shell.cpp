#include "osa/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "osa/osa.h"
#include "osa/sys.h"

namespace osa {

bool ShellSafe(std::string_view text, std::string_view punct, std::size_t max_len) {
  if (text.empty() || text.size() > max_len) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && punct.find(c) == std::string_view::npos) return false;
  return true;
}

bool ShellSafeAbsPath(std::string_view path, std::size_t max_len) {
  return ShellSafe(path, kShellPathChars, max_len) && path.front() == '/' &&
         path.find("..") == std::string_view::npos;
}

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CaptureResult Capture(const char* command, const CaptureOptions& opt) {
  CaptureResult r;
  if (!command) {
    DVR_ERROR("command buffer is NULL.\n");
    return r;
  }
  // Both ends close on exec, so a command started by another thread never
  // inherits our write end (which would keep us waiting for its EOF).
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) {
    DVR_ERROR("pipe failed, errno: %d, %s\n", errno, strerror(errno));
    return r;
  }
  UniqueFd rd(p[0]), wr(p[1]);
  UniqueFd null(sys::open("/dev/null", O_WRONLY | O_CLOEXEC));
  // Everything the child needs is prepared before the vfork.
  const sys::ExecPlan plan = sys::plan_shell(command);
  const int out_fd = wr.get(), err_fd = null.get();

  pid_t pid = vfork();
  if (pid < 0) {
    DVR_ERROR("vfork failed, errno: %d, %s\n", errno, strerror(errno));
    return r;
  }
  if (pid == 0) {
    if (out_fd == STDOUT_FILENO) ::fcntl(out_fd, F_SETFD, 0);
    else ::dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0) ::dup2(err_fd, STDERR_FILENO);
    ::setpgid(0, 0);
    sys::exec_prepared(plan);
    _exit(127);
  }
  wr.reset();
  null.reset();

  const bool limited = opt.timeout_ms >= 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? opt.timeout_ms : 0);
  char buf[4096];
  for (;;) {
    pollfd pfd{rd.get(), POLLIN, 0};
    if (limited && ms_left(deadline) == 0) {
      r.timed_out = true;
      break;
    }
    int n = ::poll(&pfd, 1, limited ? ms_left(deadline) : -1);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    ssize_t got = ::read(rd.get(), buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    std::size_t room = opt.max_output - r.output.size();
    if (static_cast<std::size_t>(got) > room) {
      r.output.append(buf, room);
      r.truncated = true;
      break;
    }
    r.output.append(buf, static_cast<std::size_t>(got));
  }
  rd.reset();

  // The output is complete; the shell may still be finishing.
  int status = 0;
  pid_t w = 0;
  while (!r.timed_out && !r.truncated && limited) {
    w = ::waitpid(pid, &status, WNOHANG);
    if (w != 0 && !(w < 0 && errno == EINTR)) break;
    if (ms_left(deadline) == 0) r.timed_out = true;
    else std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, ms_left(deadline))));
  }
  if (r.timed_out || r.truncated) {
    if (r.timed_out) DVR_ERROR("cmd: \"%s\", timeout: %dms\n", command, opt.timeout_ms);
    else DVR_ERROR("cmd: \"%s\", output over %zu bytes\n", command, opt.max_output);
    sys::kill(-pid, SIGKILL);
    w = 0;
  }
  if (w == 0) {
    while ((w = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
  }
  if (w < 0) {
    DVR_ERROR("waitpid failed, errno: %d, %s\n", errno, strerror(errno));
    return r;
  }
  if (!r.timed_out && !r.truncated) r.status = status;
  return r;
}

}  // namespace osa
