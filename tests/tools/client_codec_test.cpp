// tests/tools/client_codec_test.cpp
//
// The client-side codec against byte layouts written out field by field
// here: requests must come out byte for byte, target datagrams must parse
// to the right fields, and every malformed or truncated datagram must be
// rejected with a message naming what is wrong, without reading past its
// end (each input lives in an exactly-sized heap block, so ASan sees any
// over-read).
//
// Threads: single-threaded gtest cases.
#include "codec/client_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/wire_format.h"

namespace {

using codec::Bytes;

const codec::Uuid kUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// Writes a target datagram the way the target lays it out, field by field.
class DatagramWriter {
 public:
  explicit DatagramWriter(std::uint32_t descriptor, bool withUuid = true) {
    be32(descriptor);
    if (withUuid) bytes.insert(bytes.end(), kUuid.begin(), kUuid.end());
  }
  DatagramWriter& be32(std::uint32_t value) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 4);
    wire::storeBe32(bytes.data() + at, value);
    return *this;
  }
  DatagramWriter& str(const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
    return *this;
  }
  DatagramWriter& raw(std::initializer_list<std::uint8_t> more) {
    bytes.insert(bytes.end(), more);
    return *this;
  }
  Bytes bytes;
};

Bytes levelDescriptionsExample() {
  return DatagramWriter(wire::kLevelDescriptions)
      .be32(0xCAFEF00D).be32(0xE0000000).str("net")
      .be32(2).be32(31).be32(28).str("error").str("verbose")
      .bytes;
}
Bytes componentInfoExample() {
  return DatagramWriter(wire::kComponentInfo).be32(7).be32(0xF0000000).str("net").bytes;
}
Bytes logRecordExample() {
  return DatagramWriter(wire::kLogRecord)
      .be32(42).be32(0xFFFFFFFF).be32(0x7FFFFFFF).be32(0).be32(17).be32(0x20000000)
      .str("a").str("bb").str("ccc").str("dddd")
      .bytes;
}
Bytes discoveryResponseExample() {
  return DatagramWriter(wire::kDiscoveryResponse).str("app").bytes;
}
Bytes registrationConfirmExample() {
  return DatagramWriter(wire::kRegistrationConfirm).str("app").bytes;
}

// A copy of the first `length` bytes in a heap block of exactly that size.
struct ExactCopy {
  ExactCopy(const Bytes& from, std::size_t length)
      : storage(new std::uint8_t[length]), length(length) {
    if (length != 0) std::memcpy(storage.get(), from.data(), length);
  }
  codec::ByteSpan span() const { return {storage.get(), length}; }
  std::unique_ptr<std::uint8_t[]> storage;
  std::size_t length;
};

}  // namespace

// ---- requests, byte for byte ----

TEST(ClientCodecRequests, MatchWireLayout) {
  static const struct {
    const char* name;
    Bytes built;
    Bytes expected;
  } kCases[] = {
      {"DRQ", codec::buildDiscoveryRequest(), {0, 0, 0, 0x01}},
      {"RRQ", codec::buildRegistrationRequest(), {0, 0, 0, 0x10}},
      {"URQ", codec::buildUnregistrationRequest(), {0, 0, 0, 0x13}},
      {"SLV for a 3-character name",
       codec::buildSetLevelRequest(0x01020304, 0x80000010, "net"),
       {0, 0, 0, 0x21, 1, 2, 3, 4, 0x80, 0, 0, 0x10, 'n', 'e', 't', 0}},
      {"GLVD for a 3-character name is 12 bytes",
       codec::buildGetLevelDescriptionsRequest(0xAABBCCDD, "net"),
       {0, 0, 0, 0x40, 0xAA, 0xBB, 0xCC, 0xDD, 'n', 'e', 't', 0}},
      {"GLVD for the empty name is 9 bytes",
       codec::buildGetLevelDescriptionsRequest(5, ""),
       {0, 0, 0, 0x40, 0, 0, 0, 5, 0}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.built, c.expected);
  }
}

// ---- target datagrams that follow every rule ----

