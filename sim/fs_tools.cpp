// Disk and file system tool stand-ins (see fs_tools.h).

#include "sim/fs_tools.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sim/models/disk.h"
#include "sim/mountd.h"

namespace sim {

namespace {

const char* const kTools[] = {"mke2fs",    "mkfs.ext2", "mkfs.ext3",  "mkfs.ext4",  "mkfs.xfs", "mkfs.ntfs",
                              "mkntfs",    "e2fsck",    "resize2fs",  "e4defrag",   "xfs_repair", "xfs_growfs",
                              "xfs_fsr",   "xfs_io",    "parted",     "xfs_db",     "xfs_admin"};

bool name_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// ntfs-3g [-o OPTS] DEV DIR: the broker runs the real daemon.
int ntfs3g(const Board& b, int argc, char** argv) {
  std::string opts;
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) opts = argv[++i];
    else pos.push_back(argv[i]);
  }
  if (pos.size() != 2) {
    fprintf(stderr, "usage: ntfs-3g [-o OPTIONS] DEVICE MOUNTPOINT\n");
    return 1;
  }
  if (BrokerMount(b, pos[0].c_str(), pos[1].c_str(), "ntfs-3g", 0, opts.c_str()) == 0) return 0;
  fprintf(stderr, "ntfs-3g: mount %s on %s: %s\n", pos[0].c_str(), pos[1].c_str(), strerror(errno));
  // The driver's own statuses for these (the library turns them back).
  return errno == EINVAL ? 12 : errno == EBUSY ? 16 : errno == ENXIO ? 17 : 21;
}

}  // namespace

bool FsToolKnown(const std::string& name) {
  return std::find_if(std::begin(kTools), std::end(kTools), [&](const char* t) { return name == t; }) != std::end(kTools);
}

bool TranslateToolArgs(const Board& b, std::vector<std::string>* argv,
                       const std::function<std::string(const std::string&)>& attach, std::vector<std::string>* disks,
                       std::string* why) {
  bool whole = false;
  for (size_t i = 1; i < argv->size(); ++i) {
    std::string& arg = (*argv)[i];
    std::string out;
    size_t at = 0;
    for (size_t k; (k = arg.find("/dev/", at)) != std::string::npos;) {
      size_t e = k + 5;
      while (e < arg.size() && name_char(arg[e])) ++e;
      std::string dev = arg.substr(k, e - k);
      out += arg.substr(at, k - at);
      at = e;
      DiskWindow w;
      std::string err;
      if (!FindWindow(b, dev, &w, &err)) {
        *why = err;
        disks->clear();
        disks->push_back("");  // not one of the board's disks
        return false;
      }
      disks->push_back(w.disk);
      if (!w.number) {
        out += w.image;
        whole = true;
        continue;
      }
      std::string node = attach(dev);
      if (node.empty()) {
        *why = dev + ": a partition needs the board's mount namespace (run as root)";
        return false;
      }
      out += node;
    }
    arg = out + arg.substr(at);
  }
  // Images are files: the tools that refuse one unless told.
  const std::string name = (*argv)[0];
  if (whole && (name == "mkfs.ntfs" || name == "mkntfs")) argv->insert(argv->begin() + 1, "-F");
  if (whole && (name == "xfs_repair" || name == "xfs_db")) argv->insert(argv->begin() + 1, "-f");
  return true;
}

int FsToolStandIn(const Board& b, int argc, char** argv) {
  const char* slash = strrchr(argv[0], '/');
  std::string name = slash ? slash + 1 : argv[0];
  if (name == "ntfs-3g") return ntfs3g(b, argc, argv);
  std::vector<std::string> args = {name};
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  fflush(stdout);
  int st = BrokerRunTool(b, args);
  if (st < 0) {
    // No broker (not root): whole disks only, with the host's tool found
    // on PATH after the stand-ins.
    std::vector<std::string> disks;
    std::string why;
    if (!TranslateToolArgs(b, &args, [](const std::string&) { return std::string(); }, &disks, &why)) {
      if (disks.size() == 1 && disks[0].empty()) return 0;  // another model's device: recorded only
      fprintf(stderr, "%s: %s\n", name.c_str(), why.c_str());
      return 1;
    }
    std::vector<char*> v;
    for (auto& a : args) v.push_back(a.data());
    v.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      std::string tools = b.file("tools/");
      std::string path = getenv("PATH") ? getenv("PATH") : "/usr/sbin:/usr/bin:/sbin:/bin";
      for (size_t at = 0; at <= path.size();) {
        size_t e = path.find(':', at);
        if (e == std::string::npos) e = path.size();
        std::string d = path.substr(at, e - at);
        at = e + 1;
        if (!d.empty() && d.rfind(tools, 0) != 0) ::execv((d + "/" + name).c_str(), v.data());
      }
      fprintf(stderr, "%s: no such tool on this host\n", name.c_str());
      _exit(127);
    }
    if (pid < 0) return 1;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
  }
  // The kernel reads the table again after parted changed it.
  if (name == "parted")
    for (int i = 1; i < argc; ++i) {
      DiskWindow w;
      std::string err;
      if (FindWindow(b, argv[i], &w, &err) && !w.number) RefreshPartitions(b, w.disk, true);
    }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace sim
