// tools/model/record_match.cpp
//
// --grep and --exclude compiled with regcomp() and tried with regexec();
// see record_match.h.
//
// Threads: see record_match.h.
#include "model/record_match.h"

#include <regex.h>

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

}  // namespace

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
  bool search(std::string_view text) const {
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
    to.push_back(std::move(compiled));
  };
  for (const std::string& pattern : flags.grep) add(grep, pattern, "grep");
  for (const std::string& pattern : flags.exclude) add(exclude, pattern, "exclude");
}

RecordMatch::~RecordMatch() = default;

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
