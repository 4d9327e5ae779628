// Setting and reading the time zone.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "osa/sys.h"
#include "platform/system/sysdev.h"

using sysdev::Dev;

int SystemSetTimezone(int offset) {
  char text[32];
  if (!TzText(offset, text, sizeof text)) {
    DVR_ERROR("Set time zone para err.tz_offset %d is overflow!\n", offset);
    return OSA_EFAIL;
  }
  DVR_INFO("Set time zone para TzOffset:%d\n", offset);
  if (setenv("TZ", text, 1) != 0) {
    DVR_ERROR("set linux time zone failed!\n");
    return OSA_EFAIL;
  }
  tzset();
  // The kernel gets the zone (minutes west) and nothing else: setting the
  // clock again here would move it back by the time this call took.
  if (osa::sys::settimezone(-offset / 60) != 0) DVR_ERROR("settimeofday failed\n");
  if (sysdev::Inited() && Dev().Res.TzFileFlag == 1) {
    int rc = SystemSetTimezoneConfig(-offset);
    if (rc != OSA_SOK) DVR_ERROR("set linux systerm time zone failed! s32Ret %d\n", rc);
  }
  DVR_INFO("Set linux timezone: %s\n", text);
  if (!SystemWriteFileAtomic(TZ_FILE, text, std::strlen(text))) {
    DVR_ERROR("Set linux timezone to \"%s\" failed!\n", text);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int SystemGetTimezone(int* offset) {
  if (!offset) {
    OSA_CHECK_FAIL("pOffset");
    return OSA_EFAIL;
  }
  char text[32] = {};
  if (const char* e = getenv("TZ"); e && *e) {
    std::snprintf(text, sizeof text, "%s", e);
  } else {
    FILE* f = osa::sys::fopen(TZ_FILE, "r");
    if (!f) {
      DVR_WARN("Time zone not set.\n");
      return OSA_EFAIL;
    }
    if (!fgets(text, sizeof text, f)) text[0] = '\0';
    fclose(f);
    text[strcspn(text, "\n")] = '\0';
  }
  int v;
  if (!TzParse(text, &v)) {
    int h = 0, m = 0;
    std::sscanf(text, "GMT%d:%d", &h, &m);
    DVR_ERROR("Get time zone para err.TzOffset %02d:%02d is overflow!\n", h, m);
    return OSA_EFAIL;
  }
  DVR_INFO("Get Linux time zone: %s\n", text);
  *offset = v;
  return OSA_SOK;
}
