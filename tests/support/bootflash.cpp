#include "support/bootflash.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "sim/sim.h"

namespace testsupport {

const BootPart kBootParts[3] = {
    {"linux-dev", 0x20000, 0x40000},
    {"firmware", 0x60000, 0x20000},
    {"bootloader", 0x80000, 0x20000},
};

std::string TestData(size_t n, unsigned seed) {
  std::string s(n, 0);
  for (auto& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  return s;
}

namespace {

uint32_t erasesize(const nlohmann::json& desc) { return desc["mtd"]["chips"][0].value("erasesize", 0x10000u); }

nlohmann::json desc_of(const TempBoard& b) {
  std::ifstream in(b.file("board.json"));
  return nlohmann::json::parse(in);
}

std::vector<bool> bad_blocks(const TempBoard& b, size_t n) {
  std::string flags = ReadFile(b.file("dev/mtd0.blocks"));
  std::vector<bool> bad(n, false);
  for (size_t i = 0; i < n && i < flags.size(); ++i) bad[i] = flags[i] & 1;
  return bad;
}

}  // namespace

std::string BootFlashBoard(const BootFlashSpec& spec, const std::string& dir) {
  std::ifstream in(sim::BoardsDir() + "/default.json");
  auto j = nlohmann::json::parse(in);
  uint32_t es = spec.nand ? 0x20000 : 0x10000;
  nlohmann::json chip = {{"type", spec.nand ? "nand" : "nor"}, {"erasesize", es}};
  if (spec.nand) chip["writesize"] = 2048;
  chip["parts"] = {{{"name", "pmcsp"}, {"size", spec.device}, {"bad", spec.bad}},
                   {{"name", "logo"}, {"size", 0x140000u}},
                   {{"name", "updateflag"}, {"size", 2 * es}}};
  j["mtd"] = {{"chips", {chip}}};
  // The tests' inputs (images, packages) live in their own folder on the host.
  j["host_reads"] = {dir + "/*"};
  uint32_t total = spec.device + 0x140000u + 2 * es;
  j["resource"]["records"]["FlashGetRes"] = {
      {"Chip",
       {{{"Type", 1},
         {"Size", total},
         {"Base", 0},
         {"Mtd", {{{"MtdNum", 0}, {"Name", "pmcsp"}}, {{"MtdNum", 1}, {"Name", "logo"}}, {{"MtdNum", 2}, {"Name", "updateflag"}}}}}}}};
  std::string path = dir + "/bootflash-" + (spec.nand ? "nand" : "nor") + ".json";
  std::ofstream out(path, std::ios::trunc);
  out << j.dump(2) << "\n";
  return path;
}

std::string MakeBootImage(const std::map<std::string, std::string>& images, uint32_t device, const std::string& dir) {
  std::vector<std::string> argv = {"fwpkg", "flash", "-s", std::to_string(device), "-o", dir + "/boot.img"};
  for (auto& p : kBootParts) {
    std::string spec = std::string(p.name) + ":" + std::to_string(p.start) + ":" + std::to_string(p.size);
    if (auto it = images.find(p.name); it != images.end()) {
      std::string f = dir + "/" + p.name + ".bin";
      WriteFile(f, it->second);
      spec += ":" + f;
    }
    argv.push_back("--part");
    argv.push_back(spec);
  }
  auto r = Run(argv);
  if (r.status != 0) throw std::runtime_error("fwpkg flash: " + r.err);
  return ReadFile(dir + "/boot.img");
}

std::string ReadLogical(const TempBoard& b) {
  uint32_t es = erasesize(desc_of(b));
  std::string phys = ReadFile(b.file("dev/mtd0"));
  auto bad = bad_blocks(b, phys.size() / es);
  std::string out;
  for (size_t blk = 0; blk < bad.size(); ++blk)
    if (!bad[blk]) out += phys.substr(blk * es, es);
  return out;
}

void WriteLogical(const TempBoard& b, const std::string& logical) {
  uint32_t es = erasesize(desc_of(b));
  std::string phys = ReadFile(b.file("dev/mtd0"));
  auto bad = bad_blocks(b, phys.size() / es);
  size_t at = 0;
  for (size_t blk = 0; blk < bad.size() && at < logical.size(); ++blk) {
    if (bad[blk]) continue;
    phys.replace(blk * es, es, logical.substr(at, es));
    at += es;
  }
  // The blocks a bad block pushes past the end are not reachable.
  std::fstream f(b.file("dev/mtd0"), std::ios::in | std::ios::out | std::ios::binary);
  f.write(phys.data(), static_cast<std::streamsize>(phys.size()));
}

BootView ViewBootFlash(const std::string& logical) {
  BootView v;
  auto bytes = std::span(reinterpret_cast<const uint8_t*>(logical.data()), logical.size());
  if (bytes.size() < fwpkg::kTableBlockLen) return v;
  auto t = fwpkg::CheckContainer(bytes.first(fwpkg::kTableBlockLen));
  fwpkg::PartTable table;
  std::string err;
  if (t.state != fwpkg::Container::Valid || !fwpkg::PartTable::Decode(bytes.first(t.length), bytes.size(), &table, &err))
    return v;
  v.table_ok = true;
  for (size_t i = 0; i < table.size(); ++i) {
    BootView::Part p;
    p.valid = table[i].valid;
    auto region = bytes.subspan(table[i].start, table[i].size);
    auto c = fwpkg::CheckContainer(region);
    p.state = c.state;
    if (c.state == fwpkg::Container::Valid) p.payload.assign(logical, table[i].start, c.length);
    v.parts[table[i].name] = p;
  }
  return v;
}

UpdateMarks ReadUpdateMarks(const TempBoard& b) {
  auto desc = desc_of(b);
  size_t page = desc["mtd"]["chips"][0].value("writesize", 1u);
  std::string flag = ReadFile(b.file("dev/mtd2"));
  auto marker = [&](size_t off, char m) {
    return flag.size() >= off + page && flag[off] == m && flag.find_first_not_of('\xFF', off + 1) >= off + page;
  };
  return {marker(0, '\x55'), marker(page, '\xAA')};
}

}  // namespace testsupport
