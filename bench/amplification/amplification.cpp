// bench/amplification/amplification.cpp
//
// tarvin_amplification: how many bytes a target sends back for each byte of
// a request, which is what a forged request is worth to a reflector. One
// request at a time to a real target on loopback, every reply datagram that
// arrives within 300 ms summed; first with the example host's strings, then
// with the largest host strings that still fit one datagram. SECURITY.md
// quotes its output. Run it in a network namespace of its own:
//   common/in_netns.sh build/bench/bench/amplification/tarvin_amplification
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "loopback.h"
#include "tarvin/framework.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace {

using namespace std::chrono_literals;

std::string request(std::vector<std::uint32_t> words, const std::string& name = "") {
  std::string out;
  for (std::uint32_t w : words) {
    char field[4];
    wire::storeBe32(field, w);
    out.append(field, 4);
  }
  if (!name.empty()) out.append(name.c_str(), name.size() + 1);
  return out;
}

// Sends one request from `client` and prints what comes back within the window.
void measure(const UniqueFd& client, const sockaddr_in& target, const char* what,
             const std::string& req) {
  bench::sendDatagram(client.get(), req.data(), req.size(), target);
  std::size_t datagrams = 0, bytes = 0;
  char buffer[65536];
  while (const auto n = receiveWithin(client.get(), buffer, sizeof buffer, 300ms)) {
    ++datagrams;
    bytes += *n;
  }
  std::printf("  %-44s request %4zu B  reply %5zu B in %zu datagram(s)  factor %6.1f\n", what,
              req.size(), bytes, datagrams,
              static_cast<double>(bytes) / static_cast<double>(req.size()));
}

}  // namespace

int main() {
  tarvin::setApplicationName("tarvin-example-host");
  const tarvin::LevelDescriptions levels = {
      {3, "error"}, {4, "warning"}, {5, "info"}, {7, "debug"}, {8, "trace"}};
  for (const char* name : {"net", "db", "ui"}) tarvin::defineComponent(name, 0x38, levels);
  std::string error;
  const std::unique_ptr<tarvin::Plugin> plugin = tarvin::Plugin::load(TARVIN_PLUGIN_PATH, error);
  ILogTarget* target = plugin ? plugin->createTarget() : nullptr;
  UniqueFd client = bench::openClientSocket();
  if (target == nullptr || !client) {
    std::fprintf(stderr, "tarvin_amplification: error: no target or client socket %s\n",
                 error.c_str());
    return 1;
  }
  // The target took the first free port; in a fresh namespace, the first.
  const sockaddr_in to = loopbackAddress(wire::kFirstPort);

  std::printf("example host (3 components, 5 levels each):\n");
  measure(client, to, "DRQ (anyone)", request({wire::kDiscoveryRequest}));
  measure(client, to, "RRQ, new client: confirm + component infos",
          request({wire::kRegistrationRequest}));
  measure(client, to, "RRQ, renewal", request({wire::kRegistrationRequest}));
  measure(client, to, "SLV (anyone)", request({wire::kSetLevelRequest, 1, 0xF0000000}, "net"));
  measure(client, to, "GLVD (anyone)", request({wire::kGetLevelDescriptionsRequest, 2}, "net"));
  measure(client, to, "URQ", request({wire::kUnregistrationRequest}));
  measure(client, to, "unknown descriptor", request({0x7f}));

  // The longest application name still sent, and level descriptions that
  // fill most of a reply to a one-character component name.
  tarvin::setApplicationName(std::string(wire::kMaxApplicationNameLength, 'a'));
  tarvin::LevelDescriptions large;
  for (unsigned int n = 0; n < 8; ++n) large.push_back({n, std::string(250, 'd')});
  tarvin::defineComponent("x", 1, large);
  std::printf("largest host strings:\n");
  measure(client, to, "DRQ, 2027-character application name", request({wire::kDiscoveryRequest}));
  measure(client, to, "GLVD, 8 descriptions of 250 characters",
          request({wire::kGetLevelDescriptionsRequest, 1}, "x"));
  plugin->releaseTarget(target);
  return 0;
}
