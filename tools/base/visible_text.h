// tools/base/visible_text.h
//
// Target strings made safe for a terminal and for line-oriented readers:
// a target names its application, components, files and functions and
// writes its texts as it likes, and a newline in any of them would split
// one record over two lines, an ESC or a C1 control would drive the
// operator's terminal. Controls are written as visible escapes instead:
//
//   TAB LF CR          \t \n \r
//   other C0, DEL      \xHH  (ESC is \x1b, BEL \x07, NUL \x00)
//   C1 as UTF-8        \u0080 .. \u009f
//   a byte 0x80-0x9f   \xHH, when it is not part of a well-formed UTF-8
//                      sequence (an 8-bit terminal reads it as C1)
//
// Everything else passes as it came: UTF-8, the bytes of ill-formed
// sequences other than the C1 range, and the backslash itself, so text
// without controls prints byte for byte as before (the escapes are for the
// eye; --json gives the exact text).
//
// A syslog MSG follows RFC 5424 instead: only octets below 32 are
// escaped, as the RFC asks a sender to avoid them and not to change any
// other octet.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace remote {

// Appends `text` with C0, DEL and C1 controls escaped. Hot path: one scan
// of eight bytes a step finds most texts clean and appends them whole;
// allocates nothing when `out` has room.
void appendVisible(std::string& out, std::string_view text);
// The same as a string of its own, where speed does not matter.
std::string visible(std::string_view text);

// Appends `text` with the octets below 32 escaped and all others as they
// are. Allocates nothing when `out` has room.
void appendWithoutC0(std::string& out, std::string_view text);

}  // namespace remote
