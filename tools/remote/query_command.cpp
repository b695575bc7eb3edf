// tools/remote/query_command.cpp
//
// `tarvin-remote query --db FILE`: the journal view of a record store
// (store/store_query.h). Records print as tail printed them, through the
// same RecordPrinter (text or --json, with the store's ids), and gaps in
// place as "-- lost N records (sequence A to B) --" or as JSON gap objects.
// --context prints grep -C's groups separated by "--"; --follow keeps
// printing what a recorder adds; --stats prints counts instead
// (stats_output.h). --audit prints the audit trail instead: the level
// changes the tools made, with the same time, target and component filters.
//
// Exit codes: 0 done (also when nothing matched), 1 the store cannot be
// read, 2 usage or a regex or full-text query the store refused.
//
// Threads: single-threaded tool.
#include <poll.h>
#include <unistd.h>
#include <algorithm>

#include <iostream>
#include <memory>
#include <sstream>

#include "base/json_line.h"
#include "base/note.h"
#include "base/state_file.h"
#include "base/stop_signal.h"
#include "base/time_text.h"
#include "base/visible_text.h"
#include "model/record_filter.h"
#include "model/time_options.h"
#include "output/record_output.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/stats_output.h"
#include "remote/store_failure.h"
#include "store/store.h"
#include "store/store_stats.h"
#include "web/web_api.h"

namespace remote {
namespace {

// How often --follow looks for new entries: each look is one short read
// transaction, and a recorder commits every 100 ms.
constexpr std::chrono::milliseconds kFollowPoll{200};

// The options as typed.
struct QueryFlags {
  std::string db;
  std::string since, until;
  std::vector<std::string> targets, components;
  std::string minLevel, levels;
  MatchFlags regex;  // --grep, --exclude, --ignore-case
  std::string match;
  int context = 0;
  std::int64_t limit = 0;
  std::int64_t newest = 0;  // -n: the newest N, oldest first
  std::string output = "short";
  std::string timestamps = "short";
  bool utc = false;
  bool reverse = false, follow = false, json = false, stats = false, audit = false;
  std::string color = "auto";
};

// A component the store has no record of selects nothing: said, as tail
// says it of a target, so a typo does not look like a quiet component.
void warnUnknownComponents(const std::vector<std::string>& asked, store::Store& store,
                           const std::string& where) {
  if (asked.empty()) return;
  const std::vector<std::string> known = store.components();
  std::string missing;
  for (const std::string& name : asked) {
    if (std::find(known.begin(), known.end(), name) == known.end())
      missing += (missing.empty() ? "'" : ", '") + name + "'";
  }
  if (missing.empty()) return;
  std::string has;
  for (const std::string& name : known) has += (has.empty() ? "" : ", ") + name;
  note("warning: no component " + missing + " in " + where + " (it has: " + has + ")");
}

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> items;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

int clientLevel(const std::string& name, const Levels& known, const char* option) {
  const int level = lookupClientLevel(name, known);
  if (level >= 0) return level;
  std::string names;
  for (const auto& d : known) {
    if (names.find(d.text) == std::string::npos) names += (names.empty() ? "" : ", ") + d.text;
  }
  throw ToolError{ErrorKind::kBadInput,
                  std::string(option) + ": no level '" + name + "' in the store (" +
                      (names.empty() ? std::string("none named yet") : "it has " + names) +
                      "; or a client level 0-31)"};
}

// The Filter for the flags. Level names and targets without a port are
// looked up in the store: names as its records were named, HOST as every
// target of that host.
store::Filter readFilter(const QueryFlags& flags, store::Store& store) {
  store::Filter filter;
  const auto now = SystemClock::now();
  const auto ns = [](SystemClock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  };
  if (!flags.since.empty()) filter.sinceNs = ns(parseTimeBound(flags.since, "--since", now));
  if (!flags.until.empty()) filter.untilNs = ns(parseTimeBound(flags.until, "--until", now));
  filter.targets = store::targetsNamed(store, flags.targets);
  filter.components = flags.components;
  if (!flags.minLevel.empty() || !flags.levels.empty()) {
    const Levels known = store.levels();
    if (!flags.minLevel.empty())
      filter.minClientLevel = clientLevel(flags.minLevel, known, "--min-level");
    for (const std::string& name : split(flags.levels))
      filter.clientLevels.push_back(clientLevel(name, known, "--level"));
    if (!flags.levels.empty() && filter.clientLevels.empty())
      throw ToolError{ErrorKind::kBadInput, "--level: no level named"};
  }
  compiledMatch(flags.regex);  // refused as the followers refuse it, before the store is asked
  filter.regex = flags.regex;
  filter.match = flags.match;
  filter.context = flags.context;
  filter.limit = flags.limit;
  filter.reverse = flags.reverse;
  return filter;
}

// Prints rows as they come from a Query.
class RowPrinter {
 public:
  RowPrinter(const OutputOptions& output, bool nameSources)
      : output(output), records(output, everything, std::cout) {
    records.nameSources(nameSources);
    namingSources = nameSources;
  }

