#include "tools/console/console.h"

#include <fcntl.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "applets/printcli.h"

namespace console {

namespace pc = applets::printcli;

namespace {

// A type printcli never sends, used to wake a server blocked in msgrcv.
constexpr long kTypeStop = 0x53544f50;

std::string errtext(const char* what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

std::unique_ptr<Server> Server::Open(const std::string& key_path, std::string* err) {
  key_t key = ftok(key_path.c_str(), pc::kKeyProject);
  if (key == -1) {
    *err = errtext(("ftok " + key_path).c_str());
    return nullptr;
  }
  int q = msgget(key, pc::kQueueFlags);
  if (q < 0) {
    *err = errtext("msgget");
    return nullptr;
  }
  return std::unique_ptr<Server>(new Server(q));
}

Server::~Server() {
  std::lock_guard g(lock_);
  close_terminal();
}

void Server::close_terminal() {
  if (tty_fd_ >= 0) ::close(tty_fd_);
  tty_fd_ = -1;
  tty_.clear();
}

// The queue is open to every local user, and the application runs as
// root: only a real terminal under /dev is ever opened, never a file.
Server::Event Server::redirect(const std::string& tty) {
  if (tty.rfind("/dev/", 0) != 0 || tty.find("/../") != std::string::npos)
    return {Event::Kind::Refused, tty + " is not a terminal under /dev"};
  int fd = ::open(tty.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {Event::Kind::Refused, errtext(tty.c_str())};
  if (!isatty(fd)) {
    ::close(fd);
    return {Event::Kind::Refused, tty + " is not a terminal"};
  }
  std::lock_guard g(lock_);
  close_terminal();
  tty_fd_ = fd;
  tty_ = tty;
  return {Event::Kind::Redirected, tty};
}

Server::Event Server::HandleOne(bool wait) {
  pc::Message m{};
  ssize_t n;
  do n = msgrcv(queue_, &m, sizeof m.text, 0, (wait ? 0 : IPC_NOWAIT) | MSG_NOERROR);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == ENOMSG) return {Event::Kind::Empty, ""};
    return {Event::Kind::Error, errtext("msgrcv")};
  }
  if (m.type == kTypeStop) return {Event::Kind::Stopped, ""};
  std::string err;
  auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(m.text), sizeof m.text);
  auto r = pc::Decode(m.type, n == static_cast<ssize_t>(sizeof m.text) ? bytes : bytes.first(n), &err);
  if (!r) return {Event::Kind::Refused, err};
  if (r->kind == pc::Request::Kind::Redirect) return redirect(r->out_tty);
  std::lock_guard g(lock_);
  std::string was = tty_;
  close_terminal();
  return {Event::Kind::Closed, was};
}

void Server::Serve() {
  for (;;) {
    auto e = HandleOne(true);
    if (e.kind == Event::Kind::Stopped || e.kind == Event::Kind::Error) return;
  }
}

bool Server::Stop() {
  pc::Message m{};
  m.type = kTypeStop;
  return msgsnd(queue_, &m, sizeof m.text, IPC_NOWAIT) == 0;
}

bool Server::Remove() { return msgctl(queue_, IPC_RMID, nullptr) == 0; }

void Server::Copy(std::string_view text) {
  std::lock_guard g(lock_);
  while (tty_fd_ >= 0 && !text.empty()) {
    ssize_t w = ::write(tty_fd_, text.data(), text.size());
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) return;
    if (w <= 0) {  // the terminal went away (hang-up)
      close_terminal();
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(w));
  }
}

std::string Server::terminal() const {
  std::lock_guard g(lock_);
  return tty_;
}

}  // namespace console
