// tools/codec/client_codec.cpp
//
// Request builders and datagram parsers of the client-side codec. Every
// offset and descriptor comes from protocol/wire_format.h; the parsers walk
// the datagram with a Reader that checks each field against the datagram's
// real end before touching it.
//
// Threads: pure functions; callable from any thread.
#include "codec/client_codec.h"

#include <algorithm>
#include <cstring>

#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace codec {
namespace {

void appendBe32(Bytes& out, std::uint32_t value) {
  const std::size_t at = out.size();
  out.resize(at + wire::kFieldSize);
  wire::storeBe32(out.data() + at, value);
}

void appendString(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

Bytes descriptorOnly(std::uint32_t descriptor) {
  Bytes out;
  appendBe32(out, descriptor);
  return out;
}

// Walks one datagram front to back. Each read checks the remaining length
// first, so no read goes past `bytes`, whatever the datagram claims.
class Reader {
 public:
  Reader(ByteSpan bytes, std::string kind) : bytes(bytes), kind(std::move(kind)) {}

  // Fails unless the datagram is at least `size` bytes; names what it is.
  bool atLeast(std::size_t size, const char* what) {
    if (bytes.size() >= size) return true;
    fail("too short for " + std::string(what) + " (" + std::to_string(bytes.size()) +
         " bytes, need at least " + std::to_string(size) + ")");
    return false;
  }
  bool descriptor(std::uint32_t expected) {
    if (!atLeast(wire::kFieldSize, "its descriptor")) return false;
    const std::uint32_t found = wire::loadBe32(bytes.data() + wire::kDescriptorOffset);
    if (found != expected) {
      fail("descriptor " + std::to_string(found) + ", expected " + std::to_string(expected));
      return false;
    }
    position = wire::kFieldSize;
    return true;
  }
  bool uuid(Uuid& out) {
    if (!atLeast(wire::kHeaderSize, "the header")) return false;
    std::memcpy(out.data(), bytes.data() + wire::kUuidOffset, wire::kUuidSize);
    position = wire::kHeaderSize;
    return true;
  }
  bool be32(std::uint32_t& out, const std::string& what) {
    if (bytes.size() - position < wire::kFieldSize) {
      fail(what + " cut short at offset " + std::to_string(position));
      return false;
    }
    out = wire::loadBe32(bytes.data() + position);
    position += wire::kFieldSize;
    return true;
  }
  bool string(std::string& out, const std::string& what) {
    const std::uint8_t* start = bytes.data() + position;
    const void* nul = std::memchr(start, 0, bytes.size() - position);
    if (nul == nullptr) {
      fail(what + " not NUL-terminated");
      return false;
    }
    const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - start);
    out.assign(reinterpret_cast<const char*>(start), length);
    position += length + 1;
    return true;
  }
  std::size_t remaining() const { return bytes.size() - position; }
  bool end() {
    if (remaining() == 0) return true;
    fail(std::to_string(remaining()) + " bytes left over at offset " + std::to_string(position));
    return false;
  }

  void fail(const std::string& what) { error = kind + ": " + what; }
  std::string error;

 private:
  ByteSpan bytes;
  std::string kind;
  std::size_t position = 0;
};

template <typename T>
Parsed<T> parseApplicationInfo(ByteSpan bytes, std::uint32_t descriptor) {
  Reader in(bytes, kindName(descriptor));
  T out;
  if (in.descriptor(descriptor) && in.uuid(out.uuid) &&
      in.string(out.applicationName, "application name") && in.end()) {
    return out;
  }
  return Parsed<T>::failure(in.error);
}

}  // namespace

Bytes buildDiscoveryRequest() { return descriptorOnly(wire::kDiscoveryRequest); }
Bytes buildRegistrationRequest() { return descriptorOnly(wire::kRegistrationRequest); }
Bytes buildUnregistrationRequest() { return descriptorOnly(wire::kUnregistrationRequest); }

Bytes buildSetLevelRequest(std::uint32_t requestId, std::uint32_t clientMask,
                           std::string_view component) {
  Bytes out;
  out.reserve(wire::slv::kMinSize + component.size());
  appendBe32(out, wire::kSetLevelRequest);
  appendBe32(out, requestId);
  appendBe32(out, clientMask);
  appendString(out, component);
  return out;
}

