// tests/protocol/requests_test.cpp
//
// A live target answering a client over real UDP on loopback: every reply
// byte for byte, the registration sequence, the requests that must be
// dropped without a word, and host strings too long for one datagram.
#include <algorithm>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;
namespace cinfo = wire::component_info;
using Entry = syslog_capture::Entry;
using Levels = std::vector<std::pair<std::uint32_t, std::string>>;

class Requests : public TargetTest {
 protected:
  void SetUp() override {
    TargetTest::SetUp();
    tarvin::setApplicationName("demo-app");
    tarvin::defineComponent("net", 0x000000A0, {{3, "error"}, {5, "info"}, {7, "debug"}});
    tarvin::defineComponent("db", 0x00000010, {});
    target = std::make_unique<Target>();
    uuid = uuidOf(*discover());
    syslog_capture::clear();  // the target's start
  }

  std::optional<Bytes> discover() {
    client.send(target->port(), descriptorOnly(wire::kDiscoveryRequest));
    return client.receive();
  }
  static Bytes uuidOf(const Bytes& datagram) {
    return Bytes(datagram.begin() + wire::kUuidOffset, datagram.begin() + wire::kHeaderSize);
  }
  Bytes header(std::uint32_t descriptor) const { return be32(descriptor) + uuid; }
  Bytes appInfo(std::uint32_t descriptor) const { return header(descriptor) + bytesOf("demo-app"); }
  Bytes componentInfo(std::uint32_t requestId, std::uint32_t clientMask, const std::string& name) {
    return header(wire::kComponentInfo) + be32(requestId) + be32(clientMask) + bytesOf(name);
  }
  Bytes descriptions(std::uint32_t requestId, std::uint32_t clientMask, const std::string& name,
                     const Levels& levels) {
    Bytes reply = header(wire::kLevelDescriptions) + be32(requestId) + be32(clientMask) +
                  bytesOf(name) + be32(static_cast<std::uint32_t>(levels.size()));
    for (const auto& level : levels) reply = reply + be32(level.first);
    for (const auto& level : levels) reply = reply + bytesOf(level.second);
    return reply;
  }

  LoopbackClient client;
  std::unique_ptr<Target> target;
  Bytes uuid;
};

Bytes withoutNul(Bytes request) {
  request.pop_back();
  return request;
}

// In order: the set-level requests change the masks the later rows read.
TEST_F(Requests, EachRequestIsAnsweredByteForByte) {
  const std::string name31(31, 'n');
  tarvin::defineComponent(name31, 0, {});
  tarvin::defineComponent("ne", 0x00000020, {{5, "info"}});
  const std::uint32_t kGlvd = wire::kGetLevelDescriptionsRequest;
  const struct {
    const char* name;
    Bytes request, reply;
  } kCases[] = {
      {"discovery", descriptorOnly(wire::kDiscoveryRequest), appInfo(wire::kDiscoveryResponse)},
      {"discovery with bytes after the descriptor",
       descriptorOnly(wire::kDiscoveryRequest) + Bytes(100, 0xAB),
       appInfo(wire::kDiscoveryResponse)},
      // Client levels of numeric 3, 5 and 7; the mask's 5 and 7 are 29 and 28.
      {"level descriptions", levelDescriptionsRequest(42, "net"),
       descriptions(42, 0x30000000, "net", {{31, "error"}, {29, "info"}, {28, "debug"}})},
      {"no level descriptions", levelDescriptionsRequest(43, "db"),
       descriptions(43, 0x40000000, "db", {})},
      {"a name of 31 characters", levelDescriptionsRequest(1, name31),
       descriptions(1, 0, name31, {})},
      {"the shortest request asks for the empty name", be32(kGlvd) + be32(5) + Bytes{0},
       descriptions(5, 0, "", {})},
      {"a name without its NUL loses its last character",
       withoutNul(levelDescriptionsRequest(9, "net")),
       descriptions(9, 0x20000000, "ne", {{29, "info"}})},
      {"set level without the NUL", withoutNul(setLevelRequest(10, 0x80000000, "net")),
       componentInfo(10, 0x80000000, "ne")},
      // Client level 28 is numeric 7; numeric 0-2 ride along.
      {"set level", setLevelRequest(0x01020304, 0x10000000, "net"),
       componentInfo(0x01020304, 0x90000000, "net")},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    client.send(target->port(), c.request);
    EXPECT_EQ(client.receive(), c.reply);
  }
  EXPECT_EQ(tarvin_get_component_level("net"), 0x00000087u);
  EXPECT_TRUE(syslog_capture::entries().empty());

  // A host that always keeps numeric level 5 on shows it in the reply.
  tarvin::setMaskPolicy([](const std::string&, unsigned int mask) { return mask | 0x20; });
  client.send(target->port(), setLevelRequest(7, 0x00000000, "net"));
  EXPECT_EQ(client.receive(), componentInfo(7, 0xA0000000, "net"));

  target->log(5, "nobody registered");
  EXPECT_TRUE(client.probe(target->port())) << "a record reached an unregistered sender";
}

