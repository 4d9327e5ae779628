// One copy of the boot environment: load, save, get, print.

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/env/store.h"

namespace bootenv {

int Store::Load() {
  osa::LockGuard g(lock);
  std::vector<uint8_t> raw(desc.Size);
  present = medium && medium->Read(raw) == 0;
  std::string err;
  if (!present) {
    state = Decoded{};
    image.assign(desc.Size, 0);
    used = UsedSize(image);
    return OSA_EFAIL;
  }
  format = DetectFormat(raw);
  DecodeImage(raw, format, &state, &err);  // the size was checked when the medium was opened
  image = state.plain;
  used = state.used;
  return OSA_SOK;
}

int Store::Save() {
  osa::LockGuard g(lock);
  std::vector<uint8_t> out = EncodeImage(image, format);
  if (medium->Erase() != 0) {
    DVR_ERROR("Erase failed, func[%p], mtdname[%s]\n", static_cast<void*>(medium.get()), medium->name().c_str());
    return OSA_EFAIL;
  }
  if (medium->Write(out) != 0) {
    DVR_ERROR("Write failed, func[%p]\n", static_cast<void*>(medium.get()));
    return OSA_EFAIL;
  }
  std::vector<uint8_t> back(out.size());
  if (medium->Read(back) != 0 || back != out) {
    DVR_ERROR("boot environment on %s does not read back as written\n", medium->name().c_str());
    return OSA_EFAIL;
  }
  size_t end = 0;
  state.crc_ok = present = true;
  state.has_end = MatchEntry(image, used, "", &end) != Match::NoEnd;
  return OSA_SOK;
}

bool Store::Lock(flash::PartLock* l, flash::PartLock::Mode mode) const {
  // The same objects the medium was opened with: probing again finds them.
  switch (desc.Type) {
    case ENV_TYPE_MTD: {
      flash::MtdDev* dev = nullptr;
      return flash::MtdDevProbe(desc.Mtd, &dev) == 0 && l->Take(dev->path(), mode);
    }
    case ENV_TYPE_EMMC: {
      flash::EmmcDev* dev = nullptr;
      return flash::EmmcDevProbe(desc.Emmc, &dev) == 0 && l->Take(dev->path(), mode);
    }
    case ENV_TYPE_FILE:
      // The file itself is replaced by renaming: lock a file beside it.
      return l->Take(medium->name() + ".lock", mode, true);
    default:
      return false;
  }
}

int Store::Get(const char* name, char* buf, int size) {
  if (!name || !*name || !buf || size <= 0) {
    DVR_ERROR("invalid param\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(lock);
  size_t pos = 0;
  if (MatchEntry(image, used, name, &pos) != Match::Found) {
    DVR_ERROR("MatchNolock failed,no such key (%s)\n", name);
    return OSA_EFAIL;
  }
  const char* v = reinterpret_cast<const char*>(image.data()) + pos + std::strlen(name) + 1;
  size_t n = std::strlen(v);
  size_t room = static_cast<size_t>(size);
  // The value is always terminated; one that does not fit is cut short.
  if (n >= room) {
    DVR_WARN("value of %s (%zu bytes) cut to fit a %d-byte buffer\n", name, n, size);
    n = room - 1;
  }
  std::memcpy(buf, v, n);
  std::memset(buf + n, 0, room - n);
  return OSA_SOK;
}

int Store::PrintAll() {
  osa::LockGuard g(lock);
  // Scripts read the bytes as stored; a terminal is shown them harmlessly.
  bool tty = isatty(fileno(stdout)) == 1;
  for (auto e : Entries(image, used)) {
    std::string shown = tty ? ForTerminal(e) : std::string(e);
    fwrite(shown.data(), 1, shown.size(), stdout);
    fputc('\n', stdout);
  }
  fflush(stdout);
  return OSA_SOK;
}

}  // namespace bootenv
