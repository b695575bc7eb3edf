// tools/model/record_filter.cpp
//
// The record filters: their options, compiled patterns and the level a
// --min-level name stands for.
//
// Threads: see record_filter.h.
#include "model/record_filter.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>

#include "base/note.h"
#include "base/tool_error.h"

namespace remote {
namespace {

constexpr int kMaskBits = 32;

// A client level 0-31 as typed, or nullopt for text that is no number.
std::optional<int> clientLevelNumber(const std::string& text) {
  int value = -1;
  const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || stop != text.data() + text.size()) return std::nullopt;
  return value;
}

CLI::Validator minLevelCheck() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (text.empty()) return "give a level name or a client level 0-31";
        const auto number = clientLevelNumber(text);
        if (number && (*number < 0 || *number >= kMaskBits)) {
          return "client level " + text +
                 " is outside 0-31 (or give a level name such as error or debug)";
        }
        if (!number && (text[0] == '-' || text[0] == '+' ||
                        std::isdigit(static_cast<unsigned char>(text[0])))) {
          return "'" + text + "' is neither a level name nor a client level 0-31";
        }
        return {};
      },
      /*validator_desc=*/"");
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

// One expression per --grep or --exclude, taken as typed: a repeatable
// option would otherwise read "[[:digit:]]" as a list in brackets and
// search for ":digit:".
void addMatchOptions(CLI::App& command, MatchFlags& flags) {
  command
      .add_option("--grep", flags.grep,
                  "Only records whose text, function or file matches this POSIX extended regex "
                  "(repeatable: any)")
      ->allow_extra_args(false)
      ->type_name("REGEX");
  command
      .add_option("--exclude", flags.exclude,
                  "Leave out records whose text, function or file matches this regex (repeatable)")
      ->allow_extra_args(false)
      ->type_name("REGEX");
  command.add_flag("-i,--ignore-case", flags.ignoreCase,
                   "--grep and --exclude ignore the difference between upper and lower case");
}

void addFilterOptions(CLI::App& command, FilterFlags& flags) {
  command.add_option("--component", flags.components, "Only this component (repeatable)")
      ->type_name("NAME");
  command
      .add_option("--min-level", flags.minLevel,
                  "Only records at least this severe: a level name (debug) or a client level 0-31")
      ->check(minLevelCheck())
      ->type_name("LEVEL");
  addMatchOptions(command, flags.match);
}

RecordMatch compiledMatch(const MatchFlags& flags) {
  try {
    return RecordMatch(flags);
  } catch (const RegexError& error) {
    throw ToolError{ErrorKind::kBadRegex, "--" + error.list + ": " + error.what()};
  }
}

RecordFilter::RecordFilter(const FilterFlags& flags)
    : flags(flags),
      componentSet(flags.components.begin(), flags.components.end()),
      match(compiledMatch(flags.match)) {
  if (!flags.minLevel.empty()) {
    const auto number = clientLevelNumber(flags.minLevel);
    if (number) {
      minNumber = *number;
    } else {
      minName = flags.minLevel;
    }
  }
}

RecordFilter::~RecordFilter() = default;

int RecordFilter::minimumFor(const Levels& levels) {
  if (minName.empty()) return minNumber;
  const int level = lookupClientLevel(minName, levels);
  if (level >= 0) {
    if (!resolved) resolved = level;
    return level;
  }
  if (resolved) return *resolved;  // this component has no such name; another did
  for (const auto& d : levels) {
    if (std::find(seenNames.begin(), seenNames.end(), d.text) == seenNames.end()) {
      seenNames.push_back(d.text);
    }
  }
  if (!levels.empty()) {
    throw ToolError{ErrorKind::kBadInput,
                    "--min-level: no level '" + minName + "' (known: " + joined(seenNames) + ")"};
  }
  if (!warnedUnknown) {
    note("warning: --min-level " + minName +
         ": no level descriptions to look it up in yet; "
         "records are shown unfiltered by level until there are");
    warnedUnknown = true;
  }
  return -1;
}

std::optional<int> RecordFilter::settledMinimum(const Levels& levels) const {
  if (minName.empty()) return minNumber;
  const int level = lookupClientLevel(minName, levels);
  return level >= 0 ? std::optional<int>(level) : std::nullopt;
}

bool RecordFilter::wanted(const codec::LogRecordView& record, const Levels& levels) {
  if (!componentSet.empty() && !componentSet.contains(record.component())) return false;
  if (!match.empty() && !match.wanted(record.text(), record.function(), record.file()))
    return false;
  const int minimum = minimumFor(levels);
  const int level = recordClientLevel(record.clientMask);
  // Higher client levels are the more severe ones.
  return minimum < 0 || level < 0 || level >= minimum;
}

}  // namespace remote
