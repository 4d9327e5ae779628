// The firmware package install: header, checksum, space and admission
// checks, then the items one by one to files, devices and partitions.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "osa/osa.h"
#include "osa/shell.h"
#include "osa/sys.h"
#include "platform/upgrade/upgrade.h"

namespace {

using namespace fwpkg;

constexpr uint64_t kMinLeft = 1048576;
constexpr uint32_t kChunk = 262144;
const char kBzImage[] = "/mnt/dom_bin/bzImage";
const char kVmlinuz[] = "/dev/mtdblock0/linux-dev/vmlinuz";
const char kFirmware[] = "/dev/mtdblock0/firmware/firmware";
const char kBootloader[] = "/dev/mtdblock0/bootloader/bootloader";

// Machine families whose packages fit only their own models.
struct Family {
  const char* pattern;  // 7 characters
  struct Prefix {
    const char* text;
    size_t len;
  } prefixes[6];
};
constexpr Family kFamilies[] = {
    {"MXB5K00", {{"NVR5208", 7}, {"NVR5216", 7}, {"NVR5232", 7}, {"NVR5264", 7}, {"NVR5208P4", 9}, {"NVR5216P", 8}}},
    {"MXB3K00", {{"NVR3104", 7}, {"NVR3108", 7}, {"NVR3116", 7}, {"NVR3204", 7}, {"NVR3208", 7}, {nullptr, 0}}},
};

bool machine_fits(const std::string& machine, const char* product) {
  for (const Family& f : kFamilies) {
    if (machine.compare(0, 7, f.pattern) != 0) continue;
    for (const auto& p : f.prefixes)
      if (p.text && std::strncmp(product, p.text, p.len) == 0) return true;
    return false;
  }
  return true;
}

void run_logged(const char* cmd) {
  int r = run_cmd(cmd);
  if (r != 0) DVR_ERROR("run_cmd [%s] fail,ret = %d\n", cmd, r);
}

bool write_fd(int fd, const uint8_t* p, uint32_t n) {
  while (n > 0) {
    ssize_t w = osa::sys::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<uint32_t>(w);
  }
  return true;
}

class Install {
 public:
  Install(const UpgradeBlock* blocks, uint32_t count, uint32_t* progress, int mode, const SystemRes_t* sys)
      : blocks_(blocks), count_(count), progress_(progress), mode_(mode), sys_(sys) {}

  int Run();

 private:
  int header();
  int space();
  int admission();
  int preflight();
  int script();
  int item(size_t i);
  int write_file_item(size_t i, int fd);
  bool report(uint64_t written);