Bytes buildGetLevelDescriptionsRequest(std::uint32_t requestId, std::string_view component) {
  Bytes out;
  out.reserve(wire::glvd::kMinSize + component.size());
  appendBe32(out, wire::kGetLevelDescriptionsRequest);
  appendBe32(out, requestId);
  appendString(out, component);
  return out;
}

Parsed<DiscoveryResponse> parseDiscoveryResponse(ByteSpan bytes) {
  return parseApplicationInfo<DiscoveryResponse>(bytes, wire::kDiscoveryResponse);
}

Parsed<RegistrationConfirm> parseRegistrationConfirm(ByteSpan bytes) {
  return parseApplicationInfo<RegistrationConfirm>(bytes, wire::kRegistrationConfirm);
}

Parsed<ComponentInfo> parseComponentInfo(ByteSpan bytes) {
  Reader in(bytes, kindName(wire::kComponentInfo));
  ComponentInfo out;
  if (in.descriptor(wire::kComponentInfo) && in.uuid(out.uuid) &&
      in.be32(out.requestId, "request id") && in.be32(out.clientMask, "client mask") &&
      in.string(out.name, "name") && in.end()) {
    return out;
  }
  return Parsed<ComponentInfo>::failure(in.error);
}

Parsed<LevelDescriptions> parseLevelDescriptions(ByteSpan bytes) {
  Reader in(bytes, kindName(wire::kLevelDescriptions));
  LevelDescriptions out;
  std::uint32_t count = 0;
  if (!(in.descriptor(wire::kLevelDescriptions) && in.uuid(out.uuid) &&
        in.be32(out.requestId, "request id") && in.be32(out.clientMask, "client mask") &&
        in.string(out.name, "name") && in.be32(count, "count"))) {
    return Parsed<LevelDescriptions>::failure(in.error);
  }
  // Checked before reserving, so a forged count cannot make us allocate
  // gigabytes: each description needs its level field and at least a NUL.
  const std::size_t needed = static_cast<std::size_t>(count) * (wire::kFieldSize + 1);
  if (needed > in.remaining()) {
    in.fail("count " + std::to_string(count) + " needs at least " + std::to_string(needed) +
            " more bytes, only " + std::to_string(in.remaining()) + " left");
    return Parsed<LevelDescriptions>::failure(in.error);
  }
  out.levels.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!in.be32(out.levels[i].clientLevel, "client level " + std::to_string(i))) {
      return Parsed<LevelDescriptions>::failure(in.error);
    }
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!in.string(out.levels[i].text,
                   "text " + std::to_string(i) + " of " + std::to_string(count))) {
      return Parsed<LevelDescriptions>::failure(in.error);
    }
  }
  if (!in.end()) return Parsed<LevelDescriptions>::failure(in.error);
  return out;
}

Parsed<LogRecord> parseLogRecord(ByteSpan bytes) {
  static constexpr const char* kStringNames[] = {"component", "file", "function", "text"};
  static_assert(std::size(kStringNames) == wire::log_record::kStringCount);
  Reader in(bytes, kindName(wire::kLogRecord));
  LogRecord out;
  if (!(in.descriptor(wire::kLogRecord) && in.uuid(out.uuid) &&
        in.be32(out.sequence, "sequence number"))) {
    return Parsed<LogRecord>::failure(in.error);
  }
  for (std::size_t i = 0; i < out.integers.size(); ++i) {
    std::uint32_t raw = 0;
    if (!in.be32(raw, "integer " + std::to_string(i + 1))) {
      return Parsed<LogRecord>::failure(in.error);
    }
    out.integers[i] = static_cast<std::int32_t>(raw);  // modular since C++20
  }
  if (!in.be32(out.clientMask, "client mask")) return Parsed<LogRecord>::failure(in.error);
  for (std::size_t i = 0; i < out.strings.size(); ++i) {
    if (!in.string(out.strings[i],
                   std::string("string ") + std::to_string(i + 1) + " (" + kStringNames[i] + ")")) {
      return Parsed<LogRecord>::failure(in.error);
    }
  }
  if (!in.end()) return Parsed<LogRecord>::failure(in.error);
  return out;
}

