// Test support: a program running on a pseudo-terminal, for tools that need
// a terminal of their own or that run until they are stopped.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

class PtyChild {
 public:
  // Starts argv (argv[0] a path) in `cwd` with the terminal as its standard
  // input, output and error.  Throws when it cannot.
  PtyChild(const std::vector<std::string>& argv, const std::string& cwd);
  ~PtyChild();  // kills the program if it still runs
  PtyChild(const PtyChild&) = delete;
  PtyChild& operator=(const PtyChild&) = delete;

  pid_t pid() const { return pid_; }
  // Reads the terminal until `want` has appeared or `timeout_ms` passed;
  // returns everything read so far (also kept in output()).
  const std::string& ReadUntil(std::string_view want, int timeout_ms);
  const std::string& output() const { return out_; }
  // Exit status (128 + signal when killed), or -1 while it still runs
  // after `timeout_ms`.
  int Wait(int timeout_ms);
  bool Signal(int sig);

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  int status_ = -1;
  std::string out_;
};

}  // namespace testsupport
