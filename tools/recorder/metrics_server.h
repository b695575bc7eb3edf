// tools/recorder/metrics_server.h
//
// `--metrics ADDR:PORT`: serves GET /metrics, Prometheus' text format, from
// what the command last published. The command builds the text on its own
// thread once a second (metrics_text.h), so a scrape reads a finished page
// and never touches the follower's state.
//
// Threads: publish() from the command's thread; the HTTP server answers on
// threads of its own, which the destructor stops.
#pragma once

#include <memory>
#include <string>

namespace remote {

class MetricsServer {
 public:
  // Listens at once; throws ToolError (usage) for an address that is no
  // ADDR:PORT, and (exit 1) when it cannot listen there.
  explicit MetricsServer(const std::string& listen);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  void publish(std::string text);

 private:
  struct State;
  std::unique_ptr<State> state;
};

}  // namespace remote
