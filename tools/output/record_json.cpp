// tools/output/record_json.cpp
//
// Records and gaps as JSON text, key by key in sorted order. Numbers go
// through std::to_chars and the date through one gmtime_r() per second.
//
// Threads: a JsonTime belongs to one thread; the functions are pure.
#include "output/record_json.h"

#include <charconv>

#include "base/json_text.h"
#include "model/levels.h"

namespace remote {
namespace {

template <typename Integer>
void appendNumber(std::string& out, Integer value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

void appendUuid(std::string& out, const codec::Uuid& uuid) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const std::uint8_t byte : uuid) {
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
  }
  out.push_back('"');
}

void appendId(std::string& out, std::int64_t id) {
  if (id == 0) return;
  out.append(",\"id\":");
  appendNumber(out, id);
}

}  // namespace

void JsonTime::append(std::string& out, SystemClock::time_point at) {
  out.push_back('"');
  appendText(out, at);
  out.push_back('"');
}

void JsonTime::appendText(std::string& out, SystemClock::time_point at) {
  const auto micros = std::chrono::floor<std::chrono::microseconds>(at.time_since_epoch()).count();
  // Floor division: a time before 1970 still names its own second.
  std::int64_t seconds = micros / 1'000'000;
  auto fraction = micros % 1'000'000;
  if (fraction < 0) {
    fraction += 1'000'000;
    --seconds;
  }
  if (second != static_cast<std::time_t>(seconds)) {
    second = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&second, &parts);
    length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  }
  out.append(text, length);
  char digits[7] = {'.'};
  for (int i = 6; i > 0; --i, fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
  out.append(digits, sizeof digits);
  out.push_back('Z');
}

void appendJsonRecord(std::string& out, JsonTime& time, const codec::LogRecordView& r,
                      SystemClock::time_point receivedAt, const JsonOrigin& origin,
                      std::string_view levelName) {
  const int clientLevel = recordClientLevel(r.clientMask);
  out.append("{\"application\":");
  appendJsonString(out, origin.application);
  out.append(",\"client_level\":");
  if (clientLevel >= 0) {
    appendNumber(out, clientLevel);
  } else {
    out.append("null");
  }
  out.append(",\"client_mask\":");
  appendNumber(out, r.clientMask);
  out.append(",\"component\":");
  appendJsonString(out, r.component());
  out.append(",\"file\":");
  appendJsonString(out, r.file());
  out.append(",\"function\":");
  appendJsonString(out, r.function());
  appendId(out, origin.id);
  out.append(",\"level\":");
  appendJsonString(out, levelName);
  out.append(",\"line\":");
  appendNumber(out, r.line());
  out.append(",\"pid\":");
  appendNumber(out, r.pid());
  out.append(",\"received\":");
  time.append(out, receivedAt);
  out.append(",\"sequence\":");
  appendNumber(out, r.sequence);
  out.append(",\"target\":");
  appendJsonString(out, origin.target);
  out.append(",\"text\":");
  appendJsonString(out, r.text());
  out.append(",\"tick\":");
  appendNumber(out, r.tick());
  out.append(",\"tid\":");
  appendNumber(out, r.tid());
  out.append(",\"type\":\"record\",\"uuid\":");
  appendUuid(out, r.uuid);
  out.push_back('}');
}

void appendJsonGap(std::string& out, JsonTime& time, const ArrivedGap& gap,
                   std::string_view application, std::int64_t id) {
  out.append("{\"application\":");
  appendJsonString(out, application);
  out.append(",\"first\":");
  appendNumber(out, gap.gap.first);
  appendId(out, id);
  out.append(",\"last\":");
  appendNumber(out, gap.last());
  out.append(",\"lost\":");
  appendNumber(out, gap.gap.count);
  out.append(",\"received\":");
  time.append(out, gap.seenAt);
  out.append(",\"target\":");
  appendJsonString(out, gap.target);
  out.append(",\"type\":\"gap\",\"uuid\":");
  appendUuid(out, gap.uuid);
  out.push_back('}');
}

std::string receivedText(SystemClock::time_point at) {
  std::string text;
  JsonTime().appendText(text, at);
  return text;
}

}  // namespace remote
