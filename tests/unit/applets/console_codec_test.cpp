// The queue messages of printcli, its command words, and sendboot's
// datagram and port: pure functions, also run on the board's CPU.

#include <gtest/gtest.h>

#include <cstring>

#include "applets/applets.h"
#include "applets/printcli.h"
#include "applets/sendboot.h"

namespace {

namespace pc = applets::printcli;
namespace sb = applets::sendboot;

std::span<const std::uint8_t> text_of(const pc::Message& m) {
  return {reinterpret_cast<const std::uint8_t*>(m.text), sizeof m.text};
}

TEST(PrintcliMessage, RedirectRequestLayout) {
  auto m = pc::MakeRedirect("/dev/ttyS0", "/dev/pts/3");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->type, 49);
  char want[64] = {};
  std::memcpy(want, "/dev/ttyS0", 10);
  std::memcpy(want + 32, "/dev/pts/3", 10);
  EXPECT_EQ(std::memcmp(m->text, want, 64), 0);

  auto c = pc::MakeClose();
  EXPECT_EQ(c.type, 48);
  char close[64] = {'c', 'l', 'o', 's', 'e'};
  EXPECT_EQ(std::memcmp(c.text, close, 64), 0);
}

TEST(PrintcliMessage, TerminalNamesMustFitTheirField) {
  std::string n31(31, 'x'), n32(32, 'x');
  EXPECT_TRUE(pc::MakeRedirect(n31, n31));
  EXPECT_FALSE(pc::MakeRedirect(n32, "/dev/pts/1"));
  EXPECT_FALSE(pc::MakeRedirect("/dev/pts/1", n32));
  EXPECT_FALSE(pc::MakeRedirect("", "/dev/pts/1"));
  // The longest names survive the round trip whole.
  std::string err;
  auto r = pc::Decode(pc::kTypeRedirect, text_of(*pc::MakeRedirect(n31, n31)), &err);
  ASSERT_TRUE(r) << err;
  EXPECT_EQ(r->in_tty, n31);
  EXPECT_EQ(r->out_tty, n31);
}

TEST(PrintcliMessage, DecodeRefusesWhatPrintcliNeverSends) {
  auto with = [](long type, std::initializer_list<std::pair<size_t, std::string>> parts) {
    pc::Message m{};
    m.type = type;
    for (auto& [at, s] : parts) std::memcpy(m.text + at, s.data(), s.size());
    return m;
  };
  struct Case {
    const char* name;
    pc::Message m;
    size_t len;
    const char* err;
  } cases[] = {
      {"unknown type", with(50, {{0, "close"}}), 64, "unknown message type 50"},
      {"close with other text", with(48, {{0, "closed"}}), 64, "close message without its \"close\" text"},
      {"input name without NUL", with(49, {{0, std::string(32, 'a')}, {32, "/dev/pts/1"}}), 64,
       "terminal name without its NUL"},
      {"output name without NUL", with(49, {{0, "/dev/pts/1"}, {32, std::string(32, 'a')}}), 64,
       "terminal name without its NUL"},
      {"no output terminal", with(49, {{0, "/dev/pts/1"}}), 64, "redirect request without an output terminal"},
      {"short text", with(48, {{0, "close"}}), 10, "message text is 10 bytes, not 64"},
  };
  for (auto& c : cases) {
    std::string err;
    EXPECT_FALSE(pc::Decode(c.m.type, text_of(c.m).first(c.len), &err)) << c.name;
    EXPECT_EQ(err, c.err) << c.name;
  }
  std::string err;
  auto r = pc::Decode(pc::kTypeClose, text_of(pc::MakeClose()), &err);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, pc::Request::Kind::Close);
}

TEST(PrintcliCommand, Words) {
  using C = pc::Command;
  struct Case {
    std::vector<const char*> argv;
    C want;
  } cases[] = {
      {{"printcli"}, C::All},          {{"printcli", "Challenge"}, C::Challenge},
      {{"printcli", "kmsg"}, C::Kmsg}, {{"printcli", "system"}, C::Kmsg},
      {{"printcli", "-h"}, C::Help},   {{"printcli", "-help"}, C::Help},
      {{"printcli", "help"}, C::Help}, {{"printcli", "CHALLENGE"}, C::NotACommand},
      {{"printcli", ""}, C::NotACommand}, {{"printcli", "kmsg", "x"}, C::NotACommand},
  };
  for (auto& c : cases) {
    auto argv = c.argv;
    argv.push_back(nullptr);
    EXPECT_EQ(pc::ParseArgs(static_cast<int>(c.argv.size()), argv.data()), c.want)
        << (c.argv.size() > 1 ? c.argv[1] : "(none)");
  }
}

TEST(Sendboot, DatagramAndPorts) {
  auto d = sb::Datagram();
  std::string s(reinterpret_cast<const char*>(d.data()), d.size());
  EXPECT_EQ(s, std::string("Device booting !") + std::string(48, '\0'));

  struct Case {
    const char* text;
    int want;  // -1: refused
  } cases[] = {{"1", 1},       {"65535", 65535}, {"00080", 80}, {"0", -1},     {"65536", -1},
               {"70000", -1},  {"-1", -1},       {"+1", -1},    {" 1", -1},    {"1 ", -1},
               {"", -1},       {"000080", -1},   {"0x50", -1},  {"99999", -1}};
  for (auto& c : cases) {
    auto p = sb::ParsePort(c.text);
    EXPECT_EQ(p ? *p : -1, c.want) << '"' << c.text << '"';
  }
}

TEST(Dispatch, ToolsWithTheirOwnStatusesPassThemOn) {
  std::string name = "sendboot";
  char* argv[] = {name.data(), nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(applets::Dispatch(1, argv), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "input Error, please input the ip and port ! \n");
}

}  // namespace
