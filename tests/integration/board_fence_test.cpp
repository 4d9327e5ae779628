// Nothing run on a simulated board reaches the host: the PPP daemon is the
// board's stand-in, a package's file items and check script land inside
// the board directory, and commands see the host read-only.  Every target
// is a unique host path that must not appear.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/board.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

bool has_event(const TempBoard& b, const std::string& line) {
  for (auto& e : b.events())
    if (e == line) return true;
  return false;
}

class Fence : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dvrfence.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work_ = tmpl;
    // Host paths a faulty simulator would create: inside a folder that
    // exists on the host, under a name no one else uses.
    probe_ = work_ + "/probe";
    fs::create_directories(board_.file("mnt/dom_bin"));
  }
  void TearDown() override { fs::remove_all(work_); }

  std::string file(const std::string& name, const std::string& content) {
    WriteFile(work_ + "/" + name, content);
    return work_ + "/" + name;
  }
  // A package with one bin item and a check script, installed on the board.
  RunResult install(const std::string& bin_path, const std::string& script_path, const std::string& script) {
    // The package goes on the board, where a program on the board reads it.
    std::string pkg = board_.file("var/tmp/pkg");
    auto r = testsupport::Run({"fwpkg", "build", "-o", pkg, "--item", "bin:" + bin_path + ":" + file("data", "payload"),
                  "--script", file("check.sh", script), "--script-path", script_path});
    EXPECT_EQ(r.status, 0) << r.err;
    return testsupport::Run({"fwupdate", "package", "--settle", "0", "--result", "/var/tmp/result", "/var/tmp/pkg"}, &board_);
  }
  bool on_host(const std::string& p) const { return fs::exists(fs::symlink_status(p)); }

  TempBoard board_;
  std::string work_, probe_;
};

TEST_F(Fence, PppdStartsTheBoardsRecordingDaemon) {
  auto r = testsupport::Run({"pppd", "file", "/etc/shadow", "logfile", probe_}, &board_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_event(board_, "tool pppd file /etc/shadow logfile " + probe_));
  EXPECT_FALSE(on_host(probe_));
}

TEST_F(Fence, AFileItemOutsideTheBoardLandsInTheBoard) {
  std::string target = probe_ + "-bin";
  auto r = install(target, "/var/tmp/check.sh", "#!/bin/sh\necho UpgradeSupport=1\n");
  EXPECT_NE(r.out.find("result 0,"), std::string::npos) << r.out << r.err;
  EXPECT_FALSE(on_host(target));
  EXPECT_EQ(ReadFile(board_.file(target.substr(1))), "payload");
}

TEST_F(Fence, ACheckScriptRunsWithTheBoardsFileSystem) {
  // The script tries the host: a file in a host folder, a file beside the
  // board, and the machine's mounts; it still says it supports the upgrade.
  std::string script = "#!/bin/sh\necho x > " + probe_ + "-script\nmkdir " + probe_ +
                       "-dir\nmount -o remount,rw / 2>/dev/null\necho y > /mnt/from-script\n"
                       "echo UpgradeSupport=1\n";
  auto r = install(board_.dir() + "-never", "/var/tmp/check.sh", script);
  EXPECT_NE(r.out.find("result 0,"), std::string::npos) << r.out << r.err;
  EXPECT_FALSE(on_host(probe_ + "-script"));
  EXPECT_FALSE(on_host(probe_ + "-dir"));
  EXPECT_FALSE(on_host(board_.dir() + "-never"));
  // Writes into the board's own folders are the board's.
  EXPECT_EQ(ReadFile(board_.file("mnt/from-script")), "y\n");
  EXPECT_EQ(ReadFile(board_.file("var/tmp/result")), "UpgradeSupport=1\n");
}

TEST_F(Fence, AScriptPathOutsideTheBoardIsWrittenInTheBoard) {
  std::string target = probe_ + "-check.sh";
  auto r = install("/mnt/dom_bin/app", target, "#!/bin/sh\necho UpgradeSupport=1\n");
  // The script is the board's; the host never sees it, so nothing runs it
  // from there and the upgrade stops.
  EXPECT_FALSE(on_host(target));
  EXPECT_TRUE(fs::exists(board_.file(target.substr(1))));
  EXPECT_NE(r.out.find("result -5,"), std::string::npos) << r.out;
}

TEST_F(Fence, CommandsSeeTheHostReadOnlyAndCannotUndoIt) {
  if (geteuid() != 0) GTEST_SKIP() << "the mount fence needs root (or a user namespace)";
  auto r = testsupport::Run({"sh", "-c",
                "echo x > " + probe_ + "; grep CapBnd /proc/self/status; echo z > /mnt/ok; "
                "ls /dev"},
               &board_);
  EXPECT_FALSE(on_host(probe_));
  EXPECT_NE(r.err.find("Read-only file system"), std::string::npos) << r.err;
  // CAP_SYS_ADMIN (21) and CAP_SYS_RAWIO (17) are gone for good.
  auto at = r.out.find("CapBnd:");
  ASSERT_NE(at, std::string::npos) << r.out;
  unsigned long long bnd = std::stoull(r.out.substr(at + 7), nullptr, 16);
  EXPECT_EQ(bnd & (1ull << 21), 0u);
  EXPECT_EQ(bnd & (1ull << 17), 0u);
  EXPECT_EQ(ReadFile(board_.file("mnt/ok")), "z\n");
  // /dev holds the board's nodes and the harmless host ones, no disks.
  EXPECT_NE(r.out.find("mtd0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("null"), std::string::npos) << r.out;
  for (const char* disk : {"vda", "sda", "loop0", "nvme0", "mem", "kmsg"})
    EXPECT_EQ(r.out.find(std::string(disk) + "\n"), std::string::npos) << disk;
}

}  // namespace