  bool operator()(const store::Row& row) {
    if (row.separatorBefore && !output.json) std::cout << "--\n";
    if (const auto* stored = std::get_if<store::StoredRecord>(&row.entry)) {
      // The level name as the recorder had it, through the printer that
      // named it live: a description with the record's one client level.
      const int level = recordClientLevel(stored->arrived.record.clientMask);
      Levels named;
      if (level >= 0) named.push_back({static_cast<std::uint32_t>(level), stored->levelName});
      records.knowSource(stored->arrived.source, stored->applicationName);
      records.offer(stored->arrived, named, stored->id);
      return true;
    }
    const store::StoredGap& gap = std::get<store::StoredGap>(row.entry);
    records.knowSource(gap.target, gap.applicationName);
    if (output.json) {
      records.offerGap(gap, gap.id);
    } else {
      std::cout << (namingSources ? records.sourceText(gap.target) : "") << "-- " << gap.gap.text()
                << " --\n";
    }
    return true;
  }

 private:
  const OutputOptions& output;
  RecordFilter everything{FilterFlags{}};  // the store's query has filtered already
  RecordPrinter records;
  bool namingSources = false;
};

// Waits until the next look for new entries; false once a stop came.
bool waitForMore() {
  pollfd stop = {stopWakeFd(), POLLIN, 0};
  ::poll(&stop, 1, static_cast<int>(kFollowPoll.count()));  // EINTR: a signal, seen below
  return !stopRequested();
}

// One audit row on a line: when, where, from what to what, by whom, why.
std::string auditText(const store::AuditRow& row) {
  const auto named = [](std::uint32_t mask, const std::string& names) {
    std::string shown;
    for (char c : names) shown += c == ',' ? std::string(", ") : std::string(1, c);
    return maskHex(mask) + " (" + (shown.empty() ? "(none)" : shown) + ")";
  };
  // Names as targets and tokens gave them: control characters escaped.
  return formatTime(row.at, TimeStyle::kLocalDateTime) + " " + row.target +
         (row.application.empty() ? "" : " " + visible(row.application)) + " " +
         visible(row.component) + ": " + named(row.maskBefore, visible(row.levelsBefore)) + " -> " +
         named(row.maskAfter, visible(row.levelsAfter)) + " by " + visible(row.by) + " (" +
         row.why + ")";
}

int runAudit(const QueryFlags& flags) {
  const std::unique_ptr<store::Store> opened =
      store::openStore(storePath(flags.db), store::Access::kRead);
  store::AuditFilter filter;
  const auto now = SystemClock::now();
  const auto ns = [](SystemClock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  };
  if (!flags.since.empty()) filter.sinceNs = ns(parseTimeBound(flags.since, "--since", now));
  if (!flags.until.empty()) filter.untilNs = ns(parseTimeBound(flags.until, "--until", now));
  filter.targets = flags.targets;
  filter.components = flags.components;
  filter.limit = flags.newest > 0 ? flags.newest : flags.limit;
  const bool json = flags.json || flags.output == "json";
  for (const store::AuditRow& row : opened->audit(filter))
    std::cout << (json ? web::dump(web::auditJson(row)) : auditText(row)) << '\n';
  std::cout.flush();
  return 0;
}

int runQuery(const QueryFlags& flags) {
  if (flags.audit) return runAudit(flags);
  if (flags.follow && (flags.context > 0 || flags.reverse)) {
    throw ToolError{
        ErrorKind::kBadInput,
        "query: --follow shows entries in the order they come; no --context or --reverse"};
  }
  if (flags.newest > 0 && (flags.limit > 0 || flags.reverse))
    throw ToolError{ErrorKind::kBadInput,
                    "query: -n shows the newest N oldest first; no --limit or --reverse"};
  const std::unique_ptr<store::Store> opened =
      store::openStore(storePath(flags.db), store::Access::kRead);
  store::Store& store = *opened;
  store::Filter filter = readFilter(flags, store);
  if (flags.newest > 0) filter.limit = flags.newest;
  if (flags.stats) {
    printStats(store.stats(filter), flags.json, std::cout);
    return 0;
  }
  warnUnknownComponents(flags.components, store, storePath(flags.db));
  OutputOptions output;
  output.json = flags.json || flags.output == "json";
  output.isoTimes = flags.timestamps == "iso";
  output.utc = flags.utc;
  output.color = flags.color == "always" || (flags.color == "auto" && ::isatty(STDOUT_FILENO));
  const bool severalTargets =
      filter.targets.empty() ? store.targets().size() > 1 : filter.targets.size() > 1;
  RowPrinter print(output, severalTargets);
  if (!flags.follow && flags.newest == 0) {
    store.query(filter)->run(std::ref(print));
    std::cout.flush();
    return 0;
  }

  if (flags.follow) installStopHandlers();
  std::int64_t high = 0;
  if (filter.limit > 0) {
    // The newest N, oldest first, as tail -n shows them; then what comes.
    store::Filter newest = filter;
    newest.reverse = true;
    std::vector<store::Row> rows;
    high = store.query(newest)->run([&](const store::Row& row) {
      rows.push_back(row);
      return true;
    });
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) print(*row);
    std::cout.flush();
    if (!flags.follow) return 0;
    filter.limit = 0;
    filter.afterId = high;
  }
  const std::unique_ptr<store::Query> live = store.query(filter);
  do {
    high = live->run(std::ref(print));
    std::cout.flush();
    live->resumeAfter(high);
  } while (waitForMore());
  return 0;
}

}  // namespace

