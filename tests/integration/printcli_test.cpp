// printcli as a real process on a terminal, against a real System V queue
// served the way the main application serves it.

#include <gtest/gtest.h>
#include <sys/msg.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "applets/printcli.h"
#include "support/board.h"
#include "support/pty_child.h"
#include "tools/console/console.h"

namespace {

namespace pc = applets::printcli;
using testsupport::PtyChild;
using Kind = console::Server::Event::Kind;

// A working directory holding the queue's key file, so each test has a
// queue of its own; the queue is removed at the end.
class PrintQueue : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/printcli.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    testsupport::WriteFile(dir_ + "/challenge_print", "");
    std::string err;
    server_ = console::Server::Open(dir_ + "/challenge_print", &err);
    ASSERT_TRUE(server_) << err;
  }
  void TearDown() override {
    if (server_) server_->Remove();
    std::filesystem::remove_all(dir_);
  }

  // The next message the server acts on, waiting at most 5 seconds.
  console::Server::Event Next() {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      auto e = server_->HandleOne(false);
      if (e.kind != Kind::Empty || std::chrono::steady_clock::now() > end) return e;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  msqid_ds Stat() {
    msqid_ds ds{};
    msgctl(server_->queue(), IPC_STAT, &ds);
    return ds;
  }

  std::string dir_;
  std::unique_ptr<console::Server> server_;
};

TEST_F(PrintQueue, ChallengeRedirectsThisTerminalAndSurvivesInterrupts) {
  PtyChild p({testsupport::Bin("printcli"), "Challenge"}, dir_);
  auto e = Next();
  ASSERT_EQ(e.kind, Kind::Redirected) << e.detail;
  EXPECT_EQ(e.detail.rfind("/dev/pts/", 0), 0u) << e.detail;

  server_->Copy("line from the application\n");
  EXPECT_NE(p.ReadUntil("line from the application", 3000).find("line from the application"), std::string::npos);

  // Each of the three signals sends the close message; the tool goes on.
  for (int sig : {SIGINT, SIGHUP, SIGCONT}) {
    ASSERT_TRUE(p.Signal(sig));
    auto c = Next();
    EXPECT_EQ(c.kind, Kind::Closed) << "signal " << sig << ": " << c.detail;
    EXPECT_EQ(p.Wait(200), -1) << "signal " << sig << " ended the tool";
  }
  EXPECT_NE(p.ReadUntil("ssfssf 11111 \r\nssfssf 11111 \r\nssfssf 11111 ", 3000).find(
                "ssfssf 11111 \r\nssfssf 11111 \r\nssfssf 11111 "),
            std::string::npos)
      << p.output();
  EXPECT_EQ(server_->terminal(), "");
  server_->Copy("after close\n");
  ASSERT_TRUE(p.Signal(SIGTERM));
  EXPECT_EQ(p.Wait(3000), 128 + SIGTERM);
  EXPECT_EQ(p.output().find("after close"), std::string::npos);
}

TEST_F(PrintQueue, WithoutArgumentsRedirectsAndCopiesKernelMessages) {
  testsupport::TempBoard board;
  testsupport::WriteFile(board.file("proc/kmsg"), "<6>first kernel line\n");
  PtyChild p({testsupport::Bin("dvrsim"), "run", board.dir(), "printcli"}, dir_);
  EXPECT_EQ(Next().kind, Kind::Redirected);
  p.ReadUntil("first kernel line", 3000);
  // Lines that come later are copied too: the tool waits at the end.
  {
    FILE* f = fopen(board.file("proc/kmsg").c_str(), "a");
    ASSERT_NE(f, nullptr);
    fputs("<4>second kernel line\n", f);
    fclose(f);
  }
  EXPECT_NE(p.ReadUntil("second kernel line", 5000).find("<4>second kernel line"), std::string::npos)
      << p.output();
  EXPECT_NE(p.output().find("<6>first kernel line"), std::string::npos);
  ASSERT_TRUE(p.Signal(SIGINT));
  EXPECT_EQ(Next().kind, Kind::Closed);
  EXPECT_EQ(p.Wait(200), -1);
}

