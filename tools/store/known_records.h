// tools/store/known_records.h
//
// What a record store already holds of the target instances a batch of
// entries names, so that a capture imported twice, or the capture of a
// recording the store already has, stores nothing twice.
//
// A record is known when the store holds one of the same target instance
// (address and uuid, whatever application name it had) with the same
// sequence number and the same content: the numbers come round again after
// 2^32 records, and the content tells that later record from the earlier
// one. The content is compared by a 64-bit digest, so a later record is
// taken for an earlier one only if it has the same instance, number and
// digest. A gap is known when the store holds one of the same instance
// with the same first and last number.
//
// Threads: built on the thread the store belongs to, which it reads only in
// the constructor; after that it is plain memory, owned by one thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <utility>

#include "store/entry.h"

namespace store {

class SqliteStore;

class KnownRecords {
 public:
  // Reads what `store` holds of the instances `entries` name, for records
  // only within the range of sequence numbers `entries` holds of each.
  // Throws StoreError.
  KnownRecords(SqliteStore& store, std::span<const Entry> entries);
  // Knows nothing yet: an engine that reads its entries itself add()s
  // what it holds.
  KnownRecords() = default;

  // True when the store held the entry or an earlier add() had it; else
  // remembers it and returns false, so an entry a capture holds twice is
  // stored once.
  bool add(const Entry& entry);

 private:
  using Instance = std::pair<std::string, codec::Uuid>;  // target, uuid
  // Per instance: sequence number and content digest of each record, and
  // first and last number of each gap.
  std::map<Instance, std::set<std::pair<std::uint32_t, std::uint64_t>>> records;
  std::map<Instance, std::set<std::pair<std::uint32_t, std::uint32_t>>> gaps;
};

}  // namespace store
