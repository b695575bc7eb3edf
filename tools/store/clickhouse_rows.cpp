// tools/store/clickhouse_rows.cpp
//
// RowBinary rows of records and gaps, both ways. See clickhouse_rows.h.
//
// Threads: any thread.
#include "store/clickhouse_rows.h"

#include <cstring>
#include <type_traits>

#include "model/levels.h"

namespace store {
namespace {

template <typename T>
void put(std::string& out, T value) {
  static_assert(std::is_integral_v<T>);
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));  // little-endian, as RowBinary is on this machine
  out.append(bytes, sizeof(T));
}

void putString(std::string& out, std::string_view text) {
  std::uint64_t n = text.size();
  do {  // LEB128 length
    const auto byte = static_cast<char>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0));
    out.push_back(byte);
    n >>= 7;
  } while (n != 0);
  out.append(text);
}

// Reads through one row; false (and nothing taken) when it is not all there.
class Cursor {
 public:
  Cursor(const std::string& buffer, std::size_t at) : data(buffer), at(at) {}
  template <typename T>
  bool get(T& value) {
    if (data.size() - at < sizeof(T)) return false;
    std::memcpy(&value, data.data() + at, sizeof(T));
    at += sizeof(T);
    return true;
  }
  bool getString(std::string& text) {
    std::uint64_t n = 0;
    for (int shift = 0;; shift += 7) {
      if (at >= data.size() || shift > 63) return false;
      const auto byte = static_cast<unsigned char>(data[at++]);
      n |= std::uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) break;
    }
    if (data.size() - at < n) return false;
    text.assign(data, at, n);
    at += n;
    return true;
  }
  bool getUuid(codec::Uuid& uuid) {
    if (data.size() - at < uuid.size()) return false;
    std::memcpy(uuid.data(), data.data() + at, uuid.size());
    at += uuid.size();
    return true;
  }
  std::size_t position() const { return at; }

 private:
  const std::string& data;
  std::size_t at;
};

}  // namespace

std::int64_t nanosecondsOf(remote::SystemClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

remote::SystemClock::time_point fromNanoseconds(std::int64_t ns) {
  return remote::SystemClock::time_point(
      std::chrono::duration_cast<remote::SystemClock::duration>(std::chrono::nanoseconds(ns)));
}

RowKey keyOf(const Entry& entry) {
  if (const auto* r = std::get_if<StoredRecord>(&entry)) {
    return {kRecordKind, r->arrived.source, r->arrived.record.uuid, r->arrived.record.sequence,
            nanosecondsOf(r->arrived.receivedAt)};
  }
  const auto& g = std::get<StoredGap>(entry);
  return {kGapKind, g.target, g.uuid, g.gap.first, nanosecondsOf(g.seenAt)};
}

void writeRow(std::string& rows, std::int64_t id, const Entry& entry) {
  if (const auto* stored = std::get_if<StoredRecord>(&entry)) {
    const remote::ArrivedRecord& a = stored->arrived;
    const codec::LogRecord& r = a.record;
    put(rows, kRecordKind);
    put(rows, id);
    put(rows, nanosecondsOf(a.receivedAt));
    putString(rows, a.source);
    rows.append(reinterpret_cast<const char*>(r.uuid.data()), r.uuid.size());
    putString(rows, stored->applicationName);
    put(rows, r.sequence);
    put(rows, std::uint32_t{0});
    put(rows, r.clientMask);
    put(rows, static_cast<std::int8_t>(remote::recordClientLevel(r.clientMask)));
    putString(rows, stored->levelName.empty() ? remote::recordLevelName(r.clientMask, {})
                                              : stored->levelName);
    put(rows, r.pid());
    put(rows, r.tid());
    put(rows, r.tick());
    put(rows, r.line());
    putString(rows, r.component());
    putString(rows, r.file());
    putString(rows, r.function());
    putString(rows, r.text());
    return;
  }
  const auto& g = std::get<StoredGap>(entry);
  put(rows, kGapKind);
  put(rows, id);
  put(rows, nanosecondsOf(g.seenAt));
  putString(rows, g.target);
  rows.append(reinterpret_cast<const char*>(g.uuid.data()), g.uuid.size());
  putString(rows, g.applicationName);
  put(rows, g.gap.first);
  put(rows, g.gap.count);
  put(rows, std::uint32_t{0});
  put(rows, std::int8_t{-1});
  putString(rows, "");  // level name
  for (int i = 0; i < 4; ++i) put(rows, std::int32_t{0});
  for (int i = 0; i < 4; ++i) putString(rows, "");
}

bool RowReader::next(ReadRow& row) {
  Cursor c(buffer, position);
  std::uint8_t kind = 0;
  std::int64_t id = 0, receivedNs = 0;
  std::string target, application, levelName;
  codec::Uuid uuid{};
  std::uint32_t sequence = 0, gapCount = 0, clientMask = 0, inserted = 0;
  std::int8_t clientLevel = 0;
  std::int32_t integers[4] = {};
  std::string strings[4];
  bool whole = c.get(kind) && c.get(id) && c.get(receivedNs) && c.getString(target) &&
               c.getUuid(uuid) && c.getString(application) && c.get(sequence) && c.get(gapCount) &&
               c.get(clientMask) && c.get(clientLevel) && c.getString(levelName);
  for (int i = 0; whole && i < 4; ++i) whole = c.get(integers[i]);
  for (int i = 0; whole && i < 4; ++i) whole = c.getString(strings[i]);
  whole = whole && c.get(inserted);
  if (!whole) return false;
  position = c.position();
  if (position > (1 << 20) && position * 2 > buffer.size()) {  // keep the buffer short
    buffer.erase(0, position);
    position = 0;
  }
  row.inserted = inserted;
  if (kind == kGapKind) {
    StoredGap gap;
    gap.id = id;
    gap.seenAt = fromNanoseconds(receivedNs);
    gap.target = std::move(target);
    gap.uuid = uuid;
    gap.applicationName = std::move(application);
    gap.gap.first = sequence;
    gap.gap.count = gapCount;
    row.entry = std::move(gap);
    return true;
  }
  StoredRecord stored;
  stored.id = id;
  remote::ArrivedRecord& a = stored.arrived;
  a.receivedAt = fromNanoseconds(receivedNs);
  a.source = std::move(target);
  a.record.uuid = uuid;
  a.record.sequence = sequence;
  a.record.clientMask = clientMask;
  for (int i = 0; i < 4; ++i) {
    a.record.integers[static_cast<std::size_t>(i)] = integers[i];
    a.record.strings[static_cast<std::size_t>(i)] = std::move(strings[i]);
  }
  stored.applicationName = std::move(application);
  stored.levelName = std::move(levelName);
  row.entry = std::move(stored);
  return true;
}

}  // namespace store
