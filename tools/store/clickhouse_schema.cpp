// tools/store/clickhouse_schema.cpp
//
// The tables' definitions by server version, making them and checking the
// shape of those already there. See clickhouse_schema.h.
//
// Threads: one thread.
#include "store/clickhouse_schema.h"

#include <charconv>
#include <map>
#include <sstream>

#include "store/store_error.h"

namespace store {
namespace {

using Kind = StoreError::Kind;

struct Column {
  const char* name;
  const char* type;    // as 18.16 has it; a newer server may wrap names in LowCardinality
  const char* extras;  // what a newer server adds: LowCardinality, a codec
};

constexpr Column kRecordColumns[] = {
    {"kind", "UInt8", ""},  // 0 record, 1 gap
    // The order of events as the recorder appended them (see clickhouse_store.h).
    {"id", "Int64", "CODEC(Delta, ZSTD)"},
    {"received_ns", "Int64", "CODEC(Delta, ZSTD)"},  // a gap: when the record after it came
    {"target", "String", "LowCardinality"},          // "address:port"
    {"uuid", "FixedString(16)", ""},
    {"application", "String", "LowCardinality"},
    {"sequence", "UInt32", "CODEC(Delta, ZSTD)"},  // a gap: its first number
    {"gap_count", "UInt32", ""},                   // a gap: the records it stands for
    {"client_mask", "UInt32", ""},
    {"client_level", "Int8", ""},  // -1 when the mask is not one bit
    {"level_name", "String", "LowCardinality"},
    {"pid", "Int32", ""},
    {"tid", "Int32", ""},
    {"tick", "UInt32", "CODEC(Delta, ZSTD)"},
    {"line", "Int32", ""},
    {"component", "String", "LowCardinality"},
    {"file", "String", "LowCardinality"},
    {"function", "String", "LowCardinality"},
    {"text", "String", "CODEC(ZSTD)"},
    // When the row reached the server: a follower's second cursor, for
    // batches that land after newer ones.
    {"inserted", "DateTime", "DEFAULT now()"},
};

constexpr Column kAuditColumns[] = {
    {"id", "Int64", ""},  // its own counter: the time of the change, made unique
    {"at_ns", "Int64", ""},
    {"target", "String", ""},
    {"application", "String", ""},
    {"component", "String", ""},
    {"mask_before", "UInt32", ""},
    {"mask_after", "UInt32", ""},
    {"levels_before", "String", ""},
    {"levels_after", "String", ""},
    {"changed_by", "String", ""},
    {"why", "String", ""},
};

template <std::size_t N>
std::string columnList(const Column (&columns)[N], ServerVersion version) {
  std::string list;
  for (const Column& c : columns) {
    const std::string extras = c.extras;
    std::string type = c.type;
    std::string after;
    if (extras == "DEFAULT now()") {
      after = " " + extras;
    } else if (version.modern() && extras == "LowCardinality") {
      type = "LowCardinality(" + type + ")";
    } else if (version.modern() && !extras.empty()) {
      after = " " + extras;
    }
    list += std::string("  ") + c.name + " " + type + after + ",\n";
  }
  return list;
}

// The type without the LowCardinality a newer server may add.
std::string baseType(std::string type) {
  if (type.starts_with("LowCardinality(") && type.ends_with(")"))
    type = type.substr(15, type.size() - 16);
  return type;
}

template <std::size_t N>
void checkShape(ClickHouseConnection& connection, const std::string& table,
                const Column (&expected)[N]) {
  const ClickHouseLocation& at = connection.location();
  const std::string answer = connection.execute(
      "SELECT name, type FROM system.columns WHERE database = " + quoted(at.database) +
      " AND table = " + quoted(table) + " FORMAT TabSeparated");
  std::map<std::string, std::string> found;
  std::istringstream lines(answer);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) found[line.substr(0, tab)] = line.substr(tab + 1);
  }
  std::string differs;
  const auto add = [&](const std::string& what) {
    differs += (differs.empty() ? "" : "; ") + what;
  };
  for (const Column& c : expected) {
    const auto it = found.find(c.name);
    if (it == found.end()) {
      add(std::string(c.name) + " missing");
      continue;
    }
    if (baseType(it->second) != c.type)
      add(std::string(c.name) + " is " + it->second + ", not " + c.type);
    found.erase(it);
  }
  for (const auto& [name, type] : found) add(name + " " + type + " is not ours");
  if (!differs.empty()) {
    throw StoreError(Kind::kNotOurs,
                     at.shown() + ": table " + table +
                         " is there with another shape, not a record store: " + differs);
  }
}

}  // namespace