const Command kQueryCommand = {
    "query", "Print the records and gaps of a record store, filtered", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<QueryFlags>();
      app.footer(
          "WHEN is an age (10m, 2h, 7d: that long ago), a local date and time\n"
          "('2024-05-01 12:00', 2024-05-01T12:00:30.5, Z for UTC), a time of today\n"
          "(08:15), today, yesterday, now, or @SECONDS since the epoch. Gaps show in place as\n"
          "'-- lost N records (sequence A to B) --'. --match takes full-text syntax:\n"
          "words, \"phrases\", prefix*, AND, OR, NOT, column:word (text, function,\n"
          "file, component).");
      app.add_option("--db", flags->db,
                     "Record store to read: a SQLite file or clickhouse://[USER@]HOST[:PORT]/"
                     "DATABASE (default: " +
                         std::string(kDefaultStoreHelp) + ")");
      app.add_option_function<std::string>(
          "--db-password-file", store::setPasswordFile,
          "File whose first line is the password of a clickhouse:// store (else "
          "$TARVIN_DB_PASSWORD)");
      app.add_option("-S,--since", flags->since, "Only records received at or after WHEN");
      app.add_option("-U,--until", flags->until, "Only records received before WHEN");
      app.add_option("-u,--target", flags->targets,
                     "Only this target, HOST:PORT or every one of HOST (repeatable)");
      app.add_option("--component", flags->components, "Only this component (repeatable)");
      auto* minLevel =
          app.add_option("-p,--min-level", flags->minLevel,
                         "Only records at least this severe (level name or client level)");
      app.add_option("--level", flags->levels, "Only these levels: a,b,c (names or client levels)")
          ->excludes(minLevel);
      addMatchOptions(app, flags->regex);
      app.add_option("--match", flags->match, "Only records the full-text query matches");
      auto* context = app.add_option("--context", flags->context,
                                     "Also N records of the same target around each")
                          ->check(CLI::Range(0, 1000));
      auto* limit = app.add_option("--limit", flags->limit,
                                   "At most N records (with --follow: the newest N first)")
                        ->check(CLI::NonNegativeNumber);
      auto* reverse = app.add_flag("--reverse", flags->reverse, "Newest first");
      auto* follow = app.add_flag("-f,--follow", flags->follow,
                                  "Keep printing records as a recorder adds them");
      auto* newest = app.add_option("-n,--lines", flags->newest,
                                    "The newest N records, printed oldest first (with --follow: "
                                    "then what comes)")
                         ->check(CLI::PositiveNumber)
                         ->excludes(limit)
                         ->excludes(reverse);
      app.add_option("-o,--output", flags->output, "short (as tail prints) or json (as --json)")
          ->check(CLI::IsMember({"short", "json"}));
      app.add_flag("--json", flags->json,
                   "Print JSON, one object per line (records as tail --json)");
      addTimeOptions(app, flags->timestamps, flags->utc);
      app.add_option("--color", flags->color, "Colour level names: auto, always, never")
          ->check(CLI::IsMember({"auto", "always", "never"}))
          ->capture_default_str();
      auto* audit = app.add_flag("--audit", flags->audit,
                                 "Print the level changes the tools made, not records (with "
                                 "--since, --until, --target, --component, -n, --json)");
      for (const char* recordsOnly : {"--min-level", "--level", "--grep", "--exclude", "--match",
                                      "--context", "--reverse", "--follow"})
        audit->excludes(recordsOnly);
      app.add_flag("--stats", flags->stats,
                   "Print records per target, component and level, and the gaps")
          ->excludes(audit)
          ->excludes(context)
          ->excludes(limit)
          ->excludes(reverse)
          ->excludes(follow)
          ->excludes(newest);
      return [flags] {
        try {
          return runQuery(*flags);
        } catch (const store::StoreError& error) {
          // SQLite's words on a full-text query do not say which option.
          if (error.kind() == store::StoreError::Kind::kBadMatch)
            throw ToolError{ErrorKind::kBadMatch,
                            "--match '" + flags->match + "': " + error.what()};
          throw toolError(error);
        }
      };
    }};

}  // namespace remote
