// tools/base/json_line.cpp
//
// One compact JSON line.
//
// Threads: a pure function; callable from any thread.
#include "base/json_line.h"

namespace remote {

std::string jsonLine(const nlohmann::json& value) {
  return value.dump(/*indent=*/-1, /*indent_char=*/' ', /*ensure_ascii=*/false,
                    nlohmann::json::error_handler_t::replace);
}

}  // namespace remote
