// The multi-call entry: one table of applets, dispatched on the name the
// executable was started under.
#pragma once

#include <span>

namespace applets {

using Handler = int (*)(int argc, char** argv);

struct Applet {
  const char* name;
  Handler handler;
  // The handler's result is the exit status as it stands (tools whose
  // callers read their statuses); otherwise any non-zero result is -1.
  bool own_status = false;
};

// The table in dispatch order, ending with a row whose name is null.
std::span<const Applet> Table();

// The entry: runs the applet named by the last path component of argv[0].
// Returns 0 when it returned 0, -1 otherwise or when no applet matched;
// an applet with its own statuses gets its result passed on.
int Dispatch(int argc, char** argv);

// Handlers.
int DvrhelperMain(int argc, char** argv);
int NetinitMain(int argc, char** argv);
int BootenvMain(int argc, char** argv);
int PppdMain(int argc, char** argv);
int SendbootMain(int argc, char** argv);
int PrintcliMain(int argc, char** argv);
int EracfgMain(int argc, char** argv);
int Net3gMain(int argc, char** argv);

// For handlers whose subsystem is not in this build yet.
int NotBuilt(const char* name);

}  // namespace applets
