// tools/syslog/syslog_sink.cpp
//
// Collector URLs, and the sink each one picks.
//
// Threads: single-threaded; see syslog_sink.h.
#include "syslog/syslog_sink.h"

#include "base/tool_error.h"
#include "syslog/tcp_syslog_sink.h"
#include "syslog/udp_syslog_sink.h"

namespace remote {
namespace {

constexpr std::uint16_t kDefaultSyslogPort = 514;

}  // namespace

CollectorUrl parseCollectorUrl(const std::string& url) {
  CollectorUrl out;
  out.text = url;
  const std::size_t scheme = url.find("://");
  const std::string name = scheme == std::string::npos ? "" : url.substr(0, scheme);
  if (name == "udp") {
    out.transport = CollectorUrl::Transport::kUdp;
  } else if (name == "tcp") {
    out.transport = CollectorUrl::Transport::kTcp;
  } else {
    throw ToolError{ErrorKind::kBadInput,
                    "--to: '" + url + "' is not udp://HOST[:PORT] or tcp://HOST[:PORT]"};
  }
  const TargetAddress address = parseTargetAddress(url.substr(scheme + 3));
  out.endpoint = resolve(address.host, address.port.value_or(kDefaultSyslogPort));
  return out;
}

std::unique_ptr<SyslogSink> openSyslogSink(const CollectorUrl& url, std::size_t queueCapacity,
                                           std::size_t resendWindow) {
  if (url.transport == CollectorUrl::Transport::kUdp) return std::make_unique<UdpSyslogSink>(url);
  return std::make_unique<TcpSyslogSink>(url, queueCapacity, resendWindow);
}

}  // namespace remote
