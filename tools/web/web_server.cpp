// tools/web/web_server.cpp
//
// Routes, security checks and the event stream of the web console.
//
// Threads: handlers run on cpp-httplib's pool threads; each opens its own
// read connection to the store on first use (thread_local) and keeps it.
// The board and the level control lock for themselves.
#include "web/web_server.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/tool_error.h"
#include "model/levels.h"
#include "model/time_options.h"
#include "output/level_output.h"
#include "store/store.h"
#include "web/page_files.h"
#include "web/web_api.h"

namespace web {
namespace {

// The HTTP status of each kind of failure: the one place the API says them.
int httpStatus(remote::ErrorKind kind) {
  using K = remote::ErrorKind;
  switch (kind) {
    case K::kBadInput:
    case K::kBadRegex:
    case K::kBadMatch:
      return 400;
    case K::kNotFound:
      return 404;
    case K::kNoAnswer:
      return 502;  // the target, behind the console, did not answer
    case K::kInterrupted:
      return 503;  // the console is stopping
    case K::kDataLost:
    case K::kLocal:
      break;
  }
  return 500;
}

// Every event stream holds a pool thread for as long as it is open, and a
// connection the pool has no thread for waits unanswered. So streams are
// capped below the pool's size: a console opened once too often is told so
// at once, and the pages already open can still load records and levels.
constexpr std::size_t kThreads = 64;
constexpr int kMaxStreams = 48;
// A stream with nothing to send writes a comment this often: the server
// only learns that a page went away when a write to it fails, and until
// then its stream holds a thread and a place under kMaxStreams.
constexpr std::chrono::seconds kKeepAlive{5};
constexpr std::size_t kStreamChunk = 64 * 1024;  // bytes per write to the socket

const char* const kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

thread_local std::unique_ptr<store::Store> tReader;

store::Store& reader(const std::string& path) {
  if (!tReader) tReader = store::openStore(path, store::Access::kRead);
  return *tReader;
}

void sendJson(httplib::Response& res, const nlohmann::json& body, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(dump(body), "application/json; charset=utf-8");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
  sendJson(res, {{"error", message}}, status);
}

// The token a request carries: its Authorization bearer, or ?token=.
std::string givenToken(const httplib::Request& req) {
  const std::string authorization = req.get_header_value("Authorization");
  if (authorization.starts_with("Bearer ")) return authorization.substr(7);
  return req.get_param_value("token");
}

}  // namespace

bool isLoopbackName(const std::string& name) {
  // An address, never a name that merely starts like one: 127.x.example is
  // a name under x.example, which whoever owns it can point anywhere.
  in_addr v4{};
  if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return name == "localhost" || name == "[::1]" || name == "::1";
}

struct WebServer::Impl {
  Impl(const ServerOptions& options, WebBoard& board, LevelControl& levels)
      : options(options), board(board), levels(levels) {}

  httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res);
  void routes();
  void onRecords(const httplib::Request& req, httplib::Response& res);
  void onStream(const httplib::Request& req, httplib::Response& res);
  nlohmann::json targetsJson();  // the targets' states, as /api/targets and the stream send them
  void onComponents(const httplib::Request& req, httplib::Response& res);
  void onLevels(const httplib::Request& req, httplib::Response& res);
  void onTime(const httplib::Request& req, httplib::Response& res);
  nlohmann::json componentJson(const TargetState& target, const std::string& name);

  const ServerOptions options;
  WebBoard& board;
  LevelControl& levels;
  httplib::Server server;
  int listeningSocket = -1;  // the last socket the server made: after a bind, the one it listens on
  int port = 0;
  std::atomic<int> openStreams{0};
};

