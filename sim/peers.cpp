// Serial-line peers on pseudo-terminals.

#include "sim/peers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "sim/models/mcupeer.h"
#include "sim/models/serial.h"
#include "sim/modems.h"
#include "sim/sim.h"

namespace fs = std::filesystem;

namespace sim {

bool OpenRawPty(const std::string& link, int* master, int* slave, std::string* err) {
  *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) {
    *err = std::string("cannot make a pty: ") + strerror(errno);
    return false;
  }
  const char* n = ptsname(*master);
  *slave = n ? ::open(n, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (*slave < 0) {
    *err = std::string("cannot open the pty slave: ") + strerror(errno);
    return false;
  }
  std::string name = n;  // ptsname's buffer is shared
  termios t{};
  tcgetattr(*slave, &t);
  cfmakeraw(&t);
  tcsetattr(*slave, TCSANOW, &t);
  fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
  std::error_code ec;
  fs::create_directories(fs::path(link).parent_path(), ec);
  fs::remove(link, ec);
  fs::create_symlink(name, link, ec);
  if (ec) {
    *err = "cannot link " + link + ": " + ec.message();
    return false;
  }
  return true;
}

namespace {

struct Line {
  std::string path;  // board path
  std::string kind;  // panel, idle, mcu
  int master = -1;
  std::shared_ptr<McuLine> mcu;  // the boot loader of an "mcu" line
  int slave = -1;    // held open so the line never hangs up
  std::vector<uint8_t> in;
};

std::string hex(const uint8_t* b, size_t n) {
  std::string s;
  char x[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(x, sizeof x, i ? " %02X" : "%02X", b[i]);
    s += x;
  }
  return s;
}

bool open_pty(const Board& b, Line& l, std::string* err) {
  return OpenRawPty(b.host_path(l.path), &l.master, &l.slave, err);
}

bool send(const Board& b, Line& l, const std::vector<uint8_t>& bytes) {
  ssize_t n = ::write(l.master, bytes.data(), bytes.size());
  b.event("panel-send " + hex(bytes.data(), bytes.size()));
  return n == static_cast<ssize_t>(bytes.size());
}

// A panel command ("release", "key 3", "frame FF 09 00 01", "raw AA BB") as bytes.
bool command_bytes(const std::string& cmd, std::vector<uint8_t>* out) {
  std::istringstream in(cmd);
  std::string word;
  in >> word;
  out->clear();
  if (word == "release") {
    *out = {0xFF, 0x09, 0x00, 0x00};
    return true;
  }
  if (word == "key") {
    unsigned k;
    if (!(in >> k) || k > 255) return false;
    *out = {0xFF, 0x01, static_cast<uint8_t>(k), 0x00};
    return true;
  }
  if (word == "frame" || word == "raw") {
    std::string h;
    while (in >> h) {
      char* end;
      unsigned long v = std::strtoul(h.c_str(), &end, 16);
      if (*end || v > 255 || h.empty()) return false;
      out->push_back(static_cast<uint8_t>(v));
    }
    return word == "raw" ? !out->empty() : out->size() == 4;
  }
  return false;
}

void panel_input(const Board& b, Line& l) {
  uint8_t buf[256];
  ssize_t n;
  while ((n = ::read(l.master, buf, sizeof buf)) > 0) {
    if (l.mcu) {
      McuLineInput(b, *l.mcu, l.master, buf, static_cast<size_t>(n));
      continue;
    }
    if (l.kind != "panel") continue;
    l.in.insert(l.in.end(), buf, buf + n);
    while (l.in.size() >= 4) {
      b.event("panel-recv " + hex(l.in.data(), 4));
      static const uint8_t keepalive[4] = {0xFF, 0x0A, 0x00, 0x00};
      if (std::memcmp(l.in.data(), keepalive, 4) == 0) send(b, l, {0xFF, 0x0A, 0x00, 0x00});
      l.in.erase(l.in.begin(), l.in.begin() + 4);
    }
  }
}

int pidfd_of(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::string ctl_path(const std::string& dir) { return dir + "/sim/panel.ctl"; }

// Serves until `watch` ends; `ready` (if >= 0) gets one byte once the lines exist.
int serve(const std::string& dir, pid_t watch, int ready) {
  std::string err;
  auto b = Board::Load(dir, &err);
  auto say = [&](char c) {
    if (ready >= 0) {
      ssize_t w = ::write(ready, &c, 1);
      (void)w;
      ::close(ready);
      ready = -1;
    }
  };
  if (!b) {
    fprintf(stderr, "dvrsim peers: %s\n", err.c_str());
    say('E');
    return 1;
  }
  std::error_code ec;
  fs::create_directories(dir + "/sim", ec);
  int lock = ::open((dir + "/sim/peers.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
    say('R');  // another peer serves this board already
    return 0;
  }
  std::vector<Line> lines;
  auto sec = b->desc().value("serial", nlohmann::json::object());
  nlohmann::json serial_lines = nlohmann::json::object();
  if (auto it = sec.find("lines"); it != sec.end() && it->is_object()) serial_lines = *it;
  for (auto& [path, kind] : serial_lines.items()) {
    Line l;
    l.path = path;
    l.kind = kind.is_string() ? kind.get<std::string>() : "idle";
    if (l.kind.starts_with("/")) {
      // A pty someone else serves: the line only leads there.
      if (!BindLine(*b, l.path, l.kind, &err)) {
        fprintf(stderr, "dvrsim peers: %s\n", err.c_str());
        say('E');
        return 1;
      }
      continue;
    }
    if (l.kind == "mcu" || l.kind == "en773v") {
      // "mcu" / "en773v": {device options, "baud", "drop_at", "delay_at", "delay_ms", "silent_from"}
      l.mcu = MakeBoardMcuLine(*b, l.kind, &err);
      if (!l.mcu) {
        fprintf(stderr, "dvrsim peers: %s\n", err.c_str());
        say('E');
        return 1;
      }
    }
    if (!open_pty(*b, l, &err)) {
      fprintf(stderr, "dvrsim peers: %s\n", err.c_str());
      say('E');
      return 1;
    }
    lines.push_back(std::move(l));
  }
  ModemPeers modems;
  if (!modems.Open(*b, &err)) {
    fprintf(stderr, "dvrsim peers: %s\n", err.c_str());
    say('E');
    return 1;
  }
  Line* panel = nullptr;
  for (auto& l : lines)
    if (l.kind == "panel") panel = &l;
  std::string ctl = ctl_path(dir);
  ::unlink(ctl.c_str());
  int ctl_fd = -1;
  if (panel && mkfifo(ctl.c_str(), 0600) == 0) ctl_fd = ::open(ctl.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  struct Step {
    long at_ms;
    std::string cmd;
  };
  std::vector<Step> schedule;
  nlohmann::json steps = nlohmann::json::array();
  if (auto pj = b->desc().find("panel"); pj != b->desc().end() && pj->is_object() && pj->contains("schedule"))
    steps = (*pj)["schedule"];
  for (auto& s : steps)
    if (s.is_object()) schedule.push_back({s.value("after_ms", 0L), s.value("send", std::string())});
  say('K');
  int watch_fd = pidfd_of(watch);
  auto start = std::chrono::steady_clock::now();
  std::string pending;
  for (;;) {
    std::vector<pollfd> p;
    for (auto& l : lines) p.push_back({l.master, POLLIN, 0});
    if (ctl_fd >= 0) p.push_back({ctl_fd, POLLIN, 0});
    if (watch_fd >= 0) p.push_back({watch_fd, POLLIN, 0});
    const size_t first_modem = p.size();
    modems.AddFds(&p);
    long now_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
    int timeout = modems.NextDueMs(*b, 1000);
    for (auto& l : lines)
      if (l.mcu) timeout = std::min(timeout, McuLineFlush(*b, *l.mcu, l.master));
    for (auto& s : schedule)
      if (s.at_ms >= 0) timeout = std::min<int>(timeout, static_cast<int>(std::max(0L, s.at_ms - now_ms)));
    ::poll(p.data(), p.size(), timeout);
    if (watch_fd >= 0 && (p[first_modem - 1].revents & POLLIN)) break;
    for (size_t i = first_modem; i < p.size(); ++i)
      if (p[i].revents & POLLIN) modems.Input(*b, p[i].fd);
    modems.Tick(*b);
    if (watch_fd < 0 && ::kill(watch, 0) != 0) break;
    if (!fs::exists(dir + "/board.json", ec)) break;
    for (size_t i = 0; i < lines.size(); ++i)
      if (p[i].revents & POLLIN) panel_input(*b, lines[i]);
    if (ctl_fd >= 0 && (p[lines.size()].revents & POLLIN)) {
      char buf[512];
      ssize_t n = ::read(ctl_fd, buf, sizeof buf);
      if (n > 0) pending.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
        std::vector<uint8_t> bytes;
        if (command_bytes(pending.substr(0, nl), &bytes)) send(*b, *panel, bytes);
      }
    }
    now_ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    for (auto& s : schedule) {
      std::vector<uint8_t> bytes;
      if (s.at_ms < 0 || s.at_ms > now_ms) continue;
      if (panel && command_bytes(s.cmd, &bytes)) send(*b, *panel, bytes);
      s.at_ms = -1;
    }
  }
  if (ctl_fd >= 0) ::unlink(ctl.c_str());
  return 0;
}

}  // namespace

int RunPeers(const std::string& dir, pid_t watch) { return serve(dir, watch, -1); }

bool StartPeers(const std::string& dir, pid_t watch, std::string* err) {
  std::string e;
  auto b = Board::Load(dir, &e);
  if (!b || (!b->desc().contains("serial") && !BoardHasModems(*b))) return true;  // nothing to serve
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    *err = "pipe failed";
    return false;
  }
  pid_t child = fork();
  if (child < 0) {
    *err = "fork failed";
    return false;
  }
  if (child == 0) {
    ::close(p[0]);
    if (fork() == 0) {
      // The grandchild: nobody's child once the middle process is gone.
      // Its complaints (and a sanitizer's report) go to the board's
      // sim/peers.log rather than nowhere.
      std::error_code mk;
      fs::create_directories(dir + "/sim", mk);
      for (int fd = 0; fd < 3; ++fd) {
        int to = fd == 2 ? ::open((dir + "/sim/peers.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644)
                         : ::open("/dev/null", O_RDWR);
        if (to >= 0 && to != fd) {
          dup2(to, fd);
          ::close(to);
        }
      }
      _exit(serve(dir, watch, p[1]));
    }
    _exit(0);
  }
  ::close(p[1]);
  waitpid(child, nullptr, 0);
  char c = 0;
  pollfd pf = {p[0], POLLIN, 0};
  bool ok = ::poll(&pf, 1, 5000) == 1 && ::read(p[0], &c, 1) == 1 && (c == 'K' || c == 'R');
  ::close(p[0]);
  if (!ok) *err = "the board's serial peers did not start";
  return ok;
}

int PanelCommand(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: dvrsim panel DIR release | key N | frame B0 B1 B2 B3 | raw B...\n");
    return 2;
  }
  std::string cmd;
  for (int i = 2; i < argc; ++i) cmd += (i > 2 ? " " : "") + std::string(argv[i]);
  std::vector<uint8_t> bytes;
  if (!command_bytes(cmd, &bytes)) {
    fprintf(stderr, "dvrsim panel: not a panel command: %s\n", cmd.c_str());
    return 2;
  }
  int fd = ::open(ctl_path(argv[1]).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "dvrsim panel: no front panel is running on %s (programs started with dvrsim run have one)\n",
            argv[1]);
    return 1;
  }
  cmd += "\n";
  bool ok = ::write(fd, cmd.data(), cmd.size()) == static_cast<ssize_t>(cmd.size());
  ::close(fd);
  return ok ? 0 : 1;
}

}  // namespace sim
