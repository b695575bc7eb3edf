// tools/web/web_server.h
//
// The web console's HTTP side, on cpp-httplib: the embedded page, the JSON
// API over the record store and the board, the event stream, level control,
// and the rules that guard them:
//   - a token, when one is in force, on every API call and on the stream
//     (Authorization: Bearer T, or ?token=T where a browser cannot set a
//     header: the event stream);
//   - state-changing calls also need an Origin equal to the page's own and a
//     JSON body, so neither a plain link nor a cross-site form changes a
//     level;
//   - on loopback, a Host that names loopback, for the page as well as the
//     API, so a page of another site cannot reach the console through a
//     name it points at 127.0.0.1;
//   - every response carries a Content-Security-Policy that lets the page
//     load only its own files and connect only to its own server.
//
// Threads: start() and stop() on the main thread; cpp-httplib's pool runs
// every handler. Each handler thread reads the store through a connection
// of its own (WAL: readers never block the writer).
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "web/access_tokens.h"
#include "web/level_control.h"
#include "web/web_board.h"

namespace web {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8070;      // 0: any free port
  std::string token;    // empty: none in force
  AccessTokens tokens;  // named tokens with roles (--tokens); when any, they replace `token`
  std::string dbPath;
  bool viewer = false;  // the store is written by another process; no target is followed
};

// True for localhost and for an address of this machine's loopback
// (127.0.0.0/8, ::1 with or without brackets): what the console may listen
// on without a token, and the only Host a loopback console serves.
bool isLoopbackName(const std::string& name);

class WebServer {
 public:
  WebServer(const ServerOptions& options, WebBoard& board, LevelControl& levels);
  ~WebServer();

  // Binds; throws remote::ToolError when the address cannot be bound.
  // Returns the port bound.
  int start();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
  std::thread serving;
};

}  // namespace web
