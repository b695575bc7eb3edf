// tools/remote/alerts_command.cpp
//
// `tarvin-remote alerts check FILE...`: reads alert rule files as a
// recorder loading them with --alerts would and names the line of every
// mistake, so that a file can be checked before it is deployed. Exit 0
// when every file is good, 2 when any has a mistake or cannot be read.
//
// Threads: single-threaded tool.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "alerts/alert_rules.h"
#include "base/tool_error.h"
#include "remote/command.h"

namespace remote {
namespace {

int checkFiles(const std::vector<std::string>& paths) {
  int status = 0;
  for (const std::string& path : paths) {
    const alerts::RuleFile file = alerts::readRules(path);
    if (file.errors.empty()) {
      std::cout << path << ": " << file.rules.size()
                << (file.rules.size() == 1 ? " rule" : " rules") << ", no mistakes\n";
      continue;
    }
    status = kExitUsage;
    for (const alerts::RuleError& error : file.errors) {
      std::cerr << path;
      if (error.line > 0) std::cerr << ':' << error.line;
      std::cerr << ": " << error.message << '\n';
    }
    if (file.errors.front().line > 0) {
      std::cerr << path << ": " << file.errors.size()
                << (file.errors.size() == 1 ? " mistake" : " mistakes") << '\n';
    }
  }
  std::cout.flush();
  return status;
}

}  // namespace

const Command kAlertsCommand = {
    "alerts", "Check alert rule files", [](CLI::App& app) -> Run {
      app.require_subcommand(1);
      CLI::App* check = app.add_subcommand(
          "check", "Read alert rule files and name the line of every mistake (exit 2 if any)");
      auto paths = std::make_shared<std::vector<std::string>>();
      check->add_option("FILE", *paths, "Alert rule files (TOML)")->required()->type_name("FILE");
      return [paths] { return checkFiles(*paths); };
    }};

}  // namespace remote
