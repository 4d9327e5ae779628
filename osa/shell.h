// Text bound for a shell, and commands whose output the caller needs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace osa {

// Punctuation sets for ShellSafe; letters and digits are always allowed.
inline constexpr std::string_view kShellPathChars = "/._-";
inline constexpr std::string_view kShellWordChars = "/._-:";  // paths, MAC-like words, times

// True when `text` is non-empty, at most `max_len` bytes, and made only of
// letters, digits and the characters in `punct`: nothing a shell would
// expand, split or redirect.
bool ShellSafe(std::string_view text, std::string_view punct, std::size_t max_len);
// An absolute path of plain characters with no ".." in it.
bool ShellSafeAbsPath(std::string_view path, std::size_t max_len);

struct CaptureOptions {
  std::size_t max_output = 64 * 1024;  // more than this is refused (truncated, command stopped)
  int timeout_ms = -1;                 // -1: no limit
};

struct CaptureResult {
  int status = -1;          // raw wait status; -1 when it could not run or was stopped
  std::string output;       // standard output, at most max_output bytes
  bool timed_out = false;
  bool truncated = false;   // the command wrote more than max_output
  bool ok() const { return status == 0 && !timed_out && !truncated; }
};

// Runs `command` with "sh -c" through the seam's prepared exec and returns
// its standard output, read through a pipe (no scratch file, so concurrent
// callers never share anything).  Standard error goes to /dev/null.  The
// command runs in its own process group, which is killed at the time limit
// or when the output passes the limit.
CaptureResult Capture(const char* command, const CaptureOptions& opt = {});

}  // namespace osa
