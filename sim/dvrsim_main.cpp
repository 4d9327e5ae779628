// dvrsim: creates simulated boards and runs programs on them.  The same
// executable serves the boards' tool stand-ins and command sandbox, chosen
// by the name it is started under.

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/peers.h"
#include "sim/net.h"
#include "sim/sim.h"

namespace {

std::string self_exe() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "dvrsim";
  buf[n] = 0;
  return buf;
}

std::string abs_dir(const char* dir) {
  char buf[PATH_MAX];
  return realpath(dir, buf) ? std::string(buf) : std::string(dir);
}

void print_usage(FILE* to) {
  fprintf(to,
          "usage: dvrsim new DIR [BOARD] [--force]\n"
          "                                     create a board directory (default board: default);\n"
          "                                     --force re-creates an existing board whole\n"
          "       dvrsim run DIR CMD [ARGS...]  run CMD on the board, applets first on PATH\n"
          "       dvrsim run --netns DIR CMD [ARGS...]\n"
          "                                     the same in fresh network and mount namespaces with\n"
          "                                     the board's interfaces as veth pairs (root)\n"
          "       dvrsim events DIR             print the board's events log\n");
  for (auto& c : sim::ExtraCommands()) fprintf(to, "       dvrsim %s\n", c.usage);
}

int usage() {
  print_usage(stderr);
  return 2;
}

bool is_help(const char* a) { return std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0; }

int cmd_new(int argc, char** argv) {
  bool force = false;
  std::vector<const char*> pos;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--force") == 0) force = true;
    else if (argv[i][0] == '-') return usage();
    else pos.push_back(argv[i]);
  }
  if (pos.empty() || pos.size() > 2) return usage();
  std::string dir = pos[0], err;
  namespace fs = std::filesystem;
  std::error_code ec;
  bool board = fs::exists(fs::path(dir) / "board.json", ec);
  if (board && !force) {
    fprintf(stderr, "dvrsim new: %s is a board already (--force re-creates it)\n", dir.c_str());
    return 1;
  }
  if (!board && fs::is_directory(dir, ec) && !fs::is_empty(dir, ec)) {
    // Only a board is ever removed, never a folder that holds something else.
    fprintf(stderr, "dvrsim new: %s is not empty and not a board\n", dir.c_str());
    return 1;
  }
  if (board) {
    for (auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
    if (ec) {
      fprintf(stderr, "dvrsim new: cannot clear %s: %s\n", dir.c_str(), ec.message().c_str());
      return 1;
    }
  }
  if (!sim::CreateBoard(dir, pos.size() == 2 ? pos[1] : "default", self_exe(), &err)) {
    fprintf(stderr, "dvrsim new: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

int cmd_run(int argc, char** argv) {
  bool netns = argc > 2 && std::strcmp(argv[2], "--netns") == 0;
  if (netns) {
    --argc;
    ++argv;
  }
  if (argc < 4) return usage();
  std::string dir = abs_dir(argv[2]), err;
  if (!sim::Board::Load(dir, &err)) {
    fprintf(stderr, "dvrsim run: %s\n", err.c_str());
    return 1;
  }
  if (!sim::StartPeers(dir, getpid(), &err)) {
    fprintf(stderr, "dvrsim run: %s\n", err.c_str());
    return 1;
  }
  std::string exe = self_exe();
  std::string bindir = exe.substr(0, exe.rfind('/'));
  if (netns) return sim::NetnsRun(dir, argv + 3, bindir);
  return sim::SandboxExec(dir, argv + 3, bindir);
}

int cmd_events(int argc, char** argv) {
  if (argc != 3) return usage();
  std::string err;
  if (!sim::Board::Load(argv[2], &err)) {
    fprintf(stderr, "dvrsim events: %s\n", err.c_str());
    return 1;
  }
  for (auto& l : sim::ReadEvents(argv[2])) printf("%s\n", l.c_str());
  return 0;
}

int cli(int argc, char** argv) {
  if (argc < 2) return usage();
  if (is_help(argv[1]) || (argc == 3 && is_help(argv[2]))) {
    print_usage(stdout);
    return 0;
  }
  std::string c = argv[1];
  if (c == "new") return cmd_new(argc, argv);
  if (c == "run") return cmd_run(argc, argv);
  if (c == "events") return cmd_events(argc, argv);
  for (auto& x : sim::ExtraCommands())
    if (c == x.name) return x.run(argc - 1, argv + 1);
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  sim::ReportBoardTypeErrors();
  const char* slash = strrchr(argv[0], '/');
  std::string name = slash ? slash + 1 : argv[0];
  if (name == "dvrsim-sandbox") {
    // Called by the command runner as: dvrsim-sandbox -c COMMAND, and by
    // the seam for a program as: dvrsim-sandbox --exec FILE ARGV0 ARGS...
    const char* dir = getenv("DVR_BOARD");
    if (dir && argc >= 4 && strcmp(argv[1], "--exec") == 0) return sim::SandboxExec(dir, argv + 3, "", argv[2]);
    if (!dir || argc != 3 || strcmp(argv[1], "-c") != 0) {
      fprintf(stderr, "dvrsim-sandbox: usage: DVR_BOARD=DIR dvrsim-sandbox -c COMMAND\n");
      return 127;
    }
    char sh[] = "sh", dash_c[] = "-c";
    char* args[] = {sh, dash_c, argv[2], nullptr};
    return sim::SandboxExec(dir, args);
  }
  if (name.rfind("dvrsim", 0) == 0) {
    try {
      return cli(argc, argv);
    } catch (const nlohmann::json::exception& e) {
      const char* what = e.what();
      if (const char* end = strstr(what, "] ")) what = end + 2;
      fprintf(stderr, "dvrsim: bad board description%s%s: %s\n", argc > 2 ? " in " : "", argc > 2 ? argv[2] : "",
              what);
      return 1;
    }
  }
  return sim::RunToolStandIn(argc, argv);
}