bool readLogRecord(ByteSpan bytes, LogRecordView& out) {
  namespace layout = wire::log_record;
  if (bytes.size() < layout::kMinSize || wire::loadBe32(bytes.data()) != wire::kLogRecord)
    return false;
  std::memcpy(out.uuid.data(), bytes.data() + wire::kUuidOffset, wire::kUuidSize);
  out.sequence = wire::loadBe32(bytes.data() + layout::kSequenceOffset);
  for (std::size_t i = 0; i < out.integers.size(); ++i) {
    out.integers[i] = static_cast<std::int32_t>(
        wire::loadBe32(bytes.data() + layout::kIntegersOffset + i * wire::kFieldSize));
  }
  out.clientMask = wire::loadBe32(bytes.data() + layout::kClientMaskOffset);
  std::size_t position = layout::kStringsOffset;
  for (std::string_view& text : out.strings) {
    const std::uint8_t* start = bytes.data() + position;
    const void* nul = std::memchr(start, 0, bytes.size() - position);
    if (nul == nullptr) return false;
    const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - start);
    text = std::string_view(reinterpret_cast<const char*>(start), length);
    position += length + 1;
  }
  return position == bytes.size();
}

LogRecordView::LogRecordView(const LogRecord& record)
    : uuid(record.uuid),
      sequence(record.sequence),
      integers(record.integers),
      clientMask(record.clientMask) {
  for (std::size_t i = 0; i < strings.size(); ++i) strings[i] = record.strings[i];
}

LogRecord LogRecordView::toRecord() const {
  LogRecord record;
  record.uuid = uuid;
  record.sequence = sequence;
  record.integers = integers;
  record.clientMask = clientMask;
  for (std::size_t i = 0; i < strings.size(); ++i) record.strings[i] = std::string(strings[i]);
  return record;
}

Parsed<Datagram> parseDatagram(ByteSpan bytes) {
  const std::optional<std::uint32_t> descriptor = descriptorOf(bytes);
  if (!descriptor) {
    return Parsed<Datagram>::failure("datagram: too short for a descriptor (" +
                                     std::to_string(bytes.size()) + " bytes)");
  }
  // Converts whichever parser ran into the common variant.
  auto lift = [](auto parsed) -> Parsed<Datagram> {
    if (!parsed) return Parsed<Datagram>::failure(parsed.error());
    return Datagram(std::move(parsed).value());
  };
  switch (*descriptor) {
    case wire::kDiscoveryResponse:
      return lift(parseDiscoveryResponse(bytes));
    case wire::kRegistrationConfirm:
      return lift(parseRegistrationConfirm(bytes));
    case wire::kComponentInfo:
      return lift(parseComponentInfo(bytes));
    case wire::kLevelDescriptions:
      return lift(parseLevelDescriptions(bytes));
    case wire::kLogRecord:
      return lift(parseLogRecord(bytes));
    default:
      return Parsed<Datagram>::failure(kindName(*descriptor) + ": not sent by targets");
  }
}

std::optional<std::uint32_t> descriptorOf(ByteSpan bytes) {
  if (bytes.size() < wire::kFieldSize) return std::nullopt;
  return wire::loadBe32(bytes.data() + wire::kDescriptorOffset);
}

std::string kindName(std::uint32_t descriptor) {
  switch (descriptor) {
    case wire::kDiscoveryRequest:
      return "discovery request";
    case wire::kDiscoveryResponse:
      return "discovery response";
    case wire::kRegistrationRequest:
      return "registration request";
    case wire::kRegistrationConfirm:
      return "registration confirm";
    case wire::kUnregistrationRequest:
      return "unregistration request";
    case wire::kSetLevelRequest:
      return "set-level request";
    case wire::kComponentInfo:
      return "component info";
    case wire::kLogRecord:
      return "log record";
    case wire::kGetLevelDescriptionsRequest:
      return "level-descriptions request";
    case wire::kLevelDescriptions:
      return "level descriptions";
    default:
      break;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "datagram 0x00000000";
  for (std::size_t i = 0; i < 8; ++i)
    text[text.size() - 1 - i] = kHex[(descriptor >> (4 * i)) & 0xf];
  return text;
}

std::string uuidToHex(const Uuid& uuid) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * uuid.size());
  for (std::uint8_t byte : uuid) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0xf]);
  }
  return text;
}

}  // namespace codec
