// tools/store/known_records.cpp
//
// Reading what a store holds of some target instances, and recognising
// entries by it. See known_records.h.
//
// Threads: one thread, as the store.
#include "store/known_records.h"

#include "store/sqlite_store.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "store/sqlite.h"
#include "store/store_error.h"

namespace store {
namespace {

// FNV-1a over the record's fields as the store keeps them, each string
// after its length, so that "ab"+"c" and "a"+"bc" differ.
class Digest {
 public:
  void add(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  void add(std::string_view text) {
    add(std::uint64_t{text.size()});
    for (const char c : text) byte(static_cast<std::uint8_t>(c));
  }
  std::uint64_t value() const { return hash; }

 private:
  void byte(std::uint8_t b) {
    hash ^= b;
    hash *= 0x100000001b3;
  }
  std::uint64_t hash = 0xcbf29ce484222325;
};

std::uint64_t contentDigest(std::uint32_t clientMask, const std::array<std::int32_t, 4>& integers,
                            const std::array<std::string_view, 4>& strings) {
  Digest digest;
  digest.add(clientMask);
  for (const std::int32_t n : integers) digest.add(static_cast<std::uint32_t>(n));
  for (const std::string_view s : strings) digest.add(s);
  return digest.value();
}

std::uint64_t contentDigest(const codec::LogRecord& r) {
  return contentDigest(r.clientMask, r.integers, {r.component(), r.file(), r.function(), r.text()});
}

}  // namespace

KnownRecords::KnownRecords(SqliteStore& store, std::span<const Entry> entries) {
  // The range of sequence numbers per instance, and every instance a gap names.
  std::map<Instance, std::pair<std::uint32_t, std::uint32_t>> ranges;
  std::set<Instance> gapInstances;
  for (const Entry& entry : entries) {
    if (const auto* r = std::get_if<StoredRecord>(&entry)) {
      const std::uint32_t n = r->arrived.record.sequence;
      const auto [it, added] =
          ranges.try_emplace({r->arrived.source, r->arrived.record.uuid}, n, n);
      it->second = {std::min(it->second.first, n), std::max(it->second.second, n)};
    } else {
      const auto& g = std::get<StoredGap>(entry);
      gapInstances.insert({g.target, g.uuid});
    }
  }
  try {
    sqlite::Database& db = store.database();
    sqlite::Statement storedRecords(
        db,
        "SELECT r.sequence, r.client_mask, r.pid, r.tid, r.tick, r.line, "
        "r.component, r.file, r.function, r.text "
        "FROM sources s JOIN records r ON r.source = s.id "
        "WHERE s.target = ?1 AND s.uuid = ?2 AND r.sequence BETWEEN ?3 AND ?4",
        /*persistent=*/false);
    for (const auto& [instance, range] : ranges) {
      auto& known = records[instance];
      storedRecords.reset();
      storedRecords.bind(1, instance.first)
          .bind(2, std::span<const std::uint8_t>(instance.second))
          .bind(3, std::int64_t{range.first})
          .bind(4, std::int64_t{range.second});
      while (storedRecords.step()) {
        std::array<std::int32_t, 4> integers{};
        for (int i = 0; i < 4; ++i) {
          // Each kept as the 32 bits it came as: the tick unsigned, the rest signed.
          integers[static_cast<std::size_t>(i)] =
              static_cast<std::int32_t>(static_cast<std::uint32_t>(storedRecords.columnInt(2 + i)));
        }
        const std::array<std::string, 4> strings = {
            storedRecords.columnText(6), storedRecords.columnText(7), storedRecords.columnText(8),
            storedRecords.columnText(9)};
        known.emplace(static_cast<std::uint32_t>(storedRecords.columnInt(0)),
                      contentDigest(static_cast<std::uint32_t>(storedRecords.columnInt(1)),
                                    integers, {strings[0], strings[1], strings[2], strings[3]}));
      }
    }
    sqlite::Statement storedGaps(db,
                                 "SELECT g.first, g.last FROM sources s JOIN gaps g "
                                 "ON g.source = s.id WHERE s.target = ?1 AND s.uuid = ?2",
                                 /*persistent=*/false);
    for (const Instance& instance : gapInstances) {
      auto& known = gaps[instance];
      storedGaps.reset();
      storedGaps.bind(1, instance.first).bind(2, std::span<const std::uint8_t>(instance.second));
      while (storedGaps.step()) {
        known.emplace(static_cast<std::uint32_t>(storedGaps.columnInt(0)),
                      static_cast<std::uint32_t>(storedGaps.columnInt(1)));
      }
    }
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

bool KnownRecords::add(const Entry& entry) {
  if (const auto* r = std::get_if<StoredRecord>(&entry)) {
    const codec::LogRecord& record = r->arrived.record;
    return !records[{r->arrived.source, record.uuid}]
                .emplace(record.sequence, contentDigest(record))
                .second;
  }
  const auto& g = std::get<StoredGap>(entry);
  return !gaps[{g.target, g.uuid}].emplace(g.gap.first, g.last()).second;
}

}  // namespace store
