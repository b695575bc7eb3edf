// tools/store/clickhouse_http.cpp
//
// Requests to a ClickHouse server and its answers as the store's errors.
// See clickhouse_http.h.
//
// Threads: one thread per connection.
#include "store/clickhouse_http.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>

#include "store/store_error.h"

namespace store {
namespace {

using Kind = StoreError::Kind;

// ClickHouse's own error codes that say the statement, the credentials or
// the table are at fault: trying the same again cannot help.
bool lasting(int code) {
  switch (code) {
    case 16:   // NO_SUCH_COLUMN_IN_TABLE
    case 27:   // CANNOT_PARSE_INPUT_ASSERTION_FAILED
    case 33:   // CANNOT_READ_ALL_DATA
    case 36:   // BAD_ARGUMENTS
    case 43:   // ILLEGAL_TYPE_OF_ARGUMENT
    case 44:   // ILLEGAL_COLUMN
    case 46:   // UNKNOWN_FUNCTION
    case 47:   // UNKNOWN_IDENTIFIER
    case 53:   // TYPE_MISMATCH
    case 60:   // UNKNOWN_TABLE
    case 62:   // SYNTAX_ERROR
    case 81:   // UNKNOWN_DATABASE
    case 164:  // READONLY
    case 192:  // UNKNOWN_USER
    case 193:  // WRONG_PASSWORD
    case 194:  // REQUIRED_PASSWORD
    case 427:  // CANNOT_COMPILE_REGEXP
    case 497:  // ACCESS_DENIED
    case 516:  // AUTHENTICATION_FAILED
      return true;
    default:
      return false;
  }
}

// "Code: 193, e.displayText() = DB::Exception: Wrong password ..." -> 193.
int codeOf(const std::string& body) {
  int code = 0;
  if (body.starts_with("Code: ")) std::from_chars(body.data() + 6, body.data() + body.size(), code);
  return code;
}

// The server's words without the trailing ", e.what() = DB::Exception".
std::string wordsOf(std::string body) {
  if (const std::size_t at = body.find("e.displayText() = "); at != std::string::npos)
    body = body.substr(at + 18);
  if (const std::size_t at = body.find(", e.what() = "); at != std::string::npos) body.resize(at);
  while (!body.empty() && (body.back() == '\n' || body.back() == ' ')) body.pop_back();
  return body;
}

}  // namespace

std::string quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7f) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out + "'";
}

ClickHouseConnection::ClickHouseConnection(ClickHouseLocation location,
                                           std::chrono::seconds timeout)
    : at(std::move(location)) {
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
  if (at.tls) {
    throw StoreError(Kind::kCannotOpen,
                     at.shown() + ": these tools were not built with TLS: use clickhouse://");
  }
#endif
  const std::string host = at.host.find(':') != std::string::npos ? "[" + at.host + "]" : at.host;
  client = std::make_unique<httplib::Client>((at.tls ? "https://" : "http://") + host + ":" +
                                             std::to_string(at.port));
  // A host that is down or cut off is known within seconds; a server that
  // accepted the connection may take the whole timeout to answer.
  client->set_connection_timeout(std::min(timeout, std::chrono::seconds(5)));
  client->set_read_timeout(timeout);
  client->set_write_timeout(timeout);
  client->set_keep_alive(true);
  if (!at.user.empty() || !at.password.empty())
    client->set_basic_auth(at.user.empty() ? "default" : at.user, at.password);
}

ClickHouseConnection::~ClickHouseConnection() = default;

std::string ClickHouseConnection::pathFor(const std::string& query, bool inDatabase) const {
  httplib::Params params;
  if (inDatabase) params.emplace("database", at.database);
  if (!query.empty()) params.emplace("query", query);
  for (const auto& [name, value] : settings) params.emplace(name, value);
  return "/?" + httplib::detail::params_to_query_str(params);
}

namespace {

// The store's error for a request that got no answer or a failure.
[[noreturn]] void fail(const ClickHouseLocation& at, const httplib::Result& result, int status,
                       const std::string& body) {
  const std::string name = at.shown();
  if (!result && result.error() == httplib::Error::SSLServerVerification) {
    throw StoreError(Kind::kCannotOpen,
                     name +
                         ": the server's TLS certificate is not trusted here (the system's "
                         "certificate authorities, or SSL_CERT_FILE)");
  }
  if (!result) {
    throw StoreError(Kind::kUnavailable, name + ": the server does not answer (" +
                                             httplib::to_string(result.error()) + ")");
  }
  const int code = codeOf(body);
  const std::string words = wordsOf(body);
  if (status == 401 || code == 192 || code == 193 || code == 194 || code == 516) {
    throw StoreError(Kind::kCannotOpen,
                     name + ": the server refused the user or password: " + words);
  }
  if (code == 81) throw StoreError(Kind::kCannotOpen, name + ": no such database: " + words);
  if (code == 164 || code == 497) throw StoreError(Kind::kReadOnly, name + ": " + words);
  if (status >= 500 && !lasting(code)) {
    throw StoreError(Kind::kUnavailable, name + ": the server failed for the moment: " + words);
  }
  throw StoreError(Kind::kFailed, name + ": " + words);
}

}  // namespace

std::string ClickHouseConnection::execute(const std::string& sql, bool inDatabase) {
  const auto result = client->Post(pathFor("", inDatabase), sql, "text/plain");
  if (!result || result->status != 200)
    fail(at, result, result ? result->status : 0, result ? result->body : "");
  return result->body;
}

void ClickHouseConnection::insert(const std::string& sql, std::string_view rows) {
  const auto result = client->Post(pathFor(sql, /*inDatabase=*/true), rows.data(), rows.size(),
                                   "application/octet-stream");
  if (!result || result->status != 200)
    fail(at, result, result ? result->status : 0, result ? result->body : "");
}

void ClickHouseConnection::select(const std::string& sql,
                                  const std::function<bool(std::string_view)>& receive) {
  httplib::Request request;
  request.method = "POST";
  request.path = pathFor("", /*inDatabase=*/true);
  request.body = sql;
  request.set_header("Content-Type", "text/plain");
  int status = 0;
  std::string failure;  // the body of an answer other than 200
  bool stopped = false;
  request.response_handler = [&](const httplib::Response& response) {
    status = response.status;
    return true;
  };
  request.content_receiver = [&](const char* data, std::size_t size, std::uint64_t, std::uint64_t) {
    if (status != 200) {
      failure.append(data, size);
      return true;
    }
    stopped = !receive(std::string_view(data, size));
    return !stopped;
  };
  const auto result = client->send(request);
  if (stopped) return;
  if (!result || status != 200) fail(at, result, status, failure);
}

}  // namespace store
