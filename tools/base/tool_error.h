// tools/base/tool_error.h
//
// How a tarvin-remote command fails: the exit codes and ToolError, which
// main() turns into "tarvin-remote: error: ..." and the code.
//
// Threads: plain values; the tool is single-threaded.
#pragma once

#include <string>

namespace remote {

// 0 is done; these are the rest of the contract scripts rely on.
inline constexpr int kExitNoAnswer = 1;  // no answer, a peer error, or data lost
inline constexpr int kExitUsage = 2;

// A failure that ends the command.
struct ToolError {
  int exitCode;
  std::string message;
};

}  // namespace remote
