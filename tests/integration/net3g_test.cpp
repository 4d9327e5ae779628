// net3g on a simulated board: modems are sysfs entries plus pseudo-terminals
// played by a scripted peer here; the control socket is driven by a client
// that packs its requests byte by byte.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <thread>

#include "support/board.h"
#include "support/pty.h"

namespace {

using testsupport::Pty;
using testsupport::TempBoard;

std::string Word(int32_t v) {
  std::string w(4, '\0');
  auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) w[i] = static_cast<char>(u >> (8 * i));
  return w;
}
int32_t At(const std::string& s, size_t off) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= uint32_t(uint8_t(s[off + i])) << (8 * i);
  return int32_t(u);
}
std::string Req(int32_t cmd, int32_t index, const std::string& payload = "") {
  return Word(int32_t(12 + payload.size())) + Word(cmd) + Word(index) + payload;
}

void Put(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  testsupport::WriteFile(path, text + "\n");
}

// A USB device in the board's sysfs with `ttys` serial ports from `first`.
void AddUsb(const TempBoard& b, const std::string& name, const char* vid, const char* pid, const char* man,
            const char* prod, int port, int first, int ttys) {
  std::string d = b.file("sys/bus/usb/devices/" + name);
  Put(d + "/idVendor", vid);
  Put(d + "/idProduct", pid);
  Put(d + "/manufacturer", man);
  Put(d + "/product", prod);
  Put(d + "/devpath", std::to_string(port + 1));
  Put(d + "/authorized", "x");  // the product writes 0 then 1 to power-cycle
  for (int i = 0; i < ttys; ++i) {
    std::string itf = d + "/" + name + ":1." + std::to_string(i);
    Put(itf + "/bInterfaceClass", "ff");
    std::filesystem::create_directories(itf + "/ttyUSB" + std::to_string(first + i));
  }
}

