// The board's PPP daemon, "/usr/sbin/3gpp": run by net3g on a modem's PPP
// port after the dial.  Inside `dvrsim run --netns` it makes the link a tun
// device "ppp<unit>" with the modem's "ppp" addresses; everywhere it writes
// "/var/tmp/ppp<unit>.pid" and stays until SIGTERM, as pppd with nodetach.
//
//   "ppp": {"local": "10.64.0.2", "peer": "10.64.0.1",
//           "fault": "nopid" | "noaddr" | "exit" | "ignoreterm"}
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/modems.h"
#include "sim/net.h"
#include "sim/ppp_daemon.h"

namespace sim {

namespace {

bool SetAddr(int s, const char* name, unsigned long req, const std::string& text) {
  ifreq r{};
  std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (inet_pton(AF_INET, text.c_str(), &a.sin_addr) != 1) return false;
  std::memcpy(&r.ifr_addr, &a, sizeof a);
  return ::ioctl(s, req, &r) == 0;
}

// The tun device with its point-to-point addresses, up; -1 on failure.
int MakeLink(const std::string& name, const std::string& local, const std::string& peer) {
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq r{};
  r.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(r.ifr_name, name.c_str(), IFNAMSIZ - 1);
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool ok = ::ioctl(fd, TUNSETIFF, &r) == 0 && s >= 0 && SetAddr(s, name.c_str(), SIOCSIFADDR, local) &&
            SetAddr(s, name.c_str(), SIOCSIFDSTADDR, peer) &&
            SetAddr(s, name.c_str(), SIOCSIFNETMASK, "255.255.255.255");
  if (ok) {
    ifreq f{};
    std::strncpy(f.ifr_name, name.c_str(), IFNAMSIZ - 1);
    ok = ::ioctl(s, SIOCGIFFLAGS, &f) == 0;
    f.ifr_flags |= IFF_UP | IFF_POINTOPOINT | IFF_RUNNING;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &f) == 0;
  }
  if (s >= 0) ::close(s);
  if (!ok) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int PppDaemonStandIn(const Board& b, int argc, char** argv) {
  int unit = -1;
  int tty = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "unit") == 0 && i + 1 < argc) unit = std::atoi(argv[i + 1]);
    if (std::strncmp(argv[i], "/dev/ttyUSB", 11) == 0) tty = std::atoi(argv[i] + 11);
  }
  if (unit < 0 || unit > 99) {
    fprintf(stderr, "3gpp: no unit given\n");
    return 1;
  }
  nlohmann::json ppp = nlohmann::json::object();
  if (const auto* m = tty >= 0 ? ModemOfTty(b, tty) : nullptr)
    if (auto p = m->find("ppp"); p != m->end() && p->is_object()) ppp = *p;
  std::string fault = ppp.value("fault", "");
  std::string name = "ppp" + std::to_string(unit);
  if (fault == "exit") {
    b.event("3gpp " + name + " exit");
    return 1;
  }
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  if (fault == "ignoreterm") signal(SIGTERM, SIG_IGN);
  else sigprocmask(SIG_BLOCK, &term, nullptr);
  int link = -1;
  if (fault != "noaddr" && PrivateNetns()) {
    link = MakeLink(name, ppp.value("local", "10.64.0.2"), ppp.value("peer", "10.64.0.1"));
    if (link < 0) b.event("3gpp " + name + " no link: " + std::string(strerror(errno)));
  }
  std::string pidfile = b.file("var/tmp/" + name + ".pid");
  if (fault != "nopid") std::ofstream(pidfile) << getpid() << "\n";
  b.event("3gpp " + name + " up");
  if (fault == "ignoreterm") {
    for (;;) pause();
  }
  int sig = 0;
  sigwait(&term, &sig);
  if (link >= 0) ::close(link);
  ::unlink(pidfile.c_str());
  b.event("3gpp " + name + " down");
  return 0;
}

}  // namespace sim