  const UpgradeBlock* blocks_;
  uint32_t count_;
  uint32_t* progress_;
  int mode_;
  const SystemRes_t* sys_;
  Header h_;
  uint64_t total_ = 0;
  std::unique_ptr<uint8_t[]> buf_;
  uint64_t written_ = 0;
  int files_written_ = 0;
};

int Install::header() {
  DVR_INFO("Enter GetHeader\n");
  if (count_ == 0 || !blocks_ || !blocks_[0].data || blocks_[0].len < kHeaderLen) return kUpgradeShort;
  DecodeHeader({blocks_[0].data, blocks_[0].len}, &h_);
  DVR_INFO("Magic: %c\t%c\t%c\t%c\n", h_.magic[0], h_.magic[1], h_.magic[2], h_.magic[3]);
  DVR_INFO("Version: %s\n", h_.version.c_str());
  DVR_INFO("Dependency version:%s\n", h_.depend.c_str());
  DVR_INFO("Vendor: %s\n", h_.vendor.c_str());
  DVR_INFO("Machine type: %s\n", h_.machine.c_str());
  for (size_t i = 0; i < kItemCount; ++i) {
    const Item& it = h_.items[i];
    DVR_INFO("file item[%zu].type: %s\n", i, it.type.c_str());
    DVR_INFO("file item[%zu].path: %s\n", i, it.path.c_str());
    DVR_INFO("file item[%zu].version: %s\n", i, it.version.c_str());
    DVR_INFO("file item[%zu].start: %u\n", i, it.start);
    DVR_INFO("file item[%zu].number: %u\n", i, it.number);
  }
  DVR_INFO("file CRC checksum: 0x%08x\n", h_.checksum);
  DVR_INFO("pack size in bytes: %u\n", h_.pack_size);
  DVR_INFO("Leave GetHeader\n");
  if (!MagicOk(h_.magic)) {
    DVR_ERROR("Check header failed\n");
    return kUpgradeBadHeader;
  }
  for (uint32_t i = 0; i < count_; ++i) {
    if (!blocks_[i].data && blocks_[i].len) {
      DVR_ERROR("block %u has no data\n", i);
      return kUpgradeBadHeader;
    }
    total_ += blocks_[i].len;
  }
  // Items and script must lie inside the package before any is read.
  std::string err;
  if (CheckLayout(h_, total_, &err) != kUpgradeOk) {
    DVR_ERROR("%s\n", err.c_str());
    DVR_ERROR("Check header failed\n");
    return kUpgradeBadHeader;
  }
  return kUpgradeOk;
}

int Install::space() {
  struct statfs fs {};
  std::string vol = osa::sys::path("/mnt/dom_bin");
  if (statfs(vol.c_str(), &fs) != 0) {
    DVR_ERROR("error: %s\n", strerror(errno));
    DVR_ERROR("get dom_bin left space failed\n");
    DVR_ERROR("left space less than %llu bytes, quit upgrade!\n", static_cast<unsigned long long>(kMinLeft));
    return kUpgradeNoSpace;
  }
  long long left = static_cast<long long>(fs.f_bsize) * static_cast<long long>(fs.f_bfree);
  DVR_INFO("current left space: 0x%llx\n", left);
  for (const Item& it : h_.items) {
    if (it.kind != ItemKind::Kernel && it.kind != ItemKind::Rootfs) continue;
    struct stat st {};
    long long old = 0;
    if (osa::sys::stat(it.path.c_str(), &st) == 0) old = st.st_size;
    else DVR_WARN("get file size fail: %s\n", it.path.c_str());
    left = left + old - it.number;
    DVR_INFO("%s: old is %lld bytes, new is %u bytes, left is 0x%llx\n", it.path.c_str(), old, it.number, left);
    if (left < static_cast<long long>(kMinLeft)) {
      DVR_ERROR("no enough left space for %s\n", it.path.c_str());
      DVR_ERROR("left space less than %llu bytes, quit upgrade!\n", static_cast<unsigned long long>(kMinLeft));
      return kUpgradeNoSpace;
    }
  }
  DVR_INFO("will left 0x%llx bytes\n", left);
  return kUpgradeOk;
}

int Install::admission() {
  if (!sys_) return kUpgradeOk;
  if (sys_->ScriptRequired == 1) {
    DVR_INFO("upgrade need check script\n");
    if (h_.script_flag == 0) {
      DVR_ERROR("upgrade need check script, but do not find script\n");
      return kUpgradeRefused;
    }
  } else if (sys_->ProductType == 11) {
    char product[sizeof sys_->ProductName + 1] = {};
    std::memcpy(product, sys_->ProductName, sizeof sys_->ProductName);
    DVR_INFO("MXB machines of the two model families need a matching machine type\n");
    if (!machine_fits(h_.machine, product)) {
      DVR_ERROR("Sorry, but this upgrade file(%s) is not fit for this MXB machine(%s)!\n", h_.machine.c_str(), product);
      return kUpgradeRefused;
    }
  }
  if (sys_->ProductType == 6) {
    int major = h_.raw.version[1] - '0';
    if (major < 4) {
      DVR_ERROR("Sorry, Upgrade is not allowed if NVR version number is less than V4!\n");
      return kUpgradeRefused;
    }
  }
  return kUpgradeOk;
}

// Every item's target is checked before the first one is written, so a
// package that names a wrong path or an unknown partition changes nothing.
int Install::preflight() {
  for (size_t i = 0; i < kItemCount; ++i) {
    const Item& it = h_.items[i];
    FlashPartOptions opt;
    opt.image = buf_.get() + it.start;
    opt.image_len = it.number;
    opt.image_name = it.path.c_str();
    switch (it.kind) {
      case ItemKind::Kernel:
        if (it.path == kBzImage) continue;
        if (it.path != kVmlinuz) {
          DVR_ERROR("unknow path:(%s)\n", it.path.c_str());
          return OSA_EFAIL;
        }
        opt.partition = "linux-dev";
        break;
      case ItemKind::Firmware:
      case ItemKind::Bootloader:
        if (it.path == kFirmware) opt.partition = "firmware";
        else if (it.path == kBootloader) opt.partition = "bootloader";
        else {
          DVR_ERROR("item[%zu].path %s is wrong\n", i, it.path.c_str());
          return OSA_EFAIL;
        }
        opt.operator_permission = 1;
        break;
      case ItemKind::Bios:
        if (!osa::ShellSafeAbsPath(it.path, 255)) {
          DVR_ERROR("item[%zu].path %s is not a plain absolute path\n", i, it.path.c_str());
          return OSA_EFAIL;
        }
        continue;
      default:
        continue;
    }
    if (FlashPartPrecheck(opt) != 0) {
      DVR_ERROR("FlashPartDoUpdate failed\n");
      return OSA_EFAIL;
    }
  }
  if (h_.script_flag == 1 && !osa::ShellSafeAbsPath(h_.script_path, 255)) {
    DVR_ERROR("script path %s is not a plain absolute path\n", h_.script_path.c_str());
    return OSA_EFAIL;
  }
  return 0;
}

int Install::script() {
  if (h_.script_flag != 1) return 0;
  DVR_INFO("ungrade using scriptFile\n");
  {
    osa::UniqueFd fd(osa::sys::open(h_.script_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777));
    if (!fd) {
      DVR_ERROR("can't open %s\n", h_.script_path.c_str());
      return OSA_EFAIL;
    }
    if (!write_fd(fd.get(), buf_.get() + h_.script_start, h_.script_len)) {
      DVR_ERROR("write upgrade script error\n");
      return OSA_EFAIL;
    }
  }
  const std::string& result = SysUpgradePaths().script_result;
  char cmd[640];
  if (snprintf(cmd, sizeof cmd, "%s > %s", h_.script_path.c_str(), result.c_str()) >= static_cast<int>(sizeof cmd)) {
    DVR_ERROR("snprintf fail\n");
    return OSA_EFAIL;
  }
  if (run_cmd(cmd) != 0) {
    DVR_ERROR("run_cmd %s fail\n", cmd);
    return OSA_EFAIL;
  }
  FILE* f = osa::sys::fopen(result.c_str(), "r");
  if (!f) {
    DVR_ERROR("open /tmp/script_result fail\n");
    return OSA_EFAIL;
  }
  bool ok = false;
  char line[128];
  while (!ok && fgets(line, sizeof line, f)) ok = std::strstr(line, "UpgradeSupport=1") != nullptr;
  fclose(f);
  if (!ok) {
    DVR_ERROR("script have not supoort upgrade\n");
    return OSA_EFAIL;
  }
  DVR_INFO("script support ungrade\n");
  return 0;
}

bool Install::report(uint64_t written) {
  if (!progress_) return true;
  if (mode_ == UPGRADE_PROGRESS_PERCENT) {
    if (total_ == 0) {
      DVR_ERROR("block size error\n");
      return false;
    }
    *progress_ = static_cast<uint32_t>(written * 100 / total_);
  } else if (mode_ == UPGRADE_PROGRESS_BYTES) {
    *progress_ = static_cast<uint32_t>(written);
  } else {
    DVR_ERROR("upgrade display type input error\n");
    return false;
  }
  return true;
}

int Install::write_file_item(size_t i, int fd) {
  const Item& it = h_.items[i];
  const uint8_t* p = buf_.get() + it.start;
  for (uint32_t done = 0; done < it.number;) {
    uint32_t n = std::min(kChunk, it.number - done);
    DVR_INFO("write Fd=%d Size=%u\n", fd, n);
    ssize_t w = osa::sys::write(fd, p + done, n);
    if (w != static_cast<ssize_t>(n)) {
      DVR_ERROR("RealSize(%zd) != CurrentWriteSize(%u)\n", w, n);
      return OSA_EFAIL;
    }
    done += n;
    written_ += n;
    if (!report(written_)) return OSA_EFAIL;
  }
  return 0;
}

int Install::item(size_t i) {
  const Item& it = h_.items[i];
  const char* path = it.path.c_str();
  int flags = O_WRONLY | O_TRUNC | O_CLOEXEC;
  mode_t mode = 0;
  const char* partition = nullptr;
  int permission = 0;
  bool counts = false;
  switch (it.kind) {
    case ItemKind::Kernel:
      if (it.path == kBzImage) {
        flags |= O_CREAT;
        mode = 0777;
        counts = true;
      } else {
        partition = "linux-dev";
      }
      break;
    case ItemKind::Firmware:
    case ItemKind::Bootloader:
      partition = it.path == kFirmware ? "firmware" : "bootloader";
      permission = 1;
      break;
    case ItemKind::Rootfs:
      DVR_INFO("Opening rootfs path %s\n", path);
      flags |= O_CREAT;
      mode = 0644;
      counts = true;
      break;
    case ItemKind::Bin:
    case ItemKind::Bios:
      flags |= O_CREAT;
      mode = 0777;
      break;
    case ItemKind::DomBin:
      if (run_cmd("umount -f /mnt/dom_bin") != 0) DVR_WARN("run_cmd %s fail\n", "umount -f /mnt/dom_bin");
      break;
    case ItemKind::DomData:
      if (run_cmd("umount -f /mnt/dom_data") != 0) DVR_WARN("run_cmd %s fail\n", "umount -f /mnt/dom_data");
      if (run_cmd("umount -f /mnt/mtd") != 0) DVR_WARN("run_cmd %s fail\n", "umount -f /mnt/mtd");
      break;
    case ItemKind::Dom: {
      DVR_INFO("Starting [%s][%zu][%s]!\n", it.type.c_str(), i, path);
      for (const char* d : {"dom_bin", "dom_data", "dom_rsv", "mtd", "client_bin", "client_data"}) {
        char cmd[96];
        snprintf(cmd, sizeof cmd, "test -d /mnt/%s && umount /mnt/%s -l", d, d);
        run_logged(cmd);
      }
      osa::UniqueFd m(osa::sys::open("/proc/mounts", O_RDONLY | O_CLOEXEC));
      if (!m) {
        DVR_ERROR("open /proc/mounts failed!\n");
        return OSA_EFAIL;
      }
      char text[1024] = {};
      ssize_t n = osa::sys::read(m.get(), text, sizeof text - 1);
      if (n > 0 && std::strstr(text, "/mnt/")) {
        DVR_ERROR("some path mount already!\n");
        DVR_ERROR("umount failed!\n");
        return OSA_EFAIL;
      }
      break;
    }
    case ItemKind::Skip:
      return 0;
  }
  if (partition) {
    FlashPartOptions opt;
    opt.operator_permission = permission;
    opt.partition = partition;
    opt.image = buf_.get() + it.start;
    opt.image_len = it.number;
    opt.image_name = path;
    if (FlashPartDoUpdate(opt) != 0) {
      DVR_ERROR("FlashPartDoUpdate failed\n");
      return OSA_EFAIL;
    }
    written_ += it.number;
    return report(written_) ? 0 : OSA_EFAIL;
  }
  osa::UniqueFd fd(osa::sys::open(path, flags, mode));
  if (!fd) {
    DVR_ERROR("can't open %s\n", path);
    return OSA_EFAIL;
  }
  if (it.kind == ItemKind::DomData || it.kind == ItemKind::Dom) DVR_INFO("Open bin file success\n");
  if (write_file_item(i, fd.get()) != 0) return OSA_EFAIL;
  if (counts) ++files_written_;
  if (it.kind == ItemKind::Bios) {
    fd.reset();
    run_logged("cp /usr/local/bin/BIOS/platform.ini ./");
    char cmd[384];
    snprintf(cmd, sizeof cmd, "/usr/local/bin/BIOS/flashit_s.sh %s -all -mc -n", path);
    run_logged(cmd);
  }
  return 0;
}

int Install::Run() {
  DVR_INFO("Enter upgradeV\n");
  DVR_INFO("MAXITEM:%zu\n", kItemCount);
  DVR_INFO("upgradeV  count:%u\n", count_);
  if (int r = header()) return r;
  std::vector<std::span<const uint8_t>> spans;
  for (uint32_t i = 0; i < count_; ++i) spans.emplace_back(blocks_[i].data, blocks_[i].len);
  uint32_t sum = PackageChecksum(spans);
  if (sum != h_.checksum) {
    DVR_ERROR("File checksum invalid, compute crc checksum is 0x%08x, while it is 0x%08x in file header\n", sum,
              h_.checksum);
    return kUpgradeBadChecksum;
  }
  if (int r = space()) return r;
  if (int r = admission()) return r;

  DVR_INFO("BlocksSum.Length %llu  \n", static_cast<unsigned long long>(total_));
  buf_.reset(new (std::nothrow) uint8_t[total_ ? total_ : 1]);
  if (!buf_) {
    DVR_ERROR("can't malloc such memory.\n");
    DVR_ERROR("Update flash device failed\n");
    return kUpgradeWriteFailed;
  }
  uint64_t at = 0;
  for (auto s : spans) {
    if (!s.empty()) std::memcpy(buf_.get() + at, s.data(), s.size());
    at += s.size();
  }
  bool ok = preflight() == 0 && script() == 0;
  for (size_t i = 0; ok && i < kItemCount; ++i) ok = item(i) == 0;
  if (!ok) {
    DVR_ERROR("Update flash device failed\n");
    return kUpgradeWriteFailed;
  }
  buf_.reset();
  if (files_written_ == 2) {
    for (const char* f : {"/mnt/dom_bin/custom.res", "/mnt/dom_bin/web.res"}) {
      if (osa::sys::access(f, F_OK) != 0) continue;
      DVR_INFO("%s exist, remove it ...\n", f);
      if (unlink(osa::sys::path(f).c_str()) == 0) DVR_INFO("remove %s success\n", f);
      else DVR_ERROR("remove %s fail, errno = %d, %s\n", f, errno, strerror(errno));
    }
  }
  DVR_INFO("Update success, Leave UpdateSystem...\n");
  sync();
  sleep(SysUpgradePaths().settle_seconds);
  printf("System upgrade done! Leave upgradeV\n");
  return kUpgradeOk;
}

}  // namespace

UpgradePaths& SysUpgradePaths() {
  static UpgradePaths p;
  return p;
}

int SysUpgrade(const UpgradeBlock* blocks, uint32_t count, uint32_t* progress, int mode, const SystemRes_t* system) {
  return Install(blocks, count, progress, mode, system).Run();
}
