// tools/model/record_match.cpp
//
// --grep and --exclude compiled with regcomp() and tried with regexec();
// see record_match.h.
//
// Threads: see record_match.h.
#include "model/record_match.h"

#include <regex.h>

#include <algorithm>

namespace remote {
namespace {

int compileFlags(bool ignoreCase) {
  return REG_EXTENDED | REG_NOSUB | (ignoreCase ? REG_ICASE : 0);
}

// Compiles into `regex`; the library's message when it refuses (then
// there is nothing to free).
std::string compile(regex_t& regex, const std::string& pattern, bool ignoreCase) {
  const int rc = ::regcomp(&regex, pattern.c_str(), compileFlags(ignoreCase));
  if (rc == 0) return {};
  char message[256];
  ::regerror(rc, &regex, message, sizeof message);
  return message;
}

// Skips the bracket expression that starts at `at` ('['), leaving `at` on
// its ']'; false when it does not end.
bool skipBracket(std::string_view p, std::size_t& at) {
  ++at;
  if (at < p.size() && p[at] == '^') ++at;
  if (at < p.size() && p[at] == ']') ++at;  // a first ']' is a member
  for (; at < p.size(); ++at) {
    if (p[at] == ']') return true;
    if (p[at] == '[' && at + 1 < p.size() &&
        (p[at + 1] == ':' || p[at + 1] == '.' || p[at + 1] == '=')) {
      const char kind = p[at + 1];
      const std::size_t end = p.find(std::string{kind, ']'}, at + 2);
      if (end == std::string_view::npos) return false;
      at = end + 1;
    }
  }
  return false;
}

// Drops the last character of `run`, all of its UTF-8 bytes.
void dropLastCharacter(std::string& run) {
  while (!run.empty() && (static_cast<unsigned char>(run.back()) & 0xC0) == 0x80) run.pop_back();
  if (!run.empty()) run.pop_back();
}

}  // namespace

std::vector<std::string> requiredLiterals(std::string_view p) {
  // A backslash may be an escape or an operator (GNU's \| among them):
  // such a pattern is left to the regex library alone.
  if (p.find('\\') != std::string_view::npos) return {};
  std::vector<std::string> result;
  std::string best, run;
  int depth = 0;
  const auto endRun = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  for (std::size_t at = 0; at < p.size(); ++at) {
    const char c = p[at];
    switch (c) {
      case '(':
        endRun();
        ++depth;
        break;
      case ')':
        endRun();
        if (depth == 0) return {};
        --depth;
        break;
      case '|':
        endRun();
        if (depth > 0) break;
        if (best.empty()) return {};  // a branch without a literal of its own
        result.push_back(std::move(best));
        best.clear();
        break;
      case '{': {
        // An interval: the character before it may be absent. Anything
        // else is left to the regex library.
        std::size_t end = at + 1;
        while (end < p.size() && ((p[end] >= '0' && p[end] <= '9') || p[end] == ',')) ++end;
        if (end == at + 1 || end == p.size() || p[end] != '}') return {};
        dropLastCharacter(run);
        endRun();
        at = end;
        break;
      }
      case '*':
      case '+':
      case '?':
        dropLastCharacter(run);
        endRun();
        break;
      case '[':
        endRun();
        if (!skipBracket(p, at)) return {};
        break;
      case '.':
      case '^':
      case '$':
        endRun();
        break;
      default:
        if (depth == 0) run += c;
    }
  }
  endRun();
  if (depth != 0 || best.empty()) return {};
  result.push_back(std::move(best));
  return result;
}

RegexError::RegexError(std::string list, std::string pattern, std::string reason)
    : std::runtime_error("invalid regex '" + pattern + "': " + reason),
      list(std::move(list)),
      pattern(std::move(pattern)),
      reason(std::move(reason)) {}

std::string regexProblem(const std::string& pattern, bool ignoreCase) {
  regex_t regex;
  const std::string error = compile(regex, pattern, ignoreCase);
  if (error.empty()) ::regfree(&regex);
  return error;
}

struct RecordMatch::Pattern {
  regex_t regex{};
  bool compiled = false;  // regfree() only what regcomp() built
  ~Pattern() {
    if (compiled) ::regfree(&regex);
  }
  bool matchesEmpty = false;  // known once compiled: an empty field costs no regexec()
  // Text of which every match holds one (none known: empty); a field
  // without any is no match, found by a substring search that costs far
  // less than regexec().
  std::vector<std::string> literals;
  bool search(std::string_view text) const {
    if (text.empty()) return matchesEmpty;
    if (!literals.empty() &&
        std::none_of(literals.begin(), literals.end(), [&](const std::string& literal) {
          return text.find(literal) != std::string_view::npos;
        }))
      return false;
    // REG_STARTEND: the view's bounds, not a NUL, end the text.
    regmatch_t bounds{0, static_cast<regoff_t>(text.size())};
    return ::regexec(&regex, text.data(), 1, &bounds, REG_STARTEND) == 0;
  }
};

RecordMatch::RecordMatch(const MatchFlags& flags) {
  const auto add = [&](std::vector<std::unique_ptr<Pattern>>& to, const std::string& pattern,
                       const char* list) {
    auto compiled = std::make_unique<Pattern>();
    const std::string error = compile(compiled->regex, pattern, flags.ignoreCase);
    if (!error.empty()) throw RegexError(list, pattern, error);
    compiled->compiled = true;
    compiled->matchesEmpty = ::regexec(&compiled->regex, "", 0, nullptr, 0) == 0;
    if (!flags.ignoreCase) compiled->literals = requiredLiterals(pattern);
    to.push_back(std::move(compiled));
  };
  for (const std::string& pattern : flags.grep) add(grep, pattern, "grep");
  for (const std::string& pattern : flags.exclude) add(exclude, pattern, "exclude");
}

RecordMatch::~RecordMatch() = default;

bool RecordMatch::prefiltered() const {
  return std::all_of(grep.begin(), grep.end(),
                     [](const auto& pattern) { return !pattern->literals.empty(); });
}

bool RecordMatch::any(const std::vector<std::unique_ptr<Pattern>>& patterns, std::string_view text,
                      std::string_view function, std::string_view file) {
  for (const auto& pattern : patterns) {
    if (pattern->search(text) || pattern->search(function) || pattern->search(file)) return true;
  }
  return false;
}

bool RecordMatch::wanted(std::string_view text, std::string_view function,
                         std::string_view file) const {
  if (!grep.empty() && !any(grep, text, function, file)) return false;
  return exclude.empty() || !any(exclude, text, function, file);
}

}  // namespace remote
