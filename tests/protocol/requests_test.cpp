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
namespace ldesc = wire::level_descriptions;

class Requests : public TargetTest {
 protected:
  void SetUp() override {
    TargetTest::SetUp();
    tarvin::setApplicationName("demo-app");
    tarvin::defineComponent("net", 0x000000A0, {{3, "error"}, {5, "info"}, {7, "debug"}});
    tarvin::defineComponent("db", 0x00000010, {});
    target = std::make_unique<Target>();
    uuid = uuidOf(*discover());
  }

  std::optional<Bytes> discover() {
    client.send(target->port(), descriptorOnly(wire::kDiscoveryRequest));
    return client.receive();
  }
  static Bytes uuidOf(const Bytes& datagram) {
    return Bytes(datagram.begin() + wire::kUuidOffset, datagram.begin() + wire::kHeaderSize);
  }
  Bytes header(std::uint32_t descriptor) const { return be32(descriptor) + uuid; }
  Bytes componentInfo(std::uint32_t requestId, std::uint32_t clientMask, const std::string& name) {
    return header(wire::kComponentInfo) + be32(requestId) + be32(clientMask) + bytesOf(name);
  }
  std::string portText() const { return std::to_string(client.port()); }

  LoopbackClient client;
  std::unique_ptr<Target> target;
  Bytes uuid;
};

TEST_F(Requests, DiscoveryIsAnsweredForAnySenderWithoutRegisteringIt) {
  const Bytes expected = header(wire::kDiscoveryResponse) + bytesOf("demo-app");
  EXPECT_EQ(discover(), expected);
  EXPECT_EQ(expected.size(), 29u);

  // Bytes after the descriptor change nothing.
  client.send(target->port(), descriptorOnly(wire::kDiscoveryRequest) + Bytes(100, 0xAB));
  EXPECT_EQ(client.receive(), expected);

  target->log(5, "nobody registered");
  EXPECT_TRUE(client.probe(target->port())) << "a record reached an unregistered sender";
}

TEST_F(Requests, NewRegistrationIsConfirmedThenEachComponentFollowsInHostOrder) {
  client.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_EQ(client.receive(), header(wire::kRegistrationConfirm) + bytesOf("demo-app"));
  // net: numeric 5 and 7 -> client 29 and 28; db: numeric 4 -> client 30.
  EXPECT_EQ(client.receive(), componentInfo(0xFFFFFFFF, 0x30000000, "net"));
  EXPECT_EQ(client.receive(), componentInfo(0xFFFFFFFF, 0x40000000, "db"));
  EXPECT_EQ(syslog_capture::count("New client: 127.0.0.1:" + portText()), 1);

  // A renewal is confirmed alone.
  client.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_EQ(client.receive(), header(wire::kRegistrationConfirm) + bytesOf("demo-app"));
  EXPECT_TRUE(client.probe(target->port()));
  EXPECT_EQ(syslog_capture::count("New client: 127.0.0.1:" + portText()), 1);

  // A host without components: the confirm alone.
  tarvin::clearComponents();
  LoopbackClient second;
  second.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_EQ(second.receive(), header(wire::kRegistrationConfirm) + bytesOf("demo-app"));
  EXPECT_TRUE(second.probe(target->port()));
}

TEST_F(Requests, SixthClientIsRefusedWithBothMessagesAndNoReply) {
  std::vector<std::unique_ptr<LoopbackClient>> five;
  for (int i = 0; i < 5; ++i) {
    five.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(five.back()->registerWith(target->port(), 2));
  }
  client.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_TRUE(client.probe(target->port())) << "the refused client got a reply";
  const std::string who = "127.0.0.1:" + portText();
  EXPECT_TRUE(syslog_capture::waitFor("Unable to add client: " + who));
  const auto messages = syslog_capture::entries();
  const auto added = std::find(messages.begin(), messages.end(),
                               syslog_capture::Entry{7, "New client: " + who});
  ASSERT_NE(added, messages.end());
  EXPECT_EQ(*(added + 1), (syslog_capture::Entry{7, "Unable to add client: " + who}));

  // One of the five still renews.
  five[2]->send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  const auto confirm = five[2]->receive();
  ASSERT_TRUE(confirm);
  EXPECT_EQ(be32At(*confirm, 0), wire::kRegistrationConfirm);
}

TEST_F(Requests, UnregistrationRemovesSilentlyAndIsIgnoredWhenUnknown) {
  ASSERT_TRUE(client.registerWith(target->port(), 2));
  client.send(target->port(), descriptorOnly(wire::kUnregistrationRequest));
  ASSERT_TRUE(client.probe(target->port()));  // the URQ has been handled
  EXPECT_EQ(syslog_capture::count("client 127.0.0.1:" + portText() + " unregistered."), 1);
  target->log(5, "after leaving");
  EXPECT_TRUE(client.probe(target->port())) << "a reply or record came after URQ";

  syslog_capture::clear();
  client.send(target->port(), descriptorOnly(wire::kUnregistrationRequest));
  EXPECT_TRUE(client.probe(target->port()));
  EXPECT_EQ(syslog_capture::entries().size(), 0u);
}

TEST_F(Requests, SetLevelIsAnsweredWithTheMaskTheHostKept) {
  // Client mask 0x10000000 is client level 28, numeric 7; numeric 0-2 ride along.
  client.send(target->port(), setLevelRequest(0x01020304, 0x10000000, "net"));
  EXPECT_EQ(client.receive(), componentInfo(0x01020304, 0x90000000, "net"));
  EXPECT_EQ(tarvin_get_component_level("net"), 0x00000087u);

  // A host that always keeps numeric level 5 on shows it in the reply.
  tarvin::setMaskPolicy([](const std::string&, unsigned int mask) { return mask | 0x20; });
  client.send(target->port(), setLevelRequest(7, 0x00000000, "net"));
  EXPECT_EQ(client.receive(), componentInfo(7, 0xA0000000, "net"));
}