httplib::Server::HandlerResponse WebServer::Impl::guard(const httplib::Request& req,
                                                        httplib::Response& res) {
  using R = httplib::Server::HandlerResponse;
  const std::string host = req.get_header_value("Host");
  if (isLoopbackName(options.host)) {
    // A rebound name reaches a loopback server with that name as Host. The
    // page is refused as well as the API: under a foreign name it would run
    // in that name's origin, where the other site's scripts can drive it.
    const std::size_t colon = host.rfind(':');
    const bool hasPort = colon != std::string::npos && host.find(']', colon) == std::string::npos;
    if (!isLoopbackName(hasPort ? host.substr(0, colon) : host)) {
      sendError(res, 403, "Host must name this machine's loopback address");
      return R::Handled;
    }
  }
  if (!req.path.starts_with("/api/")) return R::Unhandled;
  if (!options.tokens.tokens.empty()) {
    if (findToken(options.tokens, givenToken(req)) == nullptr) {
      res.set_header("WWW-Authenticate", "Bearer");
      sendError(res, 401, "a valid token is required (one of the console's --tokens file)");
      return R::Handled;
    }
  } else if (!options.token.empty()) {
    if (!equalInConstantTime(givenToken(req), options.token)) {
      res.set_header("WWW-Authenticate", "Bearer");
      sendError(res, 401, "a valid token is required (the one printed at start)");
      return R::Handled;
    }
  }
  if (req.method != "GET" && req.method != "HEAD") {
    // Browsers send Origin with every cross-origin or non-GET fetch; a
    // form or a link from elsewhere carries another origin, or none. The
    // page's own origin is https:// behind a TLS proxy that passes Host on.
    const std::string origin = req.get_header_value("Origin");
    if ((origin != "http://" + host && origin != "https://" + host) ||
        (req.has_header("Sec-Fetch-Site") &&
         req.get_header_value("Sec-Fetch-Site") != "same-origin")) {
      sendError(res, 403, "changes are accepted from the console's own page only");
      return R::Handled;
    }
    const std::string type = req.get_header_value("Content-Type");
    if (!type.starts_with("application/json")) {
      sendError(res, 415, "the body must be JSON (Content-Type: application/json)");
      return R::Handled;
    }
  }
  return R::Unhandled;
}

void WebServer::Impl::onRecords(const httplib::Request& req, httplib::Response& res) {
  store::Store& store = reader(options.dbPath);
  store::Filter filter = readFilter(req.params, store);
  filter.limit = std::min<std::int64_t>(filter.limit == 0 ? 100'000 : filter.limit, 100'000);
  // Entries are written as JSON text one after another (record_json.h),
  // not built as a document: up to 100,000 of them.
  std::string records;
  remote::JsonTime time;
  const std::int64_t high = store.query(filter)->run([&](const store::Row& row) {
    records.push_back(records.empty() ? '[' : ',');
    appendEntryJson(records, time, row.entry);
    return true;
  });
  if (records.empty()) records.push_back('[');
  res.status = 200;
  res.set_header("Cache-Control", "no-store");
  res.set_content("{\"last_id\":" + std::to_string(high) + ",\"records\":" + records + "]}",
                  "application/json; charset=utf-8");
}

