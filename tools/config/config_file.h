// tools/config/config_file.h
//
// What the tools' TOML files (alert rules, level policies) share: a
// mistake named at its line, the whole text of a file, and the parsing
// that turns a syntax error into such a mistake.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <toml++/toml.h>
#include <optional>
#include <string>
#include <vector>

namespace config {

// One mistake of a file: its line (0 when the file could not be read at
// all) and what is wrong, in words an operator can act on.
struct Mistake {
  int line = 0;
  std::string message;
};

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// Parses `text` (named `name` in messages) into `root`; false with the
// syntax error added to `mistakes`.
bool parseToml(const std::string& text, const std::string& name, toml::table& root,
               std::vector<Mistake>& mistakes);

// In line order, mistakes of one line in the order they were found.
void sortByLine(std::vector<Mistake>& mistakes);

// "FILE has 2 mistakes:" and one indented "FILE:LINE: message" line each.
std::string describeMistakes(const std::string& path, const std::vector<Mistake>& mistakes);

// Whether `pattern`, with * and ? as in a shell, matches all of `text`:
// how the tools' files name applications.
bool globMatches(const std::string& pattern, const std::string& text);

}  // namespace config
