// tools/model/levels.cpp
//
// Level naming and level list parsing for tarvin-remote.
//
// Threads: pure functions; callable from any thread.
#include "model/levels.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace remote {
namespace {

// 'text', built by appending: GCC 12 at -O3 takes "literal" + std::string&& for
// an overlapping memcpy and warns (-Wrestrict), falsely.
std::string quoted(std::string_view text) {
  std::string out = "'";
  out.append(text);
  out += '\'';
  return out;
}

constexpr int kMaskBits = 32;

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

// The bit of one level item, or 0 with `error` set.
std::uint32_t levelBit(std::string_view item, const Levels& levels, std::string& error) {
  const int level = lookupClientLevel(item, levels);
  if (level < 0) {
    std::string known;
    for (const auto& d : levels) known += (known.empty() ? "" : ", ") + d.text;
    error = std::string("no level ") + quoted(item) +
            (known.empty() ? std::string(" (the component describes no levels)")
                           : " (known: " + known + ")");
    return 0;
  }
  return std::uint32_t{1} << level;
}

}  // namespace

std::string maskHex(std::uint32_t clientMask) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", clientMask);
  return text;
}

bool levelEnabled(std::uint32_t clientMask, std::uint32_t clientLevel) {
  return clientLevel < kMaskBits && (clientMask >> clientLevel & 1u) != 0;
}

std::vector<std::string> levelNamesInMask(std::uint32_t clientMask, const Levels& levels) {
  std::vector<std::string> names;
  std::uint32_t named = 0;
  for (const auto& d : levels) {
    if (!levelEnabled(clientMask, d.clientLevel)) continue;
    names.push_back(d.text);
    named |= std::uint32_t{1} << d.clientLevel;
  }
  for (int k = kMaskBits - 1; k >= 0; --k) {
    if (levelEnabled(clientMask & ~named, static_cast<std::uint32_t>(k))) {
      names.push_back("level " + std::to_string(k));
    }
  }
  return names;
}

int recordClientLevel(std::uint32_t clientMask) {
  if (std::popcount(clientMask) != 1) return -1;
  return std::countr_zero(clientMask);
}

std::string recordLevelName(std::uint32_t clientMask, const Levels& levels) {
  std::string name;
  appendRecordLevelName(name, clientMask, levels);
  return name;
}

void appendRecordLevelName(std::string& out, std::uint32_t clientMask, const Levels& levels) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const int level = recordClientLevel(clientMask);
  if (level < 0) {
    out.append("0x");
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(clientMask >> shift) & 0xF]);
    return;
  }
  const std::size_t start = out.size();
  for (const auto& d : levels) {
    if (d.clientLevel != static_cast<std::uint32_t>(level)) continue;
    if (out.size() > start) out.push_back('/');
    out.append(d.text);
  }
  if (out.size() > start) return;
  out.append("level ");
  if (level >= 10) out.push_back(static_cast<char>('0' + level / 10));
  out.push_back(static_cast<char>('0' + level % 10));
}

int lookupClientLevel(std::string_view nameOrNumber, const Levels& levels) {
  for (const auto& d : levels) {
    if (d.text == nameOrNumber && d.clientLevel < kMaskBits) return static_cast<int>(d.clientLevel);
  }
  for (const auto& d : levels) {
    if (sameIgnoringCase(d.text, nameOrNumber) && d.clientLevel < kMaskBits) {
      return static_cast<int>(d.clientLevel);
    }
  }
  int number = -1;
  const char* end = nameOrNumber.data() + nameOrNumber.size();
  const auto [stop, ec] = std::from_chars(nameOrNumber.data(), end, number);
  if (ec == std::errc() && stop == end && number >= 0 && number < kMaskBits) return number;
  return -1;
}

codec::Parsed<std::uint32_t> parseLevelChange(std::string_view change, std::uint32_t currentMask,
                                              const Levels& levels) {
  using Result = codec::Parsed<std::uint32_t>;
  change = trim(change);
  if (change.empty()) return Result::failure("empty level list");

  if (change.size() > 2 && change[0] == '0' && (change[1] == 'x' || change[1] == 'X')) {
    std::uint32_t mask = 0;
    const char* end = change.data() + change.size();
    const auto [stop, ec] = std::from_chars(change.data() + 2, end, mask, 16);
    if (ec != std::errc() || stop != end) {
      return Result::failure(quoted(change) + " is not a 32-bit hex mask");
    }
    return mask;
  }

  const bool relative = change.front() == '+' || change.front() == '-';
  std::uint32_t mask = relative ? currentMask : 0;
  std::string error;
  while (!change.empty()) {
    const std::size_t comma = change.find(',');
    std::string_view item = trim(change.substr(0, comma));
    change = comma == std::string_view::npos ? std::string_view() : change.substr(comma + 1);
    if (item.empty()) return Result::failure("empty item in level list");

    const char sign = item.front();
    const bool signedItem = sign == '+' || sign == '-';
    if (signedItem != relative) {
      return Result::failure(std::string("mix of absolute and +/- items (") + quoted(item) +
                             "): give either a list of levels or only +name/-name changes");
    }
    if (signedItem) item = trim(item.substr(1));
    const std::uint32_t bit = levelBit(item, levels, error);
    if (bit == 0) return Result::failure(error);
    if (sign == '-') {
      mask &= ~bit;
    } else {
      mask |= bit;
    }
  }
  return mask;
}

}  // namespace remote
