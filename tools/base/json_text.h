// tools/base/json_text.h
//
// JSON string literals written straight into an output line, for the
// --json records that tail prints by the hundred thousand a second: the
// quotes, the escapes (\" \\ \b \f \n \r \t, \u00XX for other control
// characters) and U+FFFD for every byte sequence that is not UTF-8, as
// jsonLine() (nlohmann-json) writes them, byte for byte, so a record reads
// the same whichever path printed it.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace remote {

// Appends `text` as a JSON string. Allocates nothing when `out` has room.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace remote