TEST_F(Requests, NewRegistrationIsConfirmedThenEachComponentFollowsInHostOrder) {
  client.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_EQ(client.receive(), appInfo(wire::kRegistrationConfirm));
  // net: numeric 5 and 7 -> client 29 and 28; db: numeric 4 -> client 30.
  EXPECT_EQ(client.receive(), componentInfo(0xFFFFFFFF, 0x30000000, "net"));
  EXPECT_EQ(client.receive(), componentInfo(0xFFFFFFFF, 0x40000000, "db"));

  // A renewal is confirmed alone.
  client.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_EQ(client.receive(), appInfo(wire::kRegistrationConfirm));
  EXPECT_TRUE(client.probe(target->port()));
  EXPECT_EQ(syslog_capture::entries(),
            (std::vector<Entry>{{7, "New client: " + client.address()}}));

  // A host without components: the confirm alone.
  tarvin::clearComponents();
  LoopbackClient second;
  second.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_EQ(second.receive(), appInfo(wire::kRegistrationConfirm));
  EXPECT_TRUE(second.probe(target->port()));
}

TEST_F(Requests, SixthClientIsRefusedWithBothMessagesAndNoReply) {
  std::vector<std::unique_ptr<LoopbackClient>> five;
  for (int i = 0; i < 5; ++i) {
    five.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(five.back()->registerWith(target->port(), 2));
  }
  syslog_capture::clear();
  client.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_TRUE(client.probe(target->port())) << "the refused client got a reply";
  EXPECT_EQ(syslog_capture::entries(),
            (std::vector<Entry>{{7, "New client: " + client.address()},
                                {7, "Unable to add client: " + client.address()}}));

  // One of the five still renews.
  five[2]->send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  const auto confirm = five[2]->receive();
  ASSERT_TRUE(confirm);
  EXPECT_EQ(be32At(*confirm, 0), wire::kRegistrationConfirm);
}

TEST_F(Requests, UnregistrationRemovesSilentlyAndIsIgnoredWhenUnknown) {
  ASSERT_TRUE(client.registerWith(target->port(), 2));
  syslog_capture::clear();
  for (int twice = 0; twice < 2; ++twice) {
    client.send(target->port(), descriptorOnly(wire::kUnregistrationRequest));
    ASSERT_TRUE(client.probe(target->port()));  // the URQ has been handled
  }
  EXPECT_EQ(syslog_capture::entries(),
            (std::vector<Entry>{{7, "client " + client.address() + " unregistered."}}));
  target->log(5, "after leaving");
  EXPECT_TRUE(client.probe(target->port())) << "a reply or record came after URQ";
}

