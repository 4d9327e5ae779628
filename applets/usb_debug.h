// USB debug capture: the supervisor's console goes to a file on the first
// USB disk, with the kernel messages beside it.
#pragma once

namespace applets {

// 0 when standard output and standard error now go to the capture file.
int usb_debug();

}  // namespace applets
