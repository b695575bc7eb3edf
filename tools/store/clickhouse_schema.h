// tools/store/clickhouse_schema.h
//
// The tables of a ClickHouse store, and how a store is made or checked
// when it is opened. Records and gaps share one table (TABLE, "records"
// unless the name says ?table=): one scan, one order, one rule against
// rows sent twice and one retention serve both, and a gap's few numbers
// fit the record's columns. The audit trail is TABLE_audit.
//
// The records table is partitioned by receive day (retention drops whole
// days) and sorted by target, component and receive time, so "this
// target's component, newest first" reads one narrow range. Servers before
// 20 take it as 18.16 does: plain types. Newer ones get LowCardinality for
// the names, codecs for the counters and the text, and a token index on
// the text. README ("History on ClickHouse") shows both.
//
// Threads: one thread, with the connection.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "store/clickhouse_http.h"

namespace store {

struct ServerVersion {
  int major = 0, minor = 0;
  bool modern() const { return major >= 20; }  // LowCardinality, codecs, token index, TTL
};

ServerVersion serverVersion(ClickHouseConnection& connection);

// The CREATE statements for a server of `version`.
std::string recordsTableDefinition(const std::string& table, ServerVersion version);
std::string auditTableDefinition(const std::string& table, ServerVersion version);

// Makes the database's tables when missing (`mayCreate`), else requires
// them; a table there of another shape is refused naming each column that
// differs. Returns whether the records table is a Distributed one over
// shards (README "Running a fleet"): the operator makes it and its audit
// table, a relay never does. Throws StoreError: kNotOurs, kCannotOpen,
// kUnavailable, kFailed.
bool prepareTables(ClickHouseConnection& connection, ServerVersion version, bool mayCreate);

}  // namespace store
