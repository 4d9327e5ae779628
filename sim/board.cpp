#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "sim/models/watchdog.h"
#include "sim/sim.h"

namespace sim {

namespace {

// Host paths every board reads: zone information, the program's own
// process files, the network state the kernel shows, the null device.
const char* const kHostReads[] = {
    "/usr/share/zoneinfo", "/usr/share/zoneinfo/*", "/etc/localtime", "/etc/timezone",
    "/proc", "/proc/self", "/proc/self/*", "/proc/thread-self/*", "/proc/[0-9]*",
    "/proc/net/*", "/proc/sys/net/*", "/proc/uptime", "/proc/loadavg", "/proc/version",
    "/sys/class/net", "/sys/class/net/*", "/sys/devices/virtual/net/*",
    "/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom", "/dev/tty", "/dev/ptmx", "/dev/pts/*",
    "/etc/passwd", "/etc/group", "/etc/hosts", "/etc/nsswitch.conf", "/etc/services", "/etc/protocols",
};

const char* const kHostWrites[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/tty", "/dev/ptmx", "/dev/pts/*"};

bool matches(const std::vector<std::string>& pats, const std::string& p) {
  for (auto& pat : pats)
    if (fnmatch(pat.c_str(), p.c_str(), 0) == 0) return true;
  return false;
}

// A list of path patterns, or the reason it is none.
bool string_list(const nlohmann::json& desc, const char* key, std::vector<std::string>* out, std::string* err) {
  auto it = desc.find(key);
  if (it == desc.end()) return true;
  if (!it->is_array()) {
    *err = std::string("board.json: /") + key + " must be an array of strings, but is " + it->type_name();
    return false;
  }
  for (size_t i = 0; i < it->size(); ++i) {
    if (!(*it)[i].is_string()) {
      *err = std::string("board.json: /") + key + "/" + std::to_string(i) + " must be a string, but is " +
             (*it)[i].type_name();
      return false;
    }
    out->push_back((*it)[i].get<std::string>());
  }
  return true;
}

}  // namespace

std::string AbsoluteBoardPath(std::string_view path) {
  std::filesystem::path p(path);
  if (p.is_relative()) {
    std::error_code ec;
    p = std::filesystem::current_path(ec) / p;
  }
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

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
  std::vector<std::string> tools;
  if (!string_list(b->desc_, "owns", &b->owns_, err) || !string_list(b->desc_, "host_reads", &b->host_reads_, err) ||
      !string_list(b->desc_, "tools", &tools, err)) {
    *err = dir + "/" + *err;
    return nullptr;
  }
  if (!CheckShape(b->desc_, ReferenceDescription(b->desc_), err)) {
    *err = dir + "/" + *err;
    return nullptr;
  }
  b->host_reads_.insert(b->host_reads_.end(), std::begin(kHostReads), std::end(kHostReads));
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

bool Board::host_readable(std::string_view board_path) const {
  return matches(host_reads_, std::string(board_path));
}

bool Board::host_writable(std::string_view board_path) {
  std::string p(board_path);
  for (const char* pat : kHostWrites)
    if (fnmatch(pat, p.c_str(), 0) == 0) return true;
  return false;
}

std::string Board::layer_path(std::string_view board_path) const {
  std::string p = AbsoluteBoardPath(board_path);
  for (const char* own : {"/board.json", "/events.log", "/tools"})
    if (p == own || p.rfind(std::string(own) + "/", 0) == 0) return {};
  return p == "/" ? dir_ : dir_ + p;
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

namespace {

[[noreturn]] void on_terminate() {
  if (auto e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const nlohmann::json::exception& x) {
      // "[json.exception.type_error.302] (/gpio) type must be ..." without the tag.
      const char* what = x.what();
      if (const char* end = std::strstr(what, "] ")) what = end + 2;
      const char* dir = getenv("DVR_BOARD");
      fflush(stdout);
      fprintf(stderr, "dvrsim: bad board description %s/board.json: %s\n", dir ? dir : ".", what);
      _exit(1);
    } catch (...) {
    }
  }
  std::abort();
}

}  // namespace

void ReportBoardTypeErrors() {
  static std::once_flag once;
  std::call_once(once, [] { std::set_terminate(on_terminate); });
}

std::vector<std::string> ReadEvents(const std::string& dir) {
  JudgeWatchdogs(dir);  // a reset happens whether or not anyone looks
  std::vector<std::string> out;
  std::ifstream in(dir + "/events.log");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace sim
