// tools/store/clickhouse_location.cpp
//
// Reading a ClickHouse store's name and its password. See
// clickhouse_location.h.
//
// Threads: any thread.
#include "store/clickhouse_location.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "store/store_error.h"

namespace store {
namespace {

constexpr const char* kPlain = "clickhouse://";
constexpr const char* kTls = "clickhouses://";

bool plainName(const std::string& s) {
  if (s.empty()) return false;
  for (const char c : s) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

[[noreturn]] void bad(const std::string& shown, const std::string& why) {
  throw StoreError(StoreError::Kind::kCannotOpen, shown + ": " + why);
}

}  // namespace

bool isClickHouseName(const std::string& name) {
  return name.starts_with(kPlain) || name.starts_with(kTls);
}

std::string ClickHouseLocation::shown() const {
  return std::string(tls ? kTls : kPlain) + (user.empty() ? "" : user + "@") + host + ":" +
         std::to_string(port) + "/" + database + (table == "records" ? "" : "?table=" + table);
}

ClickHouseLocation parseClickHouseLocation(const std::string& name,
                                           const std::string& passwordFile) {
  ClickHouseLocation at;
  at.tls = name.starts_with(kTls);
  at.port = at.tls ? 8443 : 8123;
  std::string rest = name.substr(std::strlen(at.tls ? kTls : kPlain));
  // What the messages show: the scheme and whatever follows, up to the
  // host; a password typed into the name is cut out before anything else.
  const std::size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  const std::size_t at_sign = authority.rfind('@');
  std::string shown = name;
  if (at_sign != std::string::npos) {
    const std::string userPart = authority.substr(0, at_sign);
    if (userPart.find(':') != std::string::npos) {
      shown = std::string(at.tls ? kTls : kPlain) + userPart.substr(0, userPart.find(':')) + "@" +
              rest.substr(at_sign + 1);
      bad(shown, "a password does not go in the store's name: use --db-password-file FILE or " +
                     std::string(kPasswordVariable));
    }
    at.user = userPart;
    if (!plainName(at.user)) bad(shown, "the user name is empty or not a plain name");
    authority = authority.substr(at_sign + 1);
  }
  if (slash == std::string::npos) bad(shown, "name a database: clickhouse://HOST[:PORT]/DATABASE");
  std::string path = rest.substr(slash + 1);
  if (!authority.empty() && authority.front() == '[') {  // [v6 address]:port
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) bad(shown, "an IPv6 address without its ']'");
    at.host = authority.substr(1, close - 1);
    authority = authority.substr(close + 1);
  } else {
    const std::size_t colon = authority.find(':');
    at.host = authority.substr(0, colon);
    authority = colon == std::string::npos ? "" : authority.substr(colon);
  }
  if (at.host.empty()) bad(shown, "no host");
  if (!authority.empty()) {
    int port = 0;
    const char* first = authority.data() + 1;
    const char* last = authority.data() + authority.size();
    const auto [end, error] = std::from_chars(first, last, port);
    if (authority[0] != ':' || error != std::errc() || end != last || port < 1 || port > 65535)
      bad(shown, "the port is not a number from 1 to 65535");
    at.port = port;
  }
  const std::size_t question = path.find('?');
  at.database = path.substr(0, question);
  if (!plainName(at.database))
    bad(shown, "the database name is empty or not a plain name (letters, digits, _)");
  if (question != std::string::npos) {
    const std::string query = path.substr(question + 1);
    if (!query.starts_with("table=")) bad(shown, "the only parameter is ?table=NAME");
    at.table = query.substr(6);
    if (!plainName(at.table))
      bad(shown, "the table name is empty or not a plain name (letters, digits, _)");
  }
  if (!passwordFile.empty()) {
    std::ifstream file(passwordFile);
    if (!file) {
      bad(at.shown(),
          "cannot read the password file " + passwordFile + ": " + std::strerror(errno));
    }
    std::getline(file, at.password);  // one line; its newline is no part of it
  } else if (const char* password = std::getenv(kPasswordVariable)) {
    at.password = password;
  }
  return at;
}

}  // namespace store
