// tools/config/config_file.cpp
//
// See config_file.h.
//
// Threads: pure functions; callable from any thread.
#include "config/config_file.h"

#include <toml++/toml.h>
#include <algorithm>
#include <fstream>
#include <sstream>

namespace config {

std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) return std::nullopt;
  return text.str();
}

bool parseToml(const std::string& text, const std::string& name, toml::table& root,
               std::vector<Mistake>& mistakes) {
  try {
    root = toml::parse(text, name);
    return true;
  } catch (const toml::parse_error& e) {
    mistakes.push_back({static_cast<int>(e.source().begin.line), std::string(e.description())});
    return false;
  }
}

void sortByLine(std::vector<Mistake>& mistakes) {
  std::stable_sort(mistakes.begin(), mistakes.end(),
                   [](const Mistake& a, const Mistake& b) { return a.line < b.line; });
}

std::string describeMistakes(const std::string& path, const std::vector<Mistake>& mistakes) {
  std::string text = path + " has " + std::to_string(mistakes.size()) +
                     (mistakes.size() == 1 ? " mistake:" : " mistakes:");
  for (const Mistake& mistake : mistakes) {
    text += "\n  " + path + (mistake.line > 0 ? ":" + std::to_string(mistake.line) : "") + ": " +
            mistake.message;
  }
  return text;
}

bool globMatches(const std::string& pattern, const std::string& text) {
  // Iterative matching with one backtrack point: linear in practice.
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace config
