// tests/protocol/log_forwarding_test.cpp
//
// log() as clients see it: the record's layout and exact length, the size
// limit, sequence numbers, the same bytes to every client in registry order,
// and no allocation on the hot path. (Records under concurrent logging are
// tests/hardening's.)
#include "allocation_counter.h"
#include "support/target_fixture.h"
#include "target/log_target_remote.h"

struct CLogtargetRemoteTestPeer {
  static void setSequenceNumber(CLogtargetRemote& target, std::uint32_t value) {
    MutexLock lock(target.logMutex);
    target.sequenceNumber = value;
  }
};

namespace {

using namespace std::chrono_literals;
namespace record = wire::log_record;

class LogForwarding : public TargetTest {
 protected:
  void SetUp() override {
    TargetTest::SetUp();
    target = std::make_unique<CLogtargetRemote>(nullptr);
    ASSERT_TRUE(client.registerWith(wire::kFirstPort));
  }
  void log(int level, const std::string& a, const std::string& b, const std::string& c,
           const std::string& d, int i1 = 0, int i2 = 0, long i3 = 0, int i4 = 0) {
    target->log(i1, i2, i3, i4, tarvin::levelRecord(static_cast<unsigned int>(level)), a, b, c, d);
  }
  std::uint32_t sequenceOf(const Bytes& datagram) {
    return be32At(datagram, record::kSequenceOffset);
  }

  std::unique_ptr<CLogtargetRemote> target;
  LoopbackClient client;
};

TEST_F(LogForwarding, RecordsAreLaidOutFieldByFieldWithExactLength) {
  log(5, "", "", "", "");
  const auto empty = client.receive();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 48u);
  EXPECT_EQ(be32At(*empty, 0), wire::kLogRecord);
  EXPECT_EQ(Bytes(empty->end() - 4, empty->end()), Bytes(4, 0));

  log(5, "a", "bb", "ccc", "dddd");
  const auto four = client.receive();
  ASSERT_TRUE(four);
  EXPECT_EQ(four->size(), 58u);
  EXPECT_EQ(stringAt(*four, 44), "a");
  EXPECT_EQ(stringAt(*four, 46), "bb");
  EXPECT_EQ(stringAt(*four, 49), "ccc");
  EXPECT_EQ(stringAt(*four, 53), "dddd");
  EXPECT_EQ(Bytes(four->begin() + wire::kUuidOffset, four->begin() + wire::kHeaderSize),
            Bytes(empty->begin() + wire::kUuidOffset, empty->begin() + wire::kHeaderSize));
}

TEST_F(LogForwarding, IntegersGoOutAsTwosComplementAndTheLevelAsClientMask) {
  log(5, "", "", "", "", -1, 2147483647, 0, -2147483647 - 1);
  const auto r = client.receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(Bytes(r->begin() + record::kIntegersOffset, r->begin() + record::kClientMaskOffset),
            be32(0xFFFFFFFF) + be32(0x7FFFFFFF) + be32(0) + be32(0x80000000));
  EXPECT_EQ(be32At(*r, record::kClientMaskOffset), 0x20000000u);  // numeric 5

  log(2, "", "", "", "", 0, 0, 0x123456789L);  // a wide long keeps its low 32 bits
  const auto low = client.receive();
  ASSERT_TRUE(low);
  EXPECT_EQ(be32At(*low, record::kIntegersOffset + 8), 0x23456789u);
  EXPECT_EQ(be32At(*low, record::kClientMaskOffset), 0x80000000u);  // numeric 0-3 share bit 31
}

TEST_F(LogForwarding, OnlyRecordsUpTo2047BytesGoOutAndDropsDoNotCount) {
  log(5, std::string(1000, 'a'), std::string(999, 'b'), "", "");  // 2047 bytes
  const auto largest = client.receive();
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->size(), 2047u);
  EXPECT_EQ(sequenceOf(*largest), 0u);

  log(5, std::string(1000, 'a'), std::string(1000, 'b'), "", "");  // would be 2048
  log(5, "", "", "", std::string(5000, 'z'));
  log(5, "next", "", "", "");
  const auto next = client.receive();
  ASSERT_TRUE(next);
  EXPECT_EQ(stringAt(*next, record::kStringsOffset), "next") << "a dropped record went out";
  EXPECT_EQ(sequenceOf(*next), 1u);
}

TEST_F(LogForwarding, SequenceNumbersCountEveryBuiltRecordAndWrap) {
  ASSERT_TRUE(client.probe(wire::kFirstPort));
  client.send(wire::kFirstPort, descriptorOnly(wire::kUnregistrationRequest));
  ASSERT_TRUE(client.probe(wire::kFirstPort));
  log(5, "", "", "", "");  // nobody listens, yet these count
  log(5, "", "", "", "");
  ASSERT_TRUE(client.registerWith(wire::kFirstPort));
  log(5, "", "", "", "");
  const auto third = client.receive();
  ASSERT_TRUE(third);
  EXPECT_EQ(sequenceOf(*third), 2u);

  CLogtargetRemoteTestPeer::setSequenceNumber(*target, 0xFFFFFFFF);
  log(5, "", "", "", "");
  log(5, "", "", "", "");
  const auto last = client.receive();
  const auto wrapped = client.receive();
  ASSERT_TRUE(last && wrapped);
  EXPECT_EQ(sequenceOf(*last), 0xFFFFFFFFu);
  EXPECT_EQ(sequenceOf(*wrapped), 0u);
}

TEST_F(LogForwarding, EveryClientGetsTheSameBytesInRegistrationOrder) {
  LoopbackClient second, third;
  ASSERT_TRUE(second.registerWith(wire::kFirstPort));
  ASSERT_TRUE(third.registerWith(wire::kFirstPort));
  fault::recordSendto(true);
  log(7, "net", "main.cpp", "run", "hello", 1, 2, 3, 4);
  const auto a = client.receive(), b = second.receive(), c = third.receive();
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(*a, *c);
  EXPECT_EQ(fault::sendtoPorts(), (std::vector<int>{client.port(), second.port(), third.port()}));
}

TEST_F(LogForwarding, AFailedSendDoesNotCostTheOthersTheirRecord) {
  LoopbackClient second;
  ASSERT_TRUE(second.registerWith(wire::kFirstPort));
  fault::failSendtoPort(client.port());
  log(5, "", "", "", "still sent");
  const auto r = second.receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(stringAt(*r, record::kStringsOffset + 3), "still sent");
  fault::reset();
  log(5, "", "", "", "");
  const auto back = client.receive();
  ASSERT_TRUE(back) << "a failed send must not unregister the client";
  EXPECT_EQ(sequenceOf(*back), 1u);
}

TEST_F(LogForwarding, LoggingAllocatesNothing) {
  LoopbackClient second;
  ASSERT_TRUE(second.registerWith(wire::kFirstPort));
  const std::string component = "component", file = "file.cpp", function = "function",
                    text(300, 't');
  tarvin_level* level = tarvin::levelRecord(5);
  target->log(1, 2, 3, 4, level, component, file, function, text);  // warm up
  const long before = allocation_counter::threadAllocations();
  for (int i = 0; i < 1000; ++i) target->log(1, 2, 3, 4, level, component, file, function, text);
  EXPECT_EQ(allocation_counter::threadAllocations() - before, 0);
  target->log(1, 2, 3, 4, level, std::string(3000, 'x'), file, function, text);  // dropped
  EXPECT_EQ(allocation_counter::threadAllocations() - before, 1) << "only the test's own string";
}

}  // namespace
