// dvrhelper: brings the platform up, reads the start switches, then runs
// the main application in a loop and acts on its exit status: 6 restarts
// it at once, 5 and 7 wait for the front panel's release frame first.

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "applets/applets.h"
#include "applets/usb_debug.h"
#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/env/bootenv.h"
#include "platform/frontboard/frontboard.h"
#include "platform/system/system.h"

#define HELPER_ERROR(fn, fmt, ...) \
  OSA_logWrite(OSA_LOG_ERR, OSA_COLOUR_RED, OSA_TAG_LIBDVR "ERROR  (%s|%d): " fmt, fn, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace applets {

namespace {

constexpr int kRevision = 4517;
constexpr const char* kMain = "dvr_dvrhelper_main";

// Waits for the release frame; every other frame is discarded.
bool ListenFrontboard() {
  if (FrontboardCreate() < 0) {
    HELPER_ERROR("ListenFrontboard", "FrontboardCreate failed\n");
    return false;
  }
  uint8_t buf[4];
  size_t have = 0;
  std::vector<FbdFrame> frames;
  for (bool released = false; !released;) {
    if (FrontboardRead(buf + have, static_cast<int>(sizeof buf - have)) < 0) {
      HELPER_ERROR("ListenFrontboard", "frontboard read failed\n");
      if (FrontboardThreadStop() != 0) HELPER_ERROR("ListenFrontboard", "system dev thread stop failed\n");
      return false;
    }
    frames.clear();
    size_t used = FbdSplitFrames(buf, sizeof buf, &frames);
    for (const FbdFrame& f : frames) released = released || FbdIsRelease(f);
    // The start of the next frame stays; it is completed by the next read.
    std::memmove(buf, buf + used, sizeof buf - used);
    have = sizeof buf - used;
  }
  if (FrontboardDestroy() != 0) {
    HELPER_ERROR("ListenFrontboard", "FrontboardDestory failed\n");
    return false;
  }
  return true;
}

}  // namespace

int DvrhelperMain(int argc, char** argv) {
  InitDvrSystem(argc, argv);
  OSA_LOG_DEBUG("dvrhelper version:    %d %s %s\n", kRevision, __DATE__, __TIME__);
  if (argc <= 1) {
    OSA_LOG_DEBUG("dvrhelper: dvrhelp err\n");
    return 0;
  }
  const char* program = argv[1];
  char appstart[32] = {}, enprint[32] = {};
  if (BootEnvGetValue("appstart", appstart, sizeof appstart) < 0) {
    HELPER_ERROR(kMain, "dvrhelper: get appstart err\n");
    return -1;
  }
  if (BootEnvGetValue("enprint", enprint, sizeof enprint) < 0) {
    HELPER_ERROR(kMain, "dvrhelper: get enprint err\n");
    return -1;
  }
  if (std::strcmp(appstart, "2") == 0)
    for (;;) sleep(200);
  if (std::strcmp(appstart, "1") != 0) {
    DVR_INFO("dvrhelper: appstart = 0, app will not auto start.\n");
    return 0;
  }
  const char* buf_method = "buf";
  const SystemRes_t* sys = SystemGetRecord();
  if (std::strcmp(enprint, "1") == 0 && !(sys && sys->UsbDebugInhibit == 1)) {
    DVR_INFO("dvrhelper: starting usb debug, must not plug out USBStorage devices...\n");
    if (usb_debug() == 0) buf_method = "lbuf";
    else DVR_INFO("dvrhelper: try enter usb debug mode failed, no disk dectected..\n");
  }

  // Started as execl would: a name without a slash is a file in the working
  // directory, never one found on PATH.
  const std::string file = std::strchr(program, '/') ? program : std::string("./") + program;
  int status = 0;
  for (;;) {
    int state = 0;
    const char* const args[] = {program, buf_method, nullptr};
    osa::sys::ExecPlan plan = osa::sys::plan_exec(file.c_str(), args);
    // The child shares our memory until it execs: its failure line is made
    // now and written with one write(2), never through stdio.
    char failed[512];
    int failed_len = std::snprintf(failed, sizeof failed,
                                   "%s" OSA_TAG_LIBDVR "ERROR  (%s|%d): dvrhelper: execl failed, program(%s), "
                                   "BufMethod(%s)\n\033[m",
                                   "\033[0;32;31m", kMain, __LINE__, program, buf_method);
    if (failed_len < 0 || failed_len >= static_cast<int>(sizeof failed)) failed_len = sizeof failed - 1;
    fflush(stdout);
    pid_t pid = vfork();
    if (pid < 0) {
      HELPER_ERROR(kMain, "dvrhelper: vfork error(Pid = %d)\n", static_cast<int>(pid));
      return -1;
    }
    if (pid == 0) {
      osa::sys::exec_prepared(plan);
      ssize_t n = ::write(1, failed, static_cast<size_t>(failed_len));
      (void)n;
      _exit(255);
    }
    DVR_INFO("dvrhelper: father process(dvrhelper) waitting for State = %d...\n", state);
    if (osa::sys::waitpid(pid, &status, 0) < 0) DVR_INFO("some error occured errno: %d\n", errno);
    int code = (status >> 8) & 0xFF;
    DVR_INFO("dvrhelper: child process exit and return status: %d\n", code);
    if (code == APP_EXIT_RESTART) {
      DVR_INFO("dvrhelper: Restarting Applacatin.\n");
      continue;
    }
    if (code == APP_EXIT_EXIT || code == APP_EXIT_SHUTDOWN) {
      DVR_INFO("dvrhelper: listening frontboard...\n");
      if (!ListenFrontboard()) {
        HELPER_ERROR(kMain, "dvrhelper: ListenFrontboard failed.\n");
        return -1;
      }
      continue;
    }
    DVR_INFO("dvrhelper: unsupported Status(enum=%d)\n", code);
    return 0;
  }
}

}  // namespace applets
