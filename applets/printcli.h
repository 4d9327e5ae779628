// The console redirection messages that printcli sends to the main
// application over a System V message queue.  The main application
// (tools/console serves its side) decodes the same records.
#pragma once

#include <sys/ipc.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace applets::printcli {

// Key of the queue: ftok(kKeyPath, kKeyProject), the path taken relative
// to the current directory on both sides.
inline constexpr char kKeyPath[] = "challenge_print";
inline constexpr int kKeyProject = 1;
inline constexpr int kQueueFlags = IPC_CREAT | 0666;  // 950
static_assert(kQueueFlags == 950);

inline constexpr long kTypeRedirect = '1';
inline constexpr long kTypeClose = '0';
inline constexpr std::size_t kTextLen = 64;
inline constexpr std::size_t kTtyField = 32;        // bytes 0-31 stdin, 32-63 stdout
inline constexpr std::size_t kTtyMaxLen = kTtyField - 1;

// One queue message as msgsnd/msgrcv see it: the type (the platform's long)
// and 64 bytes of text.
struct Message {
  long type;
  char text[kTextLen];
};
static_assert(offsetof(Message, text) == sizeof(long));
static_assert(sizeof(Message) == sizeof(long) + kTextLen);

// The redirect request naming the terminals of standard input and output;
// nullopt when a name is empty or longer than 31 characters (a cut name
// would name another terminal).
std::optional<Message> MakeRedirect(std::string_view in_tty, std::string_view out_tty);
Message MakeClose();

// A message as the server understands it.
struct Request {
  enum class Kind { Redirect, Close };
  Kind kind = Kind::Close;
  std::string in_tty, out_tty;  // Redirect only
};

// Decodes a message read off the queue: the type and its 64 text bytes.
// Unknown types, names without their NUL inside the field, empty output
// terminals and a close text other than "close" are refused with *err set.
std::optional<Request> Decode(long type, std::span<const std::uint8_t> text, std::string* err);

// What the command line asks for.
enum class Command { All, Challenge, Kmsg, Help, NotACommand };
Command ParseArgs(int argc, const char* const* argv);

}  // namespace applets::printcli
