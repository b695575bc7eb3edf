// tools/base/utf8.h
//
// Where one UTF-8 sequence ends, for the printers that repair or escape
// what targets send (json_text.h, visible_text.h). An ill-formed sequence
// is cut at the first byte that does not fit (the maximal subpart, as
// Unicode recommends), and the byte that broke it is read again as the
// start of what follows.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace remote {

// The length of the well-formed UTF-8 sequence at the start of `text`
// (not empty), or the length of its ill-formed prefix as a negative number
// (-1 for a byte that starts nothing). Overlong forms, surrogates and
// values above U+10FFFF are ill-formed.
inline int utf8SequenceLength(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = at(0);
  if (lead < 0x80) return 1;
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

}  // namespace remote
