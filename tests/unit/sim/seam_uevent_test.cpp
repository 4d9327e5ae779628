// The board-served kernel event channel: listeners opened through the seam
// receive what `dvrsim uevent` sends, as the kernel would deliver it.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "osa/osa.h"
#include "osa/sys.h"
#include "sim/sim.h"
#include "sim/uevent.h"
#include "support/board.h"

namespace {

using testsupport::TempBoard;

constexpr char kAddBytes[] =
    "add@/devices/platform/usb/sda\0ACTION=add\0DEVPATH=/devices/platform/usb/sda\0"
    "SUBSYSTEM=block\0DEVNAME=sda\0DEVTYPE=disk\0SEQNUM=1187\0";
const std::string kAdd(kAddBytes, sizeof kAddBytes - 1);

// A listener as a hotplug thread opens it.
osa::UniqueFd Listen(unsigned groups = 1, int extra_type = 0) {
  osa::UniqueFd fd(osa::sys::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | extra_type, NETLINK_KOBJECT_UEVENT));
  if (!fd) return fd;
  sockaddr_nl nl = {};
  nl.nl_family = AF_NETLINK;
  nl.nl_pid = static_cast<__u32>(getpid());
  nl.nl_groups = groups;
  if (osa::sys::bind(fd.get(), reinterpret_cast<sockaddr*>(&nl), sizeof nl) != 0) return osa::UniqueFd();
  return fd;
}

testsupport::RunResult Send(const TempBoard& b, const std::string& text, const std::string& input = "") {
  return testsupport::Run({testsupport::Bin("dvrsim"), "uevent", b.dir(), text}, nullptr, input);
}

std::string Escaped(const std::string& raw) {
  std::string s;
  for (char c : raw) s += c ? std::string(1, c) : std::string("\\0");
  return s;
}

int Readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return osa::sys::poll(&p, 1, timeout_ms);
}

TEST(SeamUevent, ARawMessageArrivesByteExactFromTheKernel) {
  TempBoard b;
  osa::UniqueFd fd = Listen();
  ASSERT_TRUE(fd) << strerror(errno);
  int on = 1;
  ASSERT_EQ(osa::sys::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);
  int size = 1 << 20;
  EXPECT_EQ(osa::sys::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size), 0);
  EXPECT_EQ(Readable(fd.get(), 0), 0) << "nothing sent yet";

  auto r = Send(b, Escaped(kAdd));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Readable(fd.get(), 5000), 1);

  char buf[8192];
  iovec iov = {buf, sizeof buf};
  sockaddr_nl from = {};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr msg = {};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = osa::sys::recvmsg(fd.get(), &msg, 0);
  ASSERT_EQ(n, static_cast<ssize_t>(kAdd.size()));
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), kAdd);
  EXPECT_EQ(msg.msg_namelen, sizeof(sockaddr_nl));
  EXPECT_EQ(from.nl_family, AF_NETLINK);
  EXPECT_EQ(from.nl_pid, 0u) << "the kernel sends from port 0";
  EXPECT_EQ(from.nl_groups, 1u);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->cmsg_type, SCM_CREDENTIALS);
  ucred cred;
  std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
  EXPECT_EQ(cred.uid, 0u);
  EXPECT_EQ(cred.pid, 0);
  EXPECT_EQ(Readable(fd.get(), 0), 0) << "one message, delivered once";
}

TEST(SeamUevent, EveryListenerGetsEveryMessageInOrder) {
  TempBoard b;
  osa::UniqueFd one = Listen(), two = Listen(1, SOCK_NONBLOCK);
  osa::UniqueFd deaf = Listen(0);  // bound without the kernel's group
  ASSERT_TRUE(one && two && deaf);
  ASSERT_EQ(Send(b, "remove@/devices/x\\0ACTION=remove\\0SEQNUM=1\\0").status, 0);
  ASSERT_EQ(Send(b, "add@/devices/x\\0ACTION=add\\0SEQNUM=2\\0").status, 0);
  for (int fd : {one.get(), two.get()}) {
    char buf[256];
    sockaddr_nl from = {};
    socklen_t len = sizeof from;
    ssize_t n = osa::sys::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
              std::string("remove@/devices/x\0ACTION=remove\0SEQNUM=1\0", 41));
    EXPECT_EQ(len, sizeof from);
    EXPECT_EQ(from.nl_pid, 0u);
    n = osa::sys::recv(fd, buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
              std::string("add@/devices/x\0ACTION=add\0SEQNUM=2\0", 35));
  }
  char buf[16];
  EXPECT_EQ(osa::sys::recv(two.get(), buf, sizeof buf, 0), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(Readable(deaf.get(), 0), 0);
  // A listener may also join after binding, as some do.
  osa::UniqueFd late = Listen(0);
  int group = 1;
  ASSERT_EQ(osa::sys::setsockopt(late.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group), 0);
  ASSERT_EQ(Send(b, "change@/devices/x\\0ACTION=change\\0").status, 0);
  EXPECT_EQ(Readable(late.get(), 5000), 1);
  EXPECT_EQ(Readable(deaf.get(), 0), 0);
}

