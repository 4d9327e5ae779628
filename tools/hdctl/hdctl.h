// The call tables of hdctl beyond its main file.
#pragma once

#include <vector>

// True when the call was one of these; *status 2 for a usage error.
bool RunDiskCall2(const std::vector<const char*>& a, int* status);
bool RunAccessCall(const std::vector<const char*>& a, int* status);
