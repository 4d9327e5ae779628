// Making a board directory from a description in boards/.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "sim/device.h"

namespace fs = std::filesystem;

namespace sim {

std::string StandInRelPath(const std::string& tool, std::string* overlay) {
  fs::path p = tool, rest;
  fs::path anc = p.parent_path();
  std::error_code ec;
  while (!fs::is_directory(anc, ec) && anc.has_relative_path()) {
    rest = anc.filename() / rest;
    anc = anc.parent_path();
  }
  fs::path real = fs::canonical(anc, ec);
  if (ec) real = anc;
  *overlay = real.string();
  return (real.relative_path() / rest / p.filename()).string();
}

std::string BoardsDir() {
  if (const char* e = getenv("DVRSIM_BOARDS")) return e;
  return DVRSIM_BOARDS_DIR;
}

namespace {

bool make_tools(const Board& b, const std::string& exe, std::string* err) {
  std::error_code ec;
  fs::path root = b.file("tools/root"), bin = b.file("tools/bin");
  fs::create_directories(root, ec);
  fs::create_directories(bin, ec);
  std::set<std::string> overlays;
  auto tools = b.desc().value("tools", nlohmann::json::array());
  // Every board has its own recording PPP daemon, never the host's (unless
  // it owns one of its own).
  if (!b.owns("/usr/sbin/pppd")) tools.push_back("/usr/sbin/pppd");
  for (auto& t : tools) {
    if (!t.is_string()) continue;
    fs::path tool = t.get<std::string>();
    if (!tool.is_absolute()) {
      *err = "tool path must be absolute: " + tool.string();
      return false;
    }
    std::string overlay;
    fs::path at = root / StandInRelPath(tool, &overlay);
    overlays.insert(overlay);
    fs::create_directories(at.parent_path(), ec);
    fs::remove(at, ec);
    fs::create_symlink(exe, at, ec);
    if (ec) {
      *err = "cannot link " + at.string() + ": " + ec.message();
      return false;
    }
    fs::remove(bin / tool.filename(), ec);
    fs::create_symlink(exe, bin / tool.filename(), ec);
  }
  // The PPP daemon net3g starts is the board's own file, which a test may
  // replace with a program of its own.
  if (b.owns("/usr/sbin/3gpp")) {
    fs::create_directories(b.file("usr/sbin"), ec);
    fs::remove(b.file("usr/sbin/3gpp"), ec);
    fs::create_symlink(exe, b.file("usr/sbin/3gpp"), ec);
  }
  fs::remove(b.file("tools/sandbox"), ec);
  fs::create_symlink(exe, b.file("tools/sandbox"), ec);
  std::ofstream ov(b.file("tools/overlays"));
  for (auto& o : overlays) ov << o << "\n";
  return static_cast<bool>(ov);
}

}  // namespace

bool ReadDescription(const std::string& board, nlohmann::json* out, std::string* err) {
  fs::path src = board;
  if (src.extension() != ".json") src = fs::path(BoardsDir()) / (board + ".json");
  std::ifstream in(src);
  if (!in) {
    *err = "no board description " + src.string();
    return false;
  }
  auto desc = nlohmann::json::parse(in, nullptr, false);
  if (desc.is_discarded() || !desc.is_object()) {
    *err = src.string() + " is not a JSON object";
    return false;
  }
  // "base": another description this one patches (RFC 7396: objects merge,
  // anything else replaces).
  if (auto b = desc.find("base"); b != desc.end() && b->is_string()) {
    std::ifstream bin(fs::path(BoardsDir()) / (b->get<std::string>() + ".json"));
    auto base = nlohmann::json::parse(bin, nullptr, false);
    if (base.is_discarded() || !base.is_object() || base.contains("base")) {
      *err = src.string() + ": base " + b->get<std::string>() + " is not a plain board description";
      return false;
    }
    desc.erase("base");
    base.merge_patch(desc);
    desc = std::move(base);
  }
  *out = std::move(desc);
  return true;
}

bool CreateBoard(const std::string& dir, const std::string& board, const std::string& dvrsim_exe, std::string* err) {
  nlohmann::json desc;
  if (!ReadDescription(board, &desc, err)) return false;
  if (!CheckShape(desc, ReferenceDescription(desc), err)) return false;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    *err = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  std::string abs = fs::absolute(dir).lexically_normal().string();
  while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
  for (const char* d : {"dev", "proc", "sys", "mnt/mtd/Config", "var/tmp", "var/run", "tmp"})
    fs::create_directories(fs::path(abs) / d, ec);
  // Further folders the board's programs expect (the installer's volumes).
  for (auto& f : desc.value("folders", nlohmann::json::array())) {
    fs::path rel = f.is_string() ? fs::path(f.get<std::string>()).relative_path().lexically_normal() : fs::path();
    if (rel.empty() || *rel.begin() == "..") {
      *err = "folders: " + f.dump() + " is not a folder inside the board";
      return false;
    }
    fs::create_directories(fs::path(abs) / rel, ec);
  }
  {
    std::ofstream out(abs + "/board.json");
    out << desc.dump(2) << "\n";
    std::ofstream ev(abs + "/events.log", std::ios::trunc);
    if (!out || !ev) {
      *err = "cannot write " + abs;
      return false;
    }
  }
  auto b = Board::Load(abs, err);
  if (!b || !make_tools(*b, fs::absolute(dvrsim_exe).string(), err)) return false;
  for (auto& m : BuiltinModels())
    if (m.provision && !m.provision(*b, err)) return false;
  return true;
}

}  // namespace sim
