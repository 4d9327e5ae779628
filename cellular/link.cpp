// Routing netlink link messages, for the watcher that notices a data link
// going down.
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>

#include "cellular/internal.h"

namespace cellular {

std::vector<LinkState> ParseLinkMessages(const void* buf, std::size_t len, bool* error) {
  std::vector<LinkState> out;
  if (error) *error = false;
  const auto* base = static_cast<const unsigned char*>(buf);
  std::size_t off = 0;
  while (len - off >= sizeof(nlmsghdr)) {
    nlmsghdr h;
    std::memcpy(&h, base + off, sizeof h);
    if (h.nlmsg_len < sizeof h || h.nlmsg_len > len - off) break;
    if (h.nlmsg_type == NLMSG_ERROR) {
      if (error) *error = true;
      break;
    }
    if (h.nlmsg_type == RTM_NEWLINK && h.nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
      ifinfomsg ifi;
      std::memcpy(&ifi, base + off + NLMSG_HDRLEN, sizeof ifi);
      LinkState st;
      st.up = (ifi.ifi_flags & IFF_LOWER_UP) != 0;
      std::size_t a = off + NLMSG_LENGTH(sizeof(ifinfomsg));
      const std::size_t end = off + h.nlmsg_len;
      while (end - a >= sizeof(rtattr)) {
        rtattr ra;
        std::memcpy(&ra, base + a, sizeof ra);
        if (ra.rta_len < sizeof ra || ra.rta_len > end - a) break;
        if (ra.rta_type == IFLA_IFNAME) {
          const char* p = reinterpret_cast<const char*>(base + a + RTA_LENGTH(0));
          std::size_t n = ra.rta_len - RTA_LENGTH(0);
          st.name.assign(p, strnlen(p, std::min<std::size_t>(n, 7)));
        }
        a += RTA_ALIGN(ra.rta_len);
        if (a > end) break;
      }
      if (!st.name.empty()) out.push_back(std::move(st));
    }
    std::size_t step = NLMSG_ALIGN(h.nlmsg_len);
    if (step > len - off) break;
    off += step;
  }
  return out;
}

int LinkSlot(std::string_view name) {
  std::string_view num;
  if (name.substr(0, 3) == "ppp" || name.substr(0, 3) == "lte") num = name.substr(3);
  if (num.empty() || num.size() > 2) return -1;
  int n = 0;
  for (char c : num) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  int slot = n - 5;
  return slot >= 0 && slot < kSlots ? slot : -1;
}

}  // namespace cellular
