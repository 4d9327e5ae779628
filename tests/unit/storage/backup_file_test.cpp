// Files on a backup device whose mount directory is a temporary folder:
// naming, the overwrite list, confinement to the mount directory, the
// current path, listings and failures that must reach the caller.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "storage/backup/backup.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A mounted device: the mount directory is <tmp>/mnt, beside it <tmp>/out
// stands for everything outside.
class BackupFiles : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/backupfile.XXXXXX";
    top = mkdtemp(tmpl);
    mnt = top + "/mnt";
    fs::create_directory(mnt);
    fs::create_directory(top + "/out");
    std::snprintf(dev.name, sizeof dev.name, "/dev/null");
    std::snprintf(dev.mountDir, sizeof dev.mountDir, "%s", mnt.c_str());
    dev.type = BACKUP_TYPE_DISK;
    dev.bus = HD_BUS_USB;
    priv.curPath = cur.data();
    std::snprintf(cur.data(), cur.size(), "%s", mnt.c_str());
    priv.flags = BACKUP_FLAG_MOUNTED;
    dev.priv = &priv;
  }
  void TearDown() override {
    if (priv.file) BackupFileClose(&dev);
    fs::remove_all(top);
  }
  // Opens, writes and closes one file; the open's result.
  int Put(const std::string& name, const std::string& data) {
    BackupFileReq req{};
    std::snprintf(req.name, sizeof req.name, "%s", name.c_str());
    req.reserved = data.size();
    int rc = BackupFileOpen(&dev, &req);
    if (rc != 0) return rc;
    EXPECT_EQ(BackupFileStuff(&dev, data.data(), static_cast<uint32_t>(data.size())), 0);
    EXPECT_EQ(BackupFileClose(&dev), 0);
    return 0;
  }
  std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> s;
    for (auto& e : fs::directory_iterator(dir)) s.insert(e.path().filename().string());
    return s;
  }
  std::string top, mnt;
  BackupDevInfo dev{};
  BackupPriv priv{};
  std::array<char, kBackupPathLen> cur{};
};

TEST_F(BackupFiles, ClashesGetNumberedNamesAndTheOverwriteListReplaces) {
  EXPECT_EQ(Put("rec.sav", "one"), 0);
  EXPECT_EQ(Put("rec.sav", "two"), 0);
  EXPECT_EQ(Put("rec.sav", "three"), 0);
  EXPECT_EQ(Put("setup.ini", "first"), 0);
  EXPECT_EQ(Put("setup.ini", "second"), 0);
  EXPECT_EQ(Put("noext", "a"), 0);
  EXPECT_EQ(Put("noext", "b"), 0);
  EXPECT_EQ(Put("noext", "c"), 0);
  EXPECT_EQ(Names(mnt), (std::set<std::string>{"rec.sav", "rec_1.sav", "rec_2.sav", "setup.ini", "noext", "noext1",
                                               "noext2"}));
  EXPECT_EQ(Slurp(mnt + "/rec_2.sav"), "three");
  EXPECT_EQ(Slurp(mnt + "/setup.ini"), "second");
  EXPECT_EQ(Slurp(mnt + "/noext2"), "c");
  // A name under the mount directory and one with folders that do not exist yet.
  EXPECT_EQ(Put(mnt + "/abs.sav", "x"), 0);
  EXPECT_EQ(Put("day1/cam2/rec.sav", "y"), 0);
  EXPECT_EQ(Slurp(mnt + "/day1/cam2/rec.sav"), "y");
  // A dangling link is a clash too, never written through.
  fs::create_symlink(top + "/out/victim.sav", mnt + "/link.sav");
  EXPECT_EQ(Put("link.sav", "z"), 0);
  EXPECT_EQ(Slurp(mnt + "/link_1.sav"), "z");
  EXPECT_FALSE(fs::exists(top + "/out/victim.sav"));
}

