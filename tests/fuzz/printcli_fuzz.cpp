// The console queue messages as a server reads them off the queue, and the
// command words of printcli.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "applets/printcli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace pc = applets::printcli;
  if (size < 1) return 0;
  long type = 47 + data[0] % 4;
  std::string err;
  auto r = pc::Decode(type, {data + 1, size - 1}, &err);
  if (r && r->kind == pc::Request::Kind::Redirect) {
    auto m = pc::MakeRedirect(r->in_tty.empty() ? "x" : r->in_tty, r->out_tty);
    if (!m) __builtin_trap();  // whatever decodes must encode again
  }
  // The same bytes as a command line: words split at NUL.
  std::vector<std::string> words = {"printcli"};
  std::string cur;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  std::vector<const char*> argv;
  for (auto& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  pc::ParseArgs(static_cast<int>(words.size()), argv.data());
  return 0;
}
