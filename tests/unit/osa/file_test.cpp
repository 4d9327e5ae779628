#include "osa/file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TempDir {
 public:
  TempDir() {
    char t[] = "/tmp/osafile.XXXXXX";
    path_ = mkdtemp(t);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::set<std::string> names() const {
    std::set<std::string> s;
    for (auto& e : fs::directory_iterator(path_)) s.insert(e.path().filename());
    return s;
  }

 private:
  std::string path_;
};

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ReadFile, TellsMissingTooLargeAndIoErrorFromContent) {
  TempDir d;
  std::string exact(10000, 'x');
  exact[5000] = '\0';  // binary content survives
  put(d.file("exact"), exact);

  auto ok = osa::ReadFile(d.file("exact").c_str(), exact.size());
  EXPECT_EQ(ok.status, osa::ReadStatus::Ok);
  EXPECT_EQ(ok.data, exact);

  auto big = osa::ReadFile(d.file("exact").c_str(), exact.size() - 1);
  EXPECT_EQ(big.status, osa::ReadStatus::TooLarge);
  EXPECT_EQ(big.data, exact.substr(0, exact.size() - 1));  // the prefix, for callers that only look at the start

  auto none = osa::ReadFile(d.file("absent").c_str(), 100);
  EXPECT_EQ(none.status, osa::ReadStatus::Missing);
  EXPECT_EQ(none.err, ENOENT);

  fs::create_directory(d.file("dir"));
  auto dir = osa::ReadFile(d.file("dir").c_str(), 100);
  EXPECT_EQ(dir.status, osa::ReadStatus::IoError);
  EXPECT_EQ(dir.err, EISDIR);

  put(d.file("empty"), "");
  auto empty = osa::ReadFile(d.file("empty").c_str(), 0);
  EXPECT_TRUE(empty.ok());
  EXPECT_TRUE(empty.data.empty());
}

TEST(ReadFile, AFileWithoutASizeIsReadToItsEndAndStillBounded) {
  // /proc files report size 0: the limit must come from counting, not stat.
  auto all = osa::ReadFile("/proc/self/status", 1 << 20);
  ASSERT_TRUE(all.ok());
  EXPECT_NE(all.data.find("Pid:"), std::string::npos);
  auto cut = osa::ReadFile("/proc/self/status", 16);
  EXPECT_EQ(cut.status, osa::ReadStatus::TooLarge);
  EXPECT_EQ(cut.data.size(), 16u);
  // An endless source is refused, not read until memory runs out.
  EXPECT_EQ(osa::ReadFile("/dev/zero", 4096).status, osa::ReadStatus::TooLarge);
}

TEST(ReplaceFile, ReplacesWholeAndLeavesOnlyTheTarget) {
  TempDir d;
  std::string p = d.file("cfg");
  put(p, "old content that is longer than the new one\n");
  auto r = osa::ReplaceFile(p.c_str(), "new\n");
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(get(p), "new\n");
  EXPECT_EQ(d.names(), std::set<std::string>{"cfg"});
  struct stat st{};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~[] { mode_t m = umask(0); umask(m); return m; }());

  // A new file is created the same way.
  ASSERT_TRUE(osa::ReplaceFile(d.file("fresh").c_str(), "").ok());
  EXPECT_EQ(d.names(), (std::set<std::string>{"cfg", "fresh"}));
}

