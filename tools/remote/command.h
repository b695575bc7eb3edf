// tools/remote/command.h
//
// A subcommand of tarvin-remote: its name, its line in --help, and setUp(),
// which declares the subcommand's options on its parser and returns what
// runs it once the command line is parsed. Each subcommand's file defines
// one (`const Command kTailCommand` in tail_command.cpp) and commands.def
// lists them all, which declares them here; main() only builds the parser
// from that list and dispatches.
//
// A Run returns the exit code (0 done, 1 no answer, a peer error or data
// lost) and throws ToolError for failures that end it early.
//
// Threads: single-threaded tool.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace remote {

using Run = std::function<int()>;

struct Command {
  const char* name;
  const char* description;
  Run (*setUp)(CLI::App& command);
};

#define TARVIN_REMOTE_COMMAND(name) extern const Command name;
#include "remote/commands.def"
#undef TARVIN_REMOTE_COMMAND

}  // namespace remote
