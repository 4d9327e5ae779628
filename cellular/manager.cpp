// The manager process: the main loop that scans the USB bus and runs one
// worker per modem, the hotplug watcher, and the control socket server.
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>

#include "cellular/internal.h"
#include "cellular/log.h"
#include "cellular/scan.h"
#include "cellular/worker.h"
#include "osa/file.h"
#include "osa/sys.h"

namespace cellular {

namespace {

constexpr const char* kServerPath = "/var/tmp/wireless_server_socket";
constexpr const char* kClientPath = "/var/tmp/wireless_client_socket";
constexpr const char* kWaitServer = "/var/tmp/WAIT_SERVER_SOCKET";
constexpr const char* kWaitClient = "/var/tmp/WAIT_CLIENT_SOCKET";
constexpr const char* kFifo = "/var/tmp/net3g_fifo";
constexpr std::size_t kFifoLineMax = 512;
constexpr int kScanPasses = 45;
constexpr int kMaxClients = 128;

bool FillUnix(sockaddr_un* a, const std::string& path) {
  std::memset(a, 0, sizeof *a);
  a->sun_family = AF_UNIX;
  if (path.size() >= sizeof a->sun_path) return false;
  std::memcpy(a->sun_path, path.c_str(), path.size());
  return true;
}

class Manager {
 public:
  int Run();

 private:
  void LoadTiming();
  bool MakeWakePair();
  void Wake();
  void WaitPass();
  void Scan();
  void ServeSlots();
  void HotplugThread();
  void ServerThread();
  void ClientThread(osa::UniqueFd fd);
  void ResetModule(int slot);
  void FifoThread();
  void LinkThread();
  void SwitchStorage(const UsbDevice& d);
  void FifoLine(std::string_view line);

