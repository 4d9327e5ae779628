// The board's kernel event channel (see uevent.h).

#include "sim/uevent.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include "sim/sim.h"

namespace sim {

namespace {

int fail(int e) {
  errno = e;
  return -1;
}

// The folder of a channel: DIR/uevent or DIR/rtnetlink.
std::string channel_of(const std::string& dir, const char* channel) { return dir + "/" + channel; }

// The address of a socket file.  A board directory may be deeper than a
// socket path allows; the folder is then reached through a descriptor.
class SocketAddr {
 public:
  SocketAddr(const std::string& folder, const std::string& name) {
    std::string p = folder + "/" + name;
    if (p.size() >= sizeof addr_.sun_path) {
      dirfd_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      p = "/proc/self/fd/" + std::to_string(dirfd_) + "/" + name;
    }
    ok_ = p.size() < sizeof addr_.sun_path;
    std::memcpy(addr_.sun_path, p.c_str(), ok_ ? p.size() + 1 : 0);
  }
  ~SocketAddr() {
    if (dirfd_ >= 0) ::close(dirfd_);
  }
  SocketAddr(const SocketAddr&) = delete;
  SocketAddr& operator=(const SocketAddr&) = delete;
  bool ok() const { return ok_; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  socklen_t len() const { return sizeof addr_; }

 private:
  sockaddr_un addr_ = {AF_UNIX, {}};
  int dirfd_ = -1;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<UeventListener> UeventListener::Open(const std::string& dir, int type, int* fd, const char* channel,
                                                     unsigned group) {
  int kind = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (kind != SOCK_DGRAM && kind != SOCK_RAW) {
    errno = ESOCKTNOSUPPORT;
    return nullptr;
  }
  int s = ::socket(AF_UNIX, SOCK_DGRAM | (type & (SOCK_CLOEXEC | SOCK_NONBLOCK)), 0);
  if (s < 0) return nullptr;
  *fd = s;
  return std::unique_ptr<UeventListener>(new UeventListener(channel_of(dir, channel), s, group));
}

UeventListener::~UeventListener() {
  if (!name_.empty()) ::unlink((dir_ + "/" + name_).c_str());
}

int UeventListener::join() {
  if (!name_.empty()) return 0;
  const std::string& folder = dir_;  // the channel's folder
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  std::string name = std::to_string(getpid()) + "." + std::to_string(fd_);
  SocketAddr addr(folder, name);
  if (!addr.ok()) return fail(ENAMETOOLONG);
  // A file of the same name belongs to a process that has gone.
  ::unlink((folder + "/" + name).c_str());
  if (::bind(fd_, addr.get(), addr.len()) != 0) return -1;
  name_ = name;
  return 0;
}

int UeventListener::bind(const struct sockaddr* addr, socklen_t len) {
  if (!addr || len < sizeof(sockaddr_nl)) return fail(EINVAL);
  sockaddr_nl nl;
  std::memcpy(&nl, addr, sizeof nl);
  if (nl.nl_family != AF_NETLINK) return fail(EINVAL);
  return (nl.nl_groups & group_) ? join() : 0;
}

int UeventListener::setsockopt(int level, int name, const void* value, socklen_t len) {
  if (level == SOL_NETLINK) {
    if (name != NETLINK_ADD_MEMBERSHIP) return 0;
    if (!value || len < sizeof(int)) return fail(EINVAL);
    int group;
    std::memcpy(&group, value, sizeof group);
    return group >= 1 && group <= 32 && (1u << (group - 1)) == group_ ? join() : 0;
  }
  if (level == SOL_SOCKET && name == SO_PASSCRED) {
    if (!value || len < sizeof(int)) return fail(EINVAL);
    int on;
    std::memcpy(&on, value, sizeof on);
    passcred_ = on != 0;
    return 0;
  }
  // Forcing the buffer size needs a privilege the listener need not have.
  if (level == SOL_SOCKET && name == SO_RCVBUFFORCE) name = SO_RCVBUF;
  return ::setsockopt(fd_, level, name, value, len);
}

ssize_t UeventListener::recvmsg(struct msghdr* msg, int flags) {
  if (!msg) return fail(EFAULT);
  msghdr m = *msg;
  m.msg_name = nullptr;
  m.msg_namelen = 0;
  m.msg_control = nullptr;
  m.msg_controllen = 0;
  ssize_t n = ::recvmsg(fd_, &m, flags);
  if (n < 0) return n;
  msg->msg_flags = m.msg_flags;
  if (msg->msg_name) {
    sockaddr_nl from = {};
    from.nl_family = AF_NETLINK;
    from.nl_pid = 0;  // the kernel
    from.nl_groups = group_;
    std::memcpy(msg->msg_name, &from, std::min<size_t>(msg->msg_namelen, sizeof from));
    msg->msg_namelen = sizeof from;
  }
  // The kernel's credentials, for listeners that check who sent a message.
  size_t room = msg->msg_controllen;
  msg->msg_controllen = 0;
  if (passcred_ && msg->msg_control) {
    if (room < CMSG_SPACE(sizeof(ucred))) {
      msg->msg_flags |= MSG_CTRUNC;
    } else {
      std::memset(msg->msg_control, 0, CMSG_SPACE(sizeof(ucred)));
      msg->msg_controllen = CMSG_SPACE(sizeof(ucred));
      cmsghdr* c = CMSG_FIRSTHDR(msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_CREDENTIALS;
      c->cmsg_len = CMSG_LEN(sizeof(ucred));
      ucred cred = {0, 0, 0};
      std::memcpy(CMSG_DATA(c), &cred, sizeof cred);
    }
  }
  return n;
}

int UeventSend(const std::string& dir, std::string_view message, std::string* err, const char* channel) {
  std::string folder = channel_of(dir, channel);
  DIR* d = ::opendir(folder.c_str());
  if (!d) {
    if (errno == ENOENT) return 0;  // nobody has listened yet
    *err = folder + ": " + std::strerror(errno);
    return -1;
  }
  int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *err = std::string("socket: ") + std::strerror(errno);
    ::closedir(d);
    return -1;
  }
  int reached = 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    SocketAddr addr(folder, e->d_name);
    if (!addr.ok()) continue;
    if (::sendto(s, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL, addr.get(), addr.len()) >= 0) {
      ++reached;
    } else if (errno == ECONNREFUSED) {
      ::unlink((folder + "/" + e->d_name).c_str());  // its process has gone
    }
  }
  ::close(s);
  ::closedir(d);
  return reached;
}

bool UeventDecode(std::string_view text, std::string* out, std::string* err) {
  out->clear();
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) {
      *err = "a backslash ends the text";
      return false;
    }
    switch (text[i]) {
      case '0': out->push_back('\0'); break;
      case '\\': out->push_back('\\'); break;
      case 'n': out->push_back('\n'); break;
      case 'x': {
        int hi = i + 1 < text.size() ? hex(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? hex(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          *err = "\\x needs two hex digits";
          return false;
        }
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        *err = std::string("unknown escape \\") + text[i];
        return false;
    }
  }
  return true;
}

int UeventCommand(int argc, char** argv) {
  // argv[0] is "uevent"
  if (argc != 3) {
    fprintf(stderr, "usage: dvrsim uevent DIR TEXT|-\n");
    return 2;
  }
  std::string err, message;
  if (!Board::Load(argv[1], &err)) {
    fprintf(stderr, "dvrsim uevent: %s\n", err.c_str());
    return 1;
  }
  if (std::strcmp(argv[2], "-") == 0) {
    // Raw bytes, sent unchecked: a listener must also survive a bad message.
    message.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else if (!UeventDecode(argv[2], &message, &err)) {
    fprintf(stderr, "dvrsim uevent: %s\n", err.c_str());
    return 2;
  } else if (message.substr(0, message.find('\0')).find('@') == std::string::npos) {
    fprintf(stderr, "dvrsim uevent: a message starts with its ACTION@DEVPATH header\n");
    return 2;
  }
  if (UeventSend(argv[1], message, &err) < 0) {
    fprintf(stderr, "dvrsim uevent: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

}  // namespace sim
