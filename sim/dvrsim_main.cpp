// dvrsim: creates simulated boards and runs programs on them.  The same
// executable serves the boards' tool stand-ins and command sandbox, chosen
// by the name it is started under.

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

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

int usage() {
  fprintf(stderr,
          "usage: dvrsim new DIR [BOARD]        create a board directory (default board: default)\n"
          "       dvrsim run DIR CMD [ARGS...]  run CMD on the board, applets first on PATH\n"
          "       dvrsim run --netns DIR CMD [ARGS...]\n"
          "                                     the same in fresh network and mount namespaces with\n"
          "                                     the board's interfaces as veth pairs (root)\n"
          "       dvrsim events DIR             print the board's events log\n");
  for (auto& c : sim::ExtraCommands()) fprintf(stderr, "       dvrsim %s\n", c.usage);
  return 2;
}

int cmd_new(int argc, char** argv) {
  if (argc < 3 || argc > 4) return usage();
  std::string err;
  if (!sim::CreateBoard(argv[2], argc == 4 ? argv[3] : "default", self_exe(), &err)) {
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
  const char* slash = strrchr(argv[0], '/');
  std::string name = slash ? slash + 1 : argv[0];
  if (name == "dvrsim-sandbox") {
    // Called by the command runner as: dvrsim-sandbox -c COMMAND
    const char* dir = getenv("DVR_BOARD");
    if (!dir || argc != 3 || strcmp(argv[1], "-c") != 0) {
      fprintf(stderr, "dvrsim-sandbox: usage: DVR_BOARD=DIR dvrsim-sandbox -c COMMAND\n");
      return 127;
    }
    char sh[] = "sh", dash_c[] = "-c";
    char* args[] = {sh, dash_c, argv[2], nullptr};
    return sim::SandboxExec(dir, args);
  }
  if (name.rfind("dvrsim", 0) == 0) return cli(argc, argv);
  return sim::RunToolStandIn(argc, argv);
}
