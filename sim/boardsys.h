// The board's answers to seam calls that read its files: path resolution
// for realpath, memory figures for sysinfo.
#pragma once

#include <sys/sysinfo.h>

#include <string>
#include <string_view>

#include "sim/sim.h"

namespace sim {

// The canonical board path `path` names: every component looked up where
// the board keeps it (owned paths in the board directory, the rest on the
// host), links followed in board terms.  "" with errno set when a
// component is missing or the links loop.  A relative path is the host's.
std::string ResolveBoardPath(const Board& board, std::string_view path);

// Fills the memory figures of *info (in KiB units) from a /proc/meminfo
// text; the other fields are left alone.  False with *err set when the
// text lacks MemTotal or MemFree or a figure is malformed.
bool ParseMemInfo(std::string_view text, struct sysinfo* info, std::string* err);

// The same from the board's file; false with errno set.
bool BoardMemInfo(const std::string& host_file, struct sysinfo* info);

}  // namespace sim
