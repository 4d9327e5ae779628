// hdctl CALL [ARGS] [-- CALL [ARGS]]...: runs disk library calls in one
// process and prints "NAME rc=N" and the call's out-records as key=value.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "osa/osa.h"
#include "osa/sys.h"
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
          "       Hd_SlaveReset N, sleep MS, fstype DEV, mounts, umount DIR,\n"
          "       file system calls by name (fat_disk_format DEV, ext4_mount DEV DIR, xfs_format DEV [OPTS],\n"
          "       rxfs_mount DISK DIR [OPTS], xfs_defrag DEV LEVEL, Parted_MakePart DISK NAME START LEN, ...)\n");
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
    printf("%s rc=0\nntfs=%d\next2=%d\next3=%d\next4=%d\nxfs=%d\nrxfs=%d\nfat32=%d\n", name.c_str(), ntfs_type(a[1]),
           ext2_type(a[1]), ext3_type(a[1]), ext4_type(a[1]), xfs_type(a[1]), disk_rxfs_type(a[1]), fat == 1 ? 1 : -1);
    return 0;
  }
  struct DevCall {
    const char* name;
    int (*fn)(const char*);
  };
  static const DevCall dev_calls[] = {
      {"fat_disk_format", fat_disk_format},
      {"fat_get_type", fat_get_type},
      {"ext2_format", ext2_format},
      {"ext3_format", ext3_format},
      {"ext4_format", ext4_format},
      {"ntfs_format", ntfs_format},
      {"disk_format", disk_format},
      {"clean_first_sector", clean_first_sector},
      {"clean_gpt_label", clean_gpt_label},
      {"clean_sectors_for_zqfs", clean_sectors_for_zqfs},
      {"ext3_check_and_repair", ext3_check_and_repair},
      {"ext4_check_and_repair", ext4_check_and_repair},
      {"xfs_repair", xfs_repair},
      {"xfs_check", xfs_check},
      {"ext4_defrag", ext4_defrag},
      {"ext4_resizefs", ext4_resizefs},
      {"xfs_growfs", xfs_growfs},
      {"xfs_getDefragProgress", xfs_getDefragProgress},
      {"xfs_killdefrag", xfs_killdefrag},
      {"xfs_killRepair", xfs_killRepair},
      {"disk_rxfs_type", disk_rxfs_type},
      {"rxfs_repair", rxfs_repair},
      {"rxfs_killdefrag", rxfs_killdefrag},
      {"rxfs_killRepair", rxfs_killRepair},
  };
  for (auto& c : dev_calls)
    if (name == c.name && want(1)) {
      printf("%s rc=%d\n", name.c_str(), c.fn(a[1]));
      return 0;
    }
  struct MountCall {
    const char* name;
    int (*fn)(const char*, const char*);
  };
  static const MountCall mount_calls[] = {{"ext2_mount", ext2_mount}, {"ext3_mount", ext3_mount},
                                          {"ext4_mount", ext4_mount}, {"ntfs_mount", ntfs_mount},
                                          {"Parted_MakeLabel", Parted_MakeLabel},
                                          {"BackupDiskPartitionAndFormat", BackupDiskPartitionAndFormat}};
  for (auto& c : mount_calls)
    if (name == c.name && want(2)) {
      printf("%s rc=%d\n", name.c_str(), c.fn(a[1], a[2]));
      return 0;
    }
  struct OptCall {
    const char* name;
    int (*fn)(const char*, const char*);
  };
  static const OptCall opt_calls[] = {{"xfs_format", xfs_format}, {"rxfs_format", rxfs_format}};
  for (auto& c : opt_calls)
    if (name == c.name && (want(1) || want(2))) {
      printf("%s rc=%d\n", name.c_str(), c.fn(a[1], want(2) ? a[2] : nullptr));
      return 0;
    }
  if (name == "rxfs_mount" && (want(2) || want(3))) {
    printf("%s rc=%d\n", name.c_str(), rxfs_mount(a[1], a[2], want(3) ? a[3] : nullptr));
    return 0;
  }
  struct PartCall {
    const char* name;
    int (*fn)(const char*, int);
  };
  static const PartCall part_calls[] = {{"Parted_SetMsdataFlag", Parted_SetMsdataFlag},
                                        {"Parted_RmPart", Parted_RmPart},
                                        {"xfs_defrag", xfs_defrag}};
  for (auto& c : part_calls)
    if (name == c.name && want(2) && number(a[2], &n)) {
      printf("%s rc=%d\n", name.c_str(), c.fn(a[1], static_cast<int>(n)));
      return 0;
    }
  if (name == "Parted_MakeLabelExt" && want(3) && number(a[2], &n)) {
    printf("%s rc=%d\n", name.c_str(), Parted_MakeLabelExt(a[1], static_cast<int>(n), a[3]));
    return 0;
  }
  if (name == "Parted_Getlabel" && want(1)) {
    char label[64] = "";
    rc = Parted_Getlabel(a[1], label, sizeof label);
    printf("%s rc=%d\nlabel=%s\n", name.c_str(), rc, label);
    return 0;
  }
  if (name == "Parted_GetPartName" && want(2) && number(a[2], &n)) {
    char part[64] = "";
    rc = Parted_GetPartName(a[1], static_cast<int>(n), part, sizeof part);
    printf("%s rc=%d\npart_name=%s\n", name.c_str(), rc, part);
    return 0;
  }
  if (name == "ntfs3g_status_to_stderror" && num_arg()) {
    printf("%s rc=%d\n", name.c_str(), ntfs3g_status_to_stderror(static_cast<int>(n)));
    return 0;
  }
  if (name == "xfs_mount" && (want(2) || want(3))) {
    printf("%s rc=%d\n", name.c_str(), xfs_mount(a[1], a[2], want(3) ? a[3] : nullptr));
    return 0;
  }
  if (name == "umount" && want(1)) {
    rc = osa::sys::umount2(a[1], 0);
    printf("%s rc=%d\n", name.c_str(), rc == 0 ? 0 : -errno);
    return 0;
  }
  if (name == "mounts" && want(0)) {
    std::string text;
    osa::UniqueFd fd(osa::sys::open("/proc/mounts", O_RDONLY | O_CLOEXEC));
    char buf[4096];
    for (ssize_t k; fd && (k = osa::sys::read(fd.get(), buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(k));
    printf("%s rc=%d\n%s", name.c_str(), fd ? 0 : -1, text.c_str());
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
