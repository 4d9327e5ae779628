// The command sandbox.  As root it enters a private mount namespace and
// lays the board's tool stand-ins over the host's tool folders with
// read-only overlays; whatever runs inside finds the stand-ins both on PATH
// and at the absolute paths.  Without root nothing is mounted: such a
// process cannot reboot, format or reconfigure the host anyway, and the
// stand-ins still come first on PATH.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "sim/net.h"
#include "sim/sim.h"

namespace sim {

namespace {

bool cover_host_tools(const std::string& dir) {
  if (unshare(CLONE_NEWNS) != 0) {
    fprintf(stderr, "dvrsim: unshare(CLONE_NEWNS): %s\n", strerror(errno));
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    fprintf(stderr, "dvrsim: cannot make / private: %s\n", strerror(errno));
    return false;
  }
  std::ifstream in(dir + "/tools/overlays");
  for (std::string host; std::getline(in, host);) {
    if (host.empty()) continue;
    std::string opts = "lowerdir=" + dir + "/tools/root" + host + ":" + host;
    if (mount("dvrsim", host.c_str(), "overlay", MS_RDONLY, opts.c_str()) != 0) {
      fprintf(stderr, "dvrsim: cannot cover %s: %s\n", host.c_str(), strerror(errno));
      return false;
    }
  }
  return true;
}

}  // namespace

int SandboxExec(const std::string& dir, char* const argv[], const std::string& path_front) {
  std::string err;
  auto b = Board::Load(dir, &err);
  if (b && UsesRealNetTools(*b) && !PrivateNetns()) {
    fprintf(stderr, "dvrsim: %s runs the host's network tools; use dvrsim run --netns\n", dir.c_str());
    return 126;
  }
  const char* done = getenv("DVR_SANDBOXED");
  if (geteuid() == 0 && !(done && dir == done)) {
    // Fail closed: a command that cannot be fenced in does not run.
    if (!cover_host_tools(dir)) return 126;
    setenv("DVR_SANDBOXED", dir.c_str(), 1);
  }
  std::string path = path_front.empty() ? "" : path_front + ":";
  path += dir + "/tools/bin";
  if (const char* p = getenv("PATH")) path += std::string(":") + p;
  setenv("PATH", path.c_str(), 1);
  setenv("DVR_BOARD", dir.c_str(), 1);
  execvp(argv[0], argv);
  fprintf(stderr, "dvrsim: cannot run %s: %s\n", argv[0], strerror(errno));
  return 127;
}

}  // namespace sim
