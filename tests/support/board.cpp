#include "support/board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sim/sim.h"

namespace testsupport {

TempBoard::TempBoard(const std::string& board) {
  char tmpl[] = "/tmp/dvrboard.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  std::string err;
  if (!sim::CreateBoard(dir_, board, DVRSIM_EXE, &err)) throw std::runtime_error("board: " + err);
  setenv("DVR_BOARD", dir_.c_str(), 1);
}

TempBoard::~TempBoard() {
  unsetenv("DVR_BOARD");
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> TempBoard::events() const { return sim::ReadEvents(dir_); }

std::string Bin(const std::string& name) { return std::string(DVR_BIN_DIR) + "/" + name; }

RunResult Run(const std::vector<std::string>& argv, const TempBoard* board, const std::string& input) {
  std::vector<std::string> args;
  if (board) args = {Bin("dvrsim"), "run", board->dir()};
  for (auto& a : argv) args.push_back(a);
  if (!board && !args.empty() && args[0].find('/') == std::string::npos) args[0] = Bin(args[0]);
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!board) unsetenv("DVR_BOARD");
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!input.empty()) {
    ssize_t n = write(in[1], input.data(), input.size());
    (void)n;
  }
  close(in[1]);
  RunResult r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_fds = 2;
  while (open_fds > 0 && poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

}  // namespace testsupport
