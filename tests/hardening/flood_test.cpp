// tests/hardening/flood_test.cpp
//
// A target under a flood of random and malformed datagrams from several
// sockets, while host threads log to five registered clients: it keeps
// forwarding whole records in order and still answers afterwards.
#include <random>
#include <thread>

#include "hardening/record_sink.h"
#include "support/target_fixture.h"

namespace {

constexpr int kFlooders = 3;
constexpr int kDatagramsPerFlooder = 3000;
constexpr int kLoggers = 2;
constexpr int kRecordsPerLogger = 400;

// Requests the parser must refuse or bound, mixed into the random bytes.
Bytes malformed(std::mt19937& random) {
  static const Bytes kCases[] = {
      {},                                                    // empty datagram
      {0x00, 0x00, 0x00},                                    // descriptor cut short
      descriptorOnly(wire::kSetLevelRequest),                // SLV without payload
      descriptorOnly(wire::kGetLevelDescriptionsRequest),    // GLVD without payload
      be32(wire::kSetLevelRequest) + Bytes(8, 0),            // SLV one byte short
      be32(wire::kGetLevelDescriptionsRequest) + be32(1) + bytesOf("net", false),  // no NUL
      levelDescriptionsRequest(2, std::string(32, 'n')),     // name too long
      levelDescriptionsRequest(3, "net") + Bytes(3000, 'x'), // longer than the buffer
      setLevelRequest(4, 0xFFFFFFFF, "db"),                  // valid: changes a mask
      levelDescriptionsRequest(5, "net"),                    // valid
      descriptorOnly(wire::kRegistrationRequest),            // refused: five registered
      descriptorOnly(wire::kUnregistrationRequest),          // from a stranger: ignored
      descriptorOnly(wire::kLogRecord),                      // the target's own descriptors
      descriptorOnly(wire::kDiscoveryResponse),
      descriptorOnly(0xFFFFFFFF),
  };
  return kCases[random() % std::size(kCases)];
}

Bytes randomBytes(std::mt19937& random) {
  Bytes bytes(random() % 2100);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// The text of record i carries its own length, so a record torn between two
// log() calls cannot parse as consistent.
std::string textFor(int i) {
  const std::size_t length = static_cast<std::size_t>(i * 37 % 1900);
  return std::to_string(length) + ":" + std::string(length, static_cast<char>('a' + i % 26));
}

bool consistent(const LogRecord& record) {
  const std::string& text = record.strings[3];
  const auto colon = text.find(':');
  if (colon == std::string::npos) return text == "end";
  return std::to_string(text.size() - colon - 1) == text.substr(0, colon) &&
         text.find_first_not_of(text.back(), colon + 1) == std::string::npos;
}

class HardeningFlood : public TargetTest {};

TEST_F(HardeningFlood, TargetKeepsForwardingWholeRecordsAndAnswersAfterwards) {
  const tarvin::LevelDescriptions levels = {{3, "error"}, {5, "info"}, {7, "debug"}};
  for (const char* name : {"net", "db", "ui"}) tarvin::defineComponent(name, 0x28, levels);
  Target target;
  std::vector<std::unique_ptr<RecordSink>> sinks;
  for (int i = 0; i < 5; ++i) {
    sinks.push_back(std::make_unique<RecordSink>());
    ASSERT_TRUE(sinks.back()->registerWith(target.port(), /*components=*/3));
    sinks.back()->start();
  }

  std::vector<std::thread> threads;
  for (int f = 0; f < kFlooders; ++f) {
    threads.emplace_back([&target, f] {
      LoopbackClient flooder;
      std::mt19937 random(static_cast<unsigned>(f) + 1);
      for (int i = 0; i < kDatagramsPerFlooder; ++i) {
        flooder.send(target.port(), random() % 2 ? randomBytes(random) : malformed(random));
      }
    });
  }
  for (int l = 0; l < kLoggers; ++l) {
    threads.emplace_back([&target, l] {
      for (int i = 0; i < kRecordsPerLogger; ++i) {
        target->log(l, i, 0, 0, tarvin::levelRecord(5), "net", "flood_test.cpp", "logger",
                    textFor(l * kRecordsPerLogger + i));
      }
    });
  }
  for (auto& t : threads) t.join();
  target->log(0, 0, 0, 0, tarvin::levelRecord(5), "net", "", "", "end");

  for (auto& sink : sinks) {
    const auto datagrams = sink->stopAfter("end");
    std::size_t records = 0;
    std::int64_t lastSequence = -1;
    bool sawEnd = false;
    for (const Bytes& d : datagrams) {
      const auto record = parseLogRecord(d);
      ASSERT_TRUE(record) << "a datagram of " << d.size() << " bytes is not a whole log record";
      ASSERT_TRUE(consistent(*record)) << "record " << record->sequence << " mixes two messages";
      EXPECT_GT(static_cast<std::int64_t>(record->sequence), lastSequence) << "out of order";
      lastSequence = record->sequence;
      sawEnd = sawEnd || record->strings[3] == "end";
      ++records;
    }
    EXPECT_TRUE(sawEnd) << "the record after the flood never arrived";
    // Loopback may drop while the flood fills its queues, so only a share
    // is required: enough to show delivery went on during the flood.
    EXPECT_GT(records, kLoggers * kRecordsPerLogger / 10);
  }

  LoopbackClient stranger;
  EXPECT_TRUE(stranger.probe(target.port())) << "the target no longer answers discovery";
  stranger.send(target.port(), levelDescriptionsRequest(42, "net"));
  const auto reply = stranger.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(be32At(*reply, 0), wire::kLevelDescriptions);
  EXPECT_EQ(be32At(*reply, wire::level_descriptions::kRequestIdOffset), 42u);
}

}  // namespace
