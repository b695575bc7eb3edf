// tools/syslog/syslog_format.h
//
// Log records as syslog messages in the format of RFC 5424, for forward:
//
//   <PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID [tarvin@32473 ...] MSG
//
// PRI is the facility (user by default) and a severity from the record's
// client level: 31 err, 30 warning, 29 info, 28 and below debug, a mask
// that is not one bit notice. TIMESTAMP is the receive time in UTC with
// microseconds, HOSTNAME the target's host, APP-NAME the application name
// the target reports, PROCID the record's pid, MSGID its component. The
// structured data element carries the target, its uuid, the sequence
// number and every other field of the record; MSG is the message text as
// the host logged it, without BOM (MSG-ANY), but for the octets below 32,
// which the RFC asks senders to avoid: they are sent as visible escapes
// (visible_text.h), so a newline in a text never splits a message. A sequence gap becomes a message
// of its own, at warning, so the collector sees the loss.
//
// 32473 is the enterprise number set aside for documentation: private use
// needs no registration, and the SD-ID then cannot clash with a real one.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/clocks.h"
#include "codec/client_codec.h"
#include "model/sequence_check.h"

namespace remote::syslog {

inline constexpr const char* kSdId = "tarvin@32473";
inline constexpr int kFacilityUser = 1;
inline constexpr int kSeverityWarning = 4;

// "user", "daemon", "local0".."local7", or a number 0-23.
std::optional<int> parseFacility(std::string_view name);

// The severity (0 emerg .. 7 debug) of a record with this client mask.
int severityOf(std::uint32_t clientMask);

// Who sent the records: the header fields every message of a target
// shares. Views: the strings belong to the caller.
struct Origin {
  std::string_view hostname;  // the target's host as named or discovered
  std::string_view appName;   // from the target's registration confirm
  std::string_view target;    // "127.0.0.1:57008"
  codec::Uuid uuid{};
};

std::string formatRecord(const Origin& origin, const codec::LogRecord& record,
                         SystemClock::time_point receivedAt, int facility);
// The same message appended to `out`. Hot path: no allocation when `out`
// has room.
void appendRecord(std::string& out, const Origin& origin, const codec::LogRecordView& record,
                  SystemClock::time_point receivedAt, int facility);
std::string formatGap(const Origin& origin, const SequenceGap& gap,
                      SystemClock::time_point noticedAt, int facility);

// The pieces, for tests. A header field keeps PRINTUSASCII only (others
// become '_'), cut to `maxLength`, and is "-" (nil) when empty. A
// PARAM-VALUE escapes '"', '\' and ']' and is made valid UTF-8 (U+FFFD for
// each byte that does not fit). MSG escapes octets below 32 and a leading
// BOM and keeps every other octet.
std::string headerField(std::string_view value, std::size_t maxLength);
std::string paramValue(std::string_view value);
std::string msg(std::string_view text);
std::string timestamp(SystemClock::time_point at);

}  // namespace remote::syslog
