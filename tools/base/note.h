// tools/base/note.h
//
// note(): one line for the user on stderr, "tarvin-remote: <text>". Progress,
// warnings and the final counts go here so that stdout carries only the
// command's output.
//
// Threads: the tool is single-threaded.
#pragma once

#include <string>

namespace remote {

void note(const std::string& text);

}  // namespace remote
