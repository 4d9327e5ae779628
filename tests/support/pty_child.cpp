#include "support/pty_child.h"

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {
using Clock = std::chrono::steady_clock;
int left_ms(Clock::time_point end) {
  auto d = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return d > 0 ? static_cast<int>(d) : 0;
}
}  // namespace

PtyChild::PtyChild(const std::vector<std::string>& argv, const std::string& cwd) {
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
  if (pid_ < 0) throw std::runtime_error("forkpty failed");
  if (pid_ == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
}

PtyChild::~PtyChild() {
  if (Wait(0) < 0) {
    ::kill(pid_, SIGKILL);
    Wait(5000);
  }
  if (master_ >= 0) close(master_);
}

const std::string& PtyChild::ReadUntil(std::string_view want, int timeout_ms) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out_.find(want) == std::string::npos) {
    pollfd p = {master_, POLLIN, 0};
    int n = poll(&p, 1, left_ms(end));
    if (n <= 0) break;
    char buf[4096];
    ssize_t got = read(master_, buf, sizeof buf);
    if (got <= 0) break;  // EIO once the program and its terminal are gone
    out_.append(buf, static_cast<size_t>(got));
  }
  return out_;
}

int PtyChild::Wait(int timeout_ms) {
  if (status_ >= 0) return status_;
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (r < 0 || left_ms(end) == 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool PtyChild::Signal(int sig) { return status_ < 0 && ::kill(pid_, sig) == 0; }

}  // namespace testsupport
