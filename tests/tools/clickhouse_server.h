// tests/tools/clickhouse_server.h
//
// A real ClickHouse server for the length of a test case: Debian's
// clickhouse-server started as a child of the test with a scratch data
// directory under TEST_TMPDIR, its own users file (the default user
// without a password, and user "writer" with password "secret"), HTTP and
// native ports given on the command line, listening on 127.0.0.1 only.
// Every test runs in its own network namespace, so the default ports are
// free; the replicas' port is tcpPort + 9 (9009), so that two servers of
// one test may run side by side. With `tls`, it also serves HTTPS on
// httpPort + 320 (8443) with a certificate made for 127.0.0.1, which a
// client trusts through certificateFile() (SSL_CERT_FILE for OpenSSL).
// start() waits for /ping; stop() ends it by its pid and keeps the
// data for a start() again (a server restarted mid-stream); signal()
// sends SIGSTOP/SIGCONT/SIGKILL for the faults a test plays. sql() runs
// one statement over HTTP and returns the answer's body. useConfig() puts
// a config file of the test's own in place of Debian's, for what the
// command line cannot say (a cluster of shards).
//
// Threads: a ClickHouseServer belongs to the test's thread.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tooltest {

class ClickHouseServer {
 public:
  static constexpr const char* kBinary = "/usr/sbin/clickhouse-server";
  static constexpr const char* kPassword = "secret";  // of user "writer"

  // Whether the machine has the server at all (tests skip without it).
  static bool installed() { return ::access(kBinary, X_OK) == 0; }

  explicit ClickHouseServer(int httpPort = 8123, int tcpPort = 9000, bool tls = false)
      : httpPort(httpPort), tcpPort(tcpPort), tls(tls) {
    const char* base = std::getenv("TEST_TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/clickhouse-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) dir = pattern;
    writeUsers();
    if (tls && !dir.empty()) {
      const std::string make =
          "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
          " -addext subjectAltName=IP:127.0.0.1 -keyout " +
          dir + "/key.pem -out " + certificateFile() + " 2>/dev/null";
      EXPECT_EQ(std::system(make.c_str()), 0) << make;
    }
  }
  ~ClickHouseServer() {
    stop();
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
  ClickHouseServer(const ClickHouseServer&) = delete;
  ClickHouseServer& operator=(const ClickHouseServer&) = delete;

  // Starts the server (again, on the same data) and waits up to `limit`
  // for /ping to answer "Ok."; false if it never did.
  bool start(std::chrono::seconds limit = std::chrono::seconds(30)) {
    if (dir.empty()) return false;
    stop();
    if (pingable()) return false;  // another server has the port: its answers would mislead
    const std::vector<std::string> args = {
        kBinary,
        "--config-file=" + configFile,
        "--",
        "--path=" + dir + "/data/",
        "--tmp_path=" + dir + "/data/tmp/",
        "--users_config=" + dir + "/users.xml",
        "--http_port=" + std::to_string(httpPort),
        "--tcp_port=" + std::to_string(tcpPort),
        "--interserver_http_port=" + std::to_string(tcpPort + 9),
        "--listen_host=127.0.0.1",
        "--logger.log=" + dir + "/server.log",
        "--logger.errorlog=" + dir + "/server.err.log",
        "--logger.console=0",
    };
    std::vector<std::string> all = args;
    if (tls) {
      all.insert(all.end(), {"--https_port=" + std::to_string(tlsPort()),
                             "--openSSL.server.certificateFile=" + certificateFile(),
                             "--openSSL.server.privateKeyFile=" + dir + "/key.pem",
                             "--openSSL.server.dhParamsFile="});
    }
    child = ::fork();
    if (child == 0) {
      // Its own process group: a test's SIGSTOP or SIGKILL reaches its threads alike.
      ::setpgid(0, 0);
      ::freopen("/dev/null", "w", stdout);
      ::freopen((dir + "/server.out").c_str(), "w", stderr);
      std::vector<char*> argv;
      for (const std::string& a : all) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (pingable()) return true;
      int status = 0;
      if (::waitpid(child, &status, WNOHANG) == child) {  // exited: a port taken, a bad config
        child = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // Ends the server (SIGTERM, SIGKILL after 20 s) and reaps it.
  void stop() {
    if (child <= 0) return;
    ::kill(child, SIGCONT);  // a stopped server cannot take its SIGTERM
    ::kill(child, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    child = -1;
  }

  // SIGSTOP pauses it (a slow server), SIGCONT resumes it, SIGKILL kills it
  // (reaped here, so that start() may follow).
  void signal(int sig) {
    if (child <= 0) return;
    ::kill(child, sig);
    if (sig == SIGKILL) {
      ::waitpid(child, nullptr, 0);
      child = -1;
    }
  }

  // The server's config file from the next start(): `xml` as it is.
  void useConfig(const std::string& xml) {
    configFile = dir + "/config.xml";
    std::ofstream(configFile) << xml;
  }

  bool pingable() const {
    httplib::Client client("127.0.0.1", httpPort);
    client.set_connection_timeout(std::chrono::seconds(1));
    const auto answer = client.Get("/ping");
    return answer && answer->status == 200 && answer->body == "Ok.\n";
  }

  // One statement as the default user; the body, or "" with a test
  // failure when the server refused it.
  std::string sql(const std::string& statement) const {
    httplib::Client client("127.0.0.1", httpPort);
    client.set_read_timeout(std::chrono::seconds(60));
    const auto answer = client.Post("/", statement, "text/plain");
    if (!answer) {
      ADD_FAILURE() << "clickhouse: no answer to " << statement;
      return "";
    }
    if (answer->status != 200) {
      ADD_FAILURE() << "clickhouse: " << statement << ": " << answer->body;
      return "";
    }
    return answer->body;
  }

  // The store's name for DATABASE on this server, as --db takes it.
  std::string url(const std::string& database, const std::string& user = "") const {
    return "clickhouse://" + (user.empty() ? "" : user + "@") +
           "127.0.0.1:" + std::to_string(httpPort) + "/" + database;
  }
  int port() const { return httpPort; }
  int tlsPort() const { return httpPort + 320; }
  std::string certificateFile() const { return dir + "/cert.pem"; }
  pid_t pid() const { return child; }
  const std::string& directory() const { return dir; }

 private:
  void writeUsers() const {
    if (dir.empty()) return;
    std::ofstream users(dir + "/users.xml");
    users << R"(<?xml version="1.0"?>
<yandex>
  <profiles><default><max_memory_usage>2000000000</max_memory_usage></default></profiles>
  <users>
    <default><password></password><networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
      <profile>default</profile><quota>default</quota></default>
    <writer><password>)"
          << kPassword << R"(</password><networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
      <profile>default</profile><quota>default</quota></writer>
  </users>
  <quotas><default></default></quotas>
</yandex>
)";
  }

  int httpPort, tcpPort;
  bool tls;
  std::string dir;  // data, users file, logs; removed at the end
  std::string configFile = "/etc/clickhouse-server/config.xml";
  pid_t child = -1;
};

}  // namespace tooltest
