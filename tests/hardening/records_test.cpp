// tests/hardening/records_test.cpp
//
// Log records under load, while host threads log: a flood of random and
// malformed datagrams from several sockets. Every record that arrives is
// whole, holds what its own log() call gave and comes in order, and the
// target answers afterwards. (Clients that come and go while threads log
// are churn_test's.)
#include <cstring>
#include <future>
#include <random>
#include <thread>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;

struct Record {
  std::uint32_t sequence;
  std::uint32_t thread, index;  // the first two integers
  std::string text;             // the fourth string
};

// A whole log record: at most 2047 bytes, four NUL-terminated strings that
// end exactly where the datagram ends.
std::optional<Record> parseRecord(const Bytes& d) {
  if (d.size() < wire::log_record::kMinSize || d.size() >= wire::kMaxDatagramSize ||
      be32At(d, 0) != wire::kLogRecord)
    return std::nullopt;
  Record record{be32At(d, wire::log_record::kSequenceOffset),
                be32At(d, wire::log_record::kIntegersOffset),
                be32At(d, wire::log_record::kIntegersOffset + wire::kFieldSize),
                {}};
  std::size_t at = wire::log_record::kStringsOffset;
  for (int i = 0; i < 4; ++i) {
    const void* nul = at < d.size() ? std::memchr(d.data() + at, 0, d.size() - at) : nullptr;
    if (nul == nullptr) return std::nullopt;
    record.text.assign(reinterpret_cast<const char*>(d.data() + at), static_cast<const char*>(nul));
    at += record.text.size() + 1;
  }
  return at == d.size() ? std::optional(record) : std::nullopt;
}

// A logger's text: its length and letter follow from the thread and the
// record's number, so that parts of two records in one datagram show.
std::string textOf(std::uint32_t thread, std::uint32_t index) {
  return std::string(index * 37 % 1900, static_cast<char>('r' + thread));
}

// Every datagram a registered client receives up to the record "end", read
// on a thread of its own so that a burst of records waits in a large buffer
// rather than overflowing it.
std::future<std::vector<Bytes>> collect(const LoopbackClient& client) {
  client.setReceiveBuffer(8 << 20);
  return std::async(std::launch::async, [&client] {
    std::vector<Bytes> all;
    while (auto d = client.receive(5s)) {
      all.push_back(*d);
      if (const auto r = parseRecord(all.back()); r && r->text == "end") break;
    }
    return all;
  });
}

class HardeningRecords : public TargetTest {};

TEST_F(HardeningRecords, FloodLeavesRecordsWholeInOrderAndTheTargetAnswering) {
  constexpr int kRecordsPerLogger = 400;
  const tarvin::LevelDescriptions levels = {{3, "error"}, {5, "info"}, {7, "debug"}};
  for (const char* name : {"net", "db", "ui"}) tarvin::defineComponent(name, 0x28, levels);
  Target target;
  std::vector<std::unique_ptr<LoopbackClient>> sinks;
  std::vector<std::future<std::vector<Bytes>>> received;
  for (int i = 0; i < 5; ++i) {
    sinks.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(sinks.back()->registerWith(target.port(), /*components=*/3));
    received.push_back(collect(*sinks.back()));
  }
  // Requests the parser must refuse or bound, mixed into random bytes.
  const Bytes kMalformed[] = {
      {},
      {0x00, 0x00, 0x00},
      descriptorOnly(wire::kSetLevelRequest),
      be32(wire::kGetLevelDescriptionsRequest) + be32(1) + bytesOf("net", /*withNul=*/false),
      levelDescriptionsRequest(2, std::string(32, 'n')),
      levelDescriptionsRequest(3, "net") + Bytes(3000, 'x'),
      setLevelRequest(4, 0xFFFFFFFF, "db"),
      descriptorOnly(wire::kRegistrationRequest),  // refused: five registered
      descriptorOnly(wire::kUnregistrationRequest),
      descriptorOnly(wire::kLogRecord)};
  // Three flooders and two loggers at once.
  const auto work = [&](int t) {
    if (t >= 2) {
      LoopbackClient flooder;
      std::mt19937 random(static_cast<unsigned>(t));
      for (int i = 0; i < 3000; ++i) {
        Bytes noise(random() % 2100);
        for (auto& b : noise) b = static_cast<std::uint8_t>(random());
        flooder.send(target.port(),
                     random() % 2 ? noise : kMalformed[random() % std::size(kMalformed)]);
      }
      return;
    }
    for (int i = 0; i < kRecordsPerLogger; ++i) {
      target->log(t, i, 0, 0, tarvin::levelRecord(5), "net", "records_test.cpp", "logger",
                  textOf(static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(i)));
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 5; ++t) threads.emplace_back(work, t);
  for (auto& t : threads) t.join();
  target->log(0, 0, 0, 0, tarvin::levelRecord(5), "net", "", "", "end");

  for (auto& r : received) {
    std::int64_t last = -1;
    const auto datagrams = r.get();
    for (const Bytes& d : datagrams) {
      const auto record = parseRecord(d);
      ASSERT_TRUE(record) << "a datagram of " << d.size() << " bytes is not a whole log record";
      if (record->text != "end") {
        ASSERT_EQ(record->text, textOf(record->thread, record->index)) << "records mixed up";
      }
      EXPECT_GT(std::int64_t{record->sequence}, last) << "out of order";
      last = record->sequence;
    }
    ASSERT_FALSE(datagrams.empty());
    EXPECT_EQ(parseRecord(datagrams.back())->text, "end")
        << "the record after the flood never arrived";
    // Loopback may drop while the flood fills its queues, so only a share
    // is required: enough to show delivery went on during the flood.
    EXPECT_GT(datagrams.size(), 2u * kRecordsPerLogger / 10);
  }
  // The flood's backlog may still fill the target's socket buffer, where
  // the kernel drops a request as it drops any datagram: asked again until
  // the worker has read its way through.
  LoopbackClient stranger;
  bool answered = false;
  for (int attempt = 0; attempt < 5 && !answered; ++attempt)
    answered = stranger.probe(target.port());
  EXPECT_TRUE(answered) << "the target no longer answers discovery";
  stranger.send(target.port(), levelDescriptionsRequest(42, "net"));
  const auto reply = stranger.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(be32At(*reply, wire::level_descriptions::kRequestIdOffset), 42u);
}

}  // namespace
