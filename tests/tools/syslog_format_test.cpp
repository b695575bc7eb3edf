// tests/tools/syslog_format_test.cpp
//
// The RFC 5424 messages of forward, byte for byte: header fields cut and
// cleaned, PARAM-VALUE escaping and UTF-8 repair, MSG without controls,
// and the severity of each client level. The collector side is in
// forward_test.cpp.
#include "syslog/syslog_format.h"

#include <gtest/gtest.h>

namespace {

using namespace remote::syslog;

const remote::SystemClock::time_point kAt{std::chrono::microseconds(1'700'000'000'000'005)};

TEST(SyslogFormat, CleansHeaderFieldsAndEscapesParamValues) {
  static const struct {
    const char* name;
    std::string in;
    std::size_t max;
    std::string header, param;
  } kCases[] = {
      {"space and non-ASCII", "my app \xC3\xA9", 48, "my_app___", "my app \xC3\xA9"},
      {"cut to the field's length", std::string(60, 'a'), 48, std::string(48, 'a'),
       std::string(60, 'a')},
      {"empty is nil", "", 48, "-", ""},
      {"the three escaped characters", "a\"b\\c]d", 48, "a\"b\\c]d", "a\\\"b\\\\c\\]d"},
      {"invalid UTF-8 replaced", "x\xFFy\xC0\xAF", 48, "x_y__",
       "x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate and cut sequence", "\xED\xA0\x80\xE2\x82", 48, "_____",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(headerField(c.in, c.max), c.header);
    EXPECT_EQ(paramValue(c.in), c.param);
  }
}

// MSG is MSG-ANY: octets below 32 become escapes, so a collector that
// reads lines sees one message; DEL, C1 and any other octet stay as the
// host logged them, and a leading BOM (which would declare MSG-UTF8) is
// escaped.
TEST(SyslogFormat, MsgEscapesOctetsBelow32Only) {
  static const struct {
    const char* name;
    std::string in, out;
  } kCases[] = {
      {"plain", "disk \"full\" at C:\\", "disk \"full\" at C:\\"},
      {"newline and tab", "one\ntwo\tthree\r", "one\\ntwo\\tthree\\r"},
      {"terminal controls", "\x1b[31mred\a", "\\x1b[31mred\\x07"},
      {"NUL", std::string("a\0b", 3), "a\\x00b"},
      {"DEL, C1 and bytes of any kind kept", "\x7f\xc2\x9b\x9b\xff\xc3\xa9",
       "\x7f\xc2\x9b\x9b\xff\xc3\xa9"},
      {"leading BOM", "\xef\xbb\xbfhi \xef\xbb\xbf", "\\xef\\xbb\\xbfhi \xef\xbb\xbf"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(msg(c.in), c.out);
  }
  codec::LogRecord record;
  record.clientMask = 1u << 29;
  record.strings = {"net", "a.cpp", "f", "line one\nline two"};
  const std::string message =
      formatRecord(Origin{"h", "a", "127.0.0.1:57008", {}}, record, kAt, kFacilityUser);
  EXPECT_TRUE(message.ends_with("] line one\\nline two")) << message;
  EXPECT_EQ(message.find('\n'), std::string::npos);
}

// 31, 30 and 29 reach the collector in forward_test.cpp; these are the rest.
TEST(SyslogFormat, SeverityOfLowAndOddMasks) {
  EXPECT_EQ(severityOf(1u << 28), 7);
  EXPECT_EQ(severityOf(1u << 4), 7);
  EXPECT_EQ(severityOf(0x60000000), 5);
}

TEST(SyslogFormat, RecordAndGapMessages) {
  codec::LogRecord record;
  record.uuid[0] = 0xAB;
  record.sequence = 7;
  record.integers = {42, 43, -1, 99};
  record.clientMask = 1u << 30;
  record.strings = {"net", "/src/a.cpp", "f]", "disk \"full\""};
  const Origin origin{"host-1", "my app", "127.0.0.1:57008", record.uuid};
  const std::string uuid = "ab000000000000000000000000000000";
  EXPECT_EQ(formatRecord(origin, record, kAt, /*facility=*/16),
            "<132>1 2023-11-14T22:13:20.000005Z host-1 my_app 42 net [tarvin@32473 "
            "target=\"127.0.0.1:57008\" uuid=\"" +
                uuid +
                "\" seq=\"7\" level=\"30\" mask=\"0x40000000\" tid=\"43\" tick=\"4294967295\" "
                "file=\"/src/a.cpp\" line=\"99\" function=\"f\\]\"] disk \"full\"");
  EXPECT_EQ(formatGap(origin, remote::SequenceGap{8, 3}, kAt, kFacilityUser),
            "<12>1 2023-11-14T22:13:20.000005Z host-1 my_app - - [tarvin@32473 "
            "target=\"127.0.0.1:57008\" uuid=\"" +
                uuid + "\" lost=\"3\" first=\"8\" last=\"10\"] lost 3 records (sequence 8 to 10)");
}

}  // namespace
