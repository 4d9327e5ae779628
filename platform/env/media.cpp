// The media a boot environment copy lives on: an MTD or eMMC partition
// region, or the file "/mnt/env".

#include <cstring>
#include <string_view>

#include "osa/file.h"
#include "platform/env/store.h"

namespace bootenv {

namespace {

constexpr char kEnvFile[] = "/mnt/env";

class MtdMedium final : public Medium {
 public:
  MtdMedium(flash::MtdDev* dev, uint32_t off, uint32_t size, uint32_t unit)
      : dev_(dev), off_(off), size_(size), unit_(unit) {}
  int Read(std::span<uint8_t> out) override {
    return dev_->ReadEnv(out.data(), off_, static_cast<uint32_t>(out.size()));
  }
  int Erase() override {
    uint32_t len = (size_ + unit_ - 1) / unit_ * unit_;
    return dev_->EraseEnv(off_, len, unit_);
  }
  int Write(std::span<const uint8_t> in) override {
    return dev_->WriteEnv(in.data(), off_, static_cast<uint32_t>(in.size()));
  }
  std::string name() const override { return dev_->name(); }

 private:
  flash::MtdDev* dev_;
  uint32_t off_, size_, unit_;
};

class EmmcMedium final : public Medium {
 public:
  EmmcMedium(flash::EmmcDev* dev, uint32_t off) : dev_(dev), off_(off) {}
  int Read(std::span<uint8_t> out) override { return dev_->Read(out.data(), off_, static_cast<uint32_t>(out.size())); }
  int Erase() override { return dev_->Erase(off_); }
  int Write(std::span<const uint8_t> in) override {
    return dev_->Write(in.data(), off_, static_cast<uint32_t>(in.size()));
  }
  std::string name() const override { return dev_->name(); }

 private:
  flash::EmmcDev* dev_;
  uint32_t off_;
};

// The file is replaced whole through a temporary, so a crash leaves the
// old or the new image, never a truncated one.
class FileMedium final : public Medium {
 public:
  int Read(std::span<uint8_t> out) override {
    // A longer file is read as far as the image goes.
    auto file = osa::ReadFile(kEnvFile, out.size());
    if (!file.readable()) return OSA_EFAIL;
    std::memcpy(out.data(), file.data.data(), file.data.size());
    std::memset(out.data() + file.data.size(), 0, out.size() - file.data.size());
    return file.data.size() >= kMinImage ? OSA_SOK : OSA_EFAIL;
  }
  int Erase() override { return OSA_SOK; }
  int Write(std::span<const uint8_t> in) override {
    auto r = osa::ReplaceFile(kEnvFile, std::string_view(reinterpret_cast<const char*>(in.data()), in.size()));
    if (r.failed == osa::ReplaceResult::Step::Create) DVR_WARN("open %s failed \n", kEnvFile);
    else if (r.failed == osa::ReplaceResult::Step::Rename) DVR_ERROR("cannot replace %s\n", kEnvFile);
    return r.ok() ? OSA_SOK : OSA_EFAIL;
  }
  std::string name() const override { return kEnvFile; }
};

}  // namespace

std::unique_ptr<Medium> OpenMtd(const EnvDesc& d, bool backup, bool erase_block) {
  flash::MtdDev* dev = nullptr;
  if (flash::MtdDevProbe(d.Mtd, &dev) != 0) {
    DVR_ERROR("MtdDevPorbe failed\n");
    return nullptr;
  }
  uint32_t es = dev->erasesize();
  // A backup smaller than an erase block may sit on a 4096-byte boundary
  // and is erased in 4096-byte sectors.
  bool small = backup && es > d.Size && !erase_block;
  uint32_t align = small ? 4096 : es;
  uint32_t unit = es;
  if (small) unit = 4096;
  else if (!backup && d.EraseSize != 0 && !erase_block) unit = d.EraseSize;
  if (d.Size < kMinImage || d.Offset % align != 0 || static_cast<uint64_t>(d.Offset) + d.Size > dev->size() ||
      unit == 0 || es % unit != 0) {
    DVR_ERROR("0x%x 0x%x 0x%x\n", dev->size(), d.Offset, d.Size);
    return nullptr;
  }
  return std::make_unique<MtdMedium>(dev, d.Offset, d.Size, unit);
}

std::unique_ptr<Medium> OpenEmmc(const EnvDesc& d) {
  flash::EmmcDev* dev = nullptr;
  if (flash::EmmcDevProbe(d.Emmc, &dev) != 0) {
    DVR_ERROR("EmmcDevPorbe failed\n");
    return nullptr;
  }
  if (d.Size < kMinImage || static_cast<uint64_t>(d.Offset) + d.Size > dev->size()) {
    DVR_ERROR("%x %x %x\n", dev->size(), d.Offset, d.Size);
    return nullptr;
  }
  return std::make_unique<EmmcMedium>(dev, d.Offset);
}

std::unique_ptr<Medium> OpenFile(const EnvDesc& d) {
  if (d.Size <= 87) {
    DVR_ERROR("env file size %u is too small\n", d.Size);
    return nullptr;
  }
  return std::make_unique<FileMedium>();
}

}  // namespace bootenv
