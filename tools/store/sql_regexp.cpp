// tools/store/sql_regexp.cpp
//
// regexp(pattern, text) over <regex.h>. The compiled pattern hangs on the
// statement as SQLite auxiliary data of argument 0, so a scan of a million
// rows compiles it once.
//
// Threads: see sql_regexp.h.
#include "store/sql_regexp.h"

#include <regex.h>
#include <sqlite3.h>

namespace store {
namespace {

struct Compiled {
  regex_t regex{};
  ~Compiled() { ::regfree(&regex); }
};

void freeCompiled(void* p) { delete static_cast<Compiled*>(p); }

std::string compile(regex_t& regex, const char* pattern) {
  const int rc = ::regcomp(&regex, pattern, REG_EXTENDED | REG_NOSUB);
  if (rc == 0) return {};
  char message[256];
  ::regerror(rc, &regex, message, sizeof message);
  return message;
}

void regexpFunction(sqlite3_context* context, int /*argc*/, sqlite3_value** argv) {
  const auto* text = reinterpret_cast<const char*>(::sqlite3_value_text(argv[1]));
  if (text == nullptr) return;  // NULL text: NULL result, no match
  if (auto* kept = static_cast<Compiled*>(::sqlite3_get_auxdata(context, 0))) {
    ::sqlite3_result_int(context, ::regexec(&kept->regex, text, 0, nullptr, 0) == 0);
    return;
  }
  const auto* pattern = reinterpret_cast<const char*>(::sqlite3_value_text(argv[0]));
  regex_t regex;
  const std::string error = compile(regex, pattern ? pattern : "");
  if (!error.empty()) {
    ::sqlite3_result_error(context, ("invalid regex: " + error).c_str(), -1);
    return;
  }
  auto* fresh = new Compiled{regex};
  ::sqlite3_result_int(context, ::regexec(&fresh->regex, text, 0, nullptr, 0) == 0);
  // Handed over last: SQLite may free it inside this very call.
  ::sqlite3_set_auxdata(context, 0, fresh, freeCompiled);
}

}  // namespace

void registerRegexp(sqlite::Database& database) {
  const int rc = ::sqlite3_create_function_v2(database.handle(), "regexp", 2,
                                              SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                                              nullptr, regexpFunction, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) database.fail(rc, "cannot register regexp()");
}

std::string regexpError(const std::string& pattern) {
  regex_t regex;
  const std::string error = compile(regex, pattern.c_str());
  if (error.empty()) ::regfree(&regex);
  return error;
}

}  // namespace store