namespace {

// Where a stream starts: right after the entry a reconnecting browser saw
// last (Last-Event-ID, or ?last_id=N), else with what comes after `next`.
store::Filter streamFilter(const httplib::Request& req, store::Store& store, std::int64_t next) {
  store::Filter filter = readFilter(req.params, store);
  filter.limit = 0;  // run() reports the newest id: a limit would skip the rest
  filter.reverse = false;
  std::string resume = req.get_header_value("Last-Event-ID");
  if (resume.empty()) resume = req.get_param_value("last_id");
  if (!resume.empty()) {
    httplib::Params p{{"after", resume}};
    next = readFilter(p, store).afterId;
  }
  filter.afterId = next;
  return filter;
}

// Appends the entries that came since the query's last run to `out` as
// events, writing out every kStreamChunk bytes. False once the client has
// gone; throws StoreError as the query does.
bool appendEntryEvents(store::Query& query, remote::JsonTime& time, std::string& out,
                       httplib::DataSink& sink) {
  bool ok = true;
  const std::int64_t high = query.run([&](const store::Row& row) {
    const bool gap = std::holds_alternative<store::StoredGap>(row.entry);
    out += "id: " + std::to_string(row.id()) + "\nevent: " + (gap ? "gap" : "record") + "\ndata: ";
    appendEntryJson(out, time, row.entry);
    out += "\n\n";
    if (out.size() >= kStreamChunk) {
      ok = sink.write(out.data(), out.size());
      out.clear();
    }
    return ok;
  });
  query.resumeAfter(high);
  return ok;
}

// Where a stream stands in the audit trail, whose rows it sends as
// "audit" events: the rows at or after `audit_since` first (the page's
// history reaches back that far), then each new one.
struct AuditCursor {
  std::int64_t afterId = 0;
  std::optional<std::int64_t> sinceNs;
  std::chrono::steady_clock::time_point nextLook;
};

// Rows are few (a person or a policy changes levels); a store that holds
// more since `audit_since` than this sends the newest.
constexpr std::int64_t kMaxAuditRows = 10'000;

AuditCursor auditCursor(const httplib::Request& req, store::Store& store) {
  AuditCursor cursor;
  cursor.sinceNs = timeParam(req.params, "audit_since");
  if (!cursor.sinceNs) {
    store::AuditFilter newest;
    newest.limit = 1;
    const std::vector<store::AuditRow> rows = store.audit(newest);
    if (!rows.empty()) cursor.afterId = rows.back().id;
  }
  return cursor;
}

// The audit rows written since the cursor's last look, as events. Carry no
// id: a reconnecting browser's Last-Event-ID stays the last record's.
void appendAuditEvents(store::Store& store, AuditCursor& cursor, std::string& out) {
  store::AuditFilter filter;
  filter.afterId = cursor.afterId;
  filter.sinceNs = cursor.sinceNs;
  filter.limit = kMaxAuditRows;
  for (const store::AuditRow& row : store.audit(filter)) {
    out += "event: audit\ndata: " + dump(auditJson(row)) + "\n\n";
    cursor.afterId = row.id;
  }
  cursor.nextLook = std::chrono::steady_clock::now() + kKeepAlive;
}

}  // namespace

// Server-Sent Events: each record and gap with the store's id as event id,
// so a browser that reconnects with Last-Event-ID resumes right after the
// last one it saw; the targets' states as "targets" events when they move;
// the audit trail's rows as "audit" events, at once for the changes this
// console makes, within kKeepAlive for those of other tools (set-level,
// enforce, a policy) writing the same store.
void WebServer::Impl::onStream(const httplib::Request& req, httplib::Response& res) {
  if (openStreams.fetch_add(1) >= kMaxStreams) {
    openStreams.fetch_sub(1);
    return sendError(res, 503,
                     "too many open event streams (" + std::to_string(kMaxStreams) +
                         "): close a console tab, then reload");
  }
  // Given back when the response ends, whether it was sent or not.
  std::shared_ptr<void> slot(nullptr, [this](void*) { openStreams.fetch_sub(1); });
  store::Store& store = reader(options.dbPath);
  std::shared_ptr<store::Query> query = store.query(streamFilter(req, store, board.mark().lastId));
  auto audit = std::make_shared<AuditCursor>(auditCursor(req, store));
  auto seen = std::make_shared<WebBoard::Mark>();
  auto time = std::make_shared<remote::JsonTime>();
  seen->targetsVersion = -1;  // send the targets at once
  seen->lastId = -1;          // and look for records at once
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, query, audit, seen, time, slot](std::size_t offset, httplib::DataSink& sink) {
        std::string out;
        if (offset == 0) out = "retry: 1000\n\n";
        // Up to the next look at the audit trail, which other tools write
        // without telling the board.
        const auto now = board.waitForChange(
            *seen, std::min(std::chrono::steady_clock::now() + kKeepAlive, audit->nextLook));
        if (now.stopping) {
          sink.done();
          return true;
        }
        if (now.targetsVersion != seen->targetsVersion)
          out += "event: targets\ndata: " + dump(targetsJson()) + "\n\n";
        bool ok = true;
        try {
          if (offset == 0 || now.auditVersion != seen->auditVersion ||
              std::chrono::steady_clock::now() >= audit->nextLook)
            appendAuditEvents(reader(options.dbPath), *audit, out);
          if (now.lastId != seen->lastId) ok = appendEntryEvents(*query, *time, out, sink);
        } catch (const store::StoreError& error) {
          // A full-text query SQLite cannot parse fails on its first run:
          // said on the stream, which then ends.
          out += "event: failure\ndata: " + dump({{"error", error.what()}}) + "\n\n";
          sink.write(out.data(), out.size());
          sink.done();
          return true;
        }
        if (out.empty()) out = ": keep-alive\n\n";
        *seen = now;
        return ok && sink.write(out.data(), out.size());
      });
}

