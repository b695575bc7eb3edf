// tools/output/record_output.cpp
//
// The text and JSON forms of a log record. Times are the receive times: a
// record carries none of its own.
// Numbers go through std::to_chars and the date through one strftime()
// per second, so that formatting a record allocates nothing. Every string
// a target chose goes into a text line through appendVisible(), so that a
// record is one line and no control reaches the terminal; JSON is
// record_json.h's.
//
// Threads: a printer belongs to one thread.
#include "output/record_output.h"

#include <algorithm>
#include <charconv>
#include <ostream>

#include "base/output_buffer.h"
#include "base/visible_text.h"
#include "model/record_filter.h"

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

// A stable colour per target: FNV-1a of its address picks one of these
// (red stays the colour of errors).
const char* sourceColour(std::string_view source) {
  static const char* const kPalette[] = {"\033[32m", "\033[33m", "\033[34m", "\033[35m",
                                         "\033[36m", "\033[92m", "\033[93m", "\033[94m",
                                         "\033[95m", "\033[96m"};
  std::uint32_t hash = 2166136261u;
  for (const unsigned char c : source) hash = (hash ^ c) * 16777619u;
  return kPalette[hash % std::size(kPalette)];
}

std::tm partsOf(std::time_t seconds, bool utc) {
  std::tm parts{};
  if (utc) {
    ::gmtime_r(&seconds, &parts);
  } else {
    ::localtime_r(&seconds, &parts);
  }
  return parts;
}

// Hosts pass __FILE__, often a long absolute path; a line of text shows the
// file's name alone (JSON keeps the whole path).
std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

RecordPrinter::RecordPrinter(const OutputOptions& options, RecordFilter& filter, OutputBuffer& out)
    : options(options), filter(filter), buffer(&out) {
  line.reserve(kLineReserve);
  levelName.reserve(kLevelNameReserve);
}

RecordPrinter::RecordPrinter(const OutputOptions& options, RecordFilter& filter, std::ostream& out)
    : options(options), filter(filter), stream(&out) {
  line.reserve(kLineReserve);
  levelName.reserve(kLevelNameReserve);
}

void RecordPrinter::knowSource(std::string_view source, std::string_view application) {
  if (application.empty()) return;
  const auto known = applicationOf.find(source);
  if (known != applicationOf.end() && known->second == application) return;
  applicationOf[std::string(source)] = std::string(application);
  // A new name may now be shared: every prefix is made again (rarely:
  // once per target, and after a restart under another name).
  prefixOf.clear();
  for (const auto& entry : applicationOf) {
    const std::string& address = entry.first;
    const std::string& name = entry.second;
    const auto sharing = std::count_if(applicationOf.begin(), applicationOf.end(),
                                       [&](const auto& other) { return other.second == name; });
    std::string text = "[";
    appendVisible(text, name);
    if (sharing > 1) text += "@" + address;
    text += "]";
    if (options.color) text = sourceColour(address) + text + kColourOff;
    prefixOf[address] = text + " ";
  }
}

std::string RecordPrinter::sourceText(std::string_view source) {
  line.clear();
  appendSource(source);
  return line;
}

void RecordPrinter::appendSource(std::string_view source) {
  if (const auto known = prefixOf.find(source); known != prefixOf.end()) {
    line.append(known->second);
    return;
  }
  // No name known (yet): the address.
  if (options.color) line.append(sourceColour(source));
  line.push_back('[');
  line.append(source);
  line.push_back(']');
  if (options.color) line.append(kColourOff);
  line.push_back(' ');
}

void RecordPrinter::offer(const ArrivedRecord& arrived, const Levels& levels, std::int64_t id) {
  offer(codec::LogRecordView(arrived.record), arrived.receivedAt, arrived.source, levels, id);
}

void RecordPrinter::offer(const codec::LogRecordView& record, SystemClock::time_point receivedAt,
                          std::string_view source, const Levels& levels, std::int64_t id) {
  if (limitReached() || !filter.wanted(record, levels)) return;
  line.clear();
  if (options.json) {
    formatJson(record, receivedAt, source, levels, id);
  } else {
    formatText(record, receivedAt, source, levels);
  }
  emit();
  ++printed;
}

