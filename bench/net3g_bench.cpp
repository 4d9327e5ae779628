// net3g on a simulated board with two modems switched on (an EC20 and an
// unknown modem running the generic family):
// - idle: wake-ups per second (context switches of all its threads) and
//   VmRSS over a quiet window (NET3G_IDLE_S seconds, 60 by default);
// - GET_DEV_STATUS latency, p50 and p99, with 100 clients asking at once.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "support/board.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string TwoModemBoard() {
  std::ifstream in(sim::BoardsDir() + "/modem.json");
  auto d = nlohmann::json::parse(in);
  auto& m = d["usb"]["modems"];
  m.erase(2);  // the disc modem
  m[0].erase("split");
  m[0].erase("garbage");
  m[1]["plugged"] = true;
  std::string path = "/tmp/dvrbench-net3g.json";
  std::ofstream(path) << d.dump();
  return path;
}

std::string Word(int32_t v) {
  std::string w(4, '\0');
  for (int i = 0; i < 4; ++i) w[i] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
  return w;
}

int Connect(const testsupport::TempBoard& b, int n) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un me{}, srv{};
  me.sun_family = srv.sun_family = AF_UNIX;
  std::string mine = b.file("var/tmp/wireless_client_socket_" + std::to_string(n));
  unlink(mine.c_str());
  std::strncpy(me.sun_path, mine.c_str(), sizeof me.sun_path - 1);
  std::strncpy(srv.sun_path, b.file("var/tmp/wireless_server_socket").c_str(), sizeof srv.sun_path - 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&srv), sizeof srv) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One request and its whole reply; false when the connection failed.
bool Ask(int fd, int32_t cmd, int32_t index, const std::string& payload, std::string* reply) {
  std::string req = Word(int32_t(12 + payload.size())) + Word(cmd) + Word(index) + payload;
  if (write(fd, req.data(), req.size()) != ssize_t(req.size())) return false;
  reply->clear();
  char buf[1024];
  while (reply->size() < 12 || reply->size() < size_t(uint8_t((*reply)[0]) | uint8_t((*reply)[1]) << 8)) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    reply->append(buf, size_t(n));
  }
  return true;
}

class Net3g {
 public:
  explicit Net3g(const testsupport::TempBoard& b) {
    fs::create_directories(b.file("var/tmp"));
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open(b.file("net3g.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
  // The net3g process itself (dvrsim run execs it under its own name).
  pid_t Pid() const {
    for (const auto& e : fs::directory_iterator("/proc")) {
      std::string n = e.path().filename();
      if (n.find_first_not_of("0123456789") != std::string::npos) continue;
      if (testsupport::ReadFile(e.path() / "comm") == "net3g\n" && getpgid(std::stoi(n)) == pid_) return std::stoi(n);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

// Context switches per thread.
std::map<std::string, long> Switches(pid_t pid) {
  std::map<std::string, long> out;
  std::error_code ec;
  for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(t.path() / "status");
    long total = 0;
    for (std::string line; std::getline(in, line);)
      if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
    out[t.path().filename()] = total;
  }
  return out;
}

// Switches between two readings; a thread that came or went counts with what it had.
long Delta(const std::map<std::string, long>& a, const std::map<std::string, long>& b) {
  long d = 0;
  for (const auto& [tid, n] : b) {
    auto it = a.find(tid);
    d += it == a.end() ? n : n - it->second;
  }
  return d;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Both modems on and reporting.
bool Settle(const testsupport::TempBoard& b) {
  int fd = -1;
  for (int i = 0; i < 100 && (fd = Connect(b, 999)) < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (fd < 0) return false;
  std::string r;
  bool up = false;
  for (int i = 0; i < 300 && !up; ++i) {
    up = true;
    for (int slot = 0; slot < 2; ++slot) {
      Ask(fd, 17, slot, Word(1), &r);
      up &= Ask(fd, 4, slot, "", &r) && r.size() >= 16 && r[12] == 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  close(fd);
  return up;
}

void BM_Net3gIdle(benchmark::State& state) {
  testsupport::TempBoard b(TwoModemBoard());
  Net3g net(b);
  if (!Settle(b)) {
    state.SkipWithError("the modems did not come up");
    return;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the settling client's thread is gone
  pid_t pid = net.Pid();
  const char* env = getenv("NET3G_IDLE_S");
  int seconds = env ? std::max(1, atoi(env)) : 60;
  double rate = 0;
  long rss = 0;
  for (auto _ : state) {
    auto before = Switches(pid);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double dt = std::chrono::duration<double>(Clock::now() - t0).count();
    rate = double(Delta(before, Switches(pid))) / dt;
    rss = RssKb(pid);
  }
  state.counters["wakeups_per_s"] = rate;
  state.counters["vmrss_kib"] = double(rss);
}

void BM_Net3gDevStatus100Clients(benchmark::State& state) {
  testsupport::TempBoard b(TwoModemBoard());
  Net3g net(b);
  if (!Settle(b)) {
    state.SkipWithError("the modems did not come up");
    return;
  }
  constexpr int kClients = 100, kEach = 200;
  std::vector<double> all;
  for (auto _ : state) {
    std::vector<int> fds;
    for (int c = 0; c < kClients; ++c) fds.push_back(Connect(b, c));
    std::mutex mu;
    std::vector<std::thread> threads;
    bool failed = false;
    for (int c = 0; c < kClients; ++c)
      threads.emplace_back([&, c] {
        std::vector<double> mine;
        std::string r;
        for (int k = 0; k < kEach; ++k) {
          auto t0 = Clock::now();
          if (fds[c] < 0 || !Ask(fds[c], 4, c % 2, "", &r) || r.size() != 212) {
            std::lock_guard g(mu);
            failed = true;
            return;
          }
          mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        std::lock_guard g(mu);
        all.insert(all.end(), mine.begin(), mine.end());
      });
    for (auto& t : threads) t.join();
    for (int fd : fds)
      if (fd >= 0) close(fd);
    if (failed) {
      state.SkipWithError("a client lost its connection");
      return;
    }
  }
  std::sort(all.begin(), all.end());
  state.counters["p50_us"] = all[all.size() / 2];
  state.counters["p99_us"] = all[all.size() * 99 / 100];
  state.counters["requests"] = double(all.size());
}

BENCHMARK(BM_Net3gIdle)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_Net3gDevStatus100Clients)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
