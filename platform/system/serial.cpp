// Serial numbers: the boot environment first, then the board's tools.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "osa/file.h"
#include "osa/shell.h"
#include "osa/sys.h"
#include "platform/env/bootenv.h"
#include "platform/system/sysdev.h"

using sysdev::Dev;
using sysdev::SysDev;
using sysdev::kSnLen;

namespace {
bool exists(const char* p) { return osa::sys::access(p, F_OK) == 0; }

void wait_env(const char* msg) {
  while (EnvDevInit() != OSA_SOK) {
    DVR_INFO("%s\n", msg);
    sleep(1);
  }
}
}  // namespace

int SystemGetSerialNumber(char* buf, int len) {
  SysDev& d = Dev();
  if (!buf || len < 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  if (!sysdev::Inited()) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (d.SnValid) {
    std::memcpy(buf, d.Sn, static_cast<std::size_t>(std::min(len, kSnLen)));
    return OSA_SOK;
  }
  if (len > kSnLen) {
    DVR_ERROR("The arg Length is too large !\n");
    return OSA_EFAIL;
  }
  wait_env("EnvDev not init,please wait...");
  DVR_INFO("SerialIDKey=(%s)\n", d.Res.SerialIDKey);
  char sn[kSnLen] = {};
  bool got = d.Res.SerialIDKey[0] && BootEnvGetValue(d.Res.SerialIDKey, sn, sizeof sn) >= 0 && sn[0];
  if (!got && exists("/usr/local/bin/seq2dev")) {
    DVR_INFO("Try to get SerialNumber from command:%s\n", "/usr/local/bin/seq2dev");
    osa::CaptureResult r = osa::Capture("/usr/local/bin/seq2dev");
    if (r.ok() && !r.output.empty()) {
      std::snprintf(sn, sizeof sn, "%s", sysdev::FirstLine(r.output, 63).c_str());
      got = true;
    } else if (!exists("/usr/local/bin/serialget")) {
      // Nothing cached to fall back on here: no serial number is a failure.
      DVR_ERROR("SysGetSerialNumber failed\n");
      return OSA_EFAIL;
    }
  }
  if (!got && exists("/usr/local/bin/serialget")) {
    DVR_INFO("Try to get SerialNumber from command:%s\n", "/usr/local/bin/serialget");
    osa::CaptureResult r = osa::Capture("/usr/local/bin/serialget");
    const std::string& out = r.output;
    if (r.ok()) {
      std::size_t c = out.find(':');
      if (c != std::string::npos && c + 2 <= out.size()) {
        std::snprintf(sn, sizeof sn, "%s", sysdev::FirstLine(out.substr(c + 2), kSnLen - 1).c_str());
        got = true;
      }
    }
  } else if (!got && exists("/sys/kernel/debug/misc_info/debug")) {
    DVR_INFO("Try to get SerialNumber from command:%s\n", "echo read_item SN > /sys/kernel/debug/misc_info/debug \n");
    if (run_cmd("echo read_item SN > /sys/kernel/debug/misc_info/debug \n") == 0) {
      osa::ReadResult r = osa::ReadFile("/sys/kernel/debug/misc_info/debug", 64);
      if (r.readable()) {
        std::memcpy(sn, r.data.data(), r.data.size());  // at most 64 of 128
        sn[r.data.size()] = '\0';
        got = !r.data.empty();
      }
    }
  }
  if (!got) {
    DVR_ERROR("SysGetSerialNumber failed\n");
    return OSA_EFAIL;
  }
  std::memcpy(d.Sn, sn, sizeof d.Sn);
  d.SnValid = 1;
  std::memcpy(buf, d.Sn, static_cast<std::size_t>(std::min(len, kSnLen)));
  return OSA_SOK;
}

int SystemSetSerialNumber(const char* serial) {
  if (!serial) {
    OSA_CHECK_FAIL("pSerial");
    return OSA_EFAIL;
  }
  wait_env("EnvDev not init, please wait...");
  return BootSetPara("ID", serial) < 0 ? OSA_EFAIL : OSA_SOK;
}

int SystemGetBoardSerialNumber(char* buf, int len) {
  SysDev& d = Dev();
  if (!buf || len < 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  if (!d.BoardSnValid) {
    osa::CaptureResult r;
    const std::string& out = r.output;
    std::size_t c;
    if (!exists("/usr/local/bin/serialget") || !(r = osa::Capture("/usr/local/bin/serialget")).ok() ||
        (c = out.find(": ")) == std::string::npos) {
      DVR_ERROR("can't get SerialNumber \n");
      return OSA_EFAIL;
    }
    std::snprintf(d.BoardSn, sizeof d.BoardSn, "%s", sysdev::FirstLine(out.substr(c + 2), kSnLen - 1).c_str());
    d.BoardSnValid = 1;
  }
  std::memcpy(buf, d.BoardSn, static_cast<std::size_t>(std::min(len, kSnLen)));
  return OSA_SOK;
}

int SystemSetBoardSerialNumber(const char* serial) {
  char cmd[192];
  if (!serial || !osa::ShellSafe(serial, osa::kShellWordChars, 64) || std::snprintf(cmd, sizeof cmd, "hwtool_tarn w s %s", serial) <= 0) {
    DVR_ERROR("sprintf fail\n");
    return OSA_EFAIL;
  }
  if (run_cmd(cmd) != 0) {
    DVR_ERROR("run_cmd [%s] fail\n", cmd);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