TEST(ClientCodecParse, LevelDescriptionsWithTwoTexts) {
  const Bytes bytes = levelDescriptionsExample();
  // 28 + "net\0" + count + two levels + "error\0" + "verbose\0"
  ASSERT_EQ(bytes.size(), 58u);
  EXPECT_EQ(wire::loadBe32(bytes.data() + 32), 2u);
  EXPECT_EQ(wire::loadBe32(bytes.data() + 36), 31u);
  EXPECT_EQ(wire::loadBe32(bytes.data() + 40), 28u);

  const auto parsed = codec::parseLevelDescriptions(bytes);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->uuid, kUuid);
  EXPECT_EQ(parsed->requestId, 0xCAFEF00Du);
  EXPECT_EQ(parsed->clientMask, 0xE0000000u);
  EXPECT_EQ(parsed->name, "net");
  const std::vector<codec::LevelDescription> expected = {{31, "error"}, {28, "verbose"}};
  EXPECT_EQ(parsed->levels, expected);
}

TEST(ClientCodecParse, LevelDescriptionsWithoutLevelsEndAfterCount) {
  const Bytes bytes = DatagramWriter(wire::kLevelDescriptions).be32(1).be32(0).str("").be32(0).bytes;
  ASSERT_EQ(bytes.size(), 33u);
  const auto parsed = codec::parseLevelDescriptions(bytes);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_TRUE(parsed->levels.empty());
}

TEST(ClientCodecParse, ComponentInfo) {
  const Bytes bytes = componentInfoExample();
  ASSERT_EQ(bytes.size(), 32u);
  const auto parsed = codec::parseComponentInfo(bytes);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->requestId, 7u);
  EXPECT_EQ(parsed->clientMask, 0xF0000000u);
  EXPECT_EQ(parsed->name, "net");
}

TEST(ClientCodecParse, LogRecordFieldsAndSignedIntegers) {
  const Bytes bytes = logRecordExample();
  ASSERT_EQ(bytes.size(), 58u);  // strings at 44, 46, 49 and 53
  const auto parsed = codec::parseLogRecord(bytes);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->sequence, 42u);
  EXPECT_EQ(parsed->integers, (std::array<std::int32_t, 4>{-1, 2147483647, 0, 17}));
  EXPECT_EQ(parsed->clientMask, 0x20000000u);
  EXPECT_EQ(parsed->strings, (std::array<std::string, 4>{"a", "bb", "ccc", "dddd"}));
}

TEST(ClientCodecParse, AllEmptyLogRecordIs48Bytes) {
  const Bytes bytes = DatagramWriter(wire::kLogRecord)
                          .be32(0).be32(0).be32(0).be32(0).be32(0).be32(0)
                          .str("").str("").str("").str("")
                          .bytes;
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(Bytes(bytes.end() - 4, bytes.end()), Bytes(4, 0));
  const auto parsed = codec::parseLogRecord(bytes);
  ASSERT_TRUE(parsed) << parsed.error();
  for (const std::string& s : parsed->strings) EXPECT_EQ(s, "");
}

TEST(ClientCodecParse, DispatchesOnDescriptor) {
  const auto discovery = codec::parseDatagram(discoveryResponseExample());
  ASSERT_TRUE(discovery) << discovery.error();
  ASSERT_TRUE(std::holds_alternative<codec::DiscoveryResponse>(*discovery));
  EXPECT_EQ(std::get<codec::DiscoveryResponse>(*discovery).applicationName, "app");
  EXPECT_EQ(codec::uuidToHex(std::get<codec::DiscoveryResponse>(*discovery).uuid),
            "00112233445566778899aabbccddeeff");

  const auto confirm = codec::parseDatagram(registrationConfirmExample());
  ASSERT_TRUE(confirm) << confirm.error();
  EXPECT_TRUE(std::holds_alternative<codec::RegistrationConfirm>(*confirm));
}

// ---- malformed datagrams: each rejected with a message naming the fault ----

