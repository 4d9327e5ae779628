// net3g against the simulator's own USB modems (boards/modem.json).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/board.h"
#include "support/net3g_client.h"

namespace {

using testsupport::TempBoard;

using testsupport::Ask;
using testsupport::Word;
using testsupport::WordAt;

TEST(Net3gSim, SimulatedEc20ComesUpAndModemsPlugLive) {
  TempBoard b("modem");
  std::filesystem::create_directories(b.file("var/tmp"));
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int fd = open(b.file("net3g.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::string exe = testsupport::Bin("dvrsim");
    execl(exe.c_str(), "dvrsim", "run", b.dir().c_str(), "net3g", static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  auto log = [&] { return testsupport::ReadFile(b.file("net3g.out")); };

  bool up = false;
  for (int i = 0; i < 250 && !up; ++i) {
    Ask(b, 17, 0, Word(1));
    std::string s = Ask(b, 4, 0);
    up = WordAt(s, 12) == 2 && WordAt(s, 12 + 136) == 11 && WordAt(s, 12 + 144) == 63;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(up) << log();
  EXPECT_NE(log().find("dev_ctl->at_tty_name=/dev/ttyUSB3"), std::string::npos);
  std::string transcript = testsupport::ReadFile(b.file("modem/ttyUSB3.log"));
  EXPECT_NE(transcript.find(" < AT+CSQ\\r"), std::string::npos) << transcript;
  // The board's EC20 sends some noise before each reply and splits it; the transcript escapes it.
  EXPECT_NE(transcript.find(" > \\x01\\xFE\\xFF#$%\\r\\n\\r\\n+CSQ: 20,99\\r\\n\\r\\nOK\\r\\n"), std::string::npos);

  auto slots = [&] { return WordAt(Ask(b, 128, 0), 12); };
  auto wait_slots = [&](int n) {
    for (int i = 0; i < 100 && slots() != n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return slots();
  };
  // The CD-ROM on port 2 was ejected and switched (two failed tries, then success) and runs as a modem.
  EXPECT_EQ(wait_slots(2), 2) << log();
  int switches = 0;
  bool ejected = false;
  for (const auto& e : b.events()) {
    switches += e.find("tool usb_modeswitch -v 0x19d2 -p 0x2000 -V 0x19d2 -K -M 5553") == 0;
    ejected |= e.find("busybox eject /dev/sr0") != std::string::npos;
  }
  EXPECT_EQ(switches, 3);
  EXPECT_TRUE(ejected);
  EXPECT_TRUE(std::filesystem::exists(b.file("sys/bus/usb/devices/1-3/1-3:1.2/ttyUSB7")));
  EXPECT_EQ(testsupport::Run({"dvrsim", "modem", b.dir(), "plug", "1"}).status, 0);
  EXPECT_EQ(wait_slots(3), 3) << log();
  EXPECT_EQ(testsupport::Run({"dvrsim", "modem", b.dir(), "unplug", "0"}).status, 0);
  EXPECT_EQ(wait_slots(2), 2);
  EXPECT_EQ(WordAt(Ask(b, 17, 0, Word(1)), 8), -2);
  EXPECT_NE(testsupport::Run({"dvrsim", "modem", b.dir(), "unplug", "7"}).status, 0);

  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace
