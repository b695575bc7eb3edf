// tools/store/sql_regexp.cpp
//
// record_match() over RecordMatch; see sql_regexp.h. The argument is a
// case letter ('i' or 'c'), then per expression its list ('g' or 'x'), its
// length in decimal, ':' and its bytes: no character of an expression can
// end it early.
//
// Threads: see sql_regexp.h.
#include "store/sql_regexp.h"

#include <sqlite3.h>

#include <charconv>
#include <string_view>

#include "store/store_error.h"

namespace store {
namespace {

// The flags matchArgument() wrote; nullopt for text it did not write.
std::optional<remote::MatchFlags> readArgument(std::string_view text) {
  remote::MatchFlags flags;
  if (text.empty() || (text[0] != 'i' && text[0] != 'c')) return std::nullopt;
  flags.ignoreCase = text[0] == 'i';
  text.remove_prefix(1);
  while (!text.empty()) {
    const char list = text[0];
    std::size_t length = 0;
    const auto [colon, ec] = std::from_chars(text.data() + 1, text.data() + text.size(), length);
    if (ec != std::errc() || (list != 'g' && list != 'x') || colon == text.data() + text.size() ||
        *colon != ':') {
      return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(colon - text.data()) + 1);
    if (length > text.size()) return std::nullopt;
    (list == 'g' ? flags.grep : flags.exclude).emplace_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return flags;
}

void freeMatch(void* p) { delete static_cast<remote::RecordMatch*>(p); }

std::string_view textOf(sqlite3_value* value) {
  const auto* text = reinterpret_cast<const char*>(::sqlite3_value_text(value));
  return text ? std::string_view(text, static_cast<std::size_t>(::sqlite3_value_bytes(value)))
              : std::string_view();
}

void recordMatchFunction(sqlite3_context* context, int /*argc*/, sqlite3_value** argv) {
  const auto wanted = [&](const remote::RecordMatch& match) {
    ::sqlite3_result_int(context, match.wanted(textOf(argv[1]), textOf(argv[2]), textOf(argv[3])));
  };
  if (const auto* kept = static_cast<remote::RecordMatch*>(::sqlite3_get_auxdata(context, 0))) {
    return wanted(*kept);
  }
  const auto flags = readArgument(textOf(argv[0]));
  if (!flags) return ::sqlite3_result_error(context, "record_match: a malformed argument", -1);
  remote::RecordMatch* fresh = nullptr;
  try {
    fresh = new remote::RecordMatch(*flags);
  } catch (const remote::RegexError& error) {
    return ::sqlite3_result_error(context, error.what(), -1);
  }
  wanted(*fresh);
  // Handed over last: SQLite may free it inside this very call.
  ::sqlite3_set_auxdata(context, 0, fresh, freeMatch);
}

}  // namespace

void registerRecordMatch(sqlite::Database& database) {
  const int rc = ::sqlite3_create_function_v2(
      database.handle(), "record_match", 4, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
      nullptr, recordMatchFunction, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) database.fail(rc, "cannot register record_match()");
}

std::string matchArgument(const remote::MatchFlags& flags) {
  std::string text(1, flags.ignoreCase ? 'i' : 'c');
  for (const auto& [list, patterns] : {std::pair{'g', &flags.grep}, {'x', &flags.exclude}}) {
    for (const std::string& pattern : *patterns) {
      text += list + std::to_string(pattern.size()) + ':' + pattern;
    }
  }
  return text;
}

void checkMatch(const remote::MatchFlags& flags) {
  try {
    remote::RecordMatch{flags};
  } catch (const remote::RegexError& error) {
    throw StoreError(StoreError::Kind::kBadRegex, error.what());
  }
}

}  // namespace store
