// The board's answers to seam calls that read its files (see boardsys.h).

#include "sim/boardsys.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <deque>

namespace sim {

namespace {

void split_into(std::string_view path, std::deque<std::string>* parts, bool front) {
  std::deque<std::string> v;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    if (end > at) v.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  if (front) parts->insert(parts->begin(), v.begin(), v.end());
  else parts->insert(parts->end(), v.begin(), v.end());
}

}  // namespace

std::string ResolveBoardPath(const Board& board, std::string_view path) {
  if (path.empty()) {
    errno = ENOENT;
    return {};
  }
  if (path[0] != '/') {
    char buf[PATH_MAX];
    return ::realpath(std::string(path).c_str(), buf) ? std::string(buf) : std::string();
  }
  std::deque<std::string> todo;
  split_into(path, &todo, false);
  std::string cur;  // resolved so far; "" is the root
  int links = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      cur.erase(cur.empty() ? 0 : cur.rfind('/'));
      continue;
    }
    std::string next = cur + "/" + part;
    std::string host = board.host_path(next);
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) return {};
    if (S_ISLNK(st.st_mode)) {
      if (++links > 40) {
        errno = ELOOP;
        return {};
      }
      char target[PATH_MAX];
      ssize_t n = ::readlink(host.c_str(), target, sizeof target - 1);
      if (n < 0) return {};
      std::string_view t(target, static_cast<size_t>(n));
      if (!t.empty() && t[0] == '/') cur.clear();  // absolute: from the board's root
      split_into(t, &todo, true);
      continue;
    }
    if (!todo.empty() && !S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return {};
    }
    cur = std::move(next);
  }
  return cur.empty() ? "/" : cur;
}

bool ParseMemInfo(std::string_view text, struct sysinfo* info, std::string* err) {
  struct Field {
    const char* key;
    unsigned long* out;
    bool required;
  };
  unsigned long total = 0, free_ = 0, buffers = 0, shared = 0, swap = 0, swap_free = 0;
  const Field fields[] = {{"MemTotal", &total, true}, {"MemFree", &free_, true}, {"Buffers", &buffers, false},
                          {"Shmem", &shared, false},  {"SwapTotal", &swap, false}, {"SwapFree", &swap_free, false}};
  bool seen[std::size(fields)] = {};
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = line.substr(0, colon);
    for (size_t i = 0; i < std::size(fields); ++i) {
      if (key != fields[i].key) continue;
      std::string_view v = line.substr(colon + 1);
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
      uint64_t n = 0;
      size_t digits = 0;
      for (; digits < v.size() && v[digits] >= '0' && v[digits] <= '9'; ++digits) {
        n = n * 10 + static_cast<uint64_t>(v[digits] - '0');
        if (n > 0xffffffffull) break;  // more than 4 TiB in KiB: no figure of ours
      }
      std::string_view unit = v.substr(digits);
      if (digits == 0 || n > 0xffffffffull || (unit != " kB" && unit != "kB" && !unit.empty())) {
        *err = "bad figure in line: " + std::string(line.substr(0, 64));
        return false;
      }
      *fields[i].out = static_cast<unsigned long>(n);
      seen[i] = true;
    }
  }
  for (size_t i = 0; i < std::size(fields); ++i)
    if (fields[i].required && !seen[i]) {
      *err = std::string("no ") + fields[i].key + " line";
      return false;
    }
  if (free_ > total) {
    *err = "MemFree exceeds MemTotal";
    return false;
  }
  info->mem_unit = 1024;
  info->totalram = total;
  info->freeram = free_;
  info->bufferram = buffers;
  info->sharedram = shared;
  info->totalswap = swap;
  info->freeswap = swap_free;
  info->totalhigh = 0;
  info->freehigh = 0;
  return true;
}

bool BoardMemInfo(const std::string& host_file, struct sysinfo* info) {
  int fd = ::open(host_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buf[1024];
  ssize_t n;
  while (text.size() < 65536 && (n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  std::string err;
  if (!ParseMemInfo(text, info, &err)) {
    fprintf(stderr, "dvrsim: %s: %s\n", host_file.c_str(), err.c_str());
    errno = EINVAL;
    return false;
  }
  return true;
}

}  // namespace sim