// A write that fails half-way (the file size limit, which binds root too)
// keeps the old content and removes the temporary.
TEST(ReplaceFile, AFailedWriteKeepsTheOldContentAndNoTemporary) {
  TempDir d;
  std::string p = d.file("cfg");
  put(p, "old\n");
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim{8, 8};
    setrlimit(RLIMIT_FSIZE, &lim);
    auto r = osa::ReplaceFile(p.c_str(), std::string(4096, 'n'));
    _exit(r.failed == osa::ReplaceResult::Step::Write && r.err == EFBIG ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_EQ(get(p), "old\n");
  EXPECT_EQ(d.names(), std::set<std::string>{"cfg"});
}

TEST(ReplaceFile, FailuresOfCreateAndRenameAreReportedAndCleanedUp) {
  TempDir d;
  auto nodir = osa::ReplaceFile(d.file("missing/cfg").c_str(), "x");
  EXPECT_EQ(nodir.failed, osa::ReplaceResult::Step::Create);
  EXPECT_EQ(nodir.err, ENOENT);
  EXPECT_NE(nodir.message.find("cannot create "), std::string::npos) << nodir.message;

  // A directory in the target's place: the rename fails after the write.
  fs::create_directories(d.file("busy/inner"));
  auto busy = osa::ReplaceFile(d.file("busy").c_str(), "x");
  EXPECT_EQ(busy.failed, osa::ReplaceResult::Step::Rename);
  EXPECT_EQ(busy.message.rfind("rename to " + d.file("busy") + ": ", 0), 0u) << busy.message;
  EXPECT_EQ(d.names(), std::set<std::string>{"busy"});
  EXPECT_TRUE(fs::is_directory(d.file("busy/inner")));

  EXPECT_FALSE(osa::ReplaceFile(nullptr, "x").ok());
}

ino_t inode(const std::string& p) {
  struct stat st{};
  return lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A legacy name kept as a hard link stays on the same content after every
// rewrite when asked; a symlink, an unrelated file and a missing name
// among those asked for are left alone.
TEST(ReplaceFile, HardLinkedNamesFollowTheNewContentWhenAsked) {
  TempDir d;
  std::string p = d.file("networketh2");
  put(p, "HOSTIP = 10.0.0.1\n");
  ASSERT_EQ(link(p.c_str(), d.file("network2").c_str()), 0);
  ASSERT_EQ(symlink("networketh2", d.file("alias").c_str()), 0);
  put(d.file("other"), "HOSTIP = 10.0.0.1\n");

  osa::ReplaceOptions keep;
  keep.keep_linked = {d.file("network2"), d.file("alias"), d.file("other"), d.file("absent")};
  for (const char* text : {"HOSTIP = 10.0.0.2\n", "HOSTIP = 10.0.0.3\n"}) {
    auto r = osa::ReplaceFile(p.c_str(), text, keep);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.link_err, 0) << r.link_message;
    EXPECT_EQ(get(d.file("network2")), text);
    EXPECT_EQ(inode(d.file("network2")), inode(p));
  }
  EXPECT_EQ(get(d.file("other")), "HOSTIP = 10.0.0.1\n");
  struct stat st{};
  ASSERT_EQ(lstat(d.file("alias").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(d.names(), (std::set<std::string>{"alias", "network2", "networketh2", "other"}));

  // A name not asked for keeps the old inode, as a snapshot would.
  ASSERT_TRUE(osa::ReplaceFile(p.c_str(), "HOSTIP = 10.0.0.4\n").ok());
  EXPECT_EQ(get(d.file("network2")), "HOSTIP = 10.0.0.3\n");
}

// Writers racing on one file each use their own temporary, so the result is
// always one writer's whole content (a shared fixed name mixes them).
TEST(ReplaceFile, ConcurrentWritersNeverMixOrLeaveTemporaries) {
  TempDir d;
  std::string p = d.file("cfg");
  std::vector<std::string> texts;
  for (int i = 0; i < 6; ++i) texts.push_back(std::string(20000 + i * 997, static_cast<char>('a' + i)));
  std::vector<std::thread> ts;
  std::atomic<int> failures{0};
  for (int i = 0; i < 6; ++i)
    ts.emplace_back([&, i] {
      for (int k = 0; k < 20; ++k) {
        if (!osa::ReplaceFile(p.c_str(), texts[static_cast<size_t>(i)]).ok()) ++failures;
        std::string now = get(p);
        if (std::find(texts.begin(), texts.end(), now) == texts.end()) ++failures;
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(d.names(), std::set<std::string>{"cfg"});
}

}  // namespace
