// tools/recorder/metrics_server.cpp
//
// The /metrics endpoint; see metrics_server.h.
//
// Threads: see metrics_server.h. The page is guarded by the state's mutex.
#include "recorder/metrics_server.h"

#include <httplib.h>

#include <thread>

#include "base/tool_error.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace remote {

struct MetricsServer::State {
  httplib::Server server;
  Mutex mutex;
  std::string page GUARDED_BY(mutex);
  std::thread thread;
};

MetricsServer::MetricsServer(const std::string& listen) : state(std::make_unique<State>()) {
  const auto colon = listen.rfind(':');
  int port = 0;
  try {
    port = colon == std::string::npos ? 0 : std::stoi(listen.substr(colon + 1));
  } catch (const std::exception&) {
  }
  if (colon == std::string::npos || colon == 0 || port <= 0 || port > 65535)
    throw ToolError{ErrorKind::kBadInput,
                    "--metrics: '" + listen + "' is no ADDR:PORT (such as 127.0.0.1:9464)"};
  const std::string host = listen.substr(0, colon);
  // SO_REUSEADDR without cpp-httplib's SO_REUSEPORT, which would let a
  // second recorder bind the same port and take half the scrapes.
  state->server.set_socket_options([](int socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  state->server.new_task_queue = [] { return new httplib::ThreadPool(1); };
  state->server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    MutexLock lock(state->mutex);
    response.set_content(state->page, "text/plain; version=0.0.4; charset=utf-8");
  });
  if (!state->server.bind_to_port(host, port)) {
    throw ToolError{ErrorKind::kLocal, "--metrics: cannot listen on " + listen +
                                           " (address in use, or not an address of this machine)"};
  }
  state->thread = std::thread([this] { state->server.listen_after_bind(); });
}

MetricsServer::~MetricsServer() {
  state->server.stop();
  if (state->thread.joinable()) state->thread.join();
}

void MetricsServer::publish(std::string text) {
  MutexLock lock(state->mutex);
  state->page = std::move(text);
}

}  // namespace remote
