#!/usr/bin/env bash
# Product code reaches the kernel's machine-changing calls only through the
# seam (osa/sys.h): no direct ioctl, mount, reboot, settimeofday, stime or
# kill outside osa/ and sim/.
set -u
top=${1:?source dir}
cd "$top" || exit 2
dirs=()
for d in applets platform netcfg cellular storage optical; do [ -d "$d" ] && dirs+=("$d"); done
[ ${#dirs[@]} -gt 0 ] || exit 0
hits=$(grep -rnE --include='*.cpp' --include='*.h' \
  '(^|[^A-Za-z0-9_:.>])(::)?(ioctl|mount|umount2?|reboot|settimeofday|stime|kill)[[:space:]]*\(' "${dirs[@]}" \
  | grep -vE '^[^:]+:[0-9]+:[[:space:]]*(//|\*)')
if [ -n "$hits" ]; then
  echo "direct kernel calls outside the seam (use osa::sys::...):"
  echo "$hits"
  exit 1
fi
echo "seam check: clean"
