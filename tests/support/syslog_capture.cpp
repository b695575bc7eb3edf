// tests/support/syslog_capture.cpp: syslog() and its fortified variants,
// defined in the test executable so that the plug-in's messages come here.
//
// Threads: any thread logs; one mutex and condition variable guard the list.
#include "support/syslog_capture.h"

#include <syslog.h>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace syslog_capture {
namespace {
std::mutex mutex;
std::condition_variable changed;
std::vector<Entry> captured;

void record(int priority, const char* format, va_list args) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  {
    std::lock_guard lock(mutex);
    captured.push_back({priority, text});
  }
  changed.notify_all();
}
}  // namespace

std::vector<Entry> entries() {
  std::lock_guard lock(mutex);
  return captured;
}

void clear() {
  std::lock_guard lock(mutex);
  captured.clear();
}

int count(const std::string& text) {
  std::lock_guard lock(mutex);
  return static_cast<int>(std::count_if(captured.begin(), captured.end(),
                                        [&](const Entry& e) { return e.text == text; }));
}

bool waitFor(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [&] {
    return std::any_of(captured.begin(), captured.end(),
                       [&](const Entry& e) { return e.text == text; });
  });
}

}  // namespace syslog_capture

extern "C" {
void vsyslog(int priority, const char* format, va_list args) {
  syslog_capture::record(priority, format, args);
}
void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  syslog_capture::record(priority, format, args);
  va_end(args);
}
void __vsyslog_chk(int priority, int /*flag*/, const char* format, va_list args) {
  syslog_capture::record(priority, format, args);
}
void __syslog_chk(int priority, int /*flag*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  syslog_capture::record(priority, format, args);
  va_end(args);
}
}
