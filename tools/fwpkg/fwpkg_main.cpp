// fwpkg: builds firmware packages, partition containers and boot flash
// images from files, and inspects them.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "osa/file.h"
#include "platform/fwpkg/fwpkg.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kUsage[] =
    "usage: fwpkg build -o OUT [--magic PKI7] [--version V] [--depend V] [--vendor S] [--machine S]\n"
    "                   [--script FILE --script-path PATH] [--no-script-flag]\n"
    "                   --item TYPE:PATH:FILE[:VERSION] ...      (at most 4 items)\n"
    "       fwpkg container -s SIZE -o OUT FILE                  a partition container\n"
    "       fwpkg flash -s DEVSIZE -o OUT [-e ERASEUNIT] --part NAME:START:SIZE[:FILE[:invalid]] ...\n"
    "                                                            a boot flash image with its table\n"
    "       fwpkg inspect FILE                                   a package: header, items, checksum\n"
    "       fwpkg inspect-container FILE                         one container\n"
    "       fwpkg inspect-flash [-e ERASEUNIT] FILE              a boot flash image\n"
    "       fwpkg --help                                         this text\n"
    "sizes: decimal, 0x hex, or with a K or M suffix; the erase unit defaults to 64K\n";

// A usage error: the usage on standard error, status 2.
int usage() {
  fputs(kUsage, stderr);
  return 2;
}

// Reads a whole file of at most `limit` bytes.  Larger inputs (a device
// such as /dev/zero never ends) are refused as soon as the limit is passed.
bool read_file(const std::string& path, Bytes* out, uint64_t limit) {
  osa::ReadResult r = osa::ReadFile(path.c_str(), static_cast<std::size_t>(std::min<uint64_t>(limit, SIZE_MAX)));
  switch (r.status) {
    case osa::ReadStatus::Ok:
      out->assign(r.data.begin(), r.data.end());
      return true;
    case osa::ReadStatus::TooLarge:
      fprintf(stderr, "fwpkg: %s holds more than %llu bytes\n", path.c_str(), static_cast<unsigned long long>(limit));
      return false;
    case osa::ReadStatus::Missing:
      fprintf(stderr, "fwpkg: cannot open %s: %s\n", path.c_str(), strerror(r.err));
      return false;
    case osa::ReadStatus::IoError:
      break;
  }
  fprintf(stderr, "fwpkg: cannot read %s: %s\n", path.c_str(), strerror(r.err));
  return false;
}

bool write_file(const std::string& path, const Bytes& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "fwpkg: cannot create %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = fclose(f) == 0 && ok;
  if (!ok) fprintf(stderr, "fwpkg: cannot write %s\n", path.c_str());
  return ok;
}

bool parse_size(const std::string& s, uint64_t* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long x = strtoull(s.c_str(), &end, 0);
  if (errno || end == s.c_str() || s[0] == '-') return false;
  std::string suffix = end;
  if (suffix == "K" || suffix == "k") x <<= 10;
  else if (suffix == "M" || suffix == "m") x <<= 20;
  else if (!suffix.empty()) return false;
  *v = x;
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    size_t p = s.find(sep, at);
    out.push_back(s.substr(at, p == std::string::npos ? p : p - at));
    if (p == std::string::npos) return out;
    at = p + 1;
  }
}

bool fits(const std::string& what, const std::string& s, size_t field) {
  if (s.size() < field) return true;
  fprintf(stderr, "fwpkg: %s \"%s\" does not fit its %zu-byte field\n", what.c_str(), s.c_str(), field);
  return false;
}

// ------------------------------------------------------------- build

