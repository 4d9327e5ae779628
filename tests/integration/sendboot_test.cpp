// sendboot as a real process, received by a UDP listener on loopback.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/board.h"

namespace {

class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "cannot bind a loopback port: " << strerror(errno);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { close(fd_); }
  std::string port() const { return std::to_string(port_); }

  // Every datagram waiting now.
  std::vector<std::string> Drain() {
    std::vector<std::string> got;
    pollfd p = {fd_, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
      char buf[2048];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n < 0) break;
      got.emplace_back(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
  unsigned port_ = 0;
};

TEST(Sendboot, TwentyAnnouncementsReachTheListener) {
  Listener l;
  auto r = testsupport::Run({"sendboot", "127.0.0.1", l.port(), "ignored", "too"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Device have sended total 20 pack successful, 0 pack failed ! \n Destination ip = 127.0.0.1, "
                   "Destination port = " +
                       l.port() + " \n");
  std::string want(64, '\0');
  std::memcpy(want.data(), "Device booting !", 16);
  auto got = l.Drain();
  ASSERT_EQ(got.size(), 20u);
  for (auto& d : got) EXPECT_EQ(d, want);
}

TEST(Sendboot, NobodyListeningStillCountsEverySend) {
  std::string port;
  {
    Listener closed;
    port = closed.port();
  }
  auto r = testsupport::Run({"sendboot", "127.0.0.1", port});
  EXPECT_EQ(r.status, 0);
  // Loopback answers with port-unreachable, which the kernel reports on
  // some of the following sends: only the total is fixed.
  int ok = -1, failed = -1;
  ASSERT_EQ(sscanf(r.out.c_str(), "Device have sended total %d pack successful, %d pack failed !", &ok, &failed), 2)
      << r.out;
  EXPECT_EQ(ok + failed, 20);
  EXPECT_GE(ok, 1);
}

TEST(Sendboot, BadCommandLinesExitWithOne) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{}, "input Error, please input the ip and port ! \n"},
      {{"127.0.0.1"}, "input Error, please input the ip and port ! \n"},
      {{"10.0.0.300", "9000"}, "server ip address error !\n"},
      {{"localhost", "9000"}, "server ip address error !\n"},
      {{"127.0.0.1 ", "9000"}, "server ip address error !\n"},
      {{std::string(5000, '1'), "9000"}, "server ip address error !\n"},
      {{"127.0.0.1", "abc"}, "server port error ! (abc is not a port from 1 to 65535)\n"},
      {{"127.0.0.1", "0"}, "server port error ! (0 is not a port from 1 to 65535)\n"},
      {{"127.0.0.1", "70000"}, "server port error ! (70000 is not a port from 1 to 65535)\n"},
      {{"127.0.0.1", "-1"}, "server port error ! (-1 is not a port from 1 to 65535)\n"},
      {{"127.0.0.1", "80x"}, "server port error ! (80x is not a port from 1 to 65535)\n"},
      {{"127.0.0.1", ""}, "server port error ! ( is not a port from 1 to 65535)\n"},
  };
  for (auto& c : cases) {
    std::vector<std::string> argv = {"sendboot"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = testsupport::Run(argv);
    std::string name = c.args.empty() ? "(none)" : c.args[0].substr(0, 20) + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out, c.out) << name;
  }
}

}  // namespace
