// hdctl CALL [ARGS] [-- CALL [ARGS]]...: runs disk library calls in one
// process and prints "NAME rc=N" and the call's out-records as key=value.

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "tools/hdctl/hdctl.h"

namespace {

bool number(const char* s, long long* out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 0);
  if (errno || *end) return false;
  *out = v;
  return true;
}

void print_record(const HdDevInfo& r) {
  printf("name=%s\ntype=%s\nbus=%s\nlogic=%d\nhost=%u\nstate=%u\nlayer=%u\nport=%u\nslot=%u\nbus_class=%u\n"
         "capacity=%" PRIu64 "\nparent_raid=%s\nidentity=%s\nfd_sync=%d\nfd_buffered=%d\nfd_direct=%d\n",
         r.name, r.type, r.bus, r.logic, r.host, r.state, r.layer, r.port, r.slot, r.busClass, r.capacity, r.parentRaid,
         r.identity, r.fdSync, r.fdBuffered, r.fdDirect);
}

int usage() {
  fprintf(stderr,
          "usage: hdctl CALL [ARGS] [-- CALL [ARGS]]...\n"
          "calls: ide_init, ide_get_no DEV, ide_check_hotplug, ide_diskstate N, Hd_DetectHotpluged,\n"
          "       Hd_GetDevList, GetPlatformCfg, SetHdDcWorkMode N, Hd_SetEvent N, Hd_CloseDevice DEV,\n"
          "       Hd_SlaveReset N, sleep MS, fstype DEV, fat_disk_format|ext2_format|ext3_format|ext4_format|\n"
          "       ntfs_format|disk_format DEV, Parted_MakePart DISK NAME START LEN\n");
  return 2;
}

// One call; 2 for a usage error.
int run(const std::vector<const char*>& a) {
  std::string name = a[0];
  long long n = 0;
  auto want = [&](size_t k) { return a.size() == k + 1; };
  auto num_arg = [&]() { return want(1) && number(a[1], &n); };
  int rc;
  if (int st; RunDiskCall2(a, &st)) return st ? usage() : 0;
  if (name == "sleep") {
    if (!num_arg() || n < 0) return usage();
    usleep(static_cast<useconds_t>(n) * 1000);
    return 0;
  }
  if (name == "fstype" && want(1)) {
    int fat = fat_get_type(a[1]);
    printf("%s rc=0\nntfs=%d\next2=%d\next3=%d\next4=%d\nxfs=%d\nrxfs=-1\nfat32=%d\n", name.c_str(), ntfs_type(a[1]),
           ext2_type(a[1]), ext3_type(a[1]), ext4_type(a[1]), xfs_type(a[1]), fat == 1 ? 1 : -1);
    return 0;
  }
  struct DevCall {
    const char* name;
    int (*fn)(const char*);
  };
  static const DevCall dev_calls[] = {{"fat_disk_format", fat_disk_format}, {"ext2_format", ext2_format},
                                      {"ext3_format", ext3_format},         {"ext4_format", ext4_format},
                                      {"ntfs_format", ntfs_format},         {"disk_format", disk_format}};
  for (auto& c : dev_calls)
    if (name == c.name && want(1)) {
      printf("%s rc=%d\n", name.c_str(), c.fn(a[1]));
      return 0;
    }
  if (name == "Parted_MakePart" && a.size() == 5) {
    long long s = 0, l = 0;
    if (!number(a[3], &s) || !number(a[4], &l) || s < 0 || l < 0) return usage();
    printf("%s rc=%d\n", name.c_str(), Parted_MakePart(a[1], a[2], static_cast<uint64_t>(s), static_cast<uint64_t>(l)));
    return 0;
  }
  if (name == "ide_init" && want(0)) {
    rc = ide_init();
  } else if (name == "ide_get_no" && want(1)) {
    rc = ide_get_no(a[1]);
  } else if (name == "ide_check_hotplug" && want(0)) {
    int changed = 0;
    rc = ide_check_hotplug(&changed);
    printf("%s rc=%d\nchanged=%d\n", name.c_str(), rc, changed);
    return 0;
  } else if (name == "ide_diskstate" && num_arg()) {
    int state = 0;
    rc = ide_diskstate(static_cast<int>(n), &state);
    printf("%s rc=%d\nstate=%d\n", name.c_str(), rc, state);
    return 0;
  } else if (name == "Hd_DetectHotpluged" && want(0)) {
    rc = Hd_DetectHotpluged();
  } else if (name == "Hd_GetDevList" && want(0)) {
    auto v = Hd_GetDevList();
    printf("%s rc=%zu\n", name.c_str(), v.size());
    for (auto& r : v) print_record(r);
    return 0;
  } else if (name == "GetPlatformCfg" && want(0)) {
    const PlatformCfg* c = GetPlatformCfg();
    printf("%s rc=0\nport_type=%d\nport_num=%d\nraid_type=%d\nhotspare_type=%d\nclean_parity=%d\n"
           "usb_default_use=%d\ndirect_io=%d\nfeature=%d\nposix_fs=%d\n",
           name.c_str(), c->iPortType, c->iPortNum, c->iRaidType, c->iHotspareType, c->iCleanParity, c->iUsbDefaultUse,
           c->iDirectIO, c->iFeature, c->iPosixFs);
    return 0;
  } else if (name == "SetHdDcWorkMode" && num_arg()) {
    rc = SetHdDcWorkMode(static_cast<int>(n));
  } else if (name == "Hd_SetEvent" && num_arg()) {
    rc = Hd_SetEvent(static_cast<int>(n));
  } else if (name == "Hd_CloseDevice" && want(1)) {
    rc = Hd_CloseDevice(a[1]);
  } else if (name == "Hd_SlaveReset" && num_arg()) {
    rc = Hd_SlaveReset(static_cast<int>(n));
  } else {
    fprintf(stderr, "hdctl: unknown call or bad arguments: %s\n", a[0]);
    return usage();
  }
  printf("%s rc=%d\n", name.c_str(), rc);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::vector<std::vector<const char*>> calls(1);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) calls.emplace_back();
    else calls.back().push_back(argv[i]);
  }
  for (auto& c : calls)
    if (c.empty()) return usage();
  for (auto& c : calls) {
    int r = run(c);
    fflush(stdout);
    if (r) return r;
  }
  Hd_StopHotplugThread();
  return 0;
}
