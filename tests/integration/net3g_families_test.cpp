// Every driver family against its simulated peer: one board carries a modem
// of each family (a module-table row of one of its types), all served by one
// net3g.  Each must report SIM present, a system mode and valid signal; the
// families with a data call of their own bring it up on their interface,
// whose address the simulator answers while the peer's call is up.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "cellular/cellular.h"
#include "support/board.h"
#include "support/net3g_client.h"

namespace {

using testsupport::Ask;
using testsupport::TempBoard;
using testsupport::Word;
using testsupport::WordAt;

struct Fam {
  const char* family;
  int type;
  bool own_call;
};

// A row of `type` that the scan finds again by its ids and strings.
int RowOf(int type) {
  for (int r = 0; r < cellular::kFallbackRow; ++r) {
    const auto& row = cellular::kModuleTable[r];
    if (row.type != type || std::string(row.tty_prefix) != "/dev/ttyUSB") continue;
    std::string man = *row.manufacturer ? row.manufacturer : "Any", prod = *row.product_name ? row.product_name : "Any";
    if (cellular::FindRow(row.vendor, row.product, man, prod) == r) return r;
  }
  return -1;
}

std::string FamilyBoard(const std::vector<Fam>& fams) {
  nlohmann::json modems = nlohmann::json::array();
  for (size_t i = 0; i < fams.size(); ++i) {
    int r = RowOf(fams[i].type);
    EXPECT_GE(r, 0) << fams[i].family;
    const auto& row = cellular::kModuleTable[r];
    char id[10];
    std::snprintf(id, sizeof id, "%04x:%04x", row.vendor, row.product);
    nlohmann::json m = {{"port", i},
                        {"id", id},
                        {"manufacturer", *row.manufacturer ? row.manufacturer : "Any"},
                        {"product", *row.product_name ? row.product_name : "Any"},
                        {"ttys", std::max(row.at_port, row.ppp_port) + 1},
                        {"family", fams[i].family}};
    if (fams[i].own_call) m["netcard"] = "lte" + std::to_string(i + 1);
    modems.push_back(m);
  }
  nlohmann::json d = {{"base", "default"}, {"usb", {{"modems", modems}}}};
  static int n = 0;
  std::string path =
      testing::TempDir() + "/net3g_fam_" + std::to_string(getpid()) + "_" + std::to_string(n++) + ".json";
  testsupport::WriteFile(path, d.dump());
  return path;
}

class Net3g {
 public:
  explicit Net3g(const TempBoard& b) : b_(b) {
    std::filesystem::create_directories(b.file("var/tmp"));
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open(b.file("net3g.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::string exe = testsupport::Bin("dvrsim");
      execl(exe.c_str(), "dvrsim", "run", b.dir().c_str(), "net3g", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
  }
  ~Net3g() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::string log() const { return testsupport::ReadFile(b_.file("net3g.out")); }

 private:
  const TempBoard& b_;
  pid_t pid_;
};

bool WaitFor(const std::function<bool()>& ok, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return ok();
}

void RunFamilies(const std::vector<Fam>& fams) {
  TempBoard b(FamilyBoard(fams));
  Net3g n(b);
  for (size_t i = 0; i < fams.size(); ++i)
    ASSERT_TRUE(WaitFor([&] { return WordAt(Ask(b, 17, int(i), Word(1)), 8) == 0; }, 30)) << fams[i].family;
  auto req = testsupport::NetAccessRequest("internet", "*99#", "", "", 1500, 2);
  for (size_t i = 0; i < fams.size(); ++i)
    if (fams[i].own_call) {
      ASSERT_EQ(WordAt(Ask(b, 5, int(i), req), 8), 0);
    }
  for (size_t i = 0; i < fams.size(); ++i) {
    SCOPED_TRACE(fams[i].family);
    std::string st;
    bool ok = WaitFor(
        [&] {
          st = Ask(b, 4, int(i));
          return WordAt(st, 12) == 2 && WordAt(st, 12 + 136) > 0 && WordAt(st, 12 + 136 + 24) == 1;
        },
        60);
    EXPECT_TRUE(ok) << "sim " << WordAt(st, 12) << " mode " << WordAt(st, 12 + 136) << " valid "
                    << WordAt(st, 12 + 160) << "\n"
                    << testsupport::ReadFile(b.file("modem/ttyUSB0.log")).substr(0, 0);
    if (!fams[i].own_call) continue;
    ok = WaitFor([&] { return WordAt(Ask(b, 4, int(i)), 16) == 3; }, 60);
    EXPECT_TRUE(ok) << "call state " << WordAt(Ask(b, 4, int(i)), 16);
    EXPECT_EQ(uint32_t(WordAt(Ask(b, 4, int(i)), 20)), inet_addr("10.64.0.2"));
  }
  if (testing::Test::HasFailure()) ADD_FAILURE() << n.log().substr(0, 200000);
  // The network ends the calls the modem reports ("^DATADISCONN", "+ZCONSTAT: 0"): they leave state 3.
  std::vector<int> dropped;
  for (size_t i = 0; i < fams.size(); ++i) {
    std::string f = fams[i].family;
    if (f != "longsung_lte_u8300" && f != "zte_lte_me3760") continue;
    ASSERT_EQ(testsupport::Run({"dvrsim", "modem", b.dir(), "set", std::to_string(i), "drop_call=true"}).status, 0);
    dropped.push_back(int(i));
  }
  for (int i : dropped) EXPECT_TRUE(WaitFor([&] { return WordAt(Ask(b, 4, i), 16) != 3; }, 40)) << fams[i].family;
  if (!dropped.empty()) {
    EXPECT_NE(n.log().find("link is down!"), std::string::npos);
  }
}

TEST(Net3gFamilies, ThreeGFamiliesAgainstTheirPeers) {
  RunFamilies({{"huawei_evdo_module", 2, false},
               {"zte_evdo_mc2716", 5, false},
               {"zte_evdo_module", 6, false},
               {"qualcomm_evdo_module", 9, false},
               {"longsung_evdo_c5300v", 10, false},
               {"huawei_wcdma_module", 19, false},
               {"zte_wcdma_ad3812", 24, false},
               {"zte_wcdma_module", 26, false},
               {"dlink_wcdma_dmw156", 28, false},
               {"vodafone_wcdma_k37770", 30, false},
               {"longsung_wcdma_u7500", 32, false},
               {"quectel_wcdma_uc20", 34, false},
               {"datang_td_5730", 48, false},
               {"iball_wcdma_module", 63, false},
               {"qualcomm_wcdma_module", 70, false}});
}

TEST(Net3gFamilies, LteFamiliesAndTheirOwnDataCalls) {
  RunFamilies({{"longsung_lte_u8300", 37, true},
               {"zte_lte_me3760", 39, true},
               {"altair_lte_alt3100", 40, true},
               {"huawei_lte_me909", 42, true},
               {"simcom_lte_sim7100c", 50, false},
               {"woowellstrong_lte_module", 60, false},
               {"yuga_lte_clm920", 64, true},
               {"nodecom_lte_nl660", 66, true},
               {"huawei_lte_e3372", 67, false},
               {"longsung_lte_u9300", 68, true},
               {"neoway_lte_n720", 73, false},
               {"huawei_nr_mh5000", 76, true}});
}

}  // namespace
