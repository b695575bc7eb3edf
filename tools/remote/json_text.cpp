// tools/remote/json_text.cpp
//
// Escaping and UTF-8 repair. An ill-formed sequence is cut at the first
// byte that does not fit (the maximal subpart, as Unicode recommends):
// that prefix becomes one U+FFFD, and the byte that broke it is read again
// as the start of what follows.
//
// Threads: pure functions; callable from any thread.
#include "remote/json_text.h"

#include <cstdint>

namespace remote {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed UTF-8 sequence at the start of `text`, or
// the length of its ill-formed prefix as a negative number (-1 for a byte
// that starts nothing).
int sequenceLength(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = at(0);
  int length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<std::size_t>(i) >= text.size()) return -i;
    const std::uint8_t byte = at(static_cast<std::size_t>(i));
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return -i;
  }
  return length;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    // Runs of plain ASCII go in one append.
    std::size_t plain = i;
    while (plain < text.size()) {
      const auto c = static_cast<std::uint8_t>(text[plain]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++plain;
    }
    out.append(text.data() + i, plain - i);
    i = plain;
    if (i == text.size()) break;
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c >= 0x80) {
      const int length = sequenceLength(text.substr(i));
      if (length > 0) {
        out.append(text.data() + i, static_cast<std::size_t>(length));
      } else {
        out.append(kReplacement);
      }
      i += static_cast<std::size_t>(length > 0 ? length : -length);
      continue;
    }
    out.push_back('\\');
    switch (c) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '\b':
        out.push_back('b');
        break;
      case '\f':
        out.push_back('f');
        break;
      case '\n':
        out.push_back('n');
        break;
      case '\r':
        out.push_back('r');
        break;
      case '\t':
        out.push_back('t');
        break;
      default:
        out.append("u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
    ++i;
  }
  out.push_back('"');
}

}  // namespace remote
