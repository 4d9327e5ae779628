#!/usr/bin/env bash
# The seam check itself: it must flag each kind of direct call in product
# folders and leave seam calls, member calls, messages and comments alone.
set -u
check=${1:?check_seam.sh}
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/platform/x" "$tmp/osa"
cat >"$tmp/platform/x/bad.cpp" <<'SRC'
int a = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
int b = ::socket(PF_NETLINK, SOCK_RAW, 15);
int c = ::poll(&p, 1, 0);
int d = select(1, 0, 0, 0, 0);
int e = pselect(1, 0, 0, 0, 0, 0);
int f = tcgetattr(fd, &t) + tcsetattr(fd, 0, &t) + tcflush(fd, 0) + tcflow(fd, 0);
int g = cfsetispeed(&t, B9600);
int h = sysinfo(&si);
int i = fdatasync(fd);
int j = ioctl(fd, 1, 0);
int k = kill(pid, 9);
if (osa::sys::simulated()) {}
int l = mkfifo(p, 0) + listen(fd, 5) + accept4(fd, 0, 0, 0) + connect(fd, 0, 0) + waitpid(pid, 0, 0);
SRC
cat >"$tmp/platform/x/good.cpp" <<'SRC'
int a = osa::sys::socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
int b = socket(AF_INET, SOCK_DGRAM, 0);
int c = osa::sys::poll(&p, 1, 0) + dev.poll(1) + dev->select(2);
int d = osa::sys::unlink(p) + osa::sys::waitpid(pid, 0, 0) + fs.unlink(p) + obj->connect(x);
struct sysinfo si;
log("poll( and sysinfo( failed");  // tcflush(fd)
SRC
cp "$tmp/platform/x/bad.cpp" "$tmp/osa/sys.cpp"  # the seam itself may
out=$("$check" "$tmp")
rc=$?
flagged=$(printf '%s\n' "$out" | grep -c '^platform/x/bad.cpp:')
if [ $rc -ne 1 ] || [ "$flagged" -ne 13 ] || printf '%s\n' "$out" | grep -q 'good.cpp\|^osa/'; then
  echo "seam check self-test failed (rc $rc, $flagged of 13 lines flagged):"
  echo "$out"
  exit 1
fi
echo "seam check self-test: ok"
