// The multi-call entry: one table of applets (applets.def), dispatched on
// the name the executable was started under.
#pragma once

#include <span>

namespace applets {

using Handler = int (*)(int argc, char** argv);

// What the entry makes of a handler's result.
enum StatusPolicy : bool {
  ANY_FAILURE = false,  // any non-zero result is -1
  OWN_STATUS = true,    // the result is the exit status as it stands (tools whose callers read it)
};

struct Applet {
  const char* name;
  Handler handler;
  StatusPolicy policy = ANY_FAILURE;
};

// The table in dispatch order, ending with a row whose name is null.
std::span<const Applet> Table();

// The entry: runs the applet named by the last path component of argv[0].
// Returns 0 when it returned 0, -1 otherwise or when no applet matched;
// an applet with its own statuses gets its result passed on.
int Dispatch(int argc, char** argv);

// Handlers.
#define DVR_APPLET(name, handler, policy) int handler(int argc, char** argv);
#include "applets/applets.def"
#undef DVR_APPLET

// For handlers whose subsystem is not in this build yet.
int NotBuilt(const char* name);

}  // namespace applets
