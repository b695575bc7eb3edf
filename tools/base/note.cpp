// tools/base/note.cpp
//
// Messages on stderr, flushed at once so they interleave with stdout in the
// order they happened. A status line stays on the terminal's last line and
// is written over by the next one; a note first clears it, so a warning
// never lands in the middle of it.
//
// Threads: any thread may call; a status line is for one thread's progress.
#include "base/note.h"

#include <atomic>
#include <iostream>

namespace remote {
namespace {

std::atomic<bool> statusShown{false};

// "\r" back to the line's start, "ESC [K" clears to its end.
constexpr const char* kClearLine = "\r\x1b[K";

}  // namespace

void note(const std::string& text) {
  if (statusShown.exchange(false)) std::cerr << kClearLine;
  std::cerr << "tarvin-remote: " << text << std::endl;
}

void status(const std::string& text) {
  statusShown = true;
  std::cerr << kClearLine << "tarvin-remote: " << text << std::flush;
}

}  // namespace remote
