// tools/base/json_text.cpp
//
// Escaping and UTF-8 repair: each ill-formed prefix (utf8.h) becomes one
// U+FFFD.
//
// Threads: pure functions; callable from any thread.
#include "base/json_text.h"

#include "base/utf8.h"

#include <cstdint>

namespace remote {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

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
      const int length = utf8SequenceLength(text.substr(i));
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
