// tools/alerts/literal_scan.cpp
//
// Many literals in one pass; see literal_scan.h.
//
// Threads: see literal_scan.h.
#include "alerts/literal_scan.h"

#include <algorithm>

#include "model/record_match.h"

namespace alerts {

LiteralScan::Pattern LiteralScan::add(const std::string& pattern) {
  // The regex library reads a pattern up to its first NUL: one that holds
  // a NUL is left to it.
  if (pattern.find('\0') != std::string::npos) return {};
  const std::vector<std::string> required = remote::requiredLiterals(pattern);
  const auto isNew = [&](const std::string& literal) {
    return std::find(literals.begin(), literals.end(), literal) == literals.end();
  };
  const auto fresh =
      static_cast<std::size_t>(std::count_if(required.begin(), required.end(), isNew));
  if (required.empty() || literals.size() + fresh > kMaxLiterals) return {};
  Hits mask = 0;
  for (const std::string& literal : required) {
    auto known = std::find(literals.begin(), literals.end(), literal);
    if (known == literals.end()) {
      const unsigned char first = static_cast<unsigned char>(literal[0]);
      byFirst[first].push_back(static_cast<std::uint8_t>(literals.size()));
      // A literal of one byte starts every pair its byte starts.
      for (std::size_t second = 0; second < 256; ++second) {
        if (literal.size() == 1 || second == static_cast<unsigned char>(literal[1]))
          pairs.set(std::size_t{first} << 8 | second);
      }
      literals.push_back(literal);
      known = literals.end() - 1;
    }
    mask |= Hits{1} << static_cast<std::size_t>(known - literals.begin());
  }
  // requiredLiterals() takes only plain characters into a literal, one per
  // branch: when its branches are the whole pattern, the pattern is a
  // plain alternation of them.
  std::string joined;
  for (const std::string& literal : required) joined += (joined.empty() ? "" : "|") + literal;
  return {mask, joined == pattern};
}

LiteralScan::Hits LiteralScan::scan(std::string_view text) const {
  Hits hits = 0;
  const std::size_t n = text.size();
  for (std::size_t at = 0; at < n; ++at) {
    const unsigned char first = static_cast<unsigned char>(text[at]);
    // Past the end the second byte is 0, which no literal holds.
    const unsigned char second = at + 1 < n ? static_cast<unsigned char>(text[at + 1]) : 0;
    // Every pair of bytes is in range: [] spares test()'s check.
    if (!pairs[static_cast<std::size_t>(first) << 8 | second]) continue;
    for (const std::uint8_t index : byFirst[first]) {
      const Hits bit = Hits{1} << index;
      if ((hits & bit) == 0 && text.substr(at).starts_with(literals[index])) hits |= bit;
    }
  }
  return hits;
}

}  // namespace alerts
