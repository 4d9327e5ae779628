// The board simulator: a board is a directory (see docs/design.md).  This
// header is for the simulator itself, its command dvrsim and the tests;
// product code reaches the simulator only through osa/sys.h.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Board {
 public:
  // Loads DIR/board.json; nullptr with *err set when it cannot.
  static std::shared_ptr<Board> Load(const std::string& dir, std::string* err);

  const std::string& dir() const { return dir_; }
  const nlohmann::json& desc() const { return desc_; }

  // True when the board description claims `board_path`.
  bool owns(std::string_view board_path) const;
  // Where a board path lives on the host: inside the board directory when
  // the board owns it, unchanged otherwise.
  std::string host_path(std::string_view board_path) const;
  // A path inside the board directory ("dev/mtd0" -> DIR/dev/mtd0).
  std::string file(std::string_view rel) const { return dir_ + "/" + std::string(rel); }

  // Appends one line to the events log (atomic across processes).
  void event(std::string_view line) const;

 private:
  std::string dir_;
  nlohmann::json desc_;
  std::vector<std::string> owns_;
};

// Creates a board directory from a description: a name in the boards
// folder or a path to a .json file.  `dvrsim_exe` is the executable that
// serves the tool stand-ins and the command sandbox.
bool CreateBoard(const std::string& dir, const std::string& board, const std::string& dvrsim_exe, std::string* err);

// The folder holding the board descriptions (DVRSIM_BOARDS overrides).
std::string BoardsDir();

// Reads the events log, one entry per line.
std::vector<std::string> ReadEvents(const std::string& dir);

// Runs argv in the board's command sandbox: a private mount namespace in
// which the board's tool stand-ins cover the host's tools, so nothing run
// there can reboot, format or reconfigure the host.  PATH becomes
// path_front, the stand-ins, then the inherited PATH.  Returns only on error.
int SandboxExec(const std::string& dir, char* const argv[], const std::string& path_front = "");

// Where a tool's stand-in lives under DIR/tools/root: below the real
// location of the deepest existing ancestor of its folder (so /sbin/halt on
// a merged-/usr host lands in usr/sbin).  *overlay gets that ancestor, the
// host folder the sandbox covers.
std::string StandInRelPath(const std::string& tool, std::string* overlay);

// A tool stand-in invoked as argv[0]: records the call and answers.
int RunToolStandIn(int argc, char** argv);

// Sub-commands of dvrsim beyond new/run/events, added by device families.
struct Command {
  const char* name;
  const char* usage;
  int (*run)(int argc, char** argv);  // argv[0] is the sub-command
};
std::span<const Command> ExtraCommands();

}  // namespace sim
