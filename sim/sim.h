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

  // The board directory is the board's root file system laid over the
  // host's: a path the board does not own is written in the board's own
  // layer (DIR + path), and read from there when the layer has it, else
  // from the host only where the description allows ("host_reads").
  bool host_readable(std::string_view board_path) const;
  // Host nodes that are written through: the null device, terminals.
  static bool host_writable(std::string_view board_path);
  // The layer path of an unowned board path; empty for names the board
  // directory keeps for itself (board.json, events.log, tools/).
  std::string layer_path(std::string_view board_path) const;

  // Appends one line to the events log (atomic across processes).
  void event(std::string_view line) const;

 private:
  std::string dir_;
  nlohmann::json desc_;
  std::vector<std::string> owns_;
  std::vector<std::string> host_reads_;
};

// An absolute, lexically normal form of a board path (relative paths are
// taken from the working folder).
std::string AbsoluteBoardPath(std::string_view path);

// Creates a board directory from a description: a name in the boards
// folder or a path to a .json file.  `dvrsim_exe` is the executable that
// serves the tool stand-ins and the command sandbox.
bool CreateBoard(const std::string& dir, const std::string& board, const std::string& dvrsim_exe, std::string* err);

// The folder holding the board descriptions (DVRSIM_BOARDS overrides).
std::string BoardsDir();

// Reads a description (a name in the boards folder or a .json path) with
// its "base" merged in.
bool ReadDescription(const std::string& board, nlohmann::json* out, std::string* err);
// What a description's fields are checked against: the shipped
// description it was made from (its "name"), else the default board.
nlohmann::json ReferenceDescription(const nlohmann::json& desc);
// Every field `desc` shares with `ref` must have ref's type (objects,
// arrays, strings, numbers, booleans); *err names the first that does not
// by its JSON pointer.
bool CheckShape(const nlohmann::json& desc, const nlohmann::json& ref, std::string* err);

// A board description field of the wrong type is found where a model
// reads it; this makes such an error end the process with a message that
// names the field and the expected type (status 1) instead of an abort.
void ReportBoardTypeErrors();

// Reads the events log, one entry per line.
std::vector<std::string> ReadEvents(const std::string& dir);

// Runs argv in the board's command sandbox: a private mount namespace in
// which the host's file systems are read-only, the board's folders and
// tool stand-ins cover the host's, and root has lost the capabilities to
// undo that, so nothing run there can write to, reboot, format or
// reconfigure the host.  PATH becomes path_front, the stand-ins, then the
// inherited PATH.  `file`, when given, is executed instead of a PATH search
// for argv[0].  Returns only on error.
int SandboxExec(const std::string& dir, char* const argv[], const std::string& path_front = "",
                const char* file = nullptr);

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
