// tests/hardening/amplification_test.cpp
//
// How many bytes the target sends back for each byte of a request, with the
// example host's components and with the largest host strings that fit. A
// reflector's worth is exactly this ratio, so the test prints it (the figures
// in SECURITY.md come from here) and pins what bounds it: every reply fits
// one datagram, and only a new registration sends more than one.
#include <cstdio>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;

struct Exchange {
  std::size_t datagrams = 0;
  std::size_t bytes = 0;
};

class HardeningAmplification : public TargetTest {
 protected:
  // The example host: three components with five levels each.
  void exampleHost() {
    tarvin::setApplicationName("tarvin-example-host");
    const tarvin::LevelDescriptions levels = {
        {3, "error"}, {4, "warning"}, {5, "info"}, {7, "debug"}, {8, "trace"}};
    for (const char* name : {"net", "db", "ui"}) tarvin::defineComponent(name, 0x38, levels);
  }
  // Sends one request and sums what comes back within the window; every
  // datagram is checked against the 2048-byte limit on the way.
  Exchange exchange(const LoopbackClient& client, const Bytes& request) {
    client.send(target->port(), request);
    Exchange e;
    for (const Bytes& d : client.receiveAll(300ms)) {
      EXPECT_LE(d.size(), wire::kMaxDatagramSize);
      ++e.datagrams;
      e.bytes += d.size();
    }
    return e;
  }
  void report(const char* what, const Bytes& request, const Exchange& e) {
    std::printf("  %-44s request %4zu B  reply %5zu B in %zu datagram(s)  factor %6.1f\n", what,
                request.size(), e.bytes, e.datagrams,
                static_cast<double>(e.bytes) / static_cast<double>(request.size()));
  }
  std::unique_ptr<Target> target;
};

TEST_F(HardeningAmplification, EveryRequestIsAnsweredWithinItsBound) {
  exampleHost();
  target = std::make_unique<Target>();
  LoopbackClient client;
  std::printf("example host (3 components, 5 levels each):\n");

  const struct {
    const char* what;
    Bytes request;
    std::size_t datagrams;
  } kCases[] = {
      {"DRQ (anyone)", descriptorOnly(wire::kDiscoveryRequest), 1},
      {"RRQ, new client: confirm + component infos", descriptorOnly(wire::kRegistrationRequest), 4},
      {"RRQ, renewal", descriptorOnly(wire::kRegistrationRequest), 1},
      {"SLV (anyone)", setLevelRequest(1, 0xF0000000, "net"), 1},
      {"GLVD (anyone)", levelDescriptionsRequest(2, "net"), 1},
      {"URQ", descriptorOnly(wire::kUnregistrationRequest), 0},
      {"unknown descriptor", descriptorOnly(0x7f), 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const Exchange e = exchange(client, c.request);
    EXPECT_EQ(e.datagrams, c.datagrams);
    report(c.what, c.request, e);
  }
}

TEST_F(HardeningAmplification, LargestHostStringsStayWithinOneDatagramPerReply) {
  // The longest application name that is still sent, and level descriptions
  // that fill a reply to a one-character component name.
  tarvin::setApplicationName(std::string(wire::kMaxApplicationNameLength, 'a'));
  tarvin::LevelDescriptions levels;
  for (unsigned int n = 0; n < 8; ++n) levels.push_back({n, std::string(250, 'd')});
  tarvin::defineComponent("x", 1, levels);
  target = std::make_unique<Target>();
  LoopbackClient client;
  std::printf("largest host strings:\n");

  const Bytes drq = descriptorOnly(wire::kDiscoveryRequest);
  const Exchange discovery = exchange(client, drq);
  EXPECT_EQ(discovery.datagrams, 1u);
  EXPECT_EQ(discovery.bytes, wire::kMaxDatagramSize);
  report("DRQ, 2027-character application name", drq, discovery);

  const Bytes glvd = levelDescriptionsRequest(1, "x");
  const Exchange descriptions = exchange(client, glvd);
  EXPECT_EQ(descriptions.datagrams, 1u);
  report("GLVD, 8 descriptions of 250 characters", glvd, descriptions);
}

}  // namespace
