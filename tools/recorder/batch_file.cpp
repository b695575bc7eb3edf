// tools/recorder/batch_file.cpp
//
// The spool's batch file, written and read; see batch_file.h. Numbers are
// little-endian whatever the machine, so a spool outlives a move of its
// disk to another host.
//
// Threads: pure functions.
#include "recorder/batch_file.h"

#include <array>
#include <cstring>
#include <type_traits>

namespace remote {
namespace {

constexpr std::array<char, 8> kMagic = {'T', 'V', 'S', 'P', 'O', 'O', 'L', '1'};
constexpr std::uint8_t kRecordTag = 'R';
constexpr std::uint8_t kGapTag = 'G';

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFU;
  for (const std::uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFU;
}

// The checksum sits last in the header and covers the counts before it
// and the payload after it.
constexpr std::size_t kChecksumAt = BatchFileHeader::kSize - 4;

std::uint32_t checksumOf(std::span<const std::uint8_t> file) {
  std::vector<std::uint8_t> covered(file.begin() + kMagic.size(), file.begin() + kChecksumAt);
  covered.insert(covered.end(), file.begin() + BatchFileHeader::kSize, file.end());
  return crc32(covered);
}

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& out) : out(out) {}

  template <typename T>
  void number(T value) {
    using U = std::make_unsigned_t<T>;
    auto v = static_cast<U>(value);
    for (std::size_t i = 0; i < sizeof(U); ++i) {
      out.push_back(static_cast<std::uint8_t>(v & 0xFF));
      if constexpr (sizeof(U) > 1) v = static_cast<U>(v >> 8);
    }
  }
  void text(const std::string& s) {
    number(static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  }
  void uuid(const codec::Uuid& u) { out.insert(out.end(), u.begin(), u.end()); }
  void time(SystemClock::time_point t) {
    number(static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count()));
  }

 private:
  std::vector<std::uint8_t>& out;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in(in) {}

  template <typename T>
  T number() {
    using U = std::make_unsigned_t<T>;
    const auto bytes = take(sizeof(U));
    U v = 0;
    for (std::size_t i = sizeof(U); i-- > 0;) v = static_cast<U>((v << 8) | bytes[i]);
    return static_cast<T>(v);
  }
  std::string text() {
    const auto size = number<std::uint32_t>();
    const auto bytes = take(size);
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }
  codec::Uuid uuid() {
    codec::Uuid u{};
    const auto bytes = take(u.size());
    std::memcpy(u.data(), bytes.data(), u.size());
    return u;
  }
  SystemClock::time_point time() {
    return SystemClock::time_point(std::chrono::duration_cast<SystemClock::duration>(
        std::chrono::nanoseconds(number<std::int64_t>())));
  }
  bool atEnd() const { return at == in.size(); }

 private:
  std::span<const std::uint8_t> take(std::size_t n) {
    if (n > in.size() - at)
      throw BatchFileError("an entry runs past the end of the batch (byte " + std::to_string(at) +
                           ")");
    const auto part = in.subspan(at, n);
    at += n;
    return part;
  }

  std::span<const std::uint8_t> in;
  std::size_t at = 0;
};

void writeEntry(Writer& w, const store::Entry& entry) {
  if (const auto* r = std::get_if<store::StoredRecord>(&entry)) {
    const codec::LogRecord& record = r->arrived.record;
    w.number(kRecordTag);
    w.uuid(record.uuid);
    w.number(record.sequence);
    for (const std::int32_t i : record.integers) w.number(i);
    w.number(record.clientMask);
    for (const std::string& s : record.strings) w.text(s);
    w.time(r->arrived.receivedAt);
    w.text(r->arrived.source);
    w.text(r->applicationName);
    w.text(r->levelName);
    return;
  }
  const auto& g = std::get<store::StoredGap>(entry);
  w.number(kGapTag);
  w.text(g.target);
  w.uuid(g.uuid);
  w.number(g.gap.first);
  w.number(g.gap.count);
  w.time(g.gap.seenAt);
  w.time(g.seenAt);
  w.text(g.applicationName);
}

store::Entry readEntry(Reader& r) {
  const auto tag = r.number<std::uint8_t>();
  if (tag == kRecordTag) {
    store::StoredRecord s;
    codec::LogRecord& record = s.arrived.record;
    record.uuid = r.uuid();
    record.sequence = r.number<std::uint32_t>();
    for (std::int32_t& i : record.integers) i = r.number<std::int32_t>();
    record.clientMask = r.number<std::uint32_t>();
    for (std::string& text : record.strings) text = r.text();
    s.arrived.receivedAt = r.time();
    s.arrived.source = r.text();
    s.applicationName = r.text();
    s.levelName = r.text();
    return s;
  }
  if (tag == kGapTag) {
    store::StoredGap g;
    g.target = r.text();
    g.uuid = r.uuid();
    g.gap.first = r.number<std::uint32_t>();
    g.gap.count = r.number<std::uint32_t>();
    g.gap.seenAt = r.time();
    g.seenAt = r.time();
    g.applicationName = r.text();
    return g;
  }
  throw BatchFileError("an entry of unknown kind " + std::to_string(tag));
}

}  // namespace

std::vector<std::uint8_t> encodeBatch(std::span<const store::Entry> entries) {
  std::vector<std::uint8_t> out(BatchFileHeader::kSize);
  Writer payload(out);
  std::uint32_t records = 0;
  for (const store::Entry& entry : entries) {
    writeEntry(payload, entry);
    if (std::holds_alternative<store::StoredRecord>(entry)) ++records;
  }
  std::vector<std::uint8_t> header;
  header.reserve(BatchFileHeader::kSize);
  Writer h(header);
  for (const char c : kMagic) h.number(static_cast<std::uint8_t>(c));
  h.number(static_cast<std::uint32_t>(entries.size()));
  h.number(records);
  h.number(static_cast<std::uint64_t>(out.size() - BatchFileHeader::kSize));
  std::memcpy(out.data(), header.data(), header.size());
  const std::uint32_t checksum = checksumOf(out);
  header.clear();
  h.number(checksum);
  std::memcpy(out.data() + kChecksumAt, header.data(), header.size());
  return out;
}

BatchFileHeader decodeBatchHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < BatchFileHeader::kSize)
    throw BatchFileError("shorter than a batch header (" + std::to_string(bytes.size()) +
                         " bytes)");
  if (std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0)
    throw BatchFileError("not a spooled batch (no batch header)");
  Reader r(bytes.subspan(kMagic.size(), BatchFileHeader::kSize - kMagic.size()));
  BatchFileHeader header;
  header.entries = r.number<std::uint32_t>();
  header.records = r.number<std::uint32_t>();
  header.payloadBytes = r.number<std::uint64_t>();
  header.checksum = r.number<std::uint32_t>();
  return header;
}

std::vector<store::Entry> decodeBatch(std::span<const std::uint8_t> bytes) {
  const BatchFileHeader header = decodeBatchHeader(bytes);
  if (bytes.size() != header.fileBytes())
    throw BatchFileError("cut short or grown: " + std::to_string(bytes.size()) +
                         " bytes where the header says " + std::to_string(header.fileBytes()));
  if (checksumOf(bytes) != header.checksum) throw BatchFileError("damaged (checksum mismatch)");
  Reader r(bytes.subspan(BatchFileHeader::kSize));
  std::vector<store::Entry> entries;
  entries.reserve(header.entries);
  for (std::uint32_t i = 0; i < header.entries; ++i) entries.push_back(readEntry(r));
  if (!r.atEnd()) throw BatchFileError("bytes after the last entry the header counts");
  return entries;
}

}  // namespace remote