nlohmann::json WebServer::Impl::targetsJson() {
  nlohmann::json targets = nlohmann::json::array();
  for (const auto& t : board.snapshot()) targets.push_back(targetJson(t));
  return {{"targets", targets}, {"viewer", options.viewer}};
}

nlohmann::json WebServer::Impl::componentJson(const TargetState& target, const std::string& name) {
  nlohmann::json c = {{"name", name}};
  try {
    const codec::LevelDescriptions d = levels.describe(target.endpoint, name);
    c["client_mask"] = d.clientMask;
    c["enabled"] = remote::levelNamesInMask(d.clientMask, d.levels);
    c["levels"] = remote::levelsJson(d);
  } catch (const remote::ToolError& error) {
    c["error"] = error.message;
  }
  if (const auto p = levels.pending(target.label, name)) {
    c["restore_at"] = p->dueEpochMs;
    c["restore_mask"] = p->previousMask;
  }
  return c;
}

void WebServer::Impl::onComponents(const httplib::Request& req, httplib::Response& res) {
  const auto target = board.find(req.matches[1]);
  if (!target) return sendError(res, 404, "no such target: " + std::string(req.matches[1]));
  nlohmann::json components = nlohmann::json::array();
  for (const auto& [name, mask] : target->components)
    components.push_back(componentJson(*target, name));
  sendJson(res, {{"target", target->label}, {"components", components}});
}

