// The board's kernel event channels.  A kernel event socket the program
// opens through the seam is a datagram socket bound in DIR/uevent/ once it
// joins the kernel's group; `dvrsim uevent` sends each message to every
// such socket, and the program receives it as from the kernel (sender port
// 0, group 1).  Routing link events (NETLINK_ROUTE, group RTMGRP_LINK) use
// the same scheme in DIR/rtnetlink/.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>
#include <string_view>

namespace sim {

inline constexpr const char* kUeventChannel = "uevent";
inline constexpr const char* kLinkChannel = "rtnetlink";

class UeventListener {
 public:
  // A listener of channel `channel` of board directory `dir` for the kernel's
  // group mask `group`, not yet joined; *fd gets its descriptor.  nullptr
  // with errno set when it cannot be made.
  static std::unique_ptr<UeventListener> Open(const std::string& dir, int type, int* fd,
                                              const char* channel = kUeventChannel, unsigned group = 1);
  ~UeventListener();  // leaves the channel; the seam closes the descriptor
  UeventListener(const UeventListener&) = delete;
  UeventListener& operator=(const UeventListener&) = delete;

  int bind(const struct sockaddr* addr, socklen_t len);
  int setsockopt(int level, int name, const void* value, socklen_t len);
  ssize_t recvmsg(struct msghdr* msg, int flags);

 private:
  UeventListener(std::string dir, int fd, unsigned group) : dir_(std::move(dir)), fd_(fd), group_(group) {}
  int join();

  std::string dir_;  // the channel's folder
  int fd_;
  unsigned group_;
  std::string name_;  // the socket's file in DIR/uevent, once joined
  bool passcred_ = false;
};

// Sends one message to every listener of the board's channel, as the kernel
// does: a listener whose queue is full misses it.  The number of listeners
// reached, or -1 with *err set.
int UeventSend(const std::string& dir, std::string_view message, std::string* err,
               const char* channel = kUeventChannel);

// The bytes of a message written on a command line: "\0" is a NUL, "\\" a
// backslash, "\n" a newline and "\xHH" any byte.  False with *err set on a
// bad escape.
bool UeventDecode(std::string_view text, std::string* out, std::string* err);

// dvrsim uevent DIR TEXT|-
int UeventCommand(int argc, char** argv);

}  // namespace sim
