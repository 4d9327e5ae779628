// Whole-file helpers on board paths: a bounded read and an atomic replace.
// Both go through the kernel seam, so on a simulated board they work on the
// board's own files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace osa {

enum class ReadStatus {
  Ok,        // data holds the whole file
  Missing,   // the path does not exist
  TooLarge,  // the file is longer than the limit; data holds its first `limit` bytes
  IoError,   // it exists but could not be opened or read (err says why)
};

struct ReadResult {
  ReadStatus status = ReadStatus::IoError;
  std::string data;
  int err = 0;  // errno of the failing call, 0 when none
  bool ok() const { return status == ReadStatus::Ok; }
  // Opened and read, possibly only the first `limit` bytes: for callers
  // that only look at the start of a file.
  bool readable() const { return status == ReadStatus::Ok || status == ReadStatus::TooLarge; }
};

// Reads all of `path` (through the seam), refusing more than `limit` bytes.
// Works for files that report no size (/proc, sysfs).
ReadResult ReadFile(const char* path, std::size_t limit);
// The same on an open descriptor, from its current offset.
ReadResult ReadFd(int fd, std::size_t limit);

// The names in folder `path` (through the seam), sorted, without "." and
// ".." or other hidden names; at most `limit` of them.  Empty when the
// folder cannot be read.
std::vector<std::string> ListDir(const std::string& path, std::size_t limit = 4096);

struct ReplaceOptions {
  mode_t mode = 0644;
  // A failing fsync of the new file fails the replace.  Callers that by
  // contract only warn about it set this to false and read sync_err.
  bool sync_required = true;
  // Other names that should follow the new content: each one that is a
  // hard link of `path` right now is re-linked to the new file atomically
  // after the rename, instead of staying on the old inode.  Same folder only.
  std::vector<std::string> keep_linked;
};

struct ReplaceResult {
  enum class Step { None, Create, Write, Sync, Rename };
  Step failed = Step::None;  // the step that failed; None on success
  int err = 0;               // its errno
  int sync_err = 0;          // errno of a tolerated fsync failure
  int link_err = 0;          // errno of a failed re-link (the replace itself succeeded)
  std::string link_message;  // "relink NAME: ..."
  std::string message;       // "cannot create TMP: ...", "write TMP: ...", ...
  bool ok() const { return failed == Step::None; }
};

// Replaces `path` by `data` so a reader or a power cut sees the old or the
// new content, never a mix: a uniquely named temporary beside it is written,
// synced and renamed over it, then the folder is synced.  On any failure the
// temporary is removed and `path` is untouched.
ReplaceResult ReplaceFile(const char* path, std::string_view data, const ReplaceOptions& opt = {});

}  // namespace osa