  Control control_;
  Timing timing_;
  osa::UniqueFd wake_server_, wake_client_;
  std::atomic<bool> hotplug_{true};
  std::atomic<int> clients_{0};
  std::atomic<bool> reset_wanted_[kSlots] = {};
  int scans_left_ = 0;
  std::vector<DeviceMatch> found_;
  std::string sysname_[kSlots];
  std::unique_ptr<Worker> workers_[kSlots];
  int empty_passes_ = 0;
  int huawei_switches_ = 0;
  int huawei_resets_ = 0;
  bool seen_modem_ = false;
};

void Manager::LoadTiming() {
  const char* files[] = {"/mnt/mtd/Config/ppp/custom_config", "/mnt/custom/custom_config"};
  for (int i = 0; i < 2; ++i) {
    auto r = osa::ReadFile(files[i], 64 * 1024);
    if (r.status == osa::ReadStatus::Missing) continue;
    NET3G_LOG(4, i == 0 ? "use \n" : "use default2\n");
    std::vector<std::string> problems;
    timing_ = ParseTiming(r.data, &problems);
    for (const auto& p : problems) NET3G_LOG(3, "%s: %s\n", files[i], p.c_str());
    return;
  }
  NET3G_LOG(4, "use default config\n");
}

bool Manager::MakeWakePair() {
  std::string sp = osa::sys::path(kWaitServer), cp = osa::sys::path(kWaitClient);
  osa::sys::unlink(kWaitServer);
  osa::sys::unlink(kWaitClient);
  wake_server_.reset(osa::sys::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  wake_client_.reset(osa::sys::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!wake_server_ || !wake_client_) {
    NET3G_LOG(2, "socket failed, %s\n", strerror(errno));
    return false;
  }
  sockaddr_un a;
  if (!FillUnix(&a, sp) || osa::sys::bind(wake_server_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    NET3G_LOG(2, "bind %s failed, %s\n", kWaitServer, strerror(errno));
    return false;
  }
  sockaddr_un c;
  if (!FillUnix(&c, cp) || osa::sys::bind(wake_client_.get(), reinterpret_cast<sockaddr*>(&c), sizeof c) != 0) {
    NET3G_LOG(2, "bind failed\n");
    return false;
  }
  if (osa::sys::connect(wake_client_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    NET3G_LOG(2, "connect failed\n");
    return false;
  }
  return true;
}

void Manager::Wake() {
  char z = 0;
  if (osa::sys::send(wake_client_.get(), &z, 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) NET3G_LOG(2, "send fail\n");
}

void Manager::WaitPass() {
  struct pollfd p {};
  p.fd = wake_server_.get();
  p.events = POLLIN;
  if (osa::sys::poll(&p, 1, 2000) > 0) {
    char buf[64];
    while (osa::sys::recv(wake_server_.get(), buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
}

void Manager::Scan() {
  std::vector<std::string> problems;
  auto devs = GetUsbDevs(kSlots, &problems);
  for (const auto& p : problems) NET3G_LOG(3, "usb scan: %s\n", p.c_str());
  std::vector<DeviceMatch> found;
  std::string names[kSlots];
  for (std::size_t i = 0; i < devs.size(); ++i) {
    const UsbDevice& d = devs[i].dev;
    NET3G_LOG(5,
              "dev_array[%zu]: product_id= 0x%x, vendor= 0x%x, manufacturer=%s, product= %s, network_card= %s,"
              "driver_type[%d] subdev_count[%zu],inerface_index[%d]\n",
              i, d.product, d.vendor, d.manufacturer.c_str(), d.product_name.c_str(), d.netcard.c_str(),
              d.driver_type, d.subdevs.size(), d.interface);
    if (d.driver_type == 2) {
      if (d.interface >= 0 && d.interface < kSlots) names[d.interface] = devs[i].sysname;
      SwitchStorage(d);
      continue;
    }
    if (d.driver_type != 0) continue;
    std::string why;
    auto m = MatchDevice(d, &why);
    if (!why.empty()) NET3G_LOG(4, "%s\n", why.c_str());
    if (!m) continue;
    bool taken = false;
    for (const auto& f : found) taken |= f.slot == m->slot;
    if (taken) {
      NET3G_LOG(3, "two modems on slot %d, the second is left alone\n", m->slot);
      continue;
    }
    names[m->slot] = devs[i].sysname;
    found.push_back(*m);
  }
  found_ = std::move(found);
  for (int s = 0; s < kSlots; ++s)
    if (!names[s].empty()) sysname_[s] = names[s];
}

void Manager::SwitchStorage(const UsbDevice& d) {
  EjectDisc(d);
  for (int tries = 0; tries < 5; ++tries)
    if (SwitchUsbMode(d) == 0) break;
  if (d.vendor != 0x12d1) return;
  // A Huawei stick that keeps coming back as a disc gets its port power-cycled.
  if (++huawei_switches_ % 5 == 0 && huawei_resets_ < 3 && d.interface >= 0 && d.interface < kSlots) {
    ++huawei_resets_;
    NET3G_LOG(4, "switch_usb_mode for five times,now\thard reset,index=%d\n", d.interface);
    ResetModule(d.interface);
  }
}

void Manager::ResetModule(int slot) {
  // Power-cycle by de-authorising the device on its port and back.
  if (sysname_[slot].empty()) return;
  std::string attr = "/sys/bus/usb/devices/" + sysname_[slot] + "/authorized";
  for (const char* v : {"0", "1"}) {
    osa::UniqueFd fd(osa::sys::open(attr.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd || osa::sys::write(fd.get(), v, 1) != 1) {
      NET3G_LOG(2, "usb_reset_multusb_module %d: cannot write %s\n", slot, attr.c_str());
      return;
    }
  }
}

void Manager::ServeSlots() {
  if (found_.empty()) {
    NET3G_LOG(4, "No module inserted in the divice!\n");
    if (!seen_modem_) {
      ++empty_passes_;
      int period = PassesIn(timing_.no_module_hrst_time);
      long limit = static_cast<long>(timing_.no_module_hrst_time) * timing_.no_module_hrst_count / 2;
      if (empty_passes_ % period == 0 && empty_passes_ <= limit)
        NET3G_LOG(4, "no module found after customized time,but _3G4G_HARD_RST not define so not hard reset\n");
    }
  } else {
    seen_modem_ = true;
  }
  for (int s = 0; s < kSlots; ++s) {
    if (reset_wanted_[s].exchange(false)) {
      const DeviceMatch* m = workers_[s] ? &workers_[s]->match() : nullptr;
      if (!m || m->info.type != 51) {
        NET3G_LOG(4, "Now call usb_reset_multusb_module to hard reset 3G module index[%d]!!\n", s);
        ResetModule(s);
        // The modem comes back through the bus: wait for a fresh scan
        // rather than open ports that are being re-made.
        std::erase_if(found_, [s](const DeviceMatch& f) { return f.slot == s; });
        hotplug_ = true;
      }
    }
    const DeviceMatch* now = nullptr;
    for (const auto& f : found_)
      if (f.slot == s) now = &f;
    auto& w = workers_[s];
    if (w && !w->running()) w.reset();  // joins the thread that left
    if (w && !now) {
      w->Stop();
      osa::LockGuard g(control_.mutex());
      control_.slot(s).has_modem = false;
      continue;
    }
    if (w && now && (w->match().row != now->row || w->match().info.vendor != now->info.vendor ||
                     w->match().info.product != now->info.product)) {
      NET3G_LOG(4, "The device have been replaced!\n");
      w->Stop();
      hotplug_ = true;
      continue;
    }
    if (!now || w) continue;
    {
      osa::LockGuard g(control_.mutex());
      SlotState& st = control_.slot(s);
      st.has_modem = true;
      st.type = now->info.type;
      st.row = now->row;
    }
    w = std::make_unique<Worker>(control_, timing_, *now, SystemClock());
    NET3G_LOG(4, "The device have been added! \n");
    w->Start([this](int slot, bool reset) {
      if (reset) reset_wanted_[slot] = true;
      Wake();
    });
  }
}

void Manager::HotplugThread() {
  for (;;) {
    osa::UniqueFd fd(osa::sys::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (!fd) {
      NET3G_LOG(2, "Hotplug socket failed: %s\n", strerror(errno));
      std::this_thread::sleep_for(std::chrono::seconds(5));
      continue;
    }
    int size = 65536;
    osa::sys::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_nl nl{};
    nl.nl_family = AF_NETLINK;
    nl.nl_groups = 1;
    if (osa::sys::bind(fd.get(), reinterpret_cast<sockaddr*>(&nl), sizeof nl) != 0) {
      NET3G_LOG(2, "Hotplug bind failed: %s\n", strerror(errno));
      std::this_thread::sleep_for(std::chrono::seconds(5));
      continue;
    }
    char buf[2048];
    for (;;) {
      sockaddr_nl from{};
      iovec iov{buf, sizeof buf};
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      ssize_t n = osa::sys::recvmsg(fd.get(), &msg, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == ENOBUFS) {  // events were lost: rescan to be sure
          hotplug_ = true;
          Wake();
          continue;
        }
        NET3G_LOG(2, "Hotplug receive failed: %s\n", strerror(errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        continue;
      }
      if (from.nl_pid != 0) continue;  // only the kernel's events count
      if (!UeventWantsScan(std::string_view(buf, static_cast<std::size_t>(n)))) continue;
      hotplug_ = true;
      NET3G_LOG(4, "Hotplug event occurs!\n");
      Wake();
    }
  }
}

void Manager::LinkThread() {
  for (;;) {
    bool any = false;
    {
      osa::LockGuard g(control_.mutex());
      for (int i = 0; i < kSlots; ++i) any |= control_.slot(i).has_modem;
    }
    if (!any) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      continue;
    }
    osa::UniqueFd fd(osa::sys::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    sockaddr_nl nl{};
    nl.nl_family = AF_NETLINK;
    nl.nl_groups = RTMGRP_LINK;
    int size = 65536;
    if (!fd || osa::sys::bind(fd.get(), reinterpret_cast<sockaddr*>(&nl), sizeof nl) != 0) {
      NET3G_LOG(2, "net state socket: %s\n", strerror(errno));
      std::this_thread::sleep_for(std::chrono::seconds(5));
      continue;
    }
    osa::sys::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    alignas(nlmsghdr) char buf[8192];
    for (;;) {
      ssize_t n = osa::sys::recv(fd.get(), buf, sizeof buf, 0);
      if (n < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
      if (n <= 0) break;
      bool error = false;
      for (const auto& l : ParseLinkMessages(buf, static_cast<std::size_t>(n), &error)) {
        int slot = LinkSlot(l.name);
        if (slot < 0) continue;
        if (!l.up) {
          osa::LockGuard g(control_.mutex());
          SlotState& st = control_.slot(slot);
          if (st.call_state > 2) st.call_state = 4;
          st.addr = st.mask = st.gateway = 0;
          NET3G_LOG(4, "PPP link is down!\n");
        }
        NET3G_LOG(4, "netcard:%s,state:%s!\n", l.name.c_str(), l.up ? "up" : "down");
      }
      if (error) break;  // start over with a fresh socket
    }
  }
}

void Manager::ClientThread(osa::UniqueFd fd) {
  std::string buf;
  char chunk[kMaxRequest];
  for (;;) {
    ssize_t n = osa::sys::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    buf.append(chunk, static_cast<std::size_t>(n));
    bool close_it = false;
    for (;;) {
      if (buf.empty()) break;
      if (buf.size() < 8) {
        NET3G_LOG(2, "Recieve error package! \n");
        break;
      }
      Request req;
      Frame f = TakeRequest(buf, &req);
      if (f == Frame::NeedMore) {
        NET3G_LOG(4, "Package isn't complete! \n");
        break;
      }
      if (f == Frame::Bad) {
        NET3G_LOG(2, "request length %d out of range, closing the connection\n", GetInt(buf, 0));
        close_it = true;
        break;
      }
      if (!buf.empty()) NET3G_LOG(3, "len:%zu\trecv_pkg->len:%d abnormal\n", buf.size() + req.len, req.len);
      Reply rep = control_.Handle(req);
      if (!rep.send) continue;
      std::size_t off = 0;
      int writes = 0;
      while (off < rep.bytes.size()) {
        ssize_t w = osa::sys::send(fd.get(), rep.bytes.data() + off, rep.bytes.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          NET3G_LOG(2, "Fail to send response package!\n");
          close_it = true;
          break;
        }
        off += static_cast<std::size_t>(w);
        if (++writes > 10) NET3G_LOG(3, "w_cnt:%d  abnormal  size:%zu \n", writes, rep.bytes.size());
      }
      if (close_it) break;
    }
    if (close_it) break;
  }
  --clients_;
}

void Manager::ServerThread() {
  std::string path = osa::sys::path(kServerPath);
  osa::UniqueFd fd;
  for (;;) {
    osa::sys::unlink(kServerPath);
    fd.reset(osa::sys::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a;
    if (fd && FillUnix(&a, path) && osa::sys::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        osa::sys::listen(fd.get(), 5) == 0)
      break;
    NET3G_LOG(2, "wireless server socket: %s\n", strerror(errno));
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  for (;;) {
    sockaddr_un peer{};
    socklen_t len = sizeof peer;
    int c = osa::sys::accept4(fd.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno != EINTR) {
        // Out of descriptors or memory: wait instead of giving up the server.
        NET3G_LOG(2, "accept failed: %s\n", strerror(errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
      continue;
    }
    osa::UniqueFd cfd(c);
    std::size_t plen = len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
    std::string_view pname(peer.sun_path, strnlen(peer.sun_path, std::min(plen, sizeof peer.sun_path)));
    if (pname.find(kClientPath) == std::string_view::npos) {
      NET3G_LOG(2, "The client is unknown!\n");
      continue;
    }
    if (clients_ >= kMaxClients) {
      NET3G_LOG(2, "too many clients (%d), connection refused\n", kMaxClients);
      continue;
    }
    ++clients_;
    std::thread([this, f = std::move(cfd)]() mutable { ClientThread(std::move(f)); }).detach();
  }
}

void Manager::FifoLine(std::string_view line) {
  std::string err;
  auto c = ParseFifoLine(line, &err);
  if (!c) {
    NET3G_LOG(3, "debug fifo: %s\n", err.c_str());
    return;
  }
  if (c->name == "set_debug_level") {
    if (c->args.size() != 1 || c->args[0].size() != 1 || c->args[0][0] < '0' || c->args[0][0] > '6') {
      NET3G_LOG(3, "set_debug_level needs a level from 0 to 6\n");
      return;
    }
    SetLogThreshold(c->args[0][0] - '0');
    NET3G_LOG(4, "debug level set to %d\n", LogThreshold());
  } else if (c->name == "at_cmd") {
    int idx = c->args.size() == 2 && c->args[0].size() <= 2 && !c->args[0].empty() &&
                      c->args[0].find_first_not_of("0123456789") == std::string::npos
                  ? std::stoi(c->args[0])
                  : -1;
    if (idx < 0 || idx >= kSlots || c->args[1].empty() || !AtArgSafe(c->args[1], 250) ||
        c->args[1].find('"') != std::string::npos) {
      NET3G_LOG(3, "at_cmd needs a module index and a quoted AT command\n");
      return;
    }
    osa::LockGuard g(control_.mutex());
    control_.slot(idx).debug_at = c->args[1] + "\r";
  } else {
    NET3G_LOG(3, "debug fifo: %s is not supported\n", c->name.c_str());
  }
}

void Manager::FifoThread() {
  osa::sys::unlink(kFifo);
  if (osa::sys::mkfifo(kFifo, 0666) != 0) {
    NET3G_LOG(2, "cannot create %s: %s\n", kFifo, strerror(errno));
    return;
  }
  // Held open for writing too, so an absent writer is no end of file.
  osa::UniqueFd fd(osa::sys::open(kFifo, O_RDWR | O_CLOEXEC));
  if (!fd) {
    NET3G_LOG(2, "cannot open %s: %s\n", kFifo, strerror(errno));
    return;
  }
  std::string pending;
  char buf[256];
  for (;;) {
    ssize_t n = osa::sys::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      continue;
    }
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      FifoLine(std::string_view(pending).substr(0, nl));
      pending.erase(0, nl + 1);
    }
    if (pending.size() > kFifoLineMax) {
      NET3G_LOG(3, "debug fifo: line longer than %zu bytes dropped\n", kFifoLineMax);
      pending.clear();
    }
  }
}

int Manager::Run() {
  NET3G_LOG(4, "net3g version: %s - Complie time %s %s SvnVersion = %d\n", "2.9.4", __DATE__, __TIME__,
            kCourseVersion);
  signal(SIGPIPE, SIG_IGN);  // replies use MSG_NOSIGNAL; a closed peer is a failed send
  std::thread(&Manager::FifoThread, this).detach();
  std::thread(&Manager::LinkThread, this).detach();
  LoadTiming();
  SetLogThreshold(4);
  std::thread(&Manager::HotplugThread, this).detach();
  std::thread(&Manager::ServerThread, this).detach();
  if (!UsbInitUsbLib()) {
    NET3G_LOG(2, "UsbInitUsbLib failed\n");
    NET3G_LOG(1, "Radio program error exit!\n");
    return -1;
  }
  if (!MakeWakePair()) {
    NET3G_LOG(1, "Radio program error exit!\n");
    return -1;
  }
  for (;;) {
    if (hotplug_.exchange(false)) {
      NET3G_LOG(4, "main thread detect hotplug events!\n");
      scans_left_ = kScanPasses;
    }
    if (scans_left_ > 0) {
      Scan();
      --scans_left_;
    }
    ServeSlots();
    WaitPass();
  }
}

}  // namespace

int Net3gRun() {
  static Manager* m = new Manager;  // lives as long as the process; its threads are never joined
  return m->Run();
}

}  // namespace cellular
