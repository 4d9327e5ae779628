// Modems that start as a CD-ROM: eject the disc and switch them to modem
// mode with usb_modeswitch.  The switch values are those of Debian's
// usb-modeswitch-data for the same ids.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cellular/log.h"
#include "cellular/scan.h"
#include "osa/shell.h"
#include "osa/sys.h"

namespace cellular {

namespace {

constexpr const char* kModeSwitch = "/usr/sbin/usb_modeswitch";

// Vendors (with the product that put them on the list) whose disc is ejected first.
constexpr uint16_t kEjectVendors[] = {0x19d2, 0x22f4, 0x05c6, 0x2001, 0x2020, 0x1c9e};

struct SwitchEntry {
  uint16_t vendor, product;
  const char* args;  // options after -v/-p, blank-separated
};

constexpr SwitchEntry kSwitchTable[] = {
    {0x19d2, 0xfff5, "-V 0x19d2 -M 5553424312345678c00000008000069f030000000000000000000000000000"},
    {0x19d2, 0x2000, "-V 0x19d2 -K -M 55534243123456702000000080000c85010101180101010101000000000000"},
    {0x19d2, 0x1175, "-V 0x19d2 -P 0x1177 -K"},
    {0x19d2, 0x1588, "-V 0x19d2 -K -M 55534243123456702000000080000c85010101180101010101000000000000"},
    {0x22f4, 0x0021, "-C 0xff -K"},
    {0x2001, 0xa706, "-V 0x2001 -P 0x7d01 -K"},
    {0x2020, 0x0002, "-V 0x2020 -M 555342430820298900000000000003f0010100000000000000000000000000"},
    {0x1c9e, 0x98ff, "-V 0x1c9e -M 55534243123456780000000080000606f50402527000000000000000000000"},
    {0x2001, 0xac01, "-V 0x2001 -P 0x7e3d -K"},
    {0x12d1, 0x1446, "-V 0x12d1 -J"},
};

// Starts the prepared program; the child only execs.
__attribute__((noinline)) pid_t Spawn(const osa::sys::ExecPlan& plan) {
  pid_t pid = vfork();
  if (pid == 0) {
    osa::sys::exec_prepared(plan);
    _exit(127);
  }
  return pid;
}

}  // namespace

bool EjectListed(uint16_t vendor) {
  for (uint16_t v : kEjectVendors)
    if (v == vendor) return true;
  return false;
}

std::vector<std::vector<std::string>> ModeSwitchCommands(uint16_t vendor, uint16_t product) {
  std::vector<std::vector<std::string>> out;
  for (const auto& e : kSwitchTable) {
    if (e.vendor != vendor || e.product != product) continue;
    char v[8], p[8];
    std::snprintf(v, sizeof v, "0x%04x", vendor);
    std::snprintf(p, sizeof p, "0x%04x", product);
    std::vector<std::string> args = {"usb_modeswitch", "-v", v, "-p", p};
    std::string_view rest = e.args;
    while (!rest.empty()) {
      std::size_t sp = rest.find(' ');
      args.emplace_back(rest.substr(0, sp));
      rest = sp == std::string_view::npos ? std::string_view{} : rest.substr(sp + 1);
    }
    out.push_back(std::move(args));
  }
  return out;
}

int SwitchUsbMode(const UsbDevice& dev) {
  auto cmds = ModeSwitchCommands(dev.vendor, dev.product);
  if (cmds.empty()) {
    NET3G_LOG(3, "no mode switch known for %04x:%04x\n", dev.vendor, dev.product);
    return -1;
  }
  int result = 0;
  for (const auto& args : cmds) {
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    osa::sys::ExecPlan plan = osa::sys::plan_exec(kModeSwitch, argv.data());
    NET3G_LOG(4, "[%d]usbmodeswitch start...\n", static_cast<int>(cmds.size()));
    pid_t pid = Spawn(plan);
    if (pid < 0) {
      NET3G_LOG(2, "Fail to vfork new process,[%d]:%s!\n", errno, strerror(errno));
      return -1;
    }
    NET3G_LOG(4, "usbmodeswitch child Pid is %d,wait...\n", static_cast<int>(pid));
    int st = 0;
    while (osa::sys::waitpid(pid, &st, 0) < 0) {
      if (errno != EINTR) {
        NET3G_LOG(2, "waitpid failed,%d:%s\n", errno, strerror(errno));
        return -1;
      }
    }
    // A switch that did not exit cleanly failed: the caller tries again.
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) result = -1;
  }
  return result;
}

void EjectDisc(const UsbDevice& dev) {
  if (!EjectListed(dev.vendor)) return;
  for (const auto& s : dev.subdevs) {
    if (s.find("sr") == std::string::npos) continue;
    if (!osa::ShellSafe(s, "", 16)) {
      NET3G_LOG(3, "storage name %s refused\n", CleanUsbText(s).c_str());
      continue;
    }
    run_cmd(("busybox eject /dev/" + s).c_str());
  }
  if (dev.vendor == 0x19d2 && dev.product == 0x1588) run_cmd("busybox eject /dev/sr0");
}

}  // namespace cellular