void WebServer::Impl::onLevels(const httplib::Request& req, httplib::Response& res) {
  const std::string label = req.matches[1], component = req.matches[2];
  const auto body = nlohmann::json::parse(req.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object() || !body.contains("levels") || !body["levels"].is_string())
    return sendError(res, 400, "the body must be {\"levels\": \"+debug,-info\", \"for\": \"5m\"}");
  std::optional<std::chrono::milliseconds> temporaryFor;
  if (body.contains("for") && body["for"].is_string() && !body["for"].get<std::string>().empty()) {
    const std::string text = body["for"].get<std::string>();
    try {
      temporaryFor = remote::parseDuration(text, "for");
    } catch (const remote::ToolError&) {
      try {
        temporaryFor = remote::parseAge(text, "for");  // also hours and days
      } catch (const remote::ToolError& error) {
        return sendError(res, httpStatus(error.kind), error.message);
      }
    }
  }
  // Who the audit trail names: the token's name; without named tokens,
  // whoever holds the console's one token, or the user on loopback. A
  // viewer is refused before anything about the targets is looked up.
  const AccessToken* who = options.tokens.tokens.empty()
                               ? nullptr
                               : findToken(options.tokens, givenToken(req));  // known: guard()
  if (who != nullptr && !who->operatorRole)
    return sendError(res, 403,
                     "token '" + who->name + "' is a viewer: it reads, and changes nothing");
  const std::string by = who != nullptr ? who->name : options.token.empty() ? "loopback" : "token";
  std::vector<TargetState> targets;
  if (body.value("all_targets", false)) {
    for (auto& t : board.snapshot()) {
      if (t.state != "gone" && t.components.contains(component)) targets.push_back(std::move(t));
    }
    if (targets.empty())
      return sendError(res, 404, "no target has shown component '" + component + "'");
  } else if (auto t = board.find(label)) {
    targets.push_back(std::move(*t));
  } else {
    return sendError(res, 404, "no such target: " + label);
  }
  if (who != nullptr) {
    for (const TargetState& t : targets) {
      if (!mayChange(*who, t.application, component)) {
        return sendError(res, 403,
                         "token '" + who->name + "' may not change " + component + " of " +
                             t.application + " (" + t.label + ")");
      }
    }
  }
  nlohmann::json results = nlohmann::json::array();
  int status = 200;
  std::string firstError;
  for (const TargetState& t : targets) {
    try {
      const LevelResult r = levels.change(t.label, t.endpoint, component,
                                          body["levels"].get<std::string>(), temporaryFor, by);
      nlohmann::json one = {{"target", r.target},
                            {"component", r.component},
                            {"asked", r.asked},
                            {"client_mask", r.clientMask},
                            {"enabled", remote::levelNamesInMask(r.clientMask, r.before.levels)}};
      if (r.restoreAtMs) {
        one["restore_at"] = *r.restoreAtMs;
        one["restore_mask"] = *r.restoreMask;
      }
      results.push_back(std::move(one));
    } catch (const remote::ToolError& error) {
      // A component the target never logged from is most likely not one of
      // its own: said so, by name, rather than as the target's complaint
      // about the levels.
      std::string message = error.message;
      remote::ErrorKind kind = error.kind;
      if (!t.components.contains(component)) {
        std::string seen;
        for (const auto& [name, mask] : t.components) seen += (seen.empty() ? "" : ", ") + name;
        message = "target " + t.label + " has no component '" + component + "'" +
                  (seen.empty() ? "" : " (it has logged from: " + seen + ")") + ": " + message;
        kind = remote::ErrorKind::kNotFound;
      }
      // Of several targets' failures, a name not found says most, then a
      // change that does not parse; else the first.
      const int mine = httpStatus(kind);
      if (status == 200 || mine == 404 || (mine == 400 && status != 404)) status = mine;
      if (firstError.empty()) firstError = message;
      results.push_back({{"target", t.label}, {"component", component}, {"error", message}});
    }
  }
  nlohmann::json answer = {{"results", results}};
  if (!firstError.empty()) answer["error"] = firstError;  // what the page shows
  sendJson(res, answer, status);
}

// The bounds of a time range as the page filters by them: each of since and
// until in anything `query --since` takes, in ms since the epoch.
void WebServer::Impl::onTime(const httplib::Request& req, httplib::Response& res) {
  nlohmann::json answer = nlohmann::json::object();
  for (const char* name : {"since", "until"}) {
    const auto ns = timeParam(req.params, name);
    answer[name] = ns ? nlohmann::json(*ns / 1'000'000) : nlohmann::json();
  }
  sendJson(res, answer);
}