int cmd_build(int argc, char** argv) {
  fwpkg::Header h;
  std::memcpy(h.magic, "PKI7", 4);
  h.version = "V4.0";
  std::string out, script_file;
  bool script_flag = true;
  std::vector<std::string> items;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto val = [&](std::string* dst) {
      if (i + 1 >= argc) return false;
      *dst = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-o" && val(&out)) continue;
    if (a == "--magic" && val(&v) && v.size() == 4) {
      std::memcpy(h.magic, v.data(), 4);
      continue;
    }
    if (a == "--version" && val(&h.version)) continue;
    if (a == "--depend" && val(&h.depend)) continue;
    if (a == "--vendor" && val(&h.vendor)) continue;
    if (a == "--machine" && val(&h.machine)) continue;
    if (a == "--script" && val(&script_file)) continue;
    if (a == "--script-path" && val(&h.script_path)) continue;
    if (a == "--no-script-flag") {
      script_flag = false;
      continue;
    }
    if (a == "--item" && val(&v)) {
      items.push_back(v);
      continue;
    }
    fprintf(stderr, "fwpkg build: bad argument %s\n", a.c_str());
    return usage();
  }
  if (out.empty() || items.size() > fwpkg::kItemCount) return usage();
  if (!fits("version", h.version, 16) || !fits("dependency", h.depend, 16) || !fits("vendor", h.vendor, 16) ||
      !fits("machine type", h.machine, 32) || !fits("script path", h.script_path, 260))
    return 1;

  Bytes body;
  auto append = [&](const Bytes& d, uint32_t* start, uint32_t* len) {
    *start = static_cast<uint32_t>(fwpkg::kHeaderLen + body.size());
    *len = static_cast<uint32_t>(d.size());
    body.insert(body.end(), d.begin(), d.end());
  };
  auto room = [&] { return fwpkg::kMaxPackageLen - fwpkg::kHeaderLen - body.size(); };
  if (!script_file.empty()) {
    Bytes s;
    if (!read_file(script_file, &s, room())) return 1;
    if (h.script_path.empty()) {
      fprintf(stderr, "fwpkg build: --script needs --script-path\n");
      return 1;
    }
    append(s, &h.script_start, &h.script_len);
    h.script_flag = script_flag ? 1 : 0;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    auto f = split(items[i], ':');
    if (f.size() < 3 || f.size() > 4) {
      fprintf(stderr, "fwpkg build: item \"%s\" is not TYPE:PATH:FILE[:VERSION]\n", items[i].c_str());
      return usage();
    }
    fwpkg::Item& it = h.items[i];
    it.type = f[0];
    it.path = f[1];
    it.version = f.size() == 4 ? f[3] : "";
    if (!fits("item type", it.type, 16) || !fits("item path", it.path, 256) || !fits("item version", it.version, 16))
      return 1;
    Bytes d;
    if (!read_file(f[2], &d, room())) return 1;
    append(d, &it.start, &it.number);
  }
  h.pack_size = static_cast<uint32_t>(fwpkg::kHeaderLen + body.size());
  h.checksum = fwpkg::ChecksumUpdate(0, body);
  auto hdr = fwpkg::EncodeHeader(h);
  Bytes pkg(hdr.begin(), hdr.end());
  pkg.insert(pkg.end(), body.begin(), body.end());
  return write_file(out, pkg) ? 0 : 1;
}

// -------------------------------------------------- container, flash

int cmd_container(int argc, char** argv) {
  uint64_t size = 0;
  std::string out, in;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-s" && i + 1 < argc && parse_size(argv[i + 1], &size)) ++i;
    else if (a == "-o" && i + 1 < argc) out = argv[++i];
    else if (in.empty() && a[0] != '-') in = a;
    else return usage();
  }
  if (out.empty() || in.empty() || size == 0 || size > UINT32_MAX) return usage();
  Bytes d;
  // One byte more than fits, so the message below says by how much.
  if (!read_file(in, &d, size < fwpkg::kContainerSlack ? 1 : size - fwpkg::kContainerSlack + 1)) return 1;
  auto c = fwpkg::FlashPartCreateByBuf(d, static_cast<uint32_t>(size));
  if (c.empty()) {
    fprintf(stderr, "fwpkg: %zu bytes do not fit a container of %llu bytes (at most %llu)\n", d.size(),
            static_cast<unsigned long long>(size),
            static_cast<unsigned long long>(size < fwpkg::kContainerSlack ? 0 : size - fwpkg::kContainerSlack));
    return 1;
  }
  return write_file(out, c) ? 0 : 1;
}

// The erase unit option of flash and inspect-flash.
bool erase_unit_arg(const char* v, uint32_t* unit) {
  uint64_t u = 0;
  if (!parse_size(v, &u) || u == 0 || u > fwpkg::kTableBlockLen || (u & (u - 1)) != 0) {
    fprintf(stderr, "fwpkg: erase unit \"%s\" is not a power of two up to 128K\n", v);
    return false;
  }
  *unit = static_cast<uint32_t>(u);
  return true;
}

