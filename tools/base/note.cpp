// tools/base/note.cpp
//
// Messages on stderr, flushed at once so they interleave with stdout in the
// order they happened.
//
// Threads: the tool is single-threaded.
#include "base/note.h"

#include <iostream>

namespace remote {

void note(const std::string& text) { std::cerr << "tarvin-remote: " << text << std::endl; }

}  // namespace remote
