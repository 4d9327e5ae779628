// File system commands (format, check, repair, defragment, resize), the
// wipes, and finding the tools' running processes.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/mount.h>
#include <unistd.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "osa/shell.h"
#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

namespace {

// One of the fixed command forms below with one device; `what` is logged
// before it runs.
int run_dev(const char* fmt, const char* dev, const char* what) {
  if (!ValidDisk(dev)) return -1;
  char cmd[192];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(cmd, sizeof cmd, fmt, dev);
#pragma GCC diagnostic pop
  if (what) HD_INFO("%s %s.\n", what, dev);
  return RunLogged(cmd, false);
}

int exit_code(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Processes of `prog` that have `arg` among their arguments.
std::vector<pid_t> find_tool(const char* prog, const char* arg) {
  std::vector<pid_t> out;
  for (auto& p : osa::sys::processes()) {
    std::vector<std::string> argv;
    for (size_t at = 0; at < p.cmdline.size();) {
      size_t e = p.cmdline.find('\0', at);
      if (e == std::string::npos) e = p.cmdline.size();
      argv.push_back(p.cmdline.substr(at, e - at));
      at = e + 1;
    }
    if (argv.empty()) continue;
    std::string base = argv[0].substr(argv[0].rfind('/') + 1);
    if (base != prog) continue;
    for (size_t i = 1; i < argv.size(); ++i)
      if (argv[i] == arg) {
        out.push_back(p.pid);
        break;
      }
  }
  return out;
}

int kill_tool(const char* prog, const char* arg) {
  if (!arg || !*arg) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  int rc = 0;
  for (pid_t pid : find_tool(prog, arg))
    if (osa::sys::kill(pid, SIGTERM) != 0) {
      HD_ERROR("kill %s %s failed, %s.\n", prog, arg, strerror(errno));
      rc = -1;
    }
  return rc;
}

}  // namespace

uint64_t DeviceBytes(const char* dev) {
  osa::UniqueFd fd(osa::sys::open(dev, O_RDONLY | O_CLOEXEC));
  uint64_t bytes = 0;
  if (!fd || osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) return 0;
  return bytes;
}

bool ZeroAt(const char* dev, int64_t off, uint64_t len) {
  osa::UniqueFd fd(osa::sys::open(dev, O_RDWR | O_CLOEXEC));
  if (!fd) {
    HD_ERROR("open %s failed, %s.\n", dev, strerror(errno));
    return false;
  }
  uint64_t at = static_cast<uint64_t>(off);
  if (off < 0) {
    uint64_t bytes = 0;
    if (osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0 || bytes < static_cast<uint64_t>(-off)) {
      HD_ERROR("get %s size failed.\n", dev);
      return false;
    }
    at = bytes - static_cast<uint64_t>(-off);
  }
  std::vector<uint8_t> zero(64 * 1024, 0);
  for (uint64_t done = 0; done < len;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(zero.size(), len - done));
    if (osa::sys::pwrite(fd.get(), zero.data(), n, static_cast<off_t>(at + done)) != static_cast<ssize_t>(n)) {
      HD_ERROR("write %s failed, %s.\n", dev, strerror(errno));
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace hd

using namespace hd;

int ext2_format(const char* dev) { return run_dev("mke2fs -F -t ext2 %s > /dev/null", dev, nullptr); }
int ext3_format(const char* dev) {
  return run_dev("mke2fs -F -t ext3 -T largefile -i 67108864 %s > /dev/null", dev, "ext3 format");
}
int ext4_format(const char* dev) { return run_dev("mke2fs -F -t ext4 %s > /dev/null", dev, "ext4 format"); }
int ntfs_format(const char* dev) { return run_dev("mkfs.ntfs -f %s > /dev/null", dev, "ntfs format"); }

int xfs_format(const char* dev, const char* options) {
  if (!ValidDisk(dev)) return -1;
  char cmd[256];
  if (options && *options) {
    if (!osa::ShellSafe(options, "/._-:=, ", 128)) {
      HD_ERROR("Invalid para.\n");
      return -1;
    }
    snprintf(cmd, sizeof cmd, "mkfs.xfs %s %s > /dev/null", options, dev);
  } else {
    snprintf(cmd, sizeof cmd, "mkfs.xfs -f -l size=32m %s > /dev/null", dev);
  }
  return RunLogged(cmd, false);
}

int ext3_check_and_repair(const char* dev) { return run_dev("e2fsck -f -y %s", dev, "Ext3 check and repair"); }
int ext4_check_and_repair(const char* dev) { return run_dev("e2fsck -f -y %s", dev, "Ext4 check and repair"); }
int ext4_defrag(const char* dev) { return run_dev("e4defrag %s", dev, "Ext4 defrag"); }
int ext4_resizefs(const char* dev) { return run_dev("resize2fs %s > /dev/null", dev, "ext4 resize"); }
int xfs_growfs(const char* dir) { return run_dev("xfs_growfs %s > /dev/null", dir, nullptr); }

int xfs_defrag(const char* dev, int level) {
  static const int kSeconds[] = {0, 10, 50, 100};
  if (!ValidDisk(dev) || level < 0 || level > 3) return -1;
  char cmd[160];
  snprintf(cmd, sizeof cmd, "xfs_fsr -S %d %s > /dev/null", kSeconds[level], dev);
  return RunLogged(cmd, false);
}

// Zeroing the log first throws away the newest metadata, so that comes
// last: a plain repair; on a dirty log (status 2) a mount and unmount
// replays it and the repair runs again; only then the log is zeroed.
int xfs_repair(const char* dev) {
  if (!ValidDisk(dev)) return -1;
  HD_INFO("xfs check and repair %s.\n", dev);
  char cmd[160];
  snprintf(cmd, sizeof cmd, "xfs_repair -v %s", dev);
  int st = run_cmd(cmd);
  if (st == 0) return 0;
  if (exit_code(st) == 2) {
    HD_WARN("%s: dirty log, replaying it by a mount.\n", dev);
    if (xfs_check(dev) == 0 && run_cmd(cmd) == 0) return 0;
  }
  HD_ERROR("run cmd %s failed.\n", cmd);
  HD_WARN("%s: zeroing the log, the newest metadata changes are lost.\n", dev);
  snprintf(cmd, sizeof cmd, "xfs_repair -L %s", dev);
  return RunLogged(cmd, false);
}

int xfs_check(const char* dev) {
  if (!ValidDisk(dev)) return -1;
  // A fresh folder under the board's /tmp (mkdtemp works on the real path).
  std::string host = osa::sys::path("/tmp");
  std::string tmpl = host + "/xfs_check.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) {
    HD_ERROR("Create Dir: %s failed\n", tmpl.c_str());
    return -1;
  }
  std::string board = std::string("/tmp/") + (std::strrchr(buf.data(), '/') + 1);
  int rc = MountFs(dev, board.c_str(), "xfs", MS_NOATIME | MS_NODIRATIME, nullptr);
  if (rc == 0 && osa::sys::umount2(board.c_str(), 0) != 0) {
    HD_ERROR("umount %s failed, %s.\n", board.c_str(), strerror(errno));
    rc = -1;
  }
  ::rmdir(buf.data());
  return rc;
}

int xfs_getDefragProgress(const char* target) {
  if (!target || !*target) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return find_tool("xfs_fsr", target).empty() ? 100 : 0;
}
int xfs_killdefrag(const char* target) { return kill_tool("xfs_fsr", target); }
int xfs_killRepair(const char* dev) { return kill_tool("xfs_repair", dev); }

int ntfs3g_status_to_stderror(int status) {
  switch (status) {
    case 0: return 0;
    case 12: return EINVAL;
    case 16: return EBUSY;
    case 17: return ENXIO;
    default: HD_ERROR("cannot support status %d.\n", status); return -1;
  }
}

int ntfs_mount(const char* dev, const char* dir) {
  if (!ValidDisk(dev) || !ValidDisk(dir) || !MakeMountDir(dir)) return -1;
  const char* tries[] = {"ntfs-3g -o big_writes", "ntfs-3g"};
  char cmd[192];
  for (const char* t : tries) {
    snprintf(cmd, sizeof cmd, "%s %s %s", t, dev, dir);
    if (run_cmd(cmd) == 0) return 0;
  }
  snprintf(cmd, sizeof cmd, "mount -t tntfs %s %s", dev, dir);
  if (run_cmd(cmd) == 0) return 0;
  HD_ERROR("run_cmd %s faild!", cmd);
  return -1;
}

int clean_first_sector(const char* dev) { return dev && ZeroAt(dev, 0, 512) ? 0 : -1; }

int clean_gpt_label(const char* dev) { return dev && ZeroAt(dev, 0, 1024) && ZeroAt(dev, -1024, 1024) ? 0 : -1; }

int clean_sectors_for_zqfs(const char* dev) {
  return dev && ZeroAt(dev, 0, 4u << 20) && ZeroAt(dev, -(4 << 20), 4u << 20) ? 0 : -1;
}

// The md 1.0 superblock lies 8-12 KiB before the end: zero all of the
// last 128 sectors, then the first 4 MiB.
int disk_format(const char* dev) {
  if (!dev || !*dev) {
    HD_ERROR("disk name must be specified!\n");
    return -1;
  }
  return ZeroAt(dev, -128 * 512, 128 * 512) && ZeroAt(dev, 0, 4u << 20) ? 0 : -1;
}
