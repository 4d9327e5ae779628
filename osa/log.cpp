// The tagged log call.  Each tag met for the first time gets a registry
// entry at print level 2; lines above an entry's level are dropped, lines
// without a tag are always printed.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <new>

#include "osa/osa.h"
#include "osa/singleton.h"

namespace {

const char* const kColours[10] = {
    "\033[m",         "\033[0;32;31m", "\033[0;32;32m", "\033[0;32;34m", "\033[1;30m",
    "\033[0;36m",     "\033[0;35m",    "\033[0;33m",    "\033[1;33m",    "\033[1;37m",
};
const char kColourReset[] = "\033[m";

// The registry only grows; list nodes never move, so entry pointers stay
// valid without holding the lock.
struct Registry {
  osa::Mutex lock;
  std::list<OSA_LogEntry*> entries;
};

Registry& registry() {
  return osa::Singleton<Registry>();  // outlives every static destructor that might log
}

OSA_LogEntry* find_locked(Registry& r, const char* name) {
  for (auto* e : r.entries)
    if (std::strncmp(e->name, name, kOsaLogNameLen) == 0) return e;
  return nullptr;
}

thread_local bool t_reporting = false;  // stops the allocation-failure report from recursing

__attribute__((format(printf, 2, 0))) int print_line(int colour, const char* format, va_list ap) {
  flockfile(stdout);
  if (colour >= 0 && colour <= 9) fputs(kColours[colour], stdout);
  int n = vfprintf(stdout, format, ap);
  fputs(kColourReset, stdout);
  fflush(stdout);
  funlockfile(stdout);
  return n;
}

void register_locked(Registry& r, OSA_LogEntry* entry) {
  entry->osa_PrintBytes = 0;
  entry->statEnable = 0;
  entry->enable = 1;
  entry->state = 1;
  if (entry->printLevel > 3) entry->printLevel = 3;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  if (pthread_mutex_init(&entry->lock, &attr) != 0) printf("create lock failed\n");
  pthread_mutexattr_destroy(&attr);
  r.entries.push_back(entry);
}

// The entry for `tag`, created and registered on first use, all under the
// registry lock so two threads meeting a new tag make one entry.  nullptr
// when no entry could be made; *fresh tells whether this call made it.
OSA_LogEntry* lookup(const char* tag, bool* fresh) {
  Registry& r = registry();
  osa::LockGuard g(r.lock);
  *fresh = false;
  if (auto* e = find_locked(r, tag)) return e;
  auto* e = new (std::nothrow) OSA_LogEntry{};
  if (!e) return nullptr;
  std::memcpy(e->name, tag, kOsaLogNameLen);  // tag is a NUL-padded buffer of this size
  e->printLevel = 2;
  e->enable = 1;
  e->state = 2;
  register_locked(r, e);
  *fresh = true;
  return e;
}

}  // namespace

int OSA_logManagerRegister(OSA_LogEntry* entry) {
  if (!entry) return OSA_EFAIL;
  Registry& r = registry();
  osa::LockGuard g(r.lock);
  if (!find_locked(r, entry->name)) register_locked(r, entry);
  return OSA_SOK;
}

int OSA_logWrite(int level, int colour, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  OSA_LogEntry* entry = nullptr;
  const char* at = format ? std::strchr(format, '@') : nullptr;
  std::size_t tag_len = at ? static_cast<std::size_t>(at - format) - 1 : 0;
  if (at && at > format && tag_len < kOsaLogNameLen && !t_reporting) {
    char tag[kOsaLogNameLen] = {};
    std::memcpy(tag, format + 1, tag_len);
    bool fresh = false;
    entry = lookup(tag, &fresh);
    if (!entry) {
      t_reporting = true;
      OSA_LOG_ERROR(OSA_TAG_OSAAPP, "Register default entry for %s Failed\n", tag);
      t_reporting = false;
    } else if (fresh) {
      printf("%s|%d entry %s osa_entry->osa_PrintBytes %llu \n", "OSA_logWrite", 351, entry->name,
             static_cast<unsigned long long>(entry->osa_PrintBytes));
    }
    if (entry && (entry->state != 1 || !entry->enable || entry->printLevel < level)) {
      va_end(ap);
      return 0;
    }
  }
  int n = format ? print_line(colour, format, ap) : 0;
  va_end(ap);
  if (entry && entry->statEnable == 1 && n > 0) {
    pthread_mutex_lock(&entry->lock);
    entry->osa_PrintBytes += static_cast<uint64_t>(n);
    pthread_mutex_unlock(&entry->lock);
  }
  return 0;
}
