// The simulator keeps a board's programs off the host's network unless
// they run in a namespace of its own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "osa/osa.h"
#include "osa/sys.h"
#include "support/board.h"

namespace {

TEST(NetFence, ChangingRequestsAreRefusedInTheHostNamespace) {
  testsupport::TempBoard board;
  osa::UniqueFd s(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_TRUE(s.valid());
  ifreq r = {};
  std::strcpy(r.ifr_name, "dvrnosuch0");  // no such interface: harmless even if let through
  auto* sin = reinterpret_cast<sockaddr_in*>(&r.ifr_addr);
  sin->sin_family = AF_INET;
  errno = 0;
  EXPECT_EQ(osa::sys::ioctl(s.get(), SIOCSIFADDR, &r), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(osa::sys::ioctl(s.get(), SIOCSIFMTU, &r), -1);
  EXPECT_EQ(errno, EPERM);
  // Reads go to the kernel, which answers for itself.
  EXPECT_EQ(osa::sys::ioctl(s.get(), SIOCGIFFLAGS, &r), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(osa::sys::open("/sys/class/net/dvrnosuch0/mtu", O_WRONLY), -1);
  EXPECT_EQ(errno, EPERM);
  auto ev = board.events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0], "net-refused ioctl 0x8916");
  EXPECT_EQ(ev[1], "net-refused ioctl 0x8922");
  EXPECT_EQ(ev[2], "net-refused open /sys/class/net/dvrnosuch0/mtu");
}

TEST(NetFence, AnInheritedNamespaceNameDoesNotCount) {
  testsupport::TempBoard board;
  setenv("DVR_NETNS", "1", 1);
  osa::UniqueFd s(socket(AF_INET, SOCK_DGRAM, 0));
  ifreq r = {};
  std::strcpy(r.ifr_name, "dvrnosuch0");
  EXPECT_EQ(osa::sys::ioctl(s.get(), SIOCSIFADDR, &r), -1);
  EXPECT_EQ(errno, EPERM);
  unsetenv("DVR_NETNS");
}

}  // namespace
