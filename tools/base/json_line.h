// tools/base/json_line.h
//
// The text of one --json output line: one compact object, with every byte
// that is not UTF-8 replaced (U+FFFD) rather than refused, since names and
// texts come from targets as their hosts wrote them.
//
// Threads: a pure function; callable from any thread.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace remote {

std::string jsonLine(const nlohmann::json& value);

}  // namespace remote
