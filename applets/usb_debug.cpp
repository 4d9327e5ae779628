// USB debug capture: mounts the first USB backup disk, starts a capture
// file with eth0's address line, copies the kernel messages beside it and
// makes the file the supervisor's standard output and error, which the
// main application inherits.

#include "applets/usb_debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "netcfg/netcfg.h"
#include "osa/osa.h"
#include "osa/shell.h"
#include "osa/sys.h"
#include "platform/system/system.h"
#include "storage/backup/backup.h"

namespace applets {

namespace {

constexpr int kMaxDevices = 10;
constexpr size_t kNameLen = 128;  // capture file names: 127 characters at most

// The device records with their private blocks, released on every path.
struct Devices {
  BackupDevInfo rec[kMaxDevices] = {};
  BackupPriv priv[kMaxDevices] = {};
  std::vector<std::array<char, kBackupPathLen>> paths = std::vector<std::array<char, kBackupPathLen>>(kMaxDevices);
  Devices() {
    for (int i = 0; i < kMaxDevices; ++i) {
      priv[i].curPath = paths[static_cast<size_t>(i)].data();
      rec[i].priv = &priv[i];
    }
  }
};

// Steps 1 to 4: a freshly mounted USB disk, or null.
BackupDevInfo* mount_first_usb(Devices& d) {
  ide_init();
  int count = kMaxDevices;
  if (BackupGetDevices(d.rec, &count) != 0) {
    DVR_ERROR("BackupGetDevices failed\n");
    return nullptr;
  }
  BackupDevInfo* dev = nullptr;
  for (int i = 0; i < count && !dev; ++i)
    if ((d.rec[i].type == BACKUP_TYPE_DISK || d.rec[i].type == BACKUP_TYPE_READER) && d.rec[i].bus == HD_BUS_USB)
      dev = &d.rec[i];
  if (!dev) return nullptr;
  if (dev->priv && (dev->priv->flags & BACKUP_FLAG_MOUNTED) && BackupPlayUmount(dev) != 0) {
    DVR_ERROR("BackupPlayUmount failed\n");
    return nullptr;
  }
  if (BackupPlayMount(dev) != 0) {
    DVR_ERROR("mount usb device failed\n");
    return nullptr;
  }
  return dev;
}

// Steps 5 to 13 on a mounted disk.
int capture_on(const BackupDevInfo* dev) {
  OSA_LOG_DEBUG("DeviceName = %s\n", dev->name);
  char out_name[kNameLen] = {}, kmsg_name[kNameLen] = {};
  char mnt[kNameLen];
  std::snprintf(mnt, sizeof mnt, "%.127s", dev->mountDir);
  SystemTime_t t{};
  if (SystemGetCurrentTime(&t) == 0) {
    int a = std::snprintf(out_name, sizeof out_name, "%s/printf_%d%02d%02d%02d%02d%02d.txt", mnt, t.year, t.month,
                          t.day, t.hour, t.minute, t.second);
    int b = std::snprintf(kmsg_name, sizeof kmsg_name, "%s/kmsg_printf_%d%02d%02d%02d%02d%02d.txt", mnt, t.year,
                          t.month, t.day, t.hour, t.minute, t.second);
    // A name cut at 127 characters would name another file.
    if (a < 0 || b < 0 || a >= static_cast<int>(sizeof out_name) || b >= static_cast<int>(sizeof kmsg_name)) {
      DVR_ERROR("capture file name too long for %s\n", mnt);
      return -1;
    }
    OSA_LOG_DEBUG("backup_name: %s\n", out_name);
    OSA_LOG_DEBUG("kmsg_backup_name: %s\n", kmsg_name);
  } else {
    std::snprintf(out_name, sizeof out_name, "%s", "/share/printf.txt\n");
    OSA_LOG_DEBUG("backup_name: %s\n", out_name);
  }

  {
    osa::UniqueFd fd(osa::sys::open(out_name, O_RDWR | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0777));
    if (!fd) {
      DVR_ERROR("open \"%s\" failed\n", out_name);
      return -1;
    }
    char ip[32] = {}, mask[32] = {}, gw[32] = {};
    if (NetGetHostIPEx("eth0", ip, sizeof ip, mask, sizeof mask) != 0) {
      DVR_ERROR("Get Ip Or Netmask Failed\n");
      ip[0] = mask[0] = '\0';
    }
    if (NetGetGatewayEx("eth0", gw, sizeof gw) != 0) {
      DVR_ERROR("Get Gateway Failed\n");
      gw[0] = '\0';
    }
    char line[160];
    int n = std::snprintf(line, sizeof line, "ip = %s, netmask = %s, gateway = %s\n", ip, mask, gw);
    // The line goes out with its NUL.
    size_t len = static_cast<size_t>(n) + 1;
    if (osa::sys::write(fd.get(), line, len) != static_cast<ssize_t>(len)) DVR_ERROR("Write File Failed\n");
  }
  osa::UniqueFd fd(osa::sys::open(out_name, O_RDWR | O_APPEND | O_SYNC));
  if (!fd) {
    DVR_ERROR("open \"%s\" failed\n", out_name);
    return -1;
  }

  if (kmsg_name[0]) {
    // The name comes from the board's mount root: only plain characters
    // may reach the shell.
    if (!osa::ShellSafeAbsPath(kmsg_name, kNameLen - 1)) {
      DVR_ERROR("kernel message copy skipped, unsafe file name %s\n", kmsg_name);
    } else {
      char cmd[kNameLen + 32];
      std::snprintf(cmd, sizeof cmd, "cat /proc/kmsg > %s &", kmsg_name);
      if (run_cmd(cmd) != 0) DVR_ERROR("run_cmd %s fail\n", cmd);
    }
  }
  osa::sys::sync();
  std::fflush(stdout);
  std::fflush(stderr);
  if (::dup2(fd.get(), 1) < 0 || ::dup2(fd.get(), 2) < 0) {
    DVR_ERROR("redirect to \"%s\" failed\n", out_name);
    return -1;
  }
  return 0;
}

}  // namespace

int usb_debug() {
  Devices d;
  BackupDevInfo* dev = mount_first_usb(d);
  if (!dev || capture_on(dev) != 0) {
    DVR_INFO("no usb disk\n");
    return -1;
  }
  return 0;
}

}  // namespace applets
