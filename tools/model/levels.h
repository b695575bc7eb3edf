// tools/model/levels.h
//
// What tarvin-remote does with client levels and client masks: naming the
// levels of a mask or of one record with a component's level descriptions,
// and turning a user's level list ("0x...", "error,warning", "+debug,-trace")
// into a client mask. Bit k of a client mask stands for client level k.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/client_codec.h"

namespace remote {

using Levels = std::vector<codec::LevelDescription>;

// "0xE0000000": client masks are always shown with eight hex digits.
std::string maskHex(std::uint32_t clientMask);

// The names of the levels set in the mask, in the host's order of the
// descriptions, then "level K" for each set bit no description names, from
// the most severe (31) down.
std::vector<std::string> levelNamesInMask(std::uint32_t clientMask, const Levels& levels);

// Whether client level `clientLevel` is set in the mask; a level above 31
// never is, as no mask has a bit for it.
bool levelEnabled(std::uint32_t clientMask, std::uint32_t clientLevel);

// The client level of a log record: a record's mask carries exactly the bit
// of its level. -1 when the mask has no bit or several.
int recordClientLevel(std::uint32_t clientMask);

// The level name of a record: the text of the description with its client
// level (several joined by "/", as numeric levels 5 and 6 share one client
// level), "level K" when none names it, the mask in hex when it is not one
// bit.
std::string recordLevelName(std::uint32_t clientMask, const Levels& levels);
// The same name appended to `out`: no allocation when `out` has room.
void appendRecordLevelName(std::string& out, std::uint32_t clientMask, const Levels& levels);

// The client level a level name or number stands for in one component:
// a decimal client level 0-31, or a description's text (exact match first,
// then ignoring case). -1 when neither.
int lookupClientLevel(std::string_view nameOrNumber, const Levels& levels);

// The new client mask for LEVELS as the user typed it, one of:
//   0x...            the client mask itself
//   a,b,c            exactly these levels (names or client-level numbers)
//   +a,-b            current mask with a added and b removed
// Fails with a message naming the first item that is not a level.
codec::Parsed<std::uint32_t> parseLevelChange(std::string_view change, std::uint32_t currentMask,
                                              const Levels& levels);

}  // namespace remote
