// tools/remote/set_level_command.cpp
//
// `tarvin-remote set-level TARGET COMPONENT LEVELS`: a GLVD for the current
// mask and the level names, then an SLV; with --for, the old mask is put
// back when the time is up or on Ctrl-C.
//
// Threads: single-threaded tool.
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "cli/option_checks.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/find_target.h"
#include "remote/level_output.h"
#include "remote/level_requests.h"
#include "remote/levels.h"
#include "remote/note.h"
#include "remote/stop_signal.h"
#include "remote/tool_error.h"

namespace remote {
namespace {

struct SetLevelOptions {
  std::string target;
  std::string component;
  std::string levels;  // as typed: 0x..., a,b or +a,-b
  std::optional<std::chrono::milliseconds> temporaryFor;
};

void printMask(const std::string& what, const std::string& component, std::uint32_t clientMask,
               const Levels& levels) {
  std::cout << what << component << ": " << maskHex(clientMask) << " ("
            << joinNames(levelNamesInMask(clientMask, levels)) << ")" << std::endl;
}

int runSetLevel(const CommonOptions& common, const SetLevelOptions& options) {
  Session session(common.retry);
  const Endpoint target = findTarget(session, options.target);
  const codec::LevelDescriptions before = fetchLevelDescriptions(session, target, options.component);
  const auto wanted = parseLevelChange(options.levels, before.clientMask, before.levels);
  if (!wanted) throw ToolError{kExitUsage, wanted.error()};

  const codec::ComponentInfo after = setLevelMask(session, target, options.component, *wanted);
  printMask("", options.component, after.clientMask, before.levels);
  if (after.clientMask != *wanted) {
    note("note: the target holds " + maskHex(after.clientMask) + ", asked for " + maskHex(*wanted));
  }
  if (!options.temporaryFor) return 0;

  const auto seconds = std::chrono::duration<double>(*options.temporaryFor).count();
  std::ostringstream when;
  when << seconds;
  note("restoring " + maskHex(before.clientMask) + " after " + when.str() + " s or on Ctrl-C");
  const auto deadline = Clock::now() + *options.temporaryFor;
  Received ignored;
  for (;;) {
    const auto wait = session.receive(deadline, ignored);
    if (wait != Session::Wait::kDatagram && wait != Session::Wait::kRefused) break;
  }
  clearStop();  // the stop ends the wait; the restore must still go out
  const codec::ComponentInfo restored = setLevelMask(session, target, options.component, before.clientMask);
  printMask("restored ", options.component, restored.clientMask, before.levels);
  return 0;
}

// The options as typed.
struct SetLevelFlags {
  CommonFlags common;
  SetLevelOptions setLevel;  // all but the duration
  std::string temporaryFor;
};

}  // namespace

const Command kSetLevelCommand = {
    "set-level", "Change the enabled levels of one component", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<SetLevelFlags>();
      app.footer(
          "LEVELS is a client mask (0xE0000000), a comma list of level names or client\n"
          "levels (error,warning,28), or changes to the current mask (+debug,-info).");
      addTargetArgument(app, flags->setLevel.target);
      app.add_option("component", flags->setLevel.component, "Component name")->required();
      app.add_option("levels", flags->setLevel.levels, "Levels to enable (see below)");
      // "-debug" looks like an option to CLI11; unmatched arguments are kept
      // and taken as LEVELS below, so it need not be written after "--".
      app.allow_extras();
      app.add_option("--for", flags->temporaryFor, "Keep the change this long (e.g. 1m), then restore the old mask")
          ->check(cli::durationCheck())
          ->type_name("DURATION");
      addCommonOptions(app, flags->common, /*withJson=*/false);
      return [flags, &app] {
        const CommonOptions common = flags->common.read();
        SetLevelOptions options = flags->setLevel;
        std::vector<std::string> extras = app.remaining();
        if (options.levels.empty() && extras.size() == 1) {
          options.levels = extras.front();
          extras.clear();
        }
        if (options.levels.empty()) throw ToolError{kExitUsage, "set-level: LEVELS is required"};
        if (!extras.empty()) throw ToolError{kExitUsage, "set-level: unexpected argument '" + extras.front() + "'"};
        if (!flags->temporaryFor.empty()) options.temporaryFor = parseDuration(flags->temporaryFor, "--for");
        return runSetLevel(common, options);
      };
    }};

}  // namespace remote
