// tests/tools/record_output_test.cpp
//
// What tail prints per record, now written by hand: JSON strings byte for
// byte as nlohmann-json writes them (escapes, U+FFFD for ill-formed
// UTF-8), JSON lines of records and gaps that are the compact, key-sorted
// dumps of themselves, receive times in JSON, the
// text line's fields, control characters escaped in every string of a
// text line, and no allocation per record once warm, for tail's lines and
// forward's syslog messages alike.
//
// Threads: single-threaded gtest cases.
#include "output/record_output.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "allocation_counter.h"
#include "base/json_text.h"
#include "base/output_buffer.h"
#include "base/visible_text.h"
#include "common/unique_fd.h"
#include "model/record_filter.h"
#include "syslog/syslog_format.h"

namespace {

using remote::SystemClock;

// 2026-01-02T03:04:05.678Z
const SystemClock::time_point kAt =
    SystemClock::from_time_t(1767323045) + std::chrono::milliseconds(678);

codec::LogRecord makeRecord(std::string text) {
  codec::LogRecord r;
  r.uuid[0] = 0xab;
  r.sequence = 4000000000u;
  r.integers = {1234, -5, -1, 42};  // a tick of -1 shows as 4294967295
  r.clientMask = 1u << 30;
  r.strings = {"net", "/src/app/main.cpp", "run", std::move(text)};
  return r;
}

const remote::Levels kLevels = {{31, "error"}, {30, "warning"}};

remote::RecordFilter& everything() {
  static remote::RecordFilter filter{remote::FilterFlags{}};
  return filter;
}

}  // namespace

