// Product identification: names, capabilities, device identifier, the
// boot parameters and flags the application reads.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "osa/file.h"
#include "platform/env/bootenv.h"
#include "platform/system/sysdev.h"

using sysdev::Dev;

int SystemGetModuleCaps(int index) {
  SystemRes_t r;
  if (SystemGetRes(&r) != OSA_SOK) {
    DVR_ERROR("get system resource error\n");
    return OSA_EFAIL;
  }
  return index >= 0 && index <= 3 ? static_cast<int>((r.ModCapMask >> index) & 1u) : 0;
}

int SystemGetGpsModuleType() {
  SystemRes_t r;
  if (SystemGetRes(&r) != OSA_SOK) {
    DVR_ERROR("get system resource error\n");
    return OSA_EFAIL;
  }
  return static_cast<int>(r.GpsModType);
}

namespace {
int product_string(char* buf, int size, bool sub) {
  if (!buf || size <= 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  SystemRes_t r;
  if (SystemGetRes(&r) != OSA_SOK) {
    DVR_ERROR("get system resource failed\n");
    return OSA_EFAIL;
  }
  if (sub) ResCopyString(buf, static_cast<std::size_t>(size), r.SubProductName, sizeof r.SubProductName);
  else ResCopyString(buf, static_cast<std::size_t>(size), r.ProductName, sizeof r.ProductName);
  buf[size - 1] = '\0';
  return OSA_SOK;
}
}  // namespace

int GetProductName(char* buf, int size) { return product_string(buf, size, false); }
int GetSubProductName(char* buf, int size) { return product_string(buf, size, true); }

int DeviceGetID(char* buf, int size) {
  if (!buf || size <= 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  char id[64] = {};
  if (BootEnvGetValue("DEVID", id, sizeof id) < 0) {
    DVR_ERROR("Get DEVID failed\n");
    return OSA_EFAIL;
  }
  if (std::strncmp(id, "0000000000000000", 16) != 0) {
    std::snprintf(buf, static_cast<std::size_t>(size), "%s", id);
    return OSA_SOK;
  }
  int type = DvrGetHwidInformation(HWID_PRODUCT_TYPE);
  std::snprintf(buf, static_cast<std::size_t>(std::min(size, 21)), "%s", DeviceCategory(type));
  return OSA_SOK;
}

int GetResolutionResetFlag() {
  osa::ReadResult r = osa::ReadFile("/proc/cmdline", 255);
  if (!r.readable()) {
    DVR_ERROR("fopen %s failed!\n", "/proc/cmdline");
    return 0;
  }
  const char* text = r.data.c_str();
  DVR_INFO("file context: %s\n", text);
  const char* p = std::strstr(text, "need_reset");
  if (!p) {
    DVR_WARN("Not find need_reset!\n");
    return 0;
  }
  int v = 0;
  return std::sscanf(p, "need_reset=%d", &v) == 1 && v > 0 ? 1 : 0;
}

int SystemGetBootParameter(const char* name, char* buf, int len) {
  if (!name || !buf || len < 0) {
    DVR_ERROR("Invalid parameter!\n");
    return OSA_EFAIL;
  }
  if (std::strcmp(name, "selfchecked") != 0 && std::strcmp(name, "PROD_DATE") != 0) {
    DVR_ERROR("Only support selfchecked parameter so far!\n");
    return OSA_EFAIL;
  }
  return BootEnvGetValue(name, buf, len) < 0 ? OSA_EFAIL : OSA_SOK;
}

int SystemSetBootParameter(const char* name, const char* value) {
  if (!name || !value) {
    DVR_ERROR("Invalid parameter!\n");
    return OSA_EFAIL;
  }
  if (std::strcmp(name, "selfchecked") != 0 && std::strcmp(name, "PROD_DATE") != 0) {
    DVR_ERROR("Only support selfchecked parameter so far!\n");
    return OSA_EFAIL;
  }
  return BootSetPara(name, value) < 0 ? OSA_EFAIL : OSA_SOK;
}

int SystemGetCapsEx(uint8_t out[44]) {
  if (!out || !sysdev::Inited()) {
    OSA_CHECK_FAIL(out ? "Thiz" : "pCaps");
    return OSA_EFAIL;
  }
  // The board flags, ForNRT up to the end of BoardFlagsEx.
  constexpr std::size_t from = offsetof(SystemRes_t, ForNRT), to = offsetof(SystemRes_t, RebootType);
  static_assert(to - from == 44);
  std::memcpy(out, reinterpret_cast<const uint8_t*>(&Dev().Res) + from, to - from);
  return OSA_SOK;
}

int SysGetHWVersion() {
  if (!sysdev::Inited()) {
    DVR_ERROR("invalid param(thiz=%p), force set hwversion=0\n", static_cast<void*>(nullptr));
    return 0;
  }
  return static_cast<int>(Dev().Res.HwVersion);
}

int SystemGetHwidProductType(int* out) {
  if (!out) {
    OSA_CHECK_FAIL("pType");
    return OSA_EFAIL;
  }
  return CFG_HWID_GetProductType(out);
}

