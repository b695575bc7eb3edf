// tools/base/plural.h
//
// "1 record", "2 records": counts in the tools' messages.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace remote {

// `n` and the noun, with an s unless n is 1 (`many` for other plurals).
template <typename Count>
std::string counted(Count n, std::string_view one, std::string_view many = {}) {
  std::string text = std::to_string(n) + " ";
  if (n == 1) return text.append(one);
  return many.empty() ? text.append(one).append("s") : text.append(many);
}

}  // namespace remote
