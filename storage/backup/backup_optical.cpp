// Optical drives behind the backup API: a recording is one disc session of
// the UDF writer, from BackupStart to BackupStop.  Every call that reaches
// a drive runs under the one process-wide error-checking optical mutex.

#include "storage/backup/backup_optical.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "optical/drive.h"
#include "osa/osa.h"
#include "osa/singleton.h"
#include "osa/sys.h"
#include "storage/backup/backup_internal.h"
#include "storage/backup/backup_pending.h"

namespace hd {

namespace {

// The open recordings, by SCSI generic node.
struct Optical {
  osa::Mutex lock;
  struct Session {
    cddev_t drive;
    bool failed = false;  // a write failed: the stop reports it
  };
  std::map<std::string, std::unique_ptr<Session>> open;
  void ResetForTest() { open.clear(); }
};
Optical& Opt() { return osa::Singleton<Optical>(); }

bool is_optical(const BackupDevInfo* dev) {
  if (!dev || dev->type != BACKUP_TYPE_OPTICAL || strnlen(dev->name, sizeof dev->name) == sizeof dev->name ||
      std::strncmp(dev->name, "/dev/sg", 7) != 0) {
    HD_ERROR("invalid arg\n");
    return false;
  }
  return true;
}

// The session of a started drive (lock held), or null.
Optical::Session* session(const BackupDevInfo* dev) {
  auto it = Opt().open.find(dev->name);
  if (it == Opt().open.end()) {
    HD_ERROR("please call BackupStart() first\n");
    return nullptr;
  }
  return it->second.get();
}

// Runs `fn` on the drive: the open session's handle, or one opened for the call.
template <typename Fn>
int with_drive(const BackupDevInfo* dev, Fn fn) {
  auto it = Opt().open.find(dev->name);
  if (it != Opt().open.end()) return fn(&it->second->drive);
  cddev_t d;
  if (cdrw_init(&d, dev->name) != 0) {
    HD_ERROR("cdrw init failed\n");
    return -1;
  }
  int rc = fn(&d);
  if (cdrw_close(&d) != 0) rc = -1;
  return rc;
}

}  // namespace

int BackupOpticalMount(BackupDevInfo* dev) {
  if (!is_optical(dev)) return -1;
  std::string sr;
  if (cdrw_sr_name(dev->name, &sr) != 0) {
    HD_ERROR("Get mount type fail\n");
    return -1;
  }
  {
    osa::LockGuard g(Opt().lock);
    if (Opt().open.count(dev->name)) {
      HD_ERROR("%s is recording\n", dev->name);
      return -1;
    }
    cddev_t d;
    if (cdrw_init(&d, dev->name) != 0) {
      HD_ERROR("cdrw init failed\n");
      return -1;
    }
    if (d.disc.status == 1 && cdrw_fix(&d) != 0) HD_ERROR("cdrw fix failed\n");
    cdrw_close(&d);
  }
  std::string dir = BackupMountDir(dev);
  if (dir.empty()) return -1;
  if (BackupIsMounted(nullptr, dir)) osa::sys::umount2(dir.c_str(), 0);
  if (!MakeMountDir(dir.c_str())) return -1;
  unsigned long flags = MS_MGC_VAL | MS_RDONLY;
  int err = 0;
  for (const char* type : {"iso9660", "udf"}) {
    if (osa::sys::mount(sr.c_str(), dir.c_str(), type, flags, "iocharset=gb2312") == 0) return 0;
    err = errno;
  }
  HD_ERROR("mount %s to %s faild, %s!", sr.c_str(), dir.c_str(), strerror(err));
  return BackupMapMountErr(err);
}

int BackupOpticalStart(BackupDevInfo* dev, const char*, int option) {
  if (!is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  if (Opt().open.count(dev->name)) {
    HD_ERROR("%s is recording already\n", dev->name);
    return -1;
  }
  auto s = std::make_unique<Optical::Session>();
  if (cdrw_init(&s->drive, dev->name) != 0) {
    HD_ERROR("cdrw init failed\n");
    return -1;
  }
  if (cdrw_udf_hdr_start(&s->drive, option) != 0) {
    HD_ERROR("start disc recording on %s failed\n", dev->name);
    cdrw_close(&s->drive);
    return -1;
  }
  Opt().open[dev->name] = std::move(s);
  return 0;
}

int BackupOpticalFileOpen(BackupDevInfo* dev, const BackupFileReq* req) {
  if (!is_optical(dev) || !req) return -1;
  if (strnlen(req->name, sizeof req->name) == sizeof req->name) {
    HD_ERROR("file name is not terminated within %zu bytes\n", sizeof req->name);
    return -1;
  }
  // The disc holds one folder: the base name is the file's name.
  const char* base = std::strrchr(req->name, '/');
  base = base ? base + 1 : req->name;
  osa::LockGuard g(Opt().lock);
  Optical::Session* s = session(dev);
  if (!s) return -1;
  if (cdrw_udf_open_file(&s->drive, base) != 0) {
    HD_ERROR("open %s on the disc failed\n", base);
    return -1;
  }
  HD_INFO("Open file %s, size:%llu.\n", base, static_cast<unsigned long long>(req->reserved));
  return 0;
}

int BackupOpticalStuff(BackupDevInfo* dev, const void* buf, uint32_t len) {
  if (!is_optical(dev) || (!buf && len)) return -1;
  osa::LockGuard g(Opt().lock);
  Optical::Session* s = session(dev);
  if (!s) return -1;
  if (!s->drive.udf.file_open) {
    HD_ERROR("DeviceBackupFile == NULL\n");
    return -1;
  }
  if (cdrw_udf_filedata(&s->drive, buf, len) != 0) {
    HD_ERROR("failed to write all data to device\n");
    s->failed = true;
    return -1;
  }
  return 0;
}

int BackupOpticalClose(BackupDevInfo* dev) {
  if (!is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  Optical::Session* s = session(dev);
  if (!s) return -1;
  HD_INFO("Close file.\n");
  if (!s->drive.udf.file_open) return 0;
  if (cdrw_udf_close_file(&s->drive) != 0) {
    s->failed = true;
    return -1;
  }
  return 0;
}

int BackupOpticalStop(BackupDevInfo* dev, int eject) {
  if (!is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  auto it = Opt().open.find(dev->name);
  if (it == Opt().open.end()) {
    HD_ERROR("please call BackupStart() first\n");
    return -1;
  }
  std::unique_ptr<Optical::Session> s = std::move(it->second);
  Opt().open.erase(it);
  cddev_t* d = &s->drive;
  bool ok = !s->failed;
  if (d->udf.file_open && cdrw_udf_close_file(d) != 0) ok = false;
  if (cdrw_udf_hdr_end(d, nullptr, 0) != 0) {
    HD_ERROR("write disc header failed\n");
    ok = false;
  }
  if (cdrw_udf_end(d) != 0) ok = false;
  if (ok && cdrw_fix(d) != 0) {
    HD_ERROR("cdrw fix failed\n");
    ok = false;
  }
  if (cdrw_close(d) != 0) ok = false;
  if (eject && cdrw_stop(d, 1) != 0) HD_WARN("eject %s failed\n", dev->name);
  return ok ? 0 : -1;
}

int BackupOpticalSpace(BackupDevInfo* dev, uint64_t* free_kib) {
  if (!is_optical(dev) || !free_kib) return -1;
  osa::LockGuard g(Opt().lock);
  return with_drive(dev, [&](cddev_t* d) {
    uint32_t cap = 0, remain = 0;
    if (cdrw_get_capacity(d, &cap) != 0) {
      HD_ERROR("cdrw_get_capacity failed!\n");
      return -1;
    }
    if (cdrw_get_remain(d, &remain) != 0) {
      HD_ERROR("cdrw_get_remain failed!\n");
      return -1;
    }
    dev->total = uint64_t{cap} * 2;
    *free_kib = uint64_t{remain} * 2;
    return 0;
  });
}

int BackupOpticalFormat(BackupDevInfo* dev, const char*) {
  if (!is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  if (Opt().open.count(dev->name)) {
    HD_ERROR("%s is recording\n", dev->name);
    return -1;
  }
  return with_drive(dev, [&](cddev_t* d) {
    if (cdrw_is_erasable(d) != 1) {
      HD_ERROR("the disc in %s cannot be erased\n", dev->name);
      return -1;
    }
    return cdrw_erase(d) == 0 ? 0 : -1;
  });
}

}  // namespace hd

using hd::Opt;

// The optical controls around the recording calls.
int BackupStartRecord(BackupDevInfo* dev, int option) { return hd::BackupOpticalStart(dev, nullptr, option); }
int BackupStopRecord(BackupDevInfo* dev, int eject) { return hd::BackupOpticalStop(dev, eject); }

// Ends a recording after a failure: the header of what was written whole
// is put on the disc, the disc is left open and nothing is ejected.
int BackupErrorStop(BackupDevInfo* dev) {
  if (!hd::is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  auto it = Opt().open.find(dev->name);
  if (it == Opt().open.end()) return 0;
  std::unique_ptr<hd::Optical::Session> s = std::move(it->second);
  Opt().open.erase(it);
  if (s->drive.udf.file_open) cdrw_udf_close_file(&s->drive);
  cdrw_udf_hdr_end(&s->drive, nullptr, 0);
  cdrw_udf_end(&s->drive);
  cdrw_close(&s->drive);
  return 0;
}

// Continues a recording cut short, from the configuration a session saved.
int BackupRestoreRecord(BackupDevInfo* dev, const char* config) {
  if (!hd::is_optical(dev) || !config) return -1;
  UdfRestoreConfig cfg;
  std::string err;
  if (cdrw_udf_parse_config(config, &cfg, &err) != 0) {
    HD_ERROR("bad restore configuration: %s\n", err.c_str());
    return -1;
  }
  osa::LockGuard g(Opt().lock);
  if (Opt().open.count(dev->name)) return -1;
  return hd::with_drive(dev, [&](cddev_t* d) {
    int rc = cdrw_udf_restore(d, cfg);
    if (cdrw_udf_end(d) != 0) rc = -1;
    if (rc == 0 && cdrw_fix(d) != 0) rc = -1;
    return rc == 0 ? 0 : -1;
  });
}

// The open recording's restore configuration, NUL-terminated in `out`.
int BackupGetCdCfg(BackupDevInfo* dev, char* out, int len) {
  if (!hd::is_optical(dev) || !out || len <= 0) return -1;
  osa::LockGuard g(Opt().lock);
  hd::Optical::Session* s = hd::session(dev);
  if (!s) return -1;
  std::string text = cdrw_udf_save_config(&s->drive);
  if (text.size() >= static_cast<size_t>(len)) return -1;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return 0;
}

int BackupFlushCache(BackupDevInfo* dev) {
  if (!hd::is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  return hd::with_drive(dev, [](cddev_t* d) { return cdrw_flush_cache(d) == 0 ? 0 : -1; });
}

int BackupMediaLoad(BackupDevInfo* dev) {
  if (!hd::is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  return hd::with_drive(dev, [](cddev_t* d) { return load_media(d) == 0 ? 0 : -1; });
}

int BackupMediaEject(BackupDevInfo* dev) {
  if (!hd::is_optical(dev)) return -1;
  osa::LockGuard g(Opt().lock);
  if (Opt().open.count(dev->name)) {
    HD_ERROR("%s is recording\n", dev->name);
    return -1;
  }
  cddev_t d;
  d.sg = dev->name;
  return cdrw_stop(&d, 1) == 0 ? 0 : -1;
}

// Drive power saving is the drive's own; nothing to tell it here.
int BackupSetDormancy(BackupDevInfo* dev, int) { return hd::is_optical(dev) ? 0 : -1; }
