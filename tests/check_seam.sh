#!/usr/bin/env bash
# Product code reaches the kernel only through the seam (osa/sys.h): no
# direct machine-changing call (ioctl, mount, reboot, clock, kill), serial
# line control, wait on descriptors, sysinfo, fdatasync, FIFO
# creation, local socket set-up, child waits or kernel event socket
# outside osa/ and sim/, and no asking whether the board is simulated.
set -u
top=${1:?source dir}
cd "$top" || exit 2
dirs=()
for d in applets platform netcfg cellular storage optical; do [ -d "$d" ] && dirs+=("$d"); done
[ ${#dirs[@]} -gt 0 ] || exit 0
# Conversions under way on other branches: FILE:CALL|CALL...  An entry goes
# with the conversion of its file.
pending=''
# String literals and line comments are blanked first: messages may name the calls.
hits=$(find "${dirs[@]}" \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z | PENDING="$pending" xargs -0 perl -ne '
  BEGIN {
    for (split /\n/, $ENV{PENDING}) { my ($f, $c) = split /:/, $_, 2; $pending{$f} = qr/^(?:$c)$/; }
  }
  s/"(?:[^"\\]|\\.)*"/""/g; s{//.*}{};
  my @calls;
  push @calls, $3 while /(^|[^A-Za-z0-9_:.>])(::)?(ioctl|mount|umount2?|reboot|settimeofday|stime|kill|tc(?:getattr|setattr|flush|flow|drain|sendbreak)|cf(?:set\w*|makeraw)|poll|ppoll|select|pselect|sysinfo|fdatasync|mkfifo|listen|accept4?|connect|waitpid)\s*\(/g;
  push @calls, "socket(AF_NETLINK" if /(^|[^A-Za-z0-9_:.>])(::)?socket\s*\(\s*[AP]F_NETLINK/;
  push @calls, "simulated" if /\bsimulated\s*\(/;  # the product behaves the same on a simulated board
  @calls = grep { !($pending{$ARGV} && $_ =~ $pending{$ARGV}) } @calls;
  print "$ARGV:$.: $_" if @calls;
  close ARGV if eof;')
if [ -n "$hits" ]; then
  echo "direct kernel calls outside the seam (use osa::sys::...):"
  echo "$hits"
  exit 1
fi
echo "seam check: clean"
