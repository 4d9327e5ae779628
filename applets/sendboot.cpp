// sendboot: announces a boot to a remote UDP listener.

#include "applets/sendboot.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "applets/applets.h"
#include "osa/osa.h"
#include "osa/sys.h"

namespace applets::sendboot {

std::array<std::uint8_t, kDatagramLen> Datagram() {
  std::array<std::uint8_t, kDatagramLen> d{};
  std::memcpy(d.data(), "Device booting !", 16);
  return d;
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0 || v > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(v);
}

}  // namespace applets::sendboot

namespace applets {

int SendbootMain(int argc, char** argv) {
  using namespace sendboot;
  constexpr int kFailed = 1;
  if (argc < 3) {
    printf("input Error, please input the ip and port ! \n");
    return kFailed;
  }
  const char* ip = argv[1];
  const char* port_text = argv[2];
  osa::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    printf("socket error ! \n");
    return kFailed;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (inet_pton(AF_INET, ip, &to.sin_addr) != 1) {
    printf("server ip address error !\n");
    return kFailed;
  }
  // A port that is not a number would otherwise become port 0, or wrap
  // round to some other port.
  auto port = ParsePort(port_text);
  if (!port) {
    printf("server port error ! (%s is not a port from 1 to 65535)\n", port_text);
    return kFailed;
  }
  to.sin_port = htons(*port);
  auto* sa = reinterpret_cast<const sockaddr*>(&to);
  bool connected = false;
  for (int i = 0; i < 3 && !connected; ++i) connected = osa::sys::connect(sock.get(), sa, sizeof to) == 0;
  if (!connected) {
    printf("Device connect to ip = %s, port = %s fail ! \n", ip, port_text);
    return kFailed;
  }
  auto d = Datagram();
  int ok = 0, failed = 0;
  for (int i = 0; i < kCount; ++i) {
    ssize_t n = sendto(sock.get(), d.data(), d.size(), MSG_DONTWAIT, sa, sizeof to);
    if (n == static_cast<ssize_t>(d.size())) ++ok;
    else ++failed;
  }
  printf("Device have sended total %d pack successful, %d pack failed ! \n Destination ip = %s, Destination port = %s \n",
         ok, failed, ip, port_text);
  return 0;
}

}  // namespace applets
