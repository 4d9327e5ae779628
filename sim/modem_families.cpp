#include "sim/modem_families.h"

#include <filesystem>
#include <fstream>

namespace sim {

namespace {

bool Starts(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

}  // namespace

std::string ModemCallFile(const Board& b, int index) { return b.file("sim/modem-" + std::to_string(index) + ".call"); }

void FamilyPeer::SetCall(const Board& b, int index, bool up) {
  if (up == call_up_) return;
  call_up_ = up;
  std::error_code ec;
  std::filesystem::create_directories(b.file("sim"), ec);
  std::ofstream(ModemCallFile(b, index)) << (up ? "up" : "down") << "\n";
  b.event("modem " + std::to_string(index) + " call " + (up ? "up" : "down"));
}

std::optional<std::string> FamilyPeer::Answer(const Board& b, int index, const nlohmann::json& m,
                                              const std::string& cmd) {
  (void)b;
  (void)index;
  (void)m;
  // A data dial (no ";": a voice call) connects the PPP port.
  if ((Starts(cmd, "ATD") || Starts(cmd, "atd")) && cmd.find(';') == std::string::npos)
    return std::string("\r\nCONNECT 150000000\r\n");
  return std::nullopt;
}

}  // namespace sim