// Each is dropped without a reply; unknown descriptors are logged, signed
// and in hex, and nothing else is.
TEST_F(Requests, MalformedOrUnknownRequestsAreDroppedWithoutReply) {
  const std::string name32(32, 'n');
  tarvin::defineComponent(name32.substr(1), 0, {});
  static const struct {
    const char* name;
    Bytes bytes;
    const char* message;
  } kCases[] = {
      {"three bytes", {0x00, 0x00, 0x00}, nullptr},
      {"SLV descriptor alone", descriptorOnly(wire::kSetLevelRequest), nullptr},
      {"SLV of 12 bytes", be32(wire::kSetLevelRequest) + be32(1) + be32(2), nullptr},
      {"GLVD descriptor alone", descriptorOnly(wire::kGetLevelDescriptionsRequest), nullptr},
      {"GLVD of 8 bytes", be32(wire::kGetLevelDescriptionsRequest) + be32(1), nullptr},
      {"SLV with a 32-character name", setLevelRequest(1, 0, name32), nullptr},
      {"GLVD with a 32-character name", levelDescriptionsRequest(1, name32), nullptr},
      {"a reply's descriptor", descriptorOnly(wire::kDiscoveryResponse),
       "ignoring function-descriptor 2 (0x2)"},
      {"a log record", descriptorOnly(wire::kLogRecord) + Bytes(60, 0),
       "ignoring function-descriptor 48 (0x30)"},
      {"all ones", {0xFF, 0xFF, 0xFF, 0xFF}, "ignoring function-descriptor -1 (0xffffffff)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    syslog_capture::clear();
    client.send(target->port(), c.bytes);
    EXPECT_TRUE(client.probe(target->port()));
    const std::vector<Entry> none, logged{{7, c.message ? c.message : ""}};
    EXPECT_EQ(syslog_capture::entries(), c.message ? logged : none);
  }
  EXPECT_EQ(tarvin_get_component_level(name32.substr(1)), 0u) << "a cut name was set";
}

// Host strings longer than one datagram: refused or cut as documented in
// replies.cpp, never overrunning the buffer, always reported.
TEST_F(Requests, DiscoveryWithAnOversizedApplicationNameIsRefusedAndReported) {
  tarvin::setApplicationName(std::string(wire::kMaxApplicationNameLength, 'a'));
  const auto fits = discover();
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->size(), wire::kMaxDatagramSize);

  tarvin::setApplicationName(std::string(wire::kMaxApplicationNameLength + 1, 'a'));
  client.send(target->port(), descriptorOnly(wire::kDiscoveryRequest));
  EXPECT_FALSE(client.receive(300ms));
  EXPECT_EQ(syslog_capture::entries().back(),
            (Entry{3, "Not sending discovery response to " + client.address() +
                          " - the application name of 2028 characters does not fit in one "
                          "datagram"}));
}

TEST_F(Requests, OversizedComponentNamesAreSkippedAndTheRestStillSent) {
  tarvin::defineComponent(std::string(wire::kMaxComponentNameLength + 1, 'c'), 1, {});
  tarvin::defineComponent("ui", 1, {});
  ASSERT_TRUE(client.registerWith(target->port(), 2));  // confirm, net, db
  const auto ui = client.receive();
  ASSERT_TRUE(ui);
  EXPECT_EQ(stringAt(*ui, cinfo::kNameOffset), "ui");
  EXPECT_EQ(syslog_capture::entries().back().priority, 3);
}

TEST_F(Requests, LevelDescriptionsThatDoNotFitKeepWhatFitsWithTheCountAdjusted) {
  // Fixed part 33 + 3 ("big"); each description costs 4 + text + 1.
  const std::string a(1000, 'a'), b(1200, 'b'), c(900, 'c');
  tarvin::defineComponent("big", 0, {{3, a}, {4, b}, {5, c}, {6, "d"}});  // no room for b
  client.send(target->port(), levelDescriptionsRequest(1, "big"));
  EXPECT_EQ(client.receive(), descriptions(1, 0, "big", {{31, a}, {29, c}, {29, "d"}}));
  EXPECT_EQ(syslog_capture::entries().back(),
            (Entry{3, "Cutting level descriptions of component big for " + client.address() +
                          " to 3 of 4 - the others do not fit in one datagram"}));
}

}  // namespace