TEST_F(BackupFiles, NamesOutsideTheMountDirectoryAreRefused) {
  fs::create_symlink(top + "/out", mnt + "/escape");
  const std::string bad[] = {
      "../out/a.sav",
      "/etc/backup_test.sav",
      top + "/out/b.sav",
      "/x" + mnt + "/c.sav",  // merely contains the mount directory
      mnt + "/../out/d.sav",
      "escape/e.sav",  // a link inside that leads out
      "a/../../out/f.sav",
  };
  for (const std::string& n : bad) {
    BackupFileReq req{};
    std::snprintf(req.name, sizeof req.name, "%s", n.c_str());
    EXPECT_EQ(BackupFileOpen(&dev, &req), -1) << n;
    EXPECT_EQ(priv.file, nullptr);
  }
  // A relative name that contains the mount directory stays below the current path.
  EXPECT_EQ(Put("x" + mnt + "/../../../c.sav", "c"), 0);
  EXPECT_EQ(Slurp(mnt + "/x/c.sav"), "c");
  EXPECT_TRUE(fs::is_empty(top + "/out"));
  EXPECT_EQ(BackupFileCreateDir(&dev, "../out/dir"), -1);
  EXPECT_EQ(BackupRemoveFile(&dev, "../out"), -1);
  EXPECT_EQ(BackupRename(&dev, "escape", "../moved"), -1);
  EXPECT_EQ(BackupRemoveDir(&dev, "."), -1) << "the mount directory itself";
  EXPECT_TRUE(fs::exists(top + "/out"));

  // A request without a NUL in its 128 bytes.
  BackupFileReq req;
  std::memset(req.name, 'a', sizeof req.name);
  req.reserved = 0;
  EXPECT_EQ(BackupFileOpen(&dev, &req), -1);
}

TEST_F(BackupFiles, NotStartedAndUnpluggedFail) {
  priv.flags = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(Put("a.sav", "x"), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("please call BackupStart() first\n"), std::string::npos);
  priv.flags = BACKUP_FLAG_MOUNTED;
  char b = 'x';
  EXPECT_EQ(BackupFileStuff(&dev, &b, 1), -1) << "no file open";
  BackupFileReq req{};
  std::snprintf(req.name, sizeof req.name, "a.sav");
  ASSERT_EQ(BackupFileOpen(&dev, &req), 0);
  EXPECT_EQ(BackupFileOpen(&dev, &req), -1) << "one file at a time";
  // The disk is pulled: its node goes away.
  std::snprintf(dev.name, sizeof dev.name, "/dev/backup-test-gone");
  testing::internal::CaptureStdout();
  EXPECT_EQ(BackupFileStuff(&dev, &b, 1), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("access /dev/backup-test-gone failed"), std::string::npos);
  EXPECT_EQ(BackupFileClose(&dev), 0);
  BackupDevInfo nopriv = dev;
  nopriv.priv = nullptr;
  EXPECT_EQ(BackupFileOpen(&nopriv, &req), -1);
  BackupDevInfo storage = dev;
  storage.type = BACKUP_TYPE_STORAGE;
  EXPECT_EQ(BackupFileOpen(&storage, &req), -1);
}

// Data the kernel refuses when it is flushed (here: over the file size
// limit) makes the close fail, not only a failed sync.
TEST_F(BackupFiles, AFlushFailureFailsTheClose) {
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ign, &old);
  struct rlimit lim {}, saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  lim.rlim_cur = 1000;
  lim.rlim_max = saved.rlim_max;
  BackupFileReq req{};
  std::snprintf(req.name, sizeof req.name, "big.sav");
  ASSERT_EQ(BackupFileOpen(&dev, &req), 0);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  std::string data(3000, 'd');
  // Small enough to stay in the stream's buffer until the close.
  int stuffed = BackupFileStuff(&dev, data.data(), static_cast<uint32_t>(data.size()));
  int closed = BackupFileClose(&dev);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_EQ(stuffed, 0);
  EXPECT_EQ(closed, -1) << "data beyond the limit was reported written";
  EXPECT_EQ(priv.file, nullptr);
}