void RecordPrinter::offerGap(const ArrivedGap& arrived, std::int64_t id) {
  if (!options.json || limitReached()) return;
  line.clear();
  appendJsonGap(line, jsonTime, arrived, applicationOfSource(arrived.target), id);
  emit();
}

void RecordPrinter::emit() {
  line.push_back('\n');
  if (buffer != nullptr) {
    buffer->append(line);
  } else {
    stream->write(line.data(), static_cast<std::streamsize>(line.size()));
    stream->flush();
  }
}

std::string_view RecordPrinter::applicationOfSource(std::string_view source) const {
  const auto known = applicationOf.find(source);
  return known == applicationOf.end() ? std::string_view() : std::string_view(known->second);
}

void RecordPrinter::appendTime(SystemClock::time_point at) {
  const bool utc = options.utc;
  const bool iso = options.isoTimes;
  const auto micros = std::chrono::floor<std::chrono::microseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1'000'000);
  SecondText& cached = textSecond;
  if (cached.second != seconds) {
    const std::tm parts = partsOf(seconds, utc);
    const char* format = "%Y-%m-%dT%H:%M:%S";
    if (!iso) {
      // The date only when the record is not from today.
      const std::tm today = partsOf(std::time(nullptr), utc);
      const bool sameDay = parts.tm_year == today.tm_year && parts.tm_yday == today.tm_yday;
      format = sameDay ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S";
    }
    char text[40];
    cached.text.assign(text, std::strftime(text, sizeof text, format, &parts));
    cached.zone = utc ? "Z" : "";
    if (iso && !utc) {
      char offset[8];  // "+0100" becomes "+01:00"
      if (std::strftime(offset, sizeof offset, "%z", &parts) == 5) {
        cached.zone.assign(offset, 3).append(":").append(offset + 3, 2);
      }
    }
    cached.second = seconds;
  }
  line.append(cached.text);
  // Milliseconds, or microseconds in an RFC 3339 time.
  const bool sixDigits = iso;
  auto fraction = static_cast<int>(micros % 1'000'000);
  if (!sixDigits) fraction /= 1000;
  char digits[8] = {'.'};
  for (int i = sixDigits ? 6 : 3; i > 0; --i, fraction /= 10)
    digits[i] = static_cast<char>('0' + fraction % 10);
  line.append(digits, sixDigits ? 7 : 4);
  line.append(cached.zone);
}

void RecordPrinter::formatText(const codec::LogRecordView& r, SystemClock::time_point at,
                               std::string_view source, const Levels& levels) {
  const int clientLevel = recordClientLevel(r.clientMask);
  if (namingSources) appendSource(source);
  appendTime(at);
  line.append(" #");
  appendNumber(line, r.sequence);
  line.push_back(' ');
  if (options.color) line.append(colourOf(clientLevel));
  // Level names come from the target's descriptions: escaped like any text.
  levelName.clear();
  appendRecordLevelName(levelName, r.clientMask, levels);
  const std::size_t levelStart = line.size();
  appendVisible(line, levelName);
  const std::size_t width = line.size() - levelStart;
  if (width < kLevelWidth) line.append(kLevelWidth - width, ' ');
  if (options.color) line.append(kColourOff);
  line.push_back(' ');
  appendVisible(line, r.component());
  line.push_back(' ');
  appendNumber(line, r.pid());
  line.push_back('/');
  appendNumber(line, r.tid());
  line.append(" tick=");
  appendNumber(line, r.tick());
  line.push_back(' ');
  appendVisible(line, baseName(r.file()));
  line.push_back(':');
  appendNumber(line, r.line());
  line.push_back(' ');
  appendVisible(line, r.function());
  line.append(": ");
  appendVisible(line, r.text());
}

void RecordPrinter::formatJson(const codec::LogRecordView& r, SystemClock::time_point at,
                               std::string_view source, const Levels& levels, std::int64_t id) {
  // Level names come from the target's descriptions: escaped like any text.
  levelName.clear();
  appendRecordLevelName(levelName, r.clientMask, levels);
  appendJsonRecord(line, jsonTime, r, at, {source, applicationOfSource(source), id}, levelName);
}

}  // namespace remote