void WebServer::Impl::routes() {
  server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server.set_socket_options([this](int socket) {
    // Not cpp-httplib's default, SO_REUSEPORT: with it a second console
    // binds the same port and the kernel deals the connections out between
    // the two. SO_REUSEADDR alone still lets a restarted console bind while
    // the old one's connections wait in TIME_WAIT.
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listeningSocket = socket;
  });
  server.set_default_headers({{"Content-Security-Policy", kPolicy},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"X-Frame-Options", "DENY"}});
  server.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        try {
          std::rethrow_exception(error);
        } catch (const ApiError& e) {
          sendError(res, httpStatus(e.kind), e.what());
        } catch (const store::StoreError& e) {
          sendError(res, httpStatus(store::errorKindOf(e)), e.what());
        } catch (const remote::ToolError& e) {
          sendError(res, httpStatus(e.kind), e.message);
        } catch (const std::exception& e) {
          sendError(res, 500, e.what());
        }
      });
  server.Get("/api/alerts", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(board.alerts(), "application/json");
  });
  server.Get("/api/targets", [this](const httplib::Request&, httplib::Response& res) {
    sendJson(res, targetsJson());
  });
  server.Get(
      R"(/api/targets/([^/]+)/components)",
      [this](const httplib::Request& req, httplib::Response& res) { onComponents(req, res); });
  server.Put(R"(/api/targets/([^/]+)/components/([^/]+)/levels)",
             [this](const httplib::Request& req, httplib::Response& res) { onLevels(req, res); });
  server.Get("/api/records",
             [this](const httplib::Request& req, httplib::Response& res) { onRecords(req, res); });
  server.Get("/api/stream",
             [this](const httplib::Request& req, httplib::Response& res) { onStream(req, res); });
  server.Get("/api/audit", [this](const httplib::Request& req, httplib::Response& res) {
    nlohmann::json rows = nlohmann::json::array();
    for (const store::AuditRow& row : reader(options.dbPath).audit(readAuditFilter(req.params)))
      rows.push_back(auditJson(row));
    sendJson(res, {{"audit", rows}});
  });
  server.Get("/api/time",
             [this](const httplib::Request& req, httplib::Response& res) { onTime(req, res); });
  // Last among the API's routes: any other call is named in the answer.
  const auto unknown = [](const httplib::Request& req, httplib::Response& res) {
    sendError(res, 404, "no such API call: " + req.method + " " + req.path);
  };
  server.Get(R"(/api/.*)", unknown);
  server.Put(R"(/api/.*)", unknown);
  server.Post(R"(/api/.*)", unknown);
  server.Delete(R"(/api/.*)", unknown);
  server.Get(R"(/([a-z_\-]*\.?[a-z]*))", [](const httplib::Request& req, httplib::Response& res) {
    std::string name = req.matches[1];
    if (name.empty()) name = "index.html";
    if (name == "favicon.ico") {
      res.status = 204;  // the page has no icon; say so rather than 404
      return;
    }
    for (const PageFile& f : pageFiles()) {
      if (name != f.name) continue;
      res.set_content(reinterpret_cast<const char*>(f.data), f.size, f.contentType);
      return;
    }
    res.status = 404;
    res.set_content("not found", "text/plain");
  });
}

WebServer::WebServer(const ServerOptions& options, WebBoard& board, LevelControl& levels)
    : impl(std::make_unique<Impl>(options, board, levels)) {
  impl->routes();
}

WebServer::~WebServer() { stop(); }

int WebServer::start() {
  errno = 0;
  const int port =
      impl->options.port == 0
          ? impl->server.bind_to_any_port(impl->options.host)
          : (impl->server.bind_to_port(impl->options.host, impl->options.port) ? impl->options.port
                                                                               : -1);
  if (port < 0) {
    // cpp-httplib closes the socket after a failed bind() or listen(),
    // which leaves errno as bind() set it; a name that does not resolve
    // leaves whatever the resolver last met, so only bind()'s own errors
    // are named.
    const int err = errno;
    std::string why = "the address cannot be resolved or bound";
    if (err == EADDRINUSE) {
      why =
          "address in use (another program listens there, perhaps another web console: "
          "choose a free --listen)";
    } else if (err == EADDRNOTAVAIL || err == EACCES) {
      why = std::strerror(err);
    }
    throw remote::ToolError{remote::ErrorKind::kLocal,
                            "web: cannot listen on " + impl->options.host + ":" +
                                std::to_string(impl->options.port) + ": " + why};
  }
  impl->port = port;
  // cpp-httplib listens with a backlog of 5, so a page loading its files
  // while a few console tabs reconnect overflows it, and every connection
  // the kernel drops waits a second or more for its SYN to be sent again.
  // Listening again on the bound socket only raises the backlog.
  ::listen(impl->listeningSocket, SOMAXCONN);
  serving = std::thread([this] { impl->server.listen_after_bind(); });
  // stop() does nothing to a server that is not running yet: wait for it,
  // so that a stop right after the start still ends the accept loop.
  while (!impl->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port;
}

void WebServer::stop() {
  if (!serving.joinable()) return;
  impl->server.stop();
  serving.join();
}

}  // namespace web