TEST_F(BackupFiles, CurrentPathStaysInsideTheMountDirectory) {
  fs::create_directories(mnt + "/a/b");
  EXPECT_EQ(BackupSetCurrentPath(&dev, "a"), 0);
  EXPECT_EQ(BackupSetCurrentPath(&dev, "b"), 0);
  EXPECT_EQ(std::string(cur.data()), mnt + "/a/b");
  EXPECT_EQ(Put("in_b.sav", "x"), 0);
  EXPECT_TRUE(fs::exists(mnt + "/a/b/in_b.sav"));
  EXPECT_EQ(BackupSetCurrentPath(&dev, ".."), 0);
  EXPECT_EQ(BackupSetCurrentPath(&dev, ".."), 0);
  EXPECT_EQ(std::string(cur.data()), mnt);
  testing::internal::CaptureStdout();
  EXPECT_EQ(BackupSetCurrentPath(&dev, ".."), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("can only operation in mount path, cur: " + top + ", mnt: " + mnt + ".\n"), std::string::npos)
      << out;
  EXPECT_EQ(std::string(cur.data()), mnt) << "the current path is kept";
  EXPECT_EQ(BackupSetCurrentPath(&dev, "a/../../out"), -1);
  EXPECT_EQ(BackupSetCurrentPath(&dev, (top + "/out").c_str()), -1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(BackupSetCurrentPath(&dev, "missing"), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("path dose not exist\n"), std::string::npos);
  EXPECT_EQ(BackupSetCurrentPath(&dev, (mnt + "/a").c_str()), 0);
  char got[kBackupPathLen];
  ASSERT_EQ(BackupGetCurrentPath(&dev, got, sizeof got), 0);
  EXPECT_EQ(std::string(got), mnt + "/a");
  EXPECT_EQ(BackupGetCurrentPath(&dev, got, 4), -1);
  ASSERT_EQ(BackupGetMountPath(&dev, got, sizeof got), 0);
  EXPECT_EQ(std::string(got), mnt);
  EXPECT_EQ(BackupIsDirExist(&dev, "b"), 1);
  EXPECT_EQ(BackupIsDirExist(&dev, "nope"), 0);
}

TEST_F(BackupFiles, ListingsFilterAndSkipNamesThatDoNotFit) {
  for (const char* n : {"a.sav", "b.sav", "c.txt", "d.sav.bak"}) std::ofstream(mnt + "/" + n) << "x";
  std::ofstream(mnt + "/" + std::string(127, 'k') + ".sav") << "x";  // 131 characters
  std::ofstream(mnt + "/" + std::string(123, 'j') + ".sav") << "x";  // 127: fits with its NUL
  fs::create_directory(mnt + "/dir.sav");
  BackupName names[16];
  int n = 0;
  testing::internal::CaptureStdout();
  ASSERT_EQ(BackupPlayGetFiles(&dev, names, 16, &n), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(": path is too long\n"), std::string::npos);
  std::set<std::string> got;
  for (int i = 0; i < n; ++i) got.insert(names[i].name);
  EXPECT_EQ(got, (std::set<std::string>{"a.sav", "b.sav", "d.sav.bak", std::string(123, 'j') + ".sav"}));
  ASSERT_EQ(BackupPlaySearchFile(&dev, ".*", 1, names, 16, &n), 0);
  EXPECT_EQ(n, 6);
  ASSERT_EQ(BackupPlaySearchFile(&dev, ".txt", 0, names, 1, &n), 0);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(names[0].name, "c.txt");
  ASSERT_EQ(BackupPlaySearchFile(&dev, ".sav", 0, names, 2, &n), 0);
  EXPECT_EQ(n, 2) << "at most the requested number";
  ASSERT_EQ(BackupPlayGetDir(&dev, names, 16, &n), 0);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(names[0].name, "dir.sav");
  int count = 0;
  ASSERT_EQ(BackupGetFileNum(&dev, nullptr, &count), 0);
  EXPECT_EQ(count, 4);
}

TEST_F(BackupFiles, MaintenanceAndReadingBack) {
  ASSERT_EQ(BackupFileCreateDir(&dev, "x/y"), 0);
  EXPECT_TRUE(fs::is_directory(mnt + "/x/y"));
  ASSERT_EQ(Put("x/y/r.sav", "0123456789"), 0);
  char buf[8] = {};
  EXPECT_EQ(BackupReadWithOffset(&dev, "x/y/r.sav", 6, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(BackupRead(&dev, "x/y/r.sav", buf, 3), 3);
  EXPECT_EQ(BackupRename(&dev, "x/y/r.sav", "x/r2.sav"), 0);
  EXPECT_TRUE(fs::exists(mnt + "/x/r2.sav"));
  EXPECT_EQ(BackupRename(&dev, "x", "x/y/inside"), -1);
  EXPECT_EQ(BackupFileRemoveDir(&dev, "x"), -1) << "not empty";
  EXPECT_EQ(BackupFileRemoveDir(&dev, "x/y"), 0);
  EXPECT_EQ(BackupRemoveFile(&dev, "x"), -1) << "a directory";
  EXPECT_EQ(BackupRemoveFile(&dev, "x/r2.sav"), 0);
  fs::create_symlink(top + "/out", mnt + "/x/link");
  std::ofstream(top + "/out/keep") << "k";
  EXPECT_EQ(BackupRemoveDir(&dev, "x"), 0);
  EXPECT_FALSE(fs::exists(mnt + "/x"));
  EXPECT_TRUE(fs::exists(top + "/out/keep")) << "links are removed, not followed";

  // Seeking within the open file rewrites its head.
  BackupFileReq req{};
  std::snprintf(req.name, sizeof req.name, "head.sav");
  ASSERT_EQ(BackupFileOpen(&dev, &req), 0);
  ASSERT_EQ(BackupFileStuff(&dev, "aaaa", 4), 0);
  ASSERT_EQ(BackupFileSeek(&dev, 1, SEEK_SET), 0);
  ASSERT_EQ(BackupFileStuff(&dev, "B", 1), 0);
  ASSERT_EQ(BackupFileClose(&dev), 0);
  EXPECT_EQ(Slurp(mnt + "/head.sav"), "aBaa");
}

}  // namespace
