// The main application's side of console redirection: it serves the queue
// printcli sends to, and copies console output to the terminal a redirect
// request names until the close message comes.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace console {

class Server {
 public:
  // Opens (creating it when needed) the queue keyed by ftok(key_path, 1).
  // With the default, the key file is looked up in the current directory,
  // as printcli does.
  static std::unique_ptr<Server> Open(const std::string& key_path, std::string* err);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  struct Event {
    enum class Kind { Redirected, Closed, Refused, Stopped, Empty, Error };
    Kind kind;
    std::string detail;  // terminal name, or why a message was refused
  };
  // Takes the next message off the queue and acts on it.  wait: block until
  // one comes (Stop() from another thread ends the wait with Stopped);
  // otherwise Empty when none is there.
  Event HandleOne(bool wait);
  // Serves until Stop().
  void Serve();
  // Ends Serve()/HandleOne(true) in another thread.
  bool Stop();
  // Removes the queue from the system.
  bool Remove();

  // Copies console text to the redirected terminal, if any.  Never blocks:
  // a terminal that cannot take more drops the text.
  void Copy(std::string_view text);
  // The terminal output is copied to, empty when none.
  std::string terminal() const;
  int queue() const { return queue_; }

 private:
  explicit Server(int queue) : queue_(queue) {}
  Event redirect(const std::string& tty);
  void close_terminal();

  int queue_;
  mutable std::mutex lock_;
  int tty_fd_ = -1;
  std::string tty_;
};

}  // namespace console
