// The process-wide boot environment: the main store and its backups.
//
// A change is written to every backup before the main copy, so while the
// main copy is being erased and rewritten a backup already holds the new
// image; loading prefers the main copy and falls back to the first backup
// whose CRC holds.
//
// Other processes write the same copies, so a change is made under the
// main copy's partition lock, held exclusively from reading the copies
// again to the end of the last write; loading holds it shared, and so
// never reads a copy another process is halfway through rewriting.

#include <cstdio>
#include <cstring>

#include "osa/singleton.h"
#include "osa/sys.h"
#include "platform/env/store.h"
#include "platform/res/res.h"

namespace bootenv {

namespace {

struct Env {
  osa::Mutex init_lock;
  bool built = false;
  EnvRes res{};
  std::unique_ptr<Store> main;
  bool erase_block = false;
  bool damaged = false;  // no copy was valid: the image in use was rebuilt
  bool backups_built = false;
  std::vector<std::unique_ptr<Store>> backups;
};

Env& env() {
  return osa::Singleton<Env>();
}

bool cmdline_secerase() {
  FILE* f = osa::sys::fopen("/proc/cmdline", "r");
  if (!f) {
    DVR_ERROR("open //cmdline fail\n");
    return false;
  }
  char line[128];
  bool on = false;
  while (fgets(line, sizeof line, f))
    if (std::strstr(line, "secerase=1")) on = true;
  fclose(f);
  if (on) DVR_INFO("Erase block support\n");
  return on;
}

// A store for a flash or file description; nullptr after logging.
std::unique_ptr<Store> make_store(const EnvDesc& d, bool backup, bool erase_block) {
  auto s = std::make_unique<Store>();
  s->desc = d;
  switch (d.Type) {
    case ENV_TYPE_MTD: s->medium = OpenMtd(d, backup, erase_block); break;
    case ENV_TYPE_EMMC: s->medium = OpenEmmc(d); break;
    case ENV_TYPE_FILE: s->medium = OpenFile(d); break;
    default: return nullptr;
  }
  if (!s->medium) {
    DVR_ERROR("create failed, using type %d\n", d.Type);
    return nullptr;
  }
  return s;
}

// The file store's first image, written when the file is missing or short.
void file_defaults(Store& s) {
  static const char* const kDefaults[] = {"deviceid=0000000000000000", "ID=0000000000000000", "vs_board=HI3536",
                                          "custom_board=HI3536"};
  s.image.assign(s.desc.Size, 0);
  s.used = UsedSize(s.image);
  for (const char* e : kDefaults) {
    const char* eq = std::strchr(e, '=');
    SetEntry(s.image, &s.used, std::string_view(e, eq - e), eq + 1);
  }
  s.format = Format::Encoded;
  if (s.Save() != 0) DVR_WARN("open %s failed \n", "/mnt/env");
}

// Chooses the copy to work from and, when `report`, says so when it is not
// the main one.
void choose_copy(Env& e, bool report) {
  Store& m = *e.main;
  std::vector<CopyState> copies{{m.present, m.state.crc_ok, m.state.has_end}};
  for (auto& b : e.backups) copies.push_back({b->present, b->state.crc_ok, b->state.has_end});
  int pick = PickCopy(copies);
  if (pick == 0) return;
  if (pick > 0) {
    Store& b = *e.backups[static_cast<size_t>(pick - 1)];
    if (report)
      DVR_WARN("boot environment on %s is damaged (crc 0x%08x, stored 0x%08x), using backup %d on %s\n",
               m.medium->name().c_str(), m.state.crc, m.state.stored_crc, pick, b.medium->name().c_str());
    m.image.assign(m.desc.Size, 0);
    std::memcpy(m.image.data(), b.image.data(), std::min(b.image.size(), m.image.size()));
    m.used = UsedSize(m.image);
    size_t pos = 0;
    // A larger backup may not fit; one that is full but fits is kept whole.
    if (b.image.size() > m.image.size() && MatchEntry(m.image, m.used, "", &pos) == Match::NoEnd) {
      m.image.assign(m.desc.Size, 0);
      m.used = UsedSize(m.image);
    }
    return;
  }
  e.damaged = true;
  if (report && !m.present) {
    DVR_ERROR("boot environment on %s cannot be read and no backup holds one\n", m.medium->name().c_str());
  } else if (report) {
    DVR_ERROR("boot environment on %s fails its CRC (crc 0x%08x, stored 0x%08x) and no backup holds one\n",
              m.medium->name().c_str(), m.state.crc, m.state.stored_crc);
  }
  if (!m.present || !m.state.has_end) {
    if (report) DVR_ERROR("boot environment lost: starting from an empty one\n");
    m.image.assign(m.desc.Size, 0);
    m.used = UsedSize(m.image);
  }
}

// Reads every copy (the caller holds the lock) and picks the one to use.
void load_copies(Env& e, bool report) {
  Store& m = *e.main;
  m.Load();
  if (m.desc.Type == ENV_TYPE_FILE && !m.present) file_defaults(m);
  for (auto& b : e.backups) b->Load();
  e.damaged = false;
  choose_copy(e, report);
}

int build_backups() {
  Env& e = env();
  if (e.backups_built) return OSA_SOK;
  if (e.res.BackupCount == 0) return OSA_SOK;
  uint32_t n = std::min(e.res.BackupCount, kEnvMaxBackups);
  for (uint32_t i = 0; i < n; ++i) {
    const EnvDesc& d = e.res.Backup[i];
    if (d.Type != ENV_TYPE_MTD && d.Type != ENV_TYPE_EMMC && d.Type != ENV_TYPE_FILE) {
      DVR_ERROR("invalid EnvDev type\n");
      return OSA_EFAIL;
    }
    bool erase_block = i == 0 && d.Type == ENV_TYPE_MTD ? cmdline_secerase() : e.erase_block;
    auto s = make_store(d, true, erase_block);
    if (!s) return OSA_EFAIL;
    e.backups.push_back(std::move(s));
    if (erase_block) {
      DVR_INFO("pDulEnvDev->EraseFlags %d\n", 1);
      break;
    }
  }
  e.backups_built = true;
  return OSA_SOK;
}

int build() {
  Env& e = env();
  if (EnvGetRes(&e.res) != 0) {
    DVR_ERROR("EnvGetRes failed\n");
    return OSA_EFAIL;
  }
  const EnvDesc& d = e.res.Main;
  switch (d.Type) {
    case ENV_TYPE_NONE:
      DVR_WARN("unknow EnvDev type\n");
      return OSA_SOK;
    case ENV_TYPE_I2C:
    case ENV_TYPE_BIOS:
      if (d.Type == ENV_TYPE_BIOS)
        DVR_INFO("\nEnv Information:\n  1. only support read 'serial' from file\n  2. do not support write.\n");
      return OSA_SOK;
    case ENV_TYPE_MTD:
    case ENV_TYPE_EMMC:
    case ENV_TYPE_FILE:
      break;
    default:
      DVR_ERROR("invalid EnvDev type\n");
      return OSA_EFAIL;
  }
  if (d.Type == ENV_TYPE_MTD) e.erase_block = cmdline_secerase();
  e.main = make_store(d, false, e.erase_block);
  if (!e.main) return OSA_EFAIL;
  if (build_backups() != 0) DVR_WARN("boot environment backups are not available\n");
  flash::PartLock lk;
  if (!e.main->Lock(&lk, flash::PartLock::Mode::Shared)) return OSA_EFAIL;
  load_copies(e, true);
  DVR_INFO("EnvBuf Size=%x, used Size=%u\n", d.Size, static_cast<unsigned>(e.main->used));
  return OSA_SOK;
}

int init() {
  Env& e = env();
  osa::LockGuard g(e.init_lock);
  if (e.built) return OSA_SOK;
  if (build() != 0) return OSA_EFAIL;
  e.built = true;
  return OSA_SOK;
}

// Writes the changed image to every backup, then to the main copy.
int set_value(const char* name, const char* value) {
  Env& e = env();
  if (!e.main) return OSA_EFAIL;  // a medium without Set
  Store& m = *e.main;
  osa::LockGuard g(m.lock);
  flash::PartLock lk;
  if (!m.Lock(&lk, flash::PartLock::Mode::Exclusive)) return OSA_EFAIL;
  load_copies(e, false);  // another process may have changed them since
  std::vector<uint8_t> next = m.image;
  size_t used = m.used;
  switch (SetEntry(next, &used, name, value)) {
    case SetResult::Ok: break;
    case SetResult::NoEnd: DVR_ERROR("MatchNoLock() failed\xA3\xACno such key(%s)\n", name); return OSA_EFAIL;
    case SetResult::TooLarge: DVR_ERROR("!new env is to larger\n"); return OSA_EFAIL;
    case SetResult::BadName:
    case SetResult::BadValue: DVR_ERROR("invalid param\n"); return OSA_EFAIL;
  }
  if (e.damaged) DVR_WARN("saving a boot environment rebuilt from a damaged copy\n");
  for (auto& b : e.backups) {
    osa::LockGuard bg(b->lock);
    if (used > b->desc.Size) {
      DVR_ERROR("!new env is to larger\n");
      return OSA_EFAIL;
    }
  }
  for (auto& b : e.backups) {
    osa::LockGuard bg(b->lock);
    b->image.assign(b->desc.Size, 0);
    std::memcpy(b->image.data(), next.data(), std::min(next.size(), b->image.size()));
    b->used = used;
    b->format = m.format;
    if (b->Save() != 0) return OSA_EFAIL;  // the main copy still holds the old image
  }
  std::swap(m.image, next);
  std::swap(m.used, used);
  if (m.Save() != 0) {
    std::swap(m.image, next);
    std::swap(m.used, used);
    return OSA_EFAIL;
  }
  e.damaged = false;
  return OSA_SOK;
}

}  // namespace

}  // namespace bootenv

