// pppd: hands over to the installed PPP daemon with the same arguments.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "applets/applets.h"
#include "osa/sys.h"

namespace applets {

namespace {

constexpr const char* kDaemon = "/usr/sbin/pppd";

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

int PppdMain(int argc, char** argv) {
  // argv[0] stays as invoked; the daemon gets it unchanged with the rest.
  osa::sys::ExecPlan plan = osa::sys::plan_exec(kDaemon, argv);
  (void)argc;
  if (::access(plan.file.c_str(), X_OK) != 0) {
    fprintf(stderr, "pppd: the PPP daemon %s is not installed (%s)\n", kDaemon, strerror(errno));
    return -1;
  }
  // A board image that links pppd to this executable would exec itself for
  // ever; refuse instead.
  if (same_file(plan.file.c_str(), "/proc/self/exe")) {
    fprintf(stderr, "pppd: %s is this executable, not the PPP daemon\n", kDaemon);
    return -1;
  }
  osa::sys::exec_prepared(plan);
  fprintf(stderr, "pppd: cannot execute %s: %s\n", kDaemon, strerror(errno));
  return -1;
}

}  // namespace applets