TEST_F(Requests, LevelDescriptionsCarryClientLevelsCountAndTexts) {
  client.send(target->port(), levelDescriptionsRequest(42, "net"));
  const Bytes expected = header(wire::kLevelDescriptions) + be32(42) + be32(0x30000000) +
                         bytesOf("net") + be32(3) + be32(31) + be32(29) + be32(28) +
                         bytesOf("error") + bytesOf("info") + bytesOf("debug");
  EXPECT_EQ(client.receive(), expected);

  client.send(target->port(), levelDescriptionsRequest(43, "db"));
  const auto none = client.receive();
  ASSERT_TRUE(none);
  EXPECT_EQ(none->size(), wire::levelDescriptionsFixedSize(2));
  EXPECT_EQ(be32At(*none, ldesc::kNameOffset + 3), 0u);
}

TEST_F(Requests, ANameWithoutItsNulLosesItsLastCharacter) {
  tarvin::defineComponent("ne", 0x00000020, {{5, "info"}});
  Bytes request = levelDescriptionsRequest(9, "net");
  request.pop_back();  // "net" without its NUL: the target reads "ne"
  client.send(target->port(), request);
  const auto reply = client.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(stringAt(*reply, ldesc::kNameOffset), "ne");

  Bytes slv = setLevelRequest(10, 0x80000000, "net");
  slv.pop_back();
  client.send(target->port(), slv);
  EXPECT_EQ(client.receive(), componentInfo(10, 0x80000000, "ne"));
}

TEST_F(Requests, ShortOrOverlongRequestsAreDroppedWithoutReplyOrMessage) {
  const std::string name31(31, 'n');
  const std::string name32(32, 'n');
  tarvin::defineComponent(name31, 0, {});
  static const struct {
    const char* name;
    Bytes bytes;
  } kCases[] = {
      {"three bytes", {0x00, 0x00, 0x00}},
      {"SLV descriptor alone", descriptorOnly(wire::kSetLevelRequest)},
      {"SLV of 12 bytes", be32(wire::kSetLevelRequest) + be32(1) + be32(2)},
      {"GLVD descriptor alone", descriptorOnly(wire::kGetLevelDescriptionsRequest)},
      {"GLVD of 8 bytes", be32(wire::kGetLevelDescriptionsRequest) + be32(1)},
      {"SLV with a 32-character name", setLevelRequest(1, 0, name32)},
      {"GLVD with a 32-character name", levelDescriptionsRequest(1, name32)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    syslog_capture::clear();
    client.send(target->port(), c.bytes);
    EXPECT_TRUE(client.probe(target->port()));
    EXPECT_TRUE(syslog_capture::entries().empty());
  }
  EXPECT_EQ(tarvin_get_component_level(name31), 0u);

  // 31 characters still count, and the shortest GLVD asks for the empty name.
  client.send(target->port(), levelDescriptionsRequest(1, name31));
  const auto reply = client.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(stringAt(*reply, ldesc::kNameOffset), name31);
  client.send(target->port(), be32(wire::kGetLevelDescriptionsRequest) + be32(5) + Bytes{0});
  const auto empty = client.receive();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), wire::levelDescriptionsFixedSize(0));
}

TEST_F(Requests, UnknownDescriptorsAreLoggedSignedAndInHex) {
  static const struct {
    Bytes bytes;
    const char* message;
  } kCases[] = {
      {descriptorOnly(wire::kDiscoveryResponse), "ignoring function-descriptor 2 (0x2)"},
      {descriptorOnly(wire::kLogRecord) + Bytes(60, 0), "ignoring function-descriptor 48 (0x30)"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, "ignoring function-descriptor -1 (0xffffffff)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    client.send(target->port(), c.bytes);
    EXPECT_TRUE(client.probe(target->port()));
    EXPECT_EQ(syslog_capture::entries().back(), (syslog_capture::Entry{7, c.message}));
  }
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
  const auto last = syslog_capture::entries().back();
  EXPECT_EQ(last.priority, 3);
  EXPECT_EQ(last.text, "Not sending discovery response to 127.0.0.1:" + portText() +
                           " - the application name of 2028 characters does not fit in one datagram");
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
  tarvin::defineComponent("big", 0, {{3, std::string(1000, 'a')},
                                     {4, std::string(1200, 'b')},  // no room after the first
                                     {5, std::string(900, 'c')},
                                     {6, "d"}});
  client.send(target->port(), levelDescriptionsRequest(1, "big"));
  const auto reply = client.receive();
  ASSERT_TRUE(reply);
  const std::size_t count_at = ldesc::kNameOffset + 4;
  EXPECT_EQ(be32At(*reply, count_at), 3u);
  EXPECT_EQ(be32At(*reply, count_at + 4), 31u);
  EXPECT_EQ(be32At(*reply, count_at + 8), 29u);
  EXPECT_EQ(be32At(*reply, count_at + 12), 29u);
  EXPECT_EQ(stringAt(*reply, count_at + 16), std::string(1000, 'a'));
  EXPECT_EQ(stringAt(*reply, count_at + 16 + 1001), std::string(900, 'c'));
  EXPECT_EQ(stringAt(*reply, count_at + 16 + 1001 + 901), "d");
  EXPECT_EQ(reply->size(), count_at + 16 + 1001 + 901 + 2);
  EXPECT_EQ(syslog_capture::entries().back(),
            (syslog_capture::Entry{3, "Cutting level descriptions of component big for 127.0.0.1:" +
                                          portText() +
                                          " to 3 of 4 - the others do not fit in one datagram"}));
}

}  // namespace
