// tools/base/tool_error.h
//
// How a tarvin-remote command fails: ToolError, a kind and a message. The
// kind says what went wrong, not how to report it: each front end maps
// kinds once, main() to exit codes, the web server to HTTP statuses.
//
// Threads: plain values; any thread.
#pragma once

#include <string>

namespace remote {

// 0 is done; these are the rest of the contract scripts rely on. A command
// returns them itself when it ends without a ToolError (a target of several
// that did not answer, records lost on the way).
inline constexpr int kExitNoAnswer = 1;  // no answer, a peer error, or data lost
inline constexpr int kExitUsage = 2;

enum class ErrorKind {
  kBadInput,     // what the user gave: an option, an argument, a file named, a level change
  kBadRegex,     // a --grep or --exclude expression the regex engine refuses
  kBadMatch,     // a full-text query (--match) the store refuses
  kNotFound,     // something named that is not there: a component of a target
  kNoAnswer,     // a target or a peer that does not answer, or a closed port
  kDataLost,     // output, a capture or a store that could not take everything
  kLocal,        // this machine: a socket, a pipe, a timer, a state or store file
  kInterrupted,  // a stop request came first
};

// A failure that ends the command.
struct ToolError {
  ErrorKind kind;
  std::string message;
};

// Whether what the user gave is at fault, so that trying again, or another
// target, cannot help.
inline bool isBadInput(ErrorKind kind) {
  return kind == ErrorKind::kBadInput || kind == ErrorKind::kBadRegex ||
         kind == ErrorKind::kBadMatch;
}

}  // namespace remote
