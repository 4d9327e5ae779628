#include <cstdio>
#include <cstring>

#include "applets/applets.h"

namespace applets {

namespace {

constexpr Applet kApplets[] = {
#define DVR_APPLET(name, handler, policy) {#name, handler, policy},
#include "applets/applets.def"
#undef DVR_APPLET
    {nullptr, nullptr},
};

}  // namespace

std::span<const Applet> Table() { return kApplets; }

int Dispatch(int argc, char** argv) {
  if (!argv || !argv[0]) return -1;
  const char* slash = std::strrchr(argv[0], '/');
  const char* name = slash ? slash + 1 : argv[0];
  if (*name == '\0') printf("cmdstr is zero length string \n");
  else
    for (const Applet* a = kApplets; a->name; ++a)
      if (std::strcmp(a->name, name) == 0) {
        int r = a->handler(argc, argv);
        return a->policy == OWN_STATUS || r == 0 ? r : -1;
      }
  printf("cann't find cmdstr:%s\n", argv[0]);
  return -1;
}

int NotBuilt(const char* name) {
  fprintf(stderr, "%s: this applet is not built yet\n", name);
  return -1;
}

}  // namespace applets
