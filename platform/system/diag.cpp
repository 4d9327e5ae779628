// Answers of the board's diagnostic tools: the BIOS version and the
// information collector.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "osa/shell.h"
#include "platform/system/sysdev.h"

int SystemCollectInfo(const char* directory, int flag) {
  DVR_INFO("System Collectting information, flag=0x%x, path=(%s)...\n", flag, directory ? directory : "");
  char cmd[512];
  if (!directory || !osa::ShellSafe(directory, osa::kShellWordChars, 256)) {
    DVR_ERROR("run (%s) failed\n", directory ? directory : "");
    return OSA_EFAIL;
  }
  std::snprintf(cmd, sizeof cmd, "%s -d %s -p %d -f %d", "collect", directory, static_cast<int>(getpid()), flag);
  if (run_cmd(cmd) != 0) {
    DVR_ERROR("run (%s) failed\n", cmd);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int GetBiosVersion(char* buf) {
  if (!buf) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  std::memset(buf, 0, 95);
  int rc = OSA_SOK;
  // The pipeline's status is awk's: no answer from dmidecode is no version.
  osa::CaptureResult r = osa::Capture("dmidecode -t bios |awk '/^[[:blank:]]*.*Version/{print $2}'");
  if (!r.ok() || r.output.empty()) {
    DVR_ERROR("get Bios Version Failed!\n");
    rc = OSA_EFAIL;
  } else {
    std::snprintf(buf, 64, "%s", sysdev::FirstLine(r.output, 63).c_str());
  }
  r = osa::Capture("dmidecode -t bios |awk '/^[[:blank:]]*.*Release/{print $3}'");
  if (!r.ok() || r.output.empty()) {
    DVR_ERROR("get Bios Release Date Failed!\n");
    rc = OSA_EFAIL;
  } else {
    std::snprintf(buf + 64, 31, "%s", sysdev::FirstLine(r.output, 30).c_str());
  }
  return rc;
}