int cmd_flash(int argc, char** argv) {
  uint64_t devsize = 0;
  uint32_t unit = fwpkg::kDefaultEraseUnit;
  std::string out;
  std::vector<fwpkg::TableEntry> entries;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-s" && i + 1 < argc && parse_size(argv[i + 1], &devsize)) {
      ++i;
    } else if (a == "-o" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "-e" && i + 1 < argc) {
      if (!erase_unit_arg(argv[++i], &unit)) return usage();
    } else if (a == "--part" && i + 1 < argc) {
      auto f = split(argv[++i], ':');
      uint64_t start, size;
      if (f.size() < 3 || f.size() > 5 || !parse_size(f[1], &start) || !parse_size(f[2], &size) ||
          f[0].size() > 16 || start + size > UINT32_MAX || (f.size() == 5 && f[4] != "invalid")) {
        fprintf(stderr, "fwpkg flash: part \"%s\" is not NAME:START:SIZE[:FILE[:invalid]]\n", argv[i]);
        return usage();
      }
      entries.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(size), f.size() == 5 ? 0u : 1u, f[0]});
      files.push_back(f.size() >= 4 ? f[3] : "");
    } else {
      return usage();
    }
  }
  if (out.empty() || entries.size() > fwpkg::kTableMaxEntries) return usage();
  if (devsize < fwpkg::kTableBlockLen || devsize > fwpkg::kMaxBootFlash) {
    fprintf(stderr, "fwpkg flash: device size %llu is outside 0x%x..0x%llx\n", static_cast<unsigned long long>(devsize),
            fwpkg::kTableBlockLen, static_cast<unsigned long long>(fwpkg::kMaxBootFlash));
    return usage();
  }
  // The table is judged as the installer will judge it on the board.
  auto table = fwpkg::PartTable::Make(entries);
  std::string err;
  if (!fwpkg::CheckPartTable(table, devsize, unit, &err)) {
    fprintf(stderr, "fwpkg flash: %s\n", err.c_str());
    return 1;
  }
  Bytes img(devsize, 0xFF);
  auto tb = fwpkg::FlashPartCreateByBuf(table.Encode(), fwpkg::kTableBlockLen);
  std::copy(tb.begin(), tb.end(), img.begin());
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    if (files[i].empty()) continue;
    Bytes d;
    if (!read_file(files[i], &d, e.size - fwpkg::kContainerSlack)) {
      fprintf(stderr, "fwpkg flash: %s does not fit partition %s\n", files[i].c_str(), e.name.c_str());
      return 1;
    }
    auto c = fwpkg::FlashPartCreateByBuf(d, e.size);
    std::copy(c.begin(), c.end(), img.begin() + e.start);
  }
  return write_file(out, img) ? 0 : 1;
}

// ----------------------------------------------------------- inspect

void show_container(const char* what, std::span<const uint8_t> region) {
  auto c = fwpkg::CheckContainer(region);
  printf("%s: size 0x%zx, length %u, stored crc 0x%08x", what, region.size(), c.length, c.stored_crc);
  if (c.state == fwpkg::Container::Valid || c.state == fwpkg::Container::BadCrc)
    printf(", computed crc 0x%08x", c.computed_crc);
  printf(": %s\n", fwpkg::ContainerName(c.state));
}

int cmd_inspect(const std::string& path) {
  Bytes pkg;
  if (!read_file(path, &pkg, fwpkg::kMaxPackageLen)) return 1;
  fwpkg::Header h;
  int r = fwpkg::DecodeHeader(pkg, &h);
  if (r != fwpkg::kUpgradeOk) {
    printf("size: %zu bytes, shorter than the %zu-byte header\nverdict: refused (%d)\n", pkg.size(), fwpkg::kHeaderLen,
           r);
    return 1;
  }
  printf("magic: %c%c%c%c\nversion: %s\ndependency version: %s\nvendor: %s\nmachine type: %s\n", h.magic[0],
         h.magic[1], h.magic[2], h.magic[3], h.version.c_str(), h.depend.c_str(), h.vendor.c_str(), h.machine.c_str());
  for (size_t i = 0; i < fwpkg::kItemCount; ++i) {
    const auto& it = h.items[i];
    if (it.kind == fwpkg::ItemKind::Skip && it.type.empty()) {
      printf("item[%zu]: (none)\n", i);
      continue;
    }
    printf("item[%zu]: type %s%s, path %s, version %s, start %u, length %u", i, it.type.c_str(),
           it.kind == fwpkg::ItemKind::Skip ? " (skipped)" : "", it.path.c_str(), it.version.c_str(), it.start,
           it.number);
    if (uint64_t(it.start) + it.number <= pkg.size())
      printf(", container crc 0x%08x", fwpkg::ContainerCrc({pkg.data() + it.start, it.number}));
    printf("\n");
  }
  printf("script: flag %u, start %u, length %u, path %s\n", h.script_flag, h.script_start, h.script_len,
         h.script_path.c_str());
  uint32_t sum = fwpkg::ChecksumUpdate(0, std::span<const uint8_t>(pkg).subspan(fwpkg::kHeaderLen));
  printf("pack size: %u (file %zu)\nchecksum: stored 0x%08x, computed 0x%08x\n", h.pack_size, pkg.size(), h.checksum,
         sum);
  std::string err;
  if (!fwpkg::MagicOk(h.magic)) {
    printf("verdict: refused (%d, bad magic)\n", fwpkg::kUpgradeBadHeader);
    return 1;
  }
  if (fwpkg::CheckLayout(h, pkg.size(), &err) != fwpkg::kUpgradeOk) {
    printf("verdict: refused (%d, %s)\n", fwpkg::kUpgradeBadHeader, err.c_str());
    return 1;
  }
  if (sum != h.checksum) {
    printf("verdict: refused (%d, checksum mismatch)\n", fwpkg::kUpgradeBadChecksum);
    return 1;
  }
  printf("verdict: ok\n");
  return 0;
}

