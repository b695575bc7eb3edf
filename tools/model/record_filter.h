// tools/model/record_filter.h
//
// Which log records tail, forward and replay pass on: --component,
// --min-level, --grep and --exclude, declared once for all three and
// applied by one RecordFilter, so that a record tail shows is a record
// forward sends.
//
// --min-level takes a client level 0-31 or a level name. A name means the
// client level some component's level descriptions give it, so it can be
// checked only once descriptions are known: a name that none of them has
// is a usage error naming the levels they do have. --grep, --exclude and
// -i/--ignore-case mean what they mean everywhere (record_match.h).
//
// Threads: a filter belongs to the thread that follows the targets.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "codec/client_codec.h"
#include "model/levels.h"
#include "model/record_match.h"

namespace CLI {
class App;  // declared only: CLI11 adds seconds to every file that includes it
}

namespace remote {

// The filter options as typed.
struct FilterFlags {
  std::vector<std::string> components;  // empty: every component
  std::string minLevel;                 // empty: every level
  MatchFlags match;                     // --grep, --exclude, --ignore-case
};

// --grep, --exclude and -i/--ignore-case, worded alike for every command
// that takes them (query too).
void addMatchOptions(CLI::App& command, MatchFlags& flags);

// The expressions compiled; throws ToolError (usage) naming the option and
// giving the regex library's message for one that does not compile.
RecordMatch compiledMatch(const MatchFlags& flags);

// --component, --min-level and the match options.
void addFilterOptions(CLI::App& command, FilterFlags& flags);

class RecordFilter {
 public:
  // Throws ToolError (usage) for a pattern that does not compile, with the
  // regex engine's message.
  explicit RecordFilter(const FilterFlags& flags);
  ~RecordFilter();
  RecordFilter(const RecordFilter&) = delete;
  RecordFilter& operator=(const RecordFilter&) = delete;

  // Whether the record passes; `levels` are its component's level
  // descriptions, empty when unknown. Throws ToolError (usage) when
  // --min-level names a level that neither these nor any descriptions seen
  // before have.
  // Hot path: no allocation once the filter has seen the record's levels
  // (but glibc's regexec() of --grep and --exclude may allocate).
  bool wanted(const codec::LogRecordView& record, const Levels& levels);

  // The client level --min-level means for a record with these level
  // descriptions once that is settled (a number, or a name these
  // descriptions have; -1 without --min-level), so that a caller may check
  // further records of the same descriptions by their level alone. nullopt
  // while it depends on descriptions seen later.
  std::optional<int> settledMinimum(const Levels& levels) const;
  // Whether --min-level is a name, which needs level descriptions.
  bool needsLevels() const { return !minName.empty(); }
  const std::vector<std::string>& components() const { return flags.components; }

 private:
  int minimumFor(const Levels& levels);

  const FilterFlags flags;
  const std::set<std::string, std::less<>> componentSet;
  int minNumber = -1;                  // --min-level as a client level
  std::string minName;                 // or as a name
  std::optional<int> resolved;         // the name's client level, once a component had it
  std::vector<std::string> seenNames;  // level names of every description seen, in the hosts' order
  bool warnedUnknown = false;
  RecordMatch match;
};

}  // namespace remote
