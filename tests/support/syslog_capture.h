// tests/support/syslog_capture.h
//
// The test executable defines syslog() itself (syslog_capture.cpp), so every
// message the plug-in writes lands here instead of in the system log, where
// tests can wait for it and check its priority and text.
//
// Threads: messages arrive on any thread; waiting and reading on the test's.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace syslog_capture {

struct Entry {
  int priority;
  std::string text;
  bool operator==(const Entry&) const = default;
  friend void PrintTo(const Entry& e, std::ostream* out) { *out << e.priority << " " << e.text; }
};

std::vector<Entry> entries();
void clear();
// How many captured messages have exactly this text.
int count(const std::string& text);
// Waits until a message with exactly this text has been captured.
bool waitFor(const std::string& text,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

}  // namespace syslog_capture
