// tools/base/visible_text.cpp
//
// The escapes of visible_text.h. Both functions first look for the first
// byte that may need one, eight bytes a step (the bit tricks below find
// a byte under a bound in a 64-bit word without a branch per byte), and
// append what comes before it whole; most texts end there.
//
// Threads: pure functions; callable from any thread.
#include "base/visible_text.h"

#include <cstdint>
#include <cstring>

#include "base/utf8.h"

namespace remote {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Non-zero when some byte of `word` is below `bound` (at most 0x80).
constexpr std::uint64_t anyBelow(std::uint64_t word, std::uint8_t bound) {
  return (word - kOnes * bound) & ~word & kHighBits;
}

// The index of the first byte below 0x20, or also DEL or any byte from
// 0x80 on when `alsoHigh`; text.size() when there is none.
std::size_t cleanPrefix(std::string_view text, bool alsoHigh) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    std::uint64_t hit = anyBelow(word, 0x20);
    if (alsoHigh) hit |= anyBelow(word ^ (kOnes * 0x7F), 1) | (word & kHighBits);
    if (hit != 0) break;
  }
  for (; i < text.size(); ++i) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c < 0x20 || (alsoHigh && c >= 0x7F)) break;
  }
  return i;
}

void appendHexEscape(std::string& out, const char* prefix, std::uint8_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.append(prefix);
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0xF]);
}

void appendControl(std::string& out, std::uint8_t c) {
  switch (c) {
    case '\t':
      out.append("\\t");
      return;
    case '\n':
      out.append("\\n");
      return;
    case '\r':
      out.append("\\r");
      return;
    default:
      appendHexEscape(out, "\\x", c);
  }
}

}  // namespace

void appendVisible(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const std::size_t clean = cleanPrefix(text, /*alsoHigh=*/true);
    out.append(text.data(), clean);
    text.remove_prefix(clean);
    if (text.empty()) return;
    const auto c = static_cast<std::uint8_t>(text[0]);
    if (c < 0x80) {  // C0 or DEL
      appendControl(out, c);
      text.remove_prefix(1);
      continue;
    }
    const int length = utf8SequenceLength(text);
    if (length == 2 && c == 0xC2 && static_cast<std::uint8_t>(text[1]) < 0xA0) {
      appendHexEscape(out, "\\u00", static_cast<std::uint8_t>(text[1]));  // U+0080-U+009F
    } else if (length > 0) {
      out.append(text.data(), static_cast<std::size_t>(length));
    } else {
      for (const char b : text.substr(0, static_cast<std::size_t>(-length))) {
        if (static_cast<std::uint8_t>(b) < 0xA0) {
          appendHexEscape(out, "\\x", static_cast<std::uint8_t>(b));
        } else {
          out.push_back(b);
        }
      }
    }
    text.remove_prefix(static_cast<std::size_t>(length > 0 ? length : -length));
  }
}

std::string visible(std::string_view text) {
  std::string out;
  appendVisible(out, text);
  return out;
}

void appendWithoutC0(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const std::size_t clean = cleanPrefix(text, /*alsoHigh=*/false);
    out.append(text.data(), clean);
    text.remove_prefix(clean);
    if (text.empty()) return;
    appendControl(out, static_cast<std::uint8_t>(text[0]));
    text.remove_prefix(1);
  }
}

}  // namespace remote
