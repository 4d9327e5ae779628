// The manager's own log lines: "[HH:MM:SS level libnet3g:2548 tid" then
// " file:line]" and the message; printed when the level is at most the
// threshold (4 unless changed through the debug FIFO).
#pragma once

namespace cellular {

void LogLine(int level, const char* file, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
int LogThreshold();
void SetLogThreshold(int level);

}  // namespace cellular

#define NET3G_LOG(level, fmt, ...) ::cellular::LogLine(level, __FILE_NAME__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
