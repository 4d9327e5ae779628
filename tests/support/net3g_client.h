// Test support: a client of net3g's control socket on a simulated board,
// and the records it exchanges (little-endian words).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/board.h"

namespace testsupport {

inline std::string Word(int32_t v) {
  std::string w(4, '\0');
  for (int i = 0; i < 4; ++i) w[i] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
  return w;
}

// The word at `off`, INT32_MIN when the record is shorter.
inline int32_t WordAt(const std::string& s, size_t off) {
  if (s.size() < off + 4) return INT32_MIN;
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= uint32_t(uint8_t(s[off + i])) << (8 * i);
  return int32_t(u);
}

// A text in a zero-filled field of `len` bytes.
inline std::string Field(const std::string& text, size_t len) {
  std::string f(len, '\0');
  std::memcpy(f.data(), text.data(), std::min(len, text.size()));
  return f;
}

// One request on a fresh connection; the whole reply (12-byte header first).
inline std::string Ask(const TempBoard& b, int32_t cmd, int32_t index, const std::string& payload = "") {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un me{}, srv{};
  me.sun_family = srv.sun_family = AF_UNIX;
  std::string mine = b.file("var/tmp/wireless_client_socket_t");
  unlink(mine.c_str());
  std::strncpy(me.sun_path, mine.c_str(), sizeof me.sun_path - 1);
  std::strncpy(srv.sun_path, b.file("var/tmp/wireless_server_socket").c_str(), sizeof srv.sun_path - 1);
  std::string r;
  if (bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) == 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&srv), sizeof srv) == 0) {
    std::string req = Word(int32_t(12 + payload.size())) + Word(cmd) + Word(index) + payload;
    if (write(fd, req.data(), req.size()) == ssize_t(req.size())) {
      char buf[2048];
      timeval tv{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      for (ssize_t n; (r.size() < 12 || r.size() < size_t(WordAt(r, 0))) && (n = read(fd, buf, sizeof buf)) > 0;)
        r.append(buf, size_t(n));
    }
  }
  close(fd);
  return r;
}

// OPEN_PPP's payload: APN, dial number, user, password, MTU, authentication.
inline std::string NetAccessRequest(const std::string& apn, const std::string& dial, const std::string& user,
                                    const std::string& password, int mtu, int auth) {
  return Field(apn, 32) + Field(dial, 32) + Field(user, 128) + Field(password, 128) + Word(mtu) + Word(auth);
}

}  // namespace testsupport
