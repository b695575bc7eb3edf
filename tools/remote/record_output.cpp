// tools/remote/record_output.cpp
//
// The text and JSON forms of a log record, and the filters in front of
// them. Times are the receive times: a record carries none of its own.
// Numbers go through std::to_chars and the date through one strftime()
// per second, so that formatting a record allocates nothing.
//
// Threads: a printer belongs to one thread.
#include "remote/record_output.h"

#include <charconv>
#include <ostream>

#include "remote/json_text.h"
#include "remote/output_buffer.h"

namespace remote {
namespace {

// The longest line: four strings of a 2 KiB datagram, every byte escaped
// as \u00XX, and the fixed fields. Reserved once, so no line reallocates.
constexpr std::size_t kLineReserve = 16 * 1024;
constexpr std::size_t kLevelWidth = 7;  // "warning"
constexpr std::size_t kLevelNameReserve = 256;

const char* colourOf(int clientLevel) {
  if (clientLevel >= 31) return "\033[1;31m";  // the most severe: bold red
  if (clientLevel == 30) return "\033[33m";
  if (clientLevel == 29) return "\033[32m";
  if (clientLevel == 28) return "\033[36m";
  if (clientLevel >= 0) return "\033[2m";
  return "";
}
constexpr const char* kColourOff = "\033[0m";

template <typename Integer>
void appendNumber(std::string& out, Integer value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

// Hosts pass __FILE__, often a long absolute path; a line of text shows the
// file's name alone (JSON keeps the whole path).
std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

RecordPrinter::RecordPrinter(const OutputOptions& options, OutputBuffer& out)
    : options(options), buffer(&out), filter(options.components.begin(), options.components.end()) {
  line.reserve(kLineReserve);
  levelName.reserve(kLevelNameReserve);
}

RecordPrinter::RecordPrinter(const OutputOptions& options, std::ostream& out)
    : options(options), stream(&out), filter(options.components.begin(), options.components.end()) {
  line.reserve(kLineReserve);
  levelName.reserve(kLevelNameReserve);
}

void RecordPrinter::offer(const ArrivedRecord& arrived, const Levels& levels) {
  offer(codec::LogRecordView(arrived.record), arrived.receivedAt, arrived.source, levels);
}

void RecordPrinter::offer(const codec::LogRecordView& record, SystemClock::time_point receivedAt,
                          std::string_view source, const Levels& levels) {
  if (limitReached() || !wanted(record, levels)) return;
  line.clear();
  if (options.json) {
    formatJson(record, receivedAt, source, levels);
  } else {
    formatText(record, receivedAt, source, levels);
  }
  line.push_back('\n');
  if (buffer != nullptr) {
    buffer->append(line);
  } else {
    stream->write(line.data(), static_cast<std::streamsize>(line.size()));
    stream->flush();
  }
  ++printed;
}

bool RecordPrinter::wanted(const codec::LogRecordView& record, const Levels& levels) const {
  if (!filter.empty() && !filter.contains(record.strings[0])) return false;
  if (options.minLevel.empty()) return true;
  const int minimum = lookupClientLevel(options.minLevel, levels);
  const int level = recordClientLevel(record.clientMask);
  // Higher client levels are the more severe ones.
  return minimum < 0 || level < 0 || level >= minimum;
}

void RecordPrinter::appendTime(SystemClock::time_point at, bool utc) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  SecondText& cached = utc ? utcSecond : localSecond;
  if (cached.second != seconds) {
    std::tm parts{};
    if (utc) {
      ::gmtime_r(&seconds, &parts);
    } else {
      ::localtime_r(&seconds, &parts);
    }
    char text[32];
    const std::size_t length =
        std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &parts);
    cached.text.assign(text, length);
    cached.second = seconds;
  }
  line.append(cached.text);
  const auto milli = static_cast<int>(ms % 1000);
  const char fraction[4] = {'.', static_cast<char>('0' + milli / 100),
                            static_cast<char>('0' + milli / 10 % 10),
                            static_cast<char>('0' + milli % 10)};
  line.append(fraction, sizeof fraction);
  if (utc) line.push_back('Z');
}

void RecordPrinter::formatText(const codec::LogRecordView& r, SystemClock::time_point at,
                               std::string_view source, const Levels& levels) {
  const int clientLevel = recordClientLevel(r.clientMask);
  if (namingSources) {
    line.append(source);
    line.push_back(' ');
  }
  appendTime(at, /*utc=*/false);
  line.append(" #");
  appendNumber(line, r.sequence);
  line.push_back(' ');
  if (options.color) line.append(colourOf(clientLevel));
  const std::size_t levelStart = line.size();
  appendRecordLevelName(line, r.clientMask, levels);
  const std::size_t width = line.size() - levelStart;
  if (width < kLevelWidth) line.append(kLevelWidth - width, ' ');
  if (options.color) line.append(kColourOff);
  line.push_back(' ');
  line.append(r.strings[0]);
  line.push_back(' ');
  appendNumber(line, r.integers[0]);
  line.push_back('/');
  appendNumber(line, r.integers[1]);
  line.append(" tick=");
  appendNumber(line, static_cast<std::uint32_t>(r.integers[2]));
  line.push_back(' ');
  line.append(baseName(r.strings[1]));
  line.push_back(':');
  appendNumber(line, r.integers[3]);
  line.push_back(' ');
  line.append(r.strings[2]);
  line.append(": ");
  line.append(r.strings[3]);
}

// The keys in the order jsonLine() (a sorted object) gave them, so that
// the lines stay the same.
void RecordPrinter::formatJson(const codec::LogRecordView& r, SystemClock::time_point at,
                               std::string_view source, const Levels& levels) {
  static constexpr char kHex[] = "0123456789abcdef";
  const int clientLevel = recordClientLevel(r.clientMask);
  line.append("{\"client_level\":");
  if (clientLevel >= 0) {
    appendNumber(line, clientLevel);
  } else {
    line.append("null");
  }
  line.append(",\"client_mask\":");
  appendNumber(line, r.clientMask);
  line.append(",\"component\":");
  appendJsonString(line, r.strings[0]);
  line.append(",\"file\":");
  appendJsonString(line, r.strings[1]);
  line.append(",\"function\":");
  appendJsonString(line, r.strings[2]);
  line.append(",\"integers\":[");
  for (std::size_t i = 0; i < r.integers.size(); ++i) {
    if (i > 0) line.push_back(',');
    appendNumber(line, r.integers[i]);
  }
  line.append("],\"level\":");
  // Level names come from the target's descriptions: escaped like any text.
  levelName.clear();
  appendRecordLevelName(levelName, r.clientMask, levels);
  appendJsonString(line, levelName);
  line.append(",\"line\":");
  appendNumber(line, r.integers[3]);
  line.append(",\"pid\":");
  appendNumber(line, r.integers[0]);
  line.append(",\"received\":\"");
  appendTime(at, /*utc=*/true);
  line.append("\",\"sequence\":");
  appendNumber(line, r.sequence);
  line.append(",\"source\":");
  appendJsonString(line, source);
  line.append(",\"strings\":[");
  for (std::size_t i = 0; i < r.strings.size(); ++i) {
    if (i > 0) line.push_back(',');
    appendJsonString(line, r.strings[i]);
  }
  line.append("],\"text\":");
  appendJsonString(line, r.strings[3]);
  line.append(",\"tick\":");
  appendNumber(line, static_cast<std::uint32_t>(r.integers[2]));
  line.append(",\"tid\":");
  appendNumber(line, r.integers[1]);
  line.append(",\"uuid\":\"");
  for (std::uint8_t byte : r.uuid) {
    line.push_back(kHex[byte >> 4]);
    line.push_back(kHex[byte & 0xF]);
  }
  line.append("\"}");
}

}  // namespace remote
