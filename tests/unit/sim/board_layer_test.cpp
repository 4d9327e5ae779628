// The board directory as the program's root file system: what the board
// does not own is written in the board's layer, and read from the host
// only where the description allows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "osa/osa.h"
#include "osa/sys.h"
#include "support/board_edit.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempBoard;
using testsupport::WriteFile;

class Layer : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dvrlayer.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    host_ = tmpl;
  }
  void TearDown() override { fs::remove_all(host_); }
  std::string layer(const std::string& p) const { return board_.dir() + p; }
  bool event(const std::string& line) const {
    for (auto& e : board_.events())
      if (e == line) return true;
    return false;
  }
  TempBoard board_;
  std::string host_;
};

TEST_F(Layer, WritesOutsideTheBoardLandInItsLayer) {
  std::string p = host_ + "/new/file";
  fs::create_directories(host_ + "/new");
  osa::UniqueFd fd(osa::sys::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  ASSERT_TRUE(fd);
  ASSERT_EQ(osa::sys::write(fd.get(), "board", 5), 5);
  fd.reset();
  EXPECT_FALSE(fs::exists(p));
  EXPECT_EQ(ReadFile(layer(p)), "board");
  // The board reads back what it wrote, by the same name.
  FILE* f = osa::sys::fopen(p.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[8] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 5u);
  fclose(f);
  EXPECT_STREQ(buf, "board");
  EXPECT_EQ(osa::sys::path(p.c_str()), layer(p));
  // A folder the host lacks is lacked by the board too.
  EXPECT_EQ(osa::sys::open((host_ + "/none/file").c_str(), O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_FALSE(fs::exists(host_ + "/none"));
}

TEST_F(Layer, HostFilesAreReadOnlyWhereTheBoardAllows) {
  std::string secret = host_ + "/secret";
  WriteFile(secret, "host only");
  EXPECT_EQ(osa::sys::open(secret.c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(event("read-hidden " + secret));
  // Opening it for writing neither reads nor changes the host's copy.
  osa::UniqueFd w(osa::sys::open(secret.c_str(), O_RDWR));
  EXPECT_FALSE(w);
  EXPECT_EQ(ReadFile(secret), "host only");
  // The program's own process files and zone information are readable.
  osa::UniqueFd self(osa::sys::open("/proc/self/status", O_RDONLY));
  EXPECT_TRUE(self);
  // A description may allow more; a write then starts from the host's copy.
  testsupport::EditBoard(board_, [&](nlohmann::json& j) { j["host_reads"] = {host_ + "/*"}; });
  setenv("DVR_BOARD", (board_.dir() + "/").c_str(), 1);  // a new name loads the edited board
  osa::UniqueFd r(osa::sys::open(secret.c_str(), O_RDONLY));
  EXPECT_TRUE(r);
  osa::UniqueFd a(osa::sys::open(secret.c_str(), O_WRONLY | O_APPEND));
  ASSERT_TRUE(a);
  ASSERT_EQ(osa::sys::write(a.get(), "+", 1), 1);
  EXPECT_EQ(ReadFile(secret), "host only");
  EXPECT_EQ(ReadFile(layer(secret)), "host only+");
  // So does a stream opened for writing on a host file the board may read.
  std::string other = host_ + "/other";
  WriteFile(other, "host");
  FILE* f = osa::sys::fopen(other.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("board", f);
  fclose(f);
  EXPECT_EQ(ReadFile(other), "host");
  EXPECT_EQ(ReadFile(layer(other)), "board");
  setenv("DVR_BOARD", board_.dir().c_str(), 1);
}

TEST_F(Layer, TheBoardsOwnFilesCannotBeReachedAsBoardPaths) {
  std::string before = ReadFile(board_.file("board.json"));
  EXPECT_EQ(osa::sys::open("/board.json", O_WRONLY | O_TRUNC), -1);
  EXPECT_EQ(osa::sys::open("/tools/sandbox", O_WRONLY | O_TRUNC), -1);
  EXPECT_EQ(osa::sys::open("/events.log", O_WRONLY | O_TRUNC), -1);
  EXPECT_EQ(ReadFile(board_.file("board.json")), before);
  // The null device and terminals are the host's.
  osa::UniqueFd null(osa::sys::open("/dev/null", O_WRONLY));
  EXPECT_TRUE(null);
}

TEST_F(Layer, RelativePathsAreTakenFromTheWorkingFolder) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(host_.c_str()), 0);
  osa::UniqueFd fd(osa::sys::open("rel", O_WRONLY | O_CREAT, 0644));
  ASSERT_EQ(chdir(old), 0);
  ASSERT_TRUE(fd);
  EXPECT_FALSE(fs::exists(host_ + "/rel"));
  EXPECT_TRUE(fs::exists(layer(host_ + "/rel")));
}

}  // namespace
