// tools/base/note.h
//
// note(): one line for the user on stderr, "tarvin-remote: <text>". Progress,
// warnings and the final counts go here so that stdout carries only the
// command's output.
//
// Threads: any thread may call note(); status() is for one thread's
// progress.
#pragma once

#include <string>

namespace remote {

void note(const std::string& text);

// A line of progress on a terminal, "tarvin-remote: <text>" in place of the
// last one, with no newline; the next note() clears it. Only for stderr on
// a terminal: elsewhere use note().
void status(const std::string& text);

}  // namespace remote
