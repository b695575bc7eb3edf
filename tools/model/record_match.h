// tools/model/record_match.h
//
// What --grep, --exclude and --ignore-case mean, in one place for every
// front end (tail, forward, replay, query, the web console and its API,
// alert rules): POSIX extended expressions, as grep -E takes them, tried on
// a record's text, function and file. A record is wanted when some --grep
// matches one of the three (or there is none) and no --exclude matches any
// of them. --ignore-case applies to every expression alike.
//
// Pure functions and values over <regex.h>: no store, no web, no options
// library here, so the SQL function of the store and the page's server use
// the very same code the followers do.
//
// Threads: a RecordMatch is immutable once built; regexec() on a compiled
// pattern may run on several threads at once.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace remote {

// The expressions as typed.
struct MatchFlags {
  std::vector<std::string> grep{};     // a record must match one (when any)
  std::vector<std::string> exclude{};  // and none of these
  bool ignoreCase = false;
  bool empty() const { return grep.empty() && exclude.empty(); }
};

// An expression the regex library refuses: which list it came from
// ("grep" or "exclude"), the expression, and the library's own words.
struct RegexError : std::runtime_error {
  RegexError(std::string list, std::string pattern, std::string reason);
  std::string list, pattern, reason;
};

// The regex library's message for `pattern`, empty when it compiles.
std::string regexProblem(const std::string& pattern, bool ignoreCase = false);

// Texts of which every match of `pattern` (case-sensitive) holds at least
// one, read off its plain characters outside groups, one per branch;
// empty when the pattern's form does not tell (a backslash, a branch of
// groups and classes only). A field that holds none is no match.
std::vector<std::string> requiredLiterals(std::string_view pattern);

class RecordMatch {
 public:
  // Throws RegexError for the first expression that does not compile.
  explicit RecordMatch(const MatchFlags& flags);
  ~RecordMatch();
  RecordMatch(const RecordMatch&) = delete;
  RecordMatch& operator=(const RecordMatch&) = delete;

  // Whether a record with these fields passes. The views need no NUL
  // after them. glibc's regexec() may allocate.
  bool wanted(std::string_view text, std::string_view function, std::string_view file) const;
  bool empty() const { return grep.empty() && exclude.empty(); }
  // Whether every --grep expression has required literals (above), so
  // that most fields are ruled out without regexec().
  bool prefiltered() const;

 private:
  struct Pattern;
  static bool any(const std::vector<std::unique_ptr<Pattern>>& patterns, std::string_view text,
                  std::string_view function, std::string_view file);
  std::vector<std::unique_ptr<Pattern>> grep;
  std::vector<std::unique_ptr<Pattern>> exclude;
};

}  // namespace remote
