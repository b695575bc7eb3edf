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

struct RecordFilter::Pattern {
  regex_t regex{};
  bool compiled = false;  // regfree() only what regcomp() built
  ~Pattern() {
    if (compiled) ::regfree(&regex);
  }
};

void addFilterOptions(CLI::App& command, FilterFlags& flags) {
  command.add_option("--component", flags.components, "Only this component (repeatable)")
      ->type_name("NAME");
  command
      .add_option("--min-level", flags.minLevel,
                  "Only records at least this severe: a level name (debug) or a client level 0-31")
      ->check(minLevelCheck())
      ->type_name("LEVEL");
  command
      .add_option(
          "--grep", flags.grep,
          "Only records whose text, function or file matches this extended regex (repeatable: any)")
      ->type_name("REGEX");
  command
      .add_option("--exclude", flags.exclude,
                  "Leave out records whose text, function or file matches this regex (repeatable)")
      ->type_name("REGEX");
}

RecordFilter::RecordFilter(const FilterFlags& flags)
    : flags(flags), componentSet(flags.components.begin(), flags.components.end()) {
  if (!flags.minLevel.empty()) {
    const auto number = clientLevelNumber(flags.minLevel);
    if (number) {
      minNumber = *number;
    } else {
      minName = flags.minLevel;
    }
  }
  const auto compile = [](const std::string& text, const char* option) {
    auto pattern = std::make_unique<Pattern>();
    const int rc = ::regcomp(&pattern->regex, text.c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      char message[256];
      ::regerror(rc, &pattern->regex, message, sizeof message);
      throw ToolError{ErrorKind::kBadRegex,
                      std::string(option) + ": invalid regex '" + text + "': " + message};
    }
    pattern->compiled = true;
    return pattern;
  };
  for (const std::string& text : flags.grep) grep.push_back(compile(text, "--grep"));
  for (const std::string& text : flags.exclude) exclude.push_back(compile(text, "--exclude"));
}

RecordFilter::~RecordFilter() = default;

bool RecordFilter::matches(const std::vector<std::unique_ptr<Pattern>>& patterns,
                           const codec::LogRecordView& record) const {
  for (const auto& pattern : patterns) {
    for (int field : {3, 2, 1}) {  // text, function, file
      // REG_STARTEND: the view's bounds, not a NUL, end the text.
      const std::string_view text = record.strings[field];
      regmatch_t bounds{0, static_cast<regoff_t>(text.size())};
      if (::regexec(&pattern->regex, text.data(), 1, &bounds, REG_STARTEND) == 0) return true;
    }
  }
  return false;
}

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

bool RecordFilter::wanted(const codec::LogRecordView& record, const Levels& levels) {
  if (!componentSet.empty() && !componentSet.contains(record.component())) return false;
  if (!grep.empty() && !matches(grep, record)) return false;
  if (!exclude.empty() && matches(exclude, record)) return false;
  const int minimum = minimumFor(levels);
  const int level = recordClientLevel(record.clientMask);
  // Higher client levels are the more severe ones.
  return minimum < 0 || level < 0 || level >= minimum;
}

}  // namespace remote