TEST_F(PrintQueue, KernelMessagesOnlySendNothing) {
  testsupport::TempBoard board;
  testsupport::WriteFile(board.file("proc/kmsg"), "<6>kernel only\n");
  for (const char* word : {"kmsg", "system"}) {
    PtyChild p({testsupport::Bin("dvrsim"), "run", board.dir(), "printcli", word}, dir_);
    EXPECT_NE(p.ReadUntil("kernel only", 3000).find("kernel only"), std::string::npos) << word;
    EXPECT_EQ(Stat().msg_qnum, 0u) << word;
  }
}

TEST_F(PrintQueue, RequestWaitsInTheQueueWhenNoApplicationRuns) {
  PtyChild p({testsupport::Bin("printcli"), "Challenge"}, dir_);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Stat().msg_qnum == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Stat().msg_qnum, 1u);
  EXPECT_EQ(p.Wait(200), -1);  // sleeping as asked, not stuck or dead
  EXPECT_EQ(Next().kind, Kind::Redirected);
}

TEST_F(PrintQueue, FullQueueFailsAtOnceInsteadOfHanging) {
  auto m = pc::MakeClose();
  while (msgsnd(server_->queue(), &m, pc::kTextLen, IPC_NOWAIT) == 0) {
  }
  PtyChild p({testsupport::Bin("printcli"), "Challenge"}, dir_);
  EXPECT_EQ(p.Wait(5000), 127);
  p.ReadUntil("redir Challenge failed!", 1000);
  EXPECT_NE(p.output().find("the print queue is full"), std::string::npos) << p.output();
  EXPECT_NE(p.output().find("redir Challenge failed!"), std::string::npos) << p.output();
}

TEST_F(PrintQueue, FailuresBeforeSendingEndWith127) {
  struct Case {
    const char* name;
    bool terminal;
    std::string cwd;
    const char* says;
  } cases[] = {
      {"no key file here", true, "/", "printcli: no queue key, challenge_print in the current directory"},
      {"standard input is a pipe", false, dir_, "printcli: standard input is not a terminal"},
      {"kernel messages missing", true, "", "printcli: cannot open /proc/kmsg"},
  };
  testsupport::TempBoard board;  // has no proc/kmsg
  for (auto& c : cases) {
    if (c.terminal) {
      std::vector<std::string> argv = {testsupport::Bin("printcli"), "Challenge"};
      if (c.cwd.empty()) argv = {testsupport::Bin("dvrsim"), "run", board.dir(), "printcli", "kmsg"};
      PtyChild p(argv, c.cwd.empty() ? dir_ : c.cwd);
      EXPECT_EQ(p.Wait(5000), 127) << c.name;
      EXPECT_NE(p.ReadUntil(c.says, 1000).find(c.says), std::string::npos) << c.name << ": " << p.output();
    } else {
      auto r = testsupport::Run({"printcli", "Challenge"});
      EXPECT_EQ(r.status, 127) << c.name;
      EXPECT_NE(r.out.find(c.says), std::string::npos) << c.name << ": " << r.out;
    }
  }
  EXPECT_EQ(Stat().msg_qnum, 0u);
}

TEST(Printcli, HelpAndUnknownWords) {
  const std::string usage =
      "\n\n"
      "\033[36mprintClient command usage:\n\033[0m"
      "\033[36m===================================\n\033[0m"
      "\033[35mprintClient: redir all messages\n\033[0m"
      "\033[33;1mprintClient Challenge: only redir Challenge messages\n\033[0m"
      "\033[31;1mprintClient kmsg/system: only redir system messages\n\033[0m"
      "\033[32mprintClient -h/-help/help : show help\n\033[0m"
      "\n\n";
  struct Case {
    std::vector<std::string> argv;
    std::string out;
  } cases[] = {
      {{"printcli", "-h"}, usage},
      {{"printcli", "-help"}, usage},
      {{"printcli", "help"}, usage},
      {{"printcli", "--help"}, "'--help' is not a command\n"},
      {{"printcli", "challenge"}, "'challenge' is not a command\n"},
      {{"printcli", "kmsg", "extra"}, "'kmsg' is not a command\n"},
  };
  for (auto& c : cases) {
    auto r = testsupport::Run(c.argv);
    EXPECT_EQ(r.status, 0) << c.argv[1];
    EXPECT_EQ(r.out, c.out) << c.argv[1];
  }
}

}  // namespace