// Plays modems: answers each command line (ended by CR) on each port.
class Peer {
 public:
  using Script = std::map<std::string, std::string>;
  void Add(const Pty& p, Script s) { ports_.push_back({p.master(), std::move(s), {}}); }
  void Start() {
    thread_ = std::thread([this] {
      while (!stop_) {
        std::vector<pollfd> fds;
        for (auto& p : ports_) fds.push_back({p.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 50) <= 0) continue;
        for (size_t i = 0; i < ports_.size(); ++i) {
          char buf[512];
          ssize_t n = read(ports_[i].fd, buf, sizeof buf);
          if (n <= 0) continue;
          auto& port = ports_[i];
          port.pending.append(buf, size_t(n));
          for (size_t cr; (cr = port.pending.find('\r')) != std::string::npos;) {
            std::string cmd = port.pending.substr(0, cr);
            port.pending.erase(0, cr + 1);
            auto it = port.script.find(cmd);
            std::string reply = it != port.script.end() ? it->second : "\r\nOK\r\n";
            if (write(port.fd, reply.data(), reply.size()) < 0) continue;
          }
        }
      }
    });
  }
  ~Peer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct Port {
    int fd;
    Script script;
    std::string pending;
  };
  std::vector<Port> ports_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Peer::Script Ec20() {
  return {
      {"ATI", "\r\nQuectel\r\nEC20F\r\nRevision: EC20CEFAR06A01M4G\r\nManufacturer: Quectel\r\nModel: EC20F\r\n"
              "IMEI: 861234567890123\r\n\r\nOK\r\n"},
      {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
      {"AT+CGREG?", "\r\n+CGREG: 0,1\r\n\r\nOK\r\n"},
      {"AT+CIMI", "\r\n460001234567890\r\n\r\nOK\r\n"},
      {"AT+CSQ", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
      {"AT+QGMR", "\r\nEC20CEFAR06A01M4G\r\n\r\nOK\r\n"},
  };
}

// net3g started under the simulator in its own process group.
class Net3g {
 public:
  explicit Net3g(const TempBoard& b) : out_(b.file("net3g.out")) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::string exe = testsupport::Bin("dvrsim");
      execl(exe.c_str(), "dvrsim", "run", b.dir().c_str(), "net3g", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
  }
  ~Net3g() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::string log() const { return testsupport::ReadFile(out_); }
  // Threads and open descriptors of the net3g process in the group.
  std::pair<int, int> Usage() const {
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      std::string n = e.path().filename();
      if (n.find_first_not_of("0123456789") != std::string::npos) continue;
      if (testsupport::ReadFile(e.path() / "comm") != "net3g\n") continue;
      if (getpgid(std::stoi(n)) != pid_) continue;
      auto count = [](const std::filesystem::path& d) {
        int c = 0;
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(d, ec); !ec && it != std::filesystem::directory_iterator();
             it.increment(ec))
          ++c;
        return c;
      };
      return {count(e.path() / "task"), count(e.path() / "fd")};
    }
    return {-1, -1};
  }
  bool WaitLog(const std::string& text, int seconds) const {
    for (int i = 0; i < seconds * 10; ++i) {
      if (log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  std::string out_;
  pid_t pid_ = -1;
};

class Client {
 public:
  explicit Client(const TempBoard& b) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un me{}, srv{};
    me.sun_family = srv.sun_family = AF_UNIX;
    std::string mine = b.file("var/tmp/wireless_client_socket_t");
    unlink(mine.c_str());
    std::strncpy(me.sun_path, mine.c_str(), sizeof me.sun_path - 1);
    std::strncpy(srv.sun_path, b.file("var/tmp/wireless_server_socket").c_str(), sizeof srv.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&me), sizeof me), 0);
    for (int i = 0; i < 50 && connect(fd_, reinterpret_cast<sockaddr*>(&srv), sizeof srv) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~Client() { close(fd_); }
  void Send(const std::string& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // One reply: header then its stated payload.
  std::string Reply() {
    std::string r;
    auto need = [&](size_t n) {
      while (r.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        char buf[1024];
        ssize_t got = read(fd_, buf, std::min(sizeof buf, n - r.size()));
        if (got <= 0) return false;
        r.append(buf, size_t(got));
      }
      return true;
    };
    if (!need(12) || !need(size_t(At(r, 0)))) return r;
    return r;
  }
  std::string Ask(int32_t cmd, int32_t index, const std::string& payload = "") {
    Send(Req(cmd, index, payload));
    return Reply();
  }

 private:
  int fd_ = -1;
};

TEST(Net3g, Ec20AndUnknownModemServedOverTheControlSocket) {
  TempBoard b;
  std::filesystem::create_directories(b.file("var/tmp"));
  std::filesystem::create_directories(b.file("dev"));
  AddUsb(b, "1-1", "05c6", "9215", "Quectel", "Quectel LTE Module", 0, 0, 4);
  AddUsb(b, "1-2", "1234", "5678", "Acme", "Acme Modem", 1, 4, 1);
  std::vector<std::unique_ptr<Pty>> ttys;
  for (int i = 0; i < 5; ++i) ttys.push_back(std::make_unique<Pty>(b, "dev/ttyUSB" + std::to_string(i)));
  Peer peer;
  peer.Add(*ttys[3], Ec20());
  peer.Add(*ttys[4], {});
  peer.Start();

  Net3g net(b);
  ASSERT_TRUE(net.WaitLog("dev_ctl->at_tty_name=/dev/ttyUSB3", 15)) << net.log();
  EXPECT_TRUE(net.WaitLog("dev_ctl->at_tty_name=/dev/ttyUSB4", 5));
  EXPECT_NE(net.log().find("current module do not support it,try default product!"), std::string::npos);

  Client c(b);
  // Two requests in one write get two replies.
  c.Send(Req(130, 0) + Req(4, 16));
  std::string v = c.Reply();
  ASSERT_EQ(v.size(), 16u);
  EXPECT_EQ(At(v, 4), 130);
  EXPECT_EQ(At(v, 8), 0);
  EXPECT_EQ(At(v, 12), 2548);
  std::string bad = c.Reply();
  ASSERT_EQ(bad.size(), 12u);
  EXPECT_EQ(At(bad, 8), -1);

  EXPECT_EQ(At(c.Ask(17, 5, Word(1)), 8), -2);  // no modem on slot 5
  std::string na(328, '\0');
  na.replace(0, 5, "cmnet");
  na.replace(32, 4, "*99#");
  na.replace(320, 4, Word(127));
  EXPECT_EQ(At(c.Ask(5, 0, na), 8), -15);
  EXPECT_EQ(c.Ask(14, 0).size(), 12u);
  EXPECT_EQ(At(c.Ask(17, 0, Word(1)), 8), 0);
  EXPECT_EQ(At(c.Ask(17, 1, Word(1)), 8), 0);

  bool ec20_up = false, generic_up = false;
  for (int i = 0; i < 250 && !(ec20_up && generic_up); ++i) {
    std::string s = c.Ask(4, 0);
    ASSERT_EQ(s.size(), 212u);
    ec20_up = At(s, 12) == 2 && At(s, 12 + 136) == 11 && At(s, 12 + 144) == 63;
    std::string g = c.Ask(4, 1);
    generic_up = At(g, 12) == 2 && At(g, 12 + 136) == 7 && At(g, 12 + 144) == 60;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(ec20_up) << net.log();
  EXPECT_TRUE(generic_up);

  std::string info = c.Ask(128, 0);
  ASSERT_EQ(info.size(), 12u + 4 + 2 * 256);
  EXPECT_EQ(At(info, 12), 2);
  std::string rec = info.substr(16, 256);
  EXPECT_EQ(At(rec, 0), 0);
  EXPECT_STREQ(rec.c_str() + 4, "ppp5");
  EXPECT_EQ(At(rec, 100), 0x680);
  EXPECT_STREQ(rec.c_str() + 172, "861234567890123");
  EXPECT_STREQ(rec.c_str() + 204, "QUECTEL_LTE_EC20");
  std::string unk = info.substr(16 + 256, 256);
  EXPECT_STREQ(unk.c_str() + 4, "ppp6");
  EXPECT_EQ(At(unk, 100), 0x80);

  std::string first = net.log().substr(0, net.log().find('\n'));
  EXPECT_TRUE(std::regex_match(first, std::regex(R"(\[\d\d:\d\d:\d\d info libnet3g:2548 \d+ manager\.cpp:\d+\])"
                                                 R"(net3g version: 2\.9\.4 - Complie time .* SvnVersion = 2548)")))
      << first;

  // Unplugging and replugging the unknown modem leaves no thread or descriptor behind.
  auto before = net.Usage();
  ASSERT_GT(before.first, 0);
  auto uevent = [&](const std::string& text) {
    EXPECT_EQ(testsupport::Run({"dvrsim", "uevent", b.dir(), text}).status, 0);
  };
  auto slots = [&] { return At(c.Ask(128, 0), 12); };
  auto wait_slots = [&](int n) {
    for (int i = 0; i < 100 && slots() != n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return slots();
  };
  for (int cycle = 0; cycle < 3; ++cycle) {
    std::filesystem::remove_all(b.file("sys/bus/usb/devices/1-2"));
    uevent("remove@/devices/platform/hiusb/usb1/1-2/1-2:1.0/ttyUSB4");
    ASSERT_EQ(wait_slots(1), 1) << net.log();
    AddUsb(b, "1-2", "1234", "5678", "Acme", "Acme Modem", 1, 4, 1);
    uevent("add@/devices/platform/hiusb/usb1/1-2/1-2:1.0/ttyUSB4");
    ASSERT_EQ(wait_slots(2), 2);
  }
  std::pair<int, int> after;
  for (int i = 0; i < 30 && (after = net.Usage()) != before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(after, before);

  // The debug FIFO hands an AT command to the worker.
  testsupport::WriteFile(b.file("var/tmp/net3g_fifo"), "bogus 1\nat_cmd 0 \"AT+QGMR\"\n");
  EXPECT_TRUE(net.WaitLog("at_cmd reply: EC20CEFAR06A01M4G", 10)) << net.log();
  EXPECT_NE(net.log().find("bogus is not supported"), std::string::npos);

  // RESET_DEV answers at once; the worker turns the radio off and the main loop power-cycles the port.
  EXPECT_EQ(At(c.Ask(19, 0), 8), 0);
  EXPECT_TRUE(net.WaitLog("Now call usb_reset_multusb_module to hard reset 3G module index[0]!!", 15));
  EXPECT_EQ(testsupport::ReadFile(b.file("sys/bus/usb/devices/1-1/authorized")), "1\n");
  // After a fresh scan the modem gets a new worker.
  auto workers = [&] {
    std::string l = net.log();
    int n = 0;
    for (size_t at = 0; (at = l.find("at_tty_name=/dev/ttyUSB3", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  for (int i = 0; i < 100 && workers() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(workers(), 2);
}

TEST(Net3g, UnknownClientIsTurnedAwayAndRuntsKeepTheConnection) {
  TempBoard b;
  std::filesystem::create_directories(b.file("var/tmp"));
  std::filesystem::create_directories(b.file("sys/bus/usb/devices"));
  Net3g net(b);
  ASSERT_TRUE(net.WaitLog("No module inserted in the divice!", 10)) << net.log();
  Client c(b);
  c.Send(std::string(4, '\x01'));  // a runt: logged, no reply, connection stays
  ASSERT_TRUE(net.WaitLog("Recieve error package!", 5));
  c.Send(std::string(8, '\0') + Word(0));  // the stated length is now out of range: closed
  EXPECT_TRUE(c.Reply().empty());

  // SAVE_LOG moves the log into a new file in the given folder.
  std::filesystem::create_directories(b.file("var/log"));
  Client d(b);
  EXPECT_EQ(At(d.Ask(129, 0, std::string("/var/nowhere") + '\0'), 8), -1);
  EXPECT_EQ(At(d.Ask(129, 0, std::string("/var/log") + '\0'), 8), 0);
  std::string saved;
  for (const auto& e : std::filesystem::directory_iterator(b.file("var/log")))
    if (std::regex_match(e.path().filename().string(), std::regex(R"(3G_\d{8}_\d{6}\.txt)"))) saved = e.path();
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(std::filesystem::status(saved).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0644));
  EXPECT_NE(testsupport::ReadFile(saved).find("log saved to /var/log/3G_"), std::string::npos);
}

}  // namespace
