// tools/alerts/literal_scan.h
//
// Which of many literals a text holds, found in one pass over it: the
// texts every match of a rule's grep must hold (requiredLiterals() of
// record_match.h), for all rules at once, so that a record most rules'
// greps cannot match costs one scan of each field instead of a search per
// rule and literal. A pattern that is only its literals ("deadlock",
// "timeout|refused") is decided by the scan alone.
//
// Up to kMaxLiterals distinct literals; a pattern whose literals do not fit
// any more is left to its own matcher (add() says so).
//
// Threads: built on one thread, then scan() from any thread (it only
// reads).
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace alerts {

class LiteralScan {
 public:
  static constexpr std::size_t kMaxLiterals = 64;
  using Hits = std::uint64_t;  // bit i: literal i is in the text

  // The literals of one case-sensitive POSIX extended `pattern`, and
  // whether the pattern is nothing but them (then a text matches it
  // exactly when it holds one). `mask` 0: the pattern has no required
  // literal, or they do not fit; such a pattern needs its own matcher.
  struct Pattern {
    Hits mask = 0;
    bool exact = false;
  };
  Pattern add(const std::string& pattern);

  // The literals `text` holds.
  Hits scan(std::string_view text) const;

 private:
  std::vector<std::string> literals;
  // Literals by their first byte, and which first two bytes start one (a
  // literal of one byte marks every pair it starts): most positions of a
  // text are passed over on one bit.
  std::array<std::vector<std::uint8_t>, 256> byFirst;
  std::bitset<65536> pairs;
};

}  // namespace alerts