using namespace bootenv;

int EnvDevInit() { return init(); }

int BackupEnvDevInit() { return init(); }

void BackupEnvDevRelease() {
  Env& e = env();
  e.backups.clear();
  e.backups_built = false;
}

int BootEnvGetValue(const char* name, char* buf, int size) {
  if (init() != 0) return OSA_EFAIL;
  if (!name || !*name || !buf || size <= 0) {
    DVR_ERROR("invalid param\n");
    return OSA_EFAIL;
  }
  Env& e = env();
  switch (e.res.Main.Type) {
    case ENV_TYPE_I2C: return EnvI2cGet(e.res.Main, name, buf, size);
    case ENV_TYPE_BIOS: return EnvBIOSGet(name, buf, size);
    default: break;
  }
  if (!e.main) return OSA_EFAIL;
  return e.main->Get(name, buf, size);
}

int BootSetPara(const char* name, const char* value) {
  if (init() != 0) return OSA_EFAIL;
  if (!name || !*name || !value) {
    DVR_ERROR("invalid param\n");
    return OSA_EFAIL;
  }
  if (set_value(name, value) != 0) {
    DVR_ERROR("EnvDev has no Set fun or Set failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int BootEnvPrint() {
  if (init() != 0) return OSA_EFAIL;
  Env& e = env();
  if (!e.main) return OSA_SOK;  // media without a list print nothing
  return e.main->PrintAll();
}
