// tools/store/clickhouse_http.h
//
// The conversation with a ClickHouse server over its HTTP interface: one
// statement per request, the user and password as basic authentication,
// the database as a parameter, and the server's answer turned into the
// store's errors. A server that cannot be reached, does not answer in
// time or fails for the moment (HTTP 5xx without a fault of the
// statement's own) is kUnavailable, which a writer retries; wrong
// credentials or an unknown database are kCannotOpen, naming the store
// without its password.
//
// Threads: a ClickHouseConnection belongs to one thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/clickhouse_location.h"

namespace httplib {
class Client;
}  // namespace httplib

namespace store {

class ClickHouseConnection {
 public:
  // Connects lazily; `timeout` bounds connecting, each read and each write.
  explicit ClickHouseConnection(ClickHouseLocation at,
                                std::chrono::seconds timeout = std::chrono::seconds(30));
  ~ClickHouseConnection();
  ClickHouseConnection(const ClickHouseConnection&) = delete;
  ClickHouseConnection& operator=(const ClickHouseConnection&) = delete;

  // A statement with a short answer, which is returned. `database`: run it
  // in the store's database (false: for CREATE DATABASE, which may not
  // exist yet). Throws StoreError.
  std::string execute(const std::string& sql, bool inDatabase = true);
  // An INSERT ... FORMAT statement and its rows, in one request: all of
  // them are stored or (on a throw) none. Throws StoreError.
  void insert(const std::string& sql, std::string_view rows);
  // A SELECT whose answer is handed to `receive` as it comes; returning
  // false stops reading early. Throws StoreError.
  void select(const std::string& sql, const std::function<bool(std::string_view)>& receive);

  // A server setting sent with every request from now on.
  void setSetting(const std::string& name, const std::string& value) {
    settings.emplace_back(name, value);
  }

  const ClickHouseLocation& location() const { return at; }

 private:
  std::string pathFor(const std::string& query, bool inDatabase) const;

  ClickHouseLocation at;
  std::vector<std::pair<std::string, std::string>> settings;
  std::unique_ptr<httplib::Client> client;
};

// A string as a ClickHouse literal, quoted: every byte but printable ASCII
// escaped, so that any bytes at all travel inside a statement.
std::string quoted(std::string_view text);

}  // namespace store
