// tools/remote/main.cpp
//
// tarvin-remote: the command line of the remote client. Builds the parser
// from the subcommands commands.def lists, each of which declares its own
// options (command.h), and runs the one chosen.
// Exit codes: 0 done, 1 no answer, a peer error or data lost, 2 usage;
// exitCode() is the one place a failure's kind becomes one.
// With no arguments it prints the help on stderr (exit 2), as git does; an
// unknown subcommand or option is named with the nearest known one ("did
// you mean 'tail'?"), and `tarvin-remote help [COMMAND]` prints the help.
// The argument library's own texts ("A subcommand is required") are said
// in our words.
//
// Threads: single-threaded tool.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "base/tool_error.h"
#include "remote/command.h"

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

// Edits (insert, delete, replace, swap two neighbours) from a to b.
std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// " (did you mean 'tail'?)" for the nearest of `known` within a few
// edits, or nothing.
std::string suggestion(const std::string& given, const std::vector<std::string>& known) {
  std::string best;
  std::size_t bestDistance = std::max<std::size_t>(2, given.size() / 3) + 1;
  for (const std::string& name : known) {
    const std::size_t d = distance(given, name);
    if (d < bestDistance) {
      best = name;
      bestDistance = d;
    }
  }
  return best.empty() ? "" : " (did you mean '" + best + "'?)";
}

// Every option name of `parser`: "--duration", "-h".
std::vector<std::string> optionNames(const CLI::App& parser) {
  std::vector<std::string> names;
  for (const CLI::Option* option : parser.get_options()) {
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    for (const std::string& name : option->get_snames()) names.push_back("-" + name);
  }
  return names;
}

// The argument library's message for a mistake, in our words where we
// know it; with the nearest option for one it did not expect.
std::string usageMessage(const CLI::ParseError& error, const CLI::App* parser) {
  const std::string what = error.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && parser != nullptr) {
    const auto extras = parser->remaining();
    if (!extras.empty()) {
      const std::string& word = extras.front();
      if (word.starts_with("-"))
        return "unknown option '" + word + "'" + suggestion(word, optionNames(*parser));
      return "unexpected argument '" + word + "'";
    }
  }
  // "--db: 1 required TEXT missing"
  const auto missing = what.find(": 1 required ");
  if (missing != std::string::npos && what.ends_with(" missing"))
    return what.substr(0, missing) + " needs a value";
  if (what == "A subcommand is required") {
    if (parser == nullptr || parser->get_parent() == nullptr)
      return "name a command (tarvin-remote help lists them)";
    std::string names;
    for (const CLI::App* sub : parser->get_subcommands({}))
      names += (names.empty() ? "" : ", ") + sub->get_name();
    return parser->get_name() + " needs one of: " + names;
  }
  return what;
}

// The exit code of each kind of failure, as the tools document them: 2 for
// what the user gave, 1 for everything else.
int exitCode(remote::ErrorKind kind) {
  return remote::isBadInput(kind) ? remote::kExitUsage : remote::kExitNoAnswer;
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
  // `help` and `help COMMAND`, as git has them.
  if (std::strcmp(argv[1], "help") == 0) {
    if (argc == 2) {
      std::cout << app.help();
      return 0;
    }
    for (const auto& [parser, run] : commands) {
      if (parser->get_name() == argv[2]) {
        std::cout << parser->help();
        return 0;
      }
    }
    std::vector<std::string> names;
    for (const remote::Command* command : kCommands) names.push_back(command->name);
    std::cerr << "tarvin-remote: error: no command '" << argv[2] << "'"
              << suggestion(argv[2], names) << " (commands: " << commandList() << ")\n";
    return remote::kExitUsage;
  }
  // Before any command only --help and --version are known.
  const std::string first = argv[1];
  if (first.starts_with("-") && first != "-h" && first != "--help" && first != "--version") {
    std::cerr << "tarvin-remote: error: unknown option '" << first << "'"
              << suggestion(first, {"--help", "--version"})
              << "\nRun 'tarvin-remote help' for more information.\n";
    return remote::kExitUsage;
  }
  // The main parser takes no positional argument, so the first word that is
  // not an option names the subcommand.
  if (argv[1][0] != '-' && !isCommand(argv[1])) {
    std::vector<std::string> names;
    for (const remote::Command* command : kCommands) names.push_back(command->name);
    std::cerr << "tarvin-remote: error: unknown command '" << argv[1] << "'"
              << suggestion(argv[1], names) << " (commands: " << commandList()
              << ")\nRun 'tarvin-remote help' for more information.\n";
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
    const CLI::App* chosen = &app;
    for (const auto& [parser, run] : commands) {
      if (parser->parsed()) chosen = parser;
    }
    std::cerr << "tarvin-remote: error: " << usageMessage(e, chosen) << "\nRun 'tarvin-remote "
              << (chosen == &app ? std::string("help") : "help " + chosen->get_name())
              << "' for more information.\n";
    return remote::kExitUsage;
  }

  try {
    for (const auto& [parser, run] : commands) {
      if (*parser) return run();
    }
  } catch (const remote::ToolError& error) {
    std::cerr << "tarvin-remote: error: " << error.message << '\n';
    return exitCode(error.kind);
  } catch (const std::exception& error) {
    std::cerr << "tarvin-remote: error: " << error.what() << '\n';
    return remote::kExitNoAnswer;
  }
  return remote::kExitUsage;
}