TEST(JsonText, WritesEveryStringAsNlohmannJsonDoes) {
  static const char* const kCases[] = {
      "plain",
      "",
      "quote \" backslash \\ slash /",
      "\b\f\n\r\t",
      "\x01\x1f\x7f",
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",  // 2, 3 and 4 bytes
      "\x80 lone continuation",
      "\xc3 cut short",
      "at the end \xe2\x82",
      "\xc0\x80 overlong",
      "\xe0\x80\x80 overlong",
      "\xed\xa0\x80 surrogate",
      "\xf4\x90\x80\x80 above U+10FFFF",
      "\xf5\xff",
      "\xf0\x9f\x98 then \xf0\x9f\x98\x80",
  };
  for (const char* text : kCases) {
    SCOPED_TRACE(text);
    std::string ours;
    remote::appendJsonString(ours, text);
    EXPECT_EQ(ours,
              nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  std::string withNul;
  remote::appendJsonString(withNul, std::string_view("a\0b", 3));
  EXPECT_EQ(withNul, "\"a\\u0000b\"");
}

TEST(VisibleText, EscapesControlsAndKeepsEverythingElse) {
  static const struct {
    const char* name;
    std::string in, out;
  } kCases[] = {
      {"plain, longer than one scan step", "plain ASCII text, no controls at all",
       "plain ASCII text, no controls at all"},
      {"empty", "", ""},
      {"named escapes", "a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {"terminal controls", "\x1b[31mred\x1b[0m\a", "\\x1b[31mred\\x1b[0m\\x07"},
      {"NUL, DEL and the C0 edges", std::string("\0\x01\x1f \x7f~", 6), "\\x00\\x01\\x1f \\x7f~"},
      {"a control in every place of a scan step",
       "1234567\n1234567\x1b"
       "12345678\x7f",
       "1234567\\n1234567\\x1b12345678\\x7f"},
      {"backslash stays", "C:\\dir\\n", "C:\\dir\\n"},
      {"UTF-8 stays", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0"},
      {"C1 as UTF-8",
       "\xc2\x9b"
       "31m \xc2\x85 \xc2\x80\xc2\x9f",
       "\\u009b31m \\u0085 \\u0080\\u009f"},
      {"lone C1 bytes",
       "\x9b"
       "31m\x85",
       "\\x9b31m\\x85"},
      {"cut sequence before a C1 byte", "\xe2\x9b", "\xe2\\x9b"},
      {"Latin-1 letters stay", "caf\xe9 \xff", "caf\xe9 \xff"},
      {"control after non-ASCII", "\xc3\xa9\n\xe9\r", "\xc3\xa9\\n\xe9\\r"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string out = "> ";
    remote::appendVisible(out, c.in);
    EXPECT_EQ(out, "> " + c.out);
  }
}

// Every string a target chose, in a text line: one record stays one line,
// whatever it holds, and nothing reaches the terminal as a control. JSON
// keeps the exact text (escaped its own way).
TEST(RecordPrinter, TextLineEscapesControlsInEveryString) {
  codec::LogRecord record = makeRecord("first\nsecond \x1b]0;owned\a\x1b[2J");
  record.strings[0] = "n\x1bt";
  record.strings[1] = "/src/\rmain.cpp";
  record.strings[2] = "r\x7fun";
  const remote::Levels levels = {{30, "warn\ning"}};
  remote::OutputOptions options;
  options.utc = true;
  std::ostringstream out;
  remote::RecordPrinter printer(options, everything(), out);
  printer.nameSources(true);
  printer.knowSource("127.0.0.1:57008", "app\x9b\n");
  printer.offer({record, kAt, "127.0.0.1:57008"}, levels);
  EXPECT_EQ(out.str(),
            "[app\\x9b\\n] 2026-01-02 03:04:05.678Z #4000000000 warn\\ning n\\x1bt 1234/-5 "
            "tick=4294967295 \\rmain.cpp:42 r\\x7fun: first\\nsecond \\x1b]0;owned\\x07\\x1b[2J\n");

  options.json = true;
  std::ostringstream json;
  remote::RecordPrinter jsonPrinter(options, everything(), json);
  jsonPrinter.offer({record, kAt, "127.0.0.1:57008"}, levels);
  const auto parsed = nlohmann::json::parse(json.str());
  EXPECT_EQ(parsed["text"], record.strings[3]);
  EXPECT_EQ(parsed["level"], "warn\ning");
}

// A JSON line is the compact, key-sorted dump of itself, every field
// named once (docs/record.schema.json), a gap likewise; a store's id only
// when given.
TEST(RecordPrinter, JsonLinesAreTheirOwnCompactSortedDump) {
  remote::OutputOptions options;
  options.json = true;
  std::ostringstream out;
  remote::RecordPrinter printer(options, everything(), out);
  printer.knowSource("127.0.0.1:57008", "app");
  printer.offer({makeRecord("bad \xff and \"quoted\""), kAt, "127.0.0.1:57008"}, kLevels);
  const remote::SequenceGap gap{4294967295u, 3, kAt + std::chrono::microseconds(5)};
  printer.offerGap({"127.0.0.1:57008", codec::Uuid{0xab}, gap, gap.seenAt}, /*id=*/7);
  printer.offer({makeRecord("stored"), kAt, "127.0.0.1:57009"}, kLevels, /*id=*/8);
  std::istringstream lines(out.str());
  std::vector<nlohmann::json> parsed;
  for (std::string line; std::getline(lines, line);) {
    parsed.push_back(nlohmann::json::parse(line));
    EXPECT_EQ(parsed.back().dump(), line);
  }
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[0], nlohmann::json::parse(R"({"application":"app","client_level":30,
      "client_mask":1073741824,"component":"net","file":"/src/app/main.cpp","function":"run",
      "level":"warning","line":42,"pid":1234,"received":"2026-01-02T03:04:05.678000Z",
      "sequence":4000000000,"target":"127.0.0.1:57008","text":"bad \ufffd and \"quoted\"",
      "tick":4294967295,"tid":-5,"type":"record","uuid":"ab000000000000000000000000000000"})"));
  // The last missing number wraps as the target numbers.
  EXPECT_EQ(parsed[1], nlohmann::json::parse(R"({"application":"app","first":4294967295,"id":7,
      "last":1,"lost":3,"received":"2026-01-02T03:04:05.678005Z","target":"127.0.0.1:57008",
      "type":"gap","uuid":"ab000000000000000000000000000000"})"));
  EXPECT_EQ(parsed[2]["id"], 8);
  EXPECT_EQ(parsed[2]["application"], "");  // not known (yet)
}

// Receive times before 1970 and at the edges of a second keep their own
// second and microseconds.
TEST(JsonTime, IsRfc3339UtcWithMicroseconds) {
  static const struct {
    std::int64_t micros;
    const char* text;
  } kCases[] = {
      {1767323045'678000, "2026-01-02T03:04:05.678000Z"},
      {1767323045'000001, "2026-01-02T03:04:05.000001Z"},
      {1767323045'999999, "2026-01-02T03:04:05.999999Z"},
      {0, "1970-01-01T00:00:00.000000Z"},
      {-1, "1969-12-31T23:59:59.999999Z"},
  };
  remote::JsonTime time;
  for (const auto& c : kCases) {
    std::string out;
    time.append(out, SystemClock::time_point(std::chrono::microseconds(c.micros)));
    EXPECT_EQ(out, std::string("\"") + c.text + "\"");
  }
}

TEST(RecordPrinter, TextLineHoldsEveryField) {
  ::setenv("TZ", "Europe/Berlin", /*overwrite=*/1);  // 04:04:05 there, a day long past
  static const struct {
    std::uint32_t mask;
    const char* level;
    bool utc, iso;
    const char* time;
    const char* application;  // the target's name, when known
  } kCases[] = {
      {1u << 30, "warning", false, false, "2026-01-02 04:04:05.678", ""},
      {1u << 29, "level 29", true, false, "2026-01-02 03:04:05.678Z", "app"},
      {3u, "0x00000003", false, true, "2026-01-02T04:04:05.678000+01:00", ""},
      {1u << 30, "warning", true, true, "2026-01-02T03:04:05.678000Z", "app"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.time);
    remote::OutputOptions options;
    options.utc = c.utc;
    options.isoTimes = c.iso;
    std::ostringstream out;
    remote::RecordPrinter printer(options, everything(), out);
    printer.nameSources(true);
    printer.knowSource("127.0.0.1:57008", c.application);
    codec::LogRecord record = makeRecord("hello");
    record.clientMask = c.mask;
    printer.offer({record, kAt, "127.0.0.1:57008"}, kLevels);
    std::string level = c.level;
    level.resize(std::max<std::size_t>(level.size(), 7), ' ');
    const std::string source = *c.application ? c.application : "127.0.0.1:57008";
    EXPECT_EQ(out.str(), "[" + source + "] " + c.time + " #4000000000 " + level +
                             " net 1234/-5 tick=4294967295 main.cpp:42 run: hello\n");
  }
}

// The per-record work of tail and forward, once warm, allocates nothing.
TEST(RecordPrinter, PrintsAndFormatsWithoutAllocating) {
  const codec::LogRecord record = makeRecord(std::string(300, 'x'));
  const codec::LogRecordView view(record);
  const UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "text");
    remote::OutputOptions options;
    options.json = json;
    remote::OutputBuffer out(devNull.get());
    remote::RecordPrinter printer(options, everything(), out);
    printer.knowSource("127.0.0.1:57008", "app");
    printer.offer(view, kAt, "127.0.0.1:57008", kLevels);  // warm: the time text of this second
    const long before = allocation_counter::threadAllocations();
    for (int i = 0; i < 1000; ++i) printer.offer(view, kAt, "127.0.0.1:57008", kLevels);
    out.flush();
    EXPECT_EQ(allocation_counter::threadAllocations() - before, 0);
  }
  std::string message;
  message.reserve(4096);
  const remote::syslog::Origin origin{"host", "app", "127.0.0.1:57008", {}};
  const long before = allocation_counter::threadAllocations();
  for (int i = 0; i < 1000; ++i) {
    message.clear();
    remote::syslog::appendRecord(message, origin, view, kAt, remote::syslog::kFacilityUser);
  }
  EXPECT_EQ(allocation_counter::threadAllocations() - before, 0);
}
