// printcli: asks the main application to copy its console output to this
// terminal, and copies the kernel's messages here.

#include "applets/printcli.h"

#include <fcntl.h>
#include <sys/msg.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "applets/applets.h"
#include "osa/osa.h"
#include "osa/sys.h"

namespace applets::printcli {

std::optional<Message> MakeRedirect(std::string_view in_tty, std::string_view out_tty) {
  if (in_tty.empty() || out_tty.empty() || in_tty.size() > kTtyMaxLen || out_tty.size() > kTtyMaxLen)
    return std::nullopt;
  Message m{};
  m.type = kTypeRedirect;
  in_tty.copy(m.text, in_tty.size());
  out_tty.copy(m.text + kTtyField, out_tty.size());
  return m;
}

Message MakeClose() {
  Message m{};
  m.type = kTypeClose;
  std::memcpy(m.text, "close", 5);
  return m;
}

namespace {

// A NUL-terminated name inside a fixed field; nullopt without the NUL.
std::optional<std::string> field(std::span<const std::uint8_t> f) {
  for (std::size_t i = 0; i < f.size(); ++i)
    if (f[i] == 0) return std::string(reinterpret_cast<const char*>(f.data()), i);
  return std::nullopt;
}

}  // namespace

std::optional<Request> Decode(long type, std::span<const std::uint8_t> text, std::string* err) {
  if (text.size() != kTextLen) {
    *err = "message text is " + std::to_string(text.size()) + " bytes, not 64";
    return std::nullopt;
  }
  Request r;
  if (type == kTypeClose) {
    if (std::memcmp(text.data(), "close", 6) != 0) {
      *err = "close message without its \"close\" text";
      return std::nullopt;
    }
    r.kind = Request::Kind::Close;
    return r;
  }
  if (type != kTypeRedirect) {
    *err = "unknown message type " + std::to_string(type);
    return std::nullopt;
  }
  auto in = field(text.first(kTtyField)), out = field(text.subspan(kTtyField));
  if (!in || !out) {
    *err = "terminal name without its NUL";
    return std::nullopt;
  }
  if (out->empty()) {
    *err = "redirect request without an output terminal";
    return std::nullopt;
  }
  r.kind = Request::Kind::Redirect;
  r.in_tty = std::move(*in);
  r.out_tty = std::move(*out);
  return r;
}

Command ParseArgs(int argc, const char* const* argv) {
  if (argc <= 1) return Command::All;
  if (argc > 2 || !argv[1]) return Command::NotACommand;
  std::string_view a = argv[1];
  if (a == "-h" || a == "-help" || a == "help") return Command::Help;
  if (a == "Challenge") return Command::Challenge;
  if (a == "kmsg" || a == "system") return Command::Kmsg;
  return Command::NotACommand;
}

namespace {

constexpr int kFailed = 127;
constexpr int kSignals[] = {SIGINT, SIGHUP, SIGCONT};

// Set by the signal handler; the close message is sent from the main loop,
// where stdio and the queue calls are safe.  The signals stay blocked
// outside the waits, so none is lost between a check and the next wait.
volatile sig_atomic_t g_close_pending = 0;

void on_signal(int) { g_close_pending = 1; }

void install_handler(sigset_t* waitmask) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigset_t block;
  sigemptyset(&block);
  for (int s : kSignals) {
    if (sigaction(s, &sa, nullptr) != 0) printf("signal error\n");
    sigaddset(&block, s);
  }
  sigprocmask(SIG_BLOCK, &block, waitmask);
  for (int s : kSignals) sigdelset(waitmask, s);
}

int open_queue() {
  key_t key = ftok(kKeyPath, kKeyProject);
  if (key == -1) {
    printf("printcli: no queue key, %s in the current directory: %s\n", kKeyPath, strerror(errno));
    return -1;
  }
  int q = msgget(key, kQueueFlags);
  if (q < 0) printf("printcli: msgget failed: %s\n", strerror(errno));
  return q;
}

// Never blocks: a queue nobody reads fills up, and the tool must not hang
// on it.
bool send(int q, const Message& m) {
  for (;;) {
    if (msgsnd(q, &m, kTextLen, IPC_NOWAIT) == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) printf("printcli: the print queue is full, no main application reads it\n");
    else printf("printcli: msgsnd failed: %s\n", strerror(errno));
    return false;
  }
}

int send_redirect() {
  const char* in = ttyname(0);
  const char* out = ttyname(1);
  if (!in || !out) {
    printf("printcli: standard %s is not a terminal\n", in ? "output" : "input");
    return kFailed;
  }
  auto m = MakeRedirect(in, out);
  if (!m) {
    printf("printcli: terminal name too long (%s, %s), at most %zu characters\n", in, out, kTtyMaxLen);
    return kFailed;
  }
  int q = open_queue();
  if (q < 0 || !send(q, *m)) {
    printf("redir Challenge failed!\n");
    return kFailed;
  }
  fflush(stdout);
  return 0;
}

// The work of the signal handler, done after it returned.
int handle_pending() {
  if (!g_close_pending) return 0;
  g_close_pending = 0;
  int q = open_queue();
  printf("ssfssf 11111 \n");
  if (q < 0 || !send(q, MakeClose())) {
    printf("redir Challenge failed!\n");
    return kFailed;
  }
  fflush(stdout);
  return 0;
}

// Waits with the signals let through; returns pselect's result.
int wait_for(int fd, int seconds, const sigset_t& waitmask) {
  fd_set rfds;
  FD_ZERO(&rfds);
  if (fd >= 0) FD_SET(fd, &rfds);
  struct timespec ts = {seconds, 0};
  return osa::sys::pselect(fd + 1, fd >= 0 ? &rfds : nullptr, nullptr, nullptr, &ts, &waitmask);
}

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

int copy_kmsg(const sigset_t& waitmask) {
  osa::UniqueFd fd(osa::sys::open("/proc/kmsg", O_RDONLY));
  if (!fd) {
    printf("printcli: cannot open /proc/kmsg: %s\n", strerror(errno));
    return kFailed;
  }
  fflush(stdout);
  for (;;) {
    if (int r = handle_pending()) return r;
    int n = wait_for(fd.get(), 5, waitmask);
    if (n < 0 && errno != EINTR) {
      printf("printcli: select on /proc/kmsg failed: %s\n", strerror(errno));
      return kFailed;
    }
    if (n <= 0) continue;
    char buf[1024] = {};
    ssize_t got = osa::sys::read(fd.get(), buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      printf("printcli: read /proc/kmsg failed: %s\n", strerror(errno));
      return kFailed;
    }
    if (got == 0) {
      // The kernel's node never ends; a plain file in its place does.
      // Wait for more instead of spinning on the end.
      wait_for(-1, 1, waitmask);
      continue;
    }
    if (!write_all(1, buf, static_cast<std::size_t>(got))) {
      fprintf(stderr, "printcli: standard output is gone: %s\n", strerror(errno));
      return kFailed;
    }
  }
}

int sleep_forever(const sigset_t& waitmask) {
  for (;;) {
    if (int r = handle_pending()) return r;
    wait_for(-1, 60, waitmask);
  }
}

void usage() {
  printf("\n\n");
  printf("\033[36mprintClient command usage:\n\033[0m");
  printf("\033[36m===================================\n\033[0m");
  printf("\033[35mprintClient: redir all messages\n\033[0m");
  printf("\033[33;1mprintClient Challenge: only redir Challenge messages\n\033[0m");
  printf("\033[31;1mprintClient kmsg/system: only redir system messages\n\033[0m");
  printf("\033[32mprintClient -h/-help/help : show help\n\033[0m");
  printf("\n\n");
}

}  // namespace

}  // namespace applets::printcli

namespace applets {

int PrintcliMain(int argc, char** argv) {
  using namespace printcli;
  sigset_t waitmask;
  install_handler(&waitmask);
  Command c = ParseArgs(argc, argv);
  if (c == Command::Help) {
    usage();
    return 0;
  }
  if (c == Command::NotACommand) {
    printf("'%s' is not a command\n", argv[1]);
    return 0;
  }
  if (c == Command::All || c == Command::Challenge)
    if (int r = send_redirect()) return r;
  return c == Command::Challenge ? sleep_forever(waitmask) : copy_kmsg(waitmask);
}

}  // namespace applets
