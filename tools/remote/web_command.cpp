// tools/remote/web_command.cpp
//
// `tarvin-remote web [TARGET... | --discover [HOST...]] [--listen ADDR:PORT]
// [--db FILE] [--max-records N] [--token T]`: follows targets as record
// does into a record store (a temporary one, removed at the end, unless
// --db names a file) and serves the web console over it, printing the URL
// to open. With --db and no target it is a viewer: it opens the existing
// store read-only, follows nothing, and shows what a `record` writing the
// store beside it adds. Any address but loopback needs a token: --token, or
// one made up and printed. On SIGINT, SIGTERM or SIGHUP it stops, and every
// temporary level change made through the console is put back first.
// Every change the console makes, and its restore, is a row of the store's
// audit trail, named by the token that asked (audit_trail.h).
//
// Threads: the main thread follows and writes the store (WebFollower), or
// for a viewer watches the store's newest id; cpp-httplib's pool serves
// (WebServer); LevelControl has a restore thread.
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>

#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "recorder/alert_feed.h"
#include "recorder/audit_trail.h"
#include "recorder/store_feed.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/policy_enforcer.h"
#include "remote/store_failure.h"
#include "store/store.h"
#include "web/level_control.h"
#include "web/web_board.h"
#include "web/web_follower.h"
#include "web/web_server.h"

namespace remote {
namespace {

constexpr std::int64_t kTemporaryStoreRecords = 1'000'000;

struct WebFlags {
  CommonFlags common;
  FollowFlags follow;
  std::string listen = "127.0.0.1:8070";
  std::string db;
  std::int64_t maxRecords = -1;  // -1: none for a file, kTemporaryStoreRecords otherwise
  std::string token;
  std::string tokens;  // --tokens FILE
  std::string policy;  // --policy FILE, applied to what it follows
  AlertFlags alerts;
};

std::string makeToken() {
  unsigned char bytes[16];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
    throw ToolError{ErrorKind::kLocal, "web: cannot make a token: no random bytes"};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 0xF]);
  }
  return token;
}

