// bootenv: prints the boot environment, one variable, or sets one.  On a
// terminal, control bytes of names and values are shown as \xNN.

#include <unistd.h>

#include <cstdio>

#include "applets/applets.h"
#include "osa/osa.h"
#include "platform/env/bootenv.h"

namespace applets {

namespace {

constexpr int kRevision = 4517;

void usage() {
  const char* rule = "-------------------------------------------------";
  printf("%s\n", rule);
  printf("Version: %d(%s %s)\n", kRevision, __DATE__, __TIME__);
  printf("Usage: bootenv [name value]\n");
  printf("Edit boot environment\n");
  printf("Example:\n");
  printf("\tbootenv ipaddr 192.168.1.2\n");
  printf("%s\n", rule);
}

}  // namespace

int BootenvMain(int argc, char** argv) {
  OSA_LOG_DEBUG("bootenv libdvr version:    %d %s %s\n", kRevision, __DATE__, __TIME__);
  switch (argc) {
    case 1:
      usage();
      printf("current boot environment is:\n");
      fflush(stdout);
      BootEnvPrint();
      return 0;
    case 2: {
      char value[256];
      if (BootEnvGetValue(argv[1], value, sizeof value) != 0) {
        printf("get env err\n");
      } else if (isatty(STDOUT_FILENO) == 1) {  // stored bytes must not drive the terminal
        printf("%s is %s\n", bootenv::ForTerminal(argv[1]).c_str(), bootenv::ForTerminal(value).c_str());
      } else {
        printf("%s is %s\n", argv[1], value);
      }
      return 0;
    }
    case 3:
      return BootSetPara(argv[1], argv[2]) == 0 ? 0 : -1;
    default:
      printf("invalid argument\n");
      usage();
      return 0;
  }
}

}  // namespace applets
