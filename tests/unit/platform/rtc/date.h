// A broken-down time from its fields, for the clock tests.
#pragma once

#include <ctime>

namespace rtctest {

inline tm date(int year, int mon, int mday, int h = 0, int mi = 0, int s = 0) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = mday;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return t;
}

}  // namespace rtctest