ServerVersion serverVersion(ClickHouseConnection& connection) {
  const std::string text = connection.execute("SELECT version()", /*inDatabase=*/false);
  ServerVersion v;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  p = std::from_chars(p, end, v.major).ptr;
  if (p < end && *p == '.') std::from_chars(p + 1, end, v.minor);
  return v;
}

std::string recordsTableDefinition(const std::string& table, ServerVersion version) {
  std::string sql =
      "CREATE TABLE IF NOT EXISTS " + table + " (\n" + columnList(kRecordColumns, version);
  if (version.modern())
    sql += "  INDEX text_tokens text TYPE tokenbf_v1(32768, 3, 0) GRANULARITY 4,\n";
  sql.resize(sql.size() - 2);  // the last ",\n"
  sql +=
      "\n) ENGINE = MergeTree()\n"
      "PARTITION BY toDate(intDiv(received_ns, 1000000000))\n"
      "ORDER BY (target, component, received_ns)";
  return sql;
}

std::string auditTableDefinition(const std::string& table, ServerVersion version) {
  std::string sql =
      "CREATE TABLE IF NOT EXISTS " + table + " (\n" + columnList(kAuditColumns, version);
  sql.resize(sql.size() - 2);
  sql += "\n) ENGINE = MergeTree()\nORDER BY (at_ns, id)";
  return sql;
}

bool prepareTables(ClickHouseConnection& connection, ServerVersion version, bool mayCreate) {
  const ClickHouseLocation& at = connection.location();
  const std::string audit = at.table + "_audit";
  const std::string answer = connection.execute(
      "SELECT name, engine FROM system.tables WHERE database = " + quoted(at.database) +
      " AND name IN (" + quoted(at.table) + ", " + quoted(audit) + ") FORMAT TabSeparated");
  std::map<std::string, std::string> engines;
  std::istringstream lines(answer);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) engines[line.substr(0, tab)] = line.substr(tab + 1);
  }
  const bool haveRecords = engines.contains(at.table);
  const bool haveAudit = engines.contains(audit);
  // A Distributed table shows its shards' columns: the same check holds.
  const bool distributed = haveRecords && engines[at.table] == "Distributed";
  if (haveRecords) checkShape(connection, at.table, kRecordColumns);
  if (haveAudit) checkShape(connection, audit, kAuditColumns);
  if (!mayCreate) {
    if (!haveRecords) {
      throw StoreError(Kind::kNotOurs, at.shown() + ": no table " + at.table + " in database " +
                                           at.database + ": record into it first");
    }
    return distributed;
  }
  if (distributed && !haveAudit) {
    // Made here it would be a plain table on whichever server this is,
    // and the fleet's other readers would never see its rows.
    throw StoreError(Kind::kNotOurs, at.shown() + ": table " + at.table +
                                         " is Distributed but there is no " + audit +
                                         " beside it: make it Distributed over the shards' " +
                                         "audit tables as the README shows (Running a fleet)");
  }
  if (!haveRecords) connection.execute(recordsTableDefinition(at.table, version));
  if (!haveAudit) connection.execute(auditTableDefinition(audit, version));
  return distributed;
}

}  // namespace store
