// The simulated GPIO drivers.

#include "sim/models/gpio.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/gpio/gpio.h"

namespace sim {

namespace {

int refuse(int e) {
  errno = e;
  return -1;
}

std::string read_all(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  for (off_t off = 0; (n = ::pread(fd, buf, sizeof buf, off)) > 0; off += n) text.append(buf, static_cast<size_t>(n));
  return text;
}

nlohmann::json load_state(int fd) {
  auto j = nlohmann::json::parse(read_all(fd), nullptr, false);
  if (j.is_discarded() || !j.is_object()) j = nlohmann::json::object();
  if (!j.contains("lines") || !j["lines"].is_object()) j["lines"] = nlohmann::json::object();
  return j;
}

bool save_state(int fd, const nlohmann::json& j) {
  std::string text = j.dump(1) + "\n";
  if (::ftruncate(fd, 0) != 0) return false;
  return ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

// Holds the state file's lock for one request.
class StateLock {
 public:
  explicit StateLock(int fd) : fd_(fd), ok_(::flock(fd, LOCK_EX) == 0) {}
  ~StateLock() {
    if (ok_) ::flock(fd_, LOCK_UN);
  }
  bool ok() const { return ok_; }

 private:
  int fd_;
  bool ok_;
};

class GpioDriver final : public Device {
 public:
  GpioDriver(int fd, const Board& b, bool expander) : Device(fd), board_(b), expander_(expander) {
    sec_ = b.desc().value("gpio", nlohmann::json::object());
  }

  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return refuse(EFAULT);
    auto* r = static_cast<GpioIoctl_t*>(arg);
    GpioRes_t id{r->Port, r->Bit, {0, 0}, r->Index, r->Type};
    if (!valid(id)) return refuse(EINVAL);
    std::string name = GpioLineName(id);
    if (auto f = sec_.find("fail"); f != sec_.end() && f->is_array())
      for (auto& x : *f)
        if (x.is_string() && x.get<std::string>() == name) return refuse(EIO);
    StateLock lock(fd_);
    if (!lock.ok()) return -1;
    auto state = load_state(fd_);
    auto& line = state["lines"][name];
    if (!line.is_object()) line = {{"dir", 0}, {"level", 0}, {"configs", 0}};
    switch (request) {
      case GPIO_IOC_SET_DIR: line["dir"] = r->Value & 1u; break;
      case GPIO_IOC_GET_DIR: r->Value = line.value("dir", 0u); return 0;
      case GPIO_IOC_READ: r->Value = line.value("level", 0u) & 1u; return 0;
      case GPIO_IOC_WRITE:
        line["level"] = r->Value & 1u;
        board_.event("gpio " + name + " " + std::to_string(r->Value & 1u));
        break;
      case GPIO_IOC_CONFIG_ALT: line["configs"] = line.value("configs", 0) + 1; break;
      default: return refuse(ENOTTY);
    }
    return save_state(fd_, state) ? 0 : refuse(EIO);
  }

 private:
  bool valid(const GpioRes_t& id) const {
    if (expander_) return id.Type == GPIO_TYPE_EXTEND && id.Port < 2 && id.Bit < 8;
    unsigned ports = sec_.value("ports", 16u);
    return id.Type < GPIO_TYPE_EXTEND && id.Port < ports && id.Bit < 8;
  }

  const Board& board_;
  bool expander_;
  nlohmann::json sec_;
};

std::unique_ptr<Device> open_gpio(const Board& b, const std::string&, int fd, int) {
  return std::make_unique<GpioDriver>(fd, b, false);
}
std::unique_ptr<Device> open_extend(const Board& b, const std::string&, int fd, int) {
  return std::make_unique<GpioDriver>(fd, b, true);
}

std::string node_file(const std::string& dir, const GpioRes_t& r) {
  return dir + (r.Type == GPIO_TYPE_EXTEND ? "/dev/zq_max7311_gpio" : "/dev/vs_gpio");
}

bool provision_node(const Board& b, bool expander, std::string* err) {
  auto sec = b.desc().value("gpio", nlohmann::json::object());
  if (!sec.value(expander ? "expander" : "node", !expander)) return true;
  nlohmann::json state = {{"lines", nlohmann::json::object()}};
  for (auto& l : sec.value("lines", nlohmann::json::array())) {
    GpioRes_t r{};
    r.Port = static_cast<uint8_t>(l.value("Port", 0));
    r.Bit = static_cast<uint8_t>(l.value("Bit", 0));
    r.Index = l.value("Index", 0u);
    r.Type = l.value("Type", 0u);
    if ((r.Type == GPIO_TYPE_EXTEND) != expander) continue;
    state["lines"][GpioLineName(r)] = {{"dir", l.value("dir", 0)}, {"level", l.value("level", 0)}, {"configs", 0}};
  }
  std::string path = b.file(expander ? "dev/zq_max7311_gpio" : "dev/vs_gpio");
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *err = "cannot create " + path;
    return false;
  }
  bool ok = save_state(fd, state);
  ::close(fd);
  if (!ok) *err = "cannot write " + path;
  return ok;
}

bool provision_gpio(const Board& b, std::string* err) { return provision_node(b, false, err); }
bool provision_extend(const Board& b, std::string* err) { return provision_node(b, true, err); }

}  // namespace

std::string GpioLineName(const GpioRes_t& r) {
  return std::to_string(r.Type) + ":" + std::to_string(r.Port) + "." + std::to_string(r.Bit) + "#" +
         std::to_string(r.Index);
}

GpioLineState SimGpioGet(const std::string& dir, const GpioRes_t& r) {
  GpioLineState s;
  int fd = ::open(node_file(dir, r).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return s;
  {
    StateLock lock(fd);
    auto st = load_state(fd);
    auto it = st["lines"].find(GpioLineName(r));
    if (it != st["lines"].end() && it->is_object()) {
      s.known = true;
      s.dir = it->value("dir", 0);
      s.level = it->value("level", 0);
      s.configs = it->value("configs", 0);
    }
  }
  ::close(fd);
  return s;
}

bool SimGpioSetLevel(const std::string& dir, const GpioRes_t& r, int level) {
  int fd = ::open(node_file(dir, r).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok;
  {
    StateLock lock(fd);
    auto st = load_state(fd);
    auto& line = st["lines"][GpioLineName(r)];
    if (!line.is_object()) line = {{"dir", 0}, {"configs", 0}};
    line["level"] = level & 1;
    ok = lock.ok() && save_state(fd, st);
  }
  ::close(fd);
  return ok;
}

const Model kGpioModel = {"gpio", "/dev/vs_gpio", open_gpio, provision_gpio};
const Model kGpioExtendModel = {"gpio-extend", "/dev/zq_max7311_gpio", open_extend, provision_extend};

}  // namespace sim
