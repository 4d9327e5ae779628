#include "osa/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "osa/osa.h"
#include "osa/sys.h"

namespace osa {

namespace {

std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string errtext(int e) { return std::strerror(e); }

// A fresh name beside `path`, as mkstemp makes one.  It does not contain
// the target's name, so a reader that picks files by a part of their name
// (all "network*" files) never takes a temporary for one of them.
std::string temp_name(const std::string& path, std::random_device& rd) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string dir = dir_of(path), suffix(8, 'x');
  for (auto& c : suffix) c = kChars[rd() % (sizeof kChars - 1)];
  return (dir == "/" ? "" : dir) + "/.tmp." + suffix;
}

// The temporary must land in the same real folder as the target, or the
// rename would not be atomic (or, on a simulated board, it would escape to
// the host).
bool same_real_folder(const std::string& a, const std::string& b) {
  return dir_of(sys::path(a.c_str())) == dir_of(sys::path(b.c_str()));
}

// Creates the temporary with O_EXCL, retried on a clash.
int create_temp(const std::string& path, mode_t mode, std::random_device& rd, std::string* tmp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *tmp = temp_name(path, rd);
    if (!same_real_folder(*tmp, path)) {
      errno = EXDEV;
      return -1;
    }
    int fd = sys::open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Those of `names` that are hard links of `path`'s file (not symlinks).
std::vector<std::string> linked_names(const std::string& path, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  struct stat st{};
  if (names.empty() || ::lstat(sys::path(path.c_str()).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink < 2)
    return out;
  for (auto& n : names) {
    struct stat o{};
    if (n != path && ::lstat(sys::path(n.c_str()).c_str(), &o) == 0 && o.st_ino == st.st_ino && o.st_dev == st.st_dev)
      out.push_back(n);
  }
  return out;
}

// Points `name` at the file `real_target` in one step: link under a fresh
// temporary name, then rename that over `name`.
int relink(const std::string& real_target, const std::string& name, std::random_device& rd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string tmp = temp_name(name, rd);
    if (!same_real_folder(tmp, name)) return EXDEV;
    std::string real_tmp = sys::path(tmp.c_str());
    if (::link(real_target.c_str(), real_tmp.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    if (::rename(real_tmp.c_str(), sys::path(name.c_str()).c_str()) != 0) {
      int e = errno;
      ::unlink(real_tmp.c_str());
      return e;
    }
    return 0;
  }
  return EEXIST;
}

}  // namespace

ReadResult ReadFd(int fd, std::size_t limit) {
  ReadResult r;
  char buf[4096];
  // One byte past the limit tells "exactly full" from "too large".
  while (r.data.size() <= limit) {
    size_t want = std::min(sizeof buf - 1, limit - r.data.size()) + 1;
    ssize_t n = sys::read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.err = errno;
      r.status = ReadStatus::IoError;
      return r;
    }
    if (n == 0) {
      r.status = ReadStatus::Ok;
      return r;
    }
    r.data.append(buf, static_cast<size_t>(n));
  }
  r.data.resize(limit);
  r.status = ReadStatus::TooLarge;
  return r;
}

ReadResult ReadFile(const char* path, std::size_t limit) {
  ReadResult r;
  if (!path) {
    r.err = EINVAL;
    return r;
  }
  UniqueFd fd(sys::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    r.err = errno;
    r.status = r.err == ENOENT || r.err == ENOTDIR ? ReadStatus::Missing : ReadStatus::IoError;
    return r;
  }
  return ReadFd(fd.get(), limit);
}

ReplaceResult ReplaceFile(const char* path, std::string_view data, const ReplaceOptions& opt) {
  ReplaceResult r;
  auto fail = [&r](ReplaceResult::Step step, int e, std::string msg) {
    r.failed = step;
    r.err = e;
    r.message = std::move(msg);
    return r;
  };
  if (!path || !*path) return fail(ReplaceResult::Step::Create, EINVAL, "cannot create a temporary: no path");
  std::random_device rd;
  const std::vector<std::string> links = linked_names(path, opt.keep_linked);
  std::string tmp;
  UniqueFd fd(create_temp(path, opt.mode, rd, &tmp));
  if (!fd) {
    int e = errno;
    return fail(ReplaceResult::Step::Create, e, "cannot create " + tmp + ": " + errtext(e));
  }
  const std::string real_tmp = sys::path(tmp.c_str());
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = sys::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n < 0 ? errno : EIO;
      fd.reset();
      ::unlink(real_tmp.c_str());
      return fail(ReplaceResult::Step::Write, e, "write " + tmp + ": " + errtext(e));
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0) {
    int e = errno;
    if (opt.sync_required) {
      fd.reset();
      ::unlink(real_tmp.c_str());
      return fail(ReplaceResult::Step::Sync, e, "fsync " + tmp + ": " + errtext(e));
    }
    r.sync_err = e;
  }
  fd.reset();
  const std::string real_path = sys::path(path);
  if (::rename(real_tmp.c_str(), real_path.c_str()) != 0) {
    int e = errno;
    ::unlink(real_tmp.c_str());
    return fail(ReplaceResult::Step::Rename, e, std::string("rename to ") + path + ": " + errtext(e));
  }
  for (auto& l : links)
    if (int e = relink(real_path, l, rd)) {
      r.link_err = e;
      r.link_message = "relink " + l + ": " + errtext(e);
    }
  // The rename itself is durable only once the folder is synced.
  UniqueFd d(sys::open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d) ::fsync(d.get());
  return r;
}

std::vector<std::string> ListDir(const std::string& path, std::size_t limit) {
  std::vector<std::string> v;
  DIR* d = sys::opendir(path.c_str());
  if (!d) return v;
  while (struct dirent* e = sys::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (v.size() >= limit) break;
    v.emplace_back(e->d_name);
  }
  sys::closedir(d);
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace osa
