// demoapp: a stand-in main application for the simulated board.  Each
// start logs, serves the console-redirection queue for a moment, and exits
// with the next code of a script, so the supervisor's restart protocol can
// be watched:
//
//   DEMOAPP_CODES   exit codes, one per start ("6,7,0" by default); after
//                   the last one it keeps using the last
//   DEMOAPP_STATE   file counting the starts (default DVR_BOARD/var/run/demoapp.starts)
//   DEMOAPP_RUN_MS  how long each start runs (default 200)
//
// Command line: demoapp [BUFMETHOD], as the supervisor starts it.

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<int> codes() {
  const char* e = getenv("DEMOAPP_CODES");
  std::stringstream in(e && *e ? e : "6,7,0");
  std::vector<int> v;
  for (std::string c; std::getline(in, c, ',');) v.push_back(std::atoi(c.c_str()));
  if (v.empty()) v.push_back(0);
  return v;
}

std::string state_file() {
  if (const char* s = getenv("DEMOAPP_STATE")) return s;
  const char* b = getenv("DVR_BOARD");
  return std::string(b ? b : "/tmp") + "/var/run/demoapp.starts";
}

// The redirect requests of printcli: type "1" with two terminal names, or
// type "0" with "close".
struct PrintMsg {
  long type;
  char text[64];
};

void serve_queue(int ms) {
  int q = -1;
  if (key_t k = ftok("challenge_print", 1); k != -1) q = msgget(k, IPC_CREAT | 0666);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    PrintMsg m{};
    if (q >= 0 && msgrcv(q, &m, sizeof m.text, 0, IPC_NOWAIT) >= 0) {
      if (m.type == '1') std::printf("demoapp: console redirected to %.31s / %.31s\n", m.text, m.text + 32);
      else if (m.type == '0') std::printf("demoapp: console redirection closed\n");
      std::fflush(stdout);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

constexpr const char* kUsage =
    "usage: demoapp [BUFMETHOD]\n"
    "A stand-in main application: counts its starts, serves the console\n"
    "redirection queue for a moment and exits with the next scripted code.\n"
    "  BUFMETHOD        the supervisor's buffer method (buf, lbuf)\n"
    "Environment: DEMOAPP_CODES (\"6,7,0\"), DEMOAPP_STATE, DEMOAPP_RUN_MS (200).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string file = state_file();
  int starts = 0;
  {
    std::ifstream in(file);
    in >> starts;
  }
  ++starts;
  {
    std::ofstream out(file, std::ios::trunc);
    out << starts << "\n";
    out.flush();
    if (!out) {
      std::fprintf(stderr, "demoapp: cannot write the start count to %s: %s\n", file.c_str(), std::strerror(errno));
      return 1;
    }
  }
  auto v = codes();
  int code = v[std::min<size_t>(static_cast<size_t>(starts - 1), v.size() - 1)];
  std::printf("demoapp: start %d, buffer method %s, pid %d\n", starts, argc > 1 ? argv[1] : "(none)",
              static_cast<int>(getpid()));
  std::fflush(stdout);
  const char* run = getenv("DEMOAPP_RUN_MS");
  serve_queue(run ? std::atoi(run) : 200);
  std::printf("demoapp: start %d ends with exit code %d\n", starts, code);
  std::fflush(stdout);
  return code;
}
