// dvrdisc: drives the optical library from a command line, one library
// call after another, so a simulated recorder can be burnt, scanned and
// restored exactly as the recorder's own backup does it.
//
//   dvrdisc info SG
//   dvrdisc burn [-o OPT] [-s CFG] SG FILE...
//   dvrdisc restore SG CFG
//   dvrdisc scan SG
//   dvrdisc erase SG
//   dvrdisc eject SG
//
// Exit status: 0 when every call returned 0, 1 otherwise, 2 on bad usage.
// FILE and CFG are ordinary files of the machine running the tool.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "optical/drive.h"

namespace {

int Usage() {
  std::fputs(
      "usage: dvrdisc info SG\n"
      "       dvrdisc burn [-o OPT] [-s CFG] SG FILE...\n"
      "       dvrdisc restore SG CFG\n"
      "       dvrdisc scan SG\n"
      "       dvrdisc erase SG\n"
      "       dvrdisc eject SG\n",
      stderr);
  return 2;
}

// Each call's result, printed so a failing step is plain in the output.
bool Ok(const char* call, int ret) {
  std::printf("%s -> %d\n", call, ret);
  std::fflush(stdout);
  return ret == 0;
}

bool SaveConfig(const char* path, const cddev_t& dev) {
  if (!path) return true;
  std::string text = cdrw_udf_save_config(&dev);
  std::string tmp = std::string(path) + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(tmp.c_str(), path) == 0;
}

bool ReadText(const char* path, std::string* out) {
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out->size() < (1u << 20)) out->append(buf, n);
  std::fclose(f);
  return true;
}

const char* BaseName(const char* path) {
  const char* s = std::strrchr(path, '/');
  return s ? s + 1 : path;
}

int Info(const char* sg) {
  cddev_t dev;
  if (!Ok("cdrw_init", cdrw_init(&dev, sg))) return 1;
  bool ok = true;
  std::string speeds;
  for (uint32_t s : dev.speeds) speeds += std::to_string(s / 1385) + "X ";
  std::printf("speeds: %s\n", speeds.c_str());
  uint32_t v = 0;
  ok &= Ok("get_2k_capacity", get_2k_capacity(&dev, &v));
  std::printf("2k capacity: %u\n", v);
  ok &= Ok("cdrw_get_capacity", cdrw_get_capacity(&dev, &v));
  std::printf("capacity: %u\n", v);
  ok &= Ok("cdrw_get_remain", cdrw_get_remain(&dev, &v));
  std::printf("remain: %u\n", v);
  cdrw_get_usedspace(&dev, &v);  // not supported: informs only
  std::string sn;
  ok &= Ok("cdrw_get_sn", cdrw_get_sn(&dev, &sn));
  ok &= Ok("cdrw_close", cdrw_close(&dev));
  return ok ? 0 : 1;
}

int Burn(int argc, char** argv) {
  int opt = 0;
  const char* cfg = nullptr;
  int i = 0;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      char* end = nullptr;
      long v = std::strtol(argv[++i], &end, 0);
      if (*end || v < 0 || v > 0xFF) return Usage();
      opt = static_cast<int>(v);
    } else if (std::strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
      cfg = argv[++i];
    } else {
      return Usage();
    }
  }
  if (argc - i < 2) return Usage();
  const char* sg = argv[i++];
  cddev_t dev;
  if (!Ok("cdrw_init", cdrw_init(&dev, sg))) return 1;
  cdrw_iostat_start(&dev);  // throughput once a second; cdrw_close joins it
  bool ok = Ok("cdrw_udf_hdr_start", cdrw_udf_hdr_start(&dev, opt));
  if (ok) SaveConfig(cfg, dev);
  std::vector<char> buf(100000);
  for (; ok && i < argc; ++i) {
    FILE* f = std::fopen(argv[i], "rb");
    if (!f) {
      std::fprintf(stderr, "dvrdisc: cannot read %s: %s\n", argv[i], std::strerror(errno));
      ok = false;
      break;
    }
    ok = Ok("cdrw_udf_open_file", cdrw_udf_open_file(&dev, BaseName(argv[i])));
    size_t n;
    while (ok && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0) ok = cdrw_udf_filedata(&dev, buf.data(), n) == 0;
    if (!ok) Ok("cdrw_udf_filedata", -EIO);
    if (std::ferror(f)) ok = false;
    std::fclose(f);
    if (dev.udf.file_open) ok = Ok("cdrw_udf_close_file", cdrw_udf_close_file(&dev)) && ok;
    SaveConfig(cfg, dev);
  }
  if (ok) ok = Ok("cdrw_udf_hdr_end", cdrw_udf_hdr_end(&dev, nullptr, 0));
  if (dev.udf.started) SaveConfig(cfg, dev);  // what a restore needs, however far it got
  ok = Ok("cdrw_udf_end", cdrw_udf_end(&dev)) && ok;
  if (ok) ok = Ok("cdrw_fix", cdrw_fix(&dev));
  ok = Ok("cdrw_close", cdrw_close(&dev)) && ok;
  return ok ? 0 : 1;
}

int Restore(const char* sg, const char* path) {
  std::string text, err;
  UdfRestoreConfig cfg;
  if (!ReadText(path, &text)) {
    std::fprintf(stderr, "dvrdisc: cannot read %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  if (cdrw_udf_parse_config(text, &cfg, &err) != 0) {
    std::fprintf(stderr, "dvrdisc: %s: %s\n", path, err.c_str());
    return 1;
  }
  cddev_t dev;
  if (!Ok("cdrw_init", cdrw_init(&dev, sg))) return 1;
  bool ok = Ok("cdrw_udf_restore", cdrw_udf_restore(&dev, cfg));
  ok = Ok("cdrw_udf_end", cdrw_udf_end(&dev)) && ok;
  if (ok) ok = Ok("cdrw_fix", cdrw_fix(&dev));
  ok = Ok("cdrw_close", cdrw_close(&dev)) && ok;
  return ok ? 0 : 1;
}

int Scan(const char* sg) {
  cddev_t dev;
  if (!Ok("cdrw_init", cdrw_init(&dev, sg))) return 1;
  UdfScan scan;
  bool ok = Ok("cdrw_scan_disc_udf", cdrw_scan_disc_udf(&dev, &scan));
  if (ok)
    for (const UdfFile& f : scan.files) std::printf("%s %llu\n", f.name.c_str(), static_cast<unsigned long long>(f.length));
  ok = Ok("cdrw_close", cdrw_close(&dev)) && ok;
  return ok ? 0 : 1;
}

int Erase(const char* sg) {
  cddev_t dev;
  if (!Ok("cdrw_init", cdrw_init(&dev, sg))) return 1;
  bool ok = Ok("cdrw_erase", cdrw_erase(&dev));
  ok = Ok("cdrw_close", cdrw_close(&dev)) && ok;
  return ok ? 0 : 1;
}

int Eject(const char* sg) {
  cddev_t dev;
  dev.sg = sg;
  return Ok("cdrw_stop", cdrw_stop(&dev, 1)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string cmd = argv[1];
  if (cmd == "info" && argc == 3) return Info(argv[2]);
  if (cmd == "burn") return Burn(argc - 2, argv + 2);
  if (cmd == "restore" && argc == 4) return Restore(argv[2], argv[3]);
  if (cmd == "scan" && argc == 3) return Scan(argv[2]);
  if (cmd == "erase" && argc == 3) return Erase(argv[2]);
  if (cmd == "eject" && argc == 3) return Eject(argv[2]);
  return Usage();
}
