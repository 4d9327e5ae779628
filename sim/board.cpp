#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "sim/models/watchdog.h"
#include "sim/sim.h"

namespace sim {

std::shared_ptr<Board> Board::Load(const std::string& dir, std::string* err) {
  std::ifstream in(dir + "/board.json");
  if (!in) {
    *err = "no board.json in " + dir;
    return nullptr;
  }
  auto b = std::make_shared<Board>();
  b->desc_ = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (b->desc_.is_discarded() || !b->desc_.is_object()) {
    *err = dir + "/board.json is not a JSON object";
    return nullptr;
  }
  b->dir_ = dir;
  while (b->dir_.size() > 1 && b->dir_.back() == '/') b->dir_.pop_back();
  if (auto it = b->desc_.find("owns"); it != b->desc_.end() && it->is_array())
    for (auto& p : *it)
      if (p.is_string()) b->owns_.push_back(p.get<std::string>());
  // The soft watchdog nodes a board declares are its own.
  if (auto w = b->desc_.find("watchdog"); w != b->desc_.end() && w->is_object())
    if (auto s = w->find("soft"); s != w->end() && s->is_array())
      for (auto& p : *s)
        if (p.is_string()) b->owns_.push_back(p.get<std::string>());
  return b;
}

bool Board::owns(std::string_view board_path) const {
  if (board_path.empty() || board_path[0] != '/') return false;
  std::string p(board_path);
  for (auto& pat : owns_)
    if (fnmatch(pat.c_str(), p.c_str(), 0) == 0) return true;
  return false;
}

std::string Board::host_path(std::string_view board_path) const {
  if (owns(board_path)) return dir_ + std::string(board_path);
  return std::string(board_path);
}

void Board::event(std::string_view line) const {
  std::string l(line);
  if (l.empty() || l.back() != '\n') l += '\n';
  int fd = ::open((dir_ + "/events.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t n = ::write(fd, l.data(), l.size());
  (void)n;
  ::close(fd);
}

std::vector<std::string> ReadEvents(const std::string& dir) {
  JudgeWatchdogs(dir);  // a reset happens whether or not anyone looks
  std::vector<std::string> out;
  std::ifstream in(dir + "/events.log");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace sim