int cmd_inspect_container(const std::string& path) {
  Bytes d;
  if (!read_file(path, &d, fwpkg::kMaxBootFlash)) return 1;
  show_container("container", d);
  return fwpkg::CheckContainer(d).state == fwpkg::Container::Valid ? 0 : 1;
}

int cmd_inspect_flash(int argc, char** argv) {
  uint32_t unit = fwpkg::kDefaultEraseUnit;
  std::string path;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-e" && i + 1 < argc) {
      if (!erase_unit_arg(argv[++i], &unit)) return usage();
    } else if (path.empty() && !a.empty() && a[0] != '-') {
      path = a;
    } else {
      return usage();
    }
  }
  if (path.empty()) return usage();
  Bytes img;
  if (!read_file(path, &img, fwpkg::kMaxBootFlash)) return 1;
  if (img.size() < fwpkg::kTableBlockLen) {
    printf("image of %zu bytes has no table block\nverdict: no table\n", img.size());
    return 1;
  }
  std::span<const uint8_t> all(img);
  show_container("table", all.first(fwpkg::kTableBlockLen));
  auto tc = fwpkg::CheckContainer(all.first(fwpkg::kTableBlockLen));
  if (tc.state != fwpkg::Container::Valid) {
    printf("verdict: no table\n");
    return 1;
  }
  fwpkg::PartTable t;
  std::string err;
  if (!fwpkg::PartTable::Decode(all.first(tc.length), img.size(), &t, &err)) {
    printf("table: %s\nverdict: no table\n", err.c_str());
    return 1;
  }
  // Shown whole even when refused, so the operator sees what is wrong.
  bool table_ok = fwpkg::CheckPartTable(t, img.size(), unit, &err);
  if (table_ok && img.size() < fwpkg::kMinBootFlash) {
    err = "a boot flash of " + std::to_string(img.size()) + " bytes is below the 8M the update works on";
    table_ok = false;
  }
  bool ok = true;
  for (size_t i = 0; i < t.size(); ++i) {
    const auto& e = t[i];
    char what[96];
    snprintf(what, sizeof what, "%-16s start 0x%08x %s", e.name.c_str(), e.start, e.valid == 1 ? "valid" : "INVALID");
    show_container(what, all.subspan(e.start, e.size));
    auto c = fwpkg::CheckContainer(all.subspan(e.start, e.size));
    ok = ok && e.valid == 1 && (c.state == fwpkg::Container::Valid || c.state == fwpkg::Container::Empty);
  }
  if (!table_ok) {
    printf("table: %s\nverdict: bad table\n", err.c_str());
    return 1;
  }
  printf("verdict: %s\n", ok ? "ok" : "damaged");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      fputs(kUsage, stdout);
      return 0;
    }
  if (argc < 2) return usage();
  std::string c = argv[1];
  if (c == "build") return cmd_build(argc, argv);
  if (c == "container") return cmd_container(argc, argv);
  if (c == "flash") return cmd_flash(argc, argv);
  if (c == "inspect-flash") return cmd_inspect_flash(argc, argv);
  if (argc == 3 && c == "inspect") return cmd_inspect(argv[2]);
  if (argc == 3 && c == "inspect-container") return cmd_inspect_container(argv[2]);
  return usage();
}