TEST(ClientCodecMalformed, NamesTheFault) {
  static const struct {
    const char* name;
    Bytes bytes;
    const char* expectedError;
  } kCases[] = {
      {"component info whose name runs to the end",
       DatagramWriter(wire::kComponentInfo).be32(1).be32(2).raw({'n', 'e', 't'}).bytes,
       "component info: name not NUL-terminated"},
      {"component info with a byte after the name",
       DatagramWriter(wire::kComponentInfo).be32(1).be32(2).str("net").raw({0}).bytes,
       "component info: 1 bytes left over at offset 32"},
      {"component info cut inside the client mask",
       DatagramWriter(wire::kComponentInfo).be32(1).raw({0, 0}).bytes,
       "component info: client mask cut short at offset 24"},
      {"log record with three strings",
       DatagramWriter(wire::kLogRecord)
           .be32(0).be32(0).be32(0).be32(0).be32(0).be32(0).str("c").str("f").str("x").bytes,
       "log record: string 4 (text) not NUL-terminated"},
      {"log record with a fifth string",
       DatagramWriter(wire::kLogRecord)
           .be32(0).be32(0).be32(0).be32(0).be32(0).be32(0)
           .str("").str("").str("").str("").str("").bytes,
       "log record: 1 bytes left over"},
      {"level descriptions counting three, carrying two",
       DatagramWriter(wire::kLevelDescriptions)
           .be32(1).be32(0).str("net").be32(3).be32(31).be32(30).str("a").str("b").bytes,
       "level descriptions: count 3 needs"},
      {"level descriptions counting one, carrying two texts",
       DatagramWriter(wire::kLevelDescriptions)
           .be32(1).be32(0).str("net").be32(1).be32(31).str("a").str("b").bytes,
       "level descriptions: 2 bytes left over"},
      {"level descriptions with a huge count",
       DatagramWriter(wire::kLevelDescriptions).be32(1).be32(0).str("").be32(0xFFFFFFFF).bytes,
       "level descriptions: count 4294967295 needs"},
      {"level descriptions whose last text lacks its NUL",
       DatagramWriter(wire::kLevelDescriptions)
           .be32(1).be32(0).str("net").be32(2).be32(31).be32(30).str("a").raw({'b'}).bytes,
       "level descriptions: text 1 of 2 not NUL-terminated"},
      {"discovery response without header",
       DatagramWriter(wire::kDiscoveryResponse, /*withUuid=*/false).raw({1, 2}).bytes,
       "discovery response: too short for the header (6 bytes, need at least 20)"},
      {"a request sent back to the client",
       codec::buildDiscoveryRequest(), "discovery request: not sent by targets"},
      {"unknown descriptor", {0xFF, 0xFF, 0xFF, 0xFF}, "datagram 0xffffffff: not sent by targets"},
      {"three bytes", {0, 0, 0}, "datagram: too short for a descriptor (3 bytes)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const ExactCopy copy(c.bytes, c.bytes.size());
    const auto parsed = codec::parseDatagram(copy.span());
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().rfind(c.expectedError, 0), 0u) << parsed.error();
  }
}

TEST(ClientCodecMalformed, TypedParserRefusesOtherDescriptor) {
  const auto parsed = codec::parseDiscoveryResponse(registrationConfirmExample());
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), "discovery response: descriptor 17, expected 2");
}

// Every proper prefix of a valid datagram breaks a length rule, so each must
// be refused; one byte more must be refused as left over. The exact-size
// copies make any read past the end an ASan error.
TEST(ClientCodecMalformed, EveryPrefixAndOneByteMoreRejected) {
  static const struct {
    const char* name;
    Bytes bytes;
  } kCases[] = {
      {"discovery response", discoveryResponseExample()},
      {"registration confirm", registrationConfirmExample()},
      {"component info", componentInfoExample()},
      {"level descriptions", levelDescriptionsExample()},
      {"log record", logRecordExample()},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(codec::parseDatagram(ExactCopy(c.bytes, c.bytes.size()).span()));
    for (std::size_t length = 0; length < c.bytes.size(); ++length) {
      SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
      const auto parsed = codec::parseDatagram(ExactCopy(c.bytes, length).span());
      ASSERT_FALSE(parsed);
      if (length >= wire::kFieldSize) {
        EXPECT_EQ(parsed.error().rfind(c.name, 0), 0u) << parsed.error();
      }
    }
    Bytes longer = c.bytes;
    longer.push_back('x');
    const auto parsed = codec::parseDatagram(ExactCopy(longer, longer.size()).span());
    ASSERT_FALSE(parsed);
    EXPECT_NE(parsed.error().find("left over"), std::string::npos) << parsed.error();
  }
}
