// tests/hardening/vanishing_clients_test.cpp
//
// Registered clients whose sockets close without a URQ: their records fail
// or go nowhere until their idle timers expire, and the clients still there
// receive every record, whichever slot the vanished ones held.
#include <set>
#include <thread>

#include "hardening/record_sink.h"
#include "support/target_fixture.h"

namespace {

constexpr int kLoggers = 3;
constexpr int kRecordsPerLogger = 300;

class HardeningVanishingClients : public TargetTest {};

TEST_F(HardeningVanishingClients, TheOthersKeepReceivingEveryRecord) {
  // Registry order: vanishing, staying, vanishing, staying, staying. The
  // first entry vanishing is the case that could end the send loop early.
  Target target;
  auto first = std::make_unique<LoopbackClient>();
  RecordSink second;
  auto third = std::make_unique<LoopbackClient>();
  RecordSink fourth;
  RecordSink fifth;
  ASSERT_TRUE(first->registerWith(target.port()));
  ASSERT_TRUE(second.registerWith(target.port()));
  ASSERT_TRUE(third->registerWith(target.port()));
  ASSERT_TRUE(fourth.registerWith(target.port()));
  ASSERT_TRUE(fifth.registerWith(target.port()));
  RecordSink* staying[] = {&second, &fourth, &fifth};
  for (RecordSink* s : staying) s->start();

  // One vanished port refuses each send outright; the other's datagrams are
  // dropped by the kernel, as for a client whose host went away.
  fault::failSendtoPort(first->port());
  first.reset();
  third.reset();

  std::vector<std::thread> loggers;
  for (int l = 0; l < kLoggers; ++l) {
    loggers.emplace_back([&target, l] {
      for (int i = 0; i < kRecordsPerLogger; ++i) {
        target->log(l, i, 0, 0, tarvin::levelRecord(5), "net", "file", "function",
                    "record " + std::to_string(l) + "/" + std::to_string(i));
      }
    });
  }
  for (auto& t : loggers) t.join();
  target->log(0, 0, 0, 0, tarvin::levelRecord(5), "net", "", "", "end");

  for (RecordSink* s : staying) {
    std::set<std::uint32_t> sequences;
    for (const Bytes& d : s->stopAfter("end")) {
      const auto record = parseLogRecord(d);
      ASSERT_TRUE(record) << "a datagram of " << d.size() << " bytes is not a whole log record";
      sequences.insert(record->sequence);
    }
    // Sequence numbers count every record built, so all of 0..N must be here.
    ASSERT_EQ(sequences.size(), kLoggers * kRecordsPerLogger + 1u) << "client on port " << s->port();
    EXPECT_EQ(*sequences.rbegin(), static_cast<std::uint32_t>(kLoggers * kRecordsPerLogger));
  }

  // The target itself goes on answering.
  LoopbackClient stranger;
  EXPECT_TRUE(stranger.probe(target.port()));
}

}  // namespace
