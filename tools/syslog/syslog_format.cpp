// tools/syslog/syslog_format.cpp
//
// Building RFC 5424 messages. Field limits are the RFC's: HOSTNAME 255,
// APP-NAME 48, PROCID 128, MSGID 32 characters of PRINTUSASCII. MSG keeps
// the RFC's rules for MSG-ANY (appendMsg()).
//
// Threads: pure functions; callable from any thread.
#include "syslog/syslog_format.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "base/visible_text.h"
#include "model/levels.h"

namespace remote::syslog {
namespace {

constexpr std::size_t kHostnameMax = 255;
constexpr std::size_t kAppNameMax = 48;
constexpr std::size_t kProcIdMax = 128;
constexpr std::size_t kMsgIdMax = 32;

// Length of the valid UTF-8 sequence at the start of `s`, 0 when invalid.
// Overlong forms, surrogates and values above U+10FFFF are invalid.
std::size_t utf8Sequence(std::string_view s) {
  const auto first = static_cast<unsigned char>(s[0]);
  if (first < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    if (first == 0xE0) low = 0xA0;   // overlong
    if (first == 0xED) high = 0x9F;  // surrogates
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    if (first == 0xF0) low = 0x90;   // overlong
    if (first == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

template <typename Integer>
void appendNumber(std::string& out, Integer value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

bool printable(char c) { return c >= 33 && c <= 126; }

void appendHeaderField(std::string& out, std::string_view value, std::size_t maxLength) {
  if (value.empty()) {
    out += '-';
    return;
  }
  value = value.substr(0, maxLength);
  const std::size_t start = out.size();
  out.append(value);
  for (std::size_t i = start; i < out.size(); ++i) {
    if (!printable(out[i])) out[i] = '_';
  }
}

void appendParamValue(std::string& out, std::string_view value) {
  while (!value.empty()) {
    // Plain ASCII, the common case, goes in runs.
    std::size_t plain = 0;
    while (plain < value.size()) {
      const auto c = static_cast<unsigned char>(value[plain]);
      if (c >= 0x80 || c == '"' || c == '\\' || c == ']') break;
      ++plain;
    }
    out.append(value.substr(0, plain));
    value.remove_prefix(plain);
    if (value.empty()) break;
    const std::size_t length = utf8Sequence(value);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      value.remove_prefix(1);
      continue;
    }
    if (length == 1) out += '\\';  // '"', '\\' or ']'
    out.append(value.substr(0, length));
    value.remove_prefix(length);
  }
}

void appendDigits(std::string& out, long long value, int width) {
  char digits[20];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  out.append(digits, static_cast<std::size_t>(width));
}

void appendTimestamp(std::string& out, SystemClock::time_point at) {
  // The date and time of one second, formatted once: a busy forward
  // stamps a hundred thousand messages with each.
  struct SecondText {
    std::time_t second = -1;
    char text[96];  // room for any year the int fields can hold
    std::size_t length = 0;
  };
  thread_local SecondText cached;
  const auto us = std::chrono::floor<std::chrono::microseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(us / 1'000'000);
  if (cached.second != seconds) {
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    const int length = std::snprintf(
        cached.text, sizeof cached.text, "%04d-%02d-%02dT%02d:%02d:%02d.", parts.tm_year + 1900,
        parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    cached.length = static_cast<std::size_t>(std::max(length, 0));
    cached.second = seconds;
  }
  out.append(cached.text, cached.length);
  appendDigits(out, us % 1'000'000, 6);
  out += 'Z';
}

// Up to the SD-ID: "<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID [tarvin@32473".
void appendHeader(std::string& out, int facility, int severity, SystemClock::time_point at,
                  const Origin& origin, std::string_view procId, std::string_view msgId) {
  out += '<';
  appendNumber(out, facility * 8 + severity);
  out += ">1 ";
  appendTimestamp(out, at);
  out += ' ';
  appendHeaderField(out, origin.hostname, kHostnameMax);
  out += ' ';
  appendHeaderField(out, origin.appName, kAppNameMax);
  out += ' ';
  appendHeaderField(out, procId, kProcIdMax);
  out += ' ';
  appendHeaderField(out, msgId, kMsgIdMax);
  out += " [";
  out += kSdId;
}

void param(std::string& out, std::string_view name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  appendParamValue(out, value);
  out += '"';
}

template <typename Integer>
void numberParam(std::string& out, std::string_view name, Integer value) {
  out += ' ';
  out += name;
  out += "=\"";
  appendNumber(out, value);
  out += '"';
}

// MSG as MSG-ANY: the octets as the host logged them, but for those below
// 32, which a sender should avoid (a newline would split the message for a
// collector that reads lines) and which become visible escapes. MSG-ANY
// must not start with a BOM, which would declare it UTF-8: a leading BOM
// is escaped too.
void appendMsg(std::string& out, std::string_view text) {
  static constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.starts_with(kBom)) {
    out += "\\xef\\xbb\\xbf";
    text.remove_prefix(kBom.size());
  }
  appendWithoutC0(out, text);
}

}  // namespace

std::optional<int> parseFacility(std::string_view name) {
  static constexpr std::pair<std::string_view, int> kNames[] = {
      {"kern", 0},    {"user", 1},    {"mail", 2},    {"daemon", 3},  {"auth", 4},
      {"syslog", 5},  {"local0", 16}, {"local1", 17}, {"local2", 18}, {"local3", 19},
      {"local4", 20}, {"local5", 21}, {"local6", 22}, {"local7", 23}};
  for (const auto& [text, code] : kNames) {
    if (name == text) return code;
  }
  int number = -1;
  const auto [stop, ec] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (ec == std::errc() && stop == name.data() + name.size() && number >= 0 && number <= 23)
    return number;
  return std::nullopt;
}

int severityOf(std::uint32_t clientMask) {
  const int level = recordClientLevel(clientMask);
  if (level < 0) return 5;    // notice: the record names no single level
  if (level >= 31) return 3;  // err: numeric levels 0-3 all arrive as 31
  if (level == 30) return 4;  // warning
  if (level == 29) return 6;  // info
  return 7;                   // debug and everything finer
}

std::string headerField(std::string_view value, std::size_t maxLength) {
  std::string out;
  appendHeaderField(out, value, maxLength);
  return out;
}

std::string paramValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  appendParamValue(out, value);
  return out;
}

std::string msg(std::string_view text) {
  std::string out;
  appendMsg(out, text);
  return out;
}

std::string timestamp(SystemClock::time_point at) {
  std::string out;
  appendTimestamp(out, at);
  return out;
}

std::string formatRecord(const Origin& origin, const codec::LogRecord& record,
                         SystemClock::time_point receivedAt, int facility) {
  std::string out;
  appendRecord(out, origin, codec::LogRecordView(record), receivedAt, facility);
  return out;
}

void appendRecord(std::string& out, const Origin& origin, const codec::LogRecordView& record,
                  SystemClock::time_point receivedAt, int facility) {
  static constexpr char kHex[] = "0123456789abcdef";
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  char procId[12];
  const auto procIdEnd = std::to_chars(procId, procId + sizeof procId, record.pid()).ptr;
  appendHeader(out, facility, severityOf(record.clientMask), receivedAt, origin,
               std::string_view(procId, static_cast<std::size_t>(procIdEnd - procId)),
               record.component());
  param(out, "target", origin.target);
  char uuid[32];
  for (std::size_t i = 0; i < record.uuid.size(); ++i) {
    uuid[2 * i] = kHex[record.uuid[i] >> 4];
    uuid[2 * i + 1] = kHex[record.uuid[i] & 0xF];
  }
  param(out, "uuid", std::string_view(uuid, sizeof uuid));
  numberParam(out, "seq", record.sequence);
  const int level = recordClientLevel(record.clientMask);
  if (level >= 0) numberParam(out, "level", level);
  char mask[10] = {'0', 'x'};
  for (int i = 0; i < 8; ++i) mask[2 + i] = kUpperHex[(record.clientMask >> (28 - 4 * i)) & 0xF];
  param(out, "mask", std::string_view(mask, sizeof mask));
  numberParam(out, "tid", record.tid());
  numberParam(out, "tick", record.tick());
  param(out, "file", record.file());
  numberParam(out, "line", record.line());
  param(out, "function", record.function());
  out += "] ";
  appendMsg(out, record.text());
}

std::string formatGap(const Origin& origin, const SequenceGap& gap,
                      SystemClock::time_point noticedAt, int facility) {
  std::string out;
  appendHeader(out, facility, kSeverityWarning, noticedAt, origin, "", "");
  param(out, "target", origin.target);
  param(out, "uuid", codec::uuidToHex(origin.uuid));
  param(out, "lost", std::to_string(gap.count));
  param(out, "first", std::to_string(gap.first));
  param(out, "last", std::to_string(gap.first + gap.count - 1));
  out += "] ";
  out += gap.text();
  return out;
}

}  // namespace remote::syslog