// A temporary store's directory, removed with everything in it.
struct TemporaryDirectory {
  std::filesystem::path path;
  ~TemporaryDirectory() {
    std::error_code ignored;  // at exit: nothing left to tell
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

// How often a viewer looks for what the recorder beside it committed.
constexpr std::chrono::milliseconds kViewerPoll{200};

// A viewer's main thread: tells the streams of every entry the store's
// writer commits, until a stop.
void watchStore(store::Store& store, web::WebBoard& board) {
  while (!stopRequested()) {
    pollfd wake{stopWakeFd(), POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(kViewerPoll.count()));
    board.committed(store.lastId());
  }
}

int runWeb(const WebFlags& flags, bool discoverHere) {
  const CommonOptions common = flags.common.read();
  FollowFlags followFlags = flags.follow;
  auto& hosts = followFlags.follow.discoverHosts;
  hosts.erase(std::remove(hosts.begin(), hosts.end(), std::string()), hosts.end());
  if (discoverHere && hosts.empty()) followFlags.follow.discoverHosts.push_back("127.0.0.1");
  const bool viewer = followFlags.follow.targets.empty() && !followFlags.follow.discovering();
  if (viewer && flags.db.empty())
    throw ToolError{ErrorKind::kBadInput,
                    "web: name a TARGET, use --discover or --broadcast, or give --db FILE to "
                    "look at a store"};
  if (viewer && flags.alerts.any())
    throw ToolError{ErrorKind::kBadInput, "web: --alerts needs targets: a viewer follows nothing"};
  if (viewer && !flags.policy.empty())
    throw ToolError{ErrorKind::kBadInput, "web: --policy needs targets: a viewer follows nothing"};
  if (viewer && flags.maxRecords >= 0)
    throw ToolError{ErrorKind::kBadInput,
                    "web: --max-records needs targets: a viewer (--db without a target) "
                    "deletes nothing"};
  FollowOptions follow = viewer ? FollowOptions{} : followFlags.read("web");
  follow.gather = StoreFeed::kGather;

  web::ServerOptions server;
  const std::size_t colon = flags.listen.rfind(':');
  try {
    if (colon == std::string::npos) throw std::invalid_argument("no port");
    server.host = flags.listen.substr(0, colon);
    server.port = std::stoi(flags.listen.substr(colon + 1));
    if (server.port < 0 || server.port > 65535) throw std::out_of_range("port");
  } catch (const std::exception&) {
    throw ToolError{ErrorKind::kBadInput, "--listen: expected ADDR:PORT, got " + flags.listen};
  }
  if (!flags.tokens.empty()) {
    server.tokens = web::readAccessTokens(flags.tokens);
    if (!server.tokens.errors.empty())
      throw ToolError{ErrorKind::kBadInput,
                      "--tokens: " + config::describeMistakes(flags.tokens, server.tokens.errors)};
  } else {
    server.token =
        flags.token.empty() && !web::isLoopbackName(server.host) ? makeToken() : flags.token;
  }

  TemporaryDirectory temporary;
  store::Retention retention;
  retention.maxRecords = flags.maxRecords < 0 ? 0 : flags.maxRecords;
  server.dbPath = flags.db;
  if (server.dbPath.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvin-web.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw ToolError{ErrorKind::kLocal, "web: cannot create a temporary directory for the store"};
    temporary.path = pattern;
    server.dbPath = (temporary.path / "records.db").string();
    if (flags.maxRecords < 0) retention.maxRecords = kTemporaryStoreRecords;
  }

  server.viewer = viewer;

  try {
    // A viewer reads a store that must exist: one it created would be empty
    // and never filled.
    const std::unique_ptr<store::Store> opened =
        store::openStore(server.dbPath, viewer ? store::Access::kRead : store::Access::kRecord);
    store::Store& store = *opened;
    installStopHandlers();
    struct sigaction stop {};
    ::sigaction(SIGTERM, nullptr, &stop);
    ::sigaction(SIGHUP, &stop, nullptr);  // a closed terminal stops it like Ctrl-C

    web::WebBoard board;
    // Its own connection, beside the writer's thread or a recorder that
    // writes the store a viewer reads.
    AuditTrail audit(server.dbPath);
    std::mutex auditing;
    // Before the level control, which may tell it of a restore that failed
    // until the control is gone.
    std::optional<web::WebFollower> follower;
    web::LevelControl levels(
        common.retry,
        [&](const store::AuditRow& change) {
          store::AuditRow row = change;
          if (const auto target = board.find(row.target)) row.application = target->application;
          std::lock_guard lock(auditing);
          audit.write(row);
        },
        [&](const std::string& target, const std::string& component) {
          if (follower) follower->levelNotRestored(target, component);
        });
    if (viewer)
      board.committed(store.lastId());  // a stream starts with what comes next
    else
      follower.emplace(common.retry, follow, store, retention, board, flags.alerts);
    std::optional<PolicyThread> policy;
    if (!flags.policy.empty())
      policy.emplace(common.retry, policyBeside(flags.policy, follow, server.dbPath, "web"));
    web::WebServer http(server, board, levels);
    const int port = http.start();
    std::string url = "http://" + server.host + ":" + std::to_string(port) + "/";
    if (!server.token.empty()) url += "#token=" + server.token;
    std::cout << "web console at " << url << std::endl;
    if (!server.token.empty() && flags.token.empty())
      note("the token (needed by every API call, as Authorization: Bearer): " + server.token);

    if (viewer) note("a viewer of " + server.dbPath + ": read-only, no target followed");
    std::int64_t lost = 0;
    if (viewer)
      watchStore(store, board);
    else
      lost = follower->run();
    board.stop();
    http.stop();
    policy.reset();  // before the restores: no round of it comes after them
    clearStop();     // the stop ended the follow; the restores must still go out
    levels.restoreAll();
    const bool undelivered = follower && follower->undeliveredAlerts() > 0;
    return lost > 0 || undelivered ? kExitNoAnswer : 0;
  } catch (const store::StoreError& error) {
    throw toolError(error);
  }
}

}  // namespace

const Command kWebCommand = {
    "web", "Follow targets into a record store and serve a web console over it",
    [](CLI::App& app) -> Run {
      auto flags = std::make_shared<WebFlags>();
      app.footer(
          "Without --db the records are kept in a temporary store that is removed at\n"
          "the end. With --db and no target, web is a viewer: it opens the existing\n"
          "store read-only (beside a record writing it) and follows nothing. Any\n"
          "--listen address but loopback needs a token, printed at start unless\n"
          "--token gives one. Temporary level changes are put back on exit.");
      addFollowOptions(app, flags->follow);
      // --discover alone follows every target on this machine.
      if (CLI::Option* discover = app.get_option_no_throw("--discover"))
        discover->expected(0, CLI::detail::expected_max_vector_size);
      app.add_option("--listen", flags->listen, "Serve on ADDR:PORT (PORT 0: any free one)")
          ->capture_default_str();
      app.add_option("--db", flags->db,
                     "Record store (SQLite file or clickhouse://...); default: a temporary one. "
                     "Without a target: an existing store to view, read-only");
      app.add_option_function<std::string>(
          "--db-password-file", store::setPasswordFile,
          "File whose first line is the password of a clickhouse:// store (else "
          "$TARVIN_DB_PASSWORD)");
      app.add_option("--max-records", flags->maxRecords,
                     "Keep at most this many records (default: 1000000 in a temporary store)")
          ->check(CLI::NonNegativeNumber);
      CLI::Option* token =
          app.add_option("--token", flags->token, "Token every API call must carry");
      app.add_option("--tokens", flags->tokens,
                     "Named tokens with roles (TOML): viewers read everything and change "
                     "nothing; operators change levels, optionally of some applications and "
                     "components only")
          ->type_name("FILE")
          ->excludes(token);
      app.add_option("--policy", flags->policy,
                     "Apply this level policy (TOML) to the targets followed and keep it "
                     "applied, as enforce does")
          ->type_name("FILE");
      addAlertOptions(app, flags->alerts);
      addCommonOptions(app, flags->common, /*withJson=*/false);
      return [flags, &app] { return runWeb(*flags, app.count("--discover") > 0); };
    }};

}  // namespace remote
