// tools/remote/main.cpp
//
// tarvin-remote: the command line of the remote client. Builds the parser
// from the subcommands commands.def lists, each of which declares its own
// options (command.h), and runs the one chosen.
// Exit codes: 0 done, 1 no answer, a peer error or data lost, 2 usage.
// With no arguments it prints the help on stderr (exit 2), as git does; an
// unknown subcommand is named with the list of known ones.
//
// Threads: single-threaded tool.
#include <CLI/CLI.hpp>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "remote/command.h"
#include "remote/tool_error.h"

namespace {

const remote::Command* const kCommands[] = {
#define TARVIN_REMOTE_COMMAND(name) &remote::name,
#include "remote/commands.def"
#undef TARVIN_REMOTE_COMMAND
};

// "discover, tail, ...", for the message about an unknown subcommand.
std::string commandList() {
  std::string names;
  for (const remote::Command* command : kCommands)
    names += (names.empty() ? "" : ", ") + std::string(command->name);
  return names;
}

bool isCommand(const char* word) {
  for (const remote::Command* command : kCommands) {
    if (std::strcmp(command->name, word) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Talks to tarvin remote log targets over UDP (ports 57008-57017).", "tarvin-remote"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "tarvin-remote " TARVIN_VERSION);
  std::vector<std::pair<CLI::App*, remote::Run>> commands;
  for (const remote::Command* command : kCommands) {
    CLI::App* parser = app.add_subcommand(command->name, command->description);
    commands.emplace_back(parser, command->setUp(*parser));
  }
  // After the subcommands, which would inherit it.
  app.footer("Run 'tarvin-remote COMMAND --help' for the options of one command.");

  if (argc < 2) {
    std::cerr << app.help();
    return remote::kExitUsage;
  }
  // The main parser takes no positional argument, so the first word that is
  // not an option names the subcommand.
  if (argv[1][0] != '-' && !isCommand(argv[1])) {
    std::cerr << "tarvin-remote: error: unknown command '" << argv[1]
              << "' (commands: " << commandList() << ")\nRun with --help for more information.\n";
    return remote::kExitUsage;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "tarvin-remote: error: " << e.what()
              << "\nRun with --help for more information.\n";
    return remote::kExitUsage;
  }

  try {
    for (const auto& [parser, run] : commands) {
      if (*parser) return run();
    }
  } catch (const remote::ToolError& error) {
    std::cerr << "tarvin-remote: error: " << error.message << '\n';
    return error.exitCode;
  } catch (const std::exception& error) {
    std::cerr << "tarvin-remote: error: " << error.what() << '\n';
    return remote::kExitNoAnswer;
  }
  return remote::kExitUsage;
}
