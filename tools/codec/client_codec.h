// tools/codec/client_codec.h
//
// The client's side of the remote protocol: building the five requests a
// client sends (DRQ, RRQ, URQ, SLV, GLVD) and parsing the five datagrams a
// target sends (discovery response, registration confirm, component info,
// log record, level descriptions) into plain structs.
//
// A parser trusts nothing in the datagram: it checks the descriptor and every
// length rule (each string NUL-terminated inside the datagram, the count of
// level descriptions matching what follows, no bytes left over) and never
// reads past the span it was given. A datagram that breaks a rule yields an
// error naming the kind and what is wrong, e.g.
// "component info: name not NUL-terminated".
//
// Threads: pure functions on caller-owned bytes; callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace codec {

using Bytes = std::vector<std::uint8_t>;
using Uuid = std::array<std::uint8_t, 16>;

// A parse result: either the value or a message saying what is wrong.
// (std::expected arrives with C++23; this is the part of it we need.)
template <typename T>
class Parsed {
 public:
  Parsed(T value) : state(std::move(value)) {}  // NOLINT: implicit like expected
  static Parsed failure(std::string message) { return Parsed(Error{std::move(message)}); }

  bool ok() const { return std::holds_alternative<T>(state); }
  explicit operator bool() const { return ok(); }
  const T& value() const& { return std::get<T>(state); }
  T& value() & { return std::get<T>(state); }
  T&& value() && { return std::get<T>(std::move(state)); }
  const T& operator*() const& { return value(); }
  const T* operator->() const { return &value(); }
  const std::string& error() const { return std::get<Error>(state).message; }

 private:
  struct Error {
    std::string message;
  };
  explicit Parsed(Error error) : state(std::move(error)) {}
  std::variant<T, Error> state;
};

// ---- requests ----

Bytes buildDiscoveryRequest();
Bytes buildRegistrationRequest();
Bytes buildUnregistrationRequest();
Bytes buildSetLevelRequest(std::uint32_t requestId, std::uint32_t clientMask,
                           std::string_view component);
Bytes buildGetLevelDescriptionsRequest(std::uint32_t requestId, std::string_view component);

// ---- datagrams a target sends ----

// Discovery response (2) and registration confirm (17) share one layout.
struct ApplicationInfo {
  Uuid uuid{};
  std::string applicationName;
};
struct DiscoveryResponse : ApplicationInfo {};
struct RegistrationConfirm : ApplicationInfo {};

struct ComponentInfo {
  Uuid uuid{};
  std::uint32_t requestId = 0;
  std::uint32_t clientMask = 0;
  std::string name;
};

struct LevelDescription {
  std::uint32_t clientLevel = 0;
  std::string text;
  friend bool operator==(const LevelDescription&, const LevelDescription&) = default;
};

struct LevelDescriptions {
  Uuid uuid{};
  std::uint32_t requestId = 0;
  std::uint32_t clientMask = 0;
  std::string name;
  std::vector<LevelDescription> levels;  // in the host's order
};

struct LogRecord {
  Uuid uuid{};
  std::uint32_t sequence = 0;
  std::array<std::int32_t, 4> integers{};  // two's complement on the wire
  std::uint32_t clientMask = 0;
  std::array<std::string, 4> strings;

  // The fields by name; strings and integers hold them in wire order.
  const std::string& component() const { return strings[0]; }
  const std::string& file() const { return strings[1]; }
  const std::string& function() const { return strings[2]; }
  const std::string& text() const { return strings[3]; }
  std::int32_t pid() const { return integers[0]; }
  std::int32_t tid() const { return integers[1]; }
  std::uint32_t tick() const { return static_cast<std::uint32_t>(integers[2]); }  // wraps
  std::int32_t line() const { return integers[3]; }
};

using Datagram = std::variant<DiscoveryResponse, RegistrationConfirm, ComponentInfo,
                              LevelDescriptions, LogRecord>;

// A log record read in place: the strings point into the datagram it was
// read from and are good as long as those bytes are. What a follower
// hands on per record, so that the record costs no allocation.
struct LogRecordView {
  Uuid uuid{};
  std::uint32_t sequence = 0;
  std::array<std::int32_t, 4> integers{};
  std::uint32_t clientMask = 0;
  std::array<std::string_view, 4> strings;

  // The fields by name, as LogRecord has them.
  std::string_view component() const { return strings[0]; }
  std::string_view file() const { return strings[1]; }
  std::string_view function() const { return strings[2]; }
  std::string_view text() const { return strings[3]; }
  std::int32_t pid() const { return integers[0]; }
  std::int32_t tid() const { return integers[1]; }
  std::uint32_t tick() const { return static_cast<std::uint32_t>(integers[2]); }  // wraps
  std::int32_t line() const { return integers[3]; }

  LogRecordView() = default;
  explicit LogRecordView(const LogRecord& record);
  LogRecord toRecord() const;  // an owning copy, to keep
};

using ByteSpan = std::span<const std::uint8_t>;

Parsed<DiscoveryResponse> parseDiscoveryResponse(ByteSpan bytes);
Parsed<RegistrationConfirm> parseRegistrationConfirm(ByteSpan bytes);
Parsed<ComponentInfo> parseComponentInfo(ByteSpan bytes);
Parsed<LevelDescriptions> parseLevelDescriptions(ByteSpan bytes);
Parsed<LogRecord> parseLogRecord(ByteSpan bytes);

// The same rules as parseLogRecord(), read in place. Hot path: allocates
// nothing. False when `bytes` is no well-formed log record; parseDatagram()
// then says why.
bool readLogRecord(ByteSpan bytes, LogRecordView& out);

// Dispatches on the descriptor to one of the five parsers above. A request
// descriptor or an unknown one is an error like any other malformation.
Parsed<Datagram> parseDatagram(ByteSpan bytes);

// The descriptor at the start of the datagram; nullopt when it is shorter
// than one field.
std::optional<std::uint32_t> descriptorOf(ByteSpan bytes);

// "log record", "component info", ..., or "datagram 0x0000abcd" for others:
// the words every parse error starts with.
std::string kindName(std::uint32_t descriptor);

// The uuid as 32 lower-case hex digits, in wire order.
std::string uuidToHex(const Uuid& uuid);

}  // namespace codec
