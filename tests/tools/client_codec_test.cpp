// tests/tools/client_codec_test.cpp
//
// The client-side codec: one layout check per request and per target
// datagram (the target's own byte-exact tests in tests/protocol cover the
// rest of the layout), and the safety of the parsers: every prefix of a
// valid datagram and one byte more is rejected without reading past its
// end (each input lives in an exactly-sized heap block, so ASan sees any
// over-read), and a forged count is refused before allocating.
//
// Threads: single-threaded gtest cases.
#include "codec/client_codec.h"

#include <gtest/gtest.h>

#include <string>

#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace {

using codec::Bytes;

const codec::Uuid kUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// A target datagram written field by field: descriptor, uuid, then the rest.
struct Writer {
  explicit Writer(std::uint32_t descriptor) {
    be32(descriptor);
    for (const auto byte : kUuid) bytes.push_back(byte);  // GCC 12 -O3 warns falsely on insert()
  }
  Writer& be32(std::uint32_t value) {
    bytes.resize(bytes.size() + 4);
    wire::storeBe32(bytes.data() + bytes.size() - 4, value);
    return *this;
  }
  Writer& str(const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
    return *this;
  }
  Bytes bytes;
};

const Bytes kDiscoveryResponse = Writer(wire::kDiscoveryResponse).str("app").bytes;
const Bytes kRegistrationConfirm = Writer(wire::kRegistrationConfirm).str("app").bytes;
const Bytes kComponentInfo = Writer(wire::kComponentInfo).be32(7).be32(0xF0000000).str("net").bytes;
const Bytes kLevelDescriptions = Writer(wire::kLevelDescriptions)
                                     .be32(0xCAFEF00D)
                                     .be32(0xE0000000)
                                     .str("net")
                                     .be32(2)
                                     .be32(31)
                                     .be32(28)
                                     .str("error")
                                     .str("verbose")
                                     .bytes;
// Empty strings and a negative integer are where a lazy parser slips.
const Bytes kLogRecord = Writer(wire::kLogRecord)
                             .be32(42)
                             .be32(0xFFFFFFFF)
                             .be32(0x7FFFFFFF)
                             .be32(0)
                             .be32(17)
                             .be32(0x20000000)
                             .str("a")
                             .str("")
                             .str("ccc")
                             .str("")
                             .bytes;

// The first `length` bytes in a heap block of exactly that size (a vector
// built from a range allocates no more), so ASan sees a read past the end.
Bytes prefix(const Bytes& from, std::size_t length) {
  return Bytes(from.begin(), from.begin() + length);
}

}  // namespace

TEST(ClientCodec, RequestsMatchTheWireLayout) {
  EXPECT_EQ(codec::buildDiscoveryRequest(), (Bytes{0, 0, 0, 0x01}));
  EXPECT_EQ(codec::buildRegistrationRequest(), (Bytes{0, 0, 0, 0x10}));
  EXPECT_EQ(codec::buildUnregistrationRequest(), (Bytes{0, 0, 0, 0x13}));
  EXPECT_EQ(codec::buildSetLevelRequest(0x01020304, 0x80000010, "net"),
            (Bytes{0, 0, 0, 0x21, 1, 2, 3, 4, 0x80, 0, 0, 0x10, 'n', 'e', 't', 0}));
  EXPECT_EQ(codec::buildGetLevelDescriptionsRequest(0xAABBCCDD, ""),
            (Bytes{0, 0, 0, 0x40, 0xAA, 0xBB, 0xCC, 0xDD, 0}));
}

TEST(ClientCodec, DatagramsGiveTheirFields) {
  const auto response = codec::parseDiscoveryResponse(kDiscoveryResponse);
  ASSERT_TRUE(response) << response.error();
  EXPECT_EQ(codec::uuidToHex(response->uuid), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(response->applicationName, "app");

  const auto info = codec::parseComponentInfo(kComponentInfo);
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->requestId, 7u);
  EXPECT_EQ(info->clientMask, 0xF0000000u);
  EXPECT_EQ(info->name, "net");

  const auto levels = codec::parseLevelDescriptions(kLevelDescriptions);
  ASSERT_TRUE(levels) << levels.error();
  EXPECT_EQ(levels->requestId, 0xCAFEF00Du);
  EXPECT_EQ(levels->clientMask, 0xE0000000u);
  EXPECT_EQ(levels->name, "net");
  EXPECT_EQ(levels->levels, (std::vector<codec::LevelDescription>{{31, "error"}, {28, "verbose"}}));

  const auto record = codec::parseLogRecord(kLogRecord);
  ASSERT_TRUE(record) << record.error();
  EXPECT_EQ(record->uuid, kUuid);
  EXPECT_EQ(record->sequence, 42u);
  EXPECT_EQ(record->integers, (std::array<std::int32_t, 4>{-1, 2147483647, 0, 17}));
  EXPECT_EQ(record->clientMask, 0x20000000u);
  EXPECT_EQ(record->strings, (std::array<std::string, 4>{"a", "", "ccc", ""}));

  // Read in place, the same record.
  codec::LogRecordView view;
  ASSERT_TRUE(codec::readLogRecord(kLogRecord, view));
  EXPECT_EQ(view.toRecord().strings, record->strings);
  EXPECT_EQ(view.integers, record->integers);
  EXPECT_EQ(view.uuid, record->uuid);
  EXPECT_EQ(view.sequence, record->sequence);
  EXPECT_EQ(view.clientMask, record->clientMask);
}

// Every proper prefix of a valid datagram breaks a length rule, and one byte
// more is left over: each must be refused under the datagram's kind.
TEST(ClientCodec, EveryPrefixAndOneByteMoreRejected) {
  static const struct {
    const char* kind;
    const Bytes& bytes;
  } kCases[] = {
      {"discovery response", kDiscoveryResponse},
      {"registration confirm", kRegistrationConfirm},
      {"component info", kComponentInfo},
      {"level descriptions", kLevelDescriptions},
      {"log record", kLogRecord},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.kind);
    ASSERT_TRUE(codec::parseDatagram(c.bytes));
    codec::LogRecordView view;  // the in-place reader refuses what the parser refuses
    EXPECT_EQ(codec::readLogRecord(c.bytes, view), &c.bytes == &kLogRecord);
    for (std::size_t length = 0; length < c.bytes.size(); ++length) {
      const auto parsed = codec::parseDatagram(prefix(c.bytes, length));
      ASSERT_FALSE(parsed) << "prefix of " << length << " bytes";
      ASSERT_FALSE(codec::readLogRecord(prefix(c.bytes, length), view))
          << "prefix of " << length << " bytes";
      if (length >= wire::kFieldSize) {
        EXPECT_EQ(parsed.error().rfind(c.kind, 0), 0u) << parsed.error();
      }
    }
    Bytes longer = c.bytes;
    longer.push_back('x');
    const auto parsed = codec::parseDatagram(prefix(longer, longer.size()));
    ASSERT_FALSE(parsed);
    EXPECT_FALSE(codec::readLogRecord(prefix(longer, longer.size()), view));
    EXPECT_NE(parsed.error().find("left over"), std::string::npos) << parsed.error();
  }
}

// A forged count must be refused before anything is allocated for it.
TEST(ClientCodec, HugeLevelCountRefusedUpFront) {
  const Bytes forged =
      Writer(wire::kLevelDescriptions).be32(1).be32(0).str("").be32(0xFFFFFFFF).bytes;
  const auto parsed = codec::parseDatagram(forged);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().rfind("level descriptions: count 4294967295 needs", 0), 0u)
      << parsed.error();
}