TEST(SeamUevent, ClosedAndVanishedListenersLeaveTheChannel) {
  TempBoard b;
  osa::UniqueFd fd = Listen();
  ASSERT_TRUE(fd);
  auto files = [&] {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(b.file("uevent"))) n += e.is_socket();
    return n;
  };
  EXPECT_EQ(files(), 1u);
  fd.reset();
  EXPECT_EQ(files(), 0u);
  // A process that died holding a listener left its file behind.
  int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a = {AF_UNIX, {}};
  std::string path = b.file("uevent/99999.3");
  ASSERT_LT(path.size(), sizeof a.sun_path);
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(s);
  std::string err;
  EXPECT_EQ(sim::UeventSend(b.dir(), kAdd, &err), 0) << err;
  EXPECT_EQ(files(), 0u);
}

TEST(SeamUevent, ABoardDeeperThanASocketPathStillCarriesMessages) {
  char tmpl[] = "/tmp/dvrboard.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = std::string(tmpl) + "/" + std::string(120, 'd');
  std::string err;
  ASSERT_TRUE(sim::CreateBoard(dir, "default", DVRSIM_EXE, &err)) << err;
  setenv("DVR_BOARD", dir.c_str(), 1);
  {
    osa::UniqueFd fd = Listen(1, SOCK_NONBLOCK);
    ASSERT_TRUE(fd) << strerror(errno);
    EXPECT_EQ(sim::UeventSend(dir, kAdd, &err), 1) << err;
    char buf[512];
    EXPECT_EQ(osa::sys::recv(fd.get(), buf, sizeof buf, 0), static_cast<ssize_t>(kAdd.size()));
  }
  unsetenv("DVR_BOARD");
  std::filesystem::remove_all(tmpl);
}

TEST(SeamUevent, TheCommandLineEncodesEveryByte) {
  TempBoard b;
  osa::UniqueFd fd = Listen(1, SOCK_NONBLOCK);
  ASSERT_TRUE(fd);
  auto next = [&] {
    char buf[512];
    if (Readable(fd.get(), 5000) != 1) return std::string("<nothing>");
    ssize_t n = osa::sys::recv(fd.get(), buf, sizeof buf, 0);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
  };
  ASSERT_EQ(Send(b, "add@/a b\\\\c\\x01\\xfF\\n").status, 0);
  EXPECT_EQ(next(), std::string("add@/a b\\c\x01\xff\n"));
  // From standard input the bytes go unchecked, as a faulty sender's would.
  const std::string raw("no header\0\0tail", 15);
  ASSERT_EQ(Send(b, "-", raw).status, 0);
  EXPECT_EQ(next(), raw);
  // Mistakes are refused before anything is sent.
  for (const char* bad : {"add@/x\\", "add@/x\\q", "add@/x\\x4", "ACTION=add\\0add@/x", ""}) {
    auto r = Send(b, bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("dvrsim uevent: "), std::string::npos) << bad;
  }
  EXPECT_EQ(testsupport::Run({testsupport::Bin("dvrsim"), "uevent", b.dir()}).status, 2);
  EXPECT_EQ(testsupport::Run({testsupport::Bin("dvrsim"), "uevent", b.dir() + "/none", "add@/x"}).status, 1);
  EXPECT_EQ(Readable(fd.get(), 0), 0);
}

TEST(SeamUevent, OtherSocketsAreTheHosts) {
  TempBoard b;
  osa::UniqueFd fd(osa::sys::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  sockaddr_un a = {AF_UNIX, {}};
  std::string path = b.file("tmp/plain.sock");
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  EXPECT_EQ(osa::sys::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  errno = 0;
  EXPECT_EQ(osa::sys::socket(AF_NETLINK, SOCK_STREAM, NETLINK_KOBJECT_UEVENT), -1);
  EXPECT_EQ(errno, ESOCKTNOSUPPORT);
}

}  // namespace
